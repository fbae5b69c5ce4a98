"""Measures the training loop: random games played through observe, the caller's choice and step,
in steps and games per second, with the cost of each part on its own; then, in the same run, the
batched loop on a GameBatch (with legal lists, with the dense mask too, on one thread against all)
and random games played in native code."""

from __future__ import annotations

import argparse

from tegulo_rl import _cli

HELP = "measure the training loop: steps and games per second"
GUIDE = "docs/guides/performance.md"


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--games", type=_cli.positive, default=300, help="games per run (default 300)")
    parser.add_argument("--seed", type=int, default=0, help="the random seed of the choices (default 0)")
    parser.add_argument(
        "--batch", type=_cli.non_negative, default=1024,
        help="games in the GameBatch of the batched loop, 0 for none (default 1024)",
    )  # fmt: skip
    parser.add_argument("--rounds", type=_cli.positive, default=100, help="rounds of the batched loop (default 100)")
    parser.add_argument(
        "--threads", type=_cli.positive, default=None, help="threads of the batch (default: every core)"
    )


def run(args: argparse.Namespace) -> int:
    from tegulo_rl import bench

    single = bench.run(args.games, args.seed, progress=_cli.Progress("games"))
    print(single.report())
    if args.batch > 0 and single.chooser == "numpy":
        print()
        print(bench.run_batch(args.batch, args.rounds, args.seed, args.threads).report(single))
    return _cli.EXIT_OK
