"""Single-file PPO in torch on the Gymnasium vector env, in CleanRL's style, with the softmax over legal actions only.

    pip install 'tegulo-rl[gymnasium,arena]' torch==2.13.0
    python examples/cleanrl_ppo.py --minutes 10 --plot cleanrl_curve.png
    python examples/cleanrl_ppo.py --minutes 1 --dense      # the same over all 36,400 actions, masked

The network is GridPolicy's shape: 3 x 3 convolutions over the 33 planes and a
91-channel 3 x 3 convolution as the action head (one logit per orientation and
cell). The env reports the legal actions as lists (`legal="list"`): the policy
gathers the logits of those few hundred actions and takes its softmax over them
alone, and the rollout keeps the lists instead of 36,400-entry masks. `--dense`
takes the softmax over all actions with the mask instead, to measure what the lists
buy. It trains on the final score (`--reward-mode score`, scaled by Gymnasium's
NormalizeReward): a finer signal than the place alone, which the rank follows. It
prints the learner's mean rank reward against the opponents before and
after training (sampled and top choice, over `--eval-games` games) and, every
update, the mean rank reward of the games that ended and the learner steps per second.
"""

from __future__ import annotations

import argparse
import json
import time

import gymnasium
import numpy as np
import torch
from torch import nn

import tegulo_rl  # noqa: F401  (registers tegulo_rl/Tegulo-v0)


