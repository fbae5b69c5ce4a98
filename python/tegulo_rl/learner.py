"""One learner against its opponents on every game of a `GameBatch`: the core of the training adapters.

The Gymnasium, vector and Stable-Baselines3 environments all step through
`LearnerGames`. It holds a batch whose every game stands at its learner's turn:
the learner plays one seat of each game, opponents the other three. A learner step
plays the learner's actions, then the opponents' moves until every game is back at
its learner's turn; a game that ends on the way starts again (and is played up to
its learner's first turn), and the step reports its learner's reward and final
position.

Opponents are any players a line-up takes (built-in players, network players,
callable policies), one for all three seats, one per seat, or a `Pool` per seat
that each new game draws from. Every player the pools hold gets a number; each
game keeps the numbers of its three opponents, drawn when it starts.

When every opponent is a built-in player that does not search, a learner step is
one native call (`GameBatch.step_learners`): each game plays its learner's action
and its opponents' replies on its own, up to its learner's next turn, on the
batch's threads, a game that starts again meeting the opponents drawn for it.
Otherwise (a network, a policy, or a search whose long choices must hear
interrupts) the opponents move in batch calls, each player called once per call
for all the games it moves in. Between two turns of the learner a game needs from
none to three opponent moves (fewer when opponents are out of moves, none when the
learner's own move ended the game, and many when the learner is out of moves and
the opponents play the game out). When most games move, games that must wait are
stepped with the others and put back as they were (their records kept before the
call and restored after it); when few games move, those few are played in a batch
of their own and put back. If an opponent's choice is refused (a policy that
raises or plays an illegal action), the whole learner step is undone: the batch,
its streams, the seats and the draws are put back as they were.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from tegulo_rl import encoding, lineup
from tegulo_rl._batch import BatchObservation, BatchStep, GameBatch
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.encoding import (  # noqa: F401  (the planes' names, where the adapters have always found them)
    KINDS,
    OBSERVATION_SHAPE,
    PLANES,
    SEATS,
    SIDE,
    Encoded,
    planes,
)
from tegulo_rl.lineup import AnyPlayer, PlayerLike
from tegulo_rl.players import Player
from tegulo_rl.pool import Pool

NUM_ACTIONS = PyTegulo.num_actions
RECORD_SIZE = len(PyTegulo().to_bytes())
# The last byte of a state record is the agent to move.
CURRENT_AGENT_BYTE = RECORD_SIZE - 1
LEGAL_MODES = ("list", "mask", "both")

Opponent = PlayerLike | Pool
Opponents = Opponent | Sequence[Opponent]


def _one(opponents: object) -> bool:
    return isinstance(opponents, (*lineup.PLAYER_TYPES, Pool)) or callable(opponents)


def opponent_pools(opponents: Opponents) -> list[Pool]:
    """The pool of each of the three opponent seats, in turn order after the learner: from one
    player or pool for all three, or a sequence of three (a fixed player is a pool of one)."""
    if _one(opponents):
        named: list[Any] = [opponents] * (SEATS - 1)
    elif isinstance(opponents, Sequence):
        named = list(opponents)
        if len(named) != SEATS - 1:
            raise ValueError(f"opponents must be one player or a sequence of {SEATS - 1}, got {len(named)}")
    else:
        raise TypeError(f"opponents must be a player name or a sequence of them, got {type(opponents).__name__}")
    pools = []
    for name in named:
        if isinstance(name, Pool):
            pools.append(name)
        elif _one(name):
            pools.append(Pool([name]))
        else:
            raise TypeError(f"an opponent must be a player name, a policy or a Pool, got {type(name).__name__}")
    return pools


def parse_opponents(opponents: Opponents) -> list[AnyPlayer]:
    """The three opponents, in turn order after the learner, each a player (not a pool)."""
    pools = opponent_pools(opponents)
    if any(len(pool) != 1 for pool in pools):
        raise ValueError("this adapter takes fixed opponents, not a Pool")
    return [pool.members[0] for pool in pools]


def check_seat(seat: int | None) -> int | None:
    """The learner's seat, checked: 0 to 3, or None for a seat drawn at each reset."""
    if seat is None:
        return None
    if isinstance(seat, bool) or not isinstance(seat, (int, np.integer)):
        raise TypeError(f"seat must be an int from 0 to {SEATS - 1} or None, got {type(seat).__name__}")
    if not 0 <= seat < SEATS:
        raise ValueError(f"seat must be from 0 to {SEATS - 1} or None, got {seat}")
    return int(seat)


