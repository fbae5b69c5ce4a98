"""An RLlib `MultiAgentEnv` of the game, for RLlib's new API stack (`pip install 'tegulo-rl[rllib]'`).

    from tegulo_rl.rllib import ppo_config

    config = ppo_config(env_config={"opponents": "random", "observation": "dict"})
    algo = config.build_algo()
    print(algo.train()["env_runners"]["agent_episode_returns_mean"])

Turn-based: each step's observations hold only the agent to act ("player_0" to
"player_3"), as `{"observations": ..., "action_mask": ...}`, which is what RLlib's
action-masking RLModules read. "observations" is the learner-relative position in
the agent's own frame: with `"observation": "planes"` (the default) the planes of
`tegulo_rl.gym` flattened to (13200,) float32 (so that RLlib's dense encoders take
it); with `"observation": "dict"` the whole position, nothing broadcast, as a dict of
"board" uint8 (12, 20, 20), "pieces" uint8 (4, 21) and "done" uint8 (4,), every
seat from the agent onwards. "action_mask" is (36400,) float32 of 0/1. The
observation is agent-relative, so one policy can play every seat. An agent out of
moves has its turns passed. When the game ends, every learning agent gets its final
observation and its reward in `reward_mode` ("rank" by default), with
`terminateds["__all__"]`; rewards are 0 before. The mask of a final observation
lists one legal action, `tegulo_rl.legal.FINAL_ACTION` (0), as the vector env's final
rows do: RLlib computes the policy on final observations too, and a masked softmax
over a row with no legal entry gives NaN.

`env_config`: "reward_mode"; "observation"; "opponents": None (the default: all
four seats are agents) or opponents for three seats, as `tegulo_rl.gym` takes them
(built-in players such as "random", "greedy" or "mcts:200", network players,
callable policies, or a `tegulo_rl.pool.Pool` that each game draws from at its
reset; one for all three or a sequence of three, for the seats after the learner's);
"seat": the learner's seat with opponents (0 by default; None draws it at each
reset). An illegal action, or an action for an agent not to act, raises ValueError;
so does an opponent policy's fault, naming it, and the game is then as before the
step. The action spaces' `sample()` draws among the legal actions of their agent
when it is to act (as in `tegulo_rl.gym`), so that RLlib's environment check steps
legally.

`ppo_config` makes PPO with one policy ("shared") for every seat, whose RLModule is
`tegulo_rl.rllib_grid.GridModule` by default: convolutions over the board and a
91-channel convolution as the action head, masked. `evaluate` plays a trained
module against fixed opponents, all games at once, as the other adapters' do.
"""

from __future__ import annotations

from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from ray.rllib.env.multi_agent_env import MultiAgentEnv

from tegulo_rl import encoding, lineup
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import REWARD_MODES
from tegulo_rl.encoding import SEATS
from tegulo_rl.gym import LegalDiscrete, observation_space
from tegulo_rl.learner import NUM_ACTIONS, LearnerGames, Opponents, check_seat, opponent_pools
from tegulo_rl.legal import FINAL_ACTION
from tegulo_rl.lineup import AnyPlayer
from tegulo_rl.pool import Pool

__all__ = ["TeguloMultiAgentEnv", "ppo_config", "evaluate", "AGENTS"]

AGENTS = [f"player_{i}" for i in range(SEATS)]
FLAT = int(np.prod(encoding.OBSERVATION_SHAPE))
CONFIG_KEYS = {"reward_mode", "opponents", "seat", "observation"}


def choose_opponent(game: PyTegulo, player: AnyPlayer, seed: int) -> int:
    """The opponent's action in `game`: the one road of opponents' moves."""
    action = lineup.choose_one(game, player, seed=seed)
    assert action is not None  # the agent to move has a legal action: done agents are passed before
    return action


