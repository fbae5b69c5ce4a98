"""The games of one server: those in memory, and every game on disk in its folder.

Each game is saved after every move, finished or not, as `ID.tegulo` (the record) and `ID.json` (the
players and every step, `tegulo_rl.saved`), so a restarted server resumes the games it had. Memory holds at
most `max_games` unfinished games and KEEP_FINISHED finished ones: past that the one idle longest leaves
memory (not the disk, where its id still finds it). A game is read from disk when a request names its id,
never all at start, and checked as it is read; a file that fails the check is skipped with one line in
the log naming it and its fault.
"""

from __future__ import annotations

import json
import logging
import os
import secrets
from collections import OrderedDict
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from tegulo_rl import saved
from tegulo_rl._views import legal_actions
from tegulo_rl.lineup import AnyPlayer
from tegulo_rl.saved import MAX_SEED
from tegulo_rl.web.answers import Refused, shown
from tegulo_rl.web.lanes import Lane
from tegulo_rl.web.opponents import DEFAULT_MAX_SIMULATIONS, Opponents, is_light
from tegulo_rl.web.sessions import SEATS, PlayerFailed, Session

log = logging.getLogger("tegulo_rl.web")

DEFAULT_MAX_GAMES = 100
KEEP_FINISHED = 32
LIGHT_THREADS, LIGHT_BACKLOG = 2, 64


