"""Games as lists of positions to draw: from a record, from self-play data, or played afresh.

Each function returns records (278 bytes each): the position before the first
placement, then the position after each placement, so that
`draw.animation(positions, ...)` has one frame per placement.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from tegulo_rl import geometry, lineup, saved
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.geometry import KINDS, RECORD_SIZE, SIZE
from tegulo_rl.lineup import AnyPlayer

__all__ = ["RECORD_SIZE", "fresh", "from_record", "from_saved", "from_selfplay"]


def stream(seed: int, ply: int) -> int:
    """The seed of a player's choice at `ply` of the game seeded `seed`: a different stream at every ply,
    taken modulo 2**64 so that every seed a game accepts (negative ones too) gives one the players take."""
    return (seed * 1_000_003 + ply) % 2**64


def _choose(game: PyTegulo, player: AnyPlayer, seed: int) -> int | None:
    """What a player plays for the game's agent to move in the game seeded `seed`: every choice of a
    player's move made for a picture or for the play page goes through here."""
    return lineup.choose_one(game, player, seed=stream(seed, game.ply))


def _placements(records: Sequence[bytes]) -> list[bytes]:
    """The first position and each one after a placement (passes dropped)."""
    kept = [records[0]]
    for record in records[1:]:
        if geometry.position(record).ply > geometry.position(kept[-1]).ply:
            kept.append(record)
    return kept


def fresh(seats: Sequence[str | AnyPlayer], seed: int = 0) -> list[bytes]:
    """A new game between four players (agent 0's first), each choosing with its own seed from `seed`."""
    if len(seats) != 4:
        raise ValueError(f"a game has four players, got {len(seats)}")
    chosen = [lineup.parse(p) for p in seats]
    game = PyTegulo()
    records = [game.to_bytes()]
    while not game.is_over:
        agent = game.agent_selection
        action = None if game.terminations[agent] else _choose(game, chosen[agent], seed)
        game.step(action)
        records.append(game.to_bytes())
    return _placements(records)


def _code(kind: int) -> int:
    """A kind's byte in the record: 6 * (kind index - cells + 1) + cells."""
    cells = len(geometry.catalogue().shapes[geometry.catalogue().kinds.index(kind)])
    return 6 * (kind - cells + 1) + cells


