"""Draws a game as an animation: an HTML page with a slider, play and pause and the
scores over time, an animated SVG, or a GIF; or its final board as a PNG (by the
extension of --out).

    python -m tegulo_rl replay game.tegulo --out game.html          # a 278-byte record
    python -m tegulo_rl replay data/ --game 12 --out game.gif       # self-play data: a shard or its folder
    python -m tegulo_rl replay tegulo-games/ID.json --out game.html # a game saved by the play page
    python -m tegulo_rl replay --players mcts:200 heuristic greedy random --seed 3 --out game.svg

A record holds the final position only, not the order of play: its replay shows
each agent's pieces in an order the rules allow (from its corner outwards, each
piece touching an earlier one at a corner), the agents in turn. Self-play data,
games saved by the play page and fresh games are replayed as they were played. Needs pip install
'tegulo-rl[play]' (GIF and self-play data: Pillow and pyarrow too).
"""

from __future__ import annotations

import argparse
import os

from tegulo_rl._cli import CommandError, non_negative, output_file, player, positive

HELP = "draw a game (a record, self-play data or a fresh game) as HTML, animated SVG or GIF"
GUIDE = "docs/guides/play.md"
FORMATS = ("html", "svg", "gif", "png")


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source",
        nargs="?",
        help="a record file, a game the play page saved (ID.json), or a self-play shard or folder (with --game)",
    )
    parser.add_argument("--out", required=True, type=output_file, help="the file to write: .html, .svg, .gif or .png")
    parser.add_argument("--game", type=non_negative, help="the game id to replay from self-play data")
    parser.add_argument("--players", nargs="+", type=player, metavar="PLAYER", help="play a fresh game: one or four")
    parser.add_argument("--seed", type=int, default=0, help="the fresh game's seed (default 0)")
    parser.add_argument("--size", type=positive, default=420, help="a PNG's width and height in pixels (default 420)")
    parser.add_argument("--seconds", type=float, default=0.5, help="seconds per placement (default 0.5)")


def run(args: argparse.Namespace) -> int:
    from tegulo_rl import replays
    from tegulo_rl.draw import animation, png

    kind = os.path.splitext(args.out)[1].lstrip(".").lower()
    if kind not in FORMATS:
        raise CommandError(f"--out: expected a .html, .svg, .gif or .png file, got {args.out!r}", code=2)
    if (args.source is None) == (args.players is None):
        raise CommandError("name a SOURCE or --players, not both", code=2)
    try:
        if args.players is not None:
            if len(args.players) not in (1, 4):
                raise CommandError("--players takes one player (for every seat) or four", code=2)
            positions = replays.fresh(args.players * (4 if len(args.players) == 1 else 1), args.seed)
            title = f"{' '.join(map(str, args.players))}, seed {args.seed}"
        elif args.source.endswith(".json"):
            positions = replays.from_saved(args.source)
            title = os.path.basename(args.source)
        elif os.path.isfile(args.source) and os.path.getsize(args.source) == replays.RECORD_SIZE:
            positions = replays.from_record(open(args.source, "rb").read())
            title = os.path.basename(args.source)
        else:
            if args.game is None:
                raise CommandError("self-play data needs --game K", code=2)
            positions = replays.from_selfplay(args.source, args.game)
            title = f"game {args.game} of {args.source}"
        if kind == "png":
            with open(args.out, "wb") as sink:
                sink.write(png(positions[-1], size=args.size))
        else:
            animation(positions, args.out, seconds=args.seconds, title=title)
    except (OSError, ValueError, KeyError, ImportError) as error:
        raise CommandError(str(error)) from None
    what = "the final board of" if kind == "png" else "an animation of"
    print(f"{what} {len(positions) - 1} placements written to {args.out}")
    return 0
