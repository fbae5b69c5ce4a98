"""The training loop, measured: observe the agent to move, pick a uniformly random
legal action from its mask, step, until the game is over; game after game.

The loop runs twice: once as a training program runs it, for steps and games per
second, and once with each part timed on its own: observe + reading the action
mask, the caller's choice of action, and step. The choice uses numpy when it is
installed (the way training code picks from a mask) and plain Python otherwise.

With numpy, the same run then measures the batched loop on a GameBatch by its
fastest documented path: observe every game (planes and unsorted legal lists),
choose one action per game in numpy over the lists, step them all, with the time
of each part; then the same with sorted lists, with the dense action mask written
as well, on one thread against all of them, and random games played in native code.
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable
from dataclasses import dataclass

from tegulo_rl._tegulo import PyTegulo


@dataclass(frozen=True)
class BenchResult:
    games: int
    steps: int
    seconds: float  # the whole loop
    observe_seconds: float  # observe + action_mask, in the timed run
    choose_seconds: float  # the caller's choice of action, in the timed run
    step_seconds: float  # step, in the timed run
    chooser: str  # "numpy" or "python"

    @property
    def steps_per_second(self) -> float:
        return self.steps / self.seconds

    @property
    def games_per_second(self) -> float:
        return self.games / self.seconds

    @property
    def pairs_per_second(self) -> float:
        """observe-and-step pairs per second, leaving out the caller's choice."""
        return self.steps / (self.observe_seconds + self.step_seconds)

    def report(self) -> str:
        per = 1e6 / self.steps
        return "\n".join(
            [
                f"{self.games} games, {self.steps} steps, choosing actions with {self.chooser}",
                f"loop:                   {self.steps_per_second:9.0f} steps/s {self.games_per_second:8.1f} games/s",
                f"observe + action_mask:  {self.observe_seconds * per:9.2f} us",
                f"choice of action:       {self.choose_seconds * per:9.2f} us",
                f"step:                   {self.step_seconds * per:9.2f} us",
                f"observe-and-step pairs: {self.pairs_per_second:9.0f} /s",
            ]
        )


def legal_actions(mask: bytes) -> list[int]:
    """The indices set in an action mask, without numpy."""
    legal = []
    i = mask.find(1)
    while i >= 0:
        legal.append(i)
        i = mask.find(1, i + 1)
    return legal


def _chooser(seed: int) -> tuple[str, Callable[[bytes], int | None]]:
    """A uniform random pick among the indices set in a mask; None when there is none."""
    try:
        import numpy as np
    except ImportError:
        rng = random.Random(seed)

        def choose_python(mask: bytes) -> int | None:
            legal = legal_actions(mask)
            return rng.choice(legal) if legal else None

        return "python", choose_python

    generator = np.random.default_rng(seed)

    def choose_numpy(mask: bytes) -> int | None:
        # nonzero is several times faster on booleans than on bytes
        legal = np.flatnonzero(np.frombuffer(mask, dtype=np.bool_))
        return int(legal[generator.integers(len(legal))]) if len(legal) else None

    return "numpy", choose_numpy


@dataclass(frozen=True)
class BatchResult:
    num_games: int  # games in the batch
    threads: int
    calls: int  # observe-choose-step rounds per run
    seconds: float  # the fastest loop (unsorted lists) on every thread
    observe_seconds: float  # its parts: observe
    choose_seconds: float  # numpy's choice
    step_seconds: float  # step
    sorted_seconds: float  # the same loop with sorted lists
    one_thread_seconds: float  # the fastest loop on one thread
    mask_seconds: float  # the loop with the dense mask written too
    random_games: int
    random_seconds: float  # play_random on every thread

    @property
    def steps(self) -> int:
        return self.num_games * self.calls

    @property
    def steps_per_second(self) -> float:
        return self.steps / self.seconds

    def report(self, single: BenchResult | None = None) -> str:
        rate = self.steps_per_second
        per = 1e6 / self.steps
        lines = [
            f"GameBatch of {self.num_games} games on {self.threads} threads, {self.calls} rounds per loop",
            "observe(sorted=False) + choose + step:"
            + f"{rate:9.0f} steps/s"
            + (f" ({rate / single.steps_per_second:.1f}x the loop above)" if single else ""),
            f"  observe:                {self.observe_seconds * per:9.3f} us a step",
            f"  numpy's choice:         {self.choose_seconds * per:9.3f} us a step",
            f"  step:                   {self.step_seconds * per:9.3f} us a step",
            f"  the same on 1 thread:   {self.steps / self.one_thread_seconds:9.0f} steps/s"
            f" ({self.one_thread_seconds / self.seconds:.2f}x from {self.threads} threads)",
            f"with sorted lists:        {self.steps / self.sorted_seconds:9.0f} steps/s",
            f"with the action mask too: {self.steps / self.mask_seconds:9.0f} steps/s",
            f"play_random:              {self.random_games / self.random_seconds:9.0f} games/s",
        ]
        return "\n".join(lines)


