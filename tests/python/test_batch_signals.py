"""GameBatch and signals, threads and the end of the process: an interrupt changes
no game, a thread waiting for a busy batch hears Ctrl-C, a handler may wait for a
thread that uses the batch, and daemon threads inside batch calls let the process
exit. What could hang on a fault runs in a subprocess with a timeout."""

import os
import pickle
import signal
import subprocess
import sys

import pytest

from tegulo_rl import GameBatch


def run_script(script, *args, timeout=120):
    """Runs `script` with the interpreter and the package of this run; its result."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-c", script, *args], env=env, capture_output=True, text=True, timeout=timeout
    )


@pytest.fixture
def alarm():
    """Sets a SIGALRM handler and a timer for the test; both are taken back after it."""
    previous = signal.getsignal(signal.SIGALRM)

    def arm(handler, seconds):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def interrupt(signum, frame):
    raise KeyboardInterrupt


def test_an_interrupted_play_random_leaves_the_batch_as_it_was(alarm):
    batch = GameBatch(32, seed=1, threads=2)
    for _ in range(7):
        batch.step_random()
    before = pickle.dumps(batch)
    alarm(interrupt, 0.1)
    with pytest.raises(KeyboardInterrupt):
        batch.play_random(10**6)
    assert pickle.dumps(batch) == before  # every game and every stream


# A thread holds the batch in a call that never ends; the main thread waits for
# it, and Ctrl-C must reach it there. The holder is a daemon thread, left to the
# process's end.
WAITER = r"""
import os, signal, sys, threading
from tegulo_rl import GameBatch

batch = GameBatch(16, threads=1, seed=2)
started = threading.Event()

def hold():
    started.set()
    batch.play_random(10**6)

threading.Thread(target=hold, daemon=True).start()
started.wait()
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    batch.observe() if sys.argv[1] == "observe" else batch.step_random()
    print("got the batch")
except KeyboardInterrupt:
    print("heard Ctrl-C")
"""


@pytest.mark.parametrize("call", ["observe", "step_random"])
def test_a_thread_waiting_for_a_busy_batch_hears_ctrl_c(call):
    done = run_script(WAITER, call, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "heard Ctrl-C\n", "")


# The main thread plays random games; a signal handler starts a thread that loads
# other games into the same batch and joins it. The handler returns, and the play
# goes on from the games loaded, as if it had been called after the load.
HANDLER = r"""
import pickle, signal, sys, threading
import numpy as np
from tegulo_rl import GameBatch

batch = GameBatch(32, threads=2, seed=3)
for _ in range(5):
    batch.step_random()
other = GameBatch(40, threads=1, seed=4)
for _ in range(9):
    other.step_random()
records = other.to_bytes()
twin = pickle.loads(pickle.dumps(batch))
twin.load(records)
handled = []

def handler(signum, frame):
    worker = threading.Thread(target=batch.load, args=(records,))
    worker.start()
    worker.join()
    handled.append(len(batch))
    if sys.argv[1] == "raise":
        raise KeyboardInterrupt

signal.signal(signal.SIGALRM, handler)
# The alarm comes early in the play, which lasts far longer, however fast the machine.
signal.setitimer(signal.ITIMER_REAL, 0.01)
try:
    scores = batch.play_random(10**5 if sys.argv[1] == "raise" else 10000)
except KeyboardInterrupt:
    scores = None
assert handled == [40], handled
if scores is None:  # interrupted: the batch as the load left it
    assert (batch.to_bytes() == records).all()
else:
    assert (scores == twin.play_random(10000)).all()
assert pickle.dumps(batch) == pickle.dumps(twin)
print("handled")
"""


@pytest.mark.parametrize("ending", ["return", "raise"])
def test_a_handler_that_joins_a_thread_using_the_batch_returns(ending):
    done = run_script(HANDLER, ending, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "handled\n", "")


# Daemon threads busy in every kind of call, two of them waiting for a batch
# another holds, when the main thread ends.
DAEMONS = r"""
import threading, time
from tegulo_rl import GameBatch

batches = [GameBatch(48, threads=2, seed=k) for k in range(4)]
calls = [
    lambda: batches[0].step_random(),
    lambda: batches[0].observe("both"),
    lambda: batches[1].play_random(10**6),
    lambda: batches[1].step_random(),
    lambda: batches[2].step_players("mcts:400"),
    lambda: batches[3].load(batches[3].to_bytes()),
    lambda: batches[3].step_learners(batches[3].choose("greedy").actions, "random"),
]
started = threading.Barrier(len(calls) + 1)

def forever(call):
    started.wait()
    while True:
        try:
            call()
        except ValueError:
            # batches[3]'s two callers race by design: a load between choose and step_learners may take the
            # games back a move, and step_learners then rightly refuses actions chosen for another position.
            pass

for call in calls:
    threading.Thread(target=forever, args=(call,), daemon=True).start()
started.wait()
time.sleep(0.3)
print("exiting")
"""


@pytest.mark.skipif(
    bool(os.environ.get("TEGULO_SANITIZED")),
    reason="AddressSanitizer fails a check of its own when pthread_exit unwinds a thread through instrumented code",
)
def test_daemon_threads_inside_batch_calls_let_the_process_exit():
    for _ in range(3):
        done = run_script(DAEMONS)
        assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")
