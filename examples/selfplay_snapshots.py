"""Train against snapshots of yourself: PPO whose opponents are drawn from a pool the learner keeps adding to.

    pip install 'tegulo-rl[gymnasium,arena]' torch==2.13.0
    python examples/selfplay_snapshots.py --minutes 10 --plot selfplay_curve.png

The learner is `tegulo_rl.grid.GridNet` on the whole position (the dict
observation), its distribution over the legal lists alone. Its three opponents in
every game are drawn from a `tegulo_rl.pool.Pool` that starts as `--start` (random
and greedy by default); every `--snapshot-every` updates a frozen copy of the
learner joins the pool as a policy (`GridNet.policy_player`), weighted
`--snapshot-weight`, so that later games meet ever stronger versions of it. The
vector env calls each snapshot once per batch step for all the games it plays.

Before and after training the learner (sampling its actions) is rated by the fixed
ladder (`tegulo_rl.ladder.evaluate`, rungs `--ladder`, `--eval-games` games each):
the same Elo-like scale, anchored at heuristic = 1000, as `python -m tegulo_rl
evaluate`. During training each update prints the mean rank reward of the games that
ended in it (against whatever the pool drew, so it falls as the snapshots get
stronger) and the pool's size.
"""

from __future__ import annotations

import argparse
import json
import time

import numpy as np
import torch
from torch import nn

from tegulo_rl.distribution import LegalCategorical, bf16_default
from tegulo_rl.grid import GridNet, as_tensors, legal_mask
from tegulo_rl.gym import TeguloVectorEnv
from tegulo_rl.ladder import evaluate
from tegulo_rl.pool import Pool


def rank_reward(scores: np.ndarray, seat: int) -> float:
    others = np.delete(scores, seat)
    return float(((others < scores[seat]).sum() + 0.5 * (others == scores[seat]).sum()) / len(others))


