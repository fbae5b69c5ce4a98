"""One file past the usual length on purpose: a loop a member, side by side, so that the
suite and a person reading the figures see every member's loop in one place.

Long loops over every member of the extension, each on a success path or an error path,
for watching memory: after a warm-up, what tracemalloc traces and what the process holds
resident must not grow with the number of calls. The loops over GameBatch, its results,
the module _players and tegulo_rl.players need numpy, and are left out without it.

tests/python/test_leaks.py asserts that through pytest; run as a script, this prints the
figures of every loop:

    PYTHONPATH=build/test-py311/python python tests/python/leakloops.py [--scale 0.2]
"""

import argparse
import contextlib
import copy
import ctypes
import gc
import os
import pickle
import random
import re
import signal
import sys
import tracemalloc
from collections.abc import Callable, Iterator
from functools import partial
from operator import attrgetter
from typing import Any, NamedTuple

import tegulo_rl
from tegulo_rl import PanicException, PyTegulo, _views
from tegulo_rl._views import board_text, planes

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
PLANES = ("observation", "corners", "blocked", "pieces", "done", "action_mask")
PROPERTIES = ("agents", "agent_selection", "terminations", "rewards", "scores", "is_over", "ply")


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


EXTENSION_MODULES = ("tegulo_rl._tegulo", "tegulo_rl._views", "tegulo_rl._batch", "tegulo_rl._players")


def type_references() -> int:
    """References to the extension's classes (PyTegulo, GameBatch, the result classes, the
    batch's memory blocks and array views, GuidedSearch, ...): every instance holds one, so
    a deallocation that does not give its back shows here even when no byte leaks. The
    classes are looked up each time, as the batch makes some of them on first use. (Not every
    class that other libraries make has a __module__.)"""
    subclasses = [c for base in (object, tuple) for c in base.__subclasses__()]
    classes = [c for c in subclasses if getattr(c, "__module__", None) in EXTENSION_MODULES]
    return sum(sys.getrefcount(c) for c in classes)


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


def refusals(call: Callable[..., Any], cases: list[tuple[type[BaseException], Any]]) -> list[Callable[[], None]]:
    """A call per case: call(a fresh copy of its value), which must raise its error."""
    return [lambda e=error, v=value: refused(e, call, fresh(v)) for error, value in cases]


def bad_calls(call: Callable[..., Any], cases: list[tuple[type[BaseException], Any]]) -> Cycle:
    """The refusals of `call`, each in turn."""
    return Cycle(*refusals(call, cases))


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
        *batch_loops(n, script),
    ]


class Interrupted(Exception):
    """What the timer's signal handler raises to stop a call part of the way through."""


class Timer:
    """Runs a call with SIGALRM due `after` seconds in, its handler running `during` (raising
    Interrupted, say, or re-entering the batch) only while the call is under way."""

    def __init__(self, during: Callable[[], Any]) -> None:
        self.during, self.armed = during, False

    def handler(self, signum: int, frame: Any) -> None:
        if self.armed:
            self.during()

    @contextlib.contextmanager
    def installed(self) -> Iterator[None]:
        previous = signal.signal(signal.SIGALRM, self.handler)
        try:
            yield
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            # A signal the timer raised just before it was disarmed can still be on its way:
            # valgrind hands a signal to the thread that took it only when that thread next
            # runs, which can be well after this. The default action would then end the
            # process, so where that was the old handler the signal is ignored instead.
            signal.signal(signal.SIGALRM, signal.SIG_IGN if previous == signal.SIG_DFL else previous)

    def run(self, call: Callable[[], Any], after: float) -> None:
        """call(), stopped by Interrupted if the timer comes first."""
        try:
            try:
                self.armed = True
                signal.setitimer(signal.ITIMER_REAL, after)
                call()
            finally:
                self.armed = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except Interrupted:
            pass


class Threads:
    """A thread count given through __index__ that is then made to refer to the batch made
    with it: a cycle, which the collector can free only if the batch keeps no reference to
    this object (it does not see into a batch)."""

    def __init__(self, count: int) -> None:
        self.count, self.batch = count, None

    def __index__(self) -> int:
        return self.count


def raise_interrupted() -> None:
    raise Interrupted


