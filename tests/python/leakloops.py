"""Long loops over every member of the extension, each on a success path or an error path,
for watching memory: after a warm-up, what tracemalloc traces and what the process holds
resident must not grow with the number of calls.

tests/python/test_leaks.py asserts that through pytest; run as a script, this prints the
figures of every loop:

    PYTHONPATH=build/test-py311/python python tests/python/leakloops.py [--scale 0.2]
"""

import argparse
import contextlib
import copy
import gc
import os
import pickle
import random
import re
import sys
import tracemalloc
from collections.abc import Callable, Iterator
from functools import partial
from operator import attrgetter
from typing import Any, NamedTuple

import tegulo_rl
from tegulo_rl import PanicException, PyObservation, PyTegulo, _views
from tegulo_rl._views import board_text, planes

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
PLANES = ("observation", "corners", "blocked", "pieces", "done", "action_mask")
PROPERTIES = ("agents", "agent_selection", "terminations", "rewards", "scores", "is_over", "ply")


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def type_references() -> int:
    """References to the two classes: every instance holds one, so a deallocation that does not
    give its back shows here even when no byte leaks."""
    return sys.getrefcount(PyTegulo) + sys.getrefcount(PyObservation)


class Loop(NamedTuple):
    name: str
    iterations: int
    body: Callable[[int], Any]  # one iteration, given its number
    around: Callable[[], contextlib.AbstractContextManager[Any]] = contextlib.nullcontext


class Figures(NamedTuple):
    name: str
    iterations: int
    calls_each: int  # how often each of the loop's calls was made
    traced: tuple[int, int, int]  # before, halfway through, after
    rss: tuple[int, int, int]
    type_references: int  # the change over the loop

    def growth(self, readings: tuple[int, int, int]) -> int:
        """The smaller growth of the loop's two halves: a leak grows both alike, while a cache
        or an arena that fills up once grows only one."""
        before, middle, after = readings
        return min(middle - before, after - middle)


