"""Stable-Baselines3 adapters: a `VecEnv` on a `GameBatch` and a policy whose action head is the action grid.

    from sb3_contrib import MaskablePPO
    from tegulo_rl.sb3 import GridPolicy, TeguloVecEnv

    env = TeguloVecEnv(16, opponents="random", seed=0)
    model = MaskablePPO(GridPolicy, env, n_steps=128, batch_size=256)
    model.learn(100_000)

`TeguloVecEnv` (`pip install 'tegulo-rl[sb3]'`) holds one learner against three
opponents in each of `num_envs` games, stepped together in native code, with the
observation of `tegulo_rl.gym` (`observation="planes"`, the default: uint8 planes
(33, 20, 20); or `observation="dict"`, the whole position) and `Discrete(36400)`
actions in the learner's frame. Opponents are what `tegulo_rl.gym` takes: built-in
players, network players, callable policies, or a `Pool` of them. It answers `env_method("action_masks")` from the
batch (what MaskablePPO asks before every step), resets ended games at once and
puts the final observation in `info["terminal_observation"]`, as SB3 expects; the
info of a step that ends a game also holds `info["episode"]` (the learner's reward
"r" and its number of moves "l"), which SB3 logs as `ep_rew_mean`, and the game's
final `info["scores"]` (by agent) and the learner's `info["seat"]`.

`GridPolicy` is a `MaskableActorCriticPolicy` made for the grid: a trunk of 3 x 3
convolutions keeps the board's 20 x 20 cells, and the action head is one more 3 x 3
convolution with 91 output channels, one logit per orientation and cell: the
36,400 actions in their own order, with no dense layer of 36,400 outputs. The value
head reads the trunk through a 1 x 1 convolution and a small dense layer. On the
dict observation, the pieces and done flags (88 numbers) pass through a linear
layer whose output is added to the first convolution's channels at every cell.

Its distribution is `tegulo_rl.distribution.LegalCategorical`, which computes
log-probabilities, entropies and samples over the legal actions alone instead of a
softmax over all 36,400 (`distribution="masked"` keeps MaskablePPO's own, to compare);
its convolutions run in bfloat16 where the processor has bf16 matrix units (`bf16`,
on by default there), the distribution in float32. MaskablePPO stores every step's
mask as float32; `BoolMaskRolloutBuffer` (and `BoolMaskDictRolloutBuffer` for the
dict observation), passed as its `rollout_buffer_class`, stores it as bool, a
quarter of the memory; `maskable_ppo` makes the model with both.

Memory: MaskablePPO's rollout buffer keeps every step's mask as 36,400 float32
(about 146 KB; 36 KB as bool) and its observation as float32 (33 x 400 x 4 bytes,
about 53 KB; the dict observation's 5 KB): about 200 KB a step, so n_envs x n_steps =
2,048 steps take about 400 MB (about 85 MB with bool masks and the dict observation).
"""

from __future__ import annotations

import time
from functools import partial
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from gymnasium import spaces
from sb3_contrib.common.maskable.buffers import MaskableDictRolloutBuffer, MaskableRolloutBuffer
from sb3_contrib.common.maskable.distributions import MaskableCategoricalDistribution, MaybeMasks
from sb3_contrib.common.maskable.policies import MaskableActorCriticPolicy
from stable_baselines3.common.torch_layers import BaseFeaturesExtractor
from stable_baselines3.common.vec_env import VecEnv
from stable_baselines3.common.vec_env.base_vec_env import VecEnvIndices
from torch import nn

from tegulo_rl.distribution import LegalCategorical, bf16_default
from tegulo_rl.encoding import BOARD_PLANES, KINDS, PLANES, SEATS, SIDE
from tegulo_rl.gym import observation_space
from tegulo_rl.learner import NUM_ACTIONS, LearnerGames, Opponents

__all__ = [
    "BoolMaskDictRolloutBuffer",
    "BoolMaskRolloutBuffer",
    "GridPolicy",
    "GridTrunk",
    "LegalDistribution",
    "TeguloVecEnv",
    "evaluate",
    "maskable_ppo",
]


