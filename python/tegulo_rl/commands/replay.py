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
import math
import os

from tegulo_rl._cli import CommandError, output_file, player, positive, whole

HELP = "draw a game (a record, self-play data or a fresh game) as HTML, animated SVG or GIF"
GUIDE = "docs/guides/play.md"
FORMATS = ("html", "svg", "gif", "png")
PARQUET = b"PAR1"  # the first bytes of a Parquet file


def game_id(text: str) -> int:
    """A self-play game id: a whole number that fits the data's 64-bit column."""
    value = whole(0)(text)
    if value >= 2**63:
        raise argparse.ArgumentTypeError(f"must be less than 2**63, got {text}")
    return value


def seconds(text: str) -> float:
    """Seconds per placement: a finite number above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not (0 < value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, got {text}")
    return value


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source",
        nargs="?",
        help="a record file, a game the play page saved (ID.json), or a self-play shard or folder (with --game)",
    )
    parser.add_argument("--out", required=True, type=output_file, help="the file to write: .html, .svg, .gif or .png")
    parser.add_argument("--game", type=game_id, help="the game id to replay from self-play data")
    parser.add_argument("--players", nargs="+", type=player, metavar="PLAYER", help="play a fresh game: one or four")
    parser.add_argument("--seed", type=int, default=0, help="the fresh game's seed (default 0)")
    parser.add_argument("--size", type=positive, default=420, help="a PNG's width and height in pixels (default 420)")
    parser.add_argument("--seconds", type=seconds, default=0.5, help="seconds per placement (default 0.5)")


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
        else:
            positions, title = _from_file(args.source, args.game)
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


def _from_file(source: str, game: int | None) -> tuple[list[bytes], str]:
    """The positions of a record file, or of a game of self-play data (a shard, or a folder of them), told
    apart by what the file holds; ValueError naming the source when it is neither."""
    from tegulo_rl import replays

    if os.path.isdir(source):
        kind = "data"
    else:
        try:
            with open(source, "rb") as file:
                head = file.read(replays.RECORD_SIZE + 1)
        except OSError as error:
            raise ValueError(f"{source}: {error.strerror}") from None
        if len(head) == replays.RECORD_SIZE:
            try:
                return replays.from_record(head), os.path.basename(source)
            except ValueError as error:
                raise ValueError(f"{source}: {error}") from None
        if not head.startswith(PARQUET):
            raise ValueError(
                f"{source}: not a record ({replays.RECORD_SIZE} bytes, this is {os.path.getsize(source)}), "
                "a saved game (.json) or self-play data (Parquet)"
            )
        kind = "shard"
    if game is None:
        raise CommandError(f"{source}: self-play data ({'a folder' if kind == 'data' else 'a shard'}) needs --game K",
                           code=2)  # fmt: skip
    return replays.from_selfplay(source, game), f"game {game} of {source}"
