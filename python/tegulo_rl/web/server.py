"""The server of the page to play on (`python -m tegulo_rl play`): games between one person and three
players, kept in memory while they run and saved as records in a folder when they end.

The page uses a JSON API that any program may use as well:

- `POST /api/games` with `{"players": [three names], "seat": 0, "seed": 1}` starts a game (the others
  play until it is the person's turn) and answers `{"id": ...}`;
- `GET /api/games/{id}` answers the state: `agent` (to move), `human` (the person's seat), `legal` (the
  person's legal action indices in their own frame, as `step` takes them; empty unless it is their turn),
  `scores`, `over`, and what the page shows (the board as SVG, the pieces, the last placements);
- `POST /api/games/{id}/moves` with `{"action": index}` plays the person's placement and the others'
  answers, and answers the new state;
- `GET /api/games/{id}/record` answers the 278-byte record, `.../replay.html` a replay of the game.

A refused request (malformed JSON, an unknown game, a move out of turn or not legal) gets a 4xx answer
`{"error": message}` and changes nothing. The players' searches run on worker threads, never on the
event loop, so the page and other games stay responsive; a game's state can be read while its players
think, and shows who is thinking.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import os
import secrets
import socket
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from tegulo_rl import draw, geometry, lineup, players
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import legal_actions
from tegulo_rl.lineup import AnyPlayer
from tegulo_rl.replays import _choose

STATIC = Path(__file__).with_name("static")
SEATS = 4
LAST_MOVES = 8  # placements listed on the page
log = logging.getLogger("tegulo_rl.web")


def parse_player(name: object) -> AnyPlayer:
    """An opponent by name, refused with ValueError naming the problem."""
    if not isinstance(name, str):
        raise ValueError(f"a player is named by a string, got {json.dumps(name)}")
    try:
        return lineup.parse(name)
    except (TypeError, ValueError) as error:
        raise ValueError(str(error)) from None


class Refused(Exception):
    """A request that changes nothing, answered with its status and message."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


@dataclass
class Session:
    """One game between a person and three players. `lock` guards the game and the lists, which worker
    threads change while the event loop reads them; `busy` lets one move be played at a time."""

    id: str
    opponents: dict[int, AnyPlayer]
    human: int
    seed: int
    game: PyTegulo = field(default_factory=PyTegulo)
    steps: list[int | None] = field(default_factory=list)  # every step, a pass as None
    placements: list[tuple[int, int, tuple[int, ...]]] = field(default_factory=list)  # agent, kind, cells
    records: list[bytes] = field(default_factory=lambda: [PyTegulo().to_bytes()])  # after every placement
    thinking: int | None = None
    lock: threading.Lock = field(default_factory=threading.Lock)
    busy: asyncio.Lock = field(default_factory=asyncio.Lock)

    def names(self) -> list[str]:
        return ["you" if agent == self.human else str(self.opponents[agent]) for agent in range(SEATS)]

    def apply(self, action: int | None) -> None:
        """Plays one step (under `lock`), keeping the placement, its cells and the position after it."""
        agent = self.game.agent_selection
        placing = action is not None and not self.game.terminations[agent]
        self.game.step(action if placing else None)
        self.steps.append(action if placing else None)
        if placing and action is not None:
            cells = geometry.action_cells(action, agent)
            self.placements.append((agent, geometry.action_kind(action), cells))
            self.records.append(self.game.to_bytes())

    def advance(self) -> None:
        """Plays the others' turns (and the passes of agents out of moves) until it is the person's turn with
        a move to make, or the game is over. Runs on a worker thread: the search works on a copy, outside
        the lock, so that the state can be read meanwhile."""
        while True:
            with self.lock:
                game = self.game
                if game.is_over:
                    self.thinking = None
                    return
                agent = game.agent_selection
                if game.terminations[agent]:
                    self.apply(None)
                    continue
                if agent == self.human:
                    self.thinking = None
                    return
                self.thinking = agent
                position = game.copy()
            try:
                action = _choose(position, self.opponents[agent], self.seed * 1_000_003 + position.ply)
            except BaseException:
                with self.lock:
                    self.thinking = None  # a failed player is not shown thinking for ever
                raise
            with self.lock:
                self.apply(action)

    def state(self, marks: bool = False) -> dict[str, Any]:
        """What the page and the API show of the game."""
        with self.lock:
            game = self.game
            agent = game.agent_selection
            turn = not game.is_over and agent == self.human and not game.terminations[agent]
            legal = list(memoryview(legal_actions(game, self.human)).cast("q")) if turn else []
            placements = []
            for action in legal:
                cells = geometry.action_cells(action, self.human)
                placements.append([action, geometry.orientation_of(cells), geometry.anchor_of(cells)])
            where = geometry.position(game)
            last = self.placements[-1][2] if self.placements else None
            scores = game.scores
            state: dict[str, Any] = {
                "id": self.id,
                "agent": agent,
                "human": self.human,
                "players": self.names(),
                "legal": legal,
                "placements": placements,
                "scores": scores,
                "over": game.is_over,
                "ply": game.ply,
                "thinking": self.thinking,
                "done": game.terminations,
                "remaining": [[geometry.KINDS[k] for k in kinds_left] for kinds_left in where.remaining],
                "last": [
                    {"agent": a, "piece": geometry.KINDS[k], "cells": list(cells)}
                    for a, k, cells in self.placements[-LAST_MOVES:]
                ],
                "board": draw.svg(game, last=last, marks=marks),
            }
            if game.is_over:
                state["ranks"] = [1 + sum(other > score for other in scores) for score in scores]
                state["rewards"] = game.outcome("rank")
            return state

    def saved(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "players": self.names(),
            "human": self.human,
            "seed": self.seed,
            "steps": self.steps,
            "record": self.game.to_bytes().hex(),
        }


