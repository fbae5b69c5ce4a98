#include "python/observation_class.hpp"

#include "python/call.hpp"

namespace tegulo::py {

namespace {

struct PyObservation {
  PyObject_HEAD
  BorrowFlag borrow;
};

void observation_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(observation_dealloc)},
    {Py_tp_doc, const_cast<char*>("An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
                                  "agent-relative order, see `Observation`.")},
    {0, nullptr},
};

PyType_Spec SPEC = {
    // No module name of its own: the "builtins" prefix is what Python shows.
    "builtins.PyObservation",
    sizeof(PyObservation),
    0,
    // Only `observe` makes instances; not subclassable, no dict, no weak references.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS,
};

PyObject* make_type() { return PyType_FromSpec(&SPEC); }

}  // namespace

PyObject* observation_type() {
  static std::atomic<PyObject*> type{nullptr};
  return once(type, make_type);
}

}  // namespace tegulo::py
