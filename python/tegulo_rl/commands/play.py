"""Serves a page to play on against any players: you take one seat, the players the others.

    python -m tegulo_rl play --against heuristic mcts:1000 greedy --seat 0

The page shows the board, the scores, whose turn it is, your pieces and the
others' counts and the last placements. Pick a piece, turn it (R) or flip it (F),
and click where it goes: dots show where it fits. The other players answer at
once (their searches run off the page's thread). The page's address holds the
game's id, so a reload, or another tab with the same address, finds the same
game; several tabs play several games. Finished games are saved as records (and
their steps) in --games-dir and are still there after a restart.

The server listens on 127.0.0.1 only, unless --host names another interface
(with a warning: anyone who reaches it can play and read the games). Needs
pip install 'tegulo-rl[play]'.
"""

from __future__ import annotations

import argparse
import sys

from tegulo_rl._cli import CommandError, needs, non_negative, player

HELP = "serve a page to play against any players in a browser"
GUIDE = "docs/guides/play.md"


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--against",
        nargs="+",
        default=["heuristic"],
        type=player,
        metavar="PLAYER",
        help="the other seats' players: one for all three or three, in seat order (default heuristic)",
    )
    parser.add_argument("--seat", type=int, choices=range(4), default=0, help="your seat, 0 to 3 (default 0)")
    parser.add_argument("--port", type=non_negative, default=8000, help="the port (default 8000; 0: any free one)")
    parser.add_argument("--host", default="127.0.0.1", help="the interface to listen on (default 127.0.0.1)")
    parser.add_argument(
        "--games-dir", default="tegulo-games", help="where finished games are saved (default ./tegulo-games)"
    )
    parser.add_argument("--no-open", action="store_true", help="do not open a browser, print the address only")


def run(args: argparse.Namespace) -> int:
    try:
        needs("starlette", "uvicorn", extra="pip install 'tegulo-rl[play]'")
    except argparse.ArgumentTypeError as error:
        raise CommandError(str(error)) from None
    if len(args.against) not in (1, 3):
        raise CommandError("--against takes one player (for all three seats) or three", code=2)
    import webbrowser

    import uvicorn

    from tegulo_rl.web.server import Games, address, create_app, listening_socket

    if args.host not in ("127.0.0.1", "localhost", "::1"):
        print(
            f"play: warning: listening on {args.host}: anyone who can reach it can play and read the games",
            file=sys.stderr,
        )
    games = Games(args.games_dir, [str(p) for p in args.against], args.seat)
    try:
        sock = listening_socket(args.host, args.port)
    except OSError as error:
        raise CommandError(f"cannot listen on {args.host}:{args.port}: {error.strerror}") from None
    url = address(sock)
    print(f"Playing at {url}/ (Ctrl-C stops; finished games go to {games.folder}/)", flush=True)
    server = uvicorn.Server(uvicorn.Config(create_app(games), log_level="warning", lifespan="off"))
    if not args.no_open:
        webbrowser.open(f"{url}/")
    server.run(sockets=[sock])
    return 0
