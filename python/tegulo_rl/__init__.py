"""A fast engine for a four-player polyomino placement board game, for reinforcement learning.

    >>> from tegulo_rl import PyTegulo
    >>> game = PyTegulo()
    >>> obs = game.observe(game.agent_selection)   # the position as the agent to move sees it
    >>> game.step(obs.action_mask.index(1))         # any index set in the mask is legal
    >>> game.ply
    1

`as_arrays` wraps an observation's planes as numpy arrays without copying them,
`GameBatch` steps many games at once on every core with numpy arrays in and out,
`tegulo_rl.env` holds a PettingZoo environment, `tegulo_rl.draw` draws boards
and games (a game shows as its board in a notebook), and `python -m tegulo_rl`
plays a game between random agents.
"""

import sys

from tegulo_rl._batch import BatchObservation, BatchStep, GameBatch
from tegulo_rl._tegulo import PyObservation, PyTegulo
from tegulo_rl._views import board_text, panic_exception
from tegulo_rl.arrays import ObservationArrays, as_arrays

__version__ = "0.1.0"

# Raised when the engine fails an internal check (never in valid play). It derives
# from BaseException, so that `except Exception` does not swallow it.
PanicException = panic_exception()

if "IPython" in sys.modules:  # inside IPython or Jupyter: games show as their boards
    from tegulo_rl import notebook

    notebook.register()

__all__ = [
    "PyTegulo",
    "PyObservation",
    "GameBatch",
    "BatchObservation",
    "BatchStep",
    "PanicException",
    "ObservationArrays",
    "as_arrays",
    "board_text",
    "__version__",
]
