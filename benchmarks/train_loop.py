"""The training-loop benchmark: observe the agent to move, pick a uniformly random
legal action from its mask with numpy, step, until the game is over.

    python benchmarks/train_loop.py [--games 300] [--seed 0]

The same as `python -m tegulo_rl bench`; the loop itself is tegulo_rl.bench.
"""

import sys

from tegulo_rl._cli import main

if __name__ == "__main__":
    sys.exit(main(["bench", *sys.argv[1:]]))
