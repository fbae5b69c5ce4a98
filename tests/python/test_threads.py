"""Games used from several threads: each game guarded by its borrow flag alone.

The interpreter is told to switch threads as often as it can, and the arguments
used below yield the interpreter while the game is borrowed, so calls from
different threads really do meet inside one game.
"""

import os
import pickle
import random
import sys
import threading
import time

import numpy as np
import pytest

from tegulo_rl import board_text
from tegulo_rl._tegulo import PyTegulo

from conftest import KIND_CELLS, descriptor_1_captured, legal_actions, play_to_end

BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture(autouse=True)
def eager_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(count, target):
    """Runs target(k) on `count` threads started together; re-raises the first failure."""
    failures = []
    start = threading.Barrier(count)

    def body(k):
        try:
            start.wait()
            target(k)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


class Yielding:
    """An index whose conversion lets other threads run while the game is borrowed."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def assert_intact(game):
    """What every position reached by play satisfies, checked from the outside."""
    record = game.to_bytes()
    assert PyTegulo.from_bytes(record).to_bytes() == record
    obs = game.observe(0)
    occupied = np.frombuffer(obs.observation, dtype=bool).reshape(4, 400)
    remaining = np.frombuffer(obs.pieces, dtype=bool).reshape(4, 21)
    assert not (occupied.sum(axis=0) > 1).any(), "two agents share a cell"
    placed_cells = (~remaining * np.array(KIND_CELLS)).sum(axis=1)
    assert occupied.sum(axis=1).tolist() == placed_cells.tolist()
    assert game.ply == int((~remaining).sum())
    for action in legal_actions(game)[:8]:
        trial = game.copy()
        trial.step(int(action))
        assert trial.ply == game.ply + 1


def test_threads_playing_their_own_games_get_what_one_thread_gets():
    seeds = range(6)
    alone = {}
    for seed in seeds:
        game = PyTegulo()
        play_to_end(game, seed)
        alone[seed] = game.to_bytes()

    together = {}

    def play(k):
        for round_ in range(2):
            game = PyTegulo()
            play_to_end(game, seeds[k])
            blob = pickle.loads(pickle.dumps(game)).to_bytes()
            together[(k, round_)] = blob

    run_threads(len(seeds), play)
    assert together == {(k, r): alone[k] for k in seeds for r in range(2)}


def test_a_borrow_held_by_one_thread_is_refused_to_another():
    game = PyTegulo()
    inside, checked = threading.Event(), threading.Event()
    seen = {}

    class Blocking:
        def __index__(self):
            inside.set()
            checked.wait(10)
            return 0

    def try_all(kind):
        inside.wait(10)
        for name, call in (
            ("observe", lambda: game.observe(0)),
            ("step", lambda: game.step(0)),
            ("to_bytes", game.to_bytes),
            ("setstate", lambda: game.__setstate__(PyTegulo().to_bytes())),
            ("pickle", lambda: pickle.dumps(game)),
        ):
            try:
                call()
                seen[(kind, name)] = None
            except RuntimeError as error:
                seen[(kind, name)] = str(error)
        checked.set()

    for kind, holder in (("step", lambda: game.step(Blocking())), ("observe", lambda: game.observe(Blocking()))):
        inside.clear()
        checked.clear()
        other = threading.Thread(target=try_all, args=(kind,))
        other.start()
        holder()
        other.join()

    mutably = "Already mutably borrowed"
    assert seen == {
        ("step", "observe"): mutably,
        ("step", "step"): "Already borrowed",
        ("step", "to_bytes"): mutably,
        ("step", "setstate"): "Already borrowed",
        ("step", "pickle"): mutably,
        ("observe", "observe"): None,
        ("observe", "step"): "Already borrowed",
        ("observe", "to_bytes"): None,
        ("observe", "setstate"): "Already borrowed",
        ("observe", "pickle"): None,
    }
    assert game.ply == 1  # the holding step went through; every refused call changed nothing
    assert_intact(game)


def test_threads_sharing_one_game_meet_only_borrow_errors():
    game = PyTegulo()
    conflicts = []
    stop = threading.Event()

    def attempt(call):
        """call()'s result, or None when it met another thread's borrow."""
        try:
            return call()
        except RuntimeError as error:
            assert str(error) in BORROW_MESSAGES, str(error)
            conflicts.append(str(error))
            return None

    def stepper(k):
        rng = random.Random(k)
        while not stop.is_set():
            actions = attempt(lambda: legal_actions(game))
            if actions is None:
                continue
            action = Yielding(rng.choice(actions)) if actions else None
            try:
                attempt(lambda action=action: game.step(action))
            except AssertionError as refusal:
                # another thread moved first: the index belonged to the previous position
                assert str(refusal).startswith("Invalid action: "), str(refusal)
            if attempt(lambda: game.is_over):
                stop.set()

    def reader(k):
        while not stop.is_set():
            attempt(lambda: game.observe(Yielding(k % 4)).action_mask)
            attempt(lambda: pickle.loads(pickle.dumps(game)))
            attempt(lambda: game.scores)
            attempt(game.to_bytes)

    def writer(_):
        while not stop.is_set():
            attempt(lambda: game.__setstate__(game.to_bytes()))
            time.sleep(0)

    roles = [stepper, stepper, reader, reader, writer]
    run_threads(len(roles), lambda k: roles[k](k))
    assert game.is_over
    assert_intact(game)
    assert conflicts, "no two calls ever met: the test did not test sharing"


def test_renders_from_several_threads_do_not_interleave():
    games = []
    for seed in range(4):
        game = PyTegulo()
        play_to_end(game, seed)
        games.append(game)
    texts = [board_text(g) + "\n" for g in games]

    with descriptor_1_captured() as written:
        run_threads(len(games), lambda k: [games[k].render() for _ in range(25)])
    out = written[0]

    # Each game's text is whole 25 times, and nothing else was written.
    assert [out.count(text) for text in texts] == [25] * 4
    assert len(out) == 25 * sum(map(len, texts))


# Main thread renders into a full pipe; a signal interrupts the write, and its
# handler runs while the writer is held. SCENARIO picks what the handler does.
STALLED_RENDER = r"""
import os, signal, subprocess, sys, threading, time
from tegulo_rl._tegulo import PyTegulo

read_end, write_end = os.pipe()
os.set_blocking(write_end, False)
try:
    while True:
        os.write(write_end, b"." * 4096)
except BlockingIOError:
    pass
os.set_blocking(write_end, True)
os.dup2(write_end, 1)

drains = []

def drain():
    drains.append(subprocess.Popen(["cat"], stdin=read_end, stdout=subprocess.DEVNULL))

waiter = threading.Thread(target=lambda: PyTegulo().render())

def handler(signum, frame):
    if sys.argv[1] == "other thread":
        waiter.start()
        time.sleep(0.3)  # the waiter is now waiting for the writer
    drain()
    if sys.argv[1] == "same thread":
        PyTegulo().render()

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
PyTegulo().render()
if waiter.is_alive() or sys.argv[1] == "other thread":
    waiter.join()
# The pipe's last writers go, so that cat reads to its end and is waited for: an
# interpreter with its debug checks warns of a child left running.
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
os.close(write_end)
for child in drains:
    child.wait()
print("finished", file=sys.stderr)
"""


@pytest.mark.parametrize("scenario", ["other thread", "same thread"])
def test_a_signal_handler_run_during_a_stalled_render_does_not_deadlock(scenario):
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", STALLED_RENDER, scenario], env=env, capture_output=True, text=True, timeout=30
    )
    assert (done.returncode, done.stderr) == (0, "finished\n")
