"""Train sb3-contrib's MaskablePPO with GridPolicy on TeguloVecEnv, and measure what it learned.

    pip install 'tegulo-rl[sb3,arena]'
    python examples/sb3_maskable_ppo.py --minutes 10 --plot sb3_curve.png

The learner plays seat 0 against three built-in opponents ("random" by default).
Before training and after `--minutes` of it, the learner plays `--eval-games` games
(all at once), sampling its actions and taking its top choice (deterministic=True),
and the mean rank reward of each is printed (1 for first place, 0 for last). During
training it prints, every rollout, the mean rank reward of the games that ended in
it; the plot (needs matplotlib) shows those against the learner's steps, with the
evaluations.

It trains on the learner's final score (`--reward-mode score`, scaled to unit size
by SB3's VecNormalize), not on its place: the score tells a game lost by two cells
from one lost by forty, and the place follows it. On this machine that learned
faster than the rank reward itself (see docs/guides/training.md).

The model comes from `tegulo_rl.sb3.maskable_ppo`: GridPolicy on the whole position
(`--observation dict`), its distribution over the legal actions alone, its
convolutions in bfloat16 where the processor has bf16 matrix units, and masks kept
as bool in the rollout buffer. `--distribution masked --bf16 off --float-masks` is
MaskablePPO as it comes, to compare.

Defaults fit a 2-core machine: 16 games of 64 steps a rollout (1,024 steps, whose
masks and observations take about 45 MB in the buffer) and torch on one thread (on
a loaded machine, more threads fight over the cores and each op gets slower).
"""

from __future__ import annotations

import argparse
import json
import time
from typing import Any

import numpy as np
import torch
from stable_baselines3.common.callbacks import BaseCallback
from stable_baselines3.common.vec_env import VecNormalize

from tegulo_rl.sb3 import TeguloVecEnv, evaluate, maskable_ppo


def rank_reward(scores: np.ndarray, seat: int) -> float:
    """The rank reward of `seat` from a game's final scores: 1, 2/3, 1/3, 0 by place, ties sharing."""
    others = np.delete(scores, seat)
    return float(((others < scores[seat]).sum() + 0.5 * (others == scores[seat]).sum()) / len(others))


