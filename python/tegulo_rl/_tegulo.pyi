"""Type stubs of the extension module tegulo_rl._tegulo."""

from typing import ClassVar, SupportsIndex, final

__all__ = ["PyTegulo", "PyObservation"]

@final
class PyTegulo:
    """One game: four agents placing polyominoes on a 20 x 20 board."""

    num_actions: ClassVar[int]
    action_grid_shape: ClassVar[tuple[int, int, int]]
    reward_modes: ClassVar[tuple[str, ...]]
    piece_names: ClassVar[tuple[str, ...]]

    def __new__(cls) -> PyTegulo: ...
    def reset(self) -> None: ...
    def copy(self) -> PyTegulo:
        """An independent copy of the game."""

    def __copy__(self) -> PyTegulo: ...
    def __deepcopy__(self, _memo: object) -> PyTegulo: ...
    def __getstate__(self) -> bytes:
        """Pickles the game as its `to_bytes` state."""

    def __setstate__(self, state: bytes) -> None: ...
    def to_bytes(self) -> bytes:
        """The game state as bytes, restore it with `from_bytes`."""

    @staticmethod
    def from_bytes(data: bytes) -> PyTegulo: ...
    @property
    def agents(self) -> list[int]: ...
    @property
    def agent_selection(self) -> int: ...
    @property
    def terminations(self) -> list[bool]: ...
    @property
    def rewards(self) -> list[int | None]:
        """The score of every agent that is done, None for the others."""

    @property
    def scores(self) -> list[int]:
        """Every agent's official score as if the game ended now."""

    @property
    def is_over(self) -> bool: ...
    @property
    def ply(self) -> int:
        """The number of placements made so far, by all agents."""

    def outcome(self, mode: str) -> list[float] | None:
        """The final rewards in `mode`, one of `reward_modes`, None until the game is over."""

    def observe(self, agent_idx: SupportsIndex) -> PyObservation: ...
    def step(self, action_idx: SupportsIndex | None) -> None: ...
    def render(self) -> None: ...

@final
class PyObservation:
    """An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in
    agent-relative order, see `Observation`."""

    @property
    def observation(self) -> bytes:
        """The occupied cells in (agent, row, col) order."""

    @property
    def corners(self) -> bytes:
        """The cells each agent's next piece can attach to, in (agent, row, col) order."""

    @property
    def blocked(self) -> bytes:
        """The cells each agent can never fill, in (agent, row, col) order."""

    @property
    def pieces(self) -> bytes:
        """The pieces each agent still has, in (agent, piece) order."""

    @property
    def done(self) -> bytes:
        """Whether each agent is out of moves."""

    @property
    def action_mask(self) -> bytes:
        """The action mask over the flattened action grid."""
