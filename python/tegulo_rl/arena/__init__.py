"""Plays built-in players against each other and tells how strong each one is.

    python -m tegulo_rl arena random greedy heuristic mcts:400 --games 400 --seed 0

or `tegulo_rl.arena.play(["greedy", "mcts:200"], 100, seed=1)`, which returns an
`ArenaResult`. `tegulo_rl.arena.playing` plays the games (seats rotated so that every
player sits in every seat equally often); `tegulo_rl.arena.reporting` measures the
players (means with 95% intervals, openskill ratings, pairwise differences) and writes
the table and the plot. The ratings and the plot need openskill and matplotlib:
pip install 'tegulo-rl[arena]'.
"""

from tegulo_rl.arena.playing import DEFAULT_BATCH, Interrupted, check_players, finished_game, label, play, rotation
from tegulo_rl.arena.reporting import (
    EXTRA,
    Z95,
    ArenaResult,
    Difference,
    Estimate,
    GameResult,
    PlayerStats,
    Rating,
    RatingPoint,
    competition_ranks,
    difference,
    plot,
    rate,
    summarize,
    versions,
)

__all__ = [
    "DEFAULT_BATCH",
    "EXTRA",
    "Z95",
    "ArenaResult",
    "Difference",
    "Estimate",
    "GameResult",
    "Interrupted",
    "PlayerStats",
    "Rating",
    "RatingPoint",
    "check_players",
    "competition_ranks",
    "difference",
    "finished_game",
    "label",
    "play",
    "plot",
    "rate",
    "rotation",
    "summarize",
    "versions",
]
