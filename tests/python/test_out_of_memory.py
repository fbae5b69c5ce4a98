"""Every member with the interpreter's allocators failing from their k-th call on:
the call either succeeds or raises MemoryError (or its own usual error) without
crashing, and a failed call leaves the game, or the batch with its records and its
random streams, as it was. And a system that will not start the threads a call asks
for: RuntimeError, not the end of the process."""

import copy
import os
import pickle
import shutil
import subprocess
import sys
from functools import partial

import numpy as np
import pytest

from tegulo_rl import GameBatch, _players, _views, players
from tegulo_rl._batch import _restore
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.players import Player

from conftest import descriptor_1_captured, legal_actions, play_to_end

_testcapi = pytest.importorskip("_testcapi")


FINISHED = PyTegulo()
PLAYED = play_to_end(FINISHED, seed=3)


def midgame():
    """A position 30 moves into a seeded game, with moves left."""
    game = PyTegulo()
    for action in PLAYED[:30]:
        game.step(action)
    return game


def plane(game, name):
    return getattr(game.observe(2), name)


CALLS = {
    "PyTegulo()": lambda g: PyTegulo(),
    "observe": lambda g: g.observe(1),
    **{
        f"observe().{name}": partial(plane, name=name)
        for name in ("observation", "corners", "blocked", "pieces", "done", "action_mask")
    },
    "step": lambda g: g.step(legal_actions(g)[0]),
    "step refused": lambda g: g.step(10**6),
    "step wrong type": lambda g: g.step("0"),
    "step too many": lambda g: g.step(0, 1),
    "copy": lambda g: g.copy(),
    "__copy__": lambda g: g.__copy__(),
    "__deepcopy__": lambda g: g.__deepcopy__({}),
    "pickle": lambda g: pickle.loads(pickle.dumps(g)),
    "to_bytes": lambda g: g.to_bytes(),
    "from_bytes": lambda g: PyTegulo.from_bytes(g.to_bytes()),
    "from_bytes refused": lambda g: PyTegulo.from_bytes(b"\x02" + g.to_bytes()[1:]),
    "__setstate__": lambda g: g.__setstate__(PyTegulo().to_bytes()),
    "__setstate__ refused": lambda g: g.__setstate__(b"short"),
    "reset": lambda g: g.reset(),
    "properties": lambda g: (g.agents, g.agent_selection, g.terminations, g.rewards, g.scores, g.is_over, g.ply),
    "outcome": lambda g: FINISHED.outcome("score"),
    "outcome refused": lambda g: g.outcome("bogus"),
    "render": lambda g: g.render(),
    "planes": lambda g: _views.planes(g.observe(0)),
    "board_text": lambda g: _views.board_text(g),
    "legal_actions": lambda g: _views.legal_actions(g, 1),
    "legal_actions refused": lambda g: _views.legal_actions(g, 4),
}


def uniform(obs):
    """An evaluator that leaves the choice to the values: even priors over the legal actions."""
    mask = obs.action_mask
    return mask.astype(np.float32), np.zeros((len(mask), 4), np.float32)


def guided(record):
    """A whole guided search of a few simulations from `record`, driven from here."""
    search = _players.GuidedSearch(record, 4, 1.5, 2, "rank")
    while (leaves := search.select()) is not None:
        k = len(leaves) // 278
        search.expand(np.ones((k, 36400), np.float32), np.zeros((k, 4), np.float32))
    return search.best()


TINY_MCTS = Player("mcts", simulations=2, playout="random")
# The players: on one game, and the search whose leaves Python evaluates.
CALLS |= {
    "_players.choose": lambda g: _players.choose(g.to_bytes(), "heuristic", 1, 1),
    "_players.choose mcts": lambda g: _players.choose(g.to_bytes(), TINY_MCTS, 1, 1),
    "_players.choose refused": lambda g: _players.choose(g.to_bytes(), "best", 1, 1),
    "GuidedSearch": lambda g: guided(g.to_bytes()),
    "GuidedSearch refused": lambda g: _players.GuidedSearch(g.to_bytes(), 0, 1.5, 2, "rank"),
    "players.choose": lambda g: players.choose(g, "greedy", seed=2),
    "players.parse": lambda g: players.parse("mcts:200"),
    "players.search": lambda g: players.search(g, uniform, simulations=3, leaves=2, threads=1),
    "players.search refused": lambda g: players.search(g, lambda o: (o.action_mask, None), simulations=3, threads=1),
}
# Calls whose own refusal is part of what they test.
REFUSALS = {"step refused": AssertionError, "step wrong type": TypeError, "step too many": TypeError}
REFUSALS |= {"from_bytes refused": ValueError, "__setstate__ refused": ValueError, "outcome refused": ValueError}
REFUSALS |= {"legal_actions refused": ValueError}
REFUSALS |= {"_players.choose refused": ValueError, "GuidedSearch refused": ValueError}
REFUSALS |= {"players.search refused": ValueError}