def batch_loops(n: Callable[[int], int], script: list[int | None]) -> list[Loop]:
    """The loops over GameBatch and its results, the module _players and tegulo_rl.players,
    on batches of a few games and searches of a few simulations; none without numpy."""
    try:
        import numpy as np
    except ImportError:
        return []
    from tegulo_rl import GameBatch, _players, players
    from tegulo_rl._batch import _restore
    from tegulo_rl.players import Player

    games = 4
    batch = GameBatch(games, threads=1, seed=5)  # a batch in mid-play that the loops leave as it is
    for _ in range(25):
        batch.step_random()
    stepped = GameBatch(games, threads=2, seed=6)  # one the loops play on, from start to end and again
    target = GameBatch(games, threads=1, seed=7)  # one whose games the loops replace and interrupt
    records = batch.to_bytes()
    loading = GameBatch(1, threads=2, seed=5)
    state = batch.__reduce__()[1]  # records, reward mode, threads, seed, streams
    obs = batch.observe(legal="both")
    first = obs.legal_actions[obs.legal_offsets[:-1]]  # a legal action per game
    unlisted = next(a for a in range(36400) if a not in obs.legal_actions[: obs.legal_offsets[1]])
    illegal = first.copy()
    illegal[0] = unlisted
    out_of_range = first.copy()
    out_of_range[games - 1] = 36400
    midgame, finished = PyTegulo(), PyTegulo()
    for action in script[:30]:
        midgame.step(action)
    for action in script:
        finished.step(action)
    bad_record = records.copy()
    bad_record[2, 0] = 7
    over = records.copy()
    over[1] = np.frombuffer(finished.to_bytes(), np.uint8)
    seats = np.array([[0, 1, 2, 1], [2, 2, 0, 0], [1, 1, 1, 1], [0, 1, 2, 0]])
    line_up = ["random", "greedy", Player("heuristic")]
    tiny_mcts = Player("mcts", simulations=2, playout="random")
    searched = [midgame, batch.game(2)]
    roots = b"".join(g.to_bytes() for g in searched)
    choice_kept = batch.choose("random")
    step_kept = GameBatch(games, threads=1, seed=8).step_random()

    def first_of(target: GameBatch) -> Any:
        """A legal action per game of `target` as it stands."""
        seen = target.observe("list", sorted=False)
        return seen.legal_actions[seen.legal_offsets[:-1]]

    def play_first(i: int) -> None:
        """A step of each game with its first legal action, in one of several integer forms."""
        o = stepped.observe()
        actions = o.legal_actions[o.legal_offsets[:-1]]
        forms = (actions, actions.astype(np.int32), actions.astype(">u2"), actions.tolist(), actions.repeat(2)[::2])
        stepped.step(forms[i % len(forms)])

    def uniform(o: Any) -> tuple[Any, Any]:
        mask = o.action_mask
        return mask.astype(np.float32), np.zeros((len(mask), 4), np.float32)

    def evaluator(make: Callable[[int], Any]) -> Callable[[Any], Any]:
        return lambda o: make(len(o.action_mask))

    def network_down(o: Any) -> None:
        raise RuntimeError("network down")

    bad_evaluators = [
        evaluator(lambda k: None),
        evaluator(lambda k: (np.zeros((k, 10), np.float32), np.zeros((k, 4), np.float32))),
        evaluator(lambda k: (np.ones((k, 36400), np.float32), np.zeros(k, np.float32))),
        evaluator(lambda k: (np.full((k, 36400), np.nan, np.float32), np.zeros((k, 4), np.float32))),
        evaluator(lambda k: (-np.ones((k, 36400), np.float32), np.zeros((k, 4), np.float32))),
        evaluator(lambda k: (np.ones((k, 36400), np.float32), np.full((k, 4), np.inf, np.float32))),
        evaluator(lambda k: (np.ones((k, 36400), np.float32), [["a"] * 4] * k)),
    ]

    def guided(i: int) -> Any:
        """A whole guided search driven from here, leaf by leaf."""
        tree = _players.GuidedSearch(roots, 6, 1.5, 3, "rank")
        while (leaves := tree.select()) is not None:
            k = len(leaves) // 278
            tree.expand(np.ones((k, 36400), np.float32), np.zeros((k, 4), np.float32))
        return tree.best()

    def tree() -> Any:
        return _players.GuidedSearch(roots, 6, 1.5, 3, "rank")

    def selected() -> Any:
        t = tree()
        t.select()
        return t

    def cycle_through_threads(i: int) -> None:
        threads = Threads(1)
        threads.batch = GameBatch(1, threads=threads, seed=1)

    def reenter_and_interrupt() -> None:
        with contextlib.suppress(RuntimeError):  # the batch in use by this thread
            target.observe()
        raise Interrupted

    interrupter = Timer(raise_interrupted)
    reentry = Timer(reenter_and_interrupt)

    @contextlib.contextmanager
    def reentry_installed() -> Iterator[None]:
        """The reentry timer, on a batch whose observation blocks exist already. Where the
        signal lands while the batch is not in use (in the Python code that reads the players,
        before the call takes the batch), the handler's observe succeeds; the first such success
        made the batch's first observation block, a cache that fills once and stays, and when
        that came inside the measured loop, the block's class reference read as an instance
        never freed (one sanitized run in five, where Python code is slow enough to be hit)."""
        held = target.observe()
        target.observe()  # a second block while the first is held: the cache is full
        del held
        with reentry.installed():
            yield

    searching = ["greedy", Player("mcts", simulations=12, playout="random")]
    both_seats = np.array([[0, 1, 0, 1]] * games)

    class ReenteringRows:
        """Seats whose rows are read while `of` is in use: each read re-enters it."""

        def __init__(self, of: GameBatch) -> None:
            self.of = of

        def __len__(self) -> int:
            return games

        def __getitem__(self, i: int) -> list[int]:
            if not 0 <= i < games:
                raise IndexError(i)
            self.of.observe()
            return [0, 0, 0, 0]

    count_errors = [
        (ValueError, 0),
        (ValueError, -1),
        (ValueError, 2**70),
        (TypeError, 1.5),
        (TypeError, "2"),
        (KeyError, Index(2, raising(KeyError))),
    ]
    seed_errors = [(ValueError, -1), (ValueError, 2**64), (TypeError, "1"), (TypeError, 1.5)]
    player_errors = [
        (ValueError, "best"),
        (ValueError, "mcts:-5"),
        (ValueError, "mcts:x"),
        (ValueError, "greedy:10"),
        (ValueError, []),
        (TypeError, 3),
        (TypeError, [None]),
    ]
    seat_errors = [
        (ValueError, np.zeros((games, 3), np.int64)),
        (ValueError, np.zeros(games, np.int64)),
        (ValueError, np.full((games, 4), 3)),
        (ValueError, -np.ones((games, 4), np.int8)),
        (TypeError, np.zeros((games, 4))),
        (TypeError, [["a"] * 4] * games),
    ]
    record_errors = [
        (ValueError, np.zeros((2, 277), np.uint8)),
        (ValueError, np.zeros((0, 278), np.uint8)),
        (ValueError, np.zeros(278, np.uint8)),
        (TypeError, np.zeros((1, 278), np.int16)),
        (ValueError, bad_record),
        (ValueError, over),
        (ValueError, records.tobytes()),
        (TypeError, None),
    ]
    restored = state[0], state[4]
    return [
        Loop(
            "GameBatch()",
            n(6000),
            Cycle(
                lambda: GameBatch(games, threads=1, seed=fresh(1)),
                lambda: GameBatch(fresh(3), reward_mode=fresh("score"), threads=fresh(1)),
                lambda: GameBatch(2, reward_mode="win_share", threads=2, seed=0),
            ),
        ),
        Loop(
            "GameBatch() refused",
            n(40000),
            Cycle(
                *refusals(GameBatch, [*count_errors, (ValueError, 2**24 + 1)]),
                *(
                    partial(refused, e, GameBatch, 2, **{key: fresh(v)})
                    for key, cases in (
                        ("reward_mode", [(ValueError, "best"), (TypeError, 1), (UnicodeEncodeError, "\udc80")]),
                        ("threads", [(ValueError, 0), (ValueError, 1025), (TypeError, 1.5)]),
                        ("seed", seed_errors),
                    )
                    for e, v in cases
                ),
                partial(refused, TypeError, GameBatch, 2, 3),
                partial(refused, TypeError, GameBatch),
                partial(refused, TypeError, GameBatch, 2, games=3),
            ),
        ),
        Loop(
            "GameBatch attributes",
            n(100000),
            Cycle(
                partial(len, batch),
                *(partial(getattr, batch, name) for name in ("num_games", "threads", "reward_mode", "seed")),
                partial(repr, batch),
            ),
        ),
        Loop(
            "GameBatch.observe",
            n(12000),
            Cycle(
                batch.observe,
                partial(batch.observe, "mask"),
                partial(batch.observe, legal="both"),
                partial(batch.observe, sorted=False),
                partial(batch.observe, "both", sorted=0),
            ),
        ),
        Loop(
            "GameBatch.observe refused",
            n(40000),
            Cycle(
                *refusals(batch.observe, [(ValueError, "all"), (TypeError, 1), (UnicodeEncodeError, "\udc80")]),
                partial(refused, TypeError, batch.observe, "list", 1),
                partial(refused, TypeError, batch.observe, mode="list"),
            ),
        ),
        Loop(
            "BatchObservation, BatchStep, BatchChoice members",
            n(60000),
            Cycle(
                *(partial(getattr, r, name) for r in (obs, step_kept, choice_kept) for name in r.__match_args__),
                partial(obs.__getitem__, 8),
                partial(tuple, step_kept),
                partial(len, choice_kept),
                lambda: memoryview(obs.corners.base.obj),  # the buffer under the array
                # ctypes takes the buffer and refuses it as read-only
                partial(refused, TypeError, ctypes.c_char.from_buffer, obs.done.base.obj),
            ),
        ),
        Loop("GameBatch.step", n(8000), play_first),
        Loop(
            "GameBatch.step refused",
            n(40000),
            Cycle(
                *refusals(
                    batch.step,
                    [
                        (ValueError, first.reshape(games, 1)),
                        (ValueError, first[:-1]),
                        (ValueError, np.int64(0)),
                        (TypeError, first.astype(float)),
                        (TypeError, first.astype(bool)),
                        (TypeError, np.array([0, 0, 0, None])),
                        (TypeError, ["a"] * games),
                        (TypeError, None),
                        (ValueError, illegal),
                        (ValueError, out_of_range),
                        (ValueError, -first),
                        (ValueError, np.full(games, 2**64 - 1, np.uint64)),
                    ],
                ),
                partial(refused, TypeError, batch.step),
                partial(refused, TypeError, batch.step, first, first),
                partial(refused, TypeError, batch.step, actions=first, x=1),
            ),
        ),
        Loop("GameBatch.step_random", n(20000), lambda i: stepped.step_random()),
        Loop("GameBatch.play_random", n(2000), lambda i: stepped.play_random(fresh(1 + i % 2))),
        Loop(
            "GameBatch.play_random refused",
            n(40000),
            Cycle(*refusals(stepped.play_random, count_errors), partial(refused, TypeError, stepped.play_random)),
        ),
        Loop(
            "GameBatch.reset",
            n(20000),
            Cycle(target.reset, lambda: target.reset(fresh(2**64 - 1)), partial(target.reset, seed=None)),
        ),
        Loop(
            "GameBatch.reset refused",
            n(40000),
            Cycle(
                *refusals(target.reset, seed_errors),
                partial(refused, TypeError, target.reset, 1, 2),
                partial(refused, TypeError, target.reset, x=1),
            ),
        ),
        Loop(
            "GameBatch.choose",
            n(7000),
            Cycle(
                *(partial(batch.choose, p) for p in ("random", "greedy", "heuristic", tiny_mcts)),
                partial(batch.choose, line_up, seats),
                lambda: batch.choose(line_up, seats.tolist()),
                partial(batch.choose, ("random",), None),
            ),
        ),
        Loop(
            "GameBatch.choose refused",
            n(22000),
            Cycle(
                *refusals(batch.choose, player_errors),
                partial(refused, TypeError, batch.choose),
                partial(refused, TypeError, batch.choose, "random", None, 1),
                partial(refused, TypeError, batch.choose, "random", places=None),
                partial(refused, RuntimeError, batch.choose, "random", ReenteringRows(batch)),
            ),
        ),
        Loop(
            # Apart, and longer: numpy's own caches take thousands of these refusals to fill.
            "GameBatch.choose seats refused",
            n(24000),
            Cycle(*refusals(partial(batch.choose, line_up), seat_errors)),
        ),
        Loop(
            "GameBatch.step_players",
            n(5000),
            Cycle(
                # on a batch of one thread: a search on a worker thread fills that thread's
                # malloc arena over thousands of calls, which would read as growth here
                *(partial(target.step_players, p) for p in ("random", "greedy", "heuristic", tiny_mcts)),
                partial(target.step_players, line_up, seats),
            ),
        ),
        Loop(
            "GameBatch.step_players refused",
            n(10000),
            Cycle(  # the players and the seats as choose reads them, which the loop above tries in full
                partial(refused, ValueError, stepped.step_players, "mcts:-5"),
                partial(refused, ValueError, stepped.step_players, line_up, seat_errors[0][1]),
                partial(refused, ValueError, stepped.step_players, line_up, seat_errors[2][1]),
                partial(refused, TypeError, stepped.step_players),
                partial(refused, RuntimeError, stepped.step_players, "random", ReenteringRows(stepped)),
            ),
        ),
        Loop(
            "GameBatch.step_learners",
            n(5000),
            Cycle(
                lambda: stepped.step_learners(first_of(stepped), "random"),
                lambda: stepped.step_learners(
                    first_of(stepped), line_up, seats[:, :3], next_learners=[1, 2, 3, 0], playing=[1, 0, 1, 1]
                ),
                lambda: stepped.step_learners(first_of(stepped), Player("greedy"), playing=np.ones(games, bool)),
                lambda: stepped.step_learners(
                    first_of(stepped), line_up, seats[:, :3], next_opponents=seats[:, 1:], next_learners=[0, 1, 2, 3]
                ),
            ),
        ),
        Loop(
            "GameBatch.step_learners refused",
            n(10000),
            Cycle(  # on the batch the loops leave as it is
                partial(refused, ValueError, batch.step_learners, illegal, "random"),
                partial(refused, ValueError, batch.step_learners, out_of_range, line_up),
                partial(refused, ValueError, batch.step_learners, first, tiny_mcts),
                partial(refused, TypeError, batch.step_learners, first),
            ),
        ),
        Loop(
            # Apart, and longer, as the seats of choose: numpy's caches fill over thousands of refusals.
            "GameBatch.step_learners tables refused",
            n(24000),
            Cycle(
                partial(refused, ValueError, batch.step_learners, first, line_up, seats),
                partial(refused, ValueError, batch.step_learners, first, "random", next_learners=seats[:, 2] + 3),
                partial(refused, TypeError, batch.step_learners, first, "random", playing=np.ones(games)),
                partial(refused, ValueError, batch.step_learners, first, "random", next_opponents=seats[:, :3] + 1),
            ),
        ),
        Loop(
            "choose, step_players, play_random interrupted",
            n(900),
            Cycle(
                lambda: interrupter.run(partial(target.choose, searching, both_seats), 0.002),
                lambda: interrupter.run(partial(target.step_players, searching, both_seats), 0.002),
                lambda: interrupter.run(partial(target.play_random, 10**5), 0.002),
            ),
            interrupter.installed,
        ),
        Loop(
            "re-entered from a signal handler",
            n(900),
            Cycle(
                lambda: reentry.run(partial(target.step_players, searching, both_seats), 0.002),
                lambda: reentry.run(partial(target.play_random, 10**5), 0.001),
            ),
            reentry_installed,
        ),
        Loop("GameBatch.to_bytes", n(40000), lambda i: batch.to_bytes()),
        Loop(
            "GameBatch.from_bytes",
            n(15000),
            Cycle(
                lambda: GameBatch.from_bytes(fresh(records), threads=1, seed=fresh(3)),
                lambda: GameBatch.from_bytes(records[::-1], reward_mode=fresh("score"), threads=1),
                lambda: GameBatch.from_bytes(np.asfortranarray(records), threads=1, seed=0),
            ),
        ),
        Loop(
            "GameBatch.load",
            n(15000),
            Cycle(
                lambda: loading.load(fresh(records)),
                lambda: loading.load(records[:2]),
                lambda: loading.load(np.asfortranarray(records)),
            ),
        ),
        Loop(
            "GameBatch.load refused",
            n(40000),
            Cycle(*refusals(loading.load, record_errors), partial(refused, TypeError, loading.load)),
        ),
        Loop(
            "GameBatch.from_bytes refused",
            n(40000),
            Cycle(
                *refusals(partial(GameBatch.from_bytes, threads=1), record_errors),
                partial(refused, ValueError, GameBatch.from_bytes, records, reward_mode="best"),
                partial(refused, ValueError, GameBatch.from_bytes, records, threads=0),
                partial(refused, ValueError, GameBatch.from_bytes, records, seed=-1),
                partial(refused, TypeError, GameBatch.from_bytes, records, 1),
                partial(refused, TypeError, GameBatch.from_bytes),
            ),
        ),
        Loop(
            "GameBatch.game, set_game",
            n(40000),
            Cycle(
                lambda: batch.game(fresh(1)),
                partial(batch.game, -1),
                partial(target.set_game, 0, midgame),
                lambda: target.set_game(index=fresh(-1), game=midgame),
            ),
        ),
        Loop(
            "GameBatch.game, set_game refused",
            n(40000),
            Cycle(
                *refusals(batch.game, [(IndexError, 4), (IndexError, -5), (IndexError, 2**70), (TypeError, "1")]),
                *refusals(
                    partial(target.set_game, 0), [(TypeError, object()), (TypeError, None), (ValueError, finished)]
                ),
                partial(refused, IndexError, target.set_game, 4, midgame),
                partial(refused, RuntimeError, batch.game, Index(0, batch.observe)),
                partial(refused, RuntimeError, target.set_game, Index(0, target.to_bytes), midgame),
                partial(refused, RuntimeError, midgame.step, Index(0, partial(target.set_game, 0, midgame))),
                partial(refused, TypeError, batch.game),
                partial(refused, TypeError, target.set_game, 0, midgame, 1),
            ),
        ),
        Loop(
            "GameBatch pickle, copy, _restore",
            n(20000),
            Cycle(
                lambda: pickle.loads(pickle.dumps(batch)),
                partial(copy.copy, batch),
                partial(copy.deepcopy, batch),
                batch.__reduce__,
                lambda: _restore(fresh(state[0]), fresh("score"), fresh(1), fresh(9), fresh(state[4])),
            ),
        ),
        Loop(
            "_restore refused",
            n(40000),
            Cycle(
                partial(refused, TypeError, _restore, bytearray(restored[0]), "rank", 1, 1, restored[1]),
                partial(refused, TypeError, _restore, restored[0], "rank", 1, 1, None),
                partial(refused, ValueError, _restore, restored[0], "rank", 1, 1, restored[1][:-1]),
                partial(refused, ValueError, _restore, restored[0][:-1], "rank", 1, 1, restored[1]),
                partial(refused, ValueError, _restore, b"", "rank", 1, 1, b""),
                partial(refused, ValueError, _restore, restored[0], "best", 1, 1, restored[1]),
                partial(refused, ValueError, _restore, restored[0], "rank", 0, 1, restored[1]),
                partial(refused, ValueError, _restore, restored[0], "rank", 1, -1, restored[1]),
                partial(refused, ValueError, _restore, bad_record.tobytes(), "rank", 1, 1, restored[1]),
                partial(refused, TypeError, _restore, restored[0]),
            ),
        ),
        Loop("GameBatch(threads=an object that holds the batch)", n(20000), cycle_through_threads),
        Loop(
            "_players.choose",
            n(7000),
            Cycle(
                *(
                    lambda p=p: _players.choose(fresh(roots[:278]), p, fresh(7), 1)
                    for p in ("random", "greedy", "heuristic", tiny_mcts)
                ),
                lambda: _players.choose(roots[278:], Player("mcts", simulations=4, playout="random", trees=2), 1, 2),
                lambda: _players.choose(finished.to_bytes(), "random", 0, 1),
                lambda: _players.choose(memoryview(roots)[:278], ["greedy", "random"], 2**64 - 1, 1),
            ),
        ),
        Loop(
            "_players.choose refused",
            n(40000),
            Cycle(
                *refusals(
                    lambda r: _players.choose(r, "random", 0, 1),
                    [(ValueError, b""), (ValueError, roots), (ValueError, bad_record[2].tobytes()), (TypeError, "x")],
                ),
                *refusals(lambda p: _players.choose(roots[:278], p, 0, 1), player_errors),
                *refusals(lambda s: _players.choose(roots[:278], "random", s, 1), seed_errors[:3]),
                *refusals(
                    lambda t: _players.choose(roots[:278], "random", 0, t),
                    [(ValueError, 0), (ValueError, 1025), (TypeError, "1"), (ValueError, -1)],
                ),
                partial(refused, TypeError, _players.choose, roots[:278], "random"),
                partial(refused, TypeError, _players.choose, roots[:278], "random", 0, 1, 1),
            ),
        ),
        Loop("GuidedSearch", n(1500), guided),
        Loop(
            "GuidedSearch refused",
            n(20000),
            Cycle(
                *(
                    partial(refused, error, _players.GuidedSearch, *args)
                    for error, args in (
                        (ValueError, (b"", 6, 1.5, 3, "rank")),
                        (ValueError, (roots[:-1], 6, 1.5, 3, "rank")),
                        (ValueError, (bad_record[2].tobytes(), 6, 1.5, 3, "rank")),
                        (ValueError, (finished.to_bytes(), 6, 1.5, 3, "rank")),
                        (TypeError, (bytearray(roots), 6, 1.5, 3, "rank")),
                        (ValueError, (roots, 0, 1.5, 3, "rank")),
                        (ValueError, (roots, 2**32, 1.5, 3, "rank")),
                        (ValueError, (roots, -1, 1.5, 3, "rank")),
                        (TypeError, (roots, "6", 1.5, 3, "rank")),
                        (TypeError, (roots, 6, "x", 3, "rank")),
                        (ValueError, (roots, 6, 1.5, 0, "rank")),
                        (ValueError, (roots, 6, 1.5, 3, "best")),
                        (TypeError, (roots, 6, 1.5, 3, None)),
                        (TypeError, (roots, 6, 1.5, 3)),
                    )
                ),
                lambda: refused(RuntimeError, selected().select),
                lambda: refused(ValueError, selected().expand, np.ones(36400, np.float32), np.zeros(4, np.float32)),
                lambda: refused(ValueError, selected().expand, b"\0" * 3, b"\0" * 4),
                lambda: refused(TypeError, selected().expand, None, None),
                lambda: refused(TypeError, selected().expand, priors=b""),
                lambda: refused(RuntimeError, tree().best),
                lambda: refused(RuntimeError, tree().expand, np.ones(36400, np.float32), np.zeros(4, np.float32)),
            ),
        ),
        Loop(
            "players.search",
            n(1000),
            Cycle(
                partial(players.search, searched, uniform, simulations=6, leaves=3, threads=1),
                partial(players.search, midgame, uniform, simulations=4, leaves=2, threads=2),
                partial(players.search, [finished], uniform),
            ),
        ),
        Loop(
            "players.search refused",
            n(4000),
            Cycle(
                partial(refused, RuntimeError, players.search, searched, network_down, threads=1),
                *(
                    partial(refused, ValueError, players.search, searched, e, simulations=4, threads=1)
                    for e in bad_evaluators
                ),
                partial(refused, ValueError, players.search, midgame, uniform, simulations=0),
                partial(refused, ValueError, players.search, midgame, uniform, reward_mode="best"),
                partial(refused, TypeError, players.search, midgame, None),
                partial(refused, TypeError, players.search, [midgame, "game"], uniform),
                partial(refused, TypeError, players.search, midgame, uniform, leaves=1.5),
            ),
        ),
        Loop(
            "players.choose, parse, Player",
            n(10000),
            Cycle(
                partial(players.choose, midgame, "greedy", seed=3),
                partial(players.choose, midgame, "mcts", simulations=3, playout="random", seed=1),
                partial(players.choose, finished),
                lambda: players.parse(fresh("mcts:200")),
                lambda: players.parse(fresh("heuristic")),
                lambda: players.Player("mcts", simulations=fresh(50), weights=(1, 0.5, 0.0)),
                partial(players._native, line_up),
            ),
        ),
        Loop(
            "players.choose, parse, Player refused",
            n(30000),
            Cycle(
                *refusals(players.parse, [(ValueError, name) for name in ("best", "mcts:x", "greedy:10")]),
                partial(refused, TypeError, players.parse, 3),
                partial(refused, TypeError, players.Player, "mcts", simulations=1.5),
                partial(refused, ValueError, players.Player, "mcts", exploration=float("nan")),
                partial(refused, ValueError, players.Player, "mcts", playout="mcts"),
                partial(refused, ValueError, players.Player, "mcts", reward="best"),
                partial(refused, ValueError, players.Player, "heuristic", weights=(1.0, float("inf"), 0.0)),
                partial(refused, TypeError, players.choose, midgame, "random", seed="1"),
                partial(refused, TypeError, players.choose, "game"),
                partial(refused, TypeError, players.choose, midgame, "mcts", simulation=5),
                partial(refused, ValueError, players.choose, midgame, "random", seed=-1),
                partial(refused, ValueError, players.choose, midgame, "random", threads=0),
            ),
        ),
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
