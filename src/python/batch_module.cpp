// The module _batch: many games stepped together in native code, their
// observations and results in numpy arrays. It registers GameBatch and the
// classes of its results; the package exports them as tegulo_rl.GameBatch.
#include "python/batch_class.hpp"
#include "python/batch_results.hpp"
#include "python/call.hpp"

namespace tegulo::py {

namespace {

int exec_module(PyObject* module) {
  return enter([&]() -> int {
    const std::pair<const char*, PyObject* (*)()> classes[] = {
        {"GameBatch", batch_type},
        {"BatchObservation", batch_observation_type},
        {"BatchStep", batch_step_type},
        {"BatchChoice", batch_choice_type},
    };
    for (const auto& [name, make] : classes) {
      PyObject* type = make();
      if (type == nullptr || PyModule_AddObjectRef(module, name, type) < 0) return -1;
    }
    return 0;
  });
}

PyMethodDef METHODS[] = {
    {"_restore", fastcall(restore_batch), METH_FASTCALL | METH_KEYWORDS,
     "_restore(records, reward_mode, threads, seed, streams)\n--\n\n"
     "The GameBatch that a pickle describes: its records, reward mode, threads\n"
     "argument, seed and stream states."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // A batch serialises the calls made on it with a lock of its own.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT,
                      "_batch",
                      "Many games stepped together on a pool of threads, with numpy arrays in and out.",
                      0,
                      METHODS,
                      SLOTS,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

}  // namespace tegulo::py

PyMODINIT_FUNC PyInit__batch() { return PyModuleDef_Init(&tegulo::py::MODULE); }