class Clock(BaseCallback):
    """Stops training after `seconds`, and keeps the mean rank reward of the games each rollout finished."""

    def __init__(self, seconds: float) -> None:
        super().__init__()
        self.seconds = seconds
        self.start = time.monotonic()
        self.rewards: list[float] = []
        self.curve: list[tuple[int, float]] = []

    def _on_step(self) -> bool:
        for info in self.locals["infos"]:
            if "episode" in info:
                self.rewards.append(rank_reward(info["scores"], info["seat"]))
        return time.monotonic() - self.start < self.seconds

    def _on_rollout_end(self) -> None:
        if self.rewards:
            mean = float(np.mean(self.rewards))
            self.curve.append((self.num_timesteps, mean))
            elapsed = time.monotonic() - self.start
            rate = self.num_timesteps / elapsed
            print(
                f"{elapsed:7.1f} s  {self.num_timesteps:8d} steps  {rate:6.1f} steps/s  "
                f"rollout games {len(self.rewards):4d}  mean rank reward {mean:.3f}",
                flush=True,
            )
            self.rewards = []


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="training time (default 10)")
    parser.add_argument("--opponents", default="random", help="the three opponents' player (default random)")
    parser.add_argument("--envs", type=int, default=16, help="games stepped together (default 16)")
    parser.add_argument("--n-steps", type=int, default=64, help="steps per game per rollout (default 64)")
    parser.add_argument("--batch-size", type=int, default=128)
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--channels", type=int, default=32, help="the trunk's channels (default 32)")
    parser.add_argument("--observation", default="dict", choices=("dict", "planes"))
    parser.add_argument("--distribution", default="legal", choices=("legal", "masked"))
    parser.add_argument("--bf16", default="auto", choices=("auto", "on", "off"), help="bfloat16 convolutions")
    parser.add_argument("--float-masks", action="store_true", help="MaskablePPO's own float32 mask buffer")
    parser.add_argument(
        "--reward-mode",
        default="score",
        help="the reward trained on: score (default; scaled by VecNormalize), rank or win_share; "
        "the evaluations and the curve always measure rank",
    )
    parser.add_argument("--eval-games", type=int, default=200)
    parser.add_argument("--torch-threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", default=None, help="write the learning curve to this PNG file")
    parser.add_argument("--json", default=None, help="write the figures to this JSON file")
    parser.add_argument("--save", default=None, help="save the trained model to this file")
    args = parser.parse_args()

    torch.set_num_threads(args.torch_threads)
    # A Categorical over 36,400 actions checks its probabilities on every update: a
    # few percent of the time, for a check MaskablePPO's masks already make.
    torch.distributions.Distribution.set_default_validate_args(False)
    env: Any = TeguloVecEnv(
        args.envs,
        opponents=args.opponents,
        seat=0,
        reward_mode=args.reward_mode,
        seed=args.seed,
        observation=args.observation,
    )
    if args.reward_mode == "score":
        # Final scores run to tens of points: scaled to unit size, so that the value's
        # loss does not swamp the policy's in the shared trunk. VecNormalize passes
        # the masks through.
        env = VecNormalize(env, norm_obs=False, norm_reward=True, gamma=1.0)
    bf16 = {"auto": None, "on": True, "off": False}[args.bf16]
    extra: dict[str, Any] = {"rollout_buffer_class": None} if args.float_masks else {}
    model = maskable_ppo(
        env,
        **extra,
        n_steps=args.n_steps,
        batch_size=args.batch_size,
        n_epochs=args.epochs,
        learning_rate=args.lr,
        gamma=1.0,
        gae_lambda=0.95,
        policy_kwargs={"channels": args.channels, "distribution": args.distribution, "bf16": bf16},
        seed=args.seed,
        verbose=0,
    )
    params = sum(p.numel() for p in model.policy.parameters())
    print(
        f"GridPolicy: {params} parameters, {args.observation} observation, {args.distribution} distribution, "
        f"{'bf16' if model.policy.bf16 else 'fp32'}, {type(model.rollout_buffer).__name__}; "
        f"{args.envs} games x {args.n_steps} steps a rollout",
        flush=True,
    )

    def measure(label: str) -> dict[str, float]:
        t = time.monotonic()
        sampled = evaluate(model, args.eval_games, args.opponents, seat=0, deterministic=False)
        top = evaluate(model, args.eval_games, args.opponents, seat=0, deterministic=True)
        print(
            f"{label}: mean rank reward over {args.eval_games} games against three {args.opponents}: "
            f"sampled {sampled:.3f}, top choice {top:.3f} ({time.monotonic() - t:.0f} s)",
            flush=True,
        )
        return {"sampled": sampled, "top_choice": top}

    before = measure("before training")
    clock = Clock(args.minutes * 60)
    model.learn(total_timesteps=10**12, callback=clock)
    steps = model.num_timesteps
    elapsed = time.monotonic() - clock.start
    print(f"trained {steps} steps in {elapsed:.0f} s ({steps / elapsed:.1f} steps/s)", flush=True)
    after = measure("after training")
    figures: dict[str, Any] = {
        "opponents": args.opponents,
        "reward_mode": args.reward_mode,
        "observation": args.observation,
        "distribution": args.distribution,
        "bf16": model.policy.bf16,
        "bool_masks": not args.float_masks,
        "minutes": args.minutes,
        "steps": steps,
        "parameters": params,
        "before": before,
        "after": after,
        "curve": clock.curve,
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    if args.save:
        model.save(args.save)
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        if clock.curve:
            x, y = zip(*clock.curve, strict=True)
            ax.plot(x, y, label="training games (sampled)")
        for key, marker in (("sampled", "o"), ("top_choice", "s")):
            ax.plot([0, steps], [before[key], after[key]], marker, linestyle="none", label=f"evaluation, {key}")
        ax.set_xlabel("learner steps")
        ax.set_ylabel(f"mean rank reward against three {args.opponents}")
        ax.set_title("MaskablePPO + GridPolicy on TeguloVecEnv")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"curve written to {args.plot}")


if __name__ == "__main__":
    main()
