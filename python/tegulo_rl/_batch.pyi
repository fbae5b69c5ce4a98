"""Type stubs of the extension module tegulo_rl._batch."""

from collections.abc import Sequence
from typing import Any, Final, SupportsIndex, final

import numpy as np
import numpy.typing as npt
from _typeshed import structseq

from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.players import Player

_U8 = npt.NDArray[np.uint8]
_I64 = npt.NDArray[np.int64]

@final
class BatchObservation(
    structseq[Any], tuple[_U8, _U8, _U8, _U8, _U8, _I64, _I64 | None, _I64 | None, npt.NDArray[np.bool_] | None]
):
    """Every game of a GameBatch as its agent to move sees it."""

    __match_args__: Final = (
        "observation",
        "corners",
        "blocked",
        "pieces",
        "done",
        "current_agent",
        "legal_actions",
        "legal_offsets",
        "action_mask",
    )
    @property
    def observation(self) -> _U8:
        """(N, 4, 20, 20) uint8: the cells each seat's pieces cover, seat 0 the agent to move"""
    @property
    def corners(self) -> _U8:
        """(N, 4, 20, 20) uint8: the cells each seat's next piece can attach at"""
    @property
    def blocked(self) -> _U8:
        """(N, 4, 20, 20) uint8: the cells each seat can never fill"""
    @property
    def pieces(self) -> _U8:
        """(N, 4, 21) uint8: the piece kinds each seat still holds"""
    @property
    def done(self) -> _U8:
        """(N, 4) uint8: whether each seat is out of moves"""
    @property
    def current_agent(self) -> _I64:
        """(N,) int64: the agent to move, whose view this is"""
    @property
    def legal_actions(self) -> _I64 | None:
        """int64: every game's legal actions, one game after another, increasing unless unsorted; None unless asked"""
    @property
    def legal_offsets(self) -> _I64 | None:
        """(N + 1,) int64: game i's actions are legal_actions[legal_offsets[i]:legal_offsets[i + 1]]"""
    @property
    def action_mask(self) -> npt.NDArray[np.bool_] | None:
        """(N, 36400) bool: the legal actions as a mask; None unless asked"""

@final
class BatchStep(structseq[Any], tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_], npt.NDArray[np.int32], _U8]):
    """What a step of a GameBatch did."""

    __match_args__: Final = ("rewards", "terminated", "scores", "final_records")
    @property
    def rewards(self) -> npt.NDArray[np.float32]:
        """(N, 4) float32: by agent, the rewards of each game that ended, in the batch's mode; else 0"""
    @property
    def terminated(self) -> npt.NDArray[np.bool_]:
        """(N,) bool: whether the game ended in this step (it has started again since)"""
    @property
    def scores(self) -> npt.NDArray[np.int32]:
        """(N, 4) int32: the scores after the step; a game that ended, its final scores"""
    @property
    def final_records(self) -> _U8:
        """(N, 278) uint8: the record of each game that ended, as it stood at its end; else 0"""

@final
class BatchChoice(structseq[Any], tuple[_I64, npt.NDArray[np.int32]]):
    """What the players of a GameBatch chose for its games."""

    __match_args__: Final = ("actions", "legal_counts")
    @property
    def actions(self) -> _I64:
        """(N,) int64: each game's chosen action, in the frame of its agent to move"""
    @property
    def legal_counts(self) -> npt.NDArray[np.int32]:
        """(N,) int32: the number of legal actions that agent chose from"""

_Players = str | Player | Sequence[str | Player]

@final
class GameBatch:
    """A fixed number of independent games held in native code and stepped together."""

    def __new__(
        cls,
        num_games: SupportsIndex,
        *,
        reward_mode: str = "rank",
        threads: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
    ) -> GameBatch: ...
    def __len__(self) -> int: ...
    @property
    def num_games(self) -> int:
        """The number of games."""
    @property
    def threads(self) -> int:
        """The number of threads that work on a call."""
    @property
    def reward_mode(self) -> str:
        """The reward mode of step's rewards."""
    @property
    def seed(self) -> int:
        """The seed of the games' random streams."""
    def reset(self, seed: SupportsIndex | None = None) -> None: ...
    def observe(self, legal: str = "list", *, sorted: bool = True) -> BatchObservation: ...
    def step(self, actions: npt.ArrayLike) -> BatchStep: ...
    def step_random(self) -> BatchStep: ...
    def play_random(self, games: SupportsIndex) -> npt.NDArray[np.int32]: ...
    def choose(self, players: _Players, seats: npt.ArrayLike | None = None) -> BatchChoice: ...
    def step_players(self, players: _Players, seats: npt.ArrayLike | None = None) -> BatchStep: ...
    def step_learners(
        self,
        actions: npt.ArrayLike,
        players: _Players,
        opponents: npt.ArrayLike | None = None,
        *,
        next_learners: npt.ArrayLike | None = None,
        playing: npt.ArrayLike | None = None,
        next_opponents: npt.ArrayLike | None = None,
    ) -> BatchStep: ...
    def to_bytes(self) -> _U8: ...
    @staticmethod
    def from_bytes(
        records: npt.ArrayLike,
        *,
        reward_mode: str = "rank",
        threads: SupportsIndex | None = None,
        seed: SupportsIndex | None = None,
    ) -> GameBatch: ...
    def load(self, records: npt.ArrayLike) -> None: ...
    def game(self, index: SupportsIndex) -> PyTegulo: ...
    def set_game(self, index: SupportsIndex, game: PyTegulo) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def _restore(
    records: bytes, reward_mode: str, threads: SupportsIndex | None, seed: SupportsIndex, streams: bytes
) -> GameBatch: ...
