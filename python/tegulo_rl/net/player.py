"""Players that use a network: its policy alone (argmax, or sampled), or a search it guides.

A `NetPlayer` names the network by the path of its checkpoint (None: the shipped
baseline); `lineup` plays it beside the built-in players. Networks are loaded once
per process and path, and every call evaluates one batch: all the positions whose
mover the player plays.
"""

from __future__ import annotations

import functools
import os
import zlib
from typing import Any

import numpy as np
import numpy.typing as npt
import torch

from tegulo_rl.net import BASELINE
from tegulo_rl.net.checkpoint import CheckpointError, load
from tegulo_rl.net.model import PolicyValueNet, features, masked

# Positions a forward pass takes at most: bounds the memory of the (N, 36400) logits.
CHUNK = 512
# Fewer positions than this run on one thread: on a busy machine, small batches on several
# threads were measured 50 times slower (threads waiting for each other), for little gain idle.
SMALL = 64


@functools.lru_cache(maxsize=8)
def _cached(path: str, mtime: float) -> PolicyValueNet:
    net, _ = load(path)
    return net.eval()


def network(path: str | None = None) -> PolicyValueNet:
    """The network of a checkpoint (the shipped baseline when None), in eval mode; loaded once
    per process and version of the file. Shared: copy it before training it."""
    path = BASELINE if path is None else path
    try:
        mtime = os.path.getmtime(path)
    except OSError:
        raise CheckpointError(f"{path}: no such checkpoint file") from None
    return _cached(os.path.abspath(path), mtime)


def evaluate(
    net: PolicyValueNet, observation: Any, device: str = "cpu"
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The network's masked logits (N, 36400; -inf where illegal) and values (N, 4) for a
    BatchObservation with its action mask, in chunks of CHUNK positions."""
    n = len(observation.current_agent)
    logits = np.empty((n, 91 * 400), np.float32)
    values = np.empty((n, 4), np.float32)
    threads = torch.get_num_threads()
    if n < SMALL:
        torch.set_num_threads(1)
    try:
        _forward(net, observation, device, logits, values)
    finally:
        torch.set_num_threads(threads)
    if not np.isfinite(values).all() or np.isnan(logits).any():
        raise FloatingPointError("the network's output holds NaN or infinity: its weights are broken")
    return logits, values


def _forward(net: PolicyValueNet, observation: Any, device: str, logits: Any, values: Any) -> None:
    n = len(observation.current_agent)
    with torch.inference_mode():
        for start in range(0, n, CHUNK):
            part = _slice(observation, start, start + CHUNK)
            planes, vector = features(part, device)
            out, value = net(planes, vector)
            mask = torch.from_numpy(np.array(part.action_mask)).to(device)  # a writable copy, as torch wants
            logits[start : start + len(planes)] = masked(out, mask).cpu().numpy()
            values[start : start + len(planes)] = value.cpu().numpy()


class Rows:
    """Some rows (a slice or an index array) of a BatchObservation's planes and mask."""

    def __init__(self, observation: Any, rows: Any):
        for name in ("observation", "corners", "blocked", "pieces", "done", "current_agent", "action_mask"):
            setattr(self, name, getattr(observation, name)[rows])


def _slice(observation: Any, start: int, stop: int) -> Any:
    n = len(observation.current_agent)
    return observation if start == 0 and stop >= n else Rows(observation, slice(start, stop))


def evaluator(net: PolicyValueNet, device: str = "cpu") -> Any:
    """The network as `players.search` calls an evaluator: priors and values of the leaves."""

    def evaluate_leaves(observation: Any) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        logits, values = evaluate(net, observation, device)
        return priors(logits), values

    return evaluate_leaves


def policy_actions(
    logits: npt.NDArray[np.float32], temperature: float, seed: int, salt: bytes
) -> npt.NDArray[np.int64]:
    """One action per row of masked logits: the argmax at temperature 0 (ties to the lowest
    index), else a sample of softmax(logits / temperature) by the Gumbel trick, from a
    stream that follows from `seed` and `salt` (the positions' bytes) alone."""
    if temperature == 0:
        return np.asarray(logits.argmax(axis=1), dtype=np.int64)
    rng = np.random.default_rng([seed, zlib.crc32(salt)])
    gumbel = -np.log(-np.log(rng.random(logits.shape, dtype=np.float32).clip(1e-12, 1 - 1e-7)))
    return np.asarray((logits / np.float32(temperature) + gumbel).argmax(axis=1), dtype=np.int64)


def priors(logits: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """Softmax of masked logits, row by row (zero where illegal)."""
    top = logits.max(axis=1, keepdims=True)
    p = np.exp(logits - top)
    p /= p.sum(axis=1, keepdims=True)
    return np.asarray(p, dtype=np.float32)
