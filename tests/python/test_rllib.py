"""The RLlib MultiAgentEnv, on its own and trained by RLlib's PPO on a local Ray."""

import os

import numpy as np
import pytest

pytest.importorskip("gymnasium", reason="gymnasium is not installed for this interpreter")
pytest.importorskip("ray.rllib", reason="ray[rllib] is not installed for this interpreter")

from tegulo_rl import selfplay  # noqa: E402
from tegulo_rl.legal import FINAL_ACTION  # noqa: E402
from tegulo_rl.rllib import AGENTS, TeguloMultiAgentEnv, ppo_config  # noqa: E402


def play(env, seed):
    """Plays a seeded game with random legal actions; returns every step's results."""
    rng = np.random.default_rng(seed)
    obs, _ = env.reset(seed=seed)
    steps = []
    while True:
        (name,) = obs
        agent = AGENTS.index(name)
        # The agent to act is the game's, and its mask is the engine's.
        assert env.game.agent_selection == agent
        engine = np.frombuffer(env.game.observe(agent).action_mask, dtype=np.uint8)
        np.testing.assert_array_equal(obs[name]["action_mask"], engine)
        legal = np.flatnonzero(obs[name]["action_mask"])
        result = env.step({name: int(rng.choice(legal))})
        steps.append((obs, result))
        obs = result[0]
        if result[2]["__all__"]:
            return steps


def test_only_the_agent_to_act_observes_and_every_seat_is_rewarded_at_the_end():
    env = TeguloMultiAgentEnv({"reward_mode": "rank"})
    steps = play(env, seed=1)
    for obs, (_, rewards, terminateds, truncateds, _) in steps[:-1]:
        (name,) = obs
        view = obs[name]
        assert view["observations"].shape == (13200,) and view["action_mask"].dtype == np.float32
        assert rewards == {name: 0.0} and terminateds == {"__all__": False} and truncateds == {"__all__": False}
    final_obs, rewards, terminateds, _, infos = steps[-1][1]
    assert env.game.is_over and terminateds["__all__"]
    assert set(final_obs) == set(rewards) == set(AGENTS)
    assert [rewards[a] for a in AGENTS] == pytest.approx(env.game.outcome("rank"))
    # A final position's mask keeps one legal entry, so that a masked softmax over it stays finite.
    assert all(np.flatnonzero(final_obs[a]["action_mask"]).tolist() == [FINAL_ACTION] for a in AGENTS)
    with pytest.raises(RuntimeError, match="reset"):
        env.step({"player_0": 0})


def test_fixed_opponents_leave_one_learner_and_seeds_reproduce_games():
    env = TeguloMultiAgentEnv({"opponents": ["greedy", "random", "mcts:10"], "seat": None})
    a, b = play(env, seed=3), play(env, seed=3)
    learner = {name for obs, _ in a for name in obs}
    assert len(learner) == 1
    assert len(a) == len(b)
    for (oa, ra), (ob, rb) in zip(a, b, strict=True):
        for name in oa:
            np.testing.assert_array_equal(oa[name]["observations"], ob[name]["observations"])
        assert ra[1] == rb[1]
    (name,) = learner
    final_rewards = a[-1][1][1]
    assert set(final_rewards) == {name}
    assert final_rewards[name] == pytest.approx(env.game.outcome("rank")[AGENTS.index(name)])


def test_bad_input_is_refused_and_changes_nothing():
    with pytest.raises(ValueError, match="Unknown player"):
        TeguloMultiAgentEnv({"opponents": "nobody"})
    with pytest.raises(ValueError, match="seat"):
        TeguloMultiAgentEnv({"opponents": "random", "seat": 7})
    with pytest.raises(ValueError, match="reward mode"):
        TeguloMultiAgentEnv({"reward_mode": "elo"})
    with pytest.raises(ValueError, match="env_config"):
        TeguloMultiAgentEnv({"opponent": "random"})
    env = TeguloMultiAgentEnv()
    obs, _ = env.reset(seed=0)
    before = env.game.to_bytes()
    illegal = int(np.flatnonzero(obs["player_0"]["action_mask"] == 0)[0])
    for action, error in (
        ({"player_0": illegal}, ValueError),
        ({"player_1": 0}, ValueError),
        ({"player_0": 36400}, ValueError),
        ({"player_0": 0.5}, TypeError),
    ):
        with pytest.raises(error):
            env.step(action)
    assert env.game.to_bytes() == before
    # The action spaces sample legal actions for the agent to act (RLlib's own check steps with them).
    assert obs["player_0"]["action_mask"][env.action_spaces["player_0"].sample()] == 1


