"""A small policy-value network over the action grid, for the adapters' trainers (needs torch).

`GridNet` reads the training adapters' observations: the flat planes (33 of 20 x 20,
flattened or not) or the whole position (the dict observation: the board's 12
planes, and the pieces and done flags, which a linear layer adds to the first
convolution's channels at every cell). The torso is `layers` 3 x 3 convolutions of
`channels` channels that keep the 20 x 20 cells; the policy head is one more 3 x 3
convolution with 91 output channels, whose flattened output is the 36,400 logits in
the action grid's own order, illegal ones set to LOWEST; the value head is a 1 x 1
convolution to 4 channels and a dense layer of `hidden` units to one number. With
`bf16` the convolutions run in bfloat16 (worth it where the processor has bf16
matrix units: `tegulo_rl.distribution.bf16_default`), and the outputs are float32.
`GridNet.policy_player` makes a frozen copy of it into a policy that line-ups and
the adapters' opponents take.
"""

from __future__ import annotations

import copy
from typing import Any

import numpy as np
import torch
from torch import nn

from tegulo_rl import encoding
from tegulo_rl.distribution import LegalCategorical
from tegulo_rl.encoding import BOARD_PLANES, KINDS, PLANES, SEATS, SIDE

ORIENTATIONS = 91
LOWEST = torch.finfo(torch.float32).min


class GridNet(nn.Module):
    """The torso and the two heads: observations (planes or dict) to logits (N, 36400) and values (N,)."""

    def __init__(self, whole: bool, channels: int = 32, layers: int = 3, hidden: int = 64, bf16: bool = False) -> None:
        super().__init__()
        self.whole = whole
        self.bf16 = bf16
        self.first = nn.Conv2d(BOARD_PLANES if whole else PLANES, channels, 3, padding=1)
        self.vector = nn.Linear(SEATS * KINDS + SEATS, channels) if whole else None
        self.torso = nn.Sequential(
            *[m for _ in range(layers - 1) for m in (nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU())]
        )
        self.policy = nn.Conv2d(channels, ORIENTATIONS, 3, padding=1)
        self.value = nn.Sequential(
            nn.Conv2d(channels, 4, 1),
            nn.ReLU(),
            nn.Flatten(1),
            nn.Linear(4 * SIDE * SIDE, hidden),
            nn.ReLU(),
            nn.Linear(hidden, 1),
        )
        nn.init.orthogonal_(self.policy.weight, gain=0.01)
        nn.init.zeros_(self.policy.bias)  # type: ignore[arg-type]

    def features(self, observations: Any) -> torch.Tensor:
        """The torso's output (N, channels, 20, 20), in bfloat16 when the net runs in it."""
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            if self.vector is not None:
                vector = torch.cat([observations["pieces"].flatten(1), observations["done"].flatten(1)], dim=1)
                x = self.first(observations["board"].float()) + self.vector(vector.float())[:, :, None, None]
            else:
                x = self.first(observations.float().reshape(-1, PLANES, SIDE, SIDE))
            out: torch.Tensor = self.torso(torch.relu(x))
        return out

    def logits(self, features: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            out = self.policy(features).flatten(1)
        return out.float().masked_fill(mask <= 0, LOWEST)

    def values(self, features: torch.Tensor) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            out: torch.Tensor = self.value(features)
        return out.float().squeeze(-1)

    def forward(self, observations: Any, mask: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Masked logits (N, 36400) and values (N,) of observations (planes, or a dict of tensors)."""
        features = self.features(observations)
        return self.logits(features, mask), self.values(features)

    def policy_player(self, name: str, sample: bool = True, seed: int = 0) -> Any:
        """A frozen copy of this network as a `PolicyPlayer` named `name`: it samples its actions
        (or takes its top choice) over the legal ones, all the games of a call in one forward pass."""
        from tegulo_rl.policy import PolicyPlayer

        frozen = copy.deepcopy(self).eval()
        generator = torch.Generator().manual_seed(seed)
        observation = "dict" if self.whole else "planes"

        def play(batch: Any) -> Any:
            inputs = as_tensors(encoding.encode(batch, observation))
            mask = legal_mask(batch.legal_actions, batch.legal_offsets)
            with torch.no_grad():
                logits, _ = frozen(inputs, mask)
            legal = LegalCategorical(logits, mask)
            return (legal.sample(generator) if sample else legal.mode()).numpy()

        return PolicyPlayer(play, name=name)


def legal_mask(actions: Any, offsets: Any) -> torch.Tensor:
    """The (N, 36400) bool mask of legal lists (game i's: actions[offsets[i]:offsets[i + 1]])."""
    counts = np.diff(offsets)
    mask = torch.zeros((len(counts), ORIENTATIONS * SIDE * SIDE), dtype=torch.bool)
    mask[torch.from_numpy(np.repeat(np.arange(len(counts)), counts)), torch.as_tensor(np.asarray(actions).copy())] = (
        True
    )
    return mask


def as_tensors(encoded: Any) -> Any:
    """An encoded batch (planes, or a dict of them) as torch tensors sharing its memory."""
    if isinstance(encoded, dict):
        return {key: torch.from_numpy(value) for key, value in encoded.items()}
    return torch.from_numpy(encoded)
