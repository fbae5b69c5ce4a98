"""One learner against built-in opponents on every game of a `GameBatch`: the core of the training adapters.

The Gymnasium, vector and Stable-Baselines3 environments all step through
`LearnerGames`. It holds a batch whose every game stands at its learner's turn:
the learner plays one seat of each game, built-in players the other three. A
learner step plays the learner's actions, then the opponents' moves in native
calls until every game is back at its learner's turn; a game that ends on the way
starts again (and is played up to its learner's first turn), and the step reports
its learner's reward and final position.

When the opponents are built-in players that do not search, a learner step is
one native call (`GameBatch.step_learners`): each game plays its learner's action
and its opponents' replies on its own, up to its learner's next turn, on the
batch's threads. Otherwise (a network, or a search whose long choices must hear
interrupts) the opponents move in batch calls. The batch steps all its games at
once, while between two turns of the learner a
game needs from none to three opponent moves (fewer when opponents are out of
moves, none when the learner's own move ended the game, and many when the learner
is out of moves and the opponents play the game out). When most games move, games
that must wait are stepped with the others and put back as they were (their
records kept before the call and restored after it); when few games move, those
few are played in a batch of their own and put back.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tegulo_rl import _views, lineup
from tegulo_rl._batch import BatchObservation, BatchStep, GameBatch
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.lineup import AnyPlayer, NetPlayer
from tegulo_rl.players import Player

SEATS = len(PyTegulo().agents)
KINDS = len(PyTegulo.piece_names)
SIDE = PyTegulo.action_grid_shape[1]
NUM_ACTIONS = PyTegulo.num_actions
RECORD_SIZE = len(PyTegulo().to_bytes())
# The last byte of a state record is the agent to move.
CURRENT_AGENT_BYTE = RECORD_SIZE - 1
# The observation's planes: the cells of each seat's pieces, each seat's attach
# cells and each seat's blocked cells (seat 0 the learner, in its own frame), then
# the learner's 21 remaining piece kinds as constant planes (a plane of ones for a
# kind it still holds), so that a convolution sees at every cell what it may place.
PLANES = 3 * SEATS + KINDS
OBSERVATION_SHAPE = (PLANES, SIDE, SIDE)
LEGAL_MODES = ("list", "mask", "both")

Opponents = str | AnyPlayer | Sequence[str | AnyPlayer]


def parse_opponents(opponents: Opponents) -> list[AnyPlayer]:
    """The three opponents, in turn order after the learner: one player for all three or a sequence of three."""
    if isinstance(opponents, (str, Player, NetPlayer)):
        names: list[str | AnyPlayer] = [opponents] * (SEATS - 1)
    elif isinstance(opponents, Sequence):
        names = list(opponents)
        if len(names) != SEATS - 1:
            raise ValueError(f"opponents must be one player or a sequence of {SEATS - 1}, got {len(names)}")
    else:
        raise TypeError(f"opponents must be a player name or a sequence of them, got {type(opponents).__name__}")
    result = []
    for name in names:
        if isinstance(name, (str, Player, NetPlayer)):
            result.append(lineup.parse(name))
        else:
            raise TypeError(f"an opponent must be a player name, got {type(name).__name__}")
    return result


def check_seat(seat: int | None) -> int | None:
    """The learner's seat, checked: 0 to 3, or None for a seat drawn at each reset."""
    if seat is None:
        return None
    if isinstance(seat, bool) or not isinstance(seat, (int, np.integer)):
        raise TypeError(f"seat must be an int from 0 to {SEATS - 1} or None, got {type(seat).__name__}")
    if not 0 <= seat < SEATS:
        raise ValueError(f"seat must be from 0 to {SEATS - 1} or None, got {seat}")
    return int(seat)


def play_opponents(batch: GameBatch, players: list[AnyPlayer], seats: npt.NDArray[np.uint8]) -> BatchStep:
    """Plays every game's agent to move as the players that `seats` names: the one road of opponents' moves.
    Built-in players play in native code; a network plays all the games it moves in at once."""
    return lineup.step(batch, players, seats)


