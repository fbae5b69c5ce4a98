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
from importlib import util as _importlib_util
from importlib.machinery import ModuleSpec
from types import ModuleType

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


def _register_gymnasium() -> None:
    """Registers "tegulo_rl/Tegulo-v0" with Gymnasium, without importing it here when it is not imported yet.

    Importing Gymnasium takes far longer than importing this package, so when it is
    installed but not yet imported, the registration waits for its import: a one-time
    finder wraps Gymnasium's loader and registers once the module has run.
    """
    if "gymnasium" in sys.modules:
        _register_env()
    elif _importlib_util.find_spec("gymnasium") is not None:
        sys.meta_path.insert(0, _GymnasiumHook())


def _register_env() -> None:
    # By name alone: the environments' module imports Gymnasium, which may be importing now.
    from gymnasium.envs.registration import register, registry

    if "tegulo_rl/Tegulo-v0" not in registry:
        register(
            id="tegulo_rl/Tegulo-v0",
            entry_point="tegulo_rl.gym:TeguloGymEnv",
            vector_entry_point="tegulo_rl.gym:TeguloVectorEnv",
        )


class _GymnasiumHook:
    """A finder that registers the environment right after `gymnasium` is first imported, then removes itself."""

    def find_spec(self, name: str, path: object = None, target: object = None) -> ModuleSpec | None:
        if name != "gymnasium":
            return None
        sys.meta_path.remove(self)
        found = _importlib_util.find_spec(name)
        if found is None or found.loader is None:
            return found
        loader = found.loader
        run = loader.exec_module

        def exec_module(module: ModuleType) -> None:
            run(module)
            _register_env()

        loader.exec_module = exec_module  # type: ignore[method-assign]
        return found


_register_gymnasium()

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
