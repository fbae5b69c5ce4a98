"""The Stable-Baselines3 adapters with the real libraries: TeguloVecEnv, GridPolicy and MaskablePPO."""

import numpy as np
import pytest

pytest.importorskip("torch", reason="torch is not installed for this interpreter (no wheel)")
pytest.importorskip("sb3_contrib", reason="sb3-contrib is not installed for this interpreter")

import torch  # noqa: E402
from sb3_contrib import MaskablePPO  # noqa: E402
from sb3_contrib.common.maskable.utils import get_action_masks, is_masking_supported  # noqa: E402

from tegulo_rl.sb3 import GridPolicy, TeguloVecEnv, evaluate  # noqa: E402

# The cells of each piece kind, in the order of PyTegulo.piece_names.
SIZES = np.array([1, 2, 3, 3] + [4] * 5 + [5] * 12)


def test_vec_env_masks_ends_and_terminal_observations_are_the_engines():
    env = TeguloVecEnv(5, opponents="greedy", seat=None, seed=3)
    assert is_masking_supported(env)
    obs = env.reset()
    rng = np.random.default_rng(0)
    ends = 0
    for _ in range(60):
        masks = get_action_masks(env)
        assert masks.shape == (5, 36400) and masks.dtype == bool
        for i in range(5):
            game = env._games.batch.game(i)
            seat = int(env._games.seat[i])
            assert game.agent_selection == seat
            np.testing.assert_array_equal(masks[i], np.frombuffer(game.observe(seat).action_mask, dtype=bool))
        actions = np.array([rng.choice(np.flatnonzero(row)) for row in masks])
        obs, rewards, dones, infos = env.step(actions)
        assert obs.shape == (5, 33, 20, 20)
        for i in range(5):
            if dones[i]:
                ends += 1
                final = infos[i]["terminal_observation"]
                assert infos[i]["episode"]["r"] == rewards[i]
                # The learner's final planes: its cells are the sizes of the kinds it placed.
                held = final[12:, 0, 0].astype(bool)
                assert final[0].sum() == 89 - SIZES[held].sum() and not held.all()
                assert final[0].sum() > 0 and obs[i, 12:].all()  # and the new game starts with every kind
                # Its score is what its final planes leave in hand, and its rank reward places it among the scores.
                scores, seat = infos[i]["scores"], infos[i]["seat"]
                assert scores[seat] == -SIZES[held].sum() if held.any() else scores[seat] in (15, 20)
                others = np.delete(scores, seat)
                place = (others < scores[seat]).sum() + (others == scores[seat]).sum() / 2
                assert rewards[i] == pytest.approx(place / 3)
            else:
                assert "terminal_observation" not in infos[i] and rewards[i] == 0
    assert ends > 0


def test_grid_policy_head_is_one_logit_per_orientation_and_cell():
    env = TeguloVecEnv(2, seed=0)
    model = MaskablePPO(GridPolicy, env, n_steps=8, batch_size=16, seed=0, policy_kwargs={"channels": 8, "bf16": False})
    policy = model.policy
    head = policy.action_net[1]
    assert isinstance(head, torch.nn.Conv2d) and head.out_channels == 91 and head.kernel_size == (3, 3)
    assert not any(isinstance(m, torch.nn.Linear) and m.out_features == 36400 for m in policy.modules())
    obs = torch.as_tensor(env.reset())
    with torch.no_grad():
        latent = policy.mlp_extractor.forward_actor(policy.extract_features(obs))
        logits = policy.action_net(latent)
        grid = head(latent.reshape(2, 8, 20, 20))
    assert logits.shape == (2, 36400)
    # Action o * 400 + row * 20 + column is orientation o placed at (row, column).
    torch.testing.assert_close(logits[:, 5 * 400 + 7 * 20 + 3], grid[:, 5, 7, 3])


def test_maskable_ppo_trains_on_it_with_no_wrapper_and_never_plays_illegally():
    env = TeguloVecEnv(4, opponents="random", seed=1)
    model = MaskablePPO(GridPolicy, env, n_steps=16, batch_size=32, n_epochs=1, seed=1, policy_kwargs={"channels": 8})
    model.learn(64)  # the env refuses any illegal action with ValueError
    assert model.num_timesteps >= 64
    score = evaluate(model, games=2, opponents="random", deterministic=True)
    assert 0.0 <= score <= 1.0


@pytest.mark.parametrize("observation", ["planes", "dict"])
def test_grid_policy_on_either_observation_with_either_distribution_gives_the_same_policy(observation):
    env = TeguloVecEnv(3, seed=2, observation=observation)
    obs = env.reset()
    models = {
        kind: MaskablePPO(GridPolicy, env, n_steps=8, batch_size=8, seed=4,
                          policy_kwargs={"channels": 8, "distribution": kind, "bf16": False})
        for kind in ("legal", "masked")
    }  # fmt: skip
    models["masked"].policy.load_state_dict(models["legal"].policy.state_dict())
    tensor = models["legal"].policy.obs_to_tensor(obs)[0]
    masks = get_action_masks(env)
    actions = torch.as_tensor(np.array([np.flatnonzero(row)[-1] for row in masks]))
    results = {}
    for kind, model in models.items():
        with torch.no_grad():
            values, log_prob, entropy = model.policy.evaluate_actions(tensor, actions, action_masks=masks)
        results[kind] = (values, log_prob, entropy)
    for ours, theirs in zip(results["legal"], results["masked"], strict=True):
        torch.testing.assert_close(ours, theirs, rtol=1e-4, atol=1e-4)
    # The model with bool masks in its buffer trains and plays legally on the dict observation as on the planes.
    from tegulo_rl.sb3 import BoolMaskDictRolloutBuffer, BoolMaskRolloutBuffer, maskable_ppo

    model = maskable_ppo(env, n_steps=8, batch_size=12, n_epochs=1, seed=1, policy_kwargs={"channels": 8})
    expected = BoolMaskDictRolloutBuffer if observation == "dict" else BoolMaskRolloutBuffer
    assert isinstance(model.rollout_buffer, expected)
    model.learn(24)
    assert model.rollout_buffer.action_masks.dtype == bool
    assert 0.0 <= evaluate(model, games=2, opponents="random") <= 1.0
