"""A pool of opponents: each game draws its opponents from it, by weight, at every new game.

    from tegulo_rl.pool import Pool

    pool = Pool(["random", "greedy", mine], weights=[1, 1, 2])   # names, players, checkpoints, policies
    env = TeguloVectorEnv(64, opponents=pool)       # every opponent seat of every game draws from it
    pool.add(snapshot, weight=3)                    # from the next new game on, snapshot plays too

A member is anything a line-up takes: a built-in player's name or `Player`, a
network player ("net:PATH", `NetPlayer`), or a policy (a callable, or a
`PolicyPlayer`). Each of a game's three opponent seats draws its member
independently, with probability proportional to the weights, when the game starts;
the game keeps them to its end. `add` grows the pool while the environments using it
run. A pool of built-in players that do not search still steps in one native call.

Refused when the pool is made or grown: a member that is not a player (an unknown
name), and weights that are negative, not finite, or all zero.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from tegulo_rl import lineup
from tegulo_rl.lineup import AnyPlayer


class Pool:
    """Opponents drawn by weight; see the module's documentation."""

    def __init__(self, members: Sequence[Any], weights: Sequence[float] | None = None) -> None:
        if isinstance(members, (str, bytes)) or not isinstance(members, Sequence):
            raise TypeError(f"members must be a sequence of players, got {type(members).__name__}")
        if not members:
            raise ValueError("a pool needs at least one member")
        chosen = [1.0] * len(members) if weights is None else [_weight(w) for w in weights]
        if len(chosen) != len(members):
            raise ValueError(f"{len(members)} members but {len(chosen)} weights")
        if sum(chosen) <= 0:
            raise ValueError("the weights must not all be zero")
        self._members: list[AnyPlayer] = [lineup.parse(m) for m in members]
        self._weights = chosen

    def add(self, member: Any, weight: float = 1.0) -> None:
        """Adds a member: games that start from now on may draw it."""
        parsed = lineup.parse(member)
        self._weights.append(_weight(weight))
        self._members.append(parsed)

    @property
    def members(self) -> tuple[AnyPlayer, ...]:
        return tuple(self._members)

    @property
    def weights(self) -> tuple[float, ...]:
        return tuple(self._weights)

    def __len__(self) -> int:
        return len(self._members)

    def draw(self, rng: np.random.Generator, size: int) -> npt.NDArray[np.int64]:
        """`size` member numbers drawn independently by weight."""
        if len(self._members) == 1:
            return np.zeros(size, dtype=np.int64)
        p = np.asarray(self._weights, dtype=np.float64)
        return np.asarray(rng.choice(len(p), size=size, p=p / p.sum()), dtype=np.int64)

    def __repr__(self) -> str:
        shown = ", ".join(f"{lineup.label(m)}: {w:g}" for m, w in zip(self._members, self._weights, strict=True))
        return f"Pool({{{shown}}})"


def _weight(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"a weight must be a number, got {type(value).__name__}")
    weight = float(value)
    if not math.isfinite(weight) or weight < 0:
        raise ValueError(f"a weight must be a finite number of at least 0, got {value!r}")
    return weight
