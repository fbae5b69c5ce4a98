"""The PettingZoo environment, checked by PettingZoo's own tests."""

import numpy as np
import pytest

pettingzoo = pytest.importorskip("pettingzoo", reason="PettingZoo is not installed for this interpreter")
from pettingzoo.test import api_test, seed_test  # noqa: E402

from tegulo_rl import PyTegulo  # noqa: E402
from tegulo_rl.env import COLOURS, TeguloEnv, board_image, env, raw_env  # noqa: E402


@pytest.mark.filterwarnings("ignore::UserWarning")  # about dict observations, which PettingZoo's board games share
@pytest.mark.parametrize("make", [lambda: env(), lambda: raw_env(render_mode="ansi", reward_mode="score")])
def test_pettingzoo_api_test(make):
    api_test(make(), num_cycles=200)


def test_pettingzoo_seed_test():
    seed_test(env, num_cycles=200)


def play(e, seed=0):
    """Plays a game with actions sampled from the masks; returns the last() of every agent's final turn."""
    e.reset(seed=seed)
    finals = {}
    for agent in e.agent_iter():
        obs, reward, termination, truncation, info = e.last()
        if termination:
            finals[agent] = reward
            e.step(None)
            continue
        assert obs["action_mask"].any(), "the selected agent always has a move while the game runs"
        assert reward == 0
        e.step(e.action_space(agent).sample(obs["action_mask"]))
    return finals


@pytest.mark.parametrize("mode", PyTegulo.reward_modes)
def test_final_rewards_come_from_the_chosen_mode(mode):
    e = TeguloEnv(reward_mode=mode)
    finals = play(e, seed=3)
    assert finals == dict(zip(e.possible_agents, e.game.outcome(mode), strict=True))
    assert e.agents == []


def test_spaces_and_observations():
    e = TeguloEnv()
    e.reset(seed=1)
    assert e.possible_agents == ["player_0", "player_1", "player_2", "player_3"]
    assert e.action_space("player_2").n == 36400
    obs = e.observe("player_1")
    assert e.observation_space("player_1").contains(obs)
    assert obs["action_mask"].dtype == np.int8 and obs["action_mask"].shape == (36400,)
    assert obs["action_mask"].sum() == 58
    assert obs["pieces"].shape == (4, 21) and obs["done"].shape == (4,)
    assert np.shares_memory(obs["action_mask"], obs["observation"].base)


def test_reward_and_render_modes_are_checked():
    with pytest.raises(ValueError, match="Unknown reward mode Rank"):
        TeguloEnv(reward_mode="Rank")
    with pytest.raises(ValueError, match="Unknown render mode human"):
        TeguloEnv(render_mode="human")
    with pytest.warns(UserWarning, match="without a render_mode"):
        assert TeguloEnv().render() is None


def test_renders_text_and_images():
    e = TeguloEnv(render_mode="ansi")
    e.reset()
    for _ in range(4):
        e.step(0)  # every agent's monomino on its own corner
    assert e.render().startswith("  |  0 |  1 |")
    image = board_image(e.game, cell=10)
    assert image.shape == (201, 201, 3) and image.dtype == np.uint8
    centre = lambda r, c: image[10 * r + 5, 10 * c + 5].tolist()  # noqa: E731
    assert [centre(0, 0), centre(0, 19), centre(19, 19), centre(19, 0)] == COLOURS.tolist()
    assert centre(10, 10) == [238, 238, 238]
    e2 = TeguloEnv(render_mode="rgb_array")
    e2.reset()
    assert e2.render().shape == (321, 321, 3)


def test_illegal_actions_are_refused():
    e = TeguloEnv()
    e.reset()
    with pytest.raises(AssertionError, match="Invalid action"):
        e.step(1)
    assert e.game.ply == 0
