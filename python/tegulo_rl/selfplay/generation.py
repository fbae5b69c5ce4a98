"""Generating self-play data: games between built-in players on Ray, every decision a row of Parquet.

Players: one player (a name such as "greedy" or "mcts:400", or a
tegulo_rl.players.Player) plays every seat, or a sequence of SEATS plays one seat
each: players[a] plays absolute agent a of every game.

Shards: the games are cut into shards of `shard_games` games (the last may hold
fewer). Shard k is played on a GameBatch of min(shard_games, BATCH_GAMES) games, one
thread, seeded with SeedSequence(seed, spawn_key=(k,)).generate_state(1, uint64),
so its games follow from the seed, the shard number and the players alone, whatever
the number of workers or threads. The batch restarts games as they end; the shard
keeps the first games that end, in the order they end (by round, then by slot in the
batch), and drops the rest with their rows. Game j of shard k has the id
k * shard_games + j; a shorter last shard holds the first games a full one would.
The rows and their columns are those of `tegulo_rl.selfplay.data`.

Running: every shard is a Ray task, a pure function of the output directory, the
shard number, the seed, the players and the shard sizes, that writes its shard under a
hidden temporary name and renames it into place (os.replace) once it is complete.
Ray retries a task whose worker dies (MAX_RETRIES), a rerun skips the shards already
there, and the files are the same bytes however the run went. `_manifest.json`
records the arguments, versions, schema and the complete shards; a rerun into a
directory holding another run is refused. One run at a time per directory; on a
cluster, the directory must be on storage that every node sees.

Test hook (off unless set): when TEGULO_SELFPLAY_CRASH_DIR names a directory, a
shard task that finds a file named after its shard number there removes it and kills
its worker (os._exit) after writing part of its temporary file; it fires once per file.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import platform
import secrets
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO

from tegulo_rl import __version__
from tegulo_rl._ray import connected
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import RECORD_SIZE, SEATS, TURN_BYTE
from tegulo_rl.lineup import AnyPlayer, NetPlayer, parse
from tegulo_rl.players import Player
from tegulo_rl.selfplay.data import (
    FORMAT,
    MANIFEST,
    MODES,
    RunMismatch,
    read_manifest,
    require,
    schema,
    shard_name,
    whole,
)

if TYPE_CHECKING:
    import numpy as np
    import pyarrow as pa

BATCH_GAMES = 256  # games in a shard's batch at most: enough for native code to dominate each round
THREADS = 1  # per shard task: Ray runs one task a CPU
DEFAULT_SHARD_GAMES = 1000
ROW_GROUP_ROWS = 65536
MAX_RETRIES = 3
CRASH_ENV = "TEGULO_SELFPLAY_CRASH_DIR"


def shard_seed(seed: int, shard: int) -> int:
    """The seed of shard `shard`'s batch: a function of the run's seed and the shard number only."""
    import numpy as np

    return int(np.random.SeedSequence(seed, spawn_key=(shard,)).generate_state(1, np.uint64)[0])


def as_players(player: str | AnyPlayer | Sequence[str | AnyPlayer]) -> tuple[AnyPlayer, ...]:
    """One player for every seat, or four, one per seat: built-in players or ones that use a network."""
    if isinstance(player, (str, Player, NetPlayer)):
        return (parse(player),)
    if not isinstance(player, Sequence):
        raise TypeError(f"player must be a player or a sequence of four, got {type(player).__name__}")
    if len(player) != SEATS:
        raise ValueError(f"a sequence of players needs one per seat, four, got {len(player)}")
    return tuple(parse(p) for p in player)


@dataclass(frozen=True)
class Plan:
    """The arguments that decide what a run writes."""

    players: tuple[AnyPlayer, ...]
    games: int
    seed: int
    shard_games: int

    @property
    def num_shards(self) -> int:
        return -(-self.games // self.shard_games)

    @property
    def batch_games(self) -> int:
        return min(self.shard_games, BATCH_GAMES)

    def games_in(self, shard: int) -> int:
        return min(self.shard_games, self.games - shard * self.shard_games)

    def arguments(self) -> dict[str, Any]:
        """What the manifest holds of the plan, as JSON gives it back."""
        args = {
            "format": FORMAT,
            "tegulo_rl": __version__,
            "players": [dataclasses.asdict(p) for p in self.players],
            "games": self.games,
            "seed": self.seed,
            "shard_games": self.shard_games,
            "batch_games": self.batch_games,
            "num_shards": self.num_shards,
        }
        loaded: dict[str, Any] = json.loads(json.dumps(args))
        return loaded


def make_plan(
    player: str | AnyPlayer | Sequence[str | AnyPlayer],
    games: int,
    seed: int = 0,
    shard_games: int = DEFAULT_SHARD_GAMES,
) -> Plan:
    """A checked plan; clear errors for arguments no run can have."""
    return Plan(
        as_players(player), whole("games", games, 1), whole("seed", seed, 0), whole("shard_games", shard_games, 1)
    )


@dataclass(frozen=True)
class Shard:
    """A complete shard file."""

    number: int
    file: str
    rows: int
    games: int


# --- Playing a shard ---------------------------------------------------------------------------------------------


def play_shard(plan: Plan, shard: int) -> pa.Table:
    """The rows of shard `shard`, in memory: the same whoever plays it, wherever."""
    import numpy as np
    import pyarrow as pa

    from tegulo_rl._batch import GameBatch
    from tegulo_rl.lineup import choose as lineup_choose

    n, wanted = plan.batch_games, plan.games_in(shard)
    batch = GameBatch(n, reward_mode="score", threads=THREADS, seed=shard_seed(plan.seed, shard))
    players = list(plan.players)
    seats = None if len(plan.players) == 1 else np.tile(np.arange(SEATS, dtype=np.int64), (n, 1))
    records, actions, counts = [], [], []
    begun = np.zeros(n, np.int64)  # the round at which each slot's game began
    slots, begins, ends, finals = [], [], [], []
    kept = rounds = 0
    while kept < wanted:
        records.append(batch.to_bytes())
        if any(isinstance(p, NetPlayer) for p in players):
            chosen = lineup_choose(batch, players, seats)
            offsets = batch.observe().legal_offsets
            assert offsets is not None  # asked for: legal lists are observe's default
            legal_counts = np.diff(offsets).astype(np.int32)
        else:
            choice = batch.choose([p for p in players if isinstance(p, Player)], seats)
            chosen, legal_counts = choice.actions, choice.legal_counts
        result = batch.step(chosen)
        actions.append(chosen)
        counts.append(legal_counts)
        ended = np.flatnonzero(result.terminated)
        take = ended[: wanted - kept]
        if len(take):
            slots.append(take)
            begins.append(begun[take])
            ends.append(np.full(len(take), rounds))
            finals.append(result.final_records[take])
            kept += len(take)
        begun[ended] = rounds + 1
        rounds += 1

    # Game g's rows are rounds begins[g] .. ends[g] of its slot: gathered in one go.
    slot, begin, end = np.concatenate(slots), np.concatenate(begins), np.concatenate(ends)
    lengths = end - begin + 1
    firsts = np.cumsum(lengths) - lengths
    ply = np.arange(int(lengths.sum())) - np.repeat(firsts, lengths)
    flat = (np.repeat(begin, lengths) + ply) * n + np.repeat(slot, lengths)
    record = np.ascontiguousarray(np.concatenate(records)[flat])
    final_games = [PyTegulo.from_bytes(r.tobytes()) for r in np.concatenate(finals)]

    def per_row(values: list[list[float]] | list[list[int]], dtype: type[np.generic]) -> pa.FixedSizeListArray:
        return pa.FixedSizeListArray.from_arrays(np.repeat(np.array(values, dtype), lengths, axis=0).reshape(-1), SEATS)

    game_ids = shard * plan.shard_games + np.arange(len(slot))
    columns = [
        pa.array(np.repeat(game_ids, lengths), pa.int64()),
        pa.array(ply.astype(np.int16)),
        pa.array(record[:, TURN_BYTE].astype(np.int8)),
        pa.FixedSizeBinaryArray.from_buffers(pa.binary(RECORD_SIZE), len(flat), [None, pa.py_buffer(record)]),
        pa.array(np.concatenate(actions)[flat].astype(np.int32)),
        pa.array(np.concatenate(counts)[flat].astype(np.int32)),
        per_row([g.scores for g in final_games], np.int16),
    ]
    columns += [per_row([g.outcome(mode) or [] for g in final_games], np.float32) for mode in MODES]
    return pa.Table.from_arrays(columns, schema=schema())


def _crash_hook(sink: BinaryIO, shard: int) -> None:
    armed = os.environ.get(CRASH_ENV)
    if not armed:
        return
    try:
        os.remove(os.path.join(armed, str(shard)))  # only one attempt can remove it
    except FileNotFoundError:
        return
    sink.flush()
    os._exit(1)


def _temporary(out: str, name: str, mode: str) -> tuple[str, Any]:
    """A new hidden file in `out` for one attempt at `name`, opened with the permissions of any new file."""
    path = os.path.join(out, f".{name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    return path, open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), mode)


def write_shard(plan: Plan, shard: int, out: str) -> Shard:
    """Plays shard `shard` and puts its file in `out` once complete; a temporary file before."""
    import pyarrow.parquet as pq

    table = play_shard(plan, shard)
    name = shard_name(shard)
    temporary, sink = _temporary(out, name, "wb")
    try:
        with sink:
            # The records are all different: dictionaries and min/max statistics of them would be waste.
            others = [f.name for f in table.schema if f.name != "record"]
            with pq.ParquetWriter(
                sink, table.schema, compression="zstd", use_dictionary=others, write_statistics=others
            ) as writer:
                for start in range(0, table.num_rows, ROW_GROUP_ROWS):
                    writer.write_table(table.slice(start, ROW_GROUP_ROWS))
                    _crash_hook(sink, shard)
            sink.flush()
            os.fsync(sink.fileno())
        os.replace(temporary, os.path.join(out, name))
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)
        raise
    return Shard(shard, name, table.num_rows, plan.games_in(shard))


def _shard_task(plan: Plan, shard: int, out: str) -> Shard:
    return write_shard(plan, shard, out)


# --- The run -----------------------------------------------------------------------------------------------------


def _versions() -> dict[str, str]:
    from importlib import metadata

    return {
        "tegulo_rl": __version__,
        "pyarrow": metadata.version("pyarrow"),
        "ray": metadata.version("ray"),
        "python": platform.python_version(),
    }


def _write_json(path: str, content: dict[str, Any]) -> None:
    temporary, sink = _temporary(os.path.dirname(path), "manifest", "w")
    with sink:
        json.dump(content, sink, indent=2)
        sink.write("\n")
    os.replace(temporary, path)


def _write_manifest(out: str, plan: Plan, shards: dict[int, Shard]) -> None:
    done = [shards[k] for k in sorted(shards)]
    manifest = plan.arguments() | {
        "seats": "players[a] plays agent a of every game" if len(plan.players) == SEATS else "one player, every seat",
        "threads": THREADS,
        "versions": _versions(),
        "schema": [{"name": f.name, "type": str(f.type)} for f in schema()],
        "complete": len(done) == plan.num_shards,
        "games_written": sum(s.games for s in done),
        "rows": sum(s.rows for s in done),
        "shards": [{"shard": s.number, "file": s.file, "rows": s.rows, "games": s.games} for s in done],
    }
    _write_json(os.path.join(out, MANIFEST), manifest)


def _check_directory(out: str, plan: Plan) -> None:
    """Refuses a directory that holds another run's shards."""
    if not os.path.exists(os.path.join(out, MANIFEST)):
        if any(name.startswith("shard-") and name.endswith(".parquet") for name in os.listdir(out)):
            raise RunMismatch(f"{out} holds shard files but no {MANIFEST}: it is not a run this can add to")
        return
    there = read_manifest(out)
    here = plan.arguments()
    differ = [
        f"{key}: {there.get(key)!r} there, {value!r} here" for key, value in here.items() if there.get(key) != value
    ]
    if differ:
        raise RunMismatch(
            f"{out} holds a self-play run with other arguments ({'; '.join(differ)}): "
            "rerun with the same arguments, or write to another directory"
        )


