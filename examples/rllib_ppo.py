"""Train RLlib's PPO with the grid RLModule on TeguloMultiAgentEnv, on a local Ray bound to 127.0.0.1.

    pip install 'tegulo-rl[rllib,arena]' torch==2.13.0
    python examples/rllib_ppo.py --minutes 10 --plot rllib_curve.png

One policy ("shared") learns, with `ppo_config`'s default module (convolutions
over the board and a 91-channel convolution as the action head, masked) on the
whole position (`--observation dict`). By default it plays seat 0 against three
built-in opponents (`--opponents random`); `--opponents none` makes all four seats
its own, in self-play.

Before training and after it, the learner plays `--eval-games` games against three
`--eval-opponents` (random by default), all at once (`tegulo_rl.rllib.evaluate`),
sampling its actions and taking its top choice, and the mean rank reward of each is
printed (1 for first place, 0 for last). The curve: against fixed opponents, each
iteration's mean rank reward over the training games it finished; in self-play,
where the four seats' rank rewards always share 2 between them (so their mean says
nothing), an evaluation against `--eval-opponents` every `--eval-every` iterations.
The env refuses any illegal action, so a run that finishes played none.
"""

from __future__ import annotations

import argparse
import json
import time

from tegulo_rl import selfplay
from tegulo_rl.rllib import evaluate, ppo_config


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=10.0, help="training time (default 10)")
    parser.add_argument("--iterations", type=int, default=None, help="stop after this many iterations instead")
    parser.add_argument("--opponents", default="random", help="the fixed opponents' player, or 'none' for self-play")
    parser.add_argument("--observation", default="dict", choices=("dict", "planes"))
    parser.add_argument("--module", default="grid", choices=("grid", "dense"))
    parser.add_argument("--reward-mode", default="rank", help="the reward trained on (default rank)")
    parser.add_argument("--batch", type=int, default=1024, help="learner steps per iteration (default 1024)")
    parser.add_argument("--minibatch", type=int, default=128)
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--hidden", type=int, default=64, help="units of the value head's (or dense module's) layers")
    parser.add_argument("--eval-games", type=int, default=200)
    parser.add_argument("--eval-opponents", default="random")
    parser.add_argument("--eval-every", type=int, default=5, help="self-play: iterations between evaluations")
    parser.add_argument("--torch-threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", default=None, help="write the learning curve to this PNG file")
    parser.add_argument("--json", default=None, help="write the figures to this JSON file")
    args = parser.parse_args()

    import torch

    torch.set_num_threads(args.torch_threads)
    selfplay_mode = args.opponents == "none"
    env_config = {"observation": args.observation, "reward_mode": args.reward_mode}
    if not selfplay_mode:
        env_config.update(opponents=args.opponents, seat=0)
    curve: list[tuple[int, float]] = []
    with selfplay.local_ray(num_cpus=2):
        config = (
            ppo_config(env_config, hidden=args.hidden, module=args.module, channels=args.channels)
            .env_runners(num_env_runners=0, rollout_fragment_length=64)
            .training(
                train_batch_size_per_learner=args.batch,
                minibatch_size=args.minibatch,
                num_epochs=args.epochs,
                lr=args.lr,
                gamma=1.0,
                lambda_=0.95,
                grad_clip=0.5,
            )
            .learners(num_learners=0)
            .debugging(seed=args.seed)
        )
        algo = config.build_algo()
        module = algo.get_module("shared")

        def measure(label: str) -> dict[str, float]:
            t = time.monotonic()
            scores = {
                key: evaluate(module, args.eval_games, args.eval_opponents, sample=key == "sampled")
                for key in ("sampled", "top_choice")
            }
            print(
                f"{label}: mean rank reward over {args.eval_games} games against three {args.eval_opponents}: "
                f"sampled {scores['sampled']:.3f}, top choice {scores['top_choice']:.3f} "
                f"({time.monotonic() - t:.0f} s)",
                flush=True,
            )
            return scores

        before = measure("before training")
        start = time.monotonic()
        iteration, steps = 0, 0
        try:
            while time.monotonic() - start < args.minutes * 60:
                if args.iterations is not None and iteration >= args.iterations:
                    break
                result = algo.train()["env_runners"]
                iteration += 1
                steps = int(result["num_env_steps_sampled_lifetime"])
                if selfplay_mode:
                    if iteration % args.eval_every != 0:
                        continue
                    reward = evaluate(algo.get_module("shared"), args.eval_games, args.eval_opponents, seed=iteration)
                else:
                    returns = result.get("agent_episode_returns_mean", {})
                    reward = float(returns.get("player_0", float("nan")))
                curve.append((steps, reward))
                elapsed = time.monotonic() - start
                print(
                    f"iteration {iteration}: {steps} steps, {elapsed:.0f} s, {steps / elapsed:.1f} steps/s, "
                    f"mean rank reward {reward:.3f}",
                    flush=True,
                )
            elapsed = time.monotonic() - start
            print(f"trained {steps} steps in {elapsed:.0f} s ({steps / max(elapsed, 1e-9):.1f} steps/s)", flush=True)
            module = algo.get_module("shared")
            after = measure("after training")
        finally:
            algo.stop()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                {
                    "opponents": args.opponents,
                    "observation": args.observation,
                    "module": args.module,
                    "steps": steps,
                    "seconds": elapsed,
                    "before": before,
                    "after": after,
                    "curve": curve,
                },
                f,
                indent=1,
            )
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        label = f"evaluation against {args.eval_opponents}" if selfplay_mode else "training games"
        if curve:
            ax.plot(*zip(*curve, strict=True), marker="o", label=label)
        for key, marker in (("sampled", "o"), ("top_choice", "s")):
            ax.plot([0, steps], [before[key], after[key]], marker, linestyle="none", label=f"evaluation, {key}")
        ax.set_xlabel("steps sampled")
        ax.set_ylabel("mean rank reward")
        ax.set_title(f"RLlib PPO, grid module, {'self-play' if selfplay_mode else 'against ' + args.opponents}")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"curve written to {args.plot}")


if __name__ == "__main__":
    main()
