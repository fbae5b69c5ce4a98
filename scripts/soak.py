"""Long runs of the batched engine, the arena and self-play, checked as they go, with resident memory watched.

    PYTHONPATH=BUILD/python BUILD/venv/bin/python scripts/soak.py [options]

where BUILD is a build of scripts/test.sh (build/test-py311 by default; TEGULO_BUILD_DIR
names another). Options:

    --only batch|arena|selfplay   one phase (default: all three, in that order)
    --seed N                      the seed of everything random (default 0)
    --steps N                     batch: game steps (default 10,000,000)
    --games N                     batch: games in the GameBatch (default 1024)
    --checkpoint N                batch: steps between checkpoints (default 500,000)
    --sample N                    batch: games replayed on PyTegulo at a checkpoint (default 32)
    --minutes M                   arena and self-play: wall time of each (default 10)
    --arena-players P...          arena: the line-up (default random greedy heuristic mcts:200)
    --arena-games N               arena: games a round (default 12)
    --arena-batch N               arena: games played at once (default 4: slots are refilled as games end)
    --selfplay-player P           self-play: the player of every seat (default mcts:100)
    --selfplay-games N            self-play: games a run (default 8)
    --shard-games N               self-play: games a shard (default 4)
    --ray-per-run                 self-play: let each generate() start and stop its own local Ray
    --rss-margin MB               growth of resident memory after the warm-up that fails a phase (default 16)
    --json FILE                   the report as JSON too

Not part of the test suite: with the defaults it takes about 25 minutes on two cores.
Exits 0 when every phase passes, 1 when any fails (the report says which check, where).

batch: a GameBatch on every core stepped as a training loop steps it: observe (legal
lists), one uniformly random legal action per game chosen in numpy, step; finished
games restart inside the batch. Every step checks what it can in numpy: each finished
game made as many placements as it took steps (the record's remaining pieces say how
many), its rank rewards lie in [0, 1], add up to 2 and follow its scores, games that
did not finish got no reward and no record. Every checkpoint rebuilds a batch from the
records and compares records and every observation array, replays a sample of games
and of finished games on PyTegulo (planes, legal actions, scores, outcomes),
round-trips the batch through pickle, and checks that the steps add up: placements of
the finished games plus those of the games in play equal the steps taken.

arena: tegulo_rl.arena.play in rounds of a few games with a new seed each, checking
every round's games (all counted, seats rotated completely, scores and rewards in range
and consistent with each other) and sampling memory between rounds.

selfplay: tegulo_rl.selfplay.generate in runs of new seeds into a temporary directory,
on a local Ray bound to 127.0.0.1; each run read back as it ends (manifest, shard files
and rows agree, every game replays move by move on PyTegulo to its logged result,
load() gives what each mover saw), and every run loaded once more at the end.

Memory: resident size from /proc/self/statm after a gc, at each checkpoint or between
rounds or runs, once glibc and pyarrow have given back the memory they hold free. The
first two samples are the warm-up (thread stacks, numpy's, pyarrow's and Ray's caches,
the batch's result buffers); after it, resident size may not rise more than
--rss-margin above the last warm-up sample. 16 MB lies well above what fragmentation
moves at those points (up to 6 MB measured) and well below what the smallest leak
worth finding adds over a default run: a 278-byte record per finished game leaks
about 47 MB over the 170,000 games of the batch phase, 8 bytes per step 80 MB, and a
result of 2 KB per batch call (about 10,000 calls) 20 MB.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import pickle
import shutil
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np

import tegulo_rl
from tegulo_rl import GameBatch, PyTegulo, as_arrays
from tegulo_rl._views import AGENT_BLOCK_OFFSETS, AGENT_BLOCK_SIZE, SEATS
from tegulo_rl._views import PIECE_KINDS as PIECES

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
# glibc's, to give the heap's free memory back; None with another C library.
MALLOC_TRIM = getattr(ctypes.CDLL(None), "malloc_trim", None)
MB = 1 << 20
WARMUP_SAMPLES = 2
PLANES = ("observation", "corners", "blocked", "pieces", "done")
LOWEST_SCORE, HIGHEST_SCORE = -89, 20  # all 89 cells held; all placed with the monomino last


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def settled_resident() -> int:
    """Resident size once the garbage the phase left is collected and the allocators gave back what is free.

    pyarrow's pool and glibc's heap keep freed memory for reuse, in steps of many MB
    that come and go with the order of frees; returned, what stays resident is what
    is in use, which is what a leak adds to."""
    gc.collect()
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None:
        pyarrow.default_memory_pool().release_unused()
    if MALLOC_TRIM is not None:
        MALLOC_TRIM(0)
    return resident()


class SoakFailure(Exception):
    """A check of a phase failed."""


def check(condition: Any, message: str) -> None:
    if not condition:
        raise SoakFailure(message)


@dataclass
class Interval:
    seconds: float  # since the phase began
    done: int  # steps or games, in total
    rate: float  # steps or games per second over the interval
    rss: int


@dataclass
class PhaseReport:
    name: str
    unit: str  # "steps" or "games"
    seconds: float = 0.0
    done: int = 0
    intervals: list[Interval] = field(default_factory=list)
    rss_start: int = 0
    rss_warm: int | None = None
    rss_end: int = 0
    rss_margin: int = 0
    figures: dict[str, Any] = field(default_factory=dict)
    failure: str | None = None

    @property
    def passed(self) -> bool:
        return self.failure is None

    def sample(self, started: float, last: tuple[float, int], done: int) -> tuple[float, int]:
        """Records an interval that ended now with `done` in total; the (time, done) the next one starts from."""
        rss = settled_resident()
        now = time.perf_counter()
        rate = (done - last[1]) / (now - last[0]) if now > last[0] else 0.0
        self.intervals.append(Interval(now - started, done, rate, rss))
        self.done = done
        return now, done

    def check_memory(self) -> None:
        """Fails if resident size rose more than the margin above the last warm-up sample."""
        if len(self.intervals) <= WARMUP_SAMPLES:
            self.figures["memory"] = f"not checked: {len(self.intervals)} samples, none after the warm-up"
            return
        self.rss_warm = self.intervals[WARMUP_SAMPLES - 1].rss
        later = self.intervals[WARMUP_SAMPLES:]
        peak = max(later, key=lambda i: i.rss)
        check(
            peak.rss - self.rss_warm <= self.rss_margin,
            f"resident memory grew by {(peak.rss - self.rss_warm) / MB:.1f} MB after the warm-up "
            f"({self.rss_warm / MB:.1f} MB at {self.intervals[WARMUP_SAMPLES - 1].done} {self.unit}, "
            f"{peak.rss / MB:.1f} MB at {peak.done}), more than the {self.rss_margin / MB:.0f} MB allowed",
        )

    def lines(self) -> list[str]:
        out = [f"== {self.name}: {'PASS' if self.passed else 'FAIL'}"]
        out.append(f"duration {self.seconds:.1f} s, {self.done:,} {self.unit}")
        out.append(f"{'seconds':>9} {self.unit:>12} {self.unit + '/s':>12} {'RSS MB':>9}")
        for i in self.intervals:
            out.append(f"{i.seconds:9.1f} {i.done:12,} {i.rate:12,.1f} {i.rss / MB:9.1f}")
        warm = "-" if self.rss_warm is None else f"{self.rss_warm / MB:.1f}"
        out.append(
            f"RSS: start {self.rss_start / MB:.1f} MB, after warm-up {warm} MB, end {self.rss_end / MB:.1f} MB "
            f"(allowed growth after warm-up {self.rss_margin / MB:.0f} MB)"
        )
        for key, value in self.figures.items():
            out.append(f"{key}: {value}")
        if self.failure:
            out.append(f"FAIL: {self.failure}")
        return out


def run_phase(report: PhaseReport, body: Any, *args: Any) -> PhaseReport:
    """Runs a phase, turning a failed check (or any error) into the report's failure."""
    started = time.perf_counter()
    report.rss_start = settled_resident()
    try:
        body(report, started, *args)
        report.check_memory()
    except SoakFailure as failure:
        report.failure = str(failure)
    except (Exception, tegulo_rl.PanicException) as error:  # noqa: BLE001 - the code under test failed: say how
        report.failure = f"{type(error).__name__}: {error}"
    report.seconds = time.perf_counter() - started
    report.rss_end = settled_resident()
    print("\n".join(report.lines()), flush=True)
    return report


