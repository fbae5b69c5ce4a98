#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "game/actions.hpp"
#include "game/observation.hpp"

namespace tegulo::py {

// The class PyObservation, created on first use in the process and shared by
// every module object; null with an error set if creating it fails.
PyObject* observation_type();

// A new PyObservation holding `obs` and the observer's legal placements `moves`
// (dense indices in its frame) packed into 0/1 byte planes.
PyObject* new_observation(const Observation& obs, std::span<const std::uint16_t> moves, const ActionSet& set);

}  // namespace tegulo::py
