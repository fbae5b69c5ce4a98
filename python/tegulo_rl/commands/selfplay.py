"""Self-play data at scale: games between built-in players on Ray, every decision a row of Parquet.

    python -m tegulo_rl selfplay --player heuristic --games 100000 --out DIR

Games are cut into shards of --shard-games, each a Ray task whose games follow
from --seed and the shard number alone, written under a hidden name and renamed
when complete: a run is the same bytes whatever the number of --workers and
whatever failed, and a rerun skips the complete shards. --address joins a running
cluster; by default a local instance bound to 127.0.0.1 runs for the command.
Needs ray and pyarrow: pip install 'tegulo-rl[selfplay]'. See tegulo_rl.selfplay
for the columns and tegulo_rl.selfplay.load for reading them back.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

from tegulo_rl import _cli

HELP = "play self-play games on Ray into Parquet shards, one row a decision"
GUIDE = "docs/guides/selfplay.md"
DEFAULT_SHARD_GAMES = 1000


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--player", nargs="+", default=["heuristic"], metavar="PLAYER",
        help="the player of every seat, or four players, one per seat (agents 0 to 3): "
        "random, greedy, heuristic, mcts or mcts:SIMULATIONS (default heuristic)",
    )  # fmt: skip
    parser.add_argument("--games", type=int, required=True, help="games to play")
    parser.add_argument("--out", required=True, help="the directory of the shards and the manifest")
    parser.add_argument("--seed", type=int, default=0, help="the seed of the run (default 0)")
    parser.add_argument(
        "--shard-games", type=int, default=DEFAULT_SHARD_GAMES, help=f"games a shard (default {DEFAULT_SHARD_GAMES})"
    )
    parser.add_argument("--workers", type=int, default=None, help="shards in flight at most (default: all)")
    parser.add_argument(
        "--address", default=None, help="the Ray cluster to join (default: a local instance on this machine)"
    )


def shard_progress(
    progress: _cli.Progress, clock: Callable[[], float] = time.perf_counter
) -> Callable[[int, int, int], None]:
    """Shards done, with the games played and their rate, for `generate`'s progress."""
    rate = _cli.Rate("games", clock)

    def report(done: int, total: int, games: int) -> None:
        progress(done, total, f"{games} games played, {rate(games)}")

    return report


def run(args: argparse.Namespace) -> int:
    from tegulo_rl.selfplay import generate

    player: str | list[str] = args.player[0] if len(args.player) == 1 else args.player
    try:
        summary = generate(
            player,
            args.games,
            args.out,
            seed=args.seed,
            shard_games=args.shard_games,
            workers=args.workers,
            address=args.address,
            progress=shard_progress(_cli.Progress("shards", lines=10)),
        )
    except (ValueError, TypeError) as error:
        raise _cli.CommandError(str(error), _cli.EXIT_USAGE) from None
    except ImportError as error:
        raise _cli.CommandError(str(error)) from None
    print(summary.report())
    return _cli.EXIT_OK
