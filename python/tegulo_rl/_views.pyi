"""Type stubs of the extension module tegulo_rl._views."""

from tegulo_rl._tegulo import PyObservation, PyTegulo

def planes(observation: PyObservation) -> memoryview:
    """A read-only memoryview over the six planes of `observation`, its own memory: the
    planes one after another in the order observation, corners, blocked, pieces, done,
    action_mask."""

def board_text(game: PyTegulo) -> str:
    """The board of `game` as `render()` draws it, without the final line feed."""

def panic_exception() -> type[BaseException]:
    """The PanicException class of the package, made on first request."""