def run_batch(num_games: int = 1024, calls: int = 100, seed: int = 0, threads: int | None = None) -> BatchResult:
    """Measures the batched loop; needs numpy. The fastest documented path: legal lists
    unsorted (a uniform choice needs no order), one action per game picked in numpy as
    offset + floor(uniform * count), one step call."""
    import numpy as np

    from tegulo_rl._batch import GameBatch

    clock = time.perf_counter
    rng = np.random.default_rng(seed)

    def loop(batch: GameBatch, legal: str, ordered: bool) -> tuple[float, float, float, float]:
        observing = choosing = stepping = 0.0
        start = clock()
        for _ in range(calls):
            t0 = clock()
            obs = batch.observe(legal, sorted=ordered)
            t1 = clock()
            offsets = obs.legal_offsets
            assert obs.legal_actions is not None and offsets is not None
            first = offsets[:-1]
            picks = (rng.random(len(first)) * (offsets[1:] - first)).astype(np.int64)
            actions = obs.legal_actions[first + picks]
            t2 = clock()
            batch.step(actions)
            t3 = clock()
            observing += t1 - t0
            choosing += t2 - t1
            stepping += t3 - t2
        return clock() - start, observing, choosing, stepping

    batch = GameBatch(num_games, threads=threads, seed=seed)
    loop(batch, "list", False)  # warm up: memory, threads and caches
    seconds, observing, choosing, stepping = loop(batch, "list", False)
    sorted_seconds = loop(batch, "list", True)[0]
    mask_seconds = loop(batch, "both", False)[0]
    one = GameBatch(num_games, threads=1, seed=seed)
    loop(one, "list", False)
    one_thread_seconds = loop(one, "list", False)[0]
    random_games = max(num_games, 4 * num_games * calls // 100)
    start = clock()
    batch.play_random(random_games)
    random_seconds = clock() - start
    return BatchResult(
        num_games,
        batch.threads,
        calls,
        seconds,
        observing,
        choosing,
        stepping,
        sorted_seconds,
        one_thread_seconds,
        mask_seconds,
        random_games,
        random_seconds,
    )


def run(games: int = 300, seed: int = 0, progress: Callable[[int, int], None] | None = None) -> BenchResult:
    """Measures `games` games per run; `progress(done, total)` hears of each game of both runs."""
    clock = time.perf_counter
    game = PyTegulo()
    chooser, choose = _chooser(seed)
    total = 2 * games

    steps = 0
    start = clock()
    for g in range(games):
        game.reset()
        while not game.is_over:
            game.step(choose(game.observe(game.agent_selection).action_mask))
            steps += 1
        if progress:
            progress(g + 1, total)
    seconds = clock() - start

    observing = choosing = stepping = 0.0
    for g in range(games):
        game.reset()
        while not game.is_over:
            t0 = clock()
            mask = game.observe(game.agent_selection).action_mask
            t1 = clock()
            action = choose(mask)
            t2 = clock()
            game.step(action)
            t3 = clock()
            observing += t1 - t0
            choosing += t2 - t1
            stepping += t3 - t2
        if progress:
            progress(games + g + 1, total)
    return BenchResult(games, steps, seconds, observing, choosing, stepping, chooser)