class Games:
    """The games of one server: in memory, and the finished ones in `folder` as `ID.tegulo` (the record)
    and `ID.json` (the players and every step), read back when a server starts there."""

    def __init__(self, folder: str | os.PathLike[str], against: Sequence[str], seat: int = 0):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.against = [str(parse_player(name)) for name in against]
        self.seat = seat
        self.sessions: dict[str, Session] = {}
        for path in sorted(self.folder.glob("*.json")):
            try:
                session = self._load(path)
            except (ValueError, KeyError, TypeError, OSError) as error:
                log.warning("skipping %s: %s", path, error)
                continue
            self.sessions[session.id] = session

    def _load(self, path: Path) -> Session:
        data = json.loads(path.read_text(encoding="utf-8"))
        human = int(data["human"])
        names = data["players"]
        opponents = {agent: parse_player(names[agent]) for agent in range(SEATS) if agent != human}
        session = Session(str(data["id"]), opponents, human, int(data["seed"]))
        for action in data["steps"]:
            session.apply(action)
        if session.game.to_bytes().hex() != data["record"]:
            raise ValueError("its steps do not lead to its record")
        return session

    def new(self, body: Any) -> Session:
        if not isinstance(body, dict):
            raise Refused(400, "expected a JSON object with players, seat and seed")
        names = body.get("players", self.against)
        if isinstance(names, str):
            names = [names]
        if not isinstance(names, list) or len(names) not in (1, SEATS - 1):
            raise Refused(400, "players: expected a list of one or three player names")
        try:
            chosen = [parse_player(name) for name in names] * (3 if len(names) == 1 else 1)
        except ValueError as error:
            raise Refused(400, f"players: {error}") from None
        seat, seed = body.get("seat", self.seat), body.get("seed", secrets.randbelow(2**31))
        for key, value, top in (("seat", seat, SEATS - 1), ("seed", seed, 2**63 - 1)):
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= top:
                raise Refused(400, f"{key}: expected a whole number from 0 to {top}, got {json.dumps(value)}")
        others = [agent for agent in range(SEATS) if agent != seat]
        session = Session(secrets.token_hex(6), dict(zip(others, chosen, strict=True)), seat, seed)
        self.sessions[session.id] = session
        return session

    def get(self, game_id: str) -> Session:
        session = self.sessions.get(game_id)
        if session is None:
            raise Refused(404, f"no game {game_id!r}")
        return session

    def save(self, session: Session) -> None:
        """Writes a finished game: the record and the steps, each under a temporary name first."""
        with session.lock:
            record, saved = session.game.to_bytes(), session.saved()
        for name, data in ((f"{session.id}.tegulo", record), (f"{session.id}.json", json.dumps(saved).encode())):
            temporary = self.folder / f".{name}.part"
            temporary.write_bytes(data)
            os.replace(temporary, self.folder / name)


async def _body(request: Request) -> Any:
    try:
        return json.loads(await request.body())
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise Refused(400, f"malformed JSON: {error}") from None


def create_app(games: Games) -> Starlette:
    """The application: the page, its files and the API over `games`."""

    async def advance(session: Session) -> None:
        await asyncio.to_thread(session.advance)
        if session.game.is_over:
            await asyncio.to_thread(games.save, session)

    async def config(request: Request) -> Response:
        kinds = geometry.catalogue()
        return JSONResponse(
            {
                "against": games.against,
                "seat": games.seat,
                "players": list(players.NAMES),
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
        session = games.new(await _body(request))
        async with session.busy:
            await advance(session)
        return JSONResponse({"id": session.id}, status_code=201)

    async def show(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        return JSONResponse(session.state(marks=request.query_params.get("marks") == "1"))

    async def move(request: Request) -> Response:
        session = games.get(request.path_params["id"])
        body = await _body(request)
        action = body.get("action") if isinstance(body, dict) else None
        if isinstance(action, bool) or not isinstance(action, int):
            raise Refused(400, 'expected {"action": an action index}')
        if session.busy.locked():
            raise Refused(409, "the other players are still playing")
        async with session.busy:
            with session.lock:
                game = session.game
                if game.is_over:
                    raise Refused(409, "the game is over")
                if game.agent_selection != session.human:
                    raise Refused(409, f"not your turn: agent {game.agent_selection} is to move")
                if action not in memoryview(legal_actions(game, session.human)).cast("q"):
                    raise Refused(422, f"action {action} is not a legal placement of yours")
                session.apply(action)
            await advance(session)
        return JSONResponse(session.state(marks=request.query_params.get("marks") == "1"))

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
        page = await asyncio.to_thread(draw.animation, records, format="html", title=f"tegulo-rl game {session.id}")
        return Response(
            page,
            media_type="text/html",
            headers={"Content-Disposition": f'attachment; filename="{session.id}.html"'},
        )

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "page.html", media_type="text/html")

    async def refused(request: Request, error: Exception) -> Response:
        assert isinstance(error, Refused)
        return JSONResponse({"error": str(error)}, status_code=error.status)

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
    return Starlette(routes=routes, exception_handlers={Refused: refused})


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
def serving(app: Starlette, host: str = "127.0.0.1", port: int = 0) -> Iterator[str]:
    """Serves `app` on a thread for the duration of the block, yielding its address."""
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
