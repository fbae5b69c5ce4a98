"""Plays built-in players against each other and tells how strong each one is.

    python -m tegulo_rl arena random greedy heuristic mcts:400 --games 400 --seed 0

Two to four distinct players share the four seats of every game. Seats rotate: game k
uses rotation r = k % P, and seat (absolute agent) s goes to players[(s + r) % P], so
every player sits in every seat equally often; with fewer than four players a player
holds several seats of each game. The games run on a GameBatch, spread over every core,
and are the same for a seed whatever the number of threads.

Each player is measured over its seat-games (one per seat it held): mean final score,
mean rank reward and mean win share, each with a 95% interval (mean ± 1.96 sd/sqrt(n),
the normal approximation, taking the seat-games as independent samples: the seats of
one game are not, so the intervals are somewhat optimistic), and a rating from
openskill's Plackett-Luce model. The rating takes each game as a four-way result by
final score, ties tied, with one team per seat, each seat starting from its player's
rating; a player that held several seats takes the mean of their new mu and the mean
of their new sigma. For each pair of players, the difference of their mean rank
rewards comes with a 95% interval that takes the two players' seat-games as
independent samples. The ratings need openskill and the plot matplotlib:
pip install 'tegulo-rl[arena]'.
"""

from __future__ import annotations

import itertools
import math
import platform
import statistics
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field, fields
from typing import Any

from tegulo_rl import __version__
from tegulo_rl import lineup as lineups
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.lineup import AnyPlayer, NetPlayer
from tegulo_rl.players import Player

SEATS = 4
Z95 = 1.96
DEFAULT_BATCH = 256
EXTRA = "pip install 'tegulo-rl[arena]'"


@dataclass(frozen=True)
class GameResult:
    """One finished game: `seats[s]` is the index of the player of absolute agent s."""

    number: int
    seats: tuple[int, ...]
    scores: tuple[int, ...]
    rank: tuple[float, ...]
    win_share: tuple[float, ...]


@dataclass(frozen=True)
class Estimate:
    """A mean with the half width of its 95% interval (None with fewer than two samples)."""

    mean: float
    half_width: float | None
    n: int

    @staticmethod
    def of(values: Sequence[float]) -> Estimate:
        if not values:
            return Estimate(math.nan, None, 0)
        mean = statistics.fmean(values)
        if len(values) < 2:
            return Estimate(mean, None, len(values))
        return Estimate(mean, Z95 * statistics.stdev(values) / math.sqrt(len(values)), len(values))


@dataclass(frozen=True)
class Rating:
    mu: float
    sigma: float

    @property
    def ordinal(self) -> float:
        """A conservative rating: the player is this strong with high confidence."""
        return self.mu - 3 * self.sigma


@dataclass(frozen=True)
class PlayerStats:
    player: str
    seat_games: int
    score: Estimate
    rank: Estimate
    win_share: Estimate
    rating: Rating | None


@dataclass(frozen=True)
class Difference:
    """first's mean rank reward minus second's, with the half width of its 95% interval."""

    first: str
    second: str
    mean: float
    half_width: float | None


@dataclass(frozen=True)
class RatingPoint:
    """Every player's rating once `games` games had finished."""

    games: int
    ratings: tuple[Rating, ...]