def rate(net: GridNet, games: int, ladder: list[str], label: str) -> dict[str, object]:
    t = time.monotonic()
    result = evaluate(net.policy_player("learner", seed=1), games, ladder=ladder)
    rungs = {r.opponent: round(r.reward, 3) for r in result.rungs}
    print(
        f"{label}: ladder rating {result.rating:.0f} ± {result.rating_half_width:.0f} "
        f"(mean rank reward by rung {rungs}; {time.monotonic() - t:.0f} s)",
        flush=True,
    )
    return {"rating": result.rating, "half_width": result.rating_half_width, "rungs": rungs}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--start", default="random,greedy", help="the pool's first members, by name")
    p.add_argument("--snapshot-every", type=int, default=10, help="updates between snapshots")
    p.add_argument("--snapshot-weight", type=float, default=2.0)
    p.add_argument("--envs", type=int, default=16)
    p.add_argument("--n-steps", type=int, default=64)
    p.add_argument("--minibatches", type=int, default=8)
    p.add_argument("--epochs", type=int, default=4)
    p.add_argument("--lr", type=float, default=2e-3)
    p.add_argument("--clip", type=float, default=0.2)
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--channels", type=int, default=32)
    p.add_argument("--ladder", default="random,greedy,heuristic", help="the ladder's rungs to rate against")
    p.add_argument("--eval-games", type=int, default=100, help="games against each rung")
    p.add_argument("--torch-threads", type=int, default=1)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--plot", default=None)
    p.add_argument("--json", default=None)
    args = p.parse_args()
    torch.set_num_threads(args.torch_threads)
    torch.manual_seed(args.seed)
    ladder = args.ladder.split(",")
    net = GridNet(whole=True, channels=args.channels, bf16=bf16_default())
    optimizer = torch.optim.Adam(net.parameters(), lr=args.lr, eps=1e-5)
    n, T = args.envs, args.n_steps

    before = rate(net, args.eval_games, ladder, "before training")
    pool = Pool(args.start.split(","))
    env = TeguloVectorEnv(n, opponents=pool, seat=None, legal="list", observation="dict")
    obs, info = env.reset(seed=args.seed)
    ended_last = np.zeros(n, dtype=bool)  # games showing their final position: their step only resets them
    start, steps, updates, curve, finished = time.monotonic(), 0, 0, [], []
    while time.monotonic() - start < args.minutes * 60:
        rollout = []
        for _ in range(T):
            lists = (info["legal_actions"], info["legal_offsets"])
            mask = legal_mask(*lists)
            inputs = as_tensors(obs)
            with torch.no_grad():
                logits, value = net(inputs, mask)
                legal = LegalCategorical(logits, mask)
                action = legal.sample()
                logp = legal.log_prob(action)
            live = torch.from_numpy(~ended_last)
            rollout.append((inputs, mask, action, logp, value, live))
            obs, reward, terminated, _, info = env.step(action.numpy())
            rollout[-1] += (torch.from_numpy(reward), torch.from_numpy(terminated.astype(np.float32)))
            finished += [rank_reward(info["scores"][i], int(info["seat"][i])) for i in np.flatnonzero(terminated)]
            steps += int(live.sum())
            ended_last = terminated
        with torch.no_grad():
            _, next_value = net(as_tensors(obs), legal_mask(info["legal_actions"], info["legal_offsets"]))
        # GAE over the learner's steps; a game's end cuts the bootstrap, its reset step is not learned from.
        advantages, last = [None] * T, torch.zeros(n)
        for t in reversed(range(T)):
            _, _, _, _, value, _, reward, done = rollout[t]
            following = next_value if t == T - 1 else rollout[t + 1][4]
            delta = reward + following * (1 - done) - value
            last = delta + args.gae_lambda * (1 - done) * last
            advantages[t] = last
        for _ in range(args.epochs):
            for chunk in torch.randperm(T).chunk(args.minibatches):
                picked = [rollout[int(t)] for t in chunk]
                inputs = {k: torch.cat([r[0][k] for r in picked]) for k in picked[0][0]}
                mask = torch.cat([r[1] for r in picked])
                logits, value = net(inputs, mask)
                legal = LegalCategorical(logits, mask)
                action, old_logp, old_value, live = (torch.cat([r[i] for r in picked]) for i in (2, 3, 4, 5))
                adv = torch.cat([advantages[int(t)] for t in chunk])
                ret = adv + old_value
                adv = (adv - adv[live].mean()) / (adv[live].std() + 1e-8)
                ratio = (legal.log_prob(action) - old_logp).exp()
                pg = torch.max(-adv * ratio, -adv * ratio.clamp(1 - args.clip, 1 + args.clip))
                loss = (pg + 0.5 * (value - ret) ** 2)[live].mean()
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(net.parameters(), 0.5)
                optimizer.step()
        updates += 1
        if updates % args.snapshot_every == 0:
            pool.add(net.policy_player(f"snapshot {updates}", seed=updates), weight=args.snapshot_weight)
        elapsed = time.monotonic() - start
        if finished:
            curve.append((steps, float(np.mean(finished)), len(pool)))
            print(
                f"{elapsed:7.1f} s  {steps:8d} steps  {steps / elapsed:6.1f} steps/s  games {len(finished):4d}  "
                f"mean rank reward {np.mean(finished):.3f}  pool of {len(pool)}",
                flush=True,
            )
            finished = []
    elapsed = time.monotonic() - start
    print(f"trained {steps} steps in {elapsed:.0f} s ({steps / elapsed:.1f} steps/s), pool of {len(pool)}", flush=True)
    after = rate(net, args.eval_games, ladder, "after training")
    figures = {"steps": steps, "seconds": elapsed, "pool": len(pool), "before": before, "after": after, "curve": curve}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        if curve:
            x, y, _ = zip(*curve, strict=True)
            ax.plot(x, y, label="training games, against the pool")
        ax.set_xlabel("learner steps")
        ax.set_ylabel("mean rank reward")
        ax.set_title(f"self-snapshots: ladder rating {before['rating']:.0f} -> {after['rating']:.0f}")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"curve written to {args.plot}")


if __name__ == "__main__":
    main()
