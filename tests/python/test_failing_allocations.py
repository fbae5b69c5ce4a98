"""The batch's calls with the engine's own allocations (operator new, and calloc for
the result blocks) failing from their k-th on, through a hook preloaded into a
subprocess: each call either goes through or raises MemoryError, and a call that
raised left every game, stream and size of the batch as it was. The interpreter's
allocators are left alone here; test_out_of_memory.py makes those fail.

The batches have one thread, and every call is made once before allocations fail:
the C library ends the process when it cannot register the destructor of a new
thread's thread-local data, which no code of ours can catch."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

HOOK = "libtegulo_failing_alloc.so"


def hook_path():
    for entry in sys.path:
        candidate = pathlib.Path(entry or ".") / HOOK
        if candidate.is_file():
            return candidate
    pytest.skip(f"{HOOK} is built with the tests (tests/CMakeLists.txt); not found on sys.path")


pytestmark = [
    pytest.mark.skipif(
        bool(os.environ.get("TEGULO_SANITIZED")), reason="the sanitizers' runtime replaces the allocator the hook wraps"
    ),
    pytest.mark.skipif(
        hasattr(sys, "gettotalrefcount"),
        reason="a debug build of CPython asserts in its own code when an allocation fails in Python code",
    ),
]

DRIVER = r"""
import ctypes, json, pickle, sys
import numpy as np
from tegulo_rl import GameBatch
from tegulo_rl.players import Player

failing_from = ctypes.c_longlong.in_dll(ctypes.CDLL(None), "tegulo_failing_from")

start = GameBatch(6, threads=1, seed=4)
for _ in range(20):
    start.step_random()
BATCH = pickle.dumps(start)
RECORDS = start.to_bytes()
MORE = np.concatenate([RECORDS, RECORDS[::-1], RECORDS])
obs = start.observe()
ACTIONS = obs.legal_actions[obs.legal_offsets[:-1]]
SEATS = np.array([[0, 1, 2, 1], [2, 2, 0, 0], [1, 0, 1, 0], [0, 0, 2, 2], [1, 1, 1, 1], [2, 0, 1, 0]])
SEARCH = Player("mcts", simulations=12, playout="random")
CALLS = {
    "load more games": lambda b: b.load(MORE),
    "load fewer games": lambda b: b.load(RECORDS[:2]),
    "load strided records": lambda b: b.load(MORE[::2]),
    "from_bytes": lambda b: GameBatch.from_bytes(MORE, threads=1, seed=1),
    "step_learners": lambda b: b.step_learners(ACTIONS, ["greedy", "heuristic"], SEATS[:, :3] % 2),
    "step_learners playing some": lambda b: b.step_learners(ACTIONS, "random", playing=SEATS[:, 0] == 0),
    "step_players": lambda b: b.step_players(["random", "greedy", "heuristic"], SEATS),
    "step_players searching": lambda b: b.step_players([SEARCH, "heuristic"], SEATS % 2),
    "choose": lambda b: b.choose(["greedy", SEARCH, "heuristic"], SEATS),
}


def state(batch):
    return batch.to_bytes().tobytes(), batch.__reduce__()[1][4], len(batch)


name = sys.argv[1]
call = CALLS[name]
call(pickle.loads(BATCH))  # the thread's thread-local scratch, made while memory lasts
failures, changed = 0, []
for k in range(20000):
    batch = pickle.loads(BATCH)
    before = state(batch)
    failing_from.value = k
    try:
        call(batch)
        raised = None
    except MemoryError as error:
        raised = error
    finally:
        failing_from.value = -1
    if raised is None:
        break
    failures += 1
    if state(batch) != before:
        changed.append(k)
print(json.dumps({"failures": failures, "through at": k, "changed at": changed[:5]}))
"""

CALLS = [
    "load more games",
    "load fewer games",
    "load strided records",
    "from_bytes",
    "step_learners",
    "step_learners playing some",
    "step_players",
    "step_players searching",
    "choose",
]


@pytest.mark.parametrize("name", CALLS)
def test_a_call_whose_allocation_fails_raises_memory_error_and_changes_nothing(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), LD_PRELOAD=str(hook_path()))
    done = subprocess.run([sys.executable, "-c", DRIVER, name], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    result = json.loads(done.stdout)
    assert result["changed at"] == [], result
    assert result["failures"] > 0, result  # the call allocates, so the first allocations failed
