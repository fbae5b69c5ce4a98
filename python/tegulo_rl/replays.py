"""Games as lists of positions to draw: from a record, from self-play data, or played afresh.

Each function returns records (278 bytes each): the position before the first
placement, then the position after each placement, so that
`draw.animation(positions, ...)` has one frame per placement.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from pathlib import Path

from tegulo_rl import geometry, lineup
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.geometry import KINDS, RECORD_SIZE, SIZE
from tegulo_rl.lineup import AnyPlayer

__all__ = ["RECORD_SIZE", "fresh", "from_record", "from_saved", "from_selfplay"]


def _choose(game: PyTegulo, player: AnyPlayer, seed: int) -> int | None:
    """What a player plays for the game's agent to move: every choice of a player's move made for a
    picture or for the play page goes through here."""
    return lineup.choose_one(game, player, seed=seed)


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
        action = None if game.terminations[agent] else _choose(game, chosen[agent], seed * 1_000_003 + game.ply)
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
    an earlier one at a corner, nearest the corner first. Pieces no chain reaches (never in play) come last."""
    corner = geometry.CORNERS[agent][0] * SIZE + geometry.CORNERS[agent][1]
    left = sorted(pieces, key=lambda p: min(abs(c // SIZE - corner // SIZE) + abs(c % SIZE - corner % SIZE) for c in p))
    order: list[tuple[int, ...]] = []
    reach = {corner}  # cells a next piece may cover to attach
    while left:
        nxt = next((p for p in left if reach & set(p)), None)
        if nxt is None:
            order.extend(left)
            break
        left.remove(nxt)
        order.append(nxt)
        for cell in nxt:
            r, c = divmod(cell, SIZE)
            for dr in (-1, 1):
                for dc in (-1, 1):
                    if 0 <= r + dr < SIZE and 0 <= c + dc < SIZE:
                        reach.add((r + dr) * SIZE + c + dc)
    return order


def from_record(record: bytes) -> list[bytes]:
    """Positions leading to a record's position. The record does not say in which order the pieces came,
    so each agent's pieces come in an order the rules allow (`_order`) and the agents take turns."""
    where = geometry.position(geometry.record_of(record))
    orders = [_order(agent, geometry.pieces(where.cells[agent])) for agent in range(4)]
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
    """The positions of game `game` of self-play data (a shard, or the folder of a run), as played."""
    try:
        import pyarrow.dataset as ds
    except ImportError:
        raise ImportError("self-play data needs pyarrow: pip install 'tegulo-rl[selfplay]'") from None
    table = (
        ds.dataset(os.fspath(path), format="parquet", exclude_invalid_files=True)
        .to_table(columns=["ply", "record", "action"], filter=ds.field("game") == game)
        .sort_by("ply")
    )
    if table.num_rows == 0:
        raise ValueError(f"no game {game} in {os.fspath(path)}")
    records = table.column("record").to_pylist()
    last = PyTegulo.from_bytes(records[-1])
    last.step(table.column("action")[-1].as_py())
    return _placements([*records, last.to_bytes()])


def from_saved(path: str | os.PathLike[str]) -> list[bytes]:
    """The positions of a game the play page saved (its `ID.json`, which lists every step), as played."""
    saved = json.loads(Path(path).read_text(encoding="utf-8"))
    game = PyTegulo()
    records = [game.to_bytes()]
    for action in saved["steps"]:
        game.step(action)
        records.append(game.to_bytes())
    if "record" in saved and game.to_bytes().hex() != saved["record"]:
        raise ValueError(f"{os.fspath(path)}: its steps do not lead to its record")
    return _placements(records)
