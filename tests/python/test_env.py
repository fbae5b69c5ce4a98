"""The PettingZoo environment, checked by PettingZoo's own tests."""

import numpy as np
import pytest

pettingzoo = pytest.importorskip("pettingzoo", reason="PettingZoo is not installed for this interpreter")
from pettingzoo.test import api_test, seed_test  # noqa: E402

import tegulo_rl.env  # noqa: E402
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
    pytest.importorskip("resvg_py", reason="the image needs resvg-py: pip install '.[pettingzoo]'")
    pytest.importorskip("PIL", reason="the image needs Pillow: pip install '.[pettingzoo]'")
    image = board_image(e.game, size=416)  # 20 pixels a cell, 8 of margin
    assert image.shape == (416, 416, 3) and image.dtype == np.uint8
    centre = lambda r, c: image[8 + 20 * r + 10, 8 + 20 * c + 10].tolist()  # noqa: E731
    assert [centre(0, 0), centre(0, 19), centre(19, 19), centre(19, 0)] == COLOURS.tolist()
    assert centre(10, 10) not in COLOURS.tolist()
    assert image[4:13, 18].max(axis=1).min() < 80  # across the top of the corner piece: its dark outline
    e2 = TeguloEnv(render_mode="rgb_array")
    e2.reset()
    assert e2.render().shape == (420, 420, 3)


def test_illegal_actions_are_refused():
    e = TeguloEnv()
    e.reset()
    with pytest.raises(AssertionError, match="Invalid action"):
        e.step(1)
    assert e.game.ply == 0


def mask_indices(e, agent):
    return np.flatnonzero(e.observe(agent)["action_mask"]).tolist()


@pytest.mark.parametrize("seed", [4, 5])
def test_every_info_lists_the_legal_actions_of_its_agent(seed):
    e = env()
    e.reset(seed=seed)
    rng = np.random.default_rng(seed)
    out_of_moves_in_play = 0
    for agent in e.agent_iter():
        obs, reward, termination, truncation, info = e.last()
        assert info is e.infos[agent]
        for other in e.agents:
            legal = e.infos[other]["legal_actions"]
            assert legal.dtype == np.int64 and legal.ndim == 1 and not legal.flags.writeable
            assert legal.tolist() == mask_indices(e, other), (e.unwrapped.game.ply, other)
            out_of_moves_in_play += len(legal) == 0 and not termination
        e.step(None if termination else rng.choice(info["legal_actions"]))
    assert out_of_moves_in_play > 0
    assert e.unwrapped.game.is_over and e.agents == []


class CountedLists:
    """Stands in for the engine's legal_actions and counts the calls, per agent."""

    def __init__(self):
        self.calls = []

    def __call__(self, game, agent):
        self.calls.append(agent)
        return tegulo_rl._views.legal_actions(game, agent)


def stepped_env(monkeypatch):
    """An env two placements into a game, whose infos count the lists they make."""
    counted = CountedLists()
    monkeypatch.setattr(tegulo_rl.env, "legal_actions", counted)
    e = TeguloEnv()
    e.reset()
    e.step(0)
    e.step(0)
    assert counted.calls == []
    return e, counted


def test_infos_list_moves_only_for_the_agents_read(monkeypatch):
    e, counted = stepped_env(monkeypatch)
    for _ in range(3):
        assert len(e.last()[4]["legal_actions"]) > 0
    assert counted.calls == [2]  # once per position, for the agent read
    assert e.infos.get("player_1")["legal_actions"].tolist() == mask_indices(e, "player_1")
    assert e.infos.get("nobody", "default") == "default"
    assert counted.calls == [2, 1]
    e.infos["player_0"] = {"note": 1}  # stored by hand: kept until the position changes
    assert e.infos["player_0"] == {"note": 1} and counted.calls == [2, 1]
    e.step(e.infos["player_2"]["legal_actions"][0])
    assert e.infos["player_0"]["legal_actions"].tolist() == mask_indices(e, "player_0")
    assert counted.calls == [2, 1, 0]


@pytest.mark.parametrize(
    "read_all",
    [
        dict,
        lambda i: {**i},
        lambda i: i.copy(),
        lambda i: dict(i.items()),
        lambda i: dict(zip(i, i.values(), strict=True)),
    ],
    ids=["dict", "unpacked", "copy", "items", "values"],
)
def test_infos_read_all_together_are_all_current(monkeypatch, read_all):
    e, counted = stepped_env(monkeypatch)
    infos = read_all(e.infos)
    assert type(infos) is dict and sorted(counted.calls) == [0, 1, 2, 3]
    assert {a: info["legal_actions"].tolist() for a, info in infos.items()} == {a: mask_indices(e, a) for a in e.agents}
    again = read_all(e.infos)
    assert all(again[a] is info for a, info in infos.items()) and len(counted.calls) == 4  # once per position


def test_infos_repr_and_removal(monkeypatch):
    e, counted = stepped_env(monkeypatch)
    assert repr(e.infos).count("'legal_actions': array([") == 4
    assert sorted(counted.calls) == [0, 1, 2, 3]
    e.step(e.infos["player_2"]["legal_actions"][0])
    del e.infos["player_1"]  # as PettingZoo removes a terminated agent
    with pytest.raises(KeyError):
        e.infos["player_1"]
    assert list(e.infos.values()) == [e.infos[a] for a in ("player_0", "player_2", "player_3")]
    assert sorted(counted.calls[4:]) == [0, 2, 3]
