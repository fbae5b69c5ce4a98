"""Any policy as a player: a callable that takes a batch of positions and returns one action for each.

    def mine(observation):                      # a BatchObservation
        first = observation.legal_offsets[:-1]  # the first legal action of every game
        return observation.legal_actions[first]

    lineup.step(batch, [mine, "random"], seats)
    TeguloVectorEnv(64, opponents=mine)          # or a Pool of policies, names and checkpoints

A policy is called with a `BatchObservation` of the games where one of its seats
is to move, and only those: every plane in the frame of that game's agent to move,
the legal lists (`legal_actions`, `legal_offsets`), and the mask (`action_mask`)
when `PolicyPlayer(policy, legal="both")` or `legal="mask"` asks for it. It returns
one action per game, in that game's mover's frame: a sequence or array of shape (n,)
of integers. A line-up calls each policy once per batch step, whatever the number
of games it plays.

What a policy returns is checked: a wrong shape, a non-integer, an action that is
not legal, or an exception raised inside it is refused with ValueError naming the
policy (its `name`, or the function's) and the game, before any game changes.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from tegulo_rl._views import NUM_ACTIONS

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

LEGAL = ("list", "mask", "both")

Policy = Callable[[Any], Any]


@dataclass(frozen=True, eq=False)
class PolicyPlayer:
    """A callable `policy(observation) -> actions` as a player; `legal` says whether its
    observations carry the mask ("mask" or "both") besides the lists. Two PolicyPlayers
    are the same player when they wrap the same callable with the same settings."""

    policy: Policy
    name: str = ""
    legal: str = "list"

    def __post_init__(self) -> None:
        if not callable(self.policy):
            raise TypeError(f"a policy must be callable, got {type(self.policy).__name__}")
        if self.legal not in LEGAL:
            raise ValueError(f"Unknown legal {self.legal!r}: expected one of {', '.join(LEGAL)}")
        if not isinstance(self.name, str):
            raise TypeError(f"name must be a str, got {type(self.name).__name__}")
        if not self.name:
            object.__setattr__(self, "name", _callable_name(self.policy))

    def __eq__(self, other: object) -> bool:
        return (
            isinstance(other, PolicyPlayer)
            and other.policy is self.policy
            and (other.name, other.legal) == (self.name, self.legal)
        )

    def __hash__(self) -> int:
        return hash((id(self.policy), self.name, self.legal))

    def __str__(self) -> str:
        return self.name

    @property
    def wants_mask(self) -> bool:
        return self.legal != "list"


def _callable_name(policy: Policy) -> str:
    name = getattr(policy, "__name__", None) or type(policy).__name__
    return f"policy {name}"


def rows(observation: Any, games: npt.NDArray[np.intp], mask: bool) -> Any:
    """The BatchObservation of some games of a BatchObservation that holds the legal lists (and
    the mask, which is kept only when `mask`)."""
    import numpy as np

    from tegulo_rl._batch import BatchObservation

    offsets = observation.legal_offsets
    counts = np.diff(offsets)[games]
    sub_offsets = np.zeros(len(games) + 1, dtype=np.int64)
    np.cumsum(counts, out=sub_offsets[1:])
    starts = np.repeat(offsets[:-1][games] - sub_offsets[:-1], counts)
    entries = starts + np.arange(int(sub_offsets[-1]), dtype=np.int64)
    return BatchObservation(
        (
            observation.observation[games],
            observation.corners[games],
            observation.blocked[games],
            observation.pieces[games],
            observation.done[games],
            observation.current_agent[games],
            observation.legal_actions[entries],
            sub_offsets,
            observation.action_mask[games] if mask and observation.action_mask is not None else None,
        )
    )


def play(
    player: PolicyPlayer, observation: Any, games: npt.NDArray[np.intp], numbers: npt.NDArray[np.int64] | None = None
) -> npt.NDArray[np.int64]:
    """What `player` plays in `games` (indices into the BatchObservation `observation`, which holds
    increasing legal lists): its actions, checked. Messages call game i `numbers[i]` (default i)."""
    import numpy as np

    sub = rows(observation, games, player.wants_mask)
    named = games if numbers is None else numbers[games]
    where = f"game {int(named[0])}" if len(games) == 1 else f"games {_listed(named)}"
    try:
        answer = player.policy(sub)
    except Exception as error:
        raise ValueError(f"opponent {player.name!r} failed in {where}: {type(error).__name__}: {error}") from error
    try:
        actions = np.asarray(answer)
    except Exception as error:
        raise ValueError(f"opponent {player.name!r} returned no array of actions in {where}: {error}") from None
    if actions.shape != (len(games),):
        raise ValueError(
            f"opponent {player.name!r} returned actions of shape {actions.shape} for {where}: "
            f"expected ({len(games)},), one per game"
        )
    if actions.dtype.kind not in "iu":
        raise ValueError(f"opponent {player.name!r} returned {actions.dtype} actions for {where}: expected integers")
    actions = actions.astype(np.int64)
    legal = _legal(sub, actions)
    if not legal.all():
        bad = int(np.flatnonzero(~legal)[0])
        raise ValueError(
            f"opponent {player.name!r} returned action {int(actions[bad])} in game {int(named[bad])}, "
            "which is not legal for its agent to move"
        )
    return actions


def _legal(sub: Any, actions: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
    """Whether each game's action is in its (increasing) legal list."""
    import numpy as np

    in_range = (actions >= 0) & (actions < NUM_ACTIONS)
    counts = np.diff(sub.legal_offsets)
    keys = np.repeat(np.arange(len(counts), dtype=np.int64) * NUM_ACTIONS, counts) + sub.legal_actions
    wanted = np.arange(len(actions), dtype=np.int64) * NUM_ACTIONS + np.clip(actions, 0, NUM_ACTIONS - 1)
    at = np.minimum(np.searchsorted(keys, wanted), max(len(keys) - 1, 0))
    found = keys[at] == wanted if len(keys) else np.zeros(len(actions), dtype=bool)
    return np.asarray(in_range & found, dtype=bool)


def _listed(games: npt.NDArray[np.intp]) -> str:
    shown = ", ".join(str(int(g)) for g in games[:8])
    return shown + (f" and {len(games) - 8} more" if len(games) > 8 else "")
