"""Where things are on the board, read from a state record and from the engine's own catalogue.

Cells are numbered row * 20 + column on the board as agent 0 sees it (the real
board; the frame of every picture). Everything here is pure Python and cheap:
a picture needs the cells of each agent, its pieces one by one, and the cells
an action covers.

- `position(record)`: each agent's cells, remaining kinds and the agent to move.
- `pieces(cells)`: an agent's cells cut into its pieces. No piece of an agent ever
  shares an edge with another piece of the same agent (the rules forbid it), so the
  edge-connected regions of an agent's cells are exactly its pieces: a record alone
  is enough to outline every piece of any position reached by play.
- `action_cells(action, agent)`: the cells an action covers when `agent` sends it (in
  its own frame, as `step` takes it). The shapes of the 91 orientations are read
  from the engine once, by letting it list the placements around a lone cell, so
  the catalogue has one source.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from functools import cache

from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import legal_actions

SIZE = 20
CELLS = SIZE * SIZE
KINDS = PyTegulo.piece_names
ORIENTATIONS = PyTegulo.action_grid_shape[0]
RECORD_SIZE = len(PyTegulo().to_bytes())
# Each agent's starting corner on the real board, as (row, column).
CORNERS = ((0, 0), (0, SIZE - 1), (SIZE - 1, SIZE - 1), (SIZE - 1, 0))

_BLOCK = 69  # bytes of one agent in the record: 64 of cells, 4 of remaining kinds, 1 of the last kind
_STRIDE = SIZE + 1  # positions per board row in the record's cell sets: one gap column


@dataclass(frozen=True)
class Position:
    """What a record says: each agent's cells (sorted), the kinds it still holds (kind indices), whose turn it is."""

    cells: tuple[tuple[int, ...], ...]
    remaining: tuple[tuple[int, ...], ...]
    to_move: int

    @property
    def ply(self) -> int:
        return sum(len(KINDS) - len(kinds) for kinds in self.remaining)


def record_of(game: PyTegulo | bytes) -> bytes:
    """The 278-byte record of a game, or the record itself (checked by the engine)."""
    if isinstance(game, PyTegulo):
        return game.to_bytes()
    if isinstance(game, (bytes, bytearray, memoryview)):
        record = bytes(game)
        PyTegulo.from_bytes(record)  # refuses what is not a record, with the engine's message
        return record
    raise TypeError(f"expected a PyTegulo or its 278-byte record, got {type(game).__name__}")