def _remove_temporaries(out: str) -> None:
    """Removes what attempts that died left behind."""
    for name in os.listdir(out):
        if name.startswith((".shard-", ".manifest.")) and name.endswith(".tmp"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(out, name))


def _complete_shards(out: str, plan: Plan) -> dict[int, Shard]:
    import pyarrow.parquet as pq

    shards = {}
    for k in range(plan.num_shards):
        path = os.path.join(out, shard_name(k))
        if os.path.exists(path):
            shards[k] = Shard(k, shard_name(k), pq.read_metadata(path).num_rows, plan.games_in(k))
    return shards


@dataclass(frozen=True)
class Summary:
    """What a run left in its directory and what it did."""

    out: str
    games: int  # in the directory's complete shards
    rows: int
    shards_written: int
    shards_skipped: int
    games_played: int  # by this run
    rows_played: int
    seconds: float

    @property
    def games_per_second(self) -> float:
        return self.games_played / self.seconds if self.seconds > 0 else 0.0

    @property
    def rows_per_second(self) -> float:
        return self.rows_played / self.seconds if self.seconds > 0 else 0.0

    def report(self) -> str:
        return "\n".join(
            [
                f"{self.games} games, {self.rows} rows in {self.out}",
                f"shards: {self.shards_written} written, {self.shards_skipped} skipped (already complete)",
                f"{self.seconds:.1f} s: {self.games_per_second:.0f} games/s, {self.rows_per_second:.0f} rows/s",
            ]
        )


