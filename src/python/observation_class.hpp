#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>

#include "game/actions.hpp"
#include "game/game.hpp"
#include "game/observation.hpp"
#include "game/planes.hpp"
#include "python/borrow.hpp"

namespace tegulo::py {

// The six planes of an observation, one byte of 0 or 1 each, seat-major, in the
// observer's frame.
struct Planes {
  std::array<std::uint8_t, CELL_PLANE> observation;   // (seat, row, col)
  std::array<std::uint8_t, CELL_PLANE> corners;       // (seat, row, col)
  std::array<std::uint8_t, CELL_PLANE> blocked;       // (seat, row, col)
  std::array<std::uint8_t, PIECE_PLANE> pieces;       // (seat, kind index)
  std::array<std::uint8_t, AGENT_COUNT> done;         // (seat)
  std::array<std::uint8_t, NUM_ACTIONS> action_mask;  // grid index
};

// An instance of the Python class PyObservation. Its planes are filled once, when
// `observe` makes it, and never change afterwards.
struct PyObservation {
  PyObject_HEAD
  BorrowFlag borrow;
  Planes planes;
};

// The class PyObservation, created on first use in the process and shared by
// every module object; null with an error set if creating it fails.
PyObject* observation_type();

// A new PyObservation holding `obs`, the game's observation for some agent, and
// that agent's legal actions, packed into 0/1 byte planes.
PyObject* new_observation(const Game& game, const Observation& obs);

}  // namespace tegulo::py
