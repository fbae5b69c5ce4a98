"""An RLlib `MultiAgentEnv` of the game, for RLlib's new API stack (`pip install 'tegulo-rl[rllib]'`).

    from ray.rllib.algorithms.ppo import PPOConfig
    from tegulo_rl.rllib import TeguloMultiAgentEnv, ppo_config

    config = ppo_config(env_config={"reward_mode": "rank"})   # one policy shared by the four seats
    algo = config.build_algo()
    print(algo.train()["env_runners"]["episode_return_mean"])

Turn-based: each step's observations hold only the agent to act ("player_0" to
"player_3"), as `{"observations": ..., "action_mask": ...}`, which is what RLlib's
action-masking RLModule (`ActionMaskingTorchRLModule`) reads. "observations" is the
learner-relative planes of `tegulo_rl.gym` flattened to (13200,) float32 (so that
RLlib's default encoder, a dense one, takes it), and "action_mask" (36400,) float32
of 0/1. The observation is agent-relative, so one policy can play every seat. An
agent out of moves has its turns passed. When the game ends, every learning agent
gets its final observation and its reward in `reward_mode` ("rank" by default),
with `terminateds["__all__"]`; rewards are 0 before.

`env_config`: "reward_mode"; "opponents": None (the default: all four seats are
agents) or built-in players for three seats ("random", "greedy", "mcts:200", ... one
for all three or a sequence of three, for the seats after the learner's); "seat":
the learner's seat with opponents (0 by default; None draws it at each reset). An
illegal action, or an action for an agent not to act, raises ValueError. The
action spaces' `sample()` draws among the legal actions of their agent when it is
to act (as in `tegulo_rl.gym`), so that RLlib's environment check steps legally.
"""

from __future__ import annotations

from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from ray.rllib.env.multi_agent_env import MultiAgentEnv

from tegulo_rl import lineup
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import REWARD_MODES
from tegulo_rl.arrays import as_arrays
from tegulo_rl.encoding import OBSERVATION_SHAPE, SEATS
from tegulo_rl.gym import LegalDiscrete
from tegulo_rl.learner import NUM_ACTIONS, check_seat, parse_opponents
from tegulo_rl.lineup import AnyPlayer

__all__ = ["TeguloMultiAgentEnv", "ppo_config", "AGENTS"]

AGENTS = [f"player_{i}" for i in range(SEATS)]
FLAT = int(np.prod(OBSERVATION_SHAPE))


def choose_opponent(game: PyTegulo, player: AnyPlayer, seed: int) -> int:
    """The built-in opponent's action in `game`: the one road of opponents' moves."""
    action = lineup.choose_one(game, player, seed=seed)
    assert action is not None  # the agent to move has a legal action: done agents are passed before
    return action


