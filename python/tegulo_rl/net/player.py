"""Players that use a network: its policy alone (argmax, or sampled), or a search it guides.

A `NetPlayer` names the network by the path of its checkpoint (None: the shipped
network); `lineup` plays it beside the built-in players. Networks are loaded once
per process and path, and every call evaluates one batch: all the positions whose
mover the player plays.
"""

from __future__ import annotations

import functools
import os
import threading
import weakref
import zlib
from typing import Any

import numpy as np
import numpy.typing as npt
import torch

from tegulo_rl.net import SHIPPED, SHIPPED_NET
from tegulo_rl.net.checkpoint import CheckpointError, load
from tegulo_rl.net.inference import Inference, one_thread
from tegulo_rl.net.model import PolicyValueNet

# Fewer positions than this run on one thread: on a busy machine, small batches on several
# threads were measured 50 times slower (threads waiting for each other), for little gain idle.
SMALL = 64


@functools.lru_cache(maxsize=8)
def _cached(path: str, mtime: float) -> PolicyValueNet:
    net, _ = load(path)
    return net.eval()


def network(path: str | None = None) -> PolicyValueNet:
    """The network of a checkpoint (the shipped network when None, a shipped one by its name in
    SHIPPED), in eval mode; loaded once per process and version of the file. Shared: copy it
    before training it."""
    path = SHIPPED_NET if path is None else SHIPPED.get(path, path)
    try:
        mtime = os.path.getmtime(path)
    except OSError:
        raise CheckpointError(f"{path}: no such checkpoint file") from None
    return _cached(os.path.abspath(path), mtime)


# Each network's inference copy (bf16 where the CPU has the units), with the versions of the
# weights it copied: torch counts every change made to a tensor in place, as an optimiser's.
_inferences: weakref.WeakKeyDictionary[PolicyValueNet, tuple[Inference, tuple[int, ...]]] = weakref.WeakKeyDictionary()
_inferences_lock = threading.Lock()


def inference(net: PolicyValueNet, device: str = "cpu") -> Inference:
    """The fast forward pass of `net`, made on first use and refreshed when its weights change."""
    versions = tuple(p._version for p in net.parameters())
    with _inferences_lock:
        found = _inferences.get(net)
        if found is None or str(found[0].device) != str(torch.device(device)):
            found = _inferences[net] = (Inference(net, device=device), versions)
        elif found[1] != versions:
            found[0].refresh(net)
            found = _inferences[net] = (found[0], versions)
        return found[0]


def evaluate(
    net: PolicyValueNet, observation: Any, device: str = "cpu"
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """The network's masked logits (N, 36400; -inf where illegal) and values (N, 4) for a
    BatchObservation with its action mask. Small batches run on a thread of their own that
    uses one core, leaving torch's thread count for everybody else as it is."""
    n = len(observation.current_agent)
    forward = inference(net, device)
    logits, values = one_thread(forward, observation) if n < SMALL else forward(observation)
    logits[~np.asarray(observation.action_mask, bool)] = -np.inf
    if not np.isfinite(values).all() or np.isnan(logits).any():
        raise FloatingPointError("the network's output holds NaN or infinity: its weights are broken")
    return logits, values


class Rows:
    """Some rows (a slice or an index array) of a BatchObservation's planes and mask."""

    def __init__(self, observation: Any, rows: Any):
        for name in ("observation", "corners", "blocked", "pieces", "done", "current_agent", "action_mask"):
            setattr(self, name, getattr(observation, name)[rows])


def _slice(observation: Any, start: int, stop: int) -> Any:
    n = len(observation.current_agent)
    return observation if start == 0 and stop >= n else Rows(observation, slice(start, stop))


def evaluator(net: PolicyValueNet, device: str = "cpu") -> Any:
    """The network as `players.search` calls an evaluator: logits and values of the leaves
    (the search takes the softmax over the legal actions itself)."""
    forward = inference(net, device)

    def evaluate_leaves(observation: Any) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        n = len(observation.current_agent)
        logits, values = one_thread(forward, observation) if n < SMALL else forward(observation)
        if not np.isfinite(values).all():
            raise FloatingPointError("the network's output holds NaN or infinity: its weights are broken")
        return logits, values

    evaluate_leaves.gives_logits = True  # type: ignore[attr-defined]
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
