"""Reading self-play data back: the one schema of the shards, the manifest, and `load`, which turns rows into
training examples.

Rows: one a decision, ordered by game id, then ply. Columns (`schema()`): game
(int64), ply (int16: placements made before the decision), agent (int8: the absolute
agent to move), record (RECORD_SIZE-byte fixed binary: the state record before the
move), action (int32, in the mover's frame), legal_count (int32: the mover's legal
actions), and the game's final scores (SEATS x int16) and final rewards in each reward
mode (rewards_score, rewards_win_share, rewards_rank: SEATS x float32), all by absolute
agent. Reading needs numpy and pyarrow, not Ray.
"""

from __future__ import annotations

import importlib
import json
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from tegulo_rl._views import RECORD_SIZE, REWARD_MODES, SEATS

if TYPE_CHECKING:
    import numpy.typing as npt
    import pyarrow as pa

    from tegulo_rl._batch import GameBatch

EXTRA = "pip install 'tegulo-rl[selfplay]'"
FORMAT = "tegulo-rl selfplay 1"
MANIFEST = "_manifest.json"  # a leading underscore: Parquet readers of the directory pass it by
MODES = REWARD_MODES

# What load() can give, beyond the raw columns it can pass on.
PLANES = ("observation", "corners", "blocked", "pieces", "done")
LEGAL = ("action_mask", "legal_actions", "legal_offsets")
RAW = ("game", "ply", "agent", "record", "legal_count", "scores")
EXAMPLE_COLUMNS = PLANES + LEGAL + ("action", "target") + RAW
DEFAULT_COLUMNS = PLANES + ("action_mask", "action", "target")


class RunMismatch(ValueError):
    """The output directory holds a run made with other arguments."""


def require(*modules: str) -> None:
    """Fails with the extra to install when one of `modules` is missing."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError as error:
            raise ImportError(f"tegulo_rl.selfplay needs ray and pyarrow ({module} is missing): {EXTRA}") from error


def whole(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return value


def schema() -> pa.Schema:
    """The one schema of every shard."""
    import pyarrow as pa

    rewards = pa.list_(pa.field("item", pa.float32(), nullable=False), SEATS)
    fields = [
        pa.field("game", pa.int64(), nullable=False),
        pa.field("ply", pa.int16(), nullable=False),
        pa.field("agent", pa.int8(), nullable=False),
        pa.field("record", pa.binary(RECORD_SIZE), nullable=False),
        pa.field("action", pa.int32(), nullable=False),
        pa.field("legal_count", pa.int32(), nullable=False),
        pa.field("scores", pa.list_(pa.field("item", pa.int16(), nullable=False), SEATS), nullable=False),
    ]
    fields += [pa.field(f"rewards_{mode}", rewards, nullable=False) for mode in MODES]
    return pa.schema(fields)


def shard_name(shard: int) -> str:
    return f"shard-{shard:05d}.parquet"


def read_manifest(out: str | os.PathLike[str]) -> dict[str, Any]:
    """The manifest of a run's directory."""
    with open(os.path.join(out, MANIFEST)) as source:
        manifest: dict[str, Any] = json.load(source)
    return manifest


def shard_paths(out: str | os.PathLike[str]) -> list[str]:
    """The complete shards of a run, in order."""
    return [os.path.join(out, s["file"]) for s in read_manifest(out)["shards"]]


