"""Train RLlib's PPO with action masking on TeguloMultiAgentEnv, on a local Ray bound to 127.0.0.1.

    pip install 'tegulo-rl[rllib,arena]'
    python examples/rllib_ppo.py --iterations 5 --plot rllib_curve.png

One policy ("shared") learns; by default it plays seat 0 against three built-in
opponents (`--opponents random`; `--opponents none` makes all four seats its own, in
self-play). Each iteration prints the learner's mean rank reward over the games it
finished (1 for first place, 0 for last) and the steps sampled so far; the plot
(needs matplotlib) shows one against the other. The env refuses any illegal action,
so a run that finishes played none.
"""

from __future__ import annotations

import argparse
import json
import time

from tegulo_rl import selfplay
from tegulo_rl.rllib import ppo_config


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--opponents", default="random", help="the fixed opponents' player, or 'none' for self-play")
    parser.add_argument("--batch", type=int, default=512, help="learner steps per iteration (default 512)")
    parser.add_argument("--hidden", type=int, default=64, help="units of the dense layers (default 64)")
    parser.add_argument("--plot", default=None, help="write the learning curve to this PNG file")
    parser.add_argument("--json", default=None, help="write the figures to this JSON file")
    args = parser.parse_args()

    env_config = {} if args.opponents == "none" else {"opponents": args.opponents, "seat": 0}
    curve = []
    with selfplay.local_ray(num_cpus=2):
        config = (
            ppo_config(env_config, hidden=args.hidden)
            .env_runners(num_env_runners=0, rollout_fragment_length=64)
            .training(train_batch_size_per_learner=args.batch, minibatch_size=128, num_epochs=2, lr=1e-3)
            .learners(num_learners=0)
        )
        algo = config.build_algo()
        start = time.monotonic()
        try:
            for i in range(args.iterations):
                result = algo.train()["env_runners"]
                steps = int(result["num_env_steps_sampled_lifetime"])
                reward = float(result.get("agent_episode_returns_mean", {}).get("player_0", float("nan")))
                if args.opponents == "none":
                    reward = float(result.get("episode_return_mean", float("nan"))) / 4
                curve.append((steps, reward))
                print(
                    f"iteration {i + 1}: {steps} steps, {time.monotonic() - start:.0f} s, "
                    f"mean rank reward {reward:.3f}",
                    flush=True,
                )
        finally:
            algo.stop()
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"opponents": args.opponents, "curve": curve}, f, indent=1)
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        ax.plot(*zip(*curve, strict=True), marker="o")
        ax.set_xlabel("steps sampled")
        ax.set_ylabel(f"mean rank reward against {args.opponents}")
        ax.set_title("RLlib PPO with action masking on TeguloMultiAgentEnv")
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"curve written to {args.plot}")


if __name__ == "__main__":
    main()