class TeguloMultiAgentEnv(MultiAgentEnv):  # type: ignore[misc]
    """The game for RLlib: the agent to act observes; rewards to every learning agent at the end."""

    def __init__(self, config: dict[str, Any] | None = None) -> None:
        super().__init__()
        config = dict(config or {})
        unknown = set(config) - {"reward_mode", "opponents", "seat"}
        if unknown:
            raise ValueError(f"Unknown env_config keys: {', '.join(sorted(unknown))}")
        self.reward_mode = config.get("reward_mode", "rank")
        if self.reward_mode not in REWARD_MODES:
            raise ValueError(f"Unknown reward mode {self.reward_mode!r}: expected one of {', '.join(REWARD_MODES)}")
        opponents = config.get("opponents")
        self._opponents = None if opponents is None else parse_opponents(opponents)
        self._fixed_seat = check_seat(config.get("seat", 0)) if opponents is not None else None
        self.possible_agents = list(AGENTS)
        self.agents = list(AGENTS)
        space = spaces.Dict(
            {
                "observations": spaces.Box(0.0, 1.0, (FLAT,), np.float32),
                "action_mask": spaces.Box(0.0, 1.0, (NUM_ACTIONS,), np.float32),
            }
        )
        self.observation_spaces = {agent: space for agent in AGENTS}
        # Spaces whose sample() draws a legal action of their agent (RLlib's environment check steps with one).
        self.action_spaces = {agent: LegalDiscrete(partial(self._legal, i)) for i, agent in enumerate(AGENTS)}
        self._rng = np.random.default_rng()
        self.game = PyTegulo()
        self.seat: int | None = None
        self._over = True

    def _legal(self, agent: int) -> npt.NDArray[np.int64]:
        if self._over or self.game.agent_selection != agent:
            return np.zeros(0, dtype=np.int64)
        return np.flatnonzero(np.frombuffer(self.game.observe(agent).action_mask, dtype=bool))

    def _learns(self, agent: int) -> bool:
        return self._opponents is None or agent == self.seat

    def _observe(self, agent: int) -> dict[str, npt.NDArray[np.float32]]:
        view = as_arrays(self.game.observe(agent))
        planes = np.empty(OBSERVATION_SHAPE, dtype=np.float32)
        planes[0:SEATS] = view.observation
        planes[SEATS : 2 * SEATS] = view.corners
        planes[2 * SEATS : 3 * SEATS] = view.blocked
        planes[3 * SEATS :] = view.pieces[0, :, None, None]
        return {"observations": planes.reshape(-1), "action_mask": view.action_mask.astype(np.float32)}

    def _play_others(self) -> None:
        """Passes the turns of agents out of moves and plays the fixed opponents, up to a learning agent's turn."""
        while not self.game.is_over:
            agent = self.game.agent_selection
            if self.game.terminations[agent]:
                self.game.step(None)
            elif self._learns(agent):
                return
            else:
                assert self._opponents is not None and self.seat is not None
                player = self._opponents[(agent - self.seat) % SEATS - 1]
                self.game.step(choose_opponent(self.game, player, int(self._rng.integers(2**63))))

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None) -> Any:
        if seed is not None:
            self._rng = np.random.default_rng(seed)
        self.game = PyTegulo()
        if self._opponents is not None:
            self.seat = self._fixed_seat if self._fixed_seat is not None else int(self._rng.integers(SEATS))
        self._over = False
        self._play_others()
        agent = self.game.agent_selection
        return {AGENTS[agent]: self._observe(agent)}, {AGENTS[agent]: {}}

    def step(self, action_dict: dict[Any, Any]) -> Any:
        if self._over:
            raise RuntimeError("The game is over: call reset() before step()")
        agent = self.game.agent_selection
        name = AGENTS[agent]
        if set(action_dict) != {name}:
            raise ValueError(f"Expected an action for {name} alone, the agent to act; got {sorted(action_dict)}")
        action = action_dict[name]
        if isinstance(action, (bool, np.bool_)) or not isinstance(action, (int, np.integer)):
            if not (isinstance(action, np.ndarray) and action.shape == () and action.dtype.kind in "iu"):
                raise TypeError(f"the action of {name} must be an int, got {type(action).__name__}")
        a = int(action)
        if not 0 <= a < NUM_ACTIONS:
            raise ValueError(f"action {a} of {name} is out of range: actions are 0 to {NUM_ACTIONS - 1}")
        if not self.game.observe(agent).action_mask[a]:
            raise ValueError(f"action {a} is not legal for {name} in this position")
        self.game.step(a)
        self._play_others()
        if not self.game.is_over:
            nxt = self.game.agent_selection
            # The agent that acted gets its reward of 0 now (RLlib expects one for every action).
            return {AGENTS[nxt]: self._observe(nxt)}, {name: 0.0}, {"__all__": False}, {"__all__": False}, {}
        self._over = True
        outcome = self.game.outcome(self.reward_mode)
        assert outcome is not None
        learners = [i for i in range(SEATS) if self._learns(i)]
        obs = {AGENTS[i]: self._observe(i) for i in learners}
        rewards = {AGENTS[i]: float(outcome[i]) for i in learners}
        terminateds = {**{AGENTS[i]: True for i in learners}, "__all__": True}
        infos = {AGENTS[i]: {"scores": list(self.game.scores)} for i in learners}
        return obs, rewards, terminateds, {"__all__": False}, infos


def ppo_config(env_config: dict[str, Any] | None = None, hidden: int = 64) -> Any:
    """PPO with action masking on this env: one policy ("shared") for every seat, dense layers of `hidden` units."""
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec
    from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule

    spec = RLModuleSpec(
        module_class=ActionMaskingTorchRLModule,
        model_config={"fcnet_hiddens": [hidden], "head_fcnet_hiddens": [hidden], "vf_share_layers": True},
    )
    return (
        PPOConfig()
        .environment(TeguloMultiAgentEnv, env_config=env_config or {})
        .multi_agent(policies={"shared"}, policy_mapping_fn=_shared)
        .rl_module(rl_module_spec=MultiRLModuleSpec(rl_module_specs={"shared": spec}))
    )


def _shared(agent_id: Any, episode: Any, **kwargs: Any) -> str:
    return "shared"