def position(game: PyTegulo | bytes) -> Position:
    """Each agent's cells and remaining kinds, and the agent to move, from a game or its record."""
    record = record_of(game)
    cells, remaining = [], []
    for agent in range(4):
        base = 1 + _BLOCK * agent
        # The cell set is four 128-bit little-endian words, the highest positions first.
        words = record[base : base + 64]
        bits = 0
        for i in range(4):
            bits |= int.from_bytes(words[16 * i : 16 * i + 16], "little") << (128 * (3 - i))
        agent_cells = []
        while bits:
            low = bits & -bits
            p = low.bit_length() - 1
            agent_cells.append(p // _STRIDE * SIZE + p % _STRIDE)
            bits ^= low
        cells.append(tuple(agent_cells))
        kinds = int.from_bytes(record[base + 64 : base + 68], "little")
        remaining.append(tuple(k for k in range(len(KINDS)) if kinds >> k & 1))
    return Position(tuple(cells), tuple(remaining), record[RECORD_SIZE - 1])


def neighbours(cell: int) -> Iterable[int]:
    """The cells that share an edge with `cell`."""
    row, col = divmod(cell, SIZE)
    if row > 0:
        yield cell - SIZE
    if row < SIZE - 1:
        yield cell + SIZE
    if col > 0:
        yield cell - 1
    if col < SIZE - 1:
        yield cell + 1


def pieces(cells: Iterable[int]) -> list[tuple[int, ...]]:
    """The edge-connected regions of a set of one agent's cells, each sorted, in the order of their first cells:
    in a position reached by play, the agent's pieces."""
    left = set(cells)
    found = []
    for start in sorted(left):
        if start not in left:
            continue
        left.discard(start)
        region, todo = [start], [start]
        while todo:
            for n in neighbours(todo.pop()):
                if n in left:
                    left.discard(n)
                    region.append(n)
                    todo.append(n)
        found.append(tuple(sorted(region)))
    return found


def turn_cw(cell: int, quarters: int) -> int:
    """`cell` turned `quarters` clockwise quarter turns about the board's centre: (r, c) to (c, 19 - r) each."""
    row, col = divmod(cell, SIZE)
    for _ in range(quarters % 4):
        row, col = col, SIZE - 1 - row
    return row * SIZE + col


def normalised(cells: Iterable[tuple[int, int]]) -> tuple[tuple[int, int], ...]:
    """(row, column) pairs moved so that the top row and the leftmost column are 0, sorted."""
    pairs = list(cells)
    top = min(r for r, _ in pairs)
    left = min(c for _, c in pairs)
    return tuple(sorted((r - top, c - left) for r, c in pairs))


@dataclass(frozen=True)
class Catalogue:
    """The 91 orientations: `shapes[o]` the (row, column) cells of orientation o in its bounding box,
    `kinds[o]` its kind index, `rotated[o]` and `flipped[o]` the orientation of the same kind turned a
    quarter clockwise and mirrored left to right."""

    shapes: tuple[tuple[tuple[int, int], ...], ...]
    kinds: tuple[int, ...]
    rotated: tuple[int, ...]
    flipped: tuple[int, ...]

    def cells(self, orientation: int, anchor: int) -> tuple[int, ...]:
        """The cells of an orientation whose bounding box has its top-left corner on cell `anchor`."""
        row, col = divmod(anchor, SIZE)
        return tuple((row + r) * SIZE + col + c for r, c in self.shapes[orientation])


@cache
def catalogue() -> Catalogue:
    """The orientations as the engine has them. An agent whose one cell stands in the middle of an empty
    board may attach every orientation below that cell's lower right corner, so the engine lists at
    least one placement of each; stepping one and reading the new cells gives its shape."""
    lone = 5 * _STRIDE + 5  # the cell (5, 5)
    record = bytearray(PyTegulo().to_bytes())
    record[1 + 48 + lone // 8] |= 1 << (lone % 8)  # the word of positions 0-127 is the last of the four
    start = PyTegulo.from_bytes(bytes(record))
    before = set(position(start).cells[0])
    found: dict[int, tuple[tuple[int, int], ...]] = {}
    for action in memoryview(legal_actions(start, 0)).cast("q"):
        orientation, anchor = divmod(action, CELLS)
        if orientation in found:
            continue
        game = start.copy()
        game.step(action)
        new = set(position(game).cells[0]) - before
        shape = normalised(divmod(cell, SIZE) for cell in new)
        if min(new) // SIZE != anchor // SIZE or min(c % SIZE for c in new) != anchor % SIZE:
            raise RuntimeError(f"orientation {orientation} does not start at its anchor")  # pragma: no cover
        found[orientation] = shape
    if len(found) != ORIENTATIONS:
        raise RuntimeError(f"the engine listed {len(found)} of {ORIENTATIONS} orientations")  # pragma: no cover
    shapes = tuple(found[o] for o in range(ORIENTATIONS))
    kinds = _kinds_of(shapes)
    index = {shape: o for o, shape in enumerate(shapes)}
    rotated = tuple(index[normalised((c, -r) for r, c in shape)] for shape in shapes)
    flipped = tuple(index[normalised((r, -c) for r, c in shape)] for shape in shapes)
    return Catalogue(shapes, kinds, rotated, flipped)


def _kinds_of(shapes: Sequence[tuple[tuple[int, int], ...]]) -> tuple[int, ...]:
    """The kind index of each orientation: orientations are listed kind by kind, and two orientations are
    of one kind exactly when one turns or mirrors into the other."""
    kinds: list[int] = []
    kind = -1
    family: set[tuple[tuple[int, int], ...]] = set()
    for shape in shapes:
        if shape not in family:
            kind += 1
            family = set()
            turned = shape
            for _ in range(4):
                turned = normalised((c, -r) for r, c in turned)
                family.add(turned)
                family.add(normalised((r, -c) for r, c in turned))
        kinds.append(kind)
    if kind != len(KINDS) - 1:
        raise RuntimeError(f"found {kind + 1} kinds of piece, expected {len(KINDS)}")  # pragma: no cover
    return tuple(kinds)


def action_cells(action: int, agent: int) -> tuple[int, ...]:
    """The cells of the real board that `action` covers when `agent` plays it (in that agent's frame,
    as `step` takes it), sorted. Agent p's frame is the board turned p quarter turns counter-clockwise,
    so its cells go back by p clockwise turns."""
    orientation, anchor = divmod(int(action), CELLS)
    if not 0 <= orientation < ORIENTATIONS:
        raise ValueError(f"action {action} is not an action index (0 to {ORIENTATIONS * CELLS - 1})")
    shape = catalogue().shapes[orientation]
    row, col = divmod(anchor, SIZE)
    if any(row + r >= SIZE or col + c >= SIZE for r, c in shape):
        raise ValueError(f"action {action} places its piece off the board")
    return tuple(sorted(turn_cw(cell, agent) for cell in catalogue().cells(orientation, anchor)))


def action_kind(action: int) -> int:
    """The kind index of the piece an action places."""
    return catalogue().kinds[int(action) // CELLS]


def orientation_of(cells: Iterable[int]) -> int:
    """The orientation whose shape covers exactly these cells (ValueError when none does)."""
    listed = sorted(cells)
    orientation = _orientation_of_shape().get(normalised(divmod(cell, SIZE) for cell in listed)) if listed else None
    if orientation is None:
        raise ValueError(f"no piece covers exactly the cells {listed}")
    return orientation


def kind_of(cells: Iterable[int]) -> int:
    """The kind index of the piece that covers exactly these cells (ValueError when no piece does)."""
    return catalogue().kinds[orientation_of(cells)]


def anchor_of(cells: Iterable[int]) -> int:
    """The cell under the top-left corner of the cells' bounding box."""
    listed = list(cells)
    return min(cell // SIZE for cell in listed) * SIZE + min(cell % SIZE for cell in listed)


@cache
def _orientation_of_shape() -> dict[tuple[tuple[int, int], ...], int]:
    return {shape: o for o, shape in enumerate(catalogue().shapes)}
