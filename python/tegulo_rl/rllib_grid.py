"""The grid RLModule for RLlib's PPO: convolutions over the board and one logit per orientation and cell, masked.

`GridModule` reads `TeguloMultiAgentEnv`'s observations, the flat planes
(`observation="planes"`, 13,200 floats that it folds back into 33 planes of 20 x 20)
or the whole position (`observation="dict"`), with `tegulo_rl.grid.GridNet`: a
torso of 3 x 3 convolutions that keep the 20 x 20 cells, a 91-channel convolution
whose flattened output is the 36,400 logits in the action grid's own order (illegal
ones set to the lowest float, so that softmax, entropy and KL stay finite), and a
small value head. The convolutions run in bfloat16 where the processor has bf16
matrix units (`"bf16"` in the model config; None, the default, decides so).

Its action distribution, `LegalTorchCategorical`, is RLlib's categorical computed
over each position's legal actions alone (`tegulo_rl.distribution`): the same
log-probabilities, entropies, KL and samples, without a softmax over all 36,400
actions at every step of the learner. Needs torch.
"""

from __future__ import annotations

from typing import Any

from ray.rllib.core.columns import Columns
from ray.rllib.core.distribution.torch.torch_distribution import TorchCategorical
from ray.rllib.core.rl_module.apis.value_function_api import ValueFunctionAPI
from ray.rllib.core.rl_module.torch import TorchRLModule

from tegulo_rl.distribution import LegalCategorical, bf16_default
from tegulo_rl.grid import LOWEST, GridNet


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
