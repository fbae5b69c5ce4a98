#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tegulo::py {

// The class GameBatch, created on first use in the process; null with an error
// set if creating it fails. (The classes of its results: batch_results.hpp.)
PyObject* batch_type();

// _restore(records, reward_mode, threads, seed, streams): the batch that
// GameBatch.__reduce__ describes.
PyObject* restore_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tegulo::py