# --- batch ------------------------------------------------------------------------------------------------------


def record_plies(records: np.ndarray) -> np.ndarray:
    """Placements made in each record's game: the kinds no longer held, from the 21-bit remaining sets."""
    first = AGENT_BLOCK_OFFSETS[0]
    blocks = records[:, first : first + SEATS * AGENT_BLOCK_SIZE].reshape(-1, SEATS, AGENT_BLOCK_SIZE)
    held = np.unpackbits(np.ascontiguousarray(blocks[:, :, 64:68]), axis=-1).sum(axis=(1, 2))
    return SEATS * PIECES - held.astype(np.int64)


def check_outcomes(scores: np.ndarray, rank: np.ndarray, where: str) -> None:
    """Final scores in range and rank rewards that follow from them: (3 - place) / 3, ties sharing the mean."""
    check(((scores >= LOWEST_SCORE) & (scores <= HIGHEST_SCORE)).all(), f"{where}: a final score out of range")
    check(((rank >= 0) & (rank <= 1)).all(), f"{where}: a rank reward outside [0, 1]")
    check(np.allclose(rank.sum(axis=1), 2.0, atol=1e-5), f"{where}: rank rewards that do not add up to 2")
    above = scores[:, :, None] > scores[:, None, :]
    check(not (above & (rank[:, :, None] <= rank[:, None, :])).any(), f"{where}: a higher score with no higher reward")
    tied = scores[:, :, None] == scores[:, None, :]
    check(np.allclose(np.where(tied, rank[:, :, None] - rank[:, None, :], 0), 0, atol=1e-6), f"{where}: tied, unequal")