# Calls that run Python code of their own while allocations fail: every call given
# players reads them through tegulo_rl.players, and a search calls its evaluator. A
# CPython built with its debug checks asserts inside its own evaluation loop when an
# allocation fails there (an item dropped by a list that could not grow, with no
# frame state saved: a plain loop of appends under _testcapi.set_nomemory aborts it
# too), so on such a build these are left out.
RUNS_PYTHON = ("choose", "step_players", "players.", "GuidedSearch")
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def skip_python_code_on_a_debug_build(name):
    if DEBUG_BUILD and any(word in name for word in RUNS_PYTHON):
        pytest.skip("a debug build of CPython asserts in its own code when an allocation fails in Python code")


def failing_from():
    """The k to fail allocations from: each of the first 300, then every 7th up to 6,000 (a
    search allocates thousands of objects before its result: a sample of them is enough)."""
    return [*range(300), *range(300, 6000, 7)]


def call_failing_from(k, call, subject):
    """call(subject) with every allocation from the k-th on failing; what it raised, or None."""
    try:
        _testcapi.set_nomemory(k, 0)
        try:
            call(subject)
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as error:  # noqa: BLE001 - judged by the caller
        return error
    return None


@pytest.mark.parametrize("name", list(CALLS))
def test_running_out_of_memory_is_a_memory_error_and_changes_nothing(name):
    skip_python_code_on_a_debug_build(name)
    call, expected = CALLS[name], REFUSALS.get(name)
    failures = 0
    for k in failing_from():
        game = midgame()
        before = game.to_bytes()
        with descriptor_1_captured():  # what render prints
            raised = call_failing_from(k, call, game)
        if raised is None or type(raised) is expected:
            break  # the call got every allocation it makes
        assert type(raised) is MemoryError, repr(raised)
        assert game.to_bytes() == before
        failures += 1
    else:
        pytest.fail("the call never got through")
    # A call that allocates nothing is no test of this: everything listed allocates
    # at least its result or its error from Python's allocators, except what
    # changes the game in place and render, whose text is the engine's own.
    assert failures > 0 or name in {"step", "reset", "__setstate__", "render"}


def batch_in_play():
    """A batch of three games, 20 random steps in."""
    batch = GameBatch(3, threads=1, seed=4)
    for _ in range(20):
        batch.step_random()
    return batch


BATCH = pickle.dumps(batch_in_play())
FIRST = (lambda o: o.legal_actions[o.legal_offsets[:-1]])(pickle.loads(BATCH).observe())  # a legal action per game
ILLEGAL = FIRST.copy()
ILLEGAL[1] = 36400
SEATS = np.array([[0, 1, 2, 1], [2, 2, 0, 0], [1, 0, 1, 0]])
LINE_UP = ["random", "greedy", "heuristic"]
RECORDS = pickle.loads(BATCH).to_bytes()
RESTORE = pickle.loads(BATCH).__reduce__()[1]


def field(legal, name):
    return lambda b: getattr(b.observe(legal), name)