def encode(cells: Sequence[Sequence[int]], placed: Sequence[Sequence[int]], to_move: int) -> bytes:
    """The record of a position given each agent's cells and the kinds it placed, the last one last."""
    record = bytearray(RECORD_SIZE)
    record[0] = 1
    for agent in range(4):
        base = 1 + 69 * agent
        bits = 0
        for cell in cells[agent]:
            bits |= 1 << (cell // SIZE * (SIZE + 1) + cell % SIZE)
        for i in range(4):  # four 128-bit words, the highest positions first
            word = bits >> (128 * (3 - i)) & ((1 << 128) - 1)
            record[base + 16 * i : base + 16 * i + 16] = word.to_bytes(16, "little")
        remaining = (1 << len(KINDS)) - 1
        for kind in placed[agent]:
            remaining &= ~(1 << kind)
        record[base + 64 : base + 68] = remaining.to_bytes(4, "little")
        record[base + 68] = _code(placed[agent][-1]) if placed[agent] else 0
    record[RECORD_SIZE - 1] = to_move
    return bytes(record)


def _order(agent: int, pieces: list[tuple[int, ...]]) -> list[tuple[int, ...]]:
    """An agent's pieces in an order the rules allow: first the one on its corner, then each piece touching
    an earlier one at a corner, nearest the corner first. ValueError when no such order reaches a piece: no
    game could have placed it."""
    corner = geometry.CORNERS[agent][0] * SIZE + geometry.CORNERS[agent][1]
    left = sorted(pieces, key=lambda p: min(abs(c // SIZE - corner // SIZE) + abs(c % SIZE - corner % SIZE) for c in p))
    order: list[tuple[int, ...]] = []
    reach = {corner}  # cells a next piece may cover to attach
    while left:
        nxt = next((p for p in left if reach & set(p)), None)
        if nxt is None:
            if not order:
                raise ValueError(f"none of agent {agent}'s pieces covers its corner (cell {corner})")
            raise ValueError(f"agent {agent}'s piece on cells {list(left[0])} touches no corner of its other pieces")
        left.remove(nxt)
        order.append(nxt)
        for cell in nxt:
            r, c = divmod(cell, SIZE)
            for dr in (-1, 1):
                for dc in (-1, 1):
                    if 0 <= r + dr < SIZE and 0 <= c + dc < SIZE:
                        reach.add((r + dr) * SIZE + c + dc)
    return order


def _pieces(record: bytes, where: geometry.Position) -> list[list[tuple[int, ...]]]:
    """Each agent's pieces in an order the rules allow, ValueError when the record is of no position play
    reaches: two agents on one cell, cells that are no piece, pieces other than the kinds the record says
    were placed, or a last kind it did not place."""
    owner: dict[int, int] = {}
    for agent in range(4):
        for cell in where.cells[agent]:
            if cell in owner:
                raise ValueError(f"agents {owner[cell]} and {agent} both hold cell {cell} (row {cell // SIZE}, "
                                 f"column {cell % SIZE})")  # fmt: skip
            owner[cell] = agent
    orders = []
    for agent in range(4):
        found = geometry.pieces(where.cells[agent])
        kinds = []
        for piece in found:
            try:
                kinds.append(geometry.kind_of(piece))
            except ValueError:
                raise ValueError(f"agent {agent}'s cells {list(piece)} are no piece") from None
        placed = sorted(set(range(len(KINDS))) - set(where.remaining[agent]))
        if sorted(kinds) != placed:
            raise ValueError(f"agent {agent} has the pieces {_names(kinds)} on the board, but the record says it "
                             f"placed {_names(placed)}")  # fmt: skip
        last = record[1 + 69 * agent + 68]
        if (last == 0) != (not placed) or (last and last % 6 and last // 6 + last % 6 - 1 not in placed):
            raise ValueError(f"agent {agent}'s last piece (code {last}) is not one it placed")
        orders.append(_order(agent, found))
    return orders


def _names(kinds: Sequence[int]) -> str:
    return " ".join(KINDS[k] for k in sorted(kinds)) or "none"


def from_record(record: bytes) -> list[bytes]:
    """Positions leading to a record's position. The record does not say in which order the pieces came,
    so each agent's pieces come in an order the rules allow (`_order`) and the agents take turns. A record
    of a position no game reaches is refused with ValueError naming the fault."""
    record = geometry.record_of(record)
    orders = _pieces(record, geometry.position(record))
    cells: list[list[int]] = [[] for _ in range(4)]
    placed: list[list[int]] = [[] for _ in range(4)]
    records = [encode(cells, placed, 0)]
    for turn in range(max(map(len, orders), default=0)):
        for agent in range(4):
            if turn < len(orders[agent]):
                piece = orders[agent][turn]
                cells[agent].extend(piece)
                placed[agent].append(geometry.kind_of(piece))
                records.append(encode(cells, placed, (agent + 1) % 4))
    return records


def from_selfplay(path: str | os.PathLike[str], game: int) -> list[bytes]:
    """The positions of game `game` of self-play data (a shard, or the folder of a run), as played. Refused
    with ValueError when the data lack a decision (a ply missing) or a decision does not follow from the
    one before it by the rules."""
    try:
        import pyarrow as pa
        import pyarrow.dataset as ds
    except ImportError:
        raise ImportError("self-play data needs pyarrow: pip install 'tegulo-rl[selfplay]'") from None
    where = os.fspath(path)
    if not 0 <= game < 2**63:
        raise ValueError(f"no game {game} in {where}: game ids are from 0 to 2**63 - 1")
    try:
        table = (
            ds.dataset(where, format="parquet", exclude_invalid_files=True)
            .to_table(columns=["ply", "record", "action"], filter=ds.field("game") == game)
            .sort_by("ply")
        )
    except (pa.ArrowException, OSError) as error:
        raise ValueError(f"{where}: not self-play data ({str(error).splitlines()[0][:160]})") from None
    if table.num_rows == 0:
        raise ValueError(f"no game {game} in {where}")
    plies = table.column("ply").to_pylist()
    if plies != list(range(len(plies))):
        gap = next(p for p, q in enumerate(plies) if p != q)
        raise ValueError(f"game {game} of {where} has no decision at ply {gap}: the data are incomplete")
    records, actions = table.column("record").to_pylist(), table.column("action").to_pylist()
    played: list[bytes] = []
    for ply, (record, action) in enumerate(zip(records, actions, strict=True)):
        try:
            position = PyTegulo.from_bytes(record)
        except (AssertionError, ValueError) as error:
            raise ValueError(f"game {game} of {where}, ply {ply}: not a record ({error})") from None
        if played and record[:-1] != played[-1][:-1]:  # the turn may differ by the passes between
            raise ValueError(f"game {game} of {where}, ply {ply}: its position does not follow from ply {ply - 1}")
        if geometry.position(record).ply != ply:
            raise ValueError(f"game {game} of {where}, ply {ply}: its record holds {geometry.position(record).ply} "
                             "placements")  # fmt: skip
        try:
            position.step(action)
        except (AssertionError, OverflowError, TypeError):
            raise ValueError(f"game {game} of {where}, ply {ply}: action {action} is not legal there") from None
        played.append(position.to_bytes())
    return _placements([records[0], *played])


def from_saved(path: str | os.PathLike[str]) -> list[bytes]:
    """The positions of a game the play page saved (its `ID.json`, which lists every step), as played;
    ValueError naming the file and its first fault when it is not such a game (see `saved.check`)."""
    try:
        game = saved.read(path)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None
    position = PyTegulo()
    records = [position.to_bytes()]
    for action in game.steps:
        position.step(action)
        records.append(position.to_bytes())
    return _placements(records)