def legal_list(game: PyTegulo) -> list[int]:
    return np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, bool)).tolist()


def same_arrays(first: Any, second: Any, names: tuple[str, ...], what: str) -> None:
    for name in names:
        check(np.array_equal(getattr(first, name), getattr(second, name)), f"{what}: the {name} arrays differ")


def checkpoint(batch: GameBatch, age: np.ndarray, last: Any, ended: list[tuple[bytes, list[int], list[float], int]],
               steps: int, finished_plies: int, rng: np.random.Generator, sample: int) -> None:  # fmt: skip
    """Every check of a checkpoint; raises SoakFailure naming the first fault.

    The live batch is observed as the loop observes it, with the legal lists: asking it
    for the action mask would have its two result blocks each keep a mask (37 MB for
    1024 games) that fills with resident pages as the games visit new actions, which
    is a training loop on masks' cost, not this loop's. The masks are checked on the
    copies, against the live lists."""
    where = f"checkpoint at {steps:,} steps"
    records = batch.to_bytes()
    check((record_plies(records) == age).all(), f"{where}: a game in play made other than one placement a step")
    check(finished_plies + int(age.sum()) == steps, f"{where}: the placements do not add up to the steps")
    live = batch.observe()
    copy = GameBatch.from_bytes(records, threads=None, seed=batch.seed)
    check(np.array_equal(copy.to_bytes(), records), f"{where}: from_bytes gave other records")
    obs = copy.observe("both")
    listed = (*PLANES, "current_agent", "legal_actions", "legal_offsets")
    same_arrays(obs, live, listed, f"{where}, from_bytes")
    counts = np.diff(live.legal_offsets)
    rows = np.repeat(np.arange(len(batch)), counts)
    check(
        obs.action_mask[rows, live.legal_actions].all() and (obs.action_mask.sum(axis=1) == counts).all(),
        f"{where}: the action mask of a batch from the records is not the live batch's legal lists",
    )
    data = pickle.dumps(batch)
    pickled = pickle.loads(data)
    check(
        (pickled.seed, pickled.threads, pickled.reward_mode) == (batch.seed, batch.threads, batch.reward_mode),
        f"{where}: pickle lost the seed, threads or reward mode",
    )
    check(np.array_equal(pickled.to_bytes(), records), f"{where}: unpickling gave other records")
    same_arrays(pickled.observe("both"), obs, obs.__match_args__, f"{where}, pickle")
    check(pickle.dumps(pickled) == data, f"{where}: a pickled batch pickles to other bytes (the random streams?)")
    del live, copy, pickled, rows

    for i in rng.choice(len(batch), size=min(sample, len(batch)), replace=False).tolist():
        game = PyTegulo.from_bytes(records[i].tobytes())
        check(batch.game(i).to_bytes() == records[i].tobytes(), f"{where}: game {i} is not its record")
        check(obs.current_agent[i] == game.agent_selection, f"{where}: game {i}'s agent to move")
        view = as_arrays(game.observe(game.agent_selection))
        for name in PLANES:
            check(np.array_equal(getattr(obs, name)[i], getattr(view, name)), f"{where}: game {i}'s {name}")
        check(np.array_equal(obs.action_mask[i], view.action_mask.view(bool)), f"{where}: game {i}'s action mask")
        listed = obs.legal_actions[obs.legal_offsets[i] : obs.legal_offsets[i + 1]].tolist()
        check(listed == legal_list(game), f"{where}: game {i}'s legal actions")
        if not last.terminated[i]:
            check(last.scores[i].tolist() == game.scores, f"{where}: game {i}'s scores after the last step")
    for record, scores, rewards, plies in ended:
        game = PyTegulo.from_bytes(record)
        check(game.is_over, f"{where}: the final record of a finished game is of a game in play")
        check(game.scores == scores and game.ply == plies, f"{where}: a finished game's scores or placements")
        check(game.outcome("rank") == rewards, f"{where}: a finished game's rank rewards")


