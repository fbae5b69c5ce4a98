"""The network's speed on this machine: inference and training positions per second, where a
training step's time goes, and games per second of the `net` player inside a batch.

    python benchmarks/net_bench.py [--checkpoint PATH] [--batch 256] [--repeats 5] [--games 64]

Inference and training are measured on positions from real games (greedy play), for
torch's default thread count and for one thread, in the default memory layout and
channels-last. A training step is split into the engine (rebuilding observations and
masks from state records), the input planes (numpy to tensors), the network (forward,
masked cross-entropy, backward, Adam) by timing each part on its own. Ratios within a
run compare; absolute figures depend on what else the machine is doing.
"""

import argparse
import time

import numpy as np
import torch
from torch.nn import functional as F

from tegulo_rl import GameBatch, lineup
from tegulo_rl.net import player as net_player
from tegulo_rl.net.checkpoint import load
from tegulo_rl.net.model import PolicyValueNet, features, masked
from tegulo_rl.net.train import play_teacher


def timed(fn, repeats):
    fn()  # warm up
    start = time.perf_counter()
    for _ in range(repeats):
        fn()
    return (time.perf_counter() - start) / repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--checkpoint", default=None, help="a checkpoint (default: the shipped network)")
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--games", type=int, default=64, help="games of net against itself, for games/s")
    args = parser.parse_args()

    net = net_player.network(args.checkpoint) if args.checkpoint else load(net_player.SHIPPED_NET)[0].eval()
    params = sum(p.numel() for p in net.parameters())
    data = play_teacher("greedy", max(4, args.batch // 60 + 1), seed=0, threads=1)
    pick = np.arange(args.batch) % len(data["actions"])
    records, actions = data["records"][pick], torch.from_numpy(data["actions"][pick])
    obs = GameBatch.from_bytes(records, seed=0, threads=1).observe(legal="mask")
    planes, vector = features(obs)
    mask = torch.from_numpy(np.array(obs.action_mask))
    print(f"network: {net.arch}, {params} parameters; batch {args.batch}; torch {torch.__version__}")

    default_threads = torch.get_num_threads()
    for threads in sorted({default_threads, 1}, reverse=True):
        torch.set_num_threads(threads)
        for layout in ("contiguous", "channels_last"):
            model = PolicyValueNet(net.arch)
            model.load_state_dict(net.state_dict())
            x = planes
            if layout == "channels_last":
                model = model.to(memory_format=torch.channels_last)
                x = planes.contiguous(memory_format=torch.channels_last)
            model.eval()
            with torch.inference_mode():
                infer = timed(lambda model=model, x=x: model(x, vector), args.repeats)
            model.train()
            optimizer = torch.optim.Adam(model.parameters(), lr=1e-4)

            def train_step(model=model, x=x, optimizer=optimizer):
                logits, values = model(x, vector)
                loss = F.cross_entropy(masked(logits, mask), actions) + F.mse_loss(values, torch.full_like(values, 0.5))
                optimizer.zero_grad()
                loss.backward()
                optimizer.step()

            train = timed(train_step, args.repeats)
            print(
                f"  {threads} thread(s), {layout:<13}: inference {args.batch / infer:7.0f} positions/s, "
                f"training {args.batch / train:6.0f} positions/s"
            )
    torch.set_num_threads(default_threads)

    engine = timed(lambda: GameBatch.from_bytes(records, seed=0, threads=1).observe(legal="mask"), args.repeats)
    inputs = timed(lambda: (features(obs), torch.from_numpy(np.array(obs.action_mask))), args.repeats)
    model = PolicyValueNet(net.arch)
    optimizer = torch.optim.Adam(model.parameters(), lr=1e-4)

    def network_part():
        logits, values = model(planes, vector)
        loss = F.cross_entropy(masked(logits, mask), actions) + F.mse_loss(values, torch.full_like(values, 0.5))
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()

    network = timed(network_part, args.repeats)
    total = engine + inputs + network
    print(
        f"a training step of {args.batch}: {total * 1000:.0f} ms; engine (records to observations and masks) "
        f"{100 * engine / total:.1f}%, input planes {100 * inputs / total:.1f}%, network {100 * network / total:.1f}%"
    )

    batch = GameBatch(args.games, seed=0)
    ended, steps = 0, 0
    start = time.perf_counter()
    while ended < args.games:
        ended += int(lineup.step(batch, [args.checkpoint and f"net:{args.checkpoint}" or "net"]).terminated.sum())
        steps += 1
    seconds = time.perf_counter() - start
    print(
        f"net against itself in a batch of {args.games}: {ended / seconds:.2f} games/s, "
        f"{steps * args.games / seconds:.0f} moves/s"
    )


if __name__ == "__main__":
    main()