def refused(error: type[BaseException], call: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
    """Calls what must raise `error`, and swallows it."""
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


class Index:
    """Converts through __index__, which runs `action` first (raising, touching a game, or not)
    and returns a new copy of `result`."""

    def __init__(self, result: Any, action: Callable[[], Any] = lambda: None) -> None:
        self.result, self.action = result, action

    def __index__(self) -> Any:
        self.action()
        return fresh(self.result)

    def __copy__(self) -> "Index":
        return Index(self.result, self.action)


class Swallowing:
    """Converts through __index__, which meets the borrow of the game it touches and goes on."""

    def __init__(self, touch: Callable[[], Any]) -> None:
        self.touch = touch

    def __index__(self) -> int:
        with contextlib.suppress(RuntimeError):
            self.touch()
        return 36400


def fresh(value: Any) -> Any:
    """A new object equal to `value`, so that a reference a call forgets to give back keeps
    memory alive (shared constants and cached small objects would hide it)."""
    if isinstance(value, str | bytes):
        return (value + value[:1])[: len(value)]
    if isinstance(value, float | int) and not isinstance(value, bool):
        return value + 2**70 - 2**70 if isinstance(value, int) else value * 1.0
    if isinstance(value, memoryview):
        return memoryview(fresh(value.tobytes()))
    return copy.copy(value)


def raising(error: type[BaseException]) -> Callable[[], None]:
    def action() -> None:
        raise error("raised by __index__")

    return action


@contextlib.contextmanager
def descriptor_1_to(path: str) -> Iterator[None]:
    """File descriptor 1, where render() prints, goes to `path` meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    target = os.open(path, os.O_WRONLY)
    os.dup2(target, 1)
    os.close(target)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def legal_actions(game: PyTegulo) -> list[int]:
    mask = game.observe(game.agent_selection).action_mask
    return [found.start() for found in re.finditer(b"\x01", mask)]


def random_game(seed: int) -> list[int | None]:
    rng, game, played = random.Random(seed), PyTegulo(), []
    while not game.is_over:
        legal = legal_actions(game)
        played.append(rng.choice(legal) if legal else None)
        game.step(played[-1])
    return played


class Cycle:
    """A body that makes each of its calls in turn: over a loop, each is made iterations / len times."""

    def __init__(self, *calls: Callable[[], Any]) -> None:
        self.calls = calls

    def __call__(self, i: int) -> Any:
        return self.calls[i % len(self.calls)]()

    def __len__(self) -> int:
        return len(self.calls)


def loops(scale: float = 1.0) -> list[Loop]:
    """Every loop, each `scale` times its usual length."""
    script = random_game(seed=3)
    midgame, finished, stepped, target = PyTegulo(), PyTegulo(), PyTegulo(), PyTegulo()
    for action in script[:30]:
        midgame.step(action)
    for action in script:
        finished.step(action)
    assert not midgame.terminations[midgame.agent_selection]  # so that step(None) is refused
    good = midgame.to_bytes()
    bad = [
        b"",
        b"\x01",
        good[:-1],
        good + b"\0",
        b"\x02" + good[1:],
        good[:-1] + b"\x04",
        good[:69] + b"\x66" + good[70:],
    ]
    obs = midgame.observe(1)

    def replay(i: int) -> None:
        """One step of the scripted game (placements, then passes), from the start again at its end."""
        if i % len(script) == 0:
            stepped.reset()
        stepped.step(script[i % len(script)])

    def n(iterations: int) -> int:
        return max(1, int(iterations * scale))

    def bad_calls(call: Callable[..., Any], cases: list[tuple[type[BaseException], Any]]) -> Cycle:
        return Cycle(*(lambda e=error, v=value: refused(e, call, fresh(v)) for error, value in cases))

    conversion_errors = [
        (OverflowError, -1),
        (OverflowError, 2**64),
        (TypeError, 1.5),
        (TypeError, "0"),
        (KeyError, Index(0, raising(KeyError))),
        (TypeError, Index("0")),
        (OverflowError, Index(2**70)),
    ]
    try:
        import numpy  # noqa: F401

        arrays = [Loop("as_arrays", n(10000), lambda i: tegulo_rl.as_arrays(obs))]
    except ImportError:
        arrays = []
    refused_records = [(ValueError, record) for record in bad] + [(TypeError, bytearray(good)), (TypeError, None)]
    return [
        Loop("PyTegulo()", n(100000), lambda i: PyTegulo()),
        Loop(
            "PyTegulo() refused",
            n(40000),
            Cycle(partial(refused, TypeError, PyTegulo, 1), partial(refused, TypeError, PyTegulo, x=1)),
        ),
        Loop("observe", n(50000), lambda i: midgame.observe(i % 4)),
        Loop(
            "observe refused",
            n(60000),
            bad_calls(midgame.observe, [(ValueError, 4), (TypeError, None), *conversion_errors]),
        ),
        *(Loop(f"PyObservation.{name}", n(50000), lambda i, get=attrgetter(name): get(obs)) for name in PLANES),
        Loop("step accepted", n(100000), replay),
        Loop(
            "step refused",
            n(60000),
            bad_calls(midgame.step, [(AssertionError, None), (AssertionError, 36400), *conversion_errors]),
        ),
        Loop("step passing", n(100000), Cycle(partial(finished.step, None), partial(finished.step, 10**6))),
        Loop(
            "binding refused",
            n(80000),
            Cycle(
                partial(refused, TypeError, midgame.step),
                partial(refused, TypeError, midgame.step, 1, 2),
                partial(refused, TypeError, midgame.step, 0, action_idx=0),
                partial(refused, TypeError, midgame.observe, agent=0),
                partial(refused, TypeError, midgame.outcome, mode="rank", x=1),
                partial(refused, TypeError, PyTegulo.from_bytes),
                partial(refused, TypeError, midgame.__deepcopy__, 1, _memo=2),
                partial(refused, TypeError, midgame.reset, 1),
                partial(refused, TypeError, midgame.to_bytes, x=1),
            ),
        ),
        Loop(
            "copy, __copy__, __deepcopy__",
            n(100000),
            Cycle(
                midgame.copy,
                midgame.__copy__,
                partial(midgame.__deepcopy__, {}),
                partial(copy.copy, midgame),
                partial(copy.deepcopy, midgame),
            ),
        ),
        Loop("pickle round trip", n(20000), lambda i: pickle.loads(pickle.dumps(midgame, protocol=2 + i % 4))),
        Loop("to_bytes, __getstate__", n(100000), Cycle(midgame.to_bytes, midgame.__getstate__)),
        Loop("from_bytes", n(100000), lambda i: PyTegulo.from_bytes(fresh(good))),
        Loop(
            "from_bytes refused",
            n(80000),
            bad_calls(PyTegulo.from_bytes, [*refused_records, (TypeError, memoryview(good))]),
        ),
        Loop("__setstate__", n(100000), lambda i: target.__setstate__(fresh(good))),
        Loop("__setstate__ refused", n(80000), bad_calls(target.__setstate__, [*refused_records, (TypeError, "x")])),
        Loop("reset", n(100000), lambda i: target.reset()),
        Loop("render", n(40000), lambda i: midgame.render(), partial(descriptor_1_to, os.devnull)),
        Loop(
            "render failing",
            n(20000),
            lambda i: refused(PanicException, midgame.render),
            partial(descriptor_1_to, "/dev/full"),
        ),
        Loop(
            "properties",
            n(100000),
            Cycle(*(partial(getattr, g, name) for name in PROPERTIES for g in (midgame, finished))),
        ),
        Loop(
            "outcome",
            n(100000),
            Cycle(
                *(lambda mode=mode: finished.outcome(fresh(mode)) for mode in PyTegulo.reward_modes),
                partial(midgame.outcome, "rank"),
            ),
        ),
        Loop(
            "outcome refused",
            n(40000),
            bad_calls(
                finished.outcome,
                [(ValueError, "bogus"), (TypeError, 1), (TypeError, None), (UnicodeEncodeError, "\udc80")],
            ),
        ),
        Loop(
            "borrow conflicts",
            n(80000),
            Cycle(
                partial(refused, RuntimeError, midgame.step, Index(0, midgame.to_bytes)),
                partial(refused, RuntimeError, midgame.observe, Index(0, midgame.reset)),
                partial(refused, RuntimeError, midgame.step, Index(0, partial(midgame.step, None))),
                partial(refused, AssertionError, midgame.step, Swallowing(partial(midgame.observe, 0))),
                partial(refused, ValueError, midgame.observe, Swallowing(partial(midgame.__setstate__, good))),
            ),
        ),
        Loop(
            "planes, board_text, legal_actions",
            n(60000),
            Cycle(partial(planes, obs), partial(board_text, midgame), lambda: _views.legal_actions(midgame, fresh(1))),
        ),
        Loop(
            "planes, board_text, legal_actions refused",
            n(60000),
            Cycle(
                partial(refused, TypeError, planes, midgame),
                partial(refused, TypeError, board_text, obs),
                partial(refused, TypeError, planes),
                partial(refused, TypeError, _views.legal_actions, obs, 0),
                *(
                    partial(refused, error, _views.legal_actions, midgame, fresh(agent))
                    for error, agent in conversion_errors
                ),
                partial(refused, ValueError, _views.legal_actions, midgame, fresh(4)),
            ),
        ),
        *arrays,
    ]


def measure(loop: Loop) -> Figures:
    """Runs a tenth of the loop as a warm-up, then the whole loop, reading memory before,
    halfway through and after."""

    def reading() -> tuple[int, int, int]:
        gc.collect()
        return tracemalloc.get_traced_memory()[0], resident(), type_references()

    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        with loop.around():
            for i in range(max(loop.iterations // 10, 100)):
                loop.body(i)
            readings = [reading()]
            for half in (range(loop.iterations // 2), range(loop.iterations // 2, loop.iterations)):
                for i in half:
                    loop.body(i)
                readings.append(reading())
    finally:
        if started:
            tracemalloc.stop()
    traced, rss, references = zip(*readings, strict=True)
    each = loop.iterations // len(loop.body) if isinstance(loop.body, Cycle) else loop.iterations
    return Figures(loop.name, loop.iterations, each, traced, rss, references[2] - references[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every loop's iterations")
    scale = parser.parse_args().scale
    tracemalloc.start()
    columns = ("iterations", "calls each", "traced before", "traced after", "RSS before", "RSS after", "class refs")
    print(f"{'loop':<30}" + "".join(f"{column:>14}" for column in columns))
    for loop in loops(scale):
        f = measure(loop)
        numbers = (f.iterations, f.calls_each, f.traced[0], f.traced[2], f.rss[0], f.rss[2])
        print(f"{f.name:<30}" + "".join(f"{number:>14,}" for number in numbers) + f"{f.type_references:>+14}")


if __name__ == "__main__":
    main()
