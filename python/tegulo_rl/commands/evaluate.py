"""Play a player against the fixed ladder and rate it on a fixed scale.

    python -m tegulo_rl evaluate PLAYER [--games 200] [--json FILE]

The ladder: random, greedy, heuristic, the distilled baseline network
(net:distilled), mcts:200, the shipped self-taught network (net) and its search
(az). Against each, PLAYER plays --games two-player games (two seats each,
rotated) from fixed seeds, and the report gives its mean rank reward, the
difference of the two sides' means with its 95% interval, and one rating on an
Elo-like scale anchored on heuristic = 1000 (see tegulo_rl.ladder). PLAYER is any
name the arena takes: random, greedy, heuristic, mcts:N, net, net:PATH, az:N.
The ladder holds the network: needs torch, pip install 'tegulo-rl[torch]'.
"""

from __future__ import annotations

import argparse
import json

from tegulo_rl import _cli

HELP = "play a player against the fixed ladder: rank rewards with intervals and a rating (needs torch)"
GUIDE = "docs/guides/players.md"


def configure(parser: argparse.ArgumentParser) -> None:
    from tegulo_rl.ladder import DEFAULT_GAMES

    parser.add_argument("player", type=_cli.player, metavar="PLAYER", help="the player to evaluate")
    parser.add_argument("--games", type=_cli.positive, default=DEFAULT_GAMES,
                        help=f"games against each rung (default {DEFAULT_GAMES})")  # fmt: skip
    parser.add_argument("--threads", type=_cli.positive, default=None, help="the games' threads (default: every core)")
    parser.add_argument("--torch-threads", type=_cli.positive, default=1,
                        help="torch's threads (default 1: small batches run slower on more)")  # fmt: skip
    parser.add_argument("--json", type=_cli.output_file, default=None, metavar="FILE", help="write the results as JSON")


def run(args: argparse.Namespace) -> int:
    from tegulo_rl.net import MissingTorch, require_torch

    try:
        require_torch()
    except MissingTorch as error:
        raise _cli.CommandError(str(error)) from None
    import torch

    from tegulo_rl.ladder import evaluate

    torch.set_num_threads(args.torch_threads)
    result = evaluate(args.player, args.games, threads=args.threads, progress=_cli.Progress("rungs", lines=5))
    print(result.report())
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(result.to_dict(), out, indent=1)
            out.write("\n")
    return _cli.EXIT_OK
