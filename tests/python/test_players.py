"""The built-in players on PyTegulo and on GameBatch, and the search guided by an evaluator."""

import signal

import numpy as np
import pytest

from tegulo_rl import GameBatch, PyTegulo, players
from tegulo_rl.players import Player

from conftest import legal_actions

CHEAP = ("random", "greedy", "heuristic", "mcts:12", Player("mcts", simulations=8, playout="random", trees=2))


def positions(seed, count):
    """Positions of a seeded random game and its successors, the end included."""
    rng = np.random.default_rng(seed)
    game, out = PyTegulo(), []
    while len(out) < count:
        out.append(game.copy())
        if game.is_over:
            game = PyTegulo()
            continue
        legal = legal_actions(game)
        game.step(int(rng.choice(legal)) if legal else None)
    return out


@pytest.mark.parametrize("player", CHEAP, ids=str)
def test_players_play_legal_actions_pass_for_agents_out_of_moves_and_repeat_for_a_seed(player):
    seen_pass = False
    for k, game in enumerate(positions(3, 400)[::9]):
        action = players.choose(game, player, seed=k)
        legal = legal_actions(game)
        if not legal:
            assert action is None  # out of moves, or over: the step is a pass
            seen_pass = True
            continue
        assert action in legal
        assert players.choose(game, player, seed=k) == action
        if str(player) == "mcts:12":  # parameters by keyword are the same player
            assert players.choose(game, "mcts", simulations=12, seed=k) == action
        before = game.to_bytes()
        game.step(action)  # and step takes it
        assert game.to_bytes() != before
    assert seen_pass


def test_a_batch_chooses_for_each_game_with_the_player_of_its_seat():
    batch = GameBatch(6, seed=2, threads=2)
    seats = np.array([[0, 1, 2, 1], [2, 2, 0, 0], [1, 1, 1, 1], [0, 0, 0, 0], [2, 1, 0, 2], [1, 0, 2, 0]])
    line_up = ["random", "greedy", "heuristic"]
    for _ in range(40):
        records = batch.to_bytes()
        chosen = batch.choose(line_up, seats)
        observed = batch.observe()
        for i in range(6):
            listed = observed.legal_actions[observed.legal_offsets[i] : observed.legal_offsets[i + 1]]
            assert chosen.actions[i] in listed and chosen.legal_counts[i] == len(listed)
        np.testing.assert_array_equal(batch.to_bytes(), records)  # choosing changes no game
        batch.step(chosen.actions)
    # The same line-up, seats and seed give the same games whatever the threads.
    again = GameBatch(6, seed=2, threads=1)
    for _ in range(40):
        again.step(again.choose(line_up, seats).actions)
    np.testing.assert_array_equal(again.to_bytes(), batch.to_bytes())


def test_step_players_is_choose_then_step_and_random_is_step_random():
    a, b, c = (GameBatch(8, seed=5, threads=t) for t in (1, 2, 2))
    for _ in range(60):
        ra = a.step_players("greedy")
        rb = b.step(b.choose("greedy").actions)
        np.testing.assert_array_equal(ra.scores, rb.scores)
        np.testing.assert_array_equal(ra.final_records, rb.final_records)
        c.step_players("random")
    np.testing.assert_array_equal(a.to_bytes(), b.to_bytes())
    twin = GameBatch(8, seed=5)
    for _ in range(60):
        twin.step_random()
    np.testing.assert_array_equal(twin.to_bytes(), c.to_bytes())


