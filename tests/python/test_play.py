"""Playing from Python: stepping, the class attributes, scores, rewards and outcomes."""

import random

import numpy as np
import pytest

from tegulo_rl import _views
from tegulo_rl._tegulo import PyTegulo

from conftest import play_to_end


def test_class_attributes_on_class_and_instances(game):
    for owner in (PyTegulo, game):
        assert owner.num_actions == 36400
        assert owner.action_grid_shape == (91, 20, 20)
        assert owner.reward_modes == ("score", "win_share", "rank")
        assert owner.piece_names == (
            "I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X",
            "P", "W", "Z5", "Y", "L5", "U", "T5", "V5", "N", "I5",
        )  # fmt: skip
    assert game.agents == [0, 1, 2, 3]


def test_fresh_scores_and_rewards(game):
    assert game.scores == [-89, -89, -89, -89]
    assert game.rewards == [None, None, None, None]
    assert game.terminations == [False, False, False, False]
    assert game.is_over is False
    assert game.outcome("rank") is None
    assert game.scores is not game.scores  # a new list on every read


def test_steps_place_and_pass_the_turn(game):
    for i in range(4):
        assert game.step(0) is None
        assert game.agent_selection == (i + 1) % 4
    assert game.ply == 4
    assert game.scores == [-88, -88, -88, -88]
    game.step(action_idx=1 * 400 + 1 * 20 + 1)  # the horizontal domino at (1, 1)
    assert game.ply == 5


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "PyTegulo.step() missing 1 required positional argument: 'action_idx'"),
        ((1,), {"action_idx": 2}, TypeError, "PyTegulo.step() got multiple values for argument 'action_idx'"),
        ((1, 2), {}, TypeError, "PyTegulo.step() takes 1 positional arguments but 2 were given"),
        ((), {"action": 1}, TypeError, "PyTegulo.step() got an unexpected keyword argument 'action'"),
        ((None,), {}, AssertionError, "Invalid action: Action index not available"),
        ((1,), {}, AssertionError, "Invalid action: Action index not available"),
        ((36400,), {}, AssertionError, "Invalid action: Action index not available"),
        ((419,), {}, AssertionError, "Invalid action: Action index not available"),
        ((10**6,), {}, AssertionError, "Invalid action: Action index not available"),
    ],
)
def test_step_refusals_leave_the_game_unchanged(game, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        game.step(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert (game.ply, game.agent_selection) == (0, 0)


@pytest.mark.parametrize(
    "value, error", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]
)
def test_step_conversion_errors_name_the_parameter(game, value, error):
    with pytest.raises(error) as raised:
        game.step(value)
    assert raised.value.__notes__ == ["while processing 'action_idx'"]
    assert game.ply == 0


def test_a_finished_game_only_passes(finished):
    assert finished.is_over
    assert finished.terminations == [True] * 4
    ply, turn = finished.ply, finished.agent_selection
    for k, action in enumerate([0, None, 10**6, 419, 0]):
        assert finished.step(action) is None
        assert finished.agent_selection == (turn + k + 1) % 4
        assert finished.ply == ply
    with pytest.raises(OverflowError):
        finished.step(-1)  # conversion refuses before the engine is reached


def test_reset_starts_again():
    game = PyTegulo()
    play_to_end(game, seed=8)
    assert game.reset() is None
    assert (game.ply, game.agent_selection, game.is_over) == (0, 0, False)
    assert game.scores == [-89] * 4
    assert game.observe(0).pieces == b"\x01" * 84


def expected_outcome(scores, mode):
    """The rewards from the rules, in single precision with numpy."""
    f32 = np.float32
    out = []
    for s in scores:
        better = sum(o > s for o in scores)
        tied = sum(o == s for o in scores)
        if mode == "score":
            out.append(f32(s))
        elif mode == "win_share":
            out.append(f32(1.0) / f32(tied) if better == 0 else f32(0.0))
        else:
            total = f32(3 - better) / f32(3.0)
            for p in range(better + 1, better + tied):
                total = total + f32(3 - p) / f32(3.0)
            out.append(total / f32(tied))
    return [float(x) for x in out]


def test_outcome_of_a_finished_game_in_every_mode(finished):
    scores = finished.scores
    assert finished.rewards == scores
    for mode in PyTegulo.reward_modes:
        rewards = finished.outcome(mode)
        assert rewards == expected_outcome(scores, mode)
        assert all(type(r) is float for r in rewards)
    assert finished.outcome(mode="score") == [float(s) for s in scores]
    assert sum(finished.outcome("win_share")) == pytest.approx(1.0)


def test_outcome_refuses_unknown_modes_even_while_playing(game, finished):
    for g in (game, finished):
        for mode in ["bogus", "Score", "RANK", " rank", ""]:
            with pytest.raises(ValueError) as raised:
                g.outcome(mode)
            assert str(raised.value) == f"Unknown reward mode {mode}"
    with pytest.raises(TypeError) as raised:
        game.outcome(1)
    assert str(raised.value) == "'int' object is not an instance of 'str'"
    assert raised.value.__notes__ == ["while processing 'mode'"]
    with pytest.raises(TypeError) as raised:
        game.outcome(None)
    assert str(raised.value) == "'None' is not an instance of 'str'"
    with pytest.raises(TypeError) as raised:
        game.outcome()
    assert str(raised.value) == "PyTegulo.outcome() missing 1 required positional argument: 'mode'"


READERS = {
    "ply": lambda g: g.ply,
    "agent_selection": lambda g: g.agent_selection,
    "agents": lambda g: g.agents,
    "terminations": lambda g: g.terminations,
    "rewards": lambda g: g.rewards,
    "scores": lambda g: g.scores,
    "is_over": lambda g: g.is_over,
    "observe": lambda g: g.observe(0),
    "outcome": lambda g: g.outcome("rank"),
    "copy": lambda g: g.copy(),
    "__copy__": lambda g: g.__copy__(),
    "__deepcopy__": lambda g: g.__deepcopy__({}),
    "to_bytes": lambda g: g.to_bytes(),
    "__getstate__": lambda g: g.__getstate__(),
    "render": lambda g: g.render(),
    "legal_actions": lambda g: _views.legal_actions(g, 0),
}
WRITERS = {
    "step": lambda g: g.step(0),
    "reset": lambda g: g.reset(),
    "__setstate__": lambda g: g.__setstate__(PyTegulo().to_bytes()),
}


def reentering(game, holder, action):
    """What `action(game)` raises while `holder` ("step", exclusive, or "observe",
    shared) holds the game, called from the __index__ of its argument; None if it
    raises nothing."""
    raised = []

    class Reenters:
        def __index__(self):
            try:
                action(game)
            except BaseException as error:
                raised.append(error)
            return 0

    getattr(game, holder)(Reenters())
    return raised[0] if raised else None


@pytest.mark.parametrize("name", list(READERS) + list(WRITERS))
def test_borrow_conflicts_from_reentrant_arguments(name, capfd):
    member = {**READERS, **WRITERS}[name]
    under_step = reentering(PyTegulo(), "step", member)
    assert type(under_step) is RuntimeError
    assert str(under_step) == ("Already borrowed" if name in WRITERS else "Already mutably borrowed")
    under_observe = reentering(PyTegulo(), "observe", member)
    if name in WRITERS:
        assert type(under_observe) is RuntimeError and str(under_observe) == "Already borrowed"
    else:
        assert under_observe is None  # readers share the game


def test_borrows_come_after_binding_and_before_conversion():
    game = PyTegulo()
    assert type(reentering(game, "step", lambda g: g.outcome())) is TypeError
    assert str(reentering(PyTegulo(), "step", lambda g: g.outcome(1))) == "Already mutably borrowed"
    assert str(reentering(PyTegulo(), "step", lambda g: g.__setstate__(bytearray()))) == "Already borrowed"
    assert reentering(PyTegulo(), "step", lambda g: PyTegulo.from_bytes(g.__class__().to_bytes())) is None
    game = PyTegulo()
    with pytest.raises(RuntimeError):
        game.step(type("Observes", (), {"__index__": lambda self: game.observe(0) and 0})())
    assert (game.ply, game.agent_selection) == (0, 0)  # a refused call changes nothing
    assert game.step(0) is None  # and every borrow was released


def test_a_whole_game_where_the_mask_is_exactly_what_step_accepts():
    game = PyTegulo()
    rng = random.Random(21)
    while not game.is_over:
        mover = game.agent_selection
        mask = np.frombuffer(game.observe(mover).action_mask, np.uint8)
        legal = np.flatnonzero(mask)
        for action in legal:
            trial = game.copy()
            trial.step(int(action))
            assert trial.ply == game.ply + 1
        if len(legal):
            for action in rng.sample(list(np.flatnonzero(mask == 0)), 30):
                with pytest.raises(AssertionError):
                    game.step(int(action))
        else:
            assert game.terminations[mover]
        game.step(int(rng.choice(legal)) if len(legal) else None)
    scores = game.scores
    assert game.rewards == scores
    assert {mode: game.outcome(mode) for mode in PyTegulo.reward_modes} == {
        mode: expected_outcome(scores, mode) for mode in PyTegulo.reward_modes
    }


MEMBER_TABLE = [
    ("reset", "method", "reset($self)\n--\n\n"),
    ("copy", "method", "copy($self)\n--\n\nAn independent copy of the game."),
    ("__copy__", "method", "__copy__($self)\n--\n\n"),
    ("__deepcopy__", "method", "__deepcopy__($self, _memo)\n--\n\n"),
    ("__getstate__", "method", "__getstate__($self)\n--\n\nPickles the game as its `to_bytes` state."),
    ("__setstate__", "method", "__setstate__($self, state)\n--\n\n"),
    ("to_bytes", "method", "to_bytes($self)\n--\n\nThe game state as bytes, restore it with `from_bytes`."),
    ("from_bytes", "static", "from_bytes(data)\n--\n\n"),
    ("agents", "property", None),
    ("agent_selection", "property", None),
    ("num_actions", "class", None),
    ("action_grid_shape", "class", None),
    ("reward_modes", "class", None),
    ("piece_names", "class", None),
    ("terminations", "property", None),
    ("rewards", "property", "The score of every agent that is done, None for the others."),
    ("scores", "property", "Every agent's official score as if the game ended now."),
    ("is_over", "property", None),
    ("ply", "property", "The number of placements made so far, by all agents."),
    (
        "outcome",
        "method",
        "outcome($self, mode)\n--\n\nThe final rewards in `mode`, one of `reward_modes`, None until the game is over.",
    ),
    ("observe", "method", "observe($self, agent_idx)\n--\n\n"),
    ("step", "method", "step($self, action_idx)\n--\n\n"),
    ("render", "method", "render($self)\n--\n\n"),
]


def test_member_table_in_order_with_kinds_and_docstrings():
    members = {
        name: value
        for name, value in vars(PyTegulo).items()
        if not name.startswith("__") or name in {"__copy__", "__deepcopy__", "__getstate__", "__setstate__"}
    }
    assert list(members) == [name for name, _, _ in MEMBER_TABLE]
    for name, kind, doc in MEMBER_TABLE:
        member = members[name]
        if kind == "property":
            assert type(member).__name__ == "getset_descriptor" and member.__doc__ == doc, name
        elif kind == "class":
            assert not callable(member), name
        else:
            signature, _, text = doc.partition("\n--\n\n")
            function = getattr(PyTegulo, name)
            assert (kind == "static") == isinstance(member, staticmethod), name
            assert name + function.__text_signature__ == signature, name
            assert function.__doc__ == (text or None), name
    assert PyTegulo.to_bytes(PyTegulo()) == PyTegulo.__getstate__(PyTegulo())