class Net(nn.Module):
    def __init__(self, planes: int = 33, channels: int = 32) -> None:
        super().__init__()
        self.trunk = nn.Sequential(
            nn.Conv2d(planes, channels, 3, padding=1), nn.ReLU(),
            nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU(),
            nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU(),
        )  # fmt: skip
        self.head = nn.Conv2d(channels, 91, 3, padding=1)
        self.value = nn.Sequential(nn.Conv2d(channels, 2, 1), nn.ReLU(), nn.Flatten(), nn.Linear(800, 64), nn.ReLU(),
                                   nn.Linear(64, 1))  # fmt: skip

    def forward(self, obs: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        h = self.trunk(obs.float())
        return self.head(h).flatten(1), self.value(h).squeeze(1)


def rank_reward(scores: np.ndarray, seat: int) -> float:
    """The rank reward of `seat` from a game's final scores: 1, 2/3, 1/3, 0 by place, ties sharing."""
    others = np.delete(scores, seat)
    return float(((others < scores[seat]).sum() + 0.5 * (others == scores[seat]).sum()) / len(others))


def segment_log_softmax(logits: torch.Tensor, segment: torch.Tensor, n: int) -> torch.Tensor:
    """Log-softmax of `logits` within each segment (segment[i]: the game of entry i)."""
    top = torch.full((n,), -torch.inf).scatter_reduce(0, segment, logits, "amax", include_self=True)
    shifted = logits - top[segment].detach()
    total = torch.zeros(n).index_add(0, segment, shifted.exp())
    return shifted - total.log()[segment]


def legal_policy(net: Net, obs: torch.Tensor, actions: torch.Tensor, offsets: torch.Tensor):
    """Per legal entry: its game, its log-probability; and the values. Lists: actions, offsets (N + 1,)."""
    logits, value = net(obs)
    n = len(obs)
    segment = torch.repeat_interleave(torch.arange(n), offsets.diff())
    logp = segment_log_softmax(logits[segment, actions], segment, n)
    return segment, logp, value


def pick(segment: torch.Tensor, logp: torch.Tensor, n: int, sample: bool) -> torch.Tensor:
    """The entry chosen in each segment: sampled by Gumbel-max, or the top one."""
    keys = logp - torch.log(-torch.log(torch.rand_like(logp))) if sample else logp
    best = torch.full((n,), -torch.inf).scatter_reduce(0, segment, keys, "amax", include_self=True)
    hit = torch.nonzero(keys == best[segment]).squeeze(1)
    first = torch.full((n,), len(keys), dtype=torch.long).scatter_reduce(0, segment[hit], hit, "amin")
    return first


def evaluate(net: Net, games: int, opponents: str, sample: bool, seed: int = 12345) -> float:
    env = gymnasium.make_vec("tegulo_rl/Tegulo-v0", num_envs=games, vectorization_mode="vector_entry_point",
                             opponents=opponents, seat=0, legal="list")  # fmt: skip
    obs, info = env.reset(seed=seed)
    rewards = np.full(games, np.nan)
    with torch.no_grad():
        while np.isnan(rewards).any():
            actions_t = torch.tensor(info["legal_actions"])
            offsets = torch.tensor(info["legal_offsets"])
            empty = offsets.diff() == 0
            seg, logp, _ = legal_policy(net, torch.as_tensor(obs), actions_t, offsets)
            at = pick(seg, logp, games, sample)
            actions = np.where(empty.numpy(), 0, np.append(info["legal_actions"], 0)[at.numpy()])
            obs, reward, term, _, info = env.step(actions)
            first = term & np.isnan(rewards)
            rewards[first] = reward[first]
    return float(rewards.mean())


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--opponents", default="random")
    p.add_argument("--envs", type=int, default=16)
    p.add_argument("--n-steps", type=int, default=64)
    p.add_argument("--minibatches", type=int, default=8)
    p.add_argument("--epochs", type=int, default=4)
    p.add_argument("--lr", type=float, default=2e-3)
    p.add_argument("--clip", type=float, default=0.2)
    p.add_argument("--gae-lambda", type=float, default=0.95)
    p.add_argument("--reward-mode", default="score",
                   help="the reward trained on: score (default; scaled by NormalizeReward), rank or win_share; "
                        "the evaluations and the curve always measure rank")  # fmt: skip
    p.add_argument("--dense", action="store_true", help="softmax over all 36,400 actions with the mask")
    p.add_argument("--eval-games", type=int, default=200)
    p.add_argument("--torch-threads", type=int, default=1)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--plot", default=None)
    p.add_argument("--json", default=None)
    args = p.parse_args()
    torch.set_num_threads(args.torch_threads)
    torch.manual_seed(args.seed)
    net = Net()
    optimizer = torch.optim.Adam(net.parameters(), lr=args.lr, eps=1e-5)
    n, T = args.envs, args.n_steps

    def measure(label: str) -> dict[str, float]:
        t = time.monotonic()
        scores = {
            key: evaluate(net, args.eval_games, args.opponents, key == "sampled") for key in ("sampled", "top_choice")
        }
        print(f"{label}: mean rank reward over {args.eval_games} games against three {args.opponents}: "
              f"sampled {scores['sampled']:.3f}, top choice {scores['top_choice']:.3f} ({time.monotonic() - t:.0f} s)",
              flush=True)  # fmt: skip
        return scores

    before = measure("before training")
    env = gymnasium.make_vec("tegulo_rl/Tegulo-v0", num_envs=n, vectorization_mode="vector_entry_point",
                             opponents=args.opponents, seat=0, reward_mode=args.reward_mode,
                             legal="both" if args.dense else "list")  # fmt: skip
    if args.reward_mode == "score":
        # Final scores run to tens of points: scaled to unit size, so that the value's loss
        # does not swamp the policy's in the shared trunk.
        env = gymnasium.wrappers.vector.NormalizeReward(env, gamma=1.0)
    obs, info = env.reset(seed=args.seed)
    start, steps, curve, finished = time.monotonic(), 0, [], []
    while time.monotonic() - start < args.minutes * 60:
        buf_obs = torch.zeros((T, n, 33, 20, 20), dtype=torch.uint8)
        buf_act, buf_logp = torch.zeros((T, n), dtype=torch.long), torch.zeros((T, n))
        buf_rew, buf_done, buf_val = torch.zeros((T, n)), torch.zeros((T, n)), torch.zeros((T, n))
        buf_live = torch.zeros((T, n), dtype=torch.bool)
        lists: list[tuple[torch.Tensor, torch.Tensor]] = []
        masks: list[torch.Tensor] = []
        for t in range(T):
            acts_t, offs = torch.tensor(info["legal_actions"]), torch.tensor(info["legal_offsets"])
            live = offs.diff() > 0  # games whose last step ended them have nothing to choose (NEXT_STEP autoreset)
            o = torch.as_tensor(obs)
            with torch.no_grad():
                if args.dense:
                    mask = torch.tensor(info["action_mask"])
                    mask[~live, 0] = True
                    logits, value = net(o)
                    dist = torch.distributions.Categorical(logits=logits.masked_fill(~mask, -1e9))
                    action = dist.sample()
                    logp = dist.log_prob(action)
                    masks.append(mask)
                else:
                    seg, lp, value = legal_policy(net, o, acts_t, offs)
                    at = pick(seg, lp, n, sample=True)
                    at_safe = torch.where(live, at, 0)
                    action = (
                        torch.where(live, acts_t[at_safe.clamp(max=max(len(acts_t) - 1, 0))], 0)
                        if len(acts_t)
                        else torch.zeros(n, dtype=torch.long)
                    )  # noqa: E501
                    logp = (
                        torch.where(live, lp[at_safe.clamp(max=max(len(lp) - 1, 0))], 0.0)
                        if len(lp)
                        else torch.zeros(n)
                    )  # noqa: E501
                    lists.append((acts_t, offs))
            buf_obs[t], buf_act[t], buf_logp[t], buf_val[t], buf_live[t] = o, action, logp, value, live
            obs, reward, term, _, info = env.step(action.numpy())
            buf_rew[t], buf_done[t] = torch.as_tensor(reward), torch.as_tensor(term, dtype=torch.float32)
            finished += [rank_reward(info["scores"][i], int(info["seat"][i])) for i in np.flatnonzero(term)]
            steps += int(live.sum())
        with torch.no_grad():
            _, next_value = net(torch.as_tensor(obs))
        # GAE over the learner's steps; a game's end cuts the bootstrap, its reset step is not learned from.
        adv = torch.zeros((T, n))
        last = torch.zeros(n)
        for t in reversed(range(T)):
            nxt = next_value if t == T - 1 else buf_val[t + 1]
            nonterminal = 1.0 - buf_done[t]
            delta = buf_rew[t] + nxt * nonterminal - buf_val[t]
            last = delta + args.gae_lambda * nonterminal * last
            adv[t] = last
        ret = adv + buf_val
        for _ in range(args.epochs):
            for chunk in torch.randperm(T).chunk(args.minibatches):
                o = buf_obs[chunk].flatten(0, 1)
                if args.dense:
                    logits, value = net(o)
                    mask = torch.stack([masks[int(t)] for t in chunk]).flatten(0, 1)
                    dist = torch.distributions.Categorical(logits=logits.masked_fill(~mask, -1e9))
                    new_logp, entropy = dist.log_prob(buf_act[chunk].flatten()), dist.entropy()
                else:
                    acts = torch.cat([lists[int(t)][0] for t in chunk])
                    sizes = torch.cat([lists[int(t)][1].diff() for t in chunk])
                    offs = torch.cat([torch.zeros(1, dtype=torch.long), sizes.cumsum(0)])
                    seg, lp, value = legal_policy(net, o, acts, offs)
                    chosen = acts == buf_act[chunk].flatten()[seg]
                    new_logp = torch.zeros(len(o)).index_add(0, seg[chosen], lp[chosen])
                    entropy = -torch.zeros(len(o)).index_add(0, seg, lp.exp() * lp)
                live = buf_live[chunk].flatten()
                a = adv[chunk].flatten()
                a = (a - a[live].mean()) / (a[live].std() + 1e-8)
                ratio = (new_logp - buf_logp[chunk].flatten()).exp()
                pg = torch.max(-a * ratio, -a * ratio.clamp(1 - args.clip, 1 + args.clip))
                v_loss = 0.5 * (value - ret[chunk].flatten()) ** 2
                loss = (pg + 0.5 * v_loss - 0.0 * entropy)[live].mean()
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(net.parameters(), 0.5)
                optimizer.step()
        elapsed = time.monotonic() - start
        if finished:
            curve.append((steps, float(np.mean(finished))))
            print(f"{elapsed:7.1f} s  {steps:8d} steps  {steps / elapsed:6.1f} steps/s  games {len(finished):4d}  "
                  f"mean rank reward {np.mean(finished):.3f}", flush=True)  # fmt: skip
            finished = []
    elapsed = time.monotonic() - start
    print(f"trained {steps} steps in {elapsed:.0f} s ({steps / elapsed:.1f} steps/s, "
          f"{'dense masks' if args.dense else 'legal lists'})", flush=True)  # fmt: skip
    after = measure("after training")
    figures = {
        "dense": args.dense,
        "reward_mode": args.reward_mode,
        "steps": steps,
        "seconds": elapsed,
        "before": before,
        "after": after,
        "curve": curve,
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(7, 4))
        if curve:
            ax.plot(*zip(*curve, strict=True), label="training games (sampled)")
        for key, marker in (("sampled", "o"), ("top_choice", "s")):
            ax.plot([0, steps], [before[key], after[key]], marker, linestyle="none", label=f"evaluation, {key}")
        ax.set_xlabel("learner steps")
        ax.set_ylabel(f"mean rank reward against three {args.opponents}")
        ax.set_title("single-file PPO on the Gymnasium vector env")
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot)
        print(f"curve written to {args.plot}")


if __name__ == "__main__":
    main()
