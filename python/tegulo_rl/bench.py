"""The training loop, measured: observe the agent to move, pick a uniformly random
legal action from its mask, step, until the game is over; game after game.

The loop runs twice: once as a training program runs it, for steps and games per
second, and once with each part timed on its own: observe + reading the action
mask, the caller's choice of action, and step. The choice uses numpy when it is
installed (the way training code picks from a mask) and plain Python otherwise.
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
