"""Reporting an arena: what finished games say of each player, as statistics with intervals, ratings,
a text table and a plot.

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
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

from tegulo_rl import __version__
from tegulo_rl._views import SEATS

Z95 = 1.96
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
class Thinking:
    """A player's time spent choosing moves, over every move it made (finished games or not)."""

    player: str
    moves: int
    seconds: float

    @property
    def per_move_ms(self) -> float:
        return 1000 * self.seconds / self.moves if self.moves else math.nan


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
    # In the order of players. Timings differ from run to run: two results of the same games are equal.
    thinking: tuple[Thinking, ...] = field(default=(), compare=False)

    @property
    def rated(self) -> bool:
        return bool(self.history)

    def seat_counts(self) -> list[list[int]]:
        """`counts[p][s]`: the games in which player p sat in seat s."""
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
        for think, entry in zip(self.thinking, data["thinking"], strict=True):
            entry["per_move_ms"] = _finite(think.per_move_ms)
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
            thinking=tuple(Thinking(t["player"], t["moves"], t["seconds"]) for t in data.get("thinking", [])),
        )

    def report(self) -> str:
        return _report(self)


def _finite(value: float) -> float | None:
    """JSON has no NaN: the mean of no games is null there."""
    return None if math.isnan(value) else value


def _number(value: float | None) -> float:
    return math.nan if value is None else value


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
    thinking: tuple[Thinking, ...] = (),
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
        thinking=thinking,
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

    if any(t.moves for t in result.thinking):
        lines += ["", "Thinking time per move (mean over every move each player made, on this machine):"]
        lines += [f"  {t.player}: {t.per_move_ms:.2f} ms over {t.moves} moves" for t in result.thinking if t.moves]
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
