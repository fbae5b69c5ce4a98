"""Legal actions as the vector adapters report them: lists, masks in a buffer the adapter owns, and legal draws.

A game that ended on a step of the Gymnasium vector env in NEXT_STEP mode shows
its final position until the next step resets it, ignoring the action it is given.
Its row lists exactly one legal action, FINAL_ACTION (0), in the mask and in the
lists alike: a masked softmax over the row stays finite and a draw from the list
finds an action, with no case apart for ended games.

The mask is not the batch's (which is read-only and may be handed to others): the
adapter keeps its own (N, 36400) bool buffer and rewrites it in place from the legal
lists, clearing the entries it set last time and setting the new ones, so that a
step costs a few hundred writes per game instead of 36,400. Like the batch's own
arrays, a mask it has returned never changes afterwards: while any array still
refers to the buffer, the next mask goes to a new buffer.
"""

from __future__ import annotations

import sys

import numpy as np
import numpy.typing as npt

from tegulo_rl._tegulo import PyTegulo

NUM_ACTIONS = PyTegulo.num_actions
# The one legal action of a game that ended (NEXT_STEP): any index would do, the env ignores it.
FINAL_ACTION = 0

Lists = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]


def with_final_rows(
    actions: npt.NDArray[np.int64], offsets: npt.NDArray[np.int64], ended: npt.NDArray[np.bool_]
) -> Lists:
    """The legal lists with each ended game's list replaced by [FINAL_ACTION]."""
    counts = np.diff(offsets)
    games = np.flatnonzero(ended)
    # The entries of the ended games, dropped: few games end in a step, so few entries.
    dropped = np.repeat(offsets[games] - np.cumsum(np.concatenate(([0], counts[games][:-1]))), counts[games])
    dropped += np.arange(len(dropped))
    kept_counts = np.where(ended, 0, counts)
    kept_offsets = np.concatenate(([0], np.cumsum(kept_counts)))
    out = np.insert(np.delete(actions, dropped), kept_offsets[games], FINAL_ACTION)
    new_offsets = np.concatenate(([0], np.cumsum(np.where(ended, 1, counts)))).astype(np.int64)
    return out.astype(np.int64, copy=False), new_offsets


class MaskBuffer:
    """The (N, 36400) bool masks of N games' legal lists, written in place into a buffer of its own.

    `fill` writes the mask of new lists and returns it as a read-only view; `view` is the
    last one. The buffer is written in place only while nobody but this object refers
    to it or to that view."""

    def __init__(self, num_games: int) -> None:
        self.num_games = num_games
        self._new()
        self._free = self._references()

    def _new(self) -> None:
        self._mask = np.zeros((self.num_games, NUM_ACTIONS), dtype=bool)
        self._set = np.zeros(0, dtype=np.int64)
        self.view = self._mask.view()
        self.view.flags.writeable = False

    def _references(self) -> tuple[int, int]:
        # Measured the same way here and at construction, so that the counts of a buffer
        # nobody else holds are known whatever the interpreter's reference accounting.
        return sys.getrefcount(self._mask), sys.getrefcount(self.view)

    def fill(self, actions: npt.NDArray[np.int64], offsets: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
        """The mask of the lists (game i's: actions[offsets[i]:offsets[i + 1]]), read-only."""
        counts = np.diff(offsets)
        flat = np.repeat(np.arange(self.num_games, dtype=np.int64) * NUM_ACTIONS, counts) + actions
        if self._references() != self._free:
            # An array returned before still refers to the buffer: leave it as it is.
            self._new()
        else:
            self._mask.reshape(-1)[self._set] = False
        self._mask.reshape(-1)[flat] = True
        self._set = flat
        return self.view


def draw(
    actions: npt.NDArray[np.int64], offsets: npt.NDArray[np.int64], rng: np.random.Generator
) -> npt.NDArray[np.int64]:
    """One action per game drawn uniformly from its list (which must not be empty)."""
    counts = np.diff(offsets)
    return actions[offsets[:-1] + (rng.random(len(counts)) * counts).astype(np.int64)]
