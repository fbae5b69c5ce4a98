"""The Gymnasium environments: one learner against built-in players, single and vector."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium", reason="gymnasium is not installed for this interpreter")

from gymnasium.utils.env_checker import check_env  # noqa: E402
from gymnasium.vector import AutoresetMode  # noqa: E402

import tegulo_rl  # noqa: E402
from tegulo_rl import PyTegulo  # noqa: E402
from tegulo_rl.gym import ENV_ID, LegalDraw, TeguloGymEnv, TeguloVectorEnv  # noqa: E402
from tegulo_rl.learner import SEATS, LearnerGames, final_planes  # noqa: E402
from tegulo_rl.legal import FINAL_ACTION  # noqa: E402


def first_legal(info):
    return int(np.flatnonzero(info["action_mask"])[0])


def play_episode(env, seed, pick):
    """Plays one episode with `pick(info, rng)`; returns every step's (obs, reward, terminated, info)."""
    rng = np.random.default_rng(seed)
    obs, info = env.reset(seed=seed)
    steps = [(obs, 0.0, False, info)]
    while True:
        obs, reward, terminated, truncated, info = env.step(pick(info, rng))
        assert not truncated
        steps.append((obs, reward, terminated, info))
        if terminated:
            return steps


def random_pick(info, rng):
    return int(rng.choice(info["legal_actions"]))


