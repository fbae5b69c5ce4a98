"""The policy-value network: fully convolutional, its policy head shaped like the action grid.

Input: the mover's view of the board (12 planes of 20 x 20: the cells, the attach
corners and the blocked cells of the four seats, seat 0 the mover) with a 13th plane
marking the board itself, padded by PAD cells below and to the right (where pieces
reach from a top-left cell near the edge); and the pieces every seat holds with the
done flags (88 numbers), which a linear layer adds to the first layer's channels.
The trunk is `layers` 3 x 3 convolutions with residual connections.

Policy: a 91-channel 1 x 1 convolution, one channel an orientation. Its output at
cell (r + 2, c + 2), the centre of the 5 x 5 box of a piece whose top-left cell is
(r, c), is the logit of action orientation * 400 + r * 20 + c: the flattened
(91, 20, 20) logits are in the engine's action order. Reading the centre rather
than the top-left corner lets the trunk's receptive field (layers cells each way)
cover the whole piece and the cells around it. A 1 x 1 head costs a ninth of a
3 x 3 one, which was most of the network's time. Illegal actions are masked out
before the softmax.

Value: the mean of the last layer's channels and the pieces vector through a small
MLP to four numbers, each seat's expected rank reward (a sigmoid: rank rewards lie
in [0, 1]).
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

import numpy as np
import torch
from torch import nn
from torch.nn import functional as F

SEATS = 4
PIECES = 21
SIDE = 20
ORIENTATIONS = 91
ACTIONS = ORIENTATIONS * SIDE * SIDE
PAD = 2
PLANES = 3 * SEATS + 1  # cells, corners and blocked of each seat, and the board marker
VECTOR = SEATS * PIECES + SEATS  # pieces held and done flags
CENTRE = 2  # offset of a piece box's centre from its top-left cell
SCORE_UNIT = 89.0  # the score head's unit: the cells of a full set of pieces


@dataclass(frozen=True)
class Architecture:
    """What a network's shape depends on; a checkpoint records it and loads only into the same."""

    channels: int = 32
    layers: int = 6  # 3 x 3 convolutions of the trunk, the first reading the input planes
    value_hidden: int = 64
    shape_head: bool = False  # the shape-aware policy term (see ShapeHead)
    aux_heads: bool = False  # heads of the auxiliary training targets (see PolicyValueNet.outputs)

    def to_dict(self) -> dict[str, Any]:
        # Flags left at False are left out, so that older readers still read the architecture.
        return {k: v for k, v in asdict(self).items() if not (k == "aux_heads" and v is False)}

    @staticmethod
    def from_dict(data: dict[str, Any]) -> Architecture:
        counts = {"channels", "layers", "value_hidden"}
        flags = {"shape_head", "aux_heads"}
        if (
            not counts <= set(data) <= counts | flags
            or not all(isinstance(data[k], int) and not isinstance(data[k], bool) and data[k] >= 1 for k in counts)
            or not all(isinstance(data.get(k, False), bool) for k in flags)
        ):
            raise ValueError(f"not an architecture of this network: {data!r}")
        return Architecture(**data)


class ShapeHead(nn.Module):
    """A policy term that knows each orientation's shape: three maps computed from the trunk
    (what covering a cell is worth, what a new attach corner there is worth, what losing it
    along an edge costs) summed over the orientation's cells, its corner cells and its edge
    cells (fixed masks, `shapes.relation_masks`), each sum scaled by a learnt weight per
    orientation. A 1 x 1 head sees only the centre of a placement's box and cannot tell two
    shapes over it apart; this term is how a one-move look-ahead scores a placement, learnt.
    Its scales start at zero, so that adding it to a trained network changes nothing."""

    def __init__(self, channels: int):
        super().__init__()
        from tegulo_rl.net.shapes import relation_masks

        self.maps = nn.Conv2d(channels, 3, 1)
        self.scale = nn.Parameter(torch.zeros(ORIENTATIONS, 3, 1, 1))
        self.masks: torch.Tensor
        self.register_buffer("masks", torch.from_numpy(relation_masks()), persistent=False)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        maps = F.pad(self.maps(x[:, :, :SIDE, :SIDE]), (1, 5, 1, 5))  # frame row 0 is the box's row -1
        return F.conv2d(maps, self.scale * self.masks)


