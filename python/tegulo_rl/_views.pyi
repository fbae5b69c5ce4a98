"""Type stubs of the extension module tegulo_rl._views."""

from typing import SupportsIndex

from tegulo_rl._tegulo import PyObservation, PyTegulo

def planes(observation: PyObservation) -> memoryview:
    """A read-only memoryview over the six planes of `observation`, its own memory: the
    planes one after another in the order observation, corners, blocked, pieces, done,
    action_mask."""

def board_text(game: PyTegulo) -> str:
    """The board of `game` as `render()` draws it, without the final line feed."""

def legal_actions(game: PyTegulo, agent: SupportsIndex) -> bytes:
    """The legal action indices of `agent` (0 to 3) in `game`, in the agent's own frame
    and in increasing order, as native int64 values in a bytes object: wrap them with
    numpy.frombuffer(..., dtype=numpy.int64). Empty for an agent out of moves."""

def panic_exception() -> type[BaseException]:
    """The PanicException class of the package, made on first request."""
