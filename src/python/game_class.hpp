#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "game/game.hpp"
#include "python/borrow.hpp"

namespace tegulo::py {

// An instance of the Python class PyTegulo: one game, held by value, and its guard.
struct PyTegulo {
  PyObject_HEAD
  Game game;
  BorrowFlag borrow;
};

// The class PyTegulo, created on first use in the process and shared by every
// module object; null with an error set if creating it fails.
PyObject* tegulo_type();

}  // namespace tegulo::py
