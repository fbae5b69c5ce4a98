"""The fixed evaluation: a player against a ladder of fixed opponents, and one rating on a fixed scale.

    python -m tegulo_rl evaluate PLAYER [--games 200]

The ladder is LADDER: random, greedy, heuristic, the distilled baseline network
(`net:distilled`, its policy's argmax), mcts at 200 simulations, the shipped
self-taught network (`net`) and the search it guides (`az`, its default
simulations). Rungs are only ever added at the end, so that each keeps its
number and its games when the ladder grows. Against each rung the
player plays `games` games (rounded up to an even number) of two players, each
holding two of the four seats, seats rotated as the arena rotates them, from the
fixed seed SEED + the rung's number, so that the same player gives the same games
on any machine. A rung that is the player itself is skipped.

Figures: the player's mean rank reward p over the seats it held (0.5 is parity:
rank rewards of a game sum to 2, so two seats each side share them evenly), and the
difference of the two sides' means, 2p - 1 game by game, with its 95% interval
(mean ± 1.96 sd/sqrt(games), games taken as independent samples).

Rating: an Elo-like scale anchored on `heuristic` = 1000. A game of two seats a
side holds four pairs of seats from opposite sides; the player's share w of the
pairs it wins (ties a half) is its score, and since a mean rank reward p over two
seats is (1 + 4w) / 6, w = (6p - 1) / 4 (p runs from 1/6, places 3 and 4, to 5/6,
places 1 and 2). Each rung has a fixed rating (RATINGS: measured once by this
protocol against the heuristic, and kept fixed so that figures of different runs
and machines compare). A player scoring w against a rung rated R is estimated at
R + 400 log10(w / (1 - w)); the rating is the mean of the rungs' estimates weighted
by the inverse of their variances (by the delta method: a rung the player beats or
loses to almost always says little and weighs little), with w held within
[0.02, 0.98].
"""

from __future__ import annotations

import math
import statistics
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from typing import Any

LADDER = ("random", "greedy", "heuristic", "net:distilled", "mcts:200", "net", "az")
ANCHOR = "heuristic"
# Each rung's rating, measured once by this protocol against the heuristic alone
# (`evaluate(RUNG, GAMES, ladder=("heuristic",))`; heuristic = 1000 by definition): greedy
# 400 games, p = 0.273; mcts:200 200 games, p = 0.746; random 400 games, p = 0.171, almost
# always places 3 and 4, so its rating is the clip's floor, a bound rather than a measure;
# net:distilled 400 games, p = 0.532 (see net/baseline.json); net, the network trained by
# self-play through az's search (net/playouts.json), 400 games, p = 0.647; az, 160 greedy
# playouts below that network's top 16 root actions, 400 games, p = 0.770. Before it, net was
# the network of the self-play that valued every leaf with the network (net:selftaught,
# p = 0.603, 1110), and az that network on every leaf of 16 simulations (p = 0.650, 1169).
RATINGS = {
    "random": 324.0,
    "greedy": 712.0,
    "heuristic": 1000.0,
    "net:distilled": 1034.0,
    "mcts:200": 1329.0,
    "net": 1164.0,
    "az": 1393.0,
}
SEED = 1000
DEFAULT_GAMES = 200
Z95 = 1.96
ELO = 400.0
CLIP = 0.02


@dataclass(frozen=True)
class Rung:
    """The player's results against one rung."""

    opponent: str
    games: int
    reward: float  # the player's mean rank reward over its seats
    difference: float  # the player's mean minus the opponent's
    half_width: float  # of the difference's 95% interval
    estimate: float  # the rating this rung gives the player
    estimate_sd: float


@dataclass(frozen=True)
class LadderResult:
    player: str
    rungs: tuple[Rung, ...]
    rating: float
    rating_half_width: float

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    def report(self) -> str:
        lines = [f"{self.player} against the ladder (rank reward, 95% intervals; seeds fixed):", ""]
        lines.append(f"  {'opponent':<12}{'games':>7}{'reward':>9}{'difference':>20}{'rating from it':>18}")
        for r in self.rungs:
            verdict = (
                "ahead" if r.difference - r.half_width > 0 else "behind" if r.difference + r.half_width < 0 else ""
            )
            lines.append(
                f"  {r.opponent:<12}{r.games:>7}{r.reward:>9.3f}{r.difference:>+10.3f} ± {r.half_width:.3f}"
                f"{r.estimate:>12.0f} ± {Z95 * r.estimate_sd:<5.0f} {verdict}"
            )
        lines += [
            "",
            f"Rating: {self.rating:.0f} ± {self.rating_half_width:.0f} "
            f"(Elo-like scale, {ANCHOR} = 1000; the ladder's fixed ratings: "
            + ", ".join(f"{k} {v:.0f}" for k, v in RATINGS.items())
            + ")",
        ]
        return "\n".join(lines)


def pair_share(p: float) -> float:
    """The share of cross-side seat pairs won, from the mean rank reward over two seats."""
    return (6 * p - 1) / 4


def rung_result(opponent: str, side_rewards: Sequence[float]) -> Rung:
    """The figures of the games against one rung, from the player's mean rank reward in each game."""
    n = len(side_rewards)
    p = statistics.fmean(side_rewards)
    differences = [2 * s - 1 for s in side_rewards]
    half = Z95 * statistics.stdev(differences) / math.sqrt(n) if n > 1 else math.inf
    q = min(max(pair_share(p), CLIP), 1 - CLIP)
    estimate = RATINGS[opponent] + ELO * math.log10(q / (1 - q))
    sd_w = 1.5 * statistics.stdev(side_rewards) / math.sqrt(n) if n > 1 else math.inf
    # d estimate / d w = 400 / (ln 10 w (1 - w)); a spread of zero still leaves the uncertainty of n games
    sd = ELO / (math.log(10) * q * (1 - q)) * max(sd_w, 0.5 / n)
    return Rung(opponent, n, p, 2 * p - 1, half, estimate, sd)


def combined(rungs: Sequence[Rung]) -> tuple[float, float]:
    """The inverse-variance weighted mean of the rungs' estimates, with its 95% half width."""
    weights = [1 / r.estimate_sd**2 for r in rungs if math.isfinite(r.estimate_sd) and r.estimate_sd > 0]
    if not weights:
        return math.nan, math.nan
    usable = [r for r in rungs if math.isfinite(r.estimate_sd) and r.estimate_sd > 0]
    total = sum(weights)
    return sum(w * r.estimate for w, r in zip(weights, usable, strict=True)) / total, Z95 / math.sqrt(total)


def evaluate(
    player: Any,
    games: int = DEFAULT_GAMES,
    *,
    ladder: Sequence[str] = LADDER,
    threads: int | None = None,
    progress: Callable[[int, int, str], None] | None = None,
) -> LadderResult:
    """Plays `player` (a name, Player, NetPlayer or policy) against every rung of the ladder."""
    from tegulo_rl import arena, lineup

    me = lineup.parse(player)
    name = arena.label(me)
    rungs = []
    others = [r for r in ladder if arena.label(lineup.parse(r)) != name]
    for number, opponent in enumerate(ladder):
        if opponent not in others:
            continue
        result = arena.play([me, opponent], games, seed=SEED + number, threads=threads)
        sides = [statistics.fmean(g.rank[s] for s in range(4) if g.seats[s] == 0) for g in result.results]
        rungs.append(rung_result(opponent, sides))
        if progress:
            progress(len(rungs), len(others), f"{opponent}: {rungs[-1].reward:.3f}")
    rating, half = combined(rungs)
    return LadderResult(name, tuple(rungs), rating, half)
