"""A fast engine for a four-player polyomino placement game, for reinforcement learning."""

from tegulo_rl._tegulo import PyObservation, PyTegulo

__all__ = ["PyTegulo", "PyObservation"]