class PolicyValueNet(nn.Module):
    """Maps a batch of positions (`features`) to action logits (N, 36400) and values (N, 4)."""

    def __init__(self, arch: Architecture = Architecture()):
        super().__init__()
        self.arch = arch
        c = arch.channels
        self.stem = nn.Conv2d(PLANES, c, 3, padding=1)
        self.vector = nn.Linear(VECTOR, c)
        self.trunk = nn.ModuleList(nn.Conv2d(c, c, 3, padding=1) for _ in range(arch.layers - 1))
        self.policy = nn.Conv2d(c, ORIENTATIONS, 1)
        self.shape = ShapeHead(c) if arch.shape_head else None
        self.value = nn.Sequential(
            nn.Linear(c + VECTOR, arch.value_hidden), nn.ReLU(), nn.Linear(arch.value_hidden, SEATS)
        )
        # Auxiliary heads, trained but never played from: who covers each cell at the end
        # (empty or one of the four seats) and each seat's final score.
        self.owner = nn.Conv2d(c, SEATS + 1, 1) if arch.aux_heads else None
        self.score = nn.Linear(c + VECTOR, SEATS) if arch.aux_heads else None

    def forward(self, planes: torch.Tensor, vector: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        logits, values, _ = self.outputs(planes, vector, aux=False)
        return logits, values

    def outputs(
        self, planes: torch.Tensor, vector: torch.Tensor, aux: bool = True
    ) -> tuple[torch.Tensor, torch.Tensor, tuple[torch.Tensor, torch.Tensor] | None]:
        """Logits (N, 36400), values (N, 4) and, with `aux` and the heads, the auxiliary
        outputs: owner logits (N, 5, 20, 20), class 0 an empty cell and 1 + s seat s, and
        final scores (N, 4) in units of SCORE_UNIT."""
        # Under a bfloat16 autocast, the first layer and the heads stay in float32, and so does
        # the residual sum: with them the argmax agrees with float32's on 99.3% of positions, against
        # 98.3% with the heads alone in float32 and 95.6% with none (8-bit mantissas flip near-ties).
        with torch.autocast(planes.device.type, enabled=False):
            x = F.relu(self.stem(planes.float()) + self.vector(vector.float())[:, :, None, None])
        for conv in self.trunk:
            x = x + F.relu(conv(x)).float()  # residual: deeper layers refine rather than replace
        with torch.autocast(x.device.type, enabled=False):
            logits = self.policy(x[:, :, CENTRE : CENTRE + SIDE, CENTRE : CENTRE + SIDE])
            if self.shape is not None:
                logits = logits + self.shape(x)
            board = x[:, :, :SIDE, :SIDE]
            pooled = board.mean(dim=(2, 3))
            joined = torch.cat([pooled, vector.float()], dim=1)
            values = torch.sigmoid(self.value(joined))
            extra = None
            if aux and self.owner is not None and self.score is not None:
                extra = (self.owner(board), self.score(joined))
        return logits.reshape(len(planes), ACTIONS), values, extra


def features(observation: Any, device: torch.device | str = "cpu") -> tuple[torch.Tensor, torch.Tensor]:
    """The network's input from a BatchObservation (or anything with its plane attributes):
    padded planes (N, 13, 22, 22) and the pieces-and-done vector (N, 88), float32."""
    cells = np.concatenate([observation.observation, observation.corners, observation.blocked], axis=1)
    n = len(cells)
    planes = np.zeros((n, PLANES, SIDE + PAD, SIDE + PAD), np.float32)
    planes[:, : PLANES - 1, :SIDE, :SIDE] = cells
    planes[:, PLANES - 1, :SIDE, :SIDE] = 1.0
    vector = np.concatenate([observation.pieces.reshape(n, -1), observation.done.reshape(n, -1)], axis=1)
    return torch.from_numpy(planes).to(device), torch.from_numpy(vector.astype(np.float32)).to(device)


def masked(logits: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
    """Logits with every illegal action at -inf (the mask: (N, 36400) bool, True where legal)."""
    return logits.masked_fill(~mask, float("-inf"))