def batch_phase(report: PhaseReport, started: float, args: argparse.Namespace) -> None:
    batch = GameBatch(args.games, threads=None, seed=args.seed)
    n = len(batch)
    rng = np.random.default_rng(args.seed)
    check_rng = np.random.default_rng(args.seed + 1)
    age = np.zeros(n, np.int64)  # placements since each slot's game began
    steps = calls = finished = finished_plies = 0
    longest, shortest = 0, 1 << 30
    ended: list[tuple[bytes, list[int], list[float], int]] = []  # a sample of the interval's finished games
    stepping = 0.0  # seconds in the training loop itself, checkpoints left out
    mark = (time.perf_counter(), 0, 0.0)  # (time, steps, stepping) at the interval's start
    report.figures["batch"] = f"{n} games on {batch.threads} threads, seed {args.seed}"
    next_checkpoint = args.checkpoint
    while steps < args.steps:
        t0 = time.perf_counter()
        obs = batch.observe()
        offsets = obs.legal_offsets
        counts = np.diff(offsets)
        if not counts.all():
            raise SoakFailure(f"step {steps:,}: game {int(np.argmin(counts))} has an agent to move with no move")
        result = batch.step(obs.legal_actions[offsets[:-1] + rng.integers(counts)])
        stepping += time.perf_counter() - t0
        age += 1
        steps += n
        calls += 1
        done = np.flatnonzero(result.terminated)
        if len(done):
            finals = result.final_records[done]
            plies = record_plies(finals)
            check((plies == age[done]).all(), f"step {steps:,}: a finished game's placements are not its steps")
            check_outcomes(result.scores[done], result.rewards[done], f"step {steps:,}")
            if len(ended) < 64:
                i = int(done[0])
                ended.append((finals[0].tobytes(), result.scores[i].tolist(), result.rewards[i].tolist(), int(age[i])))
            finished += len(done)
            finished_plies += int(plies.sum())
            longest, shortest = max(longest, int(plies.max())), min(shortest, int(plies.min()))
            age[done] = 0
        if calls % 16 == 0:  # whole-array scans: every 16th step is plenty to catch a stale row
            quiet = ~result.terminated
            check(not result.rewards[quiet].any(), f"step {steps:,}: a reward for a game that did not finish")
            check(not result.final_records[quiet].any(), f"step {steps:,}: a final record of a game that did not end")
        if steps >= next_checkpoint or steps >= args.steps:
            checkpoint(batch, age, result, ended, steps, finished_plies, check_rng, args.sample)
            del obs, result, offsets, counts, done
            ended = []
            rss = settled_resident()
            now = time.perf_counter()
            rate = (steps - mark[1]) / (stepping - mark[2])
            report.intervals.append(Interval(now - started, steps, rate, rss))
            report.done = steps
            mark = (now, steps, stepping)
            next_checkpoint += args.checkpoint
    report.figures["games finished"] = f"{finished:,} ({finished_plies:,} placements, {shortest} to {longest} a game)"
    report.figures["steps/s"] = f"{steps / stepping:,.0f} over the loop ({calls:,} calls), checkpoints left out"