def play_opponents(
    batch: GameBatch, players: list[AnyPlayer], seats: npt.NDArray[Any], games: Any = None, numbers: Any = None
) -> BatchStep:
    """Plays every game's agent to move as the players that `seats` names (only the games that
    `games` marks matter): the one road of opponents' moves."""
    return lineup.step(batch, players, seats, games=games, numbers=numbers)


def final_planes(record: npt.NDArray[np.uint8], seat: int) -> npt.NDArray[np.uint8]:
    """The planes (PLANES, 20, 20) of a finished game's record as the agent `seat` sees it."""
    out = encoding.final(record, seat, "planes")
    assert not isinstance(out, dict)
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
    finals: Encoded | None
    """The learner's observations of the final positions of the games that ended, stacked in
    the order of their numbers (None when none ended)."""
    final_seat: npt.NDArray[np.int64]
    """(N,): the learner's seat in the game the step played (before any new draw)."""
    scores: npt.NDArray[np.int32]
    """(N, 4): each game's final scores by agent where it ended; else 0."""
    final_records: dict[int, bytes]
    """For each game that ended, its state record at its end."""

    @property
    def final_observation(self) -> dict[int, Encoded]:
        """For each game that ended, the learner's observation of its final position."""
        if self.finals is None:
            return {}
        games = np.flatnonzero(self.terminated).tolist()
        return {i: encoding.row(self.finals, j) for j, i in enumerate(games)}


