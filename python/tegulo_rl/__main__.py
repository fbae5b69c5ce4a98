"""python -m tegulo_rl [play] [--seed N]  |  bench ...  |  arena PLAYER... [--games N] ...  |  selfplay --out DIR ..."""

from __future__ import annotations

import argparse
import random
import sys
from typing import TextIO

from tegulo_rl import __version__, arena, bench, selfplay
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import board_text


def play(seed: int) -> None:
    """Plays a game between four agents that pick uniformly among their legal actions."""
    rng = random.Random(seed)
    game = PyTegulo()
    while not game.is_over:
        legal = bench.legal_actions(game.observe(game.agent_selection).action_mask)
        game.step(rng.choice(legal) if legal else None)
    print(f"tegulo-rl {__version__}: a game between four random agents (seed {seed})\n")
    print(board_text(game))
    print(f"\n{game.ply} placements. Agents 0 to 3 play blue, yellow, red and green.")
    print(f"{'scores':<20} {game.scores}")
    for mode in PyTegulo.reward_modes:
        rewards = ", ".join(f"{r:.4g}" for r in game.outcome(mode) or [])
        print(f"{'rewards, ' + mode:<20} [{rewards}]")


class Progress:
    """Shows how far a long run has gone, as `progress(done, total)` hears of it: on a
    terminal, one bar redrawn in place; elsewhere (a pipe, a file, a CI log), where
    every redraw would stay as a line of its own, a plain line at each quarter."""

    WIDTH = 40

    def __init__(self, unit: str, stream: TextIO | None = None):
        self.unit = unit
        self.stream = sys.stderr if stream is None else stream
        self.live = self.stream.isatty()
        self.quarters = 0  # quarters reported so far, off a terminal

    def __call__(self, done: int, total: int) -> None:
        if self.live:
            filled = self.WIDTH * done // total
            self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{total} {self.unit}")
            if done == total:
                self.stream.write("\n")
        else:
            quarters = 4 * done // total
            if quarters <= self.quarters:
                return
            self.quarters = quarters
            self.stream.write(f"{done}/{total} {self.unit} ({100 * done // total}%)\n")
        self.stream.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tegulo_rl",
        description="tegulo-rl: a fast engine for a four-player polyomino placement game, for reinforcement learning.",
        epilog="Without a command, plays a game (the same as 'play').",
    )
    parser.add_argument("--version", action="version", version=f"tegulo-rl {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{play,bench,arena,selfplay}")
    play_parser = commands.add_parser(
        "play",
        help="play a seeded game between random agents and show the final board, the scores and the rewards",
        description="Plays a seeded game between four agents that pick uniformly among their legal actions, "
        "then shows the final board, the scores and the rewards in the three reward modes.",
    )
    play_parser.add_argument("--seed", type=int, default=0, help="the agents' random seed (default 0)")
    bench_parser = commands.add_parser(
        "bench",
        help="measure the training loop: steps and games per second",
        description=bench.__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    bench_parser.add_argument("--games", type=int, default=300, help="games per run (default 300)")
    bench_parser.add_argument("--seed", type=int, default=0, help="the random seed of the choices (default 0)")
    bench_parser.add_argument(
        "--batch", type=int, default=1024, help="games in the GameBatch of the batched loop, 0 for none (default 1024)"
    )
    bench_parser.add_argument("--rounds", type=int, default=100, help="rounds of the batched loop (default 100)")
    bench_parser.add_argument("--threads", type=int, default=None, help="threads of the batch (default: every core)")
    arena.add_command(commands)
    selfplay.add_command(commands)
    args = parser.parse_args(argv)

    if args.command == "arena":
        return arena.run_command(args)
    if args.command == "selfplay":
        return selfplay.run_command(args)
    if args.command == "bench":
        single = bench.run(args.games, args.seed, progress=Progress("games"))
        print(single.report())
        if args.batch > 0 and single.chooser == "numpy":
            print()
            print(bench.run_batch(args.batch, args.rounds, args.seed, args.threads).report(single))
    else:
        play(getattr(args, "seed", 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
