"""Checkpoints: a network's weights in safetensors, and a small JSON of how they came to be.

A checkpoint is one file, NAME.safetensors: the weights (and, during training, the
optimiser's moments under keys starting with "optimizer."), with the JSON in the
file's own metadata under "tegulo_rl", so that weights and description can never
disagree; NAME.json beside it holds the same JSON for people and tools to read
(loading never needs it). safetensors loads without running code. The JSON holds
FORMAT, the architecture, the encoding version, the engine's version and action
count, the training step and whatever the caller adds (the hyperparameters, the
command, the seed).

The encoding version (ENCODING) names what the weights mean: the input planes and
vector, the action grid's order and the meaning of the values (each seat's rank
reward). It changes only when one of those does, and loading refuses a checkpoint
of another encoding. The package version is recorded too, and a checkpoint of
another version loads with a warning: a release that keeps the encoding keeps its
checkpoints. A checkpoint written before the encoding was recorded has encoding 1,
the first.

Every write goes to a temporary name in the same folder and is renamed into
place, so a kill leaves the previous checkpoint whole. Loading refuses, naming the
file and the fault: a missing or truncated file, a file that is not ours, another
format, architecture or engine, weights of the wrong names or shapes, and
non-finite weights.
"""

from __future__ import annotations

import json
import os
import warnings
from typing import Any

import torch
from safetensors import SafetensorError, safe_open
from safetensors.torch import load_file, save_file

from tegulo_rl import __version__
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.net.model import Architecture, PolicyValueNet

FORMAT = "tegulo-rl net 1"
# The encoding of the network's inputs and outputs: 13 padded planes and the 88 numbers of
# pieces and done flags (model.features), logits in the action grid's order in the mover's
# frame, values that are each seat's rank reward. Bump it when any of them changes.
ENCODING = 1
KEY = "tegulo_rl"
OPTIMIZER = "optimizer."


class CheckpointError(ValueError):
    """A checkpoint that cannot be loaded; the message names the file and the fault."""


class CheckpointVersionWarning(UserWarning):
    """A checkpoint written by another version of the package, with the same encoding: it loads."""


def describe(net: PolicyValueNet, step: int, **extra: Any) -> dict[str, Any]:
    """The JSON of a checkpoint of `net` after `step` training steps."""
    return {
        "format": FORMAT,
        "architecture": net.arch.to_dict(),
        "encoding": ENCODING,
        "engine": {"version": __version__, "actions": PyTegulo.num_actions},
        "step": step,
        **extra,
    }


def _replace(path: str, write: Any) -> None:
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def save(path: str, net: PolicyValueNet, info: dict[str, Any], optimizer: torch.optim.Optimizer | None = None) -> None:
    """Writes `net` (and the optimiser's state, to resume training) to `path`, a .safetensors
    file, and `info` (see `describe`) into it and beside it as .json; each renamed into place."""
    tensors = {name: t.detach().cpu().contiguous() for name, t in net.state_dict().items()}
    if optimizer is not None:
        tensors.update(_optimizer_tensors(optimizer))
    text = json.dumps(info, sort_keys=True)
    _replace(path, lambda tmp: save_file(tensors, tmp, metadata={KEY: text}))

    def write_json(tmp: str) -> None:
        with open(tmp, "w") as f:
            f.write(json.dumps(info, indent=2, sort_keys=True) + "\n")

    _replace(os.path.splitext(path)[0] + ".json", write_json)


def _optimizer_tensors(optimizer: torch.optim.Optimizer) -> dict[str, torch.Tensor]:
    """Adam's moments and step counts as plain tensors, keyed by parameter number."""
    out = {}
    for number, state in optimizer.state_dict()["state"].items():
        for name, value in state.items():
            tensor = value if isinstance(value, torch.Tensor) else torch.tensor(value)
            out[f"{OPTIMIZER}{number}.{name}"] = tensor.detach().cpu().contiguous().clone()
    return out