class LearnerGames:
    """N games, each at the turn of a learner that plays one seat against three opponents.

    `seat` fixes the learner's seat, or None draws it for every game at every start
    from `rng`. `step` takes one action per game in the learner's frame; games
    listed in `hold` keep their position (their actions are ignored). Final
    observations are encoded as `observation` ("planes" or "dict") says.
    """

    def __init__(
        self,
        num_games: int,
        opponents: Opponents = "random",
        seat: int | None = 0,
        reward_mode: str = "rank",
        threads: int | None = None,
        seed: int | None = None,
        observation: str = "planes",
    ) -> None:
        if isinstance(num_games, bool) or not isinstance(num_games, (int, np.integer)) or num_games < 1:
            raise ValueError(f"num_games must be a positive int, got {num_games!r}")
        self.pools = opponent_pools(opponents)
        self.fixed_seat = check_seat(seat)
        self.observation = encoding.check_observation(observation)
        self.num_games = int(num_games)
        self.reward_mode = reward_mode
        self.rng = np.random.default_rng(seed)
        self.batch = GameBatch(self.num_games, reward_mode=reward_mode, threads=threads, seed=self._draw_seed())
        # Every player the pools hold, numbered; each pool's members by those numbers.
        self.players: list[AnyPlayer] = []
        self._numbers: list[list[int]] = [[] for _ in self.pools]
        self._sync()
        self.seat = np.zeros(self.num_games, dtype=np.int64)
        # The player numbers of each game's opponents, in turn order after its learner, and
        # the same by agent (the learner's own agent names opponent 0's player, which only
        # plays it in games put back afterwards).
        self.opponents = np.zeros((self.num_games, SEATS - 1), dtype=np.int64)
        self.table = np.zeros((self.num_games, SEATS), dtype=np.int64)
        self._restart(np.ones(self.num_games, dtype=bool))
        self._undoing(self._advance)

    @property
    def _native(self) -> bool:
        """Whether the opponents step in one native call: built-in players that do not search."""
        self._sync()
        return all(isinstance(p, Player) and p.name != "mcts" for p in self.players)

    def _sync(self) -> None:
        """Numbers the members the pools gained since the last call."""
        for pool, numbers in zip(self.pools, self._numbers, strict=True):
            for member in pool.members[len(numbers) :]:
                if member not in self.players:
                    self.players.append(member)
                numbers.append(self.players.index(member))

    def _draw_seed(self) -> int:
        return int(self.rng.integers(2**63))

    def _draw_opponents(self, games: npt.NDArray[np.bool_], into: npt.NDArray[np.int64]) -> None:
        """Draws the opponents of each listed game from the pools into `into`."""
        count = int(games.sum())
        if count == 0:
            return
        self._sync()
        for k, (pool, numbers) in enumerate(zip(self.pools, self._numbers, strict=True)):
            into[games, k] = np.asarray(numbers, dtype=np.int64)[pool.draw(self.rng, count)]

    def _restart(self, games: npt.NDArray[np.bool_]) -> None:
        """Gives the learner of each listed game its seat for a new game, and draws its opponents."""
        count = int(games.sum())
        if count == 0:
            return
        if self.fixed_seat is None:
            self.seat[games] = self.rng.integers(SEATS, size=count)
        else:
            self.seat[games] = self.fixed_seat
        self._draw_opponents(games, self.opponents)
        self._restart_table(games)

    def _restart_table(self, games: npt.NDArray[np.bool_]) -> None:
        """Seats the opponents of each listed game after its learner, as `seat` now places it."""
        rows = np.flatnonzero(games)
        agents = (self.seat[rows, None] + np.arange(SEATS)) % SEATS
        self.table[rows[:, None], agents] = self.opponents[rows][:, [0, 0, 1, 2]]

    def reset(self, seed: int | None = None) -> None:
        """Starts every game afresh; a seed restarts the learner's seats and the opponents' streams from it."""
        if seed is not None:
            self.rng = np.random.default_rng(seed)
        self.batch.reset(self._draw_seed())
        self._restart(np.ones(self.num_games, dtype=bool))
        self._undoing(self._advance)

    def current_agent(self) -> npt.NDArray[np.uint8]:
        return self.batch.to_bytes()[:, CURRENT_AGENT_BYTE]

    def observe(self, legal: str = "list", *, sorted: bool = True) -> BatchObservation:
        """Every game as its learner sees it at its turn (the batch's observation, legal actions as asked)."""
        return self.batch.observe(legal, sorted=sorted)

    def encode(self, obs: BatchObservation) -> Encoded:
        """The observation of every game as this learner's encoding gives it."""
        return encoding.encode(obs, self.observation)

    def _undoing(self, play: Callable[[], None]) -> None:
        """Runs `play`; if it raises, puts the batch, its streams, the seats and the draws back."""
        rebuild, arguments = self.batch.__reduce__()
        seat, opponents, table = self.seat.copy(), self.opponents.copy(), self.table.copy()
        state = self.rng.bit_generator.state
        try:
            play()
        except BaseException:
            self.batch = rebuild(*arguments)
            self.seat, self.opponents, self.table = seat, opponents, table
            self.rng.bit_generator.state = state
            raise

    def _step_some(self, moving: npt.NDArray[np.bool_], actions: npt.NDArray[np.int64] | None) -> Stepped:
        """Steps the games in `moving` alone (with `actions`, or the opponents' choices when None)."""
        waiting = np.flatnonzero(~moving)
        going = np.flatnonzero(moving)
        if actions is None and len(going) < len(waiting):
            return self._step_apart(going)
        kept = self.batch.to_bytes()[waiting] if len(waiting) else None
        if actions is None:
            result = play_opponents(self.batch, self.players, self.table, games=moving)
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
        result = play_opponents(sub, self.players, self.table[going], numbers=going)
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

    def _advance(self, ends: Ends | None = None) -> None:
        """Plays the opponents until every game is at its learner's turn, recording games that end on the way."""
        while True:
            moving = self.current_agent() != self.seat
            if not moving.any():
                return
            result = self._step_some(moving, None)
            ended = moving & result.terminated
            if ended.any():
                self._record_ends(ended, result, ends)

    def _record_ends(self, ended: npt.NDArray[np.bool_], result: Stepped, ends: Ends | None) -> None:
        games = np.flatnonzero(ended)
        if ends is not None:
            ends.record(games, self.seat[games], result.rewards, result.scores, result.final_records)
        self._restart(ended)

    def step(self, actions: npt.ArrayLike, hold: npt.NDArray[np.bool_] | None = None) -> LearnerStep:
        """Plays each game's learner action and the opponents' replies; games in `hold` stay as they are.

        Raises ValueError (naming the game) for an action that is not legal, or for an
        opponent's choice that is refused (naming the opponent and the game); TypeError
        or ValueError for a batch of the wrong type or shape; then no game has changed.
        """
        acts = np.asarray(actions)
        if acts.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, got an array of {acts.dtype}")
        if acts.shape != (self.num_games,):
            raise ValueError(f"actions must have shape ({self.num_games},), got {acts.shape}")
        acts = acts.astype(np.int64)
        moving = np.ones(self.num_games, dtype=bool) if hold is None else ~hold
        native = self._native
        if hold is not None and hold.any() and not native:
            # Held games take any legal action: they are put back after the step.
            obs = self.batch.observe("list", sorted=False)
            assert obs.legal_actions is not None and obs.legal_offsets is not None
            acts = acts.copy()
            acts[hold] = obs.legal_actions[obs.legal_offsets[:-1][hold]]
        bad = np.flatnonzero(moving & ((acts < 0) | (acts >= NUM_ACTIONS)))
        if len(bad):
            i = int(bad[0])
            raise ValueError(f"action {int(acts[i])} of game {i} is out of range: actions are 0 to {NUM_ACTIONS - 1}")
        final_seat = self.seat.copy()
        ends = Ends(self.num_games, self.observation)
        if native:
            self._step_native(acts, hold, ends)
        elif moving.any():

            def play() -> None:
                result = self._step_some(moving, acts)
                ended = moving & result.terminated
                if ended.any():
                    self._record_ends(ended, result, ends)
                self._advance(ends)

            self._undoing(play)
        return LearnerStep(ends.rewards, ends.terminated, ends.finals(), final_seat, ends.scores, ends.records)

    def _step_native(self, actions: npt.NDArray[np.int64], hold: npt.NDArray[np.bool_] | None, ends: Ends) -> None:
        """The learner step in one native call: each game to its learner's next turn, in a new game if it ended."""
        if self.fixed_seat is None:
            upcoming = self.rng.integers(SEATS, size=self.num_games).astype(np.uint8)
        else:
            upcoming = np.full(self.num_games, self.fixed_seat, dtype=np.uint8)
        drawn = any(len(pool) > 1 for pool in self.pools)
        following = self.opponents.copy()
        if drawn:
            # Each game that ends meets the opponents drawn now in its next game.
            self._draw_opponents(np.ones(self.num_games, dtype=bool), following)
        single = len(self.players) == 1
        result = self.batch.step_learners(
            actions,
            [p for p in self.players if isinstance(p, Player)],
            None if single else self.opponents.astype(np.uint8),
            next_learners=upcoming,
            playing=None if hold is None else ~hold,
            next_opponents=following.astype(np.uint8) if drawn and not single else None,
        )
        ended = result.terminated
        if not ended.any():
            return
        games = np.flatnonzero(ended)
        ends.record(games, self.seat[games], result.rewards, result.scores, result.final_records)
        self.seat[games] = upcoming[games]
        self.opponents[games] = following[games]
        self._restart_table(ended)


