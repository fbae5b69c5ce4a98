"""The planes of an observation as numpy arrays that share its memory."""

from __future__ import annotations

from functools import cache
from typing import TYPE_CHECKING, Any, NamedTuple

from tegulo_rl._tegulo import PyObservation
from tegulo_rl._views import BOARD_SIZE, NUM_ACTIONS, PIECE_KINDS, SEATS, planes

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Plane = npt.NDArray[np.uint8]


class ObservationArrays(NamedTuple):
    """The six planes of an observation as read-only uint8 arrays of 0/1.

    Seats are agent-relative (seat 0 is the observer, seat k is agent
    (observer + k) mod 4) and cells are in the observer's turned frame.
    """

    observation: Plane
    """(4, 20, 20): the cells covered by each seat's pieces."""
    corners: Plane
    """(4, 20, 20): the cells each seat's next piece can attach at."""
    blocked: Plane
    """(4, 20, 20): the cells each seat can never fill."""
    pieces: Plane
    """(4, 21): the piece kinds each seat still holds, in `PyTegulo.piece_names` order."""
    done: Plane
    """(4,): whether each seat is out of moves."""
    action_mask: Plane
    """(36400,): the observer's legal action indices; reshape to `PyTegulo.action_grid_shape` for free."""


@cache
def _record() -> Any:
    """The observation's memory as one numpy record: the six planes lie end to end."""
    try:
        import numpy as np
    except ImportError as missing:
        raise ImportError("as_arrays needs numpy: pip install 'tegulo-rl[numpy]'") from missing
    cells = (SEATS, BOARD_SIZE, BOARD_SIZE)
    shapes = (cells, cells, cells, (SEATS, PIECE_KINDS), (SEATS,), (NUM_ACTIONS,))
    fields = zip(ObservationArrays._fields, shapes, strict=True)
    return np.frombuffer, np.dtype([(name, np.uint8, shape) for name, shape in fields])


def as_arrays(observation: PyObservation) -> ObservationArrays:
    """The planes of `observation` as read-only numpy arrays over its own memory.

    Nothing is copied: each array is a view of the observation's buffers, and the
    observation lives as long as any of them. (The properties of PyObservation,
    by contrast, copy their plane into a new bytes object on every read.) Needs
    numpy: pip install 'tegulo-rl[numpy]'.
    """
    frombuffer, record = _record()
    f = frombuffer(planes(observation), dtype=record)[0]
    return ObservationArrays(f["observation"], f["corners"], f["blocked"], f["pieces"], f["done"], f["action_mask"])