# --- arena ------------------------------------------------------------------------------------------------------


def check_arena_round(result: Any, players: int, where: str) -> None:
    from tegulo_rl.arena import rotation

    total = result.games
    check(total % players == 0 and total >= result.requested, f"{where}: {total} games planned for {result.requested}")
    check(not result.interrupted and len(result.results) == total, f"{where}: {len(result.results)} of {total} counted")
    check(sorted(g.number for g in result.results) == list(range(total)), f"{where}: game numbers missing or twice")
    for g in result.results:
        check(g.seats == rotation(g.number, players), f"{where}: game {g.number} seated {g.seats}")
    expected = [[0] * SEATS for _ in range(players)]
    for number in range(total):
        for seat, player in enumerate(rotation(number, players)):
            expected[player][seat] += 1
    counts = result.seat_counts()
    check(counts == expected, f"{where}: seat counts {counts}, not the rotation's {expected}")
    check(len({c for row in counts for c in row if c}) == 1, f"{where}: the rotation is not complete: {counts}")
    scores = np.array([g.scores for g in result.results], np.int64)
    rank = np.array([g.rank for g in result.results], np.float64)
    share = np.array([g.win_share for g in result.results], np.float64)
    check_outcomes(scores, rank, where)
    check(((share >= 0) & (share <= 1)).all() and np.allclose(share.sum(axis=1), 1), f"{where}: win shares")
    top = scores == scores.max(axis=1, keepdims=True)
    check(np.allclose(share, top / top.sum(axis=1, keepdims=True)), f"{where}: win shares are not the top scores'")
    for stats, row in zip(result.stats, counts, strict=True):
        check(stats.seat_games == sum(row), f"{where}: {stats.player} counted {stats.seat_games} seat-games")
        check(0 <= stats.rank.mean <= 1, f"{where}: {stats.player}'s mean rank reward {stats.rank.mean}")
        if stats.rating is not None:
            check(math.isfinite(stats.rating.mu) and stats.rating.sigma > 0, f"{where}: {stats.player}'s rating")


def arena_phase(report: PhaseReport, started: float, args: argparse.Namespace) -> None:
    from tegulo_rl import arena

    players = arena.check_players(args.arena_players)
    names = [arena.label(p) for p in players]
    deadline = started + 60 * args.minutes
    last = (time.perf_counter(), 0)
    games = rounds = 0
    ranks: list[list[float]] = [[] for _ in players]
    while time.perf_counter() < deadline or rounds < WARMUP_SAMPLES + 1:
        result = arena.play(players, args.arena_games, seed=args.seed + rounds, batch=args.arena_batch)
        check_arena_round(result, len(players), f"round {rounds} (seed {args.seed + rounds})")
        for stats, kept in zip(result.stats, ranks, strict=True):
            kept.append(stats.rank.mean)
        games += len(result.results)
        rounds += 1
        del result
        last = report.sample(started, last, games)
    report.figures["line-up"] = ", ".join(names)
    seeds = f"seeds {args.seed} to {args.seed + rounds - 1}"
    report.figures["rounds"] = f"{rounds} of {args.arena_games} games, {args.arena_batch} at a time, {seeds}"
    report.figures["mean rank reward"] = ", ".join(f"{n} {np.mean(r):.3f}" for n, r in zip(names, ranks, strict=True))


# --- selfplay ---------------------------------------------------------------------------------------------------


