import contextlib
import os
import random
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

from tegulo_rl._tegulo import PyTegulo

# The planes of an observation and their shapes, in property order.
PLANE_SHAPES = {
    "observation": (4, 20, 20),
    "corners": (4, 20, 20),
    "blocked": (4, 20, 20),
    "pieces": (4, 21),
    "done": (4,),
    "action_mask": (36400,),
}


# A checked build: CPython with its debug checks, or our code under the sanitizers. Every call into
# the extension is checked there; what only Python code decides (type checking, Ray, the guides'
# examples) the release interpreters test already, at a fraction of the cost, and the leak loops
# run shortened (`LEAK_SCALE`), for the checkers to see each path and the references to balance.
CHECKED_BUILD = hasattr(sys, "gettotalrefcount") or bool(os.environ.get("TEGULO_SANITIZED"))
LEAK_SCALE = 0.1 if CHECKED_BUILD else 1.0
RELEASE_ONLY = ("test_package.py::test_stubs_match", "test_ray.py::", "test_selfplay.py::", "test_docs.py::")


def pytest_collection_modifyitems(config, items):
    if not CHECKED_BUILD:
        return
    skip = pytest.mark.skip(reason="a checked build: this runs on the release interpreters only")
    for item in items:
        if f"{item.path.name}::{item.name}".startswith(RELEASE_ONLY):
            item.add_marker(skip)


# Property tests: no deadline and no too-slow check on a shared, noisy machine, and no
# example database left in the tree. HYPOTHESIS_PROFILE=thorough runs ten times the
# examples (the tests scale their own counts with the profile's max_examples).
settings.register_profile(
    "tegulo", deadline=None, database=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("thorough", settings.get_profile("tegulo"), max_examples=1000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "tegulo"))


# Cells of each kind, in piece_names order.
KIND_CELLS = (1, 2, 3, 3) + (4,) * 5 + (5,) * 12


def legal_actions(game, agent=None):
    """The action indices in the mask of `agent` (default: the agent to move)."""
    agent = game.agent_selection if agent is None else agent
    return np.flatnonzero(np.frombuffer(game.observe(agent).action_mask, dtype=bool)).tolist()


@contextlib.contextmanager
def descriptor_1_captured():
    """Collects what is written to file descriptor 1 meanwhile into the list it yields."""
    written = []
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            yield written
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            written.append(sink.read().decode())


@pytest.fixture
def game():
    return PyTegulo()


def play_to_end(game, seed):
    """Plays uniformly random legal actions until the game is over; returns the actions."""
    rng = random.Random(seed)
    played = []
    while not game.is_over:
        legal = legal_actions(game)
        action = rng.choice(legal) if legal else None
        game.step(action)
        played.append(action)
    return played


@pytest.fixture(scope="module")
def finished():
    """A game played to its end; tests may step it (only passes remain) but not reset it."""
    game = PyTegulo()
    play_to_end(game, seed=5)
    return game
