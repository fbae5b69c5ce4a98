import os
import random

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


# Property tests: no deadline and no too-slow check on a shared, noisy machine, and no
# example database left in the tree. HYPOTHESIS_PROFILE=thorough runs ten times the
# examples (the tests scale their own counts with the profile's max_examples).
settings.register_profile(
    "tegulo", deadline=None, database=None, print_blob=True, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("thorough", settings.get_profile("tegulo"), max_examples=1000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "tegulo"))


@pytest.fixture
def game():
    return PyTegulo()


def play_to_end(game, seed):
    """Plays uniformly random legal actions until the game is over; returns the actions."""
    rng = random.Random(seed)
    played = []
    while not game.is_over:
        legal = np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.uint8))
        action = int(rng.choice(legal)) if len(legal) else None
        game.step(action)
        played.append(action)
    return played


@pytest.fixture(scope="module")
def finished():
    """A game played to its end; tests may step it (only passes remain) but not reset it."""
    game = PyTegulo()
    play_to_end(game, seed=5)
    return game
