// The module _tegulo: multi-phase initialisation whose exec step registers the
// two classes, created once per process and shared by every module object.
#include "python/call.hpp"
#include "python/game_class.hpp"
#include "python/observation_class.hpp"

namespace tegulo::py {

namespace {

// Appends `name` to the module's __all__ (made if absent), then binds it to `type`.
bool add_class(PyObject* module, const char* name, PyObject* type) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const bool listed = text != nullptr && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_DECREF(all);
  return listed && PyModule_AddObjectRef(module, name, type) == 0;
}

int exec_module(PyObject* module) {
  return enter([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", Py_TYPE(module)->tp_name);
      return -1;
    }
    PyObject* game = tegulo_type();
    if (game == nullptr || !add_class(module, "PyTegulo", game)) return -1;
    PyObject* observation = observation_type();
    if (observation == nullptr || !add_class(module, "PyObservation", observation)) return -1;
    return 0;
  });
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Each object guards itself with its borrow flag; nothing needs the global lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_tegulo",
    "",       // an empty docstring, not None
    0,        // no per-module state: the classes are process-wide
    nullptr,  // no module-level functions
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tegulo::py

PyMODINIT_FUNC PyInit__tegulo() { return PyModuleDef_Init(&tegulo::py::MODULE); }