def default_searches() -> int:
    """Searches that run at once by default: half the cores, leaving the rest to the page and the machine."""
    return max(1, (os.cpu_count() or 2) // 2)


class Games:
    """The games of a server whose files are in `folder`; `against` names the other seats' players by default
    (and is all a client may name beyond the built-in players, see `Opponents`). Used from the event loop."""

    def __init__(
        self,
        folder: str | os.PathLike[str],
        against: Sequence[str | AnyPlayer],
        seat: int = 0,
        *,
        max_simulations: int = DEFAULT_MAX_SIMULATIONS,
        max_games: int = DEFAULT_MAX_GAMES,
        searches: int | None = None,
    ):
        if max_games < 1:
            raise ValueError(f"max_games must be at least 1, got {max_games}")
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.opponents = Opponents(against, max_simulations)
        self.against = [str(player) for player in self.opponents.against]
        self.seat = seat
        self.max_games = max_games
        self.sessions: OrderedDict[str, Session] = OrderedDict()  # the one used longest ago first
        self.skipped: dict[str, tuple[float, str]] = {}  # id: the refused file's time and its fault
        searches = default_searches() if searches is None else searches
        self.light = Lane("moves against quick players", LIGHT_THREADS, LIGHT_BACKLOG)
        self.searches = Lane("moves against searching players", searches, searches, retry_after=5)

    # --- Finding a game -------------------------------------------------------------------------------------------

    def get(self, game_id: str) -> Session:
        """The game of an id, from memory or from its file; Refused 404 when there is none (or its file is bad)."""
        session = self.sessions.get(game_id)
        if session is None:
            session = self._read(game_id)
            self.sessions[game_id] = session
            self._trim()
        self.sessions.move_to_end(game_id)
        return session

    def _read(self, game_id: str) -> Session:
        if not saved.is_id(game_id):
            raise Refused(404, f"no game {shown(game_id)}")
        path = self.folder / f"{game_id}.json"
        try:
            mtime = path.stat().st_mtime
        except OSError:
            raise Refused(404, f"no game {shown(game_id)}") from None
        if self.skipped.get(game_id, (None,))[0] == mtime:
            raise Refused(404, f"no game {shown(game_id)}: its file is refused ({self.skipped[game_id][1]})")
        try:
            game = saved.read(path)
            if game.id != game_id:
                raise ValueError(f"it holds the game {shown(game.id)}, not the one its name says")
            opponents = {} if game.over else {a: self._opponent(game.players[a]) for a in self._others(game.human)}
        except ValueError as error:
            log.warning("skipping %s: %s", path, error)
            self.skipped[game_id] = (mtime, str(error))
            raise Refused(404, f"no game {shown(game_id)}: its file is refused ({error})") from None
        return Session.restore(game, opponents)

    def _opponent(self, name: str) -> AnyPlayer:
        try:
            return self.opponents.parse(name)
        except Refused as refused:
            raise ValueError(f"its player {shown(name)} cannot play here: {refused}") from None

    @staticmethod
    def _others(human: int) -> list[int]:
        return [agent for agent in range(SEATS) if agent != human]

    def _trim(self) -> None:
        """Lets the games idle longest leave memory until it holds no more than it may; a game being played,
        or one its file does not hold as it is, stays."""
        for finished, most in ((False, self.max_games), (True, KEEP_FINISHED)):
            kept = [s for s in self.sessions.values() if s.game.is_over == finished]
            for session in kept[: max(0, len(kept) - most)]:
                with session.lock:
                    idle = not session.busy and session.saved
                if idle:
                    del self.sessions[session.id]

    # --- Starting and playing -------------------------------------------------------------------------------------

    def lane(self, session: Session) -> Lane:
        return self.light if all(is_light(p) for p in session.opponents.values()) else self.searches

    async def new(self, body: Any) -> Session:
        """Starts the game a client asks for (see the server's docstring) and plays up to the person's first
        turn; the game exists only once that has succeeded."""
        if not isinstance(body, dict):
            raise Refused(400, "expected a JSON object with players, seat and seed")
        names = body.get("players", self.against)
        if isinstance(names, str):
            names = [names]
        if not isinstance(names, list) or len(names) not in (1, SEATS - 1):
            raise Refused(400, f"players: expected a list of one or three player names, got {shown(names)}")
        chosen = [self.opponents.parse(name) for name in names] * (3 if len(names) == 1 else 1)
        seat, seed = body.get("seat", self.seat), body.get("seed", secrets.randbelow(2**31))
        for key, value, top in (("seat", seat, SEATS - 1), ("seed", seed, MAX_SEED)):
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= top:
                raise Refused(400, f"{key}: expected a whole number from 0 to {top}, got {shown(value)}")
        session = Session.start(secrets.token_hex(6), dict(zip(self._others(seat), chosen, strict=True)), seat, seed)
        lane = self.lane(session)
        lane.check()
        self._room()
        session.busy = True
        await self._play(lane, session, None)
        self.sessions[session.id] = session
        self._trim()
        return session

    def _room(self) -> None:
        """Refuses a new game with 503 when memory holds all the unfinished games it may and every one of
        them is being played (none can leave)."""
        playing = [s for s in self.sessions.values() if not s.game.is_over]
        if len(playing) >= self.max_games and all(s.busy or not s.saved for s in playing):
            raise Refused(503, f"the server is playing {len(playing)} games: try again soon", {"Retry-After": "5"})

    async def move(self, session: Session, action: int) -> None:
        """Plays the person's placement and the others' answers (Refused when the move is not the person's
        to make now, 502 when a player failed: the game is then as it was)."""
        lane = self.lane(session)
        with session.lock:
            game = session.game
            if session.busy:
                raise Refused(409, "the other players are still playing")
            if game.is_over:
                raise Refused(409, "the game is over")
            if game.agent_selection != session.human:
                raise Refused(409, f"not your turn: agent {game.agent_selection} is to move")
            if action not in memoryview(legal_actions(game, session.human)).cast("q"):
                raise Refused(422, f"action {shown(action)} is not a legal placement of yours")
            lane.check()
            session.busy = True
        await self._play(lane, session, action)

    async def _play(self, lane: Lane, session: Session, action: int | None) -> None:
        try:
            await lane.submit(lambda: self._played(session, action))
        except PlayerFailed as error:
            log.warning("game %s: %s", session.id, error)
            raise Refused(502, f"{error}; the game is as it was before: try again") from None

    def _played(self, session: Session, action: int | None) -> None:
        """On a lane's thread: the move, then the game saved; `busy` cleared whatever happens."""
        try:
            session.play(action)
            self.save(session)
        finally:
            with session.lock:
                session.busy = False

    def save(self, session: Session) -> None:
        """Writes a game, the record and the steps, each under a temporary name first. A failure (a full disk)
        is logged and keeps the game in memory: the game goes on."""
        game = session.to_saved()
        files = ((f"{game.id}.tegulo", game.record), (f"{game.id}.json", json.dumps(game.to_json()).encode()))
        try:
            for name, data in files:
                temporary = self.folder / f".{name}.part"
                temporary.write_bytes(data)
                os.replace(temporary, self.folder / name)
        except OSError as error:
            log.warning("game %s: cannot save it in %s: %s", game.id, self.folder, error)
            with session.lock:
                session.saved = False
            return
        with session.lock:
            session.saved = True

    def close(self) -> None:
        self.light.close()
        self.searches.close()