BATCH_CALLS = {
    "GameBatch()": lambda b: GameBatch(3, threads=1, seed=1),
    "GameBatch() refused": lambda b: GameBatch(0),
    "attributes": lambda b: (len(b), b.num_games, b.threads, b.reward_mode, b.seed, repr(b)),
    **{f"observe({legal!r})": lambda b, legal=legal: b.observe(legal) for legal in ("list", "mask", "both")},
    **{f"observe().{name}": field("both", name) for name in ("observation", "legal_actions", "action_mask")},
    "observe refused": lambda b: b.observe("all"),
    "step": lambda b: b.step(FIRST),
    "step a list": lambda b: b.step(FIRST.tolist()),
    "step().final_records": lambda b: b.step(FIRST).final_records,
    "step refused": lambda b: b.step(ILLEGAL),
    "step wrong dtype": lambda b: b.step(FIRST.astype(float)),
    "step wrong shape": lambda b: b.step(FIRST[:2]),
    "step_random": lambda b: b.step_random(),
    "play_random": lambda b: b.play_random(1),
    "play_random refused": lambda b: b.play_random(0),
    "reset": lambda b: b.reset(),
    "reset with a seed": lambda b: b.reset(9),
    "choose": lambda b: b.choose("greedy"),
    "choose().actions": lambda b: b.choose("random").actions,
    "choose with seats": lambda b: b.choose(LINE_UP, SEATS),
    "choose mcts": lambda b: b.choose(TINY_MCTS),
    "choose refused": lambda b: b.choose("best"),
    "choose bad seats": lambda b: b.choose(LINE_UP, SEATS + 1),
    "step_players": lambda b: b.step_players("heuristic"),
    "step_players with seats": lambda b: b.step_players(LINE_UP, SEATS),
    "step_players mcts": lambda b: b.step_players([TINY_MCTS, "random"], SEATS % 2),
    "step_players refused": lambda b: b.step_players("mcts:x"),
    "to_bytes": lambda b: b.to_bytes(),
    "from_bytes": lambda b: GameBatch.from_bytes(RECORDS, threads=1, seed=2),
    "from_bytes refused": lambda b: GameBatch.from_bytes(RECORDS[:, :-1]),
    "game": lambda b: b.game(1),
    "game refused": lambda b: b.game(3),
    "set_game": lambda b: b.set_game(1, PyTegulo()),
    "set_game refused": lambda b: b.set_game(1, FINISHED),
    "pickle": lambda b: pickle.loads(pickle.dumps(b)),
    "copy": lambda b: copy.copy(b),
    "__reduce__": lambda b: b.__reduce__(),
    "_restore": lambda b: _restore(*RESTORE),
    "_restore refused": lambda b: _restore(RESTORE[0], "rank", 1, 1, b""),
}
BATCH_REFUSALS = {
    "GameBatch() refused": ValueError,
    "observe refused": ValueError,
    "step refused": ValueError,
    "step wrong dtype": TypeError,
    "step wrong shape": ValueError,
    "play_random refused": ValueError,
    "choose refused": ValueError,
    "choose bad seats": ValueError,
    "step_players refused": ValueError,
    "from_bytes refused": ValueError,
    "game refused": IndexError,
    "set_game refused": ValueError,
    "_restore refused": ValueError,
}


def batch_state(batch):
    """The batch's games and its random streams, as bytes."""
    return batch.to_bytes().tobytes(), batch.__reduce__()[1][4]


@pytest.mark.parametrize("name", list(BATCH_CALLS))
def test_a_batch_out_of_memory_raises_memory_error_and_stays_as_it_was(name):
    skip_python_code_on_a_debug_build(name)
    call, expected = BATCH_CALLS[name], BATCH_REFUSALS.get(name)
    failures = 0
    for k in failing_from():
        batch = pickle.loads(BATCH)
        before = batch_state(batch)
        raised = call_failing_from(k, call, batch)
        if raised is None or type(raised) is expected:
            break  # the call got every allocation it makes
        assert type(raised) is MemoryError, repr(raised)
        assert batch_state(batch) == before  # the games and their streams
        failures += 1
    else:
        pytest.fail("the call never got through")
    # Each call allocates at least its result or its error, except reset, which
    # changes the games in place.
    assert failures > 0 or name in {"reset", "reset with a seed"}


@pytest.mark.skipif(
    os.geteuid() != 0 or not (shutil.which("setpriv") and shutil.which("prlimit")),
    reason="needs root, setpriv and prlimit to run a process under a limit of threads",
)
def test_threads_the_system_will_not_start_are_a_runtime_error_not_a_crash():
    # As an unprivileged user (root is exempt from the limit; reading files where the
    # interpreter lives is kept) with room for one thread beside the main one: the
    # second worker of a pool is refused after the first has started.
    script = """if True:
        from tegulo_rl import GameBatch, PyTegulo, _players
        record = PyTegulo().to_bytes()
        for call in (lambda: GameBatch(16, threads=16, seed=1), lambda: _players.choose(record, "mcts:2", 0, 16)):
            try:
                call()
                print("made")
            except RuntimeError as e:
                print(e)
    """
    caps = "+dac_read_search,+dac_override"
    limited = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", f"--inh-caps={caps}"]
    limited += [f"--ambient-caps={caps}", "prlimit", "--nproc=2", sys.executable, "-c", script]
    env = os.environ | {"OPENBLAS_NUM_THREADS": "1"}
    done = subprocess.run(limited, capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["could not start 16 threads: Resource temporarily unavailable"] * 2
