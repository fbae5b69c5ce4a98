"""The grid RLModule for RLlib's PPO: convolutions over the board and one logit per orientation and cell, masked.

`GridModule` reads `TeguloMultiAgentEnv`'s observations, the flat planes
(`observation="planes"`, 13,200 floats that it folds back into 33 planes of 20 x 20)
or the whole position (`observation="dict"`: the board's 12 planes, and the pieces
and done flags, which a linear layer adds to the first convolution's channels at
every cell). The torso is `layers` 3 x 3 convolutions of `channels` channels that
keep the 20 x 20 cells; the policy head is one more 3 x 3 convolution with 91
output channels, whose flattened output is the 36,400 logits in the action grid's
own order, illegal ones set to the lowest float (so that softmax, entropy and KL
stay finite); the value head is a 1 x 1 convolution to 4 channels and a dense layer
of `hidden` units. The convolutions run in bfloat16 where the processor has bf16
matrix units (`"bf16"` in the model config; None, the default, decides so).

Its action distribution, `LegalTorchCategorical`, is RLlib's categorical computed
over each position's legal actions alone (`tegulo_rl.distribution`): the same
log-probabilities, entropies, KL and samples, without a softmax over all 36,400
actions at every step of the learner. Needs torch.
"""

from __future__ import annotations

from typing import Any

import torch
from ray.rllib.core.columns import Columns
from ray.rllib.core.distribution.torch.torch_distribution import TorchCategorical
from ray.rllib.core.rl_module.apis.value_function_api import ValueFunctionAPI
from ray.rllib.core.rl_module.torch import TorchRLModule
from torch import nn

from tegulo_rl.distribution import LegalCategorical, bf16_default
from tegulo_rl.encoding import BOARD_PLANES, KINDS, PLANES, SEATS, SIDE

ORIENTATIONS = 91
LOWEST = torch.finfo(torch.float32).min


class GridNet(nn.Module):
    """The torso and the two heads: observations (planes or dict) to logits (N, 36400) and values (N,)."""

    def __init__(self, whole: bool, channels: int = 32, layers: int = 3, hidden: int = 64, bf16: bool = False) -> None:
        super().__init__()
        self.whole = whole
        self.bf16 = bf16
        self.first = nn.Conv2d(BOARD_PLANES if whole else PLANES, channels, 3, padding=1)
        self.vector = nn.Linear(SEATS * KINDS + SEATS, channels) if whole else None
        self.torso = nn.Sequential(
            *[m for _ in range(layers - 1) for m in (nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU())]
        )
        self.policy = nn.Conv2d(channels, ORIENTATIONS, 3, padding=1)
        self.value = nn.Sequential(
            nn.Conv2d(channels, 4, 1),
            nn.ReLU(),
            nn.Flatten(1),
            nn.Linear(4 * SIDE * SIDE, hidden),
            nn.ReLU(),
            nn.Linear(hidden, 1),
        )
        nn.init.orthogonal_(self.policy.weight, gain=0.01)
        nn.init.zeros_(self.policy.bias)  # type: ignore[arg-type]

    def features(self, observations: Any) -> torch.Tensor:
        """The torso's output (N, channels, 20, 20), in bfloat16 when the net runs in it."""
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            if self.vector is not None:
                vector = torch.cat([observations["pieces"].flatten(1), observations["done"].flatten(1)], dim=1)
                x = self.first(observations["board"].float()) + self.vector(vector.float())[:, :, None, None]
            else:
                x = self.first(observations.float().reshape(-1, PLANES, SIDE, SIDE))
            out: torch.Tensor = self.torso(torch.relu(x))
        return out

    def logits(self, features: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            out = self.policy(features).flatten(1)
        return out.float().masked_fill(mask <= 0, LOWEST)

    def values(self, features: torch.Tensor) -> torch.Tensor:
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bf16):
            out: torch.Tensor = self.value(features)
        return out.float().squeeze(-1)


class LegalTorchCategorical(TorchCategorical):  # type: ignore[misc]
    """RLlib's categorical over logits whose illegal entries are LOWEST, computed over the legal ones alone."""

    def __init__(self, logits: Any = None, probs: Any = None) -> None:
        super().__init__(logits=logits)
        self._legal = LegalCategorical(logits, logits > LOWEST)

    def _get_torch_distribution(self, logits: Any = None, probs: Any = None) -> Any:
        return None  # every method below reads the legal entries instead

    def logp(self, value: Any, **kwargs: Any) -> Any:
        return self._legal.log_prob(value)

    def entropy(self, **kwargs: Any) -> Any:
        return self._legal.entropy()

    def kl(self, other: Any, **kwargs: Any) -> Any:
        return self._legal.kl(other._legal)

    def sample(self, *, sample_shape: Any = None, **kwargs: Any) -> Any:
        if sample_shape:
            raise ValueError("LegalTorchCategorical draws one sample per row")
        return self._legal.sample()


class GridModule(TorchRLModule, ValueFunctionAPI):  # type: ignore[misc]
    """PPO's RLModule on the action grid: see the module's documentation. `model_config` may set
    "channels" (32), "layers" (3), "hidden" (64) and "bf16" (None: where the processor has AMX)."""

    def setup(self) -> None:
        config: dict[str, Any] = dict(self.model_config or {})  # type: ignore[arg-type]
        assert self.observation_space is not None
        observations = self.observation_space["observations"]  # type: ignore[index]
        whole = hasattr(observations, "spaces")
        bf16 = config.get("bf16")
        self.net = GridNet(
            whole,
            channels=int(config.get("channels", 32)),
            layers=int(config.get("layers", 3)),
            hidden=int(config.get("hidden", 64)),
            bf16=bf16_default() if bf16 is None else bool(bf16),
        )

    def get_exploration_action_dist_cls(self) -> type[LegalTorchCategorical]:
        return LegalTorchCategorical

    def get_inference_action_dist_cls(self) -> type[LegalTorchCategorical]:
        return LegalTorchCategorical

    def get_train_action_dist_cls(self) -> type[LegalTorchCategorical]:
        return LegalTorchCategorical

    def _forward(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        obs = batch[Columns.OBS]
        features = self.net.features(obs["observations"])
        return {Columns.ACTION_DIST_INPUTS: self.net.logits(features, obs["action_mask"])}

    def _forward_train(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        obs = batch[Columns.OBS]
        features = self.net.features(obs["observations"])
        return {
            Columns.ACTION_DIST_INPUTS: self.net.logits(features, obs["action_mask"]),
            Columns.EMBEDDINGS: features,
        }

    def compute_values(self, batch: dict[str, Any], embeddings: Any = None) -> Any:
        if embeddings is None:
            embeddings = self.net.features(batch[Columns.OBS]["observations"])
        return self.net.values(embeddings)
