"""MaskablePPO's learner steps per second on TeguloVecEnv, as it comes and with each of this package's changes.

    PYTHONPATH=build/test-py311/python python benchmarks/maskable_ppo.py --rounds 4

Each configuration is a MaskablePPO with GridPolicy on 16 games of 64 steps a rollout
(1,024 steps, 4 epochs of minibatches of 128), torch on one thread; a round gives each
one rollout and its update (`learn(1024)`), the configurations taking turns, so that a
machine whose load changes weighs on all alike. Printed: each one's learner steps per
second over the rounds after the first (a warm-up), and its speed against the first
(MaskablePPO as it comes: the flat planes, its masked softmax over all 36,400 actions,
float32 convolutions, float32 masks in its buffer).
"""

from __future__ import annotations

import argparse
import time
from typing import Any

import torch

from tegulo_rl.sb3 import TeguloVecEnv, maskable_ppo

CONFIGS = {
    "as it comes (planes, masked softmax, fp32, float masks)": ("planes", "masked", False, False),
    "legal-list distribution": ("planes", "legal", False, False),
    "legal-list distribution, bool masks": ("planes", "legal", False, True),
    "legal-list distribution, bool masks, bf16": ("planes", "legal", True, True),
    "the same on the dict observation": ("dict", "legal", True, True),
}


def model(observation: str, distribution: str, bf16: bool, bool_masks: bool) -> Any:
    env = TeguloVecEnv(16, opponents="random", seed=0, observation=observation)
    extra: dict[str, Any] = {} if bool_masks else {"rollout_buffer_class": None}
    return maskable_ppo(
        env,
        **extra,
        n_steps=64,
        batch_size=128,
        n_epochs=4,
        learning_rate=2e-3,
        seed=0,
        policy_kwargs={"distribution": distribution, "bf16": bf16},
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.distributions.Distribution.set_default_validate_args(False)
    models = {name: model(*config) for name, config in CONFIGS.items()}
    spent = dict.fromkeys(models, 0.0)
    for round_number in range(args.rounds):
        for name, m in models.items():
            start = time.perf_counter()
            m.learn(1024, reset_num_timesteps=False)
            if round_number > 0:
                spent[name] += time.perf_counter() - start
    steps = 1024 * (args.rounds - 1)
    first = steps / spent[next(iter(models))]
    for name in models:
        rate = steps / spent[name]
        print(f"  {name:58}: {rate:6.1f} learner steps/s, {rate / first:4.2f} x as it comes")


if __name__ == "__main__":
    main()
