"""The cells of every orientation, read from the engine, and the cells around them.

The engine names a placement by orientation, row and column of the top-left cell of
the piece's bounding box; the network's shape-aware policy head needs to know which
cells each orientation covers relative to that cell. Rather than copying the
engine's table, `orientation_cells` plays a game and, for each orientation the
first time it is legal, steps a copy and reads off the cells that appeared on the
mover's plane.
"""

from __future__ import annotations

import functools

import numpy as np
import numpy.typing as npt

from tegulo_rl._tegulo import PyTegulo

ORIENTATIONS = 91
SIDE = 20
BOX = 5
FRAME = BOX + 2  # the box and one cell around it


@functools.cache
def orientation_cells() -> npt.NDArray[np.bool_]:
    """(91, 5, 5) bool: the cells of each orientation, relative to its box's top-left cell."""
    cells = np.zeros((ORIENTATIONS, BOX, BOX), bool)
    found = np.zeros(ORIENTATIONS, bool)
    rng = np.random.default_rng(0)
    for _ in range(100):  # one game has always been enough; a bound rather than a hang
        game = PyTegulo()
        while not game.is_over and not found.all():
            agent = game.agent_selection
            if game.terminations[agent]:
                game.step(None)
                continue
            legal = np.flatnonzero(np.frombuffer(game.observe(agent).action_mask, bool))
            for orientation in np.unique(legal // (SIDE * SIDE)):
                if found[orientation]:
                    continue
                action = int(legal[legal // (SIDE * SIDE) == orientation][0])
                copy = game.copy()
                before = np.frombuffer(copy.observe(agent).observation, np.uint8)[: SIDE * SIDE].copy()
                copy.step(action)
                after = np.frombuffer(copy.observe(agent).observation, np.uint8)[: SIDE * SIDE]
                rows, cols = np.divmod(np.flatnonzero(after != before), SIDE)
                row, col = divmod(action % (SIDE * SIDE), SIDE)
                if rows.min() != row or cols.min() != col or rows.max() - row >= BOX or cols.max() - col >= BOX:
                    raise RuntimeError(f"orientation {orientation} does not fit its box at {row}, {col}")
                cells[orientation, rows - row, cols - col] = True
                found[orientation] = True
            game.step(int(rng.choice(legal)))
        if found.all():
            return cells
    raise RuntimeError(f"orientations {np.flatnonzero(~found).tolist()} were never legal")


def relation_masks() -> npt.NDArray[np.float32]:
    """(91, 3, 7, 7) float32: for each orientation, in a frame one cell larger than its box on
    every side, its cells, the cells touching them at a corner only (where its owner can
    attach next) and the cells touching them along an edge (which its owner can never fill)."""
    cells = orientation_cells()
    framed = np.zeros((ORIENTATIONS, FRAME + 2, FRAME + 2), bool)
    framed[:, 2 : 2 + BOX, 2 : 2 + BOX] = cells

    def shifted(dr: int, dc: int) -> npt.NDArray[np.bool_]:
        return framed[:, 1 + dr : 1 + dr + FRAME, 1 + dc : 1 + dc + FRAME]

    body = shifted(0, 0)
    edges = (shifted(-1, 0) | shifted(1, 0) | shifted(0, -1) | shifted(0, 1)) & ~body
    corners = (shifted(-1, -1) | shifted(-1, 1) | shifted(1, -1) | shifted(1, 1)) & ~body & ~edges
    return np.stack([body, corners, edges], axis=1).astype(np.float32)
