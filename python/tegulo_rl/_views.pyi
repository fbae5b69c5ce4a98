"""Type stubs of the extension module tegulo_rl._views."""

from typing import SupportsIndex

from tegulo_rl._tegulo import PyObservation, PyTegulo

SEATS: int
"""Agents in a game (4), and seats in every agent-relative plane."""
BOARD_SIZE: int
"""Rows of the board, and columns (20)."""
PIECE_KINDS: int
"""Piece kinds each agent owns (21), in `PyTegulo.piece_names` order."""
ORIENTATIONS: int
"""Orientations of all the kinds (91): the first axis of `PyTegulo.action_grid_shape`."""
NUM_ACTIONS: int
"""Entries of the action grid, ORIENTATIONS x BOARD_SIZE x BOARD_SIZE (36400): `PyTegulo.num_actions`."""
REWARD_MODES: tuple[str, ...]
"""The reward modes of `PyTegulo.outcome`, as `PyTegulo.reward_modes` lists them."""
RECORD_SIZE: int
"""Bytes of a state record, `PyTegulo.to_bytes()` (278)."""
RECORD_VERSION: int
"""The record's first byte: the version of its layout (1)."""
AGENT_BLOCK_OFFSETS: tuple[int, ...]
"""Where each agent's block starts in the record (1, 70, 139, 208): its cells (64 bytes), the kinds it still
holds (4 bytes, little-endian, bit k for kind k) and the code of its last placed kind (1 byte)."""
AGENT_BLOCK_SIZE: int
"""Bytes of one agent's block in the record (69)."""
TURN_BYTE: int
"""The record's last byte (277): the agent to move."""

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
