"""Plays a seeded game between four agents that pick uniformly among their legal actions,
then shows the final board, the scores and the rewards in the three reward modes."""

from __future__ import annotations

import argparse
import random

HELP = "play a seeded game between random agents and show the final board, the scores and the rewards"
GUIDE = "docs/guides/getting-started.md"


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--seed", type=int, default=0, help="the agents' random seed (default 0)")


def run(args: argparse.Namespace) -> int:
    from tegulo_rl import __version__
    from tegulo_rl._tegulo import PyTegulo
    from tegulo_rl._views import board_text
    from tegulo_rl.bench import legal_actions

    rng = random.Random(args.seed)
    game = PyTegulo()
    while not game.is_over:
        legal = legal_actions(game.observe(game.agent_selection).action_mask)
        game.step(rng.choice(legal) if legal else None)
    print(f"tegulo-rl {__version__}: a game between four random agents (seed {args.seed})\n")
    print(board_text(game))
    print(f"\n{game.ply} placements. Agents 0 to 3 play blue, yellow, red and green.")
    print(f"{'scores':<20} {game.scores}")
    for mode in PyTegulo.reward_modes:
        rewards = ", ".join(f"{r:.4g}" for r in game.outcome(mode) or [])
        print(f"{'rewards, ' + mode:<20} [{rewards}]")
    return 0