class Ends:
    """What a learner step gathers of the games that end: the learner's rewards, scores, finals."""

    def __init__(self, num_games: int, observation: str) -> None:
        self.observation = observation
        self.rewards = np.zeros(num_games, dtype=np.float32)
        self.terminated = np.zeros(num_games, dtype=bool)
        self.scores = np.zeros((num_games, SEATS), dtype=np.int32)
        self.seats = np.zeros(num_games, dtype=np.int64)
        self.records: dict[int, bytes] = {}

    def record(
        self,
        games: npt.NDArray[np.intp],
        seats: npt.NDArray[np.int64],
        rewards: npt.NDArray[np.float32],
        scores: npt.NDArray[np.int32],
        records: npt.NDArray[np.uint8],
    ) -> None:
        self.rewards[games] = rewards[games, seats]
        self.terminated[games] = True
        self.scores[games] = scores[games]
        self.seats[games] = seats
        for i in games.tolist():
            self.records[i] = records[i].tobytes()

    def finals(self) -> Encoded | None:
        """The learner's observations of the final positions, stacked by game number."""
        games = np.flatnonzero(self.terminated)
        if len(games) == 0:
            return None
        records = np.stack([np.frombuffer(self.records[i], dtype=np.uint8) for i in games.tolist()])
        return encoding.finals(records, self.seats[games], self.observation)
