"""The server of the page to play on (`python -m tegulo_rl play`): games between one person and three
players, saved in a folder after every move, so that a restart resumes them.

The page uses a JSON API that any program on this machine may use as well:

- `POST /api/games` with `{"players": [three names], "seat": 0, "seed": 1}` starts a game (the others
  play until it is the person's turn) and answers 201 `{"id": ...}`;
- `GET /api/games/{id}` answers the state: `agent` (to move), `human` (the person's seat), `legal` (the
  person's legal action indices in their own frame, as `step` takes them; empty unless it is their turn),
  `scores`, `over`, and what the page shows (the board as SVG, the pieces, the last placements);
- `POST /api/games/{id}/moves` with `{"action": index}` plays the person's placement and the others'
  answers, and answers the new state;
- `GET /api/games/{id}/record` answers the 278-byte record, `.../replay.html` a replay of the game;
- `GET /api/config` answers what the page needs to draw pieces, and the players it may name.

A refused request gets `{"error": message}` with its status and changes nothing: 400 a malformed body,
403 a request from another origin (see `guard`) or a player a client may not name (see `opponents`), 404
an unknown game, 405 a wrong method, 409 a move out of turn or while the others play, 413 a body too large,
415 a POST that is not JSON, 422 an illegal placement, 502 a player that failed to move (the game is as it
was: the same request tries again), 503 with Retry-After when the players' threads are all taken (see
`lanes`). The players' moves run on those threads, never on the event loop, so the page and other games
stay responsive; a game's state can be read while its players think, and shows who is thinking.
"""

from __future__ import annotations

import contextlib
import logging
import socket
import threading
from collections.abc import Iterator
from pathlib import Path

import uvicorn
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from tegulo_rl import draw, geometry, players, saved
from tegulo_rl.web.answers import Answer, Refused, refusal, shown
from tegulo_rl.web.games import Games
from tegulo_rl.web.guard import Guard, host_names

__all__ = ["Games", "address", "create_app", "listening_socket", "serving"]

STATIC = Path(__file__).with_name("static")
MAX_BODY = 4096  # bytes of a request's body: a move takes about 20, a new game about 100
log = logging.getLogger("tegulo_rl.web")


async def _body(request: Request) -> object:
    try:
        return saved.parse(await request.body())
    except ValueError as error:
        raise Refused(400, f"malformed JSON: {error}") from None


def _marks(request: Request) -> bool:
    return request.query_params.get("marks") == "1"


def create_app(games: Games, host: str = "127.0.0.1", max_body: int = MAX_BODY) -> Guard:
    """The application: the page, its files and the API over `games`, behind the guard that lets only the
    page's own origin in (`host`: the interface the server listens on, whose name it also answers to)."""

    async def config(request: Request) -> Response:
        kinds = geometry.catalogue()
        return Answer(
            {
                "against": games.against,
                "seat": games.seat,
                "players": list(players.NAMES),
                "max_simulations": games.opponents.max_simulations,
                "colours": list(draw.COLOURS),
                "agent_names": list(draw.AGENT_NAMES),
                "kinds": list(geometry.KINDS),
                "shapes": [[list(cell) for cell in shape] for shape in kinds.shapes],
                "orientation_kinds": list(kinds.kinds),
                "rotated": list(kinds.rotated),
                "flipped": list(kinds.flipped),
                "cell": draw.CELL,
                "margin": draw.MARGIN,
                "size": geometry.SIZE,
            }
        )

    async def create(request: Request) -> Response:
        session = await games.new(await _body(request))
        return Answer({"id": session.id}, status_code=201)

    async def show(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        return Answer(session.state(marks=_marks(request)))

    async def move(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        body = await _body(request)
        action = body.get("action") if isinstance(body, dict) else None
        if isinstance(action, bool) or not isinstance(action, int):
            raise Refused(400, 'expected {"action": an action index}')
        await games.move(session, action)
        return Answer(session.state(marks=_marks(request)))

    async def record(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        with session.lock:
            data = session.game.to_bytes()
        return Response(
            data,
            media_type="application/octet-stream",
            headers={"Content-Disposition": f'attachment; filename="{session.id}.tegulo"'},
        )

    async def replay(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        with session.lock:
            records = list(session.records)
        if len(records) < 2:
            raise Refused(409, "no placement yet")
        title = f"tegulo-rl game {session.id}"
        page = await games.light.submit(lambda: draw.animation(records, format="html", title=title))
        return Response(
            page,
            media_type="text/html",
            headers={"Content-Disposition": f'attachment; filename="{session.id}.html"'},
        )

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "page.html", media_type="text/html")

    async def refused(request: Request, error: Exception) -> Response:
        assert isinstance(error, Refused)
        return refusal(error.status, str(error), error.headers)

    async def http_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return refusal(error.status_code, f"{error.detail}: {request.method} {shown(request.url.path)}",
                       error.headers)  # fmt: skip

    async def failed(request: Request, error: Exception) -> Response:
        log.error("%s %s failed", request.method, request.url.path, exc_info=error)
        return refusal(500, f"the server failed: {type(error).__name__}")

    routes = [
        Route("/", page),
        Route("/api/config", config),
        Route("/api/games", create, methods=["POST"]),
        Route("/api/games/{id}", show),
        Route("/api/games/{id}/moves", move, methods=["POST"]),
        Route("/api/games/{id}/record", record),
        Route("/api/games/{id}/replay.html", replay),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(routes=routes, exception_handlers={Refused: refused, HTTPException: http_error, Exception: failed})
    app.router.redirect_slashes = False  # a path is the API's or refused: no redirect
    return Guard(app, host_names(host), max_body, on_close=games.close)


def listening_socket(host: str, port: int) -> socket.socket:
    """A socket bound and listening on host and port (0: a free port the system picks)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(128)
    return sock


def address(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


@contextlib.contextmanager
def serving(app: Guard, host: str = "127.0.0.1", port: int = 0) -> Iterator[str]:
    """Serves `app` on a thread for the duration of the block, yielding its address; closes it after."""
    sock = listening_socket(host, port)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    try:
        while not server.started and thread.is_alive():
            threading.Event().wait(0.01)
        yield address(sock)
    finally:
        server.should_exit = True
        thread.join()
        sock.close()
        app.close()
