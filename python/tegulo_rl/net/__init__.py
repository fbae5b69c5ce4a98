"""Players that use a network, the network itself, its checkpoints and its training (needs PyTorch).

    python -m tegulo_rl train --out DIR          # trains a policy-value network, resumably
    python -m tegulo_rl evaluate net             # the shipped network against the fixed ladder

`tegulo_rl.net.model` holds the network (`PolicyValueNet`, fully convolutional, its
policy head shaped like the engine's 91 x 20 x 20 action grid), `checkpoint` its
files (weights in safetensors, the architecture and the run in a small JSON),
`player` the players `net`, `net:PATH` and `az:N`, `train` the recipe, `ladder`
the fixed evaluation. Importing this package needs nothing; the modules under it
need torch: `pip install 'tegulo-rl[torch]'`.
"""

from __future__ import annotations

import importlib
import os
from typing import Any

EXTRA = "pip install 'tegulo-rl[torch]'"
_HERE = os.path.dirname(os.path.abspath(__file__))
# The shipped networks, beside this file: each one's weights, the JSON that records how they were
# trained, and its curve. BASELINE was copied from mcts:100's moves; self-play started from it,
# searching with the network on every leaf (SELFTAUGHT), and again with greedy playouts below the
# network's root choice, as az plays (SHIPPED_NET, the network that "net" and "az" use).
BASELINE = os.path.join(_HERE, "baseline.safetensors")
SELFTAUGHT = os.path.join(_HERE, "selftaught.safetensors")
SHIPPED_NET = os.path.join(_HERE, "playouts.safetensors")
# Shipped networks by the names that "net:NAME" and "az:N:NAME" take. A name stays with its
# weights when the shipped network changes.
SHIPPED = {"distilled": BASELINE, "selftaught": SELFTAUGHT, "playouts": SHIPPED_NET}


def baseline() -> Any:
    """A fresh copy of the distilled baseline network (a torch module in train mode), where
    self-play starts, to fine-tune; `tegulo_rl.net.checkpoint.save` writes it back as a checkpoint."""
    require_torch()
    from tegulo_rl.net.checkpoint import load

    net, _ = load(BASELINE)
    return net


class MissingTorch(ImportError):
    """PyTorch (or safetensors) is not installed; the message says what to install."""


def require_torch() -> None:
    """Raises MissingTorch naming the extra unless torch and safetensors import."""
    for module in ("torch", "safetensors"):
        try:
            importlib.import_module(module)
        except ImportError:
            raise MissingTorch(f"the network players and training need {module}: {EXTRA}") from None