def test_registered_on_import_and_passes_the_checker_without_warnings():
    assert ENV_ID in gymnasium.registry
    env = gymnasium.make(ENV_ID, opponents=["random", "greedy", "heuristic"], seat=None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    vec = gymnasium.make_vec(ENV_ID, num_envs=3, vectorization_mode="vector_entry_point", opponents="greedy")
    assert isinstance(vec, TeguloVectorEnv) and vec.num_envs == 3


def test_import_does_not_import_gymnasium_and_registers_when_it_is_imported_later():
    code = (
        "import sys, tegulo_rl; assert 'gymnasium' not in sys.modules; "
        "import gymnasium; assert 'tegulo_rl/Tegulo-v0' in gymnasium.registry; print('ok')"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr


def test_reward_is_the_learners_and_comes_with_its_final_observation():
    for seat in range(SEATS):
        env = TeguloGymEnv(opponents="greedy", seat=seat, reward_mode="rank")
        steps = play_episode(env, seed=seat, pick=random_pick)
        assert all(reward == 0.0 for _, reward, _, _ in steps[:-1])
        obs, reward, _, info = steps[-1]
        final = PyTegulo.from_bytes(env._final)
        assert final.is_over
        assert reward == pytest.approx(final.outcome("rank")[seat])
        assert list(info["scores"]) == final.scores and info["seat"] == seat
        np.testing.assert_array_equal(obs, final_planes(np.frombuffer(env._final, np.uint8), seat))
        assert not env.action_masks().any()
        # The learner's own planes: its cells are seat 0 of the final observation.
        assert obs[0].sum() == 89 - sum(
            size for size, held in zip(piece_sizes(), final.observe(seat).pieces[:21], strict=True) if held
        )


def piece_sizes():
    # The cells of each kind, from the pieces a fresh game holds (89 in all): 1, 2, 3, 3, then 4 x 5, 5 x 12.
    return [1, 2, 3, 3] + [4] * 5 + [5] * 12


def test_every_mask_is_the_engines_and_the_learner_is_to_move():
    env = TeguloGymEnv(opponents="random", seat=None)
    rng = np.random.default_rng(3)
    for episode in range(2):
        obs, info = env.reset(seed=episode)
        terminated = False
        while not terminated:
            game = env._games.batch.game(0)
            assert game.agent_selection == env.seat == info["seat"]
            expected = np.frombuffer(game.observe(env.seat).action_mask, dtype=bool)
            np.testing.assert_array_equal(info["action_mask"], expected)
            np.testing.assert_array_equal(env.action_masks(), expected)
            np.testing.assert_array_equal(info["legal_actions"], np.flatnonzero(expected))
            assert obs.shape == (33, 20, 20) and obs.dtype == np.uint8
            np.testing.assert_array_equal(
                obs[4:8].reshape(4, 400), np.frombuffer(game.observe(env.seat).corners, np.uint8).reshape(4, 400)
            )
            obs, _, terminated, _, info = env.step(random_pick(info, rng))


def test_seeds_reproduce_whole_episodes_opponents_included():
    def run(seed):
        env = TeguloGymEnv(opponents=["random", "mcts:20", "greedy"], seat=None)
        return play_episode(env, seed, pick=lambda info, rng: first_legal(info))

    a, b, c = run(7), run(7), run(8)
    assert len(a) == len(b)
    for (oa, ra, ta, ia), (ob, rb, tb, ib) in zip(a, b, strict=True):
        np.testing.assert_array_equal(oa, ob)
        assert (ra, ta, ia["seat"]) == (rb, tb, ib["seat"])
    assert len(a) != len(c) or any(not np.array_equal(x[0], y[0]) for x, y in zip(a, c, strict=True))


def test_the_sample_is_legal_and_a_draw_resolves_where_it_is_played():
    env = TeguloGymEnv()
    env.reset(seed=0)
    env.action_space.seed(1)
    for _ in range(50):
        draw = env.action_space.sample()
        assert isinstance(draw, LegalDraw) and env.action_masks()[draw]
    env.step(draw)
    moved = env.action_masks()
    assert not moved[int(draw)]
    # Played after the position changed, the draw takes the same place in the new legal list ...
    assert moved[draw.resolve(np.flatnonzero(moved))]
    # ... while the same number as a plain int is refused.
    with pytest.raises(ValueError, match="not legal"):
        env.step(int(draw))


def test_bad_input_is_refused_and_changes_nothing():
    with pytest.raises(ValueError, match="Unknown player"):
        TeguloGymEnv(opponents="nobody")
    with pytest.raises(ValueError, match="sequence of 3"):
        TeguloGymEnv(opponents=["random", "greedy"])
    with pytest.raises(ValueError, match="seat"):
        TeguloGymEnv(seat=4)
    with pytest.raises(TypeError, match="seat"):
        TeguloGymEnv(seat="0")
    env = TeguloGymEnv()
    with pytest.raises(gymnasium.error.ResetNeeded):
        env.step(0)
    obs, info = env.reset(seed=0)
    before = env._games.batch.to_bytes().copy()
    illegal = int(np.flatnonzero(~info["action_mask"])[0])
    for action, error, match in (
        (illegal, ValueError, "not legal"),
        (36400, ValueError, "out of range"),
        (-1, ValueError, "out of range"),
        (1.0, TypeError, "int"),
        (None, TypeError, "int"),
    ):
        with pytest.raises(error, match=match):
            env.step(action)
    np.testing.assert_array_equal(env._games.batch.to_bytes(), before)
    steps = play_episode(env, 0, random_pick)
    assert steps[-1][2]
    with pytest.raises(gymnasium.error.ResetNeeded):
        env.step(0)


def random_actions(infos, rng):
    """A random legal action per game; 0 (ignored by the env) where a game has ended."""
    offsets = infos["legal_offsets"]
    counts = np.diff(offsets)
    picks = offsets[:-1] + rng.integers(np.maximum(counts, 1))
    return np.where(counts > 0, np.append(infos["legal_actions"], 0)[np.minimum(picks, offsets[-1])], 0)


def test_vector_masks_and_lists_are_the_engines():
    envs = TeguloVectorEnv(6, opponents=["greedy", "random", "random"], seat=None, legal="both")
    obs, infos = envs.reset(seed=2)
    rng = np.random.default_rng(0)
    terminated = np.zeros(6, dtype=bool)
    for _ in range(30):
        assert obs.shape == (6, 33, 20, 20)
        for i in np.flatnonzero(~terminated):  # games that ended show their final position
            game = envs._games.batch.game(i)
            seat = int(infos["seat"][i])
            assert game.agent_selection == seat
            expected = np.frombuffer(game.observe(seat).action_mask, dtype=bool)
            np.testing.assert_array_equal(infos["action_mask"][i], expected)
            lo, hi = infos["legal_offsets"][i], infos["legal_offsets"][i + 1]
            np.testing.assert_array_equal(infos["legal_actions"][lo:hi], np.flatnonzero(expected))
        obs, _, terminated, _, infos = envs.step(random_actions(infos, rng))


def run_vector(mode, steps=60, seed=4):
    envs = TeguloVectorEnv(8, opponents="greedy", seat=None, legal="both", autoreset_mode=mode)
    obs, infos = envs.reset(seed=seed)
    rng = np.random.default_rng(seed)
    history = [(obs, None, None, infos)]
    for _ in range(steps):
        actions = random_actions(infos, rng)
        if mode == AutoresetMode.NEXT_STEP and history[-1][2] is not None:
            # Games that ended last step are reset now: their actions are ignored, even illegal ones.
            actions = np.where(history[-1][2], -5, actions)
        obs, rewards, terminated, truncated, infos = envs.step(actions)
        assert not truncated.any()
        history.append((obs, rewards, terminated, infos))
    return history


def test_next_step_autoreset_follows_gymnasium():
    history = run_vector(AutoresetMode.NEXT_STEP)
    ended_somewhere = False
    for t in range(1, len(history)):
        obs, rewards, terminated, infos = history[t]
        prev_terminated = history[t - 1][2]
        for i in np.flatnonzero(terminated):
            ended_somewhere = True
            # A final row lists one legal action, the same in the mask and the list.
            assert np.flatnonzero(infos["action_mask"][i]).tolist() == [FINAL_ACTION] and infos["_scores"][i]
            lo, hi = infos["legal_offsets"][i : i + 2]
            assert infos["legal_actions"][lo:hi].tolist() == [FINAL_ACTION]
            assert rewards[i] in (0.0, 1 / 3, 0.5, 2 / 3, 1.0) or 0 <= rewards[i] <= 1
        if prev_terminated is not None:
            for i in np.flatnonzero(prev_terminated):
                assert rewards[i] == 0 and not terminated[i]
                # A new game at the learner's first turn: all 21 kinds held.
                assert obs[i, 12:].all() and obs[i, 0].sum() == 0
    assert ended_somewhere


def test_same_step_autoreset_follows_gymnasium_and_agrees_with_next_step():
    same = run_vector(AutoresetMode.SAME_STEP, steps=80, seed=9)
    nxt = run_vector(AutoresetMode.NEXT_STEP, steps=80, seed=9)
    for obs, _, terminated, infos in same[1:]:
        assert terminated.any() == ("final_obs" in infos)
        if "final_obs" in infos:
            assert (infos["_final_obs"] == terminated).all() and (infos["_final_info"] == terminated).all()
            assert all(infos["final_obs"][i] is None for i in np.flatnonzero(~terminated))
        for i in np.flatnonzero(terminated):
            # Already the new game, at its learner's first turn: at most three opponents' pieces on the board.
            assert obs[i, 12:].all() and obs[i, 0].sum() == 0 and obs[i, 1:4].sum() <= 15
    # Both modes play the same games up to the first end; then NEXT_STEP spends a step on the reset.
    first = next(t for t in range(1, len(same)) if same[t][2].any())
    np.testing.assert_array_equal(same[first][2], nxt[first][2])
    for i in np.flatnonzero(same[first][2]):
        np.testing.assert_array_equal(same[first][3]["final_obs"][i], nxt[first][0][i])
        assert same[first][1][i] == nxt[first][1][i]
        assert same[first][3]["final_info"]["seat"][i] == nxt[first][3]["seat"][i]
    assert all(np.array_equal(same[t][0], nxt[t][0]) for t in range(first))


def test_vector_bad_input_changes_nothing():
    envs = TeguloVectorEnv(4, seat=1)
    _, infos = envs.reset(seed=0)
    before = envs._games.batch.to_bytes().copy()
    good = np.array([np.flatnonzero(row)[0] for row in infos["action_mask"]])
    bad = good.copy()
    bad[2] = np.flatnonzero(~infos["action_mask"][2])[0]
    for actions, error, match in (
        (bad, ValueError, "game 2"),
        (good[:3], ValueError, "shape"),
        (good.astype(float), TypeError, "integers"),
        (np.where(np.arange(4) == 1, 40000, good), ValueError, "game 1 is out of range"),
    ):
        with pytest.raises(error, match=match):
            envs.step(actions)
        np.testing.assert_array_equal(envs._games.batch.to_bytes(), before)
    with pytest.raises(ValueError, match="legal"):
        TeguloVectorEnv(2, legal="dense")
    with pytest.raises(ValueError, match="autoreset_mode"):
        TeguloVectorEnv(2, autoreset_mode=AutoresetMode.DISABLED)


@pytest.mark.parametrize("opponents", ["random", ["greedy", "random", "heuristic"], "mcts:2"])
def test_waiting_games_are_put_back_exactly(opponents):
    # Late in games, some need fewer opponent moves than others: all must end at the learner's turn,
    # every game a legal continuation of its own (its learner's pieces never change but by its own moves).
    # Built-in players that do not search take the native learner step; a search the batch calls.
    games = LearnerGames(16, opponents=opponents, seat=None, seed=1)
    assert games._native == (opponents != "mcts:2")
    rng = np.random.default_rng(1)
    for _ in range(120):
        obs = games.observe("list")
        assert (obs.current_agent == games.seat).all()
        held = obs.pieces[:, 0].sum(axis=1)
        step = games.step(random_actions({"legal_actions": obs.legal_actions, "legal_offsets": obs.legal_offsets}, rng))
        after = games.observe("list").pieces[:, 0].sum(axis=1)
        going = ~step.terminated
        assert (after[going] == held[going] - 1).all()
    assert tegulo_rl.GameBatch is type(games.batch)


@pytest.mark.parametrize("mode", ["next_step", "same_step"])
def test_no_masked_softmax_is_nan_the_sampler_is_legal_and_masks_never_change_afterwards(mode):
    torch = None
    try:
        import torch

        from tegulo_rl.net.model import masked
    except ImportError:
        pass
    envs = TeguloVectorEnv(16, opponents="random", seat=None, legal="both", autoreset_mode=mode)
    _, infos = envs.reset(seed=5)
    envs.action_space.seed(5)
    kept, ends = [], 0
    logits = np.zeros((16, 36400), dtype=np.float32)
    for t in range(100):
        mask = infos["action_mask"]
        counts = np.diff(infos["legal_offsets"])
        assert (mask.sum(axis=1) == counts).all() and (counts >= 1).all()
        # A row with no legal entry is all -inf, and its softmax NaN.
        shifted = np.where(mask, logits, -np.inf)
        probabilities = np.exp(shifted - shifted.max(axis=1, keepdims=True))
        assert np.isfinite(probabilities / probabilities.sum(axis=1, keepdims=True)).all()
        if torch is not None and t % 5 == 0:  # the package's own masking, and a Categorical that checks it
            torch.distributions.Categorical(logits=masked(torch.from_numpy(logits), torch.from_numpy(mask.copy())))
        actions = envs.action_space.sample()
        assert mask[np.arange(16), actions].all()
        if t % 10 == 0:
            kept.append((mask, mask.copy()))
        _, _, terminated, _, infos = envs.step(actions)  # the env refuses an illegal action
        ends += int(terminated.sum())
    assert ends > 0
    for mask, copy in kept:
        np.testing.assert_array_equal(mask, copy)


@pytest.mark.parametrize("vector", [False, True])
def test_the_dict_observation_holds_every_seat_from_the_learner_on(vector):
    if vector:
        env = TeguloVectorEnv(4, opponents="greedy", seat=None, observation="dict", autoreset_mode="same_step")
    else:
        env = TeguloGymEnv(opponents="greedy", seat=None, observation="dict")
    obs, info = env.reset(seed=3)
    rng = np.random.default_rng(3)
    assert env.observation_space.contains(obs)
    finals = 0
    for _ in range(80):
        rows = [(i, env._games.batch.game(i)) for i in range(4)] if vector else [(0, env._games.batch.game(0))]
        for i, game in rows:
            seat = int(info["seat"][i]) if vector else info["seat"]
            mine = obs["pieces"][i] if vector else obs["pieces"]
            board = obs["board"][i] if vector else obs["board"]
            done = obs["done"][i] if vector else obs["done"]
            for k in range(4):
                # Row k is the seat k places after the learner: its own pieces and done flag as it sees them.
                theirs = game.observe((seat + k) % 4)
                np.testing.assert_array_equal(mine[k], np.frombuffer(theirs.pieces, np.uint8)[:21])
                assert done[k] == theirs.done[0]
            own = game.observe(seat)
            cells = [np.frombuffer(getattr(own, name), np.uint8) for name in ("observation", "corners", "blocked")]
            np.testing.assert_array_equal(board.reshape(-1), np.concatenate(cells))
        actions = env.action_space.sample() if vector else random_pick(info, rng)
        obs, _, terminated, _, info = env.step(actions)
        if vector:
            for i in np.flatnonzero(terminated):
                # The end of the game, every seat done; the new game already at its learner's first turn.
                final = info["final_obs"][i]
                assert set(final) == {"board", "pieces", "done"} and final["done"].all()
                assert env._games.batch.game(i).ply <= 3
                finals += 1
        elif terminated:
            assert obs["done"].all() and env.observation_space.contains(obs)
            finals += 1
            obs, info = env.reset()
    assert finals > 0