def test_seats_reach_the_players_greedy_beating_random_from_either_seat():
    batch = GameBatch(64, seed=11)
    # Seat-rotated: every player in every seat, 16 games each way.
    seats = np.array([[(a + i) % 4 // 2 for a in range(4)] for i in range(64)])
    totals = np.zeros(2)
    finished = 0
    while finished < 200:
        result = batch.step_players(["random", "greedy"], seats)
        for i in np.flatnonzero(result.terminated):
            for a in range(4):
                totals[seats[i, a]] += result.rewards[i, a]
            finished += 1
    assert totals[1] > totals[0] * 1.5  # greedy wins most rank points against random


def test_bad_players_and_seats_are_refused_and_change_nothing():
    batch = GameBatch(3, seed=1)
    batch.step_random()
    before = batch.to_bytes()
    streams = pickle_streams(batch)
    cases = [
        (lambda: batch.choose("best"), ValueError, "Unknown player 'best'"),
        (lambda: batch.choose("mcts:-5"), ValueError, r"simulations must be from 1 to 2\*\*32 - 1, got -5"),
        (lambda: batch.choose("mcts:x"), ValueError, "simulations must be a whole number"),
        (lambda: batch.choose("greedy:10"), ValueError, "only mcts takes a number of simulations"),
        (lambda: batch.choose([]), ValueError, "no player given"),
        (lambda: batch.choose(3), TypeError, "a player is a name or a Player, got int"),
        (lambda: batch.choose(["random"], np.zeros((3, 3), int)), ValueError, r"shape \(3, 4\).*got \(3, 3\)"),
        (lambda: batch.choose(["random"], np.ones((3, 4), int)), ValueError, r"seats\[0, 0\] is 1, which names no"),
        (lambda: batch.choose(["random"], -np.ones((3, 4), int)), ValueError, r"seats\[0, 0\] is -1"),
        (lambda: batch.choose(["random"], np.zeros((3, 4))), TypeError, "seats must be integers, got float64"),
        (lambda: batch.step_players("mcts", seats=np.ones((3, 4), int)), ValueError, "names no player"),
        (lambda: Player("mcts", simulations=1.5), TypeError, "simulations must be an int"),
        (lambda: Player("mcts", exploration=float("nan")), ValueError, "exploration must be a finite number"),
        (lambda: Player("mcts", playout="mcts"), ValueError, "Unknown playout 'mcts'"),
        (lambda: players.choose(PyTegulo(), "random", seed="1"), TypeError, "seed must be an int, got str"),
        (lambda: players.choose(PyTegulo(), "random", seed=-1), ValueError, "seed must be from 0"),
        (lambda: players.choose("game"), TypeError, "game must be a PyTegulo"),
        (lambda: players.choose(PyTegulo(), "mcts", simulation=5), TypeError, "unknown player parameter 'simulation'"),
        (lambda: players.choose(PyTegulo(), "mcts", simulations=-1), ValueError, "simulations must be from 1"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
        np.testing.assert_array_equal(batch.to_bytes(), before)
        assert pickle_streams(batch) == streams


def test_step_learners_brings_every_game_back_to_its_learner_and_pays_the_learner_once():
    batch = GameBatch(12, seed=3)
    rng = np.random.default_rng(3)
    learners = np.zeros(12, dtype=np.int64)
    opponents = np.tile(np.array([0, 1, 0], dtype=np.uint8), (12, 1))
    lineup = ["random", Player("greedy")]
    ends = 0
    for _ in range(80):
        obs = batch.observe("list", sorted=False)
        assert (obs.current_agent == learners).all()
        picks = obs.legal_offsets[:-1] + (rng.random(12) * np.diff(obs.legal_offsets)).astype(np.int64)
        upcoming = rng.integers(4, size=12).astype(np.uint8)
        playing = rng.random(12) < 0.9
        held = batch.to_bytes()[~playing]
        step = batch.step_learners(obs.legal_actions[picks], lineup, opponents, next_learners=upcoming, playing=playing)
        np.testing.assert_array_equal(batch.to_bytes()[~playing], held)
        assert not step.terminated[~playing].any()
        for i in np.flatnonzero(step.terminated):
            final = PyTegulo.from_bytes(step.final_records[i].tobytes())
            assert final.is_over and final.scores == step.scores[i].tolist()
            assert step.rewards[i].tolist() == pytest.approx(list(final.outcome("rank")))
        assert (step.rewards[~step.terminated] == 0).all()
        learners = np.where(step.terminated, upcoming, learners)
        ends += int(step.terminated.sum())
    assert ends > 12


def learner_turn_by_steps(game, action, learner, opponents, upcoming, following, lineup):
    """A learner's turn on a one-game batch played by step and step_players: the learner's
    action, then its opponents up to its next turn, in a new game (its learner `upcoming`,
    its opponents `following`) if this one ends. Returns the step that ended a game, if any."""

    def seats(learner, opponents):
        table = np.zeros((1, 4), dtype=np.int64)
        for k in range(1, 4):
            table[0, (learner + k) % 4] = opponents[k - 1]
        return table

    table, end = seats(learner, opponents), None
    step = game.step([action])
    while True:
        if step.terminated[0]:
            end, learner, table = step, upcoming, seats(upcoming, following)
        if game.to_bytes()[0, -1] == learner:
            return end
        step = game.step_players(lineup, table)


def test_step_learners_agrees_with_step_and_step_players_on_copied_games():
    from tegulo_rl._batch import _restore

    n, size = 10, len(PyTegulo().to_bytes())
    batch = GameBatch(n, seed=8, threads=2)
    rng = np.random.default_rng(8)
    lineup = ["random", Player("greedy"), "heuristic"]
    learners = np.zeros(n, dtype=np.int64)
    opponents = np.array([rng.permutation(3) for _ in range(n)])  # a different player in each slot
    ends = 0
    for _ in range(70):
        _, (records, mode, _, seed, streams) = batch.__reduce__()
        obs = batch.observe("list")
        actions = obs.legal_actions[obs.legal_offsets[:-1] + rng.integers(np.diff(obs.legal_offsets))]
        upcoming = rng.integers(4, size=n)
        following = np.array([rng.permutation(3) for _ in range(n)])
        step = batch.step_learners(actions, lineup, opponents, next_learners=upcoming, next_opponents=following)
        _, (after, _, _, _, after_streams) = batch.__reduce__()
        for i in range(n):
            copy = _restore(records[i * size : (i + 1) * size], mode, 1, seed, streams[i * 8 : (i + 1) * 8])
            end = learner_turn_by_steps(copy, actions[i], learners[i], opponents[i], upcoming[i], following[i], lineup)
            _, (mine, _, _, _, my_stream) = copy.__reduce__()
            assert mine == after[i * size : (i + 1) * size] and my_stream == after_streams[i * 8 : (i + 1) * 8]
            assert step.terminated[i] == (end is not None)
            if end is not None:
                np.testing.assert_array_equal(step.final_records[i], end.final_records[0])
                np.testing.assert_array_equal(step.rewards[i], end.rewards[0])
                np.testing.assert_array_equal(step.scores[i], end.scores[0])
            else:
                assert step.scores[i].tolist() == copy.game(0).scores and not step.rewards[i].any()
        learners = np.where(step.terminated, upcoming, learners)
        opponents = np.where(step.terminated[:, None], following, opponents)
        ends += int(step.terminated.sum())
    assert ends >= n


def test_bad_step_learners_input_is_refused_and_changes_nothing():
    batch = GameBatch(3, seed=1)
    obs = batch.observe("list")
    good = obs.legal_actions[obs.legal_offsets[:-1]]
    illegal = int(np.setdiff1d(np.arange(PyTegulo.num_actions), obs.legal_actions[: obs.legal_offsets[1]])[0])
    before = batch.to_bytes()
    streams = pickle_streams(batch)
    cases = [
        (lambda: batch.step_learners(good, "mcts:5"), ValueError, "players that do not search"),
        (lambda: batch.step_learners(good, "best"), ValueError, "Unknown player 'best'"),
        (lambda: batch.step_learners(good[:2], "random"), ValueError, r"actions must have shape \(3,\)"),
        (lambda: batch.step_learners([good[0], -1, good[2]], "random"), ValueError, "game 1: action -1 is not an"),
        (lambda: batch.step_learners([illegal, *good[1:]], "random"), ValueError, "game 0: action .* is not legal"),
        (lambda: batch.step_learners(good, "random", np.zeros((3, 4), int)), ValueError, r"opponents must have shape"),
        (lambda: batch.step_learners(good, "random", np.ones((3, 3), int)), ValueError, r"opponents\[0, 0\] is 1"),
        (lambda: batch.step_learners(good, "random", next_learners=[0, 4, 0]), ValueError, r"next_learners\[1\] is 4"),
        (lambda: batch.step_learners(good, "random", playing=np.ones(2, bool)), ValueError, r"playing must have shape"),
        (lambda: batch.step_learners(good, "random", playing=np.ones(3)), TypeError, "playing must be integers"),
        (
            lambda: batch.step_learners(good, "random", next_opponents=np.ones((3, 3), int)),
            ValueError,
            r"next_opponents\[0, 0\] is 1",
        ),  # fmt: skip
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
        np.testing.assert_array_equal(batch.to_bytes(), before)
        assert pickle_streams(batch) == streams


def pickle_streams(batch):
    return batch.__reduce__()[1][4]


def test_an_interrupt_stops_a_search_over_a_batch_with_no_game_or_stream_changed():
    batch = GameBatch(16, seed=3, threads=2)
    before, streams = batch.to_bytes(), pickle_streams(batch)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            batch.step_players("mcts:1500")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    np.testing.assert_array_equal(batch.to_bytes(), before)
    assert pickle_streams(batch) == streams


def favour_highest(obs):
    """A stand-in network: most of the prior on each leaf's highest legal action, equal values."""
    mask = obs.action_mask
    priors = mask * np.float32(0.01)
    highest = mask.shape[1] - 1 - np.argmax(mask[:, ::-1], axis=1)
    priors[np.arange(len(mask)), highest] = 1.0
    return priors, np.full((len(mask), 4), 0.25, np.float32)


def test_a_search_follows_its_evaluator_in_batches_of_leaves():
    games = [g for g in positions(5, 300)[::37] if legal_actions(g)][:5]
    calls = []

    def evaluator(obs):
        calls.append(len(obs.action_mask))
        return favour_highest(obs)

    chosen = players.search(games, evaluator, simulations=64, leaves=4)
    assert chosen == [max(legal_actions(g)) for g in games]
    assert len(calls) < 64 and max(calls) > len(games)  # several leaves a call, not one per node
    # A uniform evaluator lets the values decide: any legal action, the same for the same games.
    even = players.search(games, lambda o: (o.action_mask.astype(np.float32), np.zeros((len(o.action_mask), 4))))
    assert all(a in legal_actions(g) for a, g in zip(even, games, strict=True))


@pytest.mark.parametrize(
    "evaluation, message",
    [
        (lambda o: None, r"must return \(priors, values\), got NoneType"),
        (lambda o: (np.zeros((len(o.action_mask), 10)), np.zeros((len(o.action_mask), 4))), r"priors must have shape"),
        (lambda o: (o.action_mask, np.zeros(len(o.action_mask))), r"values must have shape"),
        (lambda o: (o.action_mask * np.nan, np.zeros((len(o.action_mask), 4))), r"priors for leaf 0 hold nan"),
        (lambda o: (o.action_mask - 1.0, np.zeros((len(o.action_mask), 4))), r"action 0 is negative: -1.0"),
        (lambda o: (o.action_mask, np.full((len(o.action_mask), 4), np.inf)), r"values for leaf 0 hold inf"),
        (lambda o: (o.action_mask, [["a"] * 4] * len(o.action_mask)), "values are not numbers"),
    ],
)
def test_a_bad_evaluator_is_refused_clearly_and_the_games_stay(evaluation, message):
    games = positions(1, 30)[5:8]
    before = [g.to_bytes() for g in games]
    with pytest.raises(ValueError, match=message):
        players.search(games, evaluation, simulations=10)
    assert [g.to_bytes() for g in games] == before


def test_an_evaluator_that_raises_passes_its_error_on():
    game = PyTegulo()

    def broken(obs):
        raise RuntimeError("network down")

    with pytest.raises(RuntimeError, match="network down"):
        players.search(game, broken)
    assert game.ply == 0
    assert players.search([PyTegulo()], favour_highest, simulations=1)[0] in legal_actions(PyTegulo())


def test_a_search_grows_its_tree_as_it_goes_and_stops_clearly_at_its_memory_cap():
    game = PyTegulo()
    # A billion simulations once asked for their whole tree up front and ended the process;
    # now the tree grows until the cap, and the search stops there with MemoryError.
    with pytest.raises(MemoryError, match=r"memory cap of 1 MiB \(Player.memory_mb\) after \d+ simulations"):
        players.choose(game, "mcts", simulations=10**9, memory_mb=1)
    assert game.ply == 0
    # Under the cap the choice is the one the search always made: the cap changes nothing else.
    small = Player("mcts", simulations=60, memory_mb=1)
    assert players.choose(game, small, seed=4) == players.choose(game, "mcts:60", seed=4)
    # In a batch: refused with every game and stream as it was.
    batch = GameBatch(4, seed=2, threads=2)
    before, streams = batch.to_bytes(), pickle_streams(batch)
    with pytest.raises(MemoryError, match="memory cap of 1 MiB"):
        batch.step_players(Player("mcts", simulations=10**9, memory_mb=1, trees=2))
    np.testing.assert_array_equal(batch.to_bytes(), before)
    assert pickle_streams(batch) == streams
    with pytest.raises(ValueError, match="memory_mb must be from 1"):
        Player("mcts", memory_mb=0)


def test_misusing_guided_search_is_an_ordinary_error_naming_the_misuse():
    from tegulo_rl import _players

    record = PyTegulo().to_bytes()
    tree = _players.GuidedSearch(record * 2, 8, 1.5, 2, "rank")
    with pytest.raises(RuntimeError, match=r"best\(\) called before the root of tree 0"):
        tree.best()
    with pytest.raises(RuntimeError, match=r"expand\(\) called with no leaves waiting"):
        tree.expand(np.ones(36400, np.float32), np.zeros(4, np.float32))
    leaves = len(tree.select()) // 278
    with pytest.raises(RuntimeError, match=rf"select\(\) called again before expand\(\) .* its {leaves} leaves"):
        tree.select()
    with pytest.raises(ValueError, match=rf"the {leaves} leaves select\(\) gave"):
        tree.expand(np.ones(36400, np.float32), np.zeros(4, np.float32))
    # After each refusal the search goes on as if it had not been asked.
    tree.expand(np.ones((leaves, 36400), np.float32), np.zeros((leaves, 4), np.float32))
    while (records := tree.select()) is not None:
        n = len(records) // 278
        tree.expand(np.ones((n, 36400), np.float32), np.zeros((n, 4), np.float32))
    assert [sum(visits.values()) for _, _, visits in tree.best()] == [7, 7]  # the root's first visit has no child


def test_a_search_looks_at_every_round_of_leaves_on_one_batch(monkeypatch):
    from tegulo_rl import _batch

    made, real = [], _batch.GameBatch

    class Counting:
        """GameBatch as the search finds it, counting the batches it makes."""

        @staticmethod
        def from_bytes(*args, **kwargs):
            made.append(real.from_bytes(*args, **kwargs))
            return made[-1]

    games = positions(3, 40)[::9][:3]
    expected = players.search(games, favour_highest, simulations=40, leaves=3)
    monkeypatch.setattr(_batch, "GameBatch", Counting)
    rounds = []
    assert players.search(games, lambda o: rounds.append(1) or favour_highest(o), simulations=40, leaves=3) == expected
    assert len(rounds) > 3 and len(made) == 1
