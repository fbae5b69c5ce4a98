"""One game between a person and three players, as the server keeps it while it runs.

A move is all or nothing: the person's placement and the others' answers up to the person's next turn
either all happen, or, when a player fails (an exception, a missing checkpoint, torch not installed, a
search past its memory cap), the game goes back to where it was before the move and the failure is
reported. The same request again tries again.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field
from typing import Any

from tegulo_rl import draw, geometry
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import legal_actions
from tegulo_rl.lineup import AnyPlayer
from tegulo_rl.replays import _choose
from tegulo_rl.saved import HUMAN, SavedGame

SEATS = 4
LAST_MOVES = 8  # placements listed on the page
MAX_FAULT = 300  # characters of a player's error passed on to the client


class PlayerFailed(Exception):
    """A player raised instead of choosing a move; the game went back to where it was."""


@dataclass
class Session:
    """A game and what the page shows of it. `lock` guards the game and the lists, which a lane's thread
    changes while the event loop reads them; `busy` (under `lock`) is set while a move is being played,
    from the moment the event loop accepts it until its thread has finished, so one move runs at a time.
    `opponents` is empty for a finished game read back from disk: nobody plays in it any more."""

    id: str
    names: list[str]
    opponents: dict[int, AnyPlayer]
    human: int
    seed: int
    game: PyTegulo = field(default_factory=PyTegulo)
    steps: list[int | None] = field(default_factory=list)  # every step, a pass as None
    placements: list[tuple[int, int, tuple[int, ...]]] = field(default_factory=list)  # agent, kind, cells
    records: list[bytes] = field(default_factory=lambda: [PyTegulo().to_bytes()])  # after every placement
    thinking: int | None = None
    busy: bool = False
    saved: bool = False  # whether the file on disk holds the game as it is
    lock: threading.Lock = field(default_factory=threading.Lock)

    @classmethod
    def start(cls, game_id: str, opponents: dict[int, AnyPlayer], human: int, seed: int) -> Session:
        names = [HUMAN if agent == human else str(opponents[agent]) for agent in range(SEATS)]
        return cls(game_id, names, opponents, human, seed)

    @classmethod
    def restore(cls, saved: SavedGame, opponents: dict[int, AnyPlayer]) -> Session:
        """A saved game played again step by step (its steps were checked when it was read)."""
        session = cls(saved.id, list(saved.players), opponents, saved.human, saved.seed, saved=True)
        for step in saved.steps:
            session.apply(step)
        return session

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

    def play(self, action: int | None) -> None:
        """The person's placement (None: none, as when a game starts) and the others' answers, all or
        nothing: PlayerFailed leaves the game as it was. Runs on a lane's thread; `busy` is set."""
        with self.lock:
            mark = (len(self.steps), len(self.placements), len(self.records), self.game.to_bytes())
            if action is not None:
                self.apply(action)
        try:
            self.advance()
        except PlayerFailed:
            with self.lock:
                steps, placements, records, record = mark
                del self.steps[steps:], self.placements[placements:], self.records[records:]
                self.game = PyTegulo.from_bytes(record)
            raise

    def advance(self) -> None:
        """Plays the others' turns (and the passes of agents out of moves) until it is the person's turn with
        a move to make, or the game is over. The search works on a copy, outside the lock, so that the state
        can be read meanwhile."""
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
                action = _choose(position, self.opponents[agent], self.seed)
            except Exception as error:
                with self.lock:
                    self.thinking = None  # a failed player is not shown thinking for ever
                fault = f"{type(error).__name__}: {error}"[:MAX_FAULT]
                raise PlayerFailed(
                    f"agent {agent} ({draw.AGENT_NAMES[agent]}, {self.names[agent]}) failed to move: {fault}"
                ) from error
            with self.lock:
                self.apply(action)

    def state(self, marks: bool = False) -> dict[str, Any]:
        """What the page and the API show of the game."""
        with self.lock:
            game = self.game
            agent = game.agent_selection
            turn = not game.is_over and agent == self.human and not game.terminations[agent] and not self.busy
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
                "players": list(self.names),
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

    def to_saved(self) -> SavedGame:
        with self.lock:
            record = self.game.to_bytes()
            return SavedGame(
                self.id, tuple(self.names), self.human, self.seed, tuple(self.steps), record, self.game.is_over
            )
