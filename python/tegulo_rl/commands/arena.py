"""Plays built-in players against each other and tells how strong each one is.

    python -m tegulo_rl arena random greedy heuristic mcts:400 --games 400 --seed 0

Two to four distinct players share the four seats of every game, seats rotated so
that every player sits in every seat equally often, on a GameBatch spread over every
core; the same seed gives the same games whatever the number of threads. For each
player: its mean final score, rank reward and win share with 95% intervals and an
openskill rating; for each pair, the difference of their mean rank rewards with its
95% interval. Ctrl-C stops the run and still reports the games that finished. The
ratings and the plot need openskill and matplotlib: pip install 'tegulo-rl[arena]'.
"""

from __future__ import annotations

import argparse
import json
from typing import Any

from tegulo_rl import _cli

HELP = "play built-in players against each other: scores, rewards and ratings with intervals"
GUIDE = "docs/guides/players.md"
EXTRA = "pip install 'tegulo-rl[arena]'"


class _Players(argparse.Action):
    """Refuses a line-up that is too small, too large or has a player twice, as a usage error."""

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any, option: str | None = None
    ) -> None:
        from tegulo_rl.arena import check_players

        try:
            check_players(values)
        except ValueError as error:
            parser.error(str(error))
        setattr(namespace, self.dest, values)


def _plot_file(path: str) -> str:
    _cli.needs("matplotlib", "openskill", extra=EXTRA)
    return _cli.output_file(path)


def configure(parser: argparse.ArgumentParser) -> None:
    from tegulo_rl.arena import DEFAULT_BATCH

    parser.add_argument(
        "players", nargs="+", type=_cli.player, action=_Players, metavar="PLAYER",
        help="2 to 4 different players: random, greedy, heuristic, mcts or mcts:SIMULATIONS",
    )  # fmt: skip
    parser.add_argument("--games", type=_cli.positive, default=400, help="games to play (default 400)")
    parser.add_argument("--seed", type=int, default=0, help="the seed of the games (default 0)")
    parser.add_argument(
        "--batch", type=_cli.positive, default=None, help=f"games played at once (default: up to {DEFAULT_BATCH})"
    )
    parser.add_argument("--threads", type=_cli.positive, default=None, help="threads (default: every core)")
    parser.add_argument(
        "--plot", type=_plot_file, default=None, metavar="FILE.png", help="draw the ratings as the games came in"
    )
    parser.add_argument("--json", type=_cli.output_file, default=None, metavar="FILE", help="write the results as JSON")


def run(args: argparse.Namespace) -> int:
    from tegulo_rl.arena import Interrupted, play, plot

    code = _cli.EXIT_OK
    progress = _cli.Progress("games")
    try:
        result = play(
            args.players, args.games, seed=args.seed, batch=args.batch, threads=args.threads, progress=progress
        )
    except Interrupted as stop:
        result, code = stop.result, _cli.EXIT_INTERRUPTED
        progress.end()
    print(result.report(), flush=True)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(result.to_dict(), out, indent=1, allow_nan=False)
            out.write("\n")
    if args.plot:
        plot(result, args.plot)
    return code
