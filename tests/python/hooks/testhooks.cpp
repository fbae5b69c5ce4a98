// _tegulo_testhooks: a test-only module built from the extension's own call
// machinery, reaching what valid play never reaches (internal failures, the
// guard at the boundary) and the binding and conversion pieces one by one.
// Built with the tests, never installed.
#include <string>

#include "game/bitboard.hpp"
#include "python/call.hpp"

namespace tegulo::py {
namespace {

constexpr const char* ABC_PARAMS[] = {"a", "b", "c"};
constexpr Signature ABC{"Hooks.abc()", ABC_PARAMS};

// abc(a, b, c) -> (a, b, c): the binding rules on three parameters.
PyObject* abc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(ABC, args, nargs, kwnames, bound)) return nullptr;
    return PyTuple_Pack(3, bound[0], bound[1], bound[2]);
  });
}

constexpr const char* VALUE_PARAMS[] = {"value"};

// index(value), text(value), data(value): one conversion each, echoing the result.
PyObject* index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* value;
    if (!bind({"Hooks.index()", VALUE_PARAMS}, args, nargs, kwnames, {&value, 1})) return nullptr;
    const auto converted = to_index(value, "value");
    return converted ? PyLong_FromUnsignedLongLong(*converted) : nullptr;
  });
}

PyObject* text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* value;
    if (!bind({"Hooks.text()", VALUE_PARAMS}, args, nargs, kwnames, {&value, 1})) return nullptr;
    const auto converted = to_text(value, "value");
    return converted ? PyUnicode_FromStringAndSize(converted->data(), static_cast<Py_ssize_t>(converted->size()))
                     : nullptr;
  });
}

PyObject* data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* value;
    if (!bind({"Hooks.data()", VALUE_PARAMS}, args, nargs, kwnames, {&value, 1})) return nullptr;
    const auto converted = to_bytes(value, "value");
    return converted ? PyLong_FromSize_t(converted->size()) : nullptr;
  });
}

// contains(position): Bitboard().contains inside a member's body, so that a
// position beyond the board is a real internal failure of the engine.
PyObject* contains(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* value;
    if (!bind({"Hooks.contains()", VALUE_PARAMS}, args, nargs, kwnames, {&value, 1})) return nullptr;
    const auto p = to_index(value, "value");
    if (!p) return nullptr;
    return run([&] { return PyBool_FromLong(BOARD_MASK.contains(*p)); });
  });
}

// escape(): an internal failure outside a body, which the guard must stop.
PyObject* escape(PyObject*, PyObject*) {
  return enter([&]() -> PyObject* { throw InternalError("escaped"); });
}

PyMethodDef METHODS[] = {
    {"abc", fastcall(abc), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"index", fastcall(index), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"text", fastcall(text), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"data", fastcall(data), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"contains", fastcall(contains), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"escape", escape, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_tegulo_testhooks", nullptr, 0, METHODS, SLOTS, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tegulo::py

PyMODINIT_FUNC PyInit__tegulo_testhooks() { return PyModuleDef_Init(&tegulo::py::MODULE); }