def generate(
    player: str | AnyPlayer | Sequence[str | AnyPlayer],
    games: int,
    out: str | os.PathLike[str],
    *,
    seed: int = 0,
    shard_games: int = DEFAULT_SHARD_GAMES,
    workers: int | None = None,
    address: str | None = None,
    progress: Callable[[int, int, int], None] | None = None,
) -> Summary:
    """Plays `games` self-play games into Parquet shards in `out`, skipping the shards already there.

    `player` plays every seat, or four players play one seat each (players[a] is agent
    a). Each shard is a Ray task: a process already connected to Ray uses that
    connection; otherwise `address` joins a cluster (left running) and None starts a
    local instance for the run. `workers` caps the tasks in flight (None: as many as
    Ray runs). A task holds its shard in memory, about 20 KB a game. `progress(
    shards_done, shards, games_played)` hears of each shard. Raises RunMismatch when
    `out` holds a run with other arguments.
    """
    plan = make_plan(player, games, seed, shard_games)
    if workers is not None:
        whole("workers", workers, 1)
    require("numpy", "pyarrow", "pyarrow.parquet", "ray")
    import ray

    clock = time.perf_counter
    start = clock()
    out = os.path.abspath(os.fspath(out))
    os.makedirs(out, exist_ok=True)
    _check_directory(out, plan)
    _remove_temporaries(out)
    shards = _complete_shards(out, plan)
    skipped = len(shards)
    _write_manifest(out, plan, shards)
    todo = [k for k in range(plan.num_shards) if k not in shards]
    played = rows_played = 0
    if progress:
        progress(len(shards), plan.num_shards, 0)
    if todo:
        with connected(address):
            task = ray.remote(num_cpus=1, max_retries=MAX_RETRIES)(_shard_task)
            cap = len(todo) if workers is None else workers
            pending: dict[Any, int] = {}
            queue = iter(todo)
            try:
                while True:
                    while len(pending) < cap and (k := next(queue, None)) is not None:
                        pending[task.remote(plan, k, out)] = k
                    if not pending:
                        break
                    ready, _ = ray.wait(list(pending), num_returns=1)
                    for ref in ready:
                        del pending[ref]
                        shard: Shard = ray.get(ref)
                        shards[shard.number] = shard
                        played += shard.games
                        rows_played += shard.rows
                        _write_manifest(out, plan, shards)
                        if progress:
                            progress(len(shards), plan.num_shards, played)
            finally:
                for ref in pending:
                    ray.cancel(ref, force=True)
        _remove_temporaries(out)
    return Summary(
        out,
        sum(s.games for s in shards.values()),
        sum(s.rows for s in shards.values()),
        len(todo),
        skipped,
        played,
        rows_played,
        clock() - start,
    )