class TeguloVecEnv(VecEnv):
    """`num_envs` games of one learner against its opponents, as a Stable-Baselines3 `VecEnv`."""

    def __init__(
        self,
        num_envs: int,
        opponents: Opponents = "random",
        seat: int | None = 0,
        reward_mode: str = "rank",
        threads: int | None = None,
        seed: int | None = None,
        observation: str = "planes",
    ) -> None:
        self._games = LearnerGames(
            num_envs, opponents, seat, reward_mode, threads=threads, seed=seed, observation=observation
        )
        super().__init__(self._games.num_games, observation_space(observation), spaces.Discrete(NUM_ACTIONS))
        self._actions: npt.NDArray[np.int64] | None = None
        self._mask: npt.NDArray[np.bool_] | None = None
        self._lengths = np.zeros(self.num_envs, dtype=np.int64)
        self._start = time.monotonic()
        self._seed = seed

    def _observe(self) -> Any:
        obs = self._games.observe("mask")
        self._mask = obs.action_mask
        return self._games.encode(obs)

    def reset(self) -> Any:
        seed = self._seeds[0] if self._seeds and self._seeds[0] is not None else None
        self._games.reset(seed if seed is not None else int(self._games.rng.integers(2**63)))
        self._reset_seeds()
        self._lengths[:] = 0
        return self._observe()

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """(N, 36400) bool: every game's legal actions for its learner."""
        if self._mask is None:
            self._observe()
        assert self._mask is not None
        return self._mask

    def step_async(self, actions: npt.NDArray[Any]) -> None:
        self._actions = np.asarray(actions).reshape(-1)

    def step_wait(self) -> tuple[Any, npt.NDArray[np.float32], npt.NDArray[np.bool_], list[dict[str, Any]]]:
        if self._actions is None:
            raise RuntimeError("step_wait() without step_async()")
        actions, self._actions = self._actions, None
        result = self._games.step(actions)
        self._lengths += 1
        obs = self._observe()
        infos: list[dict[str, Any]] = [{} for _ in range(self.num_envs)]
        for i in np.flatnonzero(result.terminated).tolist():
            infos[i]["terminal_observation"] = result.final_observation[i]
            infos[i]["episode"] = {
                "r": float(result.rewards[i]),
                "l": int(self._lengths[i]),
                "t": round(time.monotonic() - self._start, 6),
            }
            infos[i]["TimeLimit.truncated"] = False
            infos[i]["scores"] = result.scores[i].copy()
            infos[i]["seat"] = int(result.final_seat[i])
            self._lengths[i] = 0
        return obs, result.rewards.copy(), result.terminated.copy(), infos

    def close(self) -> None:
        pass

    def _indices(self, indices: VecEnvIndices) -> list[int]:
        if indices is None:
            return list(range(self.num_envs))
        if isinstance(indices, int):
            return [indices]
        return [int(i) for i in indices]

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        if attr_name == "render_mode":
            return [None for _ in self._indices(indices)]
        if attr_name == "action_masks":
            return [self._row_masks(i) for i in self._indices(indices)]
        value = getattr(self, attr_name)
        return [value for _ in self._indices(indices)]

    def _row_masks(self, i: int) -> Any:
        return lambda: self.action_masks()[i]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        raise AttributeError(f"TeguloVecEnv has no attribute {attr_name!r} to set per game")

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        if method_name == "action_masks":
            masks = self.action_masks()
            return [masks[i] for i in self._indices(indices)]
        raise AttributeError(f"TeguloVecEnv games have no method {method_name!r}")

    def env_is_wrapped(self, wrapper_class: type, indices: VecEnvIndices = None) -> list[bool]:
        return [False for _ in self._indices(indices)]


class GridTrunk(BaseFeaturesExtractor):
    """3 x 3 convolutions over the planes that keep the 20 x 20 board: features (channels x 400), flattened.
    On the dict observation, the first convolution reads the board and a linear layer adds the
    pieces and done flags to its channels."""

    def __init__(
        self, observation_space: spaces.Space[Any], channels: int = 32, layers: int = 3, bf16: bool = False
    ) -> None:
        super().__init__(observation_space, features_dim=channels * SIDE * SIDE)
        self.channels = channels
        self.bf16 = bf16
        self.whole = isinstance(observation_space, spaces.Dict)
        modules: list[nn.Module] = []
        if self.whole:
            self.board = nn.Conv2d(BOARD_PLANES, channels, 3, padding=1)
            self.vector = nn.Linear(SEATS * KINDS + SEATS, channels)
            modules.append(nn.ReLU())
            layers -= 1
        width = channels if self.whole else int(observation_space.shape[0])  # type: ignore[index]
        for _ in range(layers):
            modules += [nn.Conv2d(width, channels, 3, padding=1), nn.ReLU()]
            width = channels
        self.net = nn.Sequential(*modules, nn.Flatten(1))

    def forward(self, observations: Any) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            if self.whole:
                pieces = [observations["pieces"].flatten(1), observations["done"].flatten(1)]
                first = (
                    self.board(observations["board"].float())
                    + self.vector(torch.cat(pieces, 1).float())[..., None, None]
                )
                out: torch.Tensor = self.net(first)
            else:
                out = self.net(observations.float())
        return out.float()


