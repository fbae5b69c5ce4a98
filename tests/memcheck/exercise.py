"""Every member of the extension, on its success and its error paths, a few times each: what
scripts/memcheck.sh runs under valgrind. These are the loops of tests/python/leakloops.py cut
down to two rounds of their calls; the objects they made die when the interpreter ends. The
batch, its results and the players need numpy, so numpy is imported too, start-up and all."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import leakloops  # noqa: E402

loops = leakloops.loops()
for loop in loops:
    rounds = 2 * (len(loop.body) if isinstance(loop.body, leakloops.Cycle) else 1)
    with loop.around():
        for i in range(rounds):
            loop.body(i)
print(f"exercised {len(loops)} loops")
