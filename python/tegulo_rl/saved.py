"""Games the play page saves: the JSON beside each record (`ID.json`), written by the server and read back,
checked, by the server after a restart and by the replay command.

    {"id": "3f9c0a12b4e7", "players": ["heuristic", "you", "heuristic", "heuristic"], "human": 1,
     "seed": 7, "steps": [3051, null, ...], "record": "01..."}

`steps` lists every step of the game in order, a pass as null; `record` is the hex of the
record the steps lead to. A file is only trusted after `check`: a program other than the
server may have written it, or a disk may have cut it short.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import NUM_ACTIONS, SEATS

# The server's game ids: 12 lowercase hexadecimal digits (six random bytes). Anything else is not one of its
# files, and never becomes part of a path.
ID_FORM = re.compile(r"[0-9a-f]{12}")
HUMAN = "you"  # the person's entry in `players`
MAX_SEED = 2**63 - 1
MAX_NAME = 200  # characters of a player's name
MAX_FILE = 256 * 1024  # bytes: a whole game takes about 1 KiB
MAX_DEPTH = 32  # nested arrays and objects: a saved game has 3
# JSON's tokens that matter to its depth: strings (whose brackets do not nest; an unclosed one runs to the end,
# so every match succeeds and a scan stays linear) and the brackets outside them.
_TOKEN = r'"(?:[^"\\]|\\.)*+(?:"|\\?\Z)|[\[\]{}]'
_TOKENS: dict[type, re.Pattern[Any]] = {str: re.compile(_TOKEN, re.S), bytes: re.compile(_TOKEN.encode(), re.S)}
_OPEN, _CLOSE = ("[", "{", b"[", b"{"), ("]", "}", b"]", b"}")


@dataclass(frozen=True)
class SavedGame:
    """A saved game that passed `check`: its steps replay legally to its record."""

    id: str
    players: tuple[str, ...]
    human: int
    seed: int
    steps: tuple[int | None, ...]
    record: bytes  # of the position after the last step
    over: bool

    def to_json(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "players": list(self.players),
            "human": self.human,
            "seed": self.seed,
            "steps": list(self.steps),
            "record": self.record.hex(),
        }


def is_id(text: object) -> bool:
    return isinstance(text, str) and ID_FORM.fullmatch(text) is not None


def _whole(value: object, low: int, high: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and low <= value <= high


def replay(steps: Sequence[object]) -> PyTegulo:
    """The game the steps lead to, refused with ValueError at the first step the rules do not allow: an
    action out of range, a placement that is not legal, a pass of an agent that can still place, a
    placement of one that cannot, or a step after the end."""
    game = PyTegulo()
    for number, step in enumerate(steps):
        if game.is_over:
            raise ValueError(f"step {number}: the game was over after {number} steps")
        agent = game.agent_selection
        if game.terminations[agent]:
            if step is not None:
                raise ValueError(f"step {number}: agent {agent} is out of moves, its step must be null")
            game.step(None)
            continue
        if not isinstance(step, int) or isinstance(step, bool) or not 0 <= step < NUM_ACTIONS:
            raise ValueError(f"step {number}: expected an action from 0 to {NUM_ACTIONS - 1}, got {shown(step)}")
        try:
            game.step(step)
        except AssertionError:
            raise ValueError(f"step {number}: action {step} is not a legal placement of agent {agent}") from None
    return game


def check(data: object) -> SavedGame:
    """The saved game `data` (parsed JSON) describes, refused with ValueError naming the first fault."""
    if not isinstance(data, dict):
        raise ValueError(f"expected a JSON object (a game the play page saved), got {type(data).__name__}")
    missing = [key for key in ("id", "players", "human", "seed", "steps", "record") if key not in data]
    if missing:
        raise ValueError(f"no {', '.join(missing)}")
    game_id, players, human, seed, steps = (data[k] for k in ("id", "players", "human", "seed", "steps"))
    if not isinstance(game_id, str) or len(game_id) > MAX_NAME:
        raise ValueError(f"id: expected a short string, got {shown(game_id)}")
    if not _whole(human, 0, SEATS - 1):
        raise ValueError(f"human: expected a seat from 0 to {SEATS - 1}, got {shown(human)}")
    if not (
        isinstance(players, list)
        and len(players) == SEATS
        and all(isinstance(name, str) and 0 < len(name) <= MAX_NAME for name in players)
    ):
        raise ValueError(f"players: expected {SEATS} names, got {shown(players)}")
    if players[human] != HUMAN:
        raise ValueError(f"players: the person's seat {human} is named {shown(players[human])}, not {HUMAN!r}")
    if not _whole(seed, 0, MAX_SEED):
        raise ValueError(f"seed: expected a whole number from 0 to 2**63 - 1, got {shown(seed)}")
    if not isinstance(steps, list):
        raise ValueError(f"steps: expected a list, got {shown(steps)}")
    game = replay(steps)
    if game.to_bytes().hex() != data["record"]:
        raise ValueError("its steps do not lead to its record")
    return SavedGame(game_id, tuple(players), human, seed, tuple(steps), game.to_bytes(), game.is_over)


def parse(text: bytes | str) -> object:
    """JSON text as Python values, refused with ValueError whatever its fault: not UTF-8, not JSON, nested
    too deep, numbers too long, or NaN and the infinities (which JSON does not have)."""

    def constant(name: str) -> object:
        raise ValueError(f"{name} is not a JSON value")

    # The decoder's own recursion limit depends on the interpreter (recent ones allow thousands of levels,
    # which whatever walks the value afterwards may not survive), so the depth is bounded here, before it.
    depth = 0
    for token in _TOKENS[type(text)].findall(text):
        depth += (token in _OPEN) - (token in _CLOSE)
        if depth > MAX_DEPTH:
            raise ValueError(f"nested too deep (over {MAX_DEPTH} levels)")
    try:
        return json.loads(text, parse_constant=constant)
    except UnicodeDecodeError as error:
        raise ValueError(f"not UTF-8 ({error.reason} at byte {error.start})") from None
    except ValueError as error:  # JSONDecodeError, and ints longer than Python converts
        raise ValueError(str(error)[:120]) from None


def read(path: str | os.PathLike[str]) -> SavedGame:
    """The saved game in a file, refused with ValueError naming the fault (not the file: callers do)."""
    path = Path(path)
    try:
        size = path.stat().st_size
        if size > MAX_FILE:
            raise ValueError(f"{size} bytes, too large for a saved game")
        text = path.read_bytes()
    except OSError as error:
        raise ValueError(error.strerror or str(error)) from None
    return check(parse(text))


def shown(value: object, limit: int = 40) -> str:
    """A value as JSON, ASCII only and cut to `limit` characters, for messages."""
    try:
        text = json.dumps(value)
    except (ValueError, TypeError, RecursionError):  # an int too long to print, a list too deep
        text = type(value).__name__
    return text if len(text) <= limit else text[: limit - 3] + "..."