@dataclass(frozen=True)
class ArenaResult:
    players: tuple[str, ...]
    requested: int  # games asked for
    games: int  # games planned: requested, rounded up to a multiple of the players
    seed: int
    batch: int
    threads: int
    results: tuple[GameResult, ...]  # in the order they finished
    stats: tuple[PlayerStats, ...]  # in the order of players
    pairwise: tuple[Difference, ...]
    history: tuple[RatingPoint, ...]  # empty without openskill
    interrupted: bool = False
    versions: dict[str, str | None] = field(default_factory=dict)

    @property
    def rated(self) -> bool:
        return bool(self.history)

    def seat_counts(self) -> list[list[int]]:
        """counts[p][s]: the games in which player p sat in seat s."""
        counts = [[0] * SEATS for _ in self.players]
        for game in self.results:
            for seat, player in enumerate(game.seats):
                counts[player][seat] += 1
        return counts

    def to_dict(self) -> dict[str, Any]:
        data = asdict(self)
        for stats, entry in zip(self.stats, data["stats"], strict=True):
            if stats.rating is not None:
                entry["rating"]["ordinal"] = stats.rating.ordinal
            for name in ("score", "rank", "win_share"):
                entry[name]["mean"] = _finite(entry[name]["mean"])
        for entry in data["pairwise"]:
            entry["mean"] = _finite(entry["mean"])
        return data

    @staticmethod
    def from_dict(data: dict[str, Any]) -> ArenaResult:
        def rating(entry: dict[str, Any]) -> Rating:
            return Rating(entry["mu"], entry["sigma"])

        def estimate(entry: dict[str, Any]) -> Estimate:
            return Estimate(_number(entry["mean"]), entry["half_width"], entry["n"])

        return ArenaResult(
            players=tuple(data["players"]),
            requested=data["requested"],
            games=data["games"],
            seed=data["seed"],
            batch=data["batch"],
            threads=data["threads"],
            results=tuple(
                GameResult(g["number"], tuple(g["seats"]), tuple(g["scores"]), tuple(g["rank"]), tuple(g["win_share"]))
                for g in data["results"]
            ),
            stats=tuple(
                PlayerStats(
                    s["player"],
                    s["seat_games"],
                    estimate(s["score"]),
                    estimate(s["rank"]),
                    estimate(s["win_share"]),
                    None if s["rating"] is None else rating(s["rating"]),
                )
                for s in data["stats"]
            ),
            pairwise=tuple(
                Difference(d["first"], d["second"], _number(d["mean"]), d["half_width"]) for d in data["pairwise"]
            ),
            history=tuple(RatingPoint(h["games"], tuple(rating(r) for r in h["ratings"])) for h in data["history"]),
            interrupted=data["interrupted"],
            versions=dict(data["versions"]),
        )

    def report(self) -> str:
        return _report(self)


def _finite(value: float) -> float | None:
    """JSON has no NaN: the mean of no games is null there."""
    return None if math.isnan(value) else value


def _number(value: float | None) -> float:
    return math.nan if value is None else value


class Interrupted(KeyboardInterrupt):
    """Ctrl-C stopped `play`; `result` holds the games that had finished."""

    def __init__(self, result: ArenaResult):
        super().__init__(f"interrupted after {len(result.results)} of {result.games} games")
        self.result = result


def label(player: AnyPlayer) -> str:
    """The player as text: its command-line name, with any setting that name leaves out."""
    if isinstance(player, NetPlayer):
        relevant = ["temperature", "seed"] if player.name == "net" else ["exploration", "leaves"]
        default_net = NetPlayer(player.name)
        extras = [f"{n}={getattr(player, n)}" for n in relevant if getattr(player, n) != getattr(default_net, n)]
        return f"{player}({', '.join(extras)})" if extras else str(player)
    if player.name == "mcts":
        relevant = [f.name for f in fields(Player) if f.name not in ("name", "simulations")]
    else:
        relevant = ["weights"] if player.name == "heuristic" else []
    default = Player(player.name)
    extras = [f"{n}={getattr(player, n)}" for n in relevant if getattr(player, n) != getattr(default, n)]
    return f"{player}({', '.join(extras)})" if extras else str(player)


def check_players(players: Sequence[str | AnyPlayer]) -> list[AnyPlayer]:
    """The players parsed, refusing fewer than two, more than four or the same one twice."""
    parsed = [lineups.parse(p) for p in players]
    if not 2 <= len(parsed) <= SEATS:
        raise ValueError(f"an arena takes 2 to {SEATS} players, got {len(parsed)}")
    labels = [label(p) for p in parsed]
    twice = sorted({name for name in labels if labels.count(name) > 1})
    if twice:
        raise ValueError(f"every player must be different: {', '.join(twice)} given more than once")
    return parsed


def rotation(game: int, players: int) -> tuple[int, ...]:
    """The player of each seat of game number `game`."""
    r = game % players
    return tuple((seat + r) % players for seat in range(SEATS))