def planes(obs: BatchObservation) -> npt.NDArray[np.uint8]:
    """The observation planes (N, PLANES, 20, 20) of every game's agent to move."""
    n = len(obs.current_agent)
    out = np.empty((n, PLANES, SIDE, SIDE), dtype=np.uint8)
    out[:, 0:SEATS] = obs.observation
    out[:, SEATS : 2 * SEATS] = obs.corners
    out[:, 2 * SEATS : 3 * SEATS] = obs.blocked
    out[:, 3 * SEATS :] = obs.pieces[:, 0, :, None, None]
    return out


def final_planes(record: npt.NDArray[np.uint8], seat: int) -> npt.NDArray[np.uint8]:
    """The planes (PLANES, 20, 20) of a finished game's record as the agent `seat` sees it."""
    # The observation's memory holds its cell planes, then the 4 x 21 pieces held, end to end.
    view = np.frombuffer(_views.planes(PyTegulo.from_bytes(record.tobytes()).observe(seat)), dtype=np.uint8)
    cells = 3 * SEATS * SIDE * SIDE
    out = np.empty(OBSERVATION_SHAPE, dtype=np.uint8)
    out[: 3 * SEATS] = view[:cells].reshape(3 * SEATS, SIDE, SIDE)
    out[3 * SEATS :] = view[cells : cells + KINDS, None, None]
    return out


@dataclass
class Stepped:
    """The parts of a BatchStep that a learner step reads."""

    rewards: npt.NDArray[np.float32]
    terminated: npt.NDArray[np.bool_]
    scores: npt.NDArray[np.int32]
    final_records: npt.NDArray[np.uint8]


@dataclass
class LearnerStep:
    """What a learner step did, game by game."""

    rewards: npt.NDArray[np.float32]
    """(N,): the learner's reward in each game that ended; else 0."""
    terminated: npt.NDArray[np.bool_]
    """(N,): whether the game ended (it has started again since, at its learner's turn)."""
    final_observation: dict[int, npt.NDArray[np.uint8]]
    """For each game that ended, the learner's planes of its final position."""
    final_seat: npt.NDArray[np.int64]
    """(N,): the learner's seat in the game the step played (before any new draw)."""
    scores: npt.NDArray[np.int32]
    """(N, 4): each game's final scores by agent where it ended; else 0."""
    final_records: dict[int, bytes]
    """For each game that ended, its state record at its end."""


