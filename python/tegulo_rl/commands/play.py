"""Serves a page to play on against any players: you take one seat, the players the others.

    python -m tegulo_rl play --against heuristic mcts:1000 greedy --seat 0

The page shows the board, the scores, whose turn it is, your pieces and the
others' counts and the last placements. Pick a piece, turn it (R) or flip it (F),
and click where it goes: dots show where it fits. Or with the keyboard alone: Tab
to a piece and press Enter, then on the board the arrow keys move it, R and F turn
it, Enter or Space places it and Escape puts it back. The other players answer at
once (their moves run on threads of the server's own). The page's address holds
the game's id, so a reload, or another tab with the same address, finds the same
game; several tabs play several games. Games are saved in --games-dir after every
move, finished or not, and a restarted server resumes them.

The page may name the built-in players (mcts up to --max-simulations) and the
--against names exactly; network players and checkpoints come from the command
line only. The server listens on 127.0.0.1 only, unless --host names another
interface (with a warning: anyone who reaches it can play and read the games), and
answers only requests that name it as the page does. Needs pip install
'tegulo-rl[play]'.
"""

from __future__ import annotations

import argparse
import sys

from tegulo_rl._cli import CommandError, needs, non_negative, player, positive

# The defaults of the server's limits, here as well so that --help needs no web stack.
DEFAULT_MAX_SIMULATIONS = 2000
DEFAULT_MAX_GAMES = 100

HELP = "serve a page to play against any players in a browser"
GUIDE = "docs/guides/play.md"


def player_name(text: str) -> str:
    """A player's name as given, once it is known to name one: the page may name it exactly so."""
    player(text)
    return text


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--against",
        nargs="+",
        default=["heuristic"],
        type=player_name,
        metavar="PLAYER",
        help="the other seats' players: one for all three or three, in seat order (default heuristic)",
    )
    parser.add_argument("--seat", type=int, choices=range(4), default=0, help="your seat, 0 to 3 (default 0)")
    parser.add_argument("--port", type=non_negative, default=8000, help="the port (default 8000; 0: any free one)")
    parser.add_argument("--host", default="127.0.0.1", help="the interface to listen on (default 127.0.0.1)")
    parser.add_argument(
        "--games-dir", default="tegulo-games", help="where finished games are saved (default ./tegulo-games)"
    )
    parser.add_argument(
        "--max-simulations",
        type=positive,
        default=DEFAULT_MAX_SIMULATIONS,
        help=f"the most simulations of an mcts player the page may ask for (default {DEFAULT_MAX_SIMULATIONS})",
    )
    parser.add_argument(
        "--max-games",
        type=positive,
        default=DEFAULT_MAX_GAMES,
        help=f"unfinished games kept in memory; past that, the one idle longest waits on disk (default "
        f"{DEFAULT_MAX_GAMES})",
    )
    parser.add_argument(
        "--searches",
        type=positive,
        default=None,
        help="searches (and network players) that run at once; as many more may wait (default: half the cores)",
    )
    parser.add_argument("--no-open", action="store_true", help="do not open a browser, print the address only")


def run(args: argparse.Namespace) -> int:
    try:
        needs("starlette", "uvicorn", extra="pip install 'tegulo-rl[play]'")
    except argparse.ArgumentTypeError as error:
        raise CommandError(str(error)) from None
    if len(args.against) not in (1, 3):
        raise CommandError("--against takes one player (for all three seats) or three", code=2)
    import logging
    import webbrowser

    import uvicorn

    from tegulo_rl.web.games import Games
    from tegulo_rl.web.server import address, create_app, listening_socket

    if args.host not in ("127.0.0.1", "localhost", "::1"):
        print(
            f"play: warning: listening on {args.host}: anyone who can reach it can play and read the games",
            file=sys.stderr,
        )
    logging.basicConfig(format="play: %(message)s", level=logging.WARNING)  # a bad saved game, a failed player
    games = Games(
        args.games_dir,
        args.against,
        args.seat,
        max_simulations=args.max_simulations,
        max_games=args.max_games,
        searches=args.searches,
    )
    try:
        sock = listening_socket(args.host, args.port)
    except OSError as error:
        raise CommandError(f"cannot listen on {args.host}:{args.port}: {error.strerror}") from None
    url = address(sock)
    print(f"Playing at {url}/ (Ctrl-C stops; games are saved in {games.folder}/)", flush=True)
    app = create_app(games, host=args.host)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    if not args.no_open:
        webbrowser.open(f"{url}/")
    try:
        server.run(sockets=[sock])
    finally:
        app.close()
    return 0