class CastSequential(nn.Sequential):
    """A Sequential that runs in bfloat16 when `bf16` is set and returns float32 (its weights' names unchanged)."""

    bf16 = False

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            out: torch.Tensor = super().forward(x)
        return out.float()


class LegalDistribution(MaskableCategoricalDistribution):
    """MaskablePPO's categorical over the 36,400 actions, computed over each position's legal actions alone
    (`LegalCategorical`): the same distribution, without a softmax over every action."""

    def __init__(self, action_dim: int) -> None:
        super().__init__(action_dim)
        self.logits: torch.Tensor | None = None
        self.legal: LegalCategorical | None = None

    def proba_distribution(self, action_logits: torch.Tensor) -> LegalDistribution:  # type: ignore[override]
        self.logits = action_logits.reshape(-1, self.action_dim).float()
        self.legal = None
        return self

    def apply_masking(self, masks: MaybeMasks) -> None:
        assert self.logits is not None
        if masks is None:
            mask = torch.ones_like(self.logits, dtype=torch.bool)
        else:
            mask = torch.as_tensor(masks, dtype=torch.bool, device=self.logits.device).reshape(self.logits.shape)
        self.legal = LegalCategorical(self.logits, mask)

    def _distribution(self) -> LegalCategorical:
        if self.legal is None:
            self.apply_masking(None)
        assert self.legal is not None
        return self.legal

    def log_prob(self, actions: torch.Tensor) -> torch.Tensor:
        return self._distribution().log_prob(actions)

    def entropy(self) -> torch.Tensor:
        return self._distribution().entropy()

    def sample(self) -> torch.Tensor:
        return self._distribution().sample()

    def mode(self) -> torch.Tensor:
        return self._distribution().mode()