class LearnerGames:
    """N games, each at the turn of a learner that plays one seat against three built-in opponents.

    `seat` fixes the learner's seat, or None draws it for every game at every start
    from `rng`. `step` takes one action per game in the learner's frame; games
    listed in `hold` keep their position (their actions are ignored).
    """

    def __init__(
        self,
        num_games: int,
        opponents: Opponents = "random",
        seat: int | None = 0,
        reward_mode: str = "rank",
        threads: int | None = None,
        seed: int | None = None,
    ) -> None:
        if isinstance(num_games, bool) or not isinstance(num_games, (int, np.integer)) or num_games < 1:
            raise ValueError(f"num_games must be a positive int, got {num_games!r}")
        self.players = parse_opponents(opponents)
        self.fixed_seat = check_seat(seat)
        self.num_games = int(num_games)
        self.reward_mode = reward_mode
        self.rng = np.random.default_rng(seed)
        self.batch = GameBatch(self.num_games, reward_mode=reward_mode, threads=threads, seed=self._draw_seed())
        self.seat = np.zeros(self.num_games, dtype=np.int64)
        self.table = np.zeros((self.num_games, SEATS), dtype=np.uint8)
        builtin = [p for p in self.players if isinstance(p, Player) and p.name != "mcts"]
        self._native = len(builtin) == len(self.players)
        # The native step names the opponents by their place after the learner: one
        # player for all three needs no table.
        same = all(p == self.players[0] for p in self.players)
        self._native_players: list[Player] = builtin[:1] if same else builtin
        self._opponents = None if same else np.tile(np.arange(SEATS - 1, dtype=np.uint8), (self.num_games, 1))
        self._restart(np.ones(self.num_games, dtype=bool))
        self._advance()

    def _draw_seed(self) -> int:
        return int(self.rng.integers(2**63))

    def _restart(self, games: npt.NDArray[np.bool_]) -> None:
        """Gives the learner of each listed game its seat for a new game, and the opponents theirs."""
        count = int(games.sum())
        if count == 0:
            return
        if self.fixed_seat is None:
            self.seat[games] = self.rng.integers(SEATS, size=count)
        else:
            self.seat[games] = self.fixed_seat
        self._restart_table(games)

    def _restart_table(self, games: npt.NDArray[np.bool_]) -> None:
        """Seats the opponents of each listed game after its learner, as `seat` now places it."""
        # Opponent j plays the agent j + 1 places after the learner; the learner's own
        # agent names opponent 0, which only plays it in games put back afterwards.
        agents = (self.seat[games, None] + np.arange(SEATS)) % SEATS
        rows = np.flatnonzero(games)[:, None]
        self.table[rows, agents] = np.array([0, 0, 1, 2], dtype=np.uint8)

    def reset(self, seed: int | None = None) -> None:
        """Starts every game afresh; a seed restarts the learner's seats and the opponents' streams from it."""
        if seed is not None:
            self.rng = np.random.default_rng(seed)
        self.batch.reset(self._draw_seed())
        self._restart(np.ones(self.num_games, dtype=bool))
        self._advance()

    def current_agent(self) -> npt.NDArray[np.uint8]:
        return self.batch.to_bytes()[:, CURRENT_AGENT_BYTE]

    def observe(self, legal: str = "list") -> BatchObservation:
        """Every game as its learner sees it at its turn (the batch's observation, legal actions as asked)."""
        return self.batch.observe(legal)

    def _step_some(self, moving: npt.NDArray[np.bool_], actions: npt.NDArray[np.int64] | None) -> Stepped:
        """Steps the games in `moving` alone (with `actions`, or the opponents' choices when None)."""
        waiting = np.flatnonzero(~moving)
        going = np.flatnonzero(moving)
        if actions is None and len(going) < len(waiting):
            return self._step_apart(going)
        kept = self.batch.to_bytes()[waiting] if len(waiting) else None
        if actions is None:
            result = play_opponents(self.batch, self.players, self.table)
        else:
            result = self.batch.step(actions)
        if kept is not None:
            for i, record in zip(waiting.tolist(), kept, strict=True):
                self.batch.set_game(i, PyTegulo.from_bytes(record.tobytes()))
        return Stepped(result.rewards, result.terminated, result.scores, result.final_records)

    def _step_apart(self, going: npt.NDArray[np.intp]) -> Stepped:
        """Plays the opponents of a few games in a batch of their own, and puts the games back."""
        sub = GameBatch.from_bytes(
            self.batch.to_bytes()[going],
            reward_mode=self.reward_mode,
            threads=self.batch.threads,
            seed=self._draw_seed(),
        )
        result = play_opponents(sub, self.players, self.table[going])
        for j, i in enumerate(going.tolist()):
            self.batch.set_game(i, sub.game(j))
        n = self.num_games
        out = Stepped(
            np.zeros((n, SEATS), np.float32),
            np.zeros(n, bool),
            np.zeros((n, SEATS), np.int32),
            np.zeros((n, RECORD_SIZE), np.uint8),
        )
        out.rewards[going] = result.rewards
        out.terminated[going] = result.terminated
        out.scores[going] = result.scores
        out.final_records[going] = result.final_records
        return out

    def _advance(
        self,
        rewards: npt.NDArray[np.float32] | None = None,
        terminated: npt.NDArray[np.bool_] | None = None,
        final: dict[int, npt.NDArray[np.uint8]] | None = None,
        scores: npt.NDArray[np.int32] | None = None,
        records: dict[int, bytes] | None = None,
    ) -> None:
        """Plays the opponents until every game is at its learner's turn, recording games that end on the way."""
        while True:
            moving = self.current_agent() != self.seat
            if not moving.any():
                return
            result = self._step_some(moving, None)
            ended = moving & result.terminated
            if ended.any():
                self._record_ends(ended, result, rewards, terminated, final, scores, records)

    def _record_ends(
        self,
        ended: npt.NDArray[np.bool_],
        result: Stepped,
        rewards: npt.NDArray[np.float32] | None,
        terminated: npt.NDArray[np.bool_] | None,
        final: dict[int, npt.NDArray[np.uint8]] | None,
        scores: npt.NDArray[np.int32] | None,
        records: dict[int, bytes] | None,
    ) -> None:
        games = np.flatnonzero(ended)
        if rewards is not None and terminated is not None and final is not None and scores is not None:
            assert records is not None
            rewards[games] = result.rewards[games, self.seat[games]]
            terminated[games] = True
            scores[games] = result.scores[games]
            for i in games.tolist():
                records[i] = result.final_records[i].tobytes()
                final[i] = final_planes(result.final_records[i], int(self.seat[i]))
        self._restart(ended)

    def step(self, actions: npt.ArrayLike, hold: npt.NDArray[np.bool_] | None = None) -> LearnerStep:
        """Plays each game's learner action and the opponents' replies; games in `hold` stay as they are.

        Raises ValueError (naming the game) for an action that is not legal, TypeError or
        ValueError for a batch of the wrong type or shape; then no game has changed.
        """
        acts = np.asarray(actions)
        if acts.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, got an array of {acts.dtype}")
        if acts.shape != (self.num_games,):
            raise ValueError(f"actions must have shape ({self.num_games},), got {acts.shape}")
        acts = acts.astype(np.int64)
        moving = np.ones(self.num_games, dtype=bool) if hold is None else ~hold
        if hold is not None and hold.any() and not self._native:
            # Held games take any legal action: they are put back after the step.
            obs = self.batch.observe("list")
            assert obs.legal_actions is not None and obs.legal_offsets is not None
            acts = acts.copy()
            acts[hold] = obs.legal_actions[obs.legal_offsets[:-1][hold]]
        bad = np.flatnonzero(moving & ((acts < 0) | (acts >= NUM_ACTIONS)))
        if len(bad):
            i = int(bad[0])
            raise ValueError(f"action {int(acts[i])} of game {i} is out of range: actions are 0 to {NUM_ACTIONS - 1}")
        final_seat = self.seat.copy()
        rewards = np.zeros(self.num_games, dtype=np.float32)
        terminated = np.zeros(self.num_games, dtype=bool)
        scores = np.zeros((self.num_games, SEATS), dtype=np.int32)
        final: dict[int, npt.NDArray[np.uint8]] = {}
        records: dict[int, bytes] = {}
        if self._native:
            self._step_native(acts, hold, rewards, terminated, final, scores, records)
        elif moving.any():
            result = self._step_some(moving, acts)
            ended = moving & result.terminated
            if ended.any():
                self._record_ends(ended, result, rewards, terminated, final, scores, records)
            self._advance(rewards, terminated, final, scores, records)
        return LearnerStep(rewards, terminated, final, final_seat, scores, records)

    def _step_native(
        self,
        actions: npt.NDArray[np.int64],
        hold: npt.NDArray[np.bool_] | None,
        rewards: npt.NDArray[np.float32],
        terminated: npt.NDArray[np.bool_],
        final: dict[int, npt.NDArray[np.uint8]],
        scores: npt.NDArray[np.int32],
        records: dict[int, bytes],
    ) -> None:
        """The learner step in one native call: each game to its learner's next turn, in a new game if it ended."""
        if self.fixed_seat is None:
            upcoming = self.rng.integers(SEATS, size=self.num_games).astype(np.uint8)
        else:
            upcoming = np.full(self.num_games, self.fixed_seat, dtype=np.uint8)
        result = self.batch.step_learners(
            actions,
            self._native_players,
            self._opponents,
            next_learners=upcoming,
            playing=None if hold is None else ~hold,
        )
        ended = result.terminated
        if not ended.any():
            return
        games = np.flatnonzero(ended)
        seats = self.seat[games]
        rewards[games] = result.rewards[games, seats]
        terminated[games] = True
        scores[games] = result.scores[games]
        for i, seat in zip(games.tolist(), seats.tolist(), strict=True):
            records[i] = result.final_records[i].tobytes()
            final[i] = final_planes(result.final_records[i], seat)
        self.seat[games] = upcoming[games]
        self._restart_table(ended)