def finished_game(number: int, seats: tuple[int, ...], scores: list[int], record: bytes) -> GameResult:
    game = PyTegulo.from_bytes(record)
    rank, win_share = game.outcome("rank"), game.outcome("win_share")
    if rank is None or win_share is None or game.scores != scores:
        raise RuntimeError(f"game {number} ended with a record of an unfinished game")
    return GameResult(number, seats, tuple(scores), tuple(rank), tuple(win_share))


def play(
    players: Sequence[str | AnyPlayer],
    games: int,
    *,
    seed: int = 0,
    batch: int | None = None,
    threads: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    on_game: Callable[[GameResult], None] | None = None,
) -> ArenaResult:
    """Plays `games` games (rounded up to a multiple of the players) and measures the players.

    `progress(finished, total)` and `on_game(result)` hear of each game as it finishes.
    Ctrl-C (KeyboardInterrupt) raises `Interrupted`, whose `result` holds the games
    that had finished."""
    import numpy as np

    from tegulo_rl._batch import GameBatch

    chosen = check_players(players)
    if games < 1:
        raise ValueError(f"games must be at least 1, got {games}")
    if batch is not None and batch < 1:
        raise ValueError(f"batch must be at least 1, got {batch}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    count = len(chosen)
    total = -(-games // count) * count
    size = min(total, DEFAULT_BATCH if batch is None else batch)
    names = tuple(label(p) for p in chosen)

    games_batch = GameBatch(size, seed=seed, threads=threads)
    # Slots with no game left play on, with their results ignored; a random player
    # (index `count`) holds their seats, so that they cost next to nothing.
    lineup: list[AnyPlayer] = [*chosen, Player("random")]
    seats = np.array([rotation(slot, count) for slot in range(size)], dtype=np.int64)
    slot_game = list(range(size))
    assigned = size
    results: list[GameResult] = []

    def outcome(interrupted: bool) -> ArenaResult:
        return summarize(
            names,
            results,
            requested=games,
            games=total,
            seed=seed,
            batch=size,
            threads=games_batch.threads,
            interrupted=interrupted,
        )

    try:
        while len(results) < total:
            step = lineups.step(games_batch, lineup, seats)
            for slot in np.flatnonzero(step.terminated).tolist():
                number = slot_game[slot]
                if number >= 0:
                    record = step.final_records[slot].tobytes()
                    result = finished_game(number, tuple(seats[slot].tolist()), step.scores[slot].tolist(), record)
                    results.append(result)
                    if on_game:
                        on_game(result)
                    if progress:
                        progress(len(results), total)
                if assigned < total:
                    slot_game[slot], seats[slot] = assigned, rotation(assigned, count)
                    assigned += 1
                else:
                    slot_game[slot], seats[slot] = -1, count
    except KeyboardInterrupt:
        raise Interrupted(outcome(True)) from None
    return outcome(False)


def summarize(
    players: Sequence[str],
    results: Sequence[GameResult],
    *,
    requested: int | None = None,
    games: int | None = None,
    seed: int = 0,
    batch: int = 0,
    threads: int = 0,
    interrupted: bool = False,
) -> ArenaResult:
    """The statistics, ratings and pairwise differences of a set of finished games."""
    scores: list[list[float]] = [[] for _ in players]
    ranks: list[list[float]] = [[] for _ in players]
    shares: list[list[float]] = [[] for _ in players]
    for game in results:
        for seat, player in enumerate(game.seats):
            scores[player].append(game.scores[seat])
            ranks[player].append(game.rank[seat])
            shares[player].append(game.win_share[seat])
    history = rate(len(players), results)
    final = history[-1].ratings if history else (None,) * len(players)
    stats = tuple(
        PlayerStats(
            name, len(ranks[p]), Estimate.of(scores[p]), Estimate.of(ranks[p]), Estimate.of(shares[p]), final[p]
        )
        for p, name in enumerate(players)
    )
    return ArenaResult(
        players=tuple(players),
        requested=requested or games or len(results),
        games=games or len(results),
        seed=seed,
        batch=batch,
        threads=threads,
        results=tuple(results),
        stats=stats,
        pairwise=tuple(difference(a, b) for a, b in itertools.combinations(stats, 2)),
        history=tuple(history),
        interrupted=interrupted,
        versions=versions(),
    )


def difference(first: PlayerStats, second: PlayerStats) -> Difference:
    """The difference of mean rank rewards, its interval taking the samples as independent."""
    a, b = first.rank, second.rank
    half = None
    if a.half_width is not None and b.half_width is not None:
        half = math.hypot(a.half_width, b.half_width)  # 1.96 * sqrt(sd_a^2 / n_a + sd_b^2 / n_b)
    return Difference(first.player, second.player, a.mean - b.mean, half)


def competition_ranks(scores: Sequence[int]) -> list[int]:
    """1 for the top score, ties sharing the best of their places."""
    return [1 + sum(other > score for other in scores) for score in scores]


def rate(players: int, results: Sequence[GameResult]) -> list[RatingPoint]:
    """Every player's rating from the start and after each game; empty without openskill."""
    try:
        from openskill.models import PlackettLuce
    except ImportError:
        return []
    model = PlackettLuce()
    start = model.rating()
    current = [Rating(start.mu, start.sigma)] * players
    history = [RatingPoint(0, tuple(current))]
    for n, game in enumerate(results, 1):
        teams = [[model.rating(mu=current[p].mu, sigma=current[p].sigma)] for p in game.seats]
        rated = model.rate(teams, ranks=[float(r) for r in competition_ranks(game.scores)])
        for p in set(game.seats):
            mine = [rated[seat][0] for seat, holder in enumerate(game.seats) if holder == p]
            current[p] = Rating(statistics.fmean(r.mu for r in mine), statistics.fmean(r.sigma for r in mine))
        history.append(RatingPoint(n, tuple(current)))
    return history


def versions() -> dict[str, str | None]:
    from importlib import metadata  # a tenth of a second to import: only when asked

    found: dict[str, str | None] = {"tegulo_rl": __version__, "python": platform.python_version()}
    for name in ("numpy", "openskill", "matplotlib"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = None
    return found


def _interval(estimate: Estimate | Difference, digits: int, sign: bool = False) -> tuple[str, str]:
    if math.isnan(estimate.mean):
        return "-", ""
    mean = f"{estimate.mean:+.{digits}f}" if sign else f"{estimate.mean:.{digits}f}"
    return mean, "" if estimate.half_width is None else f"± {estimate.half_width:.{digits}f}"


def _table(
    header: Sequence[str], rows: Sequence[Sequence[str | tuple[str, str]]], left: Sequence[int] = (0,)
) -> list[str]:
    """Rows of cells, the columns in `left` left-aligned and the rest right-aligned; a
    cell that is a pair (a mean and its interval) is two aligned parts under one heading."""
    columns = []
    for c, title in enumerate(header):
        cells = [row[c] for row in rows]
        if cells and isinstance(cells[0], tuple):
            means = max(len(cell[0]) for cell in cells)
            halves = max(len(cell[1]) for cell in cells)
            texts = [f"{cell[0]:>{means}} {cell[1]:<{halves}}" for cell in cells]
        else:
            texts = [str(cell) for cell in cells]
        width = max([len(title), *(len(t) for t in texts)])
        if c in left:
            columns.append([title.ljust(width), *(t.ljust(width) for t in texts)])
        else:
            columns.append([title.ljust(width), *(t.rjust(width) for t in texts)])
    return ["   ".join(parts).rstrip() for parts in zip(*columns, strict=True)]


def _seat_lines(result: ArenaResult) -> list[str]:
    count = len(result.players)
    flat = {c for row in result.seat_counts() for c in row}
    if not result.results:
        first = "Seats rotate: no game finished;"
    elif len(flat) == 1:
        first = f"Seats rotate: every player sat in every seat {flat.pop()} times;"
    else:
        first = "Seats rotate, though unevenly in the games that finished;"
    if count == SEATS:
        return [first + " each player holds one seat in every game."]
    if SEATS % count == 0:
        return [first, f"with {count} players, each holds {SEATS // count} of the {SEATS} seats in every game."]
    return [first, f"with {count} players, one of them holds 2 of the {SEATS} seats in every game, in turn."]


def _report(result: ArenaResult) -> str:
    done = len(result.results)
    where = f", {result.batch} at a time on {result.threads} threads" if result.batch else ""
    lines = [f"Arena: {', '.join(result.players)}; {result.games} games, seed {result.seed}{where}"]
    if result.games != result.requested:
        lines += [
            f"({result.requested} games asked for, rounded up to {result.games}, a multiple of the "
            f"{len(result.players)} players,",
            " so that every player sits in every seat equally often)",
        ]
    if result.interrupted:
        lines.append(f"Interrupted after {done} of {result.games} games: the results below are those games'.")
    lines.append("")
    order = sorted(result.stats, key=lambda s: -s.rank.mean if s.seat_games else math.inf)
    header = ["player", "seat-games", "score", "rank reward", "win share"]
    if result.rated:
        header += ["mu ± sigma", "ordinal"]
    rows: list[list[str | tuple[str, str]]] = []
    for stats in order:
        row: list[str | tuple[str, str]] = [stats.player, str(stats.seat_games)]
        row += [_interval(stats.score, 1), _interval(stats.rank, 3), _interval(stats.win_share, 3)]
        if stats.rating is not None:
            row += [(f"{stats.rating.mu:.2f}", f"± {stats.rating.sigma:.2f}"), f"{stats.rating.ordinal:.2f}"]
        rows.append(row)
    lines += _table(header, rows)

    lines += ["", "Mean rank reward, pairwise (95% intervals):"]
    place = {stats.player: i for i, stats in enumerate(order)}
    pairs: list[tuple[int, int, list[str | tuple[str, str]]]] = []
    for d in result.pairwise:
        if place[d.first] > place[d.second]:  # the leader first
            d = Difference(d.second, d.first, -d.mean, d.half_width)
        if d.half_width is None or math.isnan(d.mean):
            verdict = "too few games to tell"
        elif d.mean - d.half_width > 0:
            verdict = f"{d.first} ahead"
        else:
            verdict = "no clear difference"
        pairs.append((place[d.first], place[d.second], [f"{d.first} - {d.second}", _interval(d, 3, True), verdict]))
    pairs.sort(key=lambda p: (p[0], p[1]))
    lines += ["  " + line for line in _table(["", "", ""], [row for _, _, row in pairs], left=(0, 2))[1:]]

    lines += [
        "",
        "Intervals: 95%, mean ± 1.96 sd/sqrt(n) over seat-games taken as independent samples;",
        "a pairwise difference takes the seat-games of its two players as independent samples.",
        *_seat_lines(result),
    ]
    if result.rated:
        lines += [
            "Ratings: openskill's Plackett-Luce model, each game a four-way result by final score (ties tied),",
            "one team per seat; a player with several seats takes the mean of their new mu and sigma;",
            "ordinal = mu - 3 sigma.",
        ]
    else:
        lines.append(f"Ratings need openskill: {EXTRA}")
    return "\n".join(lines)


def plot(result: ArenaResult, path: str) -> None:
    """Draws every player's rating, mu with a band of ± sigma, as the games came in."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if not result.rated:
        raise RuntimeError(f"a plot of ratings needs openskill: {EXTRA}")
    figure = Figure(figsize=(8, 4.5), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    x = [point.games for point in result.history]
    for p, name in enumerate(result.players):
        mu = [point.ratings[p].mu for point in result.history]
        sigma = [point.ratings[p].sigma for point in result.history]
        (line,) = axes.plot(x, mu, label=name)
        low = [m - s for m, s in zip(mu, sigma, strict=True)]
        high = [m + s for m, s in zip(mu, sigma, strict=True)]
        axes.fill_between(x, low, high, color=line.get_color(), alpha=0.2, linewidth=0)
    axes.set_xlabel("games finished")
    axes.set_ylabel("rating: mu ± sigma")
    axes.set_title(f"Ratings (openskill's Plackett-Luce), {len(result.results)} games, seed {result.seed}")
    axes.legend()
    figure.savefig(path, dpi=100)