class _GridHeads(nn.Module):
    """The policy's latent is the trunk itself; the value's is the trunk through a 1 x 1 convolution and a layer."""

    def __init__(self, channels: int, hidden: int = 64) -> None:
        super().__init__()
        self.latent_dim_pi = channels * SIDE * SIDE
        self.latent_dim_vf = hidden
        self.value = CastSequential(
            nn.Unflatten(1, (channels, SIDE, SIDE)),
            nn.Conv2d(channels, 4, 1),
            nn.ReLU(),
            nn.Flatten(1),
            nn.Linear(4 * SIDE * SIDE, hidden),
            nn.ReLU(),
        )

    def forward(self, features: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        return features, self.value(features)

    def forward_actor(self, features: torch.Tensor) -> torch.Tensor:
        return features

    def forward_critic(self, features: torch.Tensor) -> torch.Tensor:
        out: torch.Tensor = self.value(features)
        return out


class GridPolicy(MaskableActorCriticPolicy):
    """MaskablePPO's actor-critic with a convolution trunk and a 91-channel convolution as the action head.

    `channels` and `layers` size the trunk (32 and 3 by default: about 157,000
    parameters with the heads). `distribution` is "legal" (`LegalDistribution`, the
    default) or "masked" (MaskablePPO's own); `bf16` runs the convolutions in bfloat16
    (None, the default: where the processor has bf16 matrix units).
    """

    def __init__(
        self, observation_space: spaces.Space[Any], action_space: spaces.Space[Any], lr_schedule: Any, **kwargs: Any
    ) -> None:
        channels = int(kwargs.pop("channels", 32))
        layers = int(kwargs.pop("layers", 3))
        distribution = kwargs.pop("distribution", "legal")
        if distribution not in ("legal", "masked"):
            raise ValueError(f"Unknown distribution {distribution!r}: expected 'legal' or 'masked'")
        bf16 = kwargs.pop("bf16", None)
        self.bf16 = bf16_default() if bf16 is None else bool(bf16)
        kwargs.setdefault("features_extractor_class", GridTrunk)
        kwargs.setdefault("features_extractor_kwargs", {"channels": channels, "layers": layers, "bf16": self.bf16})
        kwargs.setdefault("normalize_images", False)
        self._channels = channels
        self._legal = distribution == "legal"
        super().__init__(observation_space, action_space, lr_schedule, **kwargs)

    def _build_mlp_extractor(self) -> None:
        self.mlp_extractor = _GridHeads(self._channels)  # type: ignore[assignment]

    def _build(self, lr_schedule: Any) -> None:
        if self._legal:
            self.action_dist = LegalDistribution(NUM_ACTIONS)
        self._build_mlp_extractor()
        self.mlp_extractor.value.bf16 = self.bf16  # type: ignore[union-attr]
        self.action_net = CastSequential(
            nn.Unflatten(1, (self._channels, SIDE, SIDE)),
            nn.Conv2d(self._channels, NUM_ACTIONS // (SIDE * SIDE), 3, padding=1),
            nn.Flatten(1),
        )
        self.action_net.bf16 = self.bf16
        self.value_net = nn.Linear(self.mlp_extractor.latent_dim_vf, 1)
        if self.ortho_init:
            for module, gain in (
                (self.features_extractor, np.sqrt(2)),
                (self.mlp_extractor, np.sqrt(2)),
                (self.action_net, 0.01),
                (self.value_net, 1.0),
            ):
                module.apply(partial(self._init_conv, gain=gain))
        optimizer: Any = self.optimizer_class
        self.optimizer = optimizer(self.parameters(), lr=lr_schedule(1), **self.optimizer_kwargs)

    @staticmethod
    def _init_conv(module: nn.Module, gain: float) -> None:
        if isinstance(module, (nn.Linear, nn.Conv2d)):
            nn.init.orthogonal_(module.weight, gain=gain)
            if module.bias is not None:
                module.bias.data.fill_(0.0)


class BoolMaskRolloutBuffer(MaskableRolloutBuffer):
    """MaskablePPO's rollout buffer with its masks stored as bool instead of float32."""

    def reset(self) -> None:
        super().reset()
        self.action_masks = np.ones((self.buffer_size, self.n_envs, self.mask_dims), dtype=bool)


class BoolMaskDictRolloutBuffer(MaskableDictRolloutBuffer):
    """The same for dict observations."""

    def reset(self) -> None:
        super().reset()
        self.action_masks = np.ones((self.buffer_size, self.n_envs, self.mask_dims), dtype=bool)


def maskable_ppo(env: Any, **kwargs: Any) -> Any:
    """sb3-contrib's MaskablePPO with GridPolicy and the bool-mask rollout buffer that fits `env`'s observation."""
    from sb3_contrib import MaskablePPO

    whole = isinstance(env.observation_space, spaces.Dict)
    kwargs.setdefault("rollout_buffer_class", BoolMaskDictRolloutBuffer if whole else BoolMaskRolloutBuffer)
    return MaskablePPO(GridPolicy, env, **kwargs)


def evaluate(
    model: Any,
    games: int = 200,
    opponents: Opponents = "random",
    seat: int | None = 0,
    deterministic: bool = False,
    seed: int = 12345,
    reward_mode: str = "rank",
) -> float:
    """The learner's mean reward over `games` games played by `model.predict` with masks, all games at once
    (with the observation the model was made for)."""
    observation = "dict" if isinstance(model.observation_space, spaces.Dict) else "planes"
    env = TeguloVecEnv(
        games, opponents=opponents, seat=seat, reward_mode=reward_mode, seed=seed, observation=observation
    )
    obs: Any = env.reset()
    rewards = np.full(games, np.nan)
    while np.isnan(rewards).any():
        actions, _ = model.predict(obs, action_masks=np.array(env.action_masks()), deterministic=deterministic)
        obs, reward, done, _ = env.step(actions)
        first = done & np.isnan(rewards)
        rewards[first] = reward[first]
    return float(rewards.mean())


assert (PLANES, SIDE, SIDE) == observation_space().shape
