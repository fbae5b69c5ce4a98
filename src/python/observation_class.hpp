#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/borrow.hpp"

namespace tegulo::py {

// The class PyObservation, created on first use in the process and shared by
// every module object; null with an error set if creating it fails.
PyObject* observation_type();

}  // namespace tegulo::py
