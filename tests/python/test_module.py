"""The module frame: what importing _tegulo gives, and the shape of its two classes."""

import importlib.util
import weakref

import pytest

from tegulo_rl import _tegulo
from tegulo_rl._tegulo import PyObservation, PyTegulo


def test_module_holds_only_its_two_classes():
    assert _tegulo.__all__ == ["PyTegulo", "PyObservation"]
    assert _tegulo.__doc__ == ""
    own = {name for name in vars(_tegulo) if not name.startswith("__")}
    assert own == {"PyTegulo", "PyObservation"}


def test_a_second_module_object_shares_the_classes():
    spec = importlib.util.spec_from_file_location("_tegulo", _tegulo.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _tegulo
    assert again.PyTegulo is PyTegulo and again.PyObservation is PyObservation
    assert again.__all__ == ["PyTegulo", "PyObservation"]


def test_class_names_modules_and_docs():
    assert (PyTegulo.__module__, PyTegulo.__name__) == ("tegulo_rl._tegulo", "PyTegulo")
    assert PyTegulo.__text_signature__ == "()"
    assert not PyTegulo.__doc__
    assert (PyObservation.__module__, PyObservation.__name__) == ("builtins", "PyObservation")
    assert PyObservation.__doc__ == (
        "An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
        "agent-relative order, see `Observation`."
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "PyTegulo.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "PyTegulo.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "PyTegulo.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        PyTegulo(*args, **kwargs)
    assert str(raised.value) == message


def test_observations_cannot_be_made_and_classes_not_extended():
    with pytest.raises(TypeError):
        PyObservation()
    for cls in (PyTegulo, PyObservation):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_instances_take_no_attributes_and_properties_are_read_only(game):
    with pytest.raises(AttributeError):
        game.anything = 1
    with pytest.raises(AttributeError):
        game.ply = 3
    with pytest.raises(AttributeError):
        game.agent_selection = 1
    assert not hasattr(game, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(game)
    with pytest.raises(TypeError):
        PyTegulo.ply = None


def test_a_fresh_game_has_made_no_move(game):
    assert game.ply == 0
    assert game.agent_selection == 0
    assert PyTegulo.ply.__doc__ == "The number of placements made so far, by all agents."
    assert PyTegulo.agent_selection.__doc__ is None