def read_info(path: str) -> dict[str, Any]:
    """The JSON inside a checkpoint file, checked for our format, encoding and action count; another
    package version only warns (CheckpointVersionWarning)."""
    if not os.path.isfile(path):
        raise CheckpointError(f"{path}: no such checkpoint file")
    try:
        with safe_open(path, framework="pt") as f:
            metadata = f.metadata() or {}
    except (SafetensorError, OSError, ValueError) as error:
        raise CheckpointError(f"{path}: not a readable safetensors file ({error})") from None
    if KEY not in metadata:
        raise CheckpointError(f"{path}: a safetensors file, but not a tegulo-rl checkpoint (no {KEY!r} metadata)")
    try:
        info: dict[str, Any] = json.loads(metadata[KEY])
    except json.JSONDecodeError as error:
        raise CheckpointError(f"{path}: its description is not JSON ({error})") from None
    if not isinstance(info, dict) or info.get("format") != FORMAT:
        raise CheckpointError(f"{path}: format {info.get('format')!r}, expected {FORMAT!r}")
    encoding = info.get("encoding", 1)
    if encoding != ENCODING:
        raise CheckpointError(
            f"{path}: encoding version {encoding!r} (its planes, action grid or values), this package reads {ENCODING}"
        )
    engine = info.get("engine", {})
    if not isinstance(engine, dict) or engine.get("actions") != PyTegulo.num_actions:
        raise CheckpointError(f"{path}: made for engine {engine!r}, this one has {PyTegulo.num_actions} actions")
    if engine.get("version") != __version__:
        warnings.warn(
            f"{path}: written by tegulo-rl {engine.get('version')}, this is {__version__}; "
            f"the encoding is the same ({ENCODING}), so it loads",
            CheckpointVersionWarning,
            stacklevel=3,
        )
    return info


def load(
    path: str, arch: Architecture | None = None, optimizer: torch.optim.Optimizer | None = None
) -> tuple[PolicyValueNet, dict[str, Any]]:
    """The network in `path` and its JSON; with `arch`, refuses a checkpoint of another
    architecture; with `optimizer` (over the returned network's parameters: call
    `load_optimizer` after making it), see there."""
    info = read_info(path)
    try:
        saved = Architecture.from_dict(info.get("architecture", {}))
    except ValueError as error:
        raise CheckpointError(f"{path}: {error}") from None
    if arch is not None and saved != arch:
        raise CheckpointError(f"{path}: architecture {saved.to_dict()}, expected {arch.to_dict()}")
    try:
        tensors = load_file(path)
    except (SafetensorError, OSError, ValueError) as error:
        raise CheckpointError(f"{path}: cannot read its tensors ({error})") from None
    net = PolicyValueNet(saved)
    weights = {k: v for k, v in tensors.items() if not k.startswith(OPTIMIZER)}
    expected = net.state_dict()
    if set(weights) != set(expected):
        missing, extra = sorted(set(expected) - set(weights)), sorted(set(weights) - set(expected))
        raise CheckpointError(f"{path}: weights do not fit the network (missing {missing}, unknown {extra})")
    for name, tensor in weights.items():
        if tensor.shape != expected[name].shape or tensor.dtype != expected[name].dtype:
            raise CheckpointError(f"{path}: {name} is {tuple(tensor.shape)} {tensor.dtype}, expected "
                                  f"{tuple(expected[name].shape)} {expected[name].dtype}")  # fmt: skip
        if not torch.isfinite(tensor).all():
            raise CheckpointError(f"{path}: {name} holds non-finite weights")
    net.load_state_dict(weights)
    if optimizer is not None:
        load_optimizer(path, optimizer, tensors)
    return net, info


def load_optimizer(path: str, optimizer: torch.optim.Optimizer, tensors: dict[str, torch.Tensor] | None = None) -> bool:
    """Restores the optimiser's state saved in `path`; False when the file holds none."""
    if tensors is None:
        tensors = load_file(path)
    state: dict[int, dict[str, torch.Tensor]] = {}
    for key, tensor in tensors.items():
        if key.startswith(OPTIMIZER):
            number, name = key[len(OPTIMIZER) :].split(".", 1)
            state.setdefault(int(number), {})[name] = tensor
    if not state:
        return False
    saved = optimizer.state_dict()
    saved["state"] = state
    try:
        optimizer.load_state_dict(saved)
    except (ValueError, KeyError, RuntimeError) as error:
        raise CheckpointError(f"{path}: the optimiser's state does not fit ({error})") from None
    return True
