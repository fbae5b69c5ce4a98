"""One file past the usual length on purpose: the models of the rules that every property
shares live beside the properties that use them.

Property tests of the whole Python surface: every member, called on games drawn from random
play with arbitrary arguments of arbitrary types, returns its documented result or raises
exactly its documented error, and a refused call leaves the game as it was.

The expected errors come from small models of the rules (the state record, binding, the
interpreter's own conversions), never from the extension itself."""

import ctypes
import math
import operator
import pickle
import types
import warnings
from functools import cache, partial
from typing import NamedTuple

import numpy as np
import pytest
from hypothesis import assume, event, given, note, settings
from hypothesis import strategies as st

import tegulo_rl
from tegulo_rl._tegulo import PyObservation, PyTegulo

from conftest import KIND_CELLS, PLANE_SHAPES, descriptor_1_captured, legal_actions, play_to_end


def budget(examples):
    """Runs `examples` examples under the default profile, scaled with the loaded profile's count."""
    return settings(max_examples=max(1, examples * settings.default.max_examples // 100))


# --- A model of the state record -----------------------------------------------------

REFUSED_RECORD = "Not a game state written by to_bytes() of this version"
INVALID_ACTION = "Invalid action: Action index not available"
KIND_CODES = (1, 2, 3, 9, 10, 16, 22, 28, 34, 35, 41, 47, 53, 59, 65, 71, 77, 83, 89, 95, 101)
ON_BOARD = sum(1 << (21 * row + col) for row in range(20) for col in range(20))
BLOCK_BASES = (1, 70, 139, 208)


class Agent(NamedTuple):
    cells: int  # bit 21 * row + col
    remaining: int  # bit k: kind k is still held
    last: int  # the code of the kind placed last, 0 before any


def decode(data):
    """The agents and the agent to move of a state record; None when reading must refuse it."""
    if len(data) != 278 or data[0] != 1 or data[277] > 3:
        return None
    agents = []
    for base in BLOCK_BASES:
        # Four 128-bit words, the most significant first, each little-endian.
        words = [data[base + 16 * (3 - w) : base + 16 * (4 - w)] for w in range(4)]
        cells = sum(int.from_bytes(word, "little") << 128 * w for w, word in enumerate(words))
        remaining = int.from_bytes(data[base + 64 : base + 68], "little")
        if cells & ~ON_BOARD or remaining >> 21 or data[base + 68] not in (0, *KIND_CODES):
            return None
        agents.append(Agent(cells, remaining, data[base + 68]))
    return agents, data[277]


def encode(agents, turn):
    data = bytearray(b"\x01")
    for agent in agents:
        data += b"".join((agent.cells >> 128 * w & (2**128 - 1)).to_bytes(16, "little") for w in (3, 2, 1, 0))
        data += agent.remaining.to_bytes(4, "little") + bytes([agent.last])
    return bytes(data + bytes([turn]))


def score(agent):
    held = sum(cells for kind, cells in enumerate(KIND_CELLS) if agent.remaining >> kind & 1)
    return -held if held else 20 if agent.last == KIND_CODES[0] else 15


FRESH = encode([Agent(0, 2**21 - 1, 0)] * 4, 0)


def state(game):
    """Everything a game shows, without changing it."""
    return (game.to_bytes(), game.ply, game.agent_selection, game.terminations, game.rewards, game.scores)


# --- Strategies ----------------------------------------------------------------------


@cache
def script(seed):
    return tuple(play_to_end(PyTegulo(), seed))


@st.composite
def games(draw):
    """A game some steps into a seeded random game: from fresh to a few passes past its end."""
    seed = draw(st.integers(0, 63))
    actions = script(seed)
    over = draw(st.sampled_from([False, False, False, True]))  # a quarter at the end or past it
    steps = draw(st.integers(len(actions), len(actions) + 4) if over else st.integers(0, len(actions) - 1))
    note(f"game: seed {seed}, {steps} steps of {len(actions)}")
    game = PyTegulo()
    for action in actions[:steps]:
        game.step(action)
    for _ in range(steps - len(actions)):
        game.step(None)  # passes: every agent is done
    return game


board_cells = st.builds(lambda row, col: 21 * row + col, st.integers(0, 19), st.integers(0, 19))
# Records that reading accepts: from play, and built from fields (overlapping cells and all).
good_records = games().map(PyTegulo.to_bytes) | st.builds(
    encode,
    st.lists(
        st.builds(
            Agent,
            st.sets(board_cells, max_size=24).map(lambda cells: sum(1 << p for p in cells)),
            st.integers(0, 2**21 - 1),
            st.sampled_from((0, *KIND_CODES)),
        ),
        min_size=4,
        max_size=4,
    ),
    st.integers(0, 3),
)


def overwritten(at, value, record):
    return record[:at] + value + record[at + len(value) :]


def with_cell(base, p, record):
    at = base + 16 * (3 - p // 128) + p % 128 // 8
    return overwritten(at, bytes([record[at] | 1 << p % 8]), record)


# Each breaks one field just past its range (the turn, the version, or one agent's remaining
# pieces, last piece or cells: column 20 and beyond the board), given the agent's block base.
BREAKS = [
    lambda base: partial(overwritten, 277, b"\4"),
    lambda base: partial(overwritten, 0, b"\2"),
    lambda base: partial(overwritten, base + 64, (2**21).to_bytes(4, "little")),
    lambda base: partial(overwritten, base + 68, b"\4"),
    lambda base: partial(overwritten, base + 68, b"\x66"),
    lambda base: partial(with_cell, base, 20),
    lambda base: partial(with_cell, base, 420),
]
broken_records = st.builds(
    lambda record, breaking, base: breaking(base)(record),
    good_records,
    st.sampled_from(BREAKS),
    st.sampled_from(BLOCK_BASES),
)


def records():
    """Bytes objects of state records: good, with one field broken, mutated, resized, noise."""
    return st.one_of(
        good_records,
        broken_records,
        st.builds(overwritten, st.integers(0, 277), st.binary(min_size=1, max_size=1), good_records),
        st.builds(lambda record, n: (record * 2)[:n], good_records, st.integers(0, 556)),
        st.binary(min_size=278, max_size=278),
        st.binary(max_size=300),
    )


class Int(int):
    """An int subclass: it converts as the number it is, its __index__ never asked."""

    def __index__(self):
        raise AssertionError("the __index__ of an int was called")

    def __repr__(self):
        return f"Int({int(self)})"


class Str(str):
    def __repr__(self):
        return f"Str({str(self)!r})"


class Bytes(bytes):
    def __repr__(self):
        return f"Bytes({bytes(self)!r})"


class Escape(BaseException):
    """Raised by an __index__: not even an Exception."""


class Index:
    """An object converted through __index__, which returns `result` (any object) or raises it
    if it is an exception class; counts its calls."""

    def __init__(self, result):
        self.result = result
        self.calls = 0

    def __index__(self):
        self.calls += 1
        if isinstance(self.result, type):
            raise self.result("raised by __index__")
        return self.result

    def __repr__(self):
        return f"Index({self.result!r})"


NUMPY_INTS = (np.int8, np.int16, np.int64, np.uint8, np.uint32, np.uint64)
numbers = st.one_of(
    st.integers(-3, 36403),
    st.integers(),
    st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 10**40]),
)
numpy_ints = st.sampled_from(NUMPY_INTS).flatmap(
    lambda t: st.integers(int(np.iinfo(t).min), int(np.iinfo(t).max)).map(t)
)
indexables = st.builds(
    Index,
    st.one_of(
        numbers,
        numbers.map(Int),
        st.booleans(),
        numpy_ints,
        st.none(),
        st.floats(),
        st.text(max_size=2),
        st.sampled_from([ValueError, KeyError, OverflowError, TypeError, RuntimeError, Escape]),
    ),
)
texts = st.one_of(
    st.text(max_size=8),
    st.sampled_from([*PyTegulo.reward_modes, "Rank", "RANK", " rank", "score ", "", "win-share", "rank\x00", "\udc80"]),
)


def anything():
    return st.one_of(
        st.none(),
        st.booleans(),
        numbers,
        numbers.map(Int),
        numpy_ints,
        st.floats(),
        st.sampled_from([np.float64(1.0), np.float32(0.0), 1j]),
        texts,
        texts.map(Str),
        st.binary(max_size=300),
        records().map(Bytes),
        st.binary(max_size=300).map(bytearray),
        records().map(bytearray),
        records().map(memoryview),
        st.lists(numbers, max_size=3),
        st.tuples(numbers),
        st.dictionaries(st.text(max_size=2), numbers, max_size=2),
        indexables,
        st.builds(object),
        st.sampled_from([PyTegulo, PyObservation, tegulo_rl]),
        games(),
    )


def passed_as(values):
    """A number as an int, an int subclass, a numpy integer or an object with __index__."""
    return st.builds(lambda n, kind: kind(n), values, st.sampled_from([int, Int, np.uint64, np.int64, Index]))


# --- What the calls must do ----------------------------------------------------------


class Raised(NamedTuple):
    error: type
    message: str
    notes: tuple[str, ...] = ()

    @classmethod
    def of(cls, error, param=None):
        notes = tuple(getattr(error, "__notes__", ()))
        return cls(type(error), str(error), notes + ((f"while processing '{param}'",) if param else ()))


def attempt(call, *args, **kwargs):
    """What the call returns, or what it raises as a Raised."""
    try:
        return call(*args, **kwargs)
    except BaseException as error:
        return Raised.of(error)


# The interpreter's own conversion of an int to an unsigned 64-bit integer, its errors included.
as_unsigned = ctypes.pythonapi.PyLong_AsUnsignedLongLong
as_unsigned.argtypes = [ctypes.py_object]
as_unsigned.restype = ctypes.c_ulonglong


def converted_index(value, param):
    """The index that `value` converts to (an int as it is, anything else through __index__), or
    the conversion's own error carrying the note that names the parameter."""
    try:
        return as_unsigned(value if isinstance(value, int) else operator.index(value))
    except BaseException as error:
        return Raised.of(error, param)


def not_an_instance(value, expected, param):
    subject = "'None' is not" if value is None else f"'{type(value).__qualname__}' object is not"
    return Raised(TypeError, f"{subject} an instance of '{expected}'", (f"while processing '{param}'",))


def binding_refusal(function, params, args, kwargs):
    """The TypeError of binding the arguments to `params` (all required), or None if they fit."""
    if len(args) > len(params):
        were = "was" if len(args) == 1 else "were"
        return Raised(TypeError, f"{function} takes {len(params)} positional arguments but {len(args)} {were} given")
    bound = set(params[: len(args)])
    for name in kwargs:
        if name not in params:
            return Raised(TypeError, f"{function} got an unexpected keyword argument '{name}'")
        if name in bound:
            return Raised(TypeError, f"{function} got multiple values for argument '{name}'")
        bound.add(name)
    missing = [param for param in params if param not in bound]
    if missing:
        return Raised(TypeError, f"{function} missing 1 required positional argument: '{missing[0]}'")
    return None


# Each expectation takes the game before the call and the bound argument, and returns the
# Raised the call must raise or a check of its result.


def expect_step(game, value):
    action = None if value is None else converted_index(value, "action_idx")
    if isinstance(action, Raised):
        return action
    mover = game.agent_selection
    before = decode(game.to_bytes())[0]
    if game.terminations[mover]:
        return partial(check_pass, game, mover, before)
    if action not in legal_actions(game, mover):
        return Raised(AssertionError, INVALID_ACTION)
    return partial(check_placement, game, mover, before)


def check_pass(game, mover, before, result):
    assert result is None
    assert decode(game.to_bytes()) == (before, (mover + 1) % 4)


def check_placement(game, mover, before, result):
    assert result is None
    after, turn = decode(game.to_bytes())
    assert turn == (mover + 1) % 4
    assert after[:mover] + after[mover + 1 :] == before[:mover] + before[mover + 1 :]
    old, new = before[mover], after[mover]
    used = old.remaining ^ new.remaining
    kind = used.bit_length() - 1
    assert used == 1 << kind and old.remaining & used  # one kind, one the agent held
    assert new.last == KIND_CODES[kind]
    added = new.cells ^ old.cells
    assert new.cells & old.cells == old.cells and added.bit_count() == KIND_CELLS[kind]
    assert not any(added & agent.cells for agent in before)


def expect_observe(game, value):
    agent = converted_index(value, "agent_idx")
    if isinstance(agent, Raised):
        return agent
    if agent >= 4:
        return Raised(ValueError, f"Unknown agent {agent}")
    return partial(check_observation, game, agent)


def check_observation(game, agent, obs):
    assert type(obs) is PyObservation
    planes = {name: getattr(obs, name) for name in PLANE_SHAPES}
    assert {name: len(plane) for name, plane in planes.items()} == {
        name: math.prod(shape) for name, shape in PLANE_SHAPES.items()
    }
    assert all(type(plane) is bytes and not plane.translate(None, b"\0\1") for plane in planes.values())
    agents, _ = decode(game.to_bytes())
    seats = [(agent + seat) % 4 for seat in range(4)]
    assert planes["done"] == bytes(game.terminations[a] for a in seats)
    assert planes["pieces"] == bytes(agents[a].remaining >> kind & 1 for a in seats for kind in range(21))
    occupied = planes["observation"]
    assert [occupied[400 * seat : 400 * seat + 400].count(1) for seat in range(4)] == [
        agents[a].cells.bit_count() for a in seats
    ]
    assert (1 in planes["action_mask"]) is not game.terminations[agent]  # done: out of moves
    for name, plane in planes.items():
        again = getattr(obs, name)
        assert again == plane and again is not plane  # a new copy on every read
        assert attempt(setattr, obs, name, again).error is attempt(delattr, obs, name).error is AttributeError
    assert attempt(setattr, obs, "extra", 1).error is AttributeError


def expect_outcome(game, value):
    if not isinstance(value, str):
        return not_an_instance(value, "str", "mode")
    try:
        value.encode()
    except UnicodeEncodeError as error:
        return Raised.of(error, "mode")
    if value not in PyTegulo.reward_modes:
        return Raised(ValueError, f"Unknown reward mode {value}")
    return partial(check_rewards, game, str(value))


def check_rewards(game, mode, rewards):
    if not game.is_over:
        assert rewards is None
        return
    scores = game.scores
    assert type(rewards) is list and len(rewards) == 4
    assert all(type(r) is float and float(np.float32(r)) == r for r in rewards)  # single precision
    if mode == "score":
        assert rewards == [float(s) for s in scores]
    elif mode == "win_share":
        top = [s == max(scores) for s in scores]
        assert rewards == [float(np.float32(1) / np.float32(sum(top))) if t else 0.0 for t in top]
    else:
        # A better score is worth strictly more, an equal one the same; the places share 2.
        pairs = [(i, j) for i in range(4) for j in range(4)]
        assert all(np.sign(scores[i] - scores[j]) == np.sign(rewards[i] - rewards[j]) for i, j in pairs)
        assert sum(rewards) == pytest.approx(2.0)


def expect_record(param, game, value):
    if not isinstance(value, bytes):
        return not_an_instance(value, "bytes", param)
    read = decode(value)
    if read is None:
        return Raised(ValueError, REFUSED_RECORD)

    def check_record(result):
        if param == "state":
            assert result is None
            result = game
        assert type(result) is PyTegulo and result.to_bytes() == value
        agents, _ = read
        assert result.ply == sum(21 - agent.remaining.bit_count() for agent in agents)
        assert result.scores == [score(agent) for agent in agents]

    return check_record


def expect_copy(game, _memo):
    return partial(check_copy, game)


def check_copy(game, result):
    assert type(result) is PyTegulo and result is not game
    before = state(game)
    assert state(result) == before
    result.reset()
    assert state(game) == before  # independent


def own_or_any(own):
    """Half the time a value meant for the parameter, half the time anything at all."""
    return st.booleans().flatmap(lambda mine: own if mine else anything())


def step_values(game):
    legal = passed_as(st.sampled_from(legal_actions(game, game.agent_selection) or [0]))
    others = st.none() | passed_as(st.integers(0, 36400))
    return st.one_of(legal, own_or_any(others))  # half the time an index from the mask


modes = st.sampled_from(PyTegulo.reward_modes)
# A quarter each: good, broken, any record, any record as a bytes subclass (one_of would weigh
# the branches of records() one by one).
records_given = st.sampled_from([good_records, broken_records, records(), records().map(Bytes)]).flatmap(lambda s: s)
# Name: (parameter, values meant for it given the game, expectation).
ONE_PARAMETER = {
    "step": ("action_idx", step_values, expect_step),
    "observe": ("agent_idx", lambda game: own_or_any(passed_as(st.integers(0, 5))), expect_observe),
    "outcome": ("mode", lambda game: own_or_any(modes | modes.map(Str) | texts), expect_outcome),
    "__setstate__": ("state", lambda game: own_or_any(records_given), partial(expect_record, "state")),
    "from_bytes": ("data", lambda game: own_or_any(records_given), partial(expect_record, "data")),
    "__deepcopy__": ("_memo", lambda game: anything(), expect_copy),
}
CHANGING = {"step", "__setstate__"}


@st.composite
def calls(draw, param, values):
    """Arguments for a member of one parameter: mostly one, by position or by name, sometimes any."""
    shape = draw(st.sampled_from(["positional", "keyword"] * 2 + ["any"]))
    if shape == "positional":
        return [draw(values)], {}
    if shape == "keyword":
        return [], {param: draw(values)}
    names = st.sampled_from([param, "x", "self", "action", "\udc80"]) | st.text(max_size=4)
    return draw(st.lists(values, max_size=3)), draw(st.dictionaries(names, values, max_size=3))


def index_calls(*values):
    return [value.calls for value in values if isinstance(value, Index)]


@pytest.mark.parametrize("name", list(ONE_PARAMETER))
@budget(150)
@given(game=games(), data=st.data())
def test_members_with_one_parameter(name, game, data):
    param, own_values, expect = ONE_PARAMETER[name]
    args, kwargs = data.draw(calls(param, own_values(game)), label="arguments")
    member = getattr(data.draw(st.sampled_from([PyTegulo, game])) if name == "from_bytes" else game, name)
    before = state(game)
    given_values = [*args, *kwargs.values()]
    # __index__ returning an int subclass warns; as an error the warning is the conversion's error.
    with warnings.catch_warnings():
        warnings.simplefilter(data.draw(st.sampled_from(["ignore", "error"]), label="warnings"))
        binding = binding_refusal(f"PyTegulo.{name}()", [param], args, kwargs)
        expected = binding or expect(game, given_values[0])
        calls_before = index_calls(*given_values)
        got = attempt(member, *args, **kwargs)
    event("binding refused" if binding else getattr(expected, "error", getattr(expected, "func", expected)).__name__)
    if isinstance(expected, Raised):
        assert got == expected
        assert binding is None or index_calls(*given_values) == calls_before  # nothing converted
    else:
        assert not isinstance(got, Raised), got
        expected(got)
    if isinstance(expected, Raised) or name not in CHANGING:
        assert state(game) == before


def check_no_parameter_result(name, game, before, result, printed):
    if name == "reset":
        assert result is None and state(game) == state(PyTegulo())
    elif name in ("copy", "__copy__"):
        check_copy(game, result)
    elif name in ("to_bytes", "__getstate__"):
        assert type(result) is bytes and result == before[0]
        agents, turn = decode(result)
        assert (game.ply, game.agent_selection) == (sum(21 - a.remaining.bit_count() for a in agents), turn)
        assert game.scores == [score(agent) for agent in agents]
    else:
        assert result is None and printed == tegulo_rl.board_text(game) + "\n"
        agents, _ = decode(before[0])
        # Played games never overlap, so each agent's colour marks exactly its cells.
        marks = [printed.count(f"\x1b[{colour}mx") for colour in (44, 43, 41, 42)]
        assert marks == [agent.cells.bit_count() for agent in agents]


NAMES = st.sampled_from(["x", "self", "\udc80"]) | st.text(max_size=3)


@pytest.mark.parametrize("name", ["reset", "copy", "__copy__", "__getstate__", "to_bytes", "render"])
@budget(50)
@given(
    game=games(),
    args=st.lists(anything(), max_size=2),
    kwargs=st.dictionaries(NAMES, anything(), max_size=2),
)
def test_members_without_parameters(name, game, args, kwargs):
    before = state(game)
    with descriptor_1_captured() as printed:
        got = attempt(getattr(game, name), *args, **kwargs)
    if args or kwargs:
        # The interpreter's refusal, worded as for a method of its own that takes nothing.
        reference = attempt([].clear, *args, **kwargs)
        assert got == reference._replace(message=reference.message.replace("list.clear()", f"PyTegulo.{name}()"))
        assert printed == [""] and state(game) == before
    else:
        check_no_parameter_result(name, game, before, got, printed[0])
        if name != "reset":
            assert state(game) == before


@budget(100)
@given(
    args=st.lists(anything(), max_size=2),
    kwargs=st.dictionaries(NAMES, anything(), max_size=2),
    through_new=st.booleans(),
)
def test_constructors(args, kwargs, through_new):
    call = partial(PyTegulo.__new__, PyTegulo) if through_new else PyTegulo
    calls_before = index_calls(*args, *kwargs.values())
    got = attempt(call, *args, **kwargs)
    expected = binding_refusal("PyTegulo.__new__()", [], args, kwargs)
    if expected:
        assert got == expected
        assert index_calls(*args, *kwargs.values()) == calls_before
    else:
        assert type(got) is PyTegulo and got.to_bytes() == FRESH
    refused = Raised(TypeError, "cannot create 'builtins.PyObservation' instances")
    assert attempt(PyObservation, *args, **kwargs) == refused  # only observe() makes them


PROPERTIES = ["agents", "agent_selection", "terminations", "rewards", "scores", "is_over", "ply"]


@budget(100)
@given(game=games(), value=anything())
def test_properties_agree_with_the_record_and_refuse_assignment(game, value):
    agents, turn = decode(game.to_bytes())
    done = game.terminations
    assert game.agents == [0, 1, 2, 3]
    assert type(game.agent_selection) is int and game.agent_selection == turn
    assert type(game.ply) is int and game.ply == sum(21 - agent.remaining.bit_count() for agent in agents)
    assert game.scores == [score(agent) for agent in agents]
    assert all(type(d) is bool for d in done) and game.is_over is all(done)
    assert game.rewards == [s if d else None for s, d in zip(game.scores, done, strict=True)]
    before = state(game)
    for name in PROPERTIES:
        assert attempt(setattr, game, name, value).error is AttributeError
        assert attempt(delattr, game, name).error is AttributeError
    assert attempt(setattr, game, "extra", value).error is AttributeError
    assert state(game) == before
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert state(pickle.loads(pickle.dumps(game, protocol))) == before


# Every member that has a receiver: methods and properties, not from_bytes or the class attributes.
RECEIVING = [
    (owner, name)
    for owner in (PyTegulo, PyObservation)
    for name, member in vars(owner).items()
    if isinstance(member, types.MethodDescriptorType | types.GetSetDescriptorType)
]


@budget(100)
@given(
    member=st.sampled_from(RECEIVING),
    receiver=anything() | games().map(lambda g: g.observe(0)),
    args=st.lists(anything(), max_size=2),
)
def test_members_refuse_receivers_of_another_class(member, receiver, args):
    owner, name = member
    assume(type(receiver) is not owner)
    descriptor = vars(owner)[name]
    # The interpreter's own refusal, as it words it for a member of one of its own classes.
    if callable(descriptor):
        got, reference = attempt(descriptor, receiver, *args), attempt(frozenset.copy, receiver, *args)
        theirs = "frozenset.copy"
    else:
        got, reference = attempt(descriptor.__get__, receiver), attempt(BaseException.args.__get__, receiver)
        theirs = "BaseException.args"
    kind, member_name = theirs.split(".")
    message = reference.message.replace(
        f"'{member_name}' for '{kind}'", f"'{name}' for '{owner.__module__}.{owner.__qualname__}'"
    )
    assert got == reference._replace(message=message)


class Reentrant:
    """An index whose __index__ touches the game it is converted for, then returns `result`;
    it keeps the error the touch met and lets it through unless told to swallow it."""

    def __init__(self, game, touch, swallow, result):
        self.game, self.touch, self.swallow, self.result = game, touch, swallow, result
        self.met = None

    def __index__(self):
        try:
            self.touch(self.game)
        except RuntimeError as error:
            self.met = Raised.of(error)
            if not self.swallow:
                raise
        return self.result


# What a reentrant argument does to the game, and which borrow that needs: True exclusive,
# False shared, None none at all.
TOUCHES = {
    "ply": (lambda g: g.ply, False),
    "scores": (lambda g: g.scores, False),
    "observe": (lambda g: g.observe(1), False),
    "outcome": (lambda g: g.outcome("rank"), False),
    "copy": (lambda g: g.copy(), False),
    "__deepcopy__": (lambda g: g.__deepcopy__(None), False),
    "to_bytes": (lambda g: g.to_bytes(), False),
    "step": (lambda g: g.step(None), True),
    "reset": (lambda g: g.reset(), True),
    "__setstate__": (lambda g: g.__setstate__(FRESH), True),
    "from_bytes": (lambda g: g.from_bytes(FRESH), None),
}


@budget(120)
@given(
    game=games(),
    holder=st.sampled_from(["step", "observe"]),
    touch=st.sampled_from(sorted(TOUCHES)),
    swallow=st.booleans(),
    data=st.data(),
)
def test_arguments_that_touch_the_game_meet_its_borrow(game, holder, touch, swallow, data):
    action, exclusive = TOUCHES[touch]
    legal = legal_actions(game, game.agent_selection)
    result = data.draw(st.integers(0, 36400) | st.sampled_from(legal or [0]) if holder == "step" else st.integers(0, 4))
    # step holds the game exclusively, observe shares it with other readers.
    conflict = None
    if exclusive is not None and (holder == "step" or exclusive):
        conflict = Raised(RuntimeError, "Already borrowed" if exclusive else "Already mutably borrowed")
    before = state(game)
    param = "action_idx" if holder == "step" else "agent_idx"
    if conflict and not swallow:
        expected = conflict._replace(notes=(f"while processing '{param}'",))
    else:
        expected = (expect_step if holder == "step" else expect_observe)(game, result)
    argument = Reentrant(game, action, swallow, result)
    got = attempt(getattr(game, holder), argument)
    assert argument.met == conflict
    if isinstance(expected, Raised):
        assert got == expected
    else:
        expected(got)
    if isinstance(expected, Raised) or holder == "observe":
        assert state(game) == before
    assert game.reset() is None  # the borrows were released
