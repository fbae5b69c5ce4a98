"""The training loop from Python: observe the agent to move, pick a uniformly random
legal action from its mask with numpy, step, until the game is over.

    python benchmarks/train_loop.py [--games 300] [--seed 0]

Reports steps and games per second of the whole loop, then the cost of its parts:
observe + reading the action mask, the caller's choice of action, and step. The
pairs per second count observe + step only, not the caller's choice.
"""

import argparse
import time

import numpy as np

from tegulo_rl import PyTegulo


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=300)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    game = PyTegulo()
    clock = time.perf_counter

    # The whole loop, as a training program runs it.
    steps = 0
    start = clock()
    for _ in range(args.games):
        game.reset()
        while not game.is_over:
            mask = np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.uint8)
            legal = np.flatnonzero(mask)
            game.step(int(legal[rng.integers(len(legal))]) if len(legal) else None)
            steps += 1
    loop = clock() - start

    # The same loop again, each part timed on its own.
    observing = choosing = stepping = 0.0
    for _ in range(args.games):
        game.reset()
        while not game.is_over:
            t0 = clock()
            mask = game.observe(game.agent_selection).action_mask
            t1 = clock()
            legal = np.flatnonzero(np.frombuffer(mask, dtype=np.uint8))
            action = int(legal[rng.integers(len(legal))]) if len(legal) else None
            t2 = clock()
            game.step(action)
            t3 = clock()
            observing += t1 - t0
            choosing += t2 - t1
            stepping += t3 - t2

    per = 1e6 / steps
    print(f"{args.games} games, {steps} steps in {loop:.2f} s")
    print(f"loop:      {steps / loop:10.0f} steps/s  {args.games / loop:8.1f} games/s")
    print(f"observe + action_mask: {observing * per:6.2f} us")
    print(f"choice (numpy):        {choosing * per:6.2f} us")
    print(f"step:                  {stepping * per:6.2f} us")
    print(f"observe-and-step pairs: {steps / (observing + stepping):10.0f} /s")


if __name__ == "__main__":
    main()