def load(
    out: str | os.PathLike[str],
    *,
    batch_size: int = 4096,
    columns: Sequence[str] = DEFAULT_COLUMNS,
    reward_mode: str = "rank",
    threads: int | None = None,
) -> Iterator[dict[str, npt.NDArray[Any]]]:
    """Training examples from a run's shards: dicts of numpy arrays, `batch_size` rows each (the last may hold
    fewer), in the order of the rows.

    Columns, by name: the planes "observation", "corners", "blocked", "pieces", "done"
    of each row's position as its agent to move saw it, "action_mask" ((B, 36400)
    bool) or the legal lists "legal_actions" and "legal_offsets" (offsets into this
    batch's list), all made by GameBatch.observe() on `threads` threads, one batch
    refilled with GameBatch.load for every set of rows; "action" (int64, in the
    mover's frame); "target" ((B, 4) float32: the game's final rewards in
    `reward_mode`, in seat order, seat 0 the mover, as the planes list the agents);
    and the raw "game", "ply", "agent", "record" ((B, 278) uint8), "legal_count" and
    "scores" (by absolute agent). The planes are read-only views (`torch.from_numpy`
    takes them, and warns so once); the rest is writable. Needs numpy and pyarrow.
    """
    require("numpy", "pyarrow", "pyarrow.parquet")
    whole("batch_size", batch_size, 1)
    unknown = [c for c in columns if c not in EXAMPLE_COLUMNS]
    if unknown:
        raise ValueError(f"unknown columns {unknown}: expected some of {', '.join(EXAMPLE_COLUMNS)}")
    if reward_mode not in MODES:
        raise ValueError(f"Unknown reward mode {reward_mode!r}: expected one of {', '.join(MODES)}")
    import pyarrow as pa
    import pyarrow.parquet as pq

    wanted = tuple(columns)
    read = {"action": "action", "target": f"rewards_{reward_mode}"}
    needed = {read.get(c, c) for c in wanted if c in read or c in RAW}
    if "target" in wanted:
        needed.add("agent")
    if any(c in PLANES or c in LEGAL for c in wanted):
        needed.add("record")
    names = [f.name for f in schema() if f.name in needed]

    def batches() -> Iterator[pa.RecordBatch]:
        for path in shard_paths(out):
            yield from pq.ParquetFile(path).iter_batches(batch_size=batch_size, columns=names)

    positions = _Positions(threads)
    pending: list[pa.RecordBatch] = []
    count = 0
    for part in batches():
        pending.append(part)
        count += part.num_rows
        while count >= batch_size:
            table = pa.Table.from_batches(pending)
            yield _examples(table.slice(0, batch_size), wanted, reward_mode, positions)
            pending = table.slice(batch_size).to_batches()
            count -= batch_size
    if count:
        yield _examples(pa.Table.from_batches(pending), wanted, reward_mode, positions)


def _numpy(table: pa.Table, name: str) -> npt.NDArray[Any]:
    """A column as numpy: (B,) for a number, (B, 4) for a list of four, (B, 278) for the records."""
    import numpy as np
    import pyarrow as pa

    column = table.column(name).combine_chunks()
    if pa.types.is_fixed_size_binary(column.type):
        data = np.frombuffer(column.buffers()[1], np.uint8)
        return data[column.offset * RECORD_SIZE : (column.offset + len(column)) * RECORD_SIZE].reshape(-1, RECORD_SIZE)
    if pa.types.is_fixed_size_list(column.type):
        return np.asarray(column.flatten().to_numpy()).reshape(-1, SEATS)
    return np.asarray(column.to_numpy())


class _Positions:
    """One GameBatch for every set of rows of a `load`: made from the first records, refilled by
    GameBatch.load after, so that its thread pool and buffers serve the whole read. The arrays of an
    earlier observation stay as they were: the batch writes later ones elsewhere while they live."""

    def __init__(self, threads: int | None):
        self.threads = threads
        self.batch: GameBatch | None = None

    def of(self, records: npt.NDArray[Any]) -> GameBatch:
        from tegulo_rl._batch import GameBatch

        if self.batch is None:
            self.batch = GameBatch.from_bytes(records, threads=self.threads)
        else:
            self.batch.load(records)
        return self.batch


def _examples(
    table: pa.Table, wanted: tuple[str, ...], reward_mode: str, positions: _Positions
) -> dict[str, npt.NDArray[Any]]:
    import numpy as np

    examples: dict[str, npt.NDArray[Any]] = {}
    mask, lists = "action_mask" in wanted, bool({"legal_actions", "legal_offsets"} & set(wanted))
    if any(c in PLANES for c in wanted) or mask or lists:
        batch = positions.of(_numpy(table, "record"))
        obs = batch.observe("both" if mask and lists else "mask" if mask else "list")
        for name in wanted:
            if name in PLANES or name in LEGAL:
                examples[name] = getattr(obs, name)
    for name in wanted:
        if name == "action":
            examples[name] = _numpy(table, "action").astype(np.int64)
        elif name == "target":
            rewards = _numpy(table, f"rewards_{reward_mode}")
            agent = _numpy(table, "agent").astype(np.int64)
            seats = (agent[:, None] + np.arange(SEATS)) % SEATS
            examples[name] = np.take_along_axis(rewards, seats, axis=1)
        elif name in RAW:
            examples[name] = np.array(_numpy(table, name))
    return {name: examples[name] for name in wanted}