def check_run(out: str, games: int, shard_games: int, where: str) -> tuple[int, int]:
    """Checks a run's directory and replays all its games; its games and rows."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from tegulo_rl import selfplay

    manifest = selfplay.read_manifest(out)
    shards = -(-games // shard_games)
    check(manifest["complete"] and manifest["num_shards"] == shards, f"{where}: the manifest is not of {shards} shards")
    listed = [s["file"] for s in manifest["shards"]]
    on_disk = sorted(name for name in os.listdir(out) if name.endswith(".parquet"))
    check(listed == on_disk == [selfplay.shard_name(k) for k in range(shards)], f"{where}: shard files {on_disk}")
    check(sorted(os.listdir(out)) == sorted([*on_disk, selfplay.MANIFEST]), f"{where}: stray files left in {out}")
    tables = []
    for s in manifest["shards"]:
        table = pq.read_table(os.path.join(out, s["file"]))
        check(table.schema == selfplay.schema(), f"{where}: {s['file']} has another schema")
        check(
            table.num_rows == s["rows"], f"{where}: {s['file']} holds {table.num_rows} rows, the manifest {s['rows']}"
        )
        check(len(set(table.column("game").to_pylist())) == s["games"], f"{where}: {s['file']}'s games")
        tables.append(table)
    rows = pa.concat_tables(tables).to_pydict()
    total = len(rows["game"])
    check(total == manifest["rows"] and manifest["games_written"] == games, f"{where}: the manifest's totals")
    ids = np.array(rows["game"])
    check((np.diff(ids) >= 0).all() and np.unique(ids).tolist() == list(range(games)), f"{where}: game ids")

    for g in range(games):
        index = np.flatnonzero(ids == g).tolist()
        game = PyTegulo()
        for ply, i in enumerate(index):
            at = f"{where}, game {g} ply {ply}"
            check(rows["record"][i] == game.to_bytes() and rows["ply"][i] == ply, f"{at}: the record")
            check(rows["agent"][i] == game.agent_selection, f"{at}: the agent")
            legal = legal_list(game)
            check(rows["legal_count"][i] == len(legal) and rows["action"][i] in legal, f"{at}: the action")
            game.step(rows["action"][i])
            while not game.is_over and game.terminations[game.agent_selection]:
                game.step(None)
        check(game.is_over, f"{where}, game {g}: not over after its rows")
        for i in index:
            check(rows["scores"][i] == game.scores, f"{where}, game {g}: the final scores")
            for mode in PyTegulo.reward_modes:
                check(np.allclose(rows[f"rewards_{mode}"][i], game.outcome(mode)), f"{where}, game {g}: {mode}")

    row = 0
    for b in selfplay.load(out, batch_size=256, columns=selfplay.EXAMPLE_COLUMNS):
        size = len(b["action"])
        check(b["record"].tobytes() == b"".join(rows["record"][row : row + size]), f"{where}: load's records")
        check(np.array_equal(b["game"], ids[row : row + size]), f"{where}: load's games")
        check(b["action_mask"][np.arange(size), b["action"]].all(), f"{where}: load's actions are not in its masks")
        check(np.array_equal(b["action_mask"].sum(axis=1), b["legal_count"]), f"{where}: load's legal counts")
        check(np.array_equal(np.diff(b["legal_offsets"]), b["legal_count"]), f"{where}: load's legal lists")
        seats = (b["agent"][:, None].astype(np.int64) + np.arange(SEATS)) % SEATS
        rank = np.array(rows["rewards_rank"][row : row + size], np.float32)
        check(np.array_equal(b["target"], np.take_along_axis(rank, seats, axis=1)), f"{where}: load's targets")
        for i in range(0, size, 17):  # a sample of rows against the game their record holds
            game = PyTegulo.from_bytes(b["record"][i].tobytes())
            view = as_arrays(game.observe(game.agent_selection))
            for name in PLANES:
                check(np.array_equal(b[name][i], getattr(view, name)), f"{where}: load's {name} of row {row + i}")
        row += size
    check(row == total, f"{where}: load gave {row} rows of {total}")
    return games, total


def selfplay_phase(report: PhaseReport, started: float, args: argparse.Namespace) -> None:
    import contextlib

    import ray

    from tegulo_rl import selfplay

    root = tempfile.mkdtemp(prefix="tegulo-soak-selfplay-")
    deadline = started + 60 * args.minutes
    runs: list[tuple[str, int]] = []
    played = rows = 0
    generating = 0.0  # seconds in generate() alone, for the rate
    try:
        # One local Ray for every run (bound to 127.0.0.1, as the one generate() starts itself), unless asked otherwise.
        with contextlib.nullcontext() if args.ray_per_run else selfplay.local_ray():
            if ray.is_initialized():
                nodes = [node["NodeManagerAddress"] for node in ray.nodes()]
                check(nodes == ["127.0.0.1"], f"Ray's nodes are at {nodes}, not at 127.0.0.1 alone")
            mark = (0, 0.0)
            while time.perf_counter() < deadline or len(runs) < WARMUP_SAMPLES + 1:
                number, seed = len(runs), args.seed + len(runs)
                where = f"run {number} (seed {seed})"
                out = os.path.join(root, f"run-{number:04d}")
                t0 = time.perf_counter()
                summary = selfplay.generate(
                    args.selfplay_player, args.selfplay_games, out, seed=seed, shard_games=args.shard_games
                )
                generating += time.perf_counter() - t0
                shards = -(-args.selfplay_games // args.shard_games)
                check(
                    (summary.shards_written, summary.shards_skipped, summary.games_played, summary.games)
                    == (shards, 0, args.selfplay_games, args.selfplay_games),
                    f"{where}: {summary}",
                )
                runs.append((out, seed))
                # Each run read back at once, so that load() and the replays are watched with the rest.
                _, run_rows = check_run(out, args.selfplay_games, args.shard_games, where)
                check(
                    summary.rows == run_rows, f"{where}: generate() counted {summary.rows} rows, the files {run_rows}"
                )
                played, rows = played + summary.games_played, rows + run_rows
                rss = settled_resident()
                rate = (played - mark[0]) / (generating - mark[1])
                report.intervals.append(Interval(time.perf_counter() - started, played, rate, rss))
                report.done, mark = played, (played, generating)
        loaded = sum(len(b["action"]) for out, _ in runs for b in selfplay.load(out, columns=("action", "target")))
        check(loaded == rows, f"load() of every run gave {loaded} rows, the manifests {rows}")
        report.figures["runs"] = (
            f"{len(runs)} of {args.selfplay_games} games by {args.selfplay_player} in shards of {args.shard_games}, "
            f"{'a local Ray per run' if args.ray_per_run else 'one local Ray'} on 127.0.0.1; in {root}"
        )
        report.figures["games/s"] = f"{played / generating:.2f} in generate() ({generating:.1f} s of it)"
        report.figures["read back"] = f"{played} games replayed, {rows:,} rows loaded, every run once more at the end"
    finally:
        shutil.rmtree(root, ignore_errors=True)


# --- main -------------------------------------------------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="scripts/soak.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--only", choices=("batch", "arena", "selfplay"), default=None)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--steps", type=int, default=10_000_000)
    parser.add_argument("--games", type=int, default=1024)
    parser.add_argument("--checkpoint", type=int, default=500_000)
    parser.add_argument("--sample", type=int, default=32, help="games replayed on PyTegulo at a checkpoint")
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--arena-players", nargs="+", default=["random", "greedy", "heuristic", "mcts:200"])
    parser.add_argument("--arena-games", type=int, default=12)
    parser.add_argument("--arena-batch", type=int, default=4)
    parser.add_argument("--selfplay-player", default="mcts:100")
    parser.add_argument("--selfplay-games", type=int, default=8)
    parser.add_argument("--shard-games", type=int, default=4)
    parser.add_argument("--ray-per-run", action="store_true")
    parser.add_argument("--rss-margin", type=float, default=16.0, metavar="MB")
    parser.add_argument("--json", default=None, metavar="FILE")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    phases = {"batch": batch_phase, "arena": arena_phase, "selfplay": selfplay_phase}
    units = {"batch": "steps", "arena": "games", "selfplay": "games"}
    print(f"tegulo-rl {tegulo_rl.__version__} from {os.path.dirname(tegulo_rl.__file__)}, {os.cpu_count()} cores")
    reports = []
    for name, body in phases.items():
        if args.only in (None, name):
            report = PhaseReport(name, units[name], rss_margin=int(args.rss_margin * MB))
            reports.append(run_phase(report, body, args))
            print(flush=True)
    passed = all(r.passed for r in reports)
    print("soak: " + ", ".join(f"{r.name} {'PASS' if r.passed else 'FAIL'}" for r in reports))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(
                {"arguments": vars(args), "passed": passed, "phases": [asdict(r) for r in reports]}, out, indent=1
            )
            out.write("\n")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
