"""Policies and pools as opponents: what a policy sees, what it plays, how often it is called, and its faults."""

import re

import numpy as np
import pytest

from tegulo_rl import GameBatch, PyTegulo, arena, learner, lineup, players
from tegulo_rl.learner import LearnerGames
from tegulo_rl.policy import PolicyPlayer
from tegulo_rl.pool import Pool

PLANES = ("observation", "corners", "blocked", "pieces", "done")


class Highest:
    """A policy that plays every game's highest legal action and keeps what it was shown."""

    def __init__(self):
        self.calls = []

    def __call__(self, observation):
        self.calls.append(observation)
        return observation.legal_actions[observation.legal_offsets[1:] - 1]


def own_cells(game, agent):
    return np.frombuffer(game.observe(agent).observation, np.uint8)[:400]


def test_a_policy_in_seat_2_sees_its_own_frame_and_its_actions_are_played():
    batch = GameBatch(12, seed=4)
    policy = Highest()
    seats = np.tile([0, 0, 1, 0], (12, 1))  # agent 2 of every game is the policy's
    moved = 0
    for _ in range(70):
        records = batch.to_bytes()
        before = batch.observe("list")
        calls = len(policy.calls)
        step = lineup.step(batch, ["random", policy], seats)
        games = np.flatnonzero(before.current_agent == 2)
        assert len(policy.calls) == calls + (len(games) > 0)  # one call for all its games, none without
        if not len(games):
            continue
        seen = policy.calls[-1]
        assert (seen.current_agent == 2).all() and seen.action_mask is None
        played = seen.legal_actions[seen.legal_offsets[1:] - 1]
        for row, i in enumerate(games.tolist()):
            # What it sees is agent 2's own view of the game, as the game itself gives it ...
            own = PyTegulo.from_bytes(records[i].tobytes()).observe(2)
            for name in PLANES:
                np.testing.assert_array_equal(
                    getattr(seen, name)[row].reshape(-1), np.frombuffer(getattr(own, name), np.uint8)
                )
            legal = seen.legal_actions[seen.legal_offsets[row] : seen.legal_offsets[row + 1]]
            np.testing.assert_array_equal(legal, np.flatnonzero(np.frombuffer(own.action_mask, bool)))
            # ... and its action is the one played.
            if not step.terminated[i]:
                game = PyTegulo.from_bytes(records[i].tobytes())
                game.step(int(played[row]))
                np.testing.assert_array_equal(own_cells(batch.game(i), 2), own_cells(game, 2))
                moved += 1
    assert moved > 50
    # Through the vector env, with the learner in seat 1, the policy two seats after it plays agent 3.
    gym = pytest.importorskip("tegulo_rl.gym", reason="gymnasium is not installed for this interpreter")
    envs = gym.TeguloVectorEnv(6, opponents=["random", policy, "greedy"], seat=1, legal="list")
    policy.calls.clear()
    _, infos = envs.reset(seed=0)
    for _ in range(10):
        _, _, _, _, infos = envs.step(envs.action_space.sample())
    assert policy.calls and all((seen.current_agent == 3).all() for seen in policy.calls)


def test_each_policy_of_a_pool_is_called_once_per_batch_step_and_games_keep_their_draws(monkeypatch):
    a, b = Highest(), PolicyPlayer(Highest(), name="b", legal="both")
    pool = Pool([a, b, "random"], weights=[1, 1, 1])
    steps = []
    real = learner.play_opponents

    def counted(*args, **kwargs):
        counts = (len(a.calls), len(b.policy.calls))
        result = real(*args, **kwargs)
        steps.append((len(a.calls) - counts[0], len(b.policy.calls) - counts[1]))
        return result

    monkeypatch.setattr(learner, "play_opponents", counted)
    games = LearnerGames(48, opponents=pool, seat=None, seed=2)
    assert not games._native
    rng = np.random.default_rng(0)
    ends = 0
    for _ in range(30):
        drawn = games.opponents.copy()
        obs = games.observe("list")
        result = games.step(obs.legal_actions[obs.legal_offsets[:-1] + rng.integers(np.diff(obs.legal_offsets))])
        # A game keeps its opponents to its end; a new one draws them again.
        np.testing.assert_array_equal(games.opponents[~result.terminated], drawn[~result.terminated])
        ends += int(result.terminated.sum())
    assert ends > 0 and steps
    assert all(x <= 1 and y <= 1 for x, y in steps)
    shown = [len(seen.current_agent) for seen in a.calls + b.policy.calls]
    assert np.mean(shown) > 4  # each call covers many games
    assert all(seen.action_mask is not None for seen in b.policy.calls)
    assert all(seen.action_mask is None for seen in a.calls)
    assert set(np.unique(games.opponents)) == {0, 1, 2}