class TeguloMultiAgentEnv(MultiAgentEnv):  # type: ignore[misc]
    """The game for RLlib: the agent to act observes; rewards to every learning agent at the end."""

    def __init__(self, config: dict[str, Any] | None = None) -> None:
        super().__init__()
        config = dict(config or {})
        unknown = set(config) - CONFIG_KEYS
        if unknown:
            raise ValueError(f"Unknown env_config keys: {', '.join(sorted(unknown))}")
        self.reward_mode = config.get("reward_mode", "rank")
        if self.reward_mode not in REWARD_MODES:
            raise ValueError(f"Unknown reward mode {self.reward_mode!r}: expected one of {', '.join(REWARD_MODES)}")
        self.observation = encoding.check_observation(config.get("observation", "planes"))
        opponents = config.get("opponents")
        self._pools: list[Pool] | None = None if opponents is None else opponent_pools(opponents)
        self._opponents: list[AnyPlayer] | None = None
        self._fixed_seat = check_seat(config.get("seat", 0)) if opponents is not None else None
        self.possible_agents = list(AGENTS)
        self.agents = list(AGENTS)
        inner: spaces.Space[Any] = (
            observation_space("dict") if self.observation == "dict" else spaces.Box(0.0, 1.0, (FLAT,), np.float32)
        )
        space = spaces.Dict({"observations": inner, "action_mask": spaces.Box(0.0, 1.0, (NUM_ACTIONS,), np.float32)})
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

    def _observe(self, agent: int) -> dict[str, Any]:
        view = self.game.observe(agent)
        mask = np.frombuffer(view.action_mask, dtype=np.uint8).astype(np.float32)
        if self.game.is_over:
            mask[FINAL_ACTION] = 1.0  # a final position keeps one legal entry, as the vector env's
        encoded = encoding.single(view, self.observation)
        if isinstance(encoded, dict):
            return {"observations": encoded, "action_mask": mask}
        return {"observations": encoded.reshape(-1).astype(np.float32), "action_mask": mask}

    def _play_others(self) -> None:
        """Passes the turns of agents out of moves and plays the opponents, up to a learning agent's turn."""
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
        if self._pools is not None:
            self.seat = self._fixed_seat if self._fixed_seat is not None else int(self._rng.integers(SEATS))
            self._opponents = [pool.members[int(pool.draw(self._rng, 1)[0])] for pool in self._pools]
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
        before, state = self.game.copy(), self._rng.bit_generator.state
        try:
            self.game.step(a)
            self._play_others()
        except BaseException:
            # An opponent's fault: the game stands as before the step.
            self.game, self._rng.bit_generator.state = before, state
            raise
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


MODULES = ("grid", "dense")


def ppo_config(
    env_config: dict[str, Any] | None = None,
    hidden: int = 64,
    *,
    module: str = "grid",
    channels: int = 32,
    layers: int = 3,
    bf16: bool | None = None,
) -> Any:
    """PPO with action masking on this env: one policy ("shared") for every seat. `module` "grid" (the
    default) is `GridModule` (`channels`, `layers`, `hidden` units in the value head, `bf16` convolutions);
    "dense" is RLlib's action-masking module with dense layers of `hidden` units over the flat planes."""
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec

    if module == "grid":
        from tegulo_rl.rllib_grid import GridModule

        spec = RLModuleSpec(
            module_class=GridModule,
            model_config={"channels": channels, "layers": layers, "hidden": hidden, "bf16": bf16},
        )
    elif module == "dense":
        from ray.rllib.examples.rl_modules.classes.action_masking_rlm import ActionMaskingTorchRLModule

        spec = RLModuleSpec(
            module_class=ActionMaskingTorchRLModule,
            model_config={"fcnet_hiddens": [hidden], "head_fcnet_hiddens": [hidden], "vf_share_layers": True},
        )
    else:
        raise ValueError(f"Unknown module {module!r}: expected one of {', '.join(MODULES)}")
    return (
        PPOConfig()
        .environment(TeguloMultiAgentEnv, env_config=env_config or {})
        .multi_agent(policies={"shared"}, policy_mapping_fn=_shared)
        .rl_module(rl_module_spec=MultiRLModuleSpec(rl_module_specs={"shared": spec}))
    )


def _shared(agent_id: Any, episode: Any, **kwargs: Any) -> str:
    return "shared"


def evaluate(
    module: Any,
    games: int = 200,
    opponents: Opponents = "random",
    *,
    seat: int | None = 0,
    sample: bool = True,
    seed: int = 12345,
) -> float:
    """The mean rank reward of an RLModule of this env (`algo.get_module("shared")`) against `opponents`
    over `games` games, all played at once: its actions sampled from its masked logits, or its top
    choice. The module's observation (planes or dict) is read off its observation space."""
    import torch
    from ray.rllib.core.columns import Columns

    inner = module.observation_space["observations"]
    observation = "dict" if isinstance(inner, spaces.Dict) else "planes"
    played = LearnerGames(games, opponents, seat, "rank", seed=seed, observation=observation)
    generator = torch.Generator().manual_seed(seed)
    rewards = np.full(games, np.nan)
    while np.isnan(rewards).any():
        obs = played.observe("mask")
        assert obs.action_mask is not None
        encoded = played.encode(obs)
        if isinstance(encoded, dict):
            inputs: Any = {key: torch.from_numpy(value) for key, value in encoded.items()}
        else:
            inputs = torch.from_numpy(encoded.reshape(games, -1).astype(np.float32))
        mask = torch.from_numpy(obs.action_mask.astype(np.float32))
        with torch.no_grad():
            out = module.forward_inference({Columns.OBS: {"observations": inputs, "action_mask": mask}})
        logits = out[Columns.ACTION_DIST_INPUTS].masked_fill(mask <= 0, float("-inf"))
        if sample:
            actions = torch.multinomial(torch.softmax(logits, dim=1), 1, generator=generator).squeeze(1)
        else:
            actions = logits.argmax(dim=1)
        result = played.step(actions.numpy())
        first = result.terminated & np.isnan(rewards)
        rewards[first] = result.rewards[first]
    return float(rewards.mean())
