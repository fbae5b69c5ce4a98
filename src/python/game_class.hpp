#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

#include "game/game.hpp"
#include "python/borrow.hpp"

namespace tegulo::py {

// An instance of the Python class PyTegulo: one game, held by value, and its guard.
struct PyTegulo {
  PyObject_HEAD
  Game game;
  BorrowFlag borrow;
};

// A new instance of the class PyTegulo `type` holding a copy of `game`, for the
// modules that hand out games of their own (GameBatch.game); null with an error
// set on failure. Whoever makes a PyTegulo makes it here, so that this file alone
// knows how one is laid out and set up.
inline PyObject* new_tegulo(PyTypeObject* type, const Game& game) {
  PyObject* self = (type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc)(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PyTegulo*>(self)->game) Game(game);
  new (&reinterpret_cast<PyTegulo*>(self)->borrow) BorrowFlag();
  return self;
}

// The class PyTegulo, created on first use in the process and shared by every
// module object; null with an error set if creating it fails.
PyObject* tegulo_type();

}  // namespace tegulo::py