class Faulty:
    """A policy that plays the first legal action of every game, and on its call number `at` goes wrong."""

    def __init__(self, fault, at):
        self.fault, self.at, self.count = fault, at, 0

    def __call__(self, observation):
        self.count += 1
        actions = observation.legal_actions[observation.legal_offsets[:-1]]
        if self.count != self.at:
            return actions
        if self.fault == "raises":
            raise RuntimeError("boom")
        if self.fault == "shape":
            return actions[:, None]
        if self.fault == "float":
            return actions + 0.5
        legal = observation.legal_actions[observation.legal_offsets[0] : observation.legal_offsets[1]]
        actions[0] = np.setdiff1d(np.arange(36400), legal)[0]
        return actions


@pytest.mark.parametrize(
    "fault, message",
    [
        ("raises", r"opponent 'faulty' failed in games? [\d, ]+.*RuntimeError: boom"),
        ("shape", r"opponent 'faulty' returned actions of shape \(\d+, 1\) for games? [\d, ]+"),
        ("float", r"opponent 'faulty' returned float64 actions for games? [\d, ]+: expected integers"),
        ("illegal", r"opponent 'faulty' returned action \d+ in game \d+, which is not legal"),
    ],
)
def test_a_faulty_policy_is_refused_naming_it_and_the_game_and_the_step_is_undone(fault, message):
    def env(policy):
        return LearnerGames(8, opponents=["random", PolicyPlayer(policy, name="faulty"), "greedy"], seat=None, seed=3)

    faulty, twin = env(Faulty(fault, at=6)), env(Faulty(fault, at=0))
    rng = np.random.default_rng(1)
    for _ in range(40):
        obs = faulty.observe("list")
        actions = obs.legal_actions[obs.legal_offsets[:-1] + rng.integers(np.diff(obs.legal_offsets))]
        state = (faulty.batch.__reduce__()[1], faulty.seat.copy(), faulty.rng.bit_generator.state)
        try:
            faulty.step(actions)
        except ValueError as refused:
            assert re.search(message, str(refused)), str(refused)
            # Nothing changed: the games, their streams, the seats and the draws.
            after = (faulty.batch.__reduce__()[1], faulty.seat, faulty.rng.bit_generator.state)
            assert after[0] == state[0] and after[2] == state[2]
            np.testing.assert_array_equal(after[1], state[1])
            faulty.step(actions)  # the policy's next call goes right: the same step as the twin's
            twin.step(actions)
            np.testing.assert_array_equal(faulty.batch.to_bytes(), twin.batch.to_bytes())
            return
        twin.step(actions)
    pytest.fail("the policy never went wrong")


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: Pool(["random"], weights=[-1]), ValueError, "at least 0"),
        (lambda: Pool(["random", "greedy"], weights=[0, 0]), ValueError, "must not all be zero"),
        (lambda: Pool(["random"], weights=[float("nan")]), ValueError, "finite"),
        (lambda: Pool(["random", "bogus"]), ValueError, "Unknown player 'bogus'"),
        (lambda: Pool([]), ValueError, "at least one member"),
        (lambda: Pool(["random"], weights=[1, 2]), ValueError, "1 members but 2 weights"),
        (lambda: Pool("random"), TypeError, "sequence of players"),
        (lambda: Pool([3]), TypeError, "a player is a name"),
        (lambda: PolicyPlayer(lambda o: o, legal="dense"), ValueError, "Unknown legal"),
    ],
)
def test_bad_pools_are_refused_when_made(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_a_pool_grows_while_its_games_run_and_built_in_members_step_natively():
    pool = Pool(["random", "greedy"], weights=[1, 0])
    games = LearnerGames(32, opponents=[pool, "random", pool], seat=None, seed=5)
    assert games._native
    rng = np.random.default_rng(2)

    def play(steps):
        for _ in range(steps):
            obs = games.observe("list")
            games.step(obs.legal_actions[obs.legal_offsets[:-1] + rng.integers(np.diff(obs.legal_offsets))])

    play(40)
    greedy = games.players.index(players.Player("greedy"))
    assert not (games.opponents == greedy).any()  # weight 0: never drawn
    with pytest.raises(ValueError, match="at least 0"):
        pool.add("heuristic", weight=-1)
    assert len(pool) == 2
    pool.add("heuristic", weight=1000)
    play(120)
    heuristic = games.players.index(players.Player("heuristic"))
    assert games._native and (games.opponents[:, [0, 2]] == heuristic).mean() > 0.5
    assert (games.opponents[:, 1] == games.players.index(players.Player("random"))).all()
    pool.add(Highest())
    assert not games._native  # a policy member: the opponents move in batch calls from now on
    play(5)


def test_policies_play_wherever_players_are_named():
    policy = Highest()
    game = PyTegulo()
    assert lineup.choose_one(game, policy) == int(policy.calls[-1].legal_actions[-1])
    with pytest.raises(TypeError, match="tegulo_rl.lineup takes every player"):
        players.choose(game, policy)
    result = arena.play([policy, "random"], 4, seed=1)
    assert result.players[0] == "policy Highest" and len(result.results) == 4
    with pytest.raises(TypeError, match="a player is a name"):
        lineup.parse(3)