def test_rllib_ppo_with_action_masking_trains_on_a_local_ray():
    pytest.importorskip("torch", reason="torch is not installed for this interpreter")
    if os.environ.get("TEGULO_SANITIZED"):
        pytest.skip("Ray's workers do not start under AddressSanitizer")
    with selfplay.local_ray(num_cpus=1):
        config = (
            ppo_config({"opponents": "random", "seat": 0}, hidden=16)
            .env_runners(num_env_runners=0, rollout_fragment_length=32)
            .training(train_batch_size_per_learner=64, minibatch_size=32, num_epochs=1)
            .learners(num_learners=0)
        )
        algo = config.build_algo()
        try:
            result = algo.train()  # an illegal action would raise in the env
        finally:
            algo.stop()
    assert result["env_runners"]["num_env_steps_sampled_lifetime"] >= 64


def test_the_dict_observation_and_policy_opponents_drawn_from_a_pool():
    from tegulo_rl.pool import Pool

    calls = []

    def first(observation):
        calls.append(observation.current_agent.tolist())
        return observation.legal_actions[observation.legal_offsets[:-1]]

    env = TeguloMultiAgentEnv({"opponents": Pool([first, "greedy"]), "seat": 1, "observation": "dict"})
    rng = np.random.default_rng(0)
    for seed in range(3):
        obs, _ = env.reset(seed=seed)
        while True:
            (name,) = obs
            assert name == "player_1" and env.observation_spaces[name].contains(obs[name])
            whole = obs[name]["observations"]
            for k in range(4):  # every seat from the learner on
                theirs = np.frombuffer(env.game.observe((1 + k) % 4).pieces, np.uint8)[:21]
                np.testing.assert_array_equal(whole["pieces"][k], theirs)
            obs, _, terminateds, _, _ = env.step({name: int(rng.choice(np.flatnonzero(obs[name]["action_mask"])))})
            if terminateds["__all__"]:
                break
    assert calls and all(len(agents) == 1 and agents[0] != 1 for agents in calls)
    # A policy that fails is refused naming it, and the game stands as before the step.
    env = TeguloMultiAgentEnv({"opponents": lambda observation: [36400] * len(observation.current_agent)})
    obs, _ = env.reset(seed=0)
    before = env.game.to_bytes()
    with pytest.raises(ValueError, match=r"opponent 'policy <lambda>' returned action 36400 in game 0"):
        env.step({"player_0": int(np.flatnonzero(obs["player_0"]["action_mask"])[0])})
    assert env.game.to_bytes() == before


@pytest.mark.parametrize("observation", ["planes", "dict"])
def test_the_grid_module_plays_legally_in_evaluate_on_either_observation(observation):
    pytest.importorskip("torch", reason="torch is not installed for this interpreter")
    from tegulo_rl.rllib import evaluate
    from tegulo_rl.rllib_grid import GridModule

    env = TeguloMultiAgentEnv({"observation": observation})
    module = GridModule(
        observation_space=env.observation_spaces["player_0"],
        action_space=env.action_spaces["player_0"],
        model_config={"channels": 4, "layers": 2, "hidden": 8, "bf16": False},
    )
    # The module's games are played by a batch that refuses illegal actions: finishing means none was played.
    for sample in (True, False):
        assert 0.0 <= evaluate(module, games=4, opponents="greedy", sample=sample) <= 1.0
