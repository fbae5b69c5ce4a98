"""The call machinery that every member shares, through the test hooks module that is
built from the same code: binding, conversion, internal failures and the boundary guard."""

import pickle
import subprocess
import sys

import _tegulo_testhooks as hooks
import pytest

import tegulo_rl


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 3 required positional arguments: 'a', 'b', and 'c'"),
        ((1,), {}, "missing 2 required positional arguments: 'b' and 'c'"),
        ((1, 2), {}, "missing 1 required positional argument: 'c'"),
        ((1,), {"c": 3}, "missing 1 required positional argument: 'b'"),
        ((1, 2, 3, 4), {}, "takes 3 positional arguments but 4 were given"),
        ((1,), {"a": 2, "b": 3, "c": 4}, "got multiple values for argument 'a'"),
        ((1, 2, 3), {"d": 1}, "got an unexpected keyword argument 'd'"),
        # Keywords are checked in the order given, before anything is found missing.
        ((), {"z": 1, "a": 2}, "got an unexpected keyword argument 'z'"),
        # Too many positionals is the first rule of all.
        ((1, 2, 3, 4), {"z": 1}, "takes 3 positional arguments but 4 were given"),
    ],
)
def test_binding_refusals(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        hooks.abc(*args, **kwargs)
    assert str(raised.value) == "Hooks.abc() " + message


def test_binding_matches_positions_then_names():
    assert hooks.abc(1, 2, 3) == (1, 2, 3)
    assert hooks.abc(1, c=3, b=2) == (1, 2, 3)
    assert hooks.abc(c=3, a=1, b=2) == (1, 2, 3)


def notes_of(raised):
    return getattr(raised.value, "__notes__", [])


class Indexable:
    def __index__(self):
        return 7


@pytest.mark.parametrize("value, expected", [(0, 0), (True, 1), (2**64 - 1, 2**64 - 1), (Indexable(), 7)])
def test_index_conversion_accepts_integers(value, expected):
    assert hooks.index(value) == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, None),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_index_conversion_keeps_its_error_and_names_the_parameter(value, error, message):
    with pytest.raises(error) as raised:
        hooks.index(value)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert notes_of(raised) == ["while processing 'value'"]


def test_index_conversion_passes_on_errors_of_index():
    class Broken:
        def __index__(self):
            raise KeyError("inside")

    with pytest.raises(KeyError) as raised:
        hooks.index(Broken())
    assert notes_of(raised) == ["while processing 'value'"]


def test_text_conversion():
    class Str(str):
        pass

    assert hooks.text("é") == "é"
    assert hooks.text(Str("x")) == "x"
    with pytest.raises(TypeError) as raised:
        hooks.text(3)
    assert str(raised.value) == "'int' object is not an instance of 'str'"
    assert notes_of(raised) == ["while processing 'value'"]
    with pytest.raises(TypeError) as raised:
        hooks.text(None)
    assert str(raised.value) == "'None' is not an instance of 'str'"

    class Local:
        pass

    with pytest.raises(TypeError) as raised:
        hooks.text(Local())
    assert str(raised.value) == f"'{Local.__qualname__}' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError) as raised:
        hooks.text("\udc80")
    assert notes_of(raised) == ["while processing 'value'"]


def test_bytes_conversion_takes_bytes_and_subclasses_only():
    class Bytes(bytes):
        pass

    assert hooks.data(b"abc") == 3
    assert hooks.data(Bytes(b"ab")) == 2
    for other, name in [(bytearray(b"a"), "bytearray"), (memoryview(b"a"), "memoryview"), ("a", "str")]:
        with pytest.raises(TypeError) as raised:
            hooks.data(other)
        assert str(raised.value) == f"'{name}' object is not an instance of 'bytes'"
        assert notes_of(raised) == ["while processing 'value'"]


def test_internal_failure_is_a_panic_that_except_exception_does_not_catch():
    caught_by_exception = False
    try:
        try:
            hooks.contains(420)
        except Exception:
            caught_by_exception = True
    except BaseException as panic:
        assert type(panic) is tegulo_rl.PanicException  # one class, whichever module raises it
        assert tegulo_rl.PanicException.__bases__ == (BaseException,)
        assert panic.args == ("Bitboard index 420 out of range [0, 419]",)
        assert "BaseException" in type(panic).__doc__
        assert type(pickle.loads(pickle.dumps(panic))) is tegulo_rl.PanicException
    else:
        pytest.fail("no PanicException")
    assert not caught_by_exception
    assert hooks.contains(419) is False
    assert hooks.contains(418) is True


def test_the_game_class_panics_when_standard_output_fails():
    code = (
        "import os, tegulo_rl\n"
        "os.dup2(os.open('/dev/full', os.O_WRONLY), 1)\n"
        "try:\n"
        "    tegulo_rl.PyTegulo().render()\n"
        "except tegulo_rl.PanicException as panic:\n"
        "    os.write(2, str(panic).encode())\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stderr == "failed printing to stdout: No space left on device"


def test_a_failure_escaping_an_entry_aborts_the_process():
    run = subprocess.run(
        [sys.executable, "-c", "import _tegulo_testhooks as h; h.escape(); print('survived')"],
        capture_output=True,
        text=True,
    )
    assert run.returncode < 0  # killed by SIGABRT
    assert "uncaught panic at ffi boundary" in run.stderr
    assert "survived" not in run.stdout
