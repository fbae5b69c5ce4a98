"""A PettingZoo AEC environment of the game (`pip install 'tegulo-rl[pettingzoo]'`).

    from tegulo_rl.env import env

    e = env(reward_mode="rank")
    e.reset(seed=0)
    for agent in e.agent_iter():
        obs, reward, termination, truncation, info = e.last()
        action = None if termination else e.action_space(agent).sample(obs["action_mask"])
        e.step(action)

A loop that picks its own actions is faster choosing from the info, whose
"legal_actions" the engine lists, than finding the indices set in the mask:

    rng = np.random.default_rng(0)
    for agent in e.agent_iter():
        obs, reward, termination, truncation, info = e.last()
        e.step(None if termination else rng.choice(info["legal_actions"]))

Agents are "player_0" to "player_3", moving in that order. An agent that is out
of moves has its turns passed for it, so the agent selected always has a legal
action until the game is over; then every agent is terminated at once and
receives its final reward in the reward mode chosen at construction ("rank" by
default, or "score" or "win_share"). Rewards are 0 before that.

Observations are dicts of the six planes of `PyTegulo.observe`, as read-only numpy
arrays sharing the observation's memory: "observation", "corners" and "blocked"
(4, 20, 20), "pieces" (4, 21) and "done" (4,), all uint8, seat 0 being the
observing agent in its own turned frame; and "action_mask" (36400,) int8, the
observer's legal action indices. An action outside the mask raises AssertionError.

Infos are dicts with the one key "legal_actions": the agent's legal action
indices in its own frame, increasing, as a read-only int64 array (empty for an
agent out of moves). An info is made on its first read after each step, so a
loop that reads only the info of the agent to move lists that agent's moves alone.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, ClassVar

import gymnasium
import numpy as np
from gymnasium import spaces
from gymnasium.utils import seeding
from pettingzoo import AECEnv
from pettingzoo.utils import wrappers

from tegulo_rl import draw
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import BOARD_SIZE, PIECE_KINDS, SEATS, board_text, legal_actions
from tegulo_rl.arrays import as_arrays

if TYPE_CHECKING:
    from _collections_abc import dict_items, dict_values

__all__ = ["TeguloEnv", "env", "raw_env", "board_image"]

# The agents' colours in the board image, as RGB.
COLOURS = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in draw.COLOURS], dtype=np.uint8)


def board_image(game: PyTegulo, size: int = 420) -> np.ndarray:
    """The board as `tegulo_rl.draw` draws it, every piece outlined: an RGB image (size, size, 3), uint8.
    Needs resvg-py and Pillow (pip install 'tegulo-rl[pettingzoo]')."""
    image: np.ndarray = draw.rgb(game, size=size)
    return image


def _observation_space() -> spaces.Dict:
    def plane(*shape: int) -> spaces.Box:
        return spaces.Box(0, 1, shape, dtype=np.uint8)

    return spaces.Dict(
        {
            "observation": plane(SEATS, BOARD_SIZE, BOARD_SIZE),
            "corners": plane(SEATS, BOARD_SIZE, BOARD_SIZE),
            "blocked": plane(SEATS, BOARD_SIZE, BOARD_SIZE),
            "pieces": plane(SEATS, PIECE_KINDS),
            "done": plane(SEATS),
            "action_mask": spaces.Box(0, 1, (PyTegulo.num_actions,), dtype=np.int8),
        }
    )


class _Infos(dict[str, dict[str, Any]]):
    """The agents' infos, each made again on its first read after the position
    changed: making one lists the agent's moves, and a loop that reads only the info
    of the agent to move (as `last()` does) should pay for that agent alone.

    Reading one info (`infos[agent]`, `get`) makes that one; reading them all
    (`values`, `items`, `copy`, `dict(infos)`, `repr`) makes every one that is due.
    An info stored by hand stays until the next change of position."""

    def __init__(self, make: Callable[[str], dict[str, Any]], agents: list[str]):
        super().__init__((agent, {}) for agent in agents)
        self._make = make
        self._due = set(agents)

    def position_changed(self) -> None:
        self._due = set(super().keys())

    def _make_if_due(self, agent: str) -> None:
        if agent in self._due:
            super().__setitem__(agent, self._make(agent))
            self._due.discard(agent)

    def _make_all_due(self) -> None:
        for agent in list(self._due):
            self._make_if_due(agent)

    def __getitem__(self, agent: str) -> dict[str, Any]:
        self._make_if_due(agent)
        return super().__getitem__(agent)

    def get(self, agent: str, default: Any = None) -> Any:
        self._make_if_due(agent)
        return super().get(agent, default)

    def __setitem__(self, agent: str, info: dict[str, Any]) -> None:
        super().__setitem__(agent, info)
        self._due.discard(agent)

    def __delitem__(self, agent: str) -> None:
        super().__delitem__(agent)
        self._due.discard(agent)

    def values(self) -> dict_values[str, dict[str, Any]]:
        self._make_all_due()
        return super().values()

    def items(self) -> dict_items[str, dict[str, Any]]:
        self._make_all_due()
        return super().items()

    def copy(self) -> dict[str, dict[str, Any]]:
        return dict(self.items())

    # A dict subclass with dict's own iterator is copied (dict(infos), {**infos})
    # straight from its storage; with an iterator of its own, through __getitem__.
    def __iter__(self) -> Iterator[str]:
        return super().__iter__()

    def __repr__(self) -> str:
        self._make_all_due()
        return super().__repr__()


class TeguloEnv(AECEnv):  # type: ignore[misc]  # pettingzoo ships no type information
    """The game as a PettingZoo AEC environment; see the module's documentation."""

    metadata: ClassVar[dict[str, Any]] = {
        "render_modes": ["ansi", "rgb_array"],
        "name": "tegulo_v0",
        "is_parallelizable": False,
    }

    def __init__(self, render_mode: str | None = None, reward_mode: str = "rank"):
        super().__init__()
        if reward_mode not in PyTegulo.reward_modes:
            raise ValueError(f"Unknown reward mode {reward_mode}")
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"Unknown render mode {render_mode}")
        self.render_mode = render_mode
        self.reward_mode = reward_mode
        self.game = PyTegulo()
        self.possible_agents = [f"player_{i}" for i in range(SEATS)]
        self._index = {agent: i for i, agent in enumerate(self.possible_agents)}
        self.action_spaces = {a: spaces.Discrete(PyTegulo.num_actions) for a in self.possible_agents}  # type: ignore[var-annotated, unused-ignore]
        self.observation_spaces = {a: _observation_space() for a in self.possible_agents}

    def observation_space(self, agent: str) -> spaces.Dict:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Discrete:  # type: ignore[type-arg, unused-ignore]
        return self.action_spaces[agent]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Starts a new game. The game has no randomness of its own: a seed seeds the
        environment's generator `np_random` and the agents' spaces, so that sampling
        from them is reproducible."""
        if seed is not None:
            self.np_random, self.np_random_seed = seeding.np_random(seed)
            for i, agent in enumerate(self.possible_agents):
                self.action_spaces[agent].seed(seed + i)
                self.observation_spaces[agent].seed(seed + i)
        self.game.reset()
        self.agents = self.possible_agents[:]
        self.rewards = {a: 0.0 for a in self.agents}
        self._cumulative_rewards = {a: 0.0 for a in self.agents}
        self.terminations = {a: False for a in self.agents}
        self.truncations = {a: False for a in self.agents}
        self.infos = _Infos(self._info, self.agents)
        self.agent_selection = self.possible_agents[self.game.agent_selection]

    def observe(self, agent: str) -> dict[str, np.ndarray]:
        arrays = as_arrays(self.game.observe(self._index[agent]))
        observation = arrays._asdict()
        observation["action_mask"] = arrays.action_mask.view(np.int8)  # 0/1 either way: no copy
        return observation

    def _info(self, agent: str) -> dict[str, Any]:
        legal = legal_actions(self.game, self._index[agent])
        return {"legal_actions": np.frombuffer(legal, dtype=np.int64)}

    def step(self, action: int | None) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        self.game.step(action)
        self.infos.position_changed()
        self._cumulative_rewards[agent] = 0.0
        while not self.game.is_over and self.game.terminations[self.game.agent_selection]:
            self.game.step(None)  # an agent out of moves passes
        final = self.game.outcome(self.reward_mode)  # None until the game is over
        if final is not None:
            for a, reward in zip(self.possible_agents, final, strict=True):
                self.rewards[a] = reward
                self.terminations[a] = True
        self.agent_selection = self.possible_agents[self.game.agent_selection]
        self._accumulate_rewards()

    def render(self) -> str | np.ndarray | None:
        if self.render_mode is None:
            gymnasium.logger.warn("render() called without a render_mode; pass render_mode='ansi' or 'rgb_array'")
            return None
        if self.render_mode == "ansi":
            return board_text(self.game)
        return board_image(self.game)

    def close(self) -> None:
        pass


raw_env = TeguloEnv


def env(**kwargs: Any) -> AECEnv:
    """A TeguloEnv wrapped in PettingZoo's OrderEnforcingWrapper, which refuses calls before reset()."""
    return wrappers.OrderEnforcingWrapper(TeguloEnv(**kwargs))
