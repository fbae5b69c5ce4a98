#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tegulo::py {

// The class GameBatch and the classes of its results, created on first use in
// the process; null with an error set if creating one fails.
PyObject* batch_type();
PyObject* batch_observation_type();
PyObject* batch_step_type();
PyObject* batch_choice_type();

// _restore(records, reward_mode, threads, seed, streams): the batch that
// GameBatch.__reduce__ describes.
PyObject* restore_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tegulo::py
