"""The learner's observation as the training adapters give it: flat planes, or the whole position as a dict.

"planes" (the default, unchanged since the adapters first shipped): uint8 (33, 20,
20), the cells, attach cells and blocked cells of every seat (12 planes), then the
learner's own 21 remaining piece kinds broadcast as constant planes. It leaves out
the other seats' pieces and done flags.

"dict": the whole position, nothing broadcast: "board" uint8 (12, 20, 20), the
cells, attach cells and blocked cells of every seat; "pieces" uint8 (4, 21), the
piece kinds each seat still holds; "done" uint8 (4,), whether each seat is out of
moves. Every seat is listed from the learner onwards (row k is the seat k places
after it in turn order), cells in the learner's own turned frame.

`encode` turns a BatchObservation into either, `final` a finished game's record.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from tegulo_rl import _views
from tegulo_rl._tegulo import PyObservation, PyTegulo

SEATS = len(PyTegulo().agents)
KINDS = len(PyTegulo.piece_names)
SIDE = PyTegulo.action_grid_shape[1]
BOARD_PLANES = 3 * SEATS
PLANES = BOARD_PLANES + KINDS
OBSERVATION_SHAPE = (PLANES, SIDE, SIDE)
BOARD_SHAPE = (BOARD_PLANES, SIDE, SIDE)
OBSERVATIONS = ("planes", "dict")

Encoded = npt.NDArray[np.uint8] | dict[str, npt.NDArray[np.uint8]]


def check_observation(observation: object) -> str:
    """The observation's name, checked."""
    if observation not in OBSERVATIONS:
        raise ValueError(f"Unknown observation {observation!r}: expected one of {', '.join(OBSERVATIONS)}")
    return str(observation)


def planes(obs: Any) -> npt.NDArray[np.uint8]:
    """The flat planes (N, 33, 20, 20) of every game's agent to move in a BatchObservation."""
    n = len(obs.current_agent)
    out = np.empty((n, PLANES, SIDE, SIDE), dtype=np.uint8)
    out[:, 0:SEATS] = obs.observation
    out[:, SEATS : 2 * SEATS] = obs.corners
    out[:, 2 * SEATS : BOARD_PLANES] = obs.blocked
    out[:, BOARD_PLANES:] = obs.pieces[:, 0, :, None, None]
    return out


def whole(obs: Any) -> dict[str, npt.NDArray[np.uint8]]:
    """The dict observation of every game's agent to move: "board" (N, 12, 20, 20), "pieces" (N, 4, 21), "done"."""
    n = len(obs.current_agent)
    board = np.empty((n, *BOARD_SHAPE), dtype=np.uint8)
    board[:, 0:SEATS] = obs.observation
    board[:, SEATS : 2 * SEATS] = obs.corners
    board[:, 2 * SEATS :] = obs.blocked
    return {"board": board, "pieces": np.array(obs.pieces), "done": np.array(obs.done)}


def encode(obs: Any, observation: str) -> Encoded:
    """Every game of a BatchObservation as `observation` ("planes" or "dict") encodes it."""
    return whole(obs) if observation == "dict" else planes(obs)


class _Views:
    """Observations' memory (k, size) as the arrays of a BatchObservation of k games, as `encode` reads them."""

    def __init__(self, view: npt.NDArray[np.uint8]) -> None:
        k, cells = len(view), SEATS * SIDE * SIDE
        self.observation = view[:, 0:cells].reshape(k, SEATS, SIDE, SIDE)
        self.corners = view[:, cells : 2 * cells].reshape(k, SEATS, SIDE, SIDE)
        self.blocked = view[:, 2 * cells : 3 * cells].reshape(k, SEATS, SIDE, SIDE)
        self.pieces = view[:, 3 * cells : 3 * cells + SEATS * KINDS].reshape(k, SEATS, KINDS)
        done = 3 * cells + SEATS * KINDS
        self.done = view[:, done : done + SEATS]
        self.current_agent = np.zeros(k, dtype=np.int64)


def _memory(view: PyObservation) -> npt.NDArray[np.uint8]:
    # An observation's memory holds its cell planes, the pieces held and the done flags, end to end.
    return np.frombuffer(_views.planes(view), dtype=np.uint8)


def finals(records: npt.NDArray[np.uint8], seats: npt.NDArray[np.int64], observation: str) -> Encoded:
    """Finished games' records (k, 278), each as the agent `seats[j]` sees it, encoded and stacked."""
    views = [
        _memory(PyTegulo.from_bytes(record.tobytes()).observe(int(seat)))
        for record, seat in zip(records, seats, strict=True)
    ]
    return encode(_Views(np.stack(views)), observation)


def single(view: PyObservation, observation: str) -> Encoded:
    """One PyObservation encoded as `observation`, without a batch axis."""
    return row(encode(_Views(_memory(view)[None]), observation), 0)


def final(record: npt.NDArray[np.uint8] | bytes, seat: int, observation: str) -> Encoded:
    """A finished game's record as the agent `seat` sees it, encoded as `observation`, without a batch axis."""
    raw = np.frombuffer(record, dtype=np.uint8) if isinstance(record, bytes) else record
    return row(finals(raw[None], np.array([seat]), observation), 0)


def row(batch: Encoded, i: int) -> Encoded:
    """Row i of an encoded batch."""
    if isinstance(batch, dict):
        return {key: value[i] for key, value in batch.items()}
    out: npt.NDArray[np.uint8] = batch[i]
    return out


def put(batch: Encoded, rows: npt.NDArray[np.intp], values: Encoded) -> None:
    """Writes `values` (stacked) into rows `rows` of `batch`, planes or dict alike."""
    if isinstance(batch, dict):
        assert isinstance(values, dict)
        for key, array in batch.items():
            array[rows] = values[key]
    else:
        assert not isinstance(values, dict)
        batch[rows] = values
