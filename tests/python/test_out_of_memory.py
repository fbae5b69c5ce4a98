"""Every member with the interpreter's allocators failing from their k-th call on:
the call either succeeds or raises MemoryError (or its own usual error) without
crashing, and a failed call leaves the game as it was."""

import pickle
from functools import partial

import pytest

from tegulo_rl import _views
from tegulo_rl._tegulo import PyTegulo

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
# Calls whose own refusal is part of what they test.
REFUSALS = {"step refused": AssertionError, "step wrong type": TypeError, "step too many": TypeError}
REFUSALS |= {"from_bytes refused": ValueError, "__setstate__ refused": ValueError, "outcome refused": ValueError}
REFUSALS |= {"legal_actions refused": ValueError}


def call_failing_from(k, call, game):
    """call(game) with every allocation from the k-th on failing; what it raised, or None."""
    try:
        _testcapi.set_nomemory(k, 0)
        try:
            call(game)
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as error:  # noqa: BLE001 - judged by the caller
        return error
    return None


@pytest.mark.parametrize("name", list(CALLS))
def test_running_out_of_memory_is_a_memory_error_and_changes_nothing(name):
    call, expected = CALLS[name], REFUSALS.get(name)
    failures = 0
    for k in range(200):
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
