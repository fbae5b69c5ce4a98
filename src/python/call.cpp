#include "python/call.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

namespace tegulo::py {

namespace {

// --- Binding -----------------------------------------------------------------

std::size_t positional(const Signature& sig) { return std::min(sig.positional, sig.params.size()); }

bool too_many_positionals(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.function, positional(sig),
               given, given == 1 ? "was" : "were");
  return false;
}

// Places the value of keyword `key` in `out`, refusing unknown and repeated names.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.function);
    return false;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.function, key);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function, key);
  return false;
}

// Refuses a binding that left a parameter without a value, naming every one of
// them as 'a', 'a' and 'b', or 'a', 'b', and 'c'.
bool all_bound(const Signature& sig, std::span<PyObject*> out) {
  const std::size_t required = std::min(sig.required, out.size());
  std::size_t missing = 0;
  for (std::size_t i = 0; i < required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) names += missing == 2 ? " and " : listed + 1 == missing ? ", and " : ", ";
    names.append("'").append(sig.params[i]).append("'");
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.function, missing,
               missing == 1 ? "" : "s", names.c_str());
  return false;
}

// --- Conversion ---------------------------------------------------------------

// Adds the note naming the parameter to the exception being raised.
void add_note(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type, *exc, *traceback;
  PyErr_Fetch(&type, &exc, &traceback);
  PyErr_NormalizeException(&type, &exc, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(exc, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
#endif
  // The method's name is interned once: CPython's attribute cache keys names by their
  // address, and 3.11's holds each one it saw until its slot is reused, so a fresh name
  // per error would be kept (some thousands of them) and missed by the cache besides.
  static OnceObject add_note_name;
  PyObject* method = add_note_name.get([] { return PyUnicode_InternFromString("add_note"); });
  PyObject* note = method == nullptr ? nullptr : PyUnicode_FromFormat("while processing '%s'", name);
  PyObject* added = note == nullptr ? nullptr : PyObject_CallMethodOneArg(exc, method, note);
  Py_XDECREF(note);
  if (added == nullptr) {  // the failure to add the note is the error now
    Py_DECREF(exc);
    return;
  }
  Py_DECREF(added);
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// Sets the TypeError of an argument of the wrong class, with the note.
void not_an_instance(PyObject* arg, const char* expected, const char* name) {
  if (arg == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else if (PyObject* qualname = PyType_GetQualName(Py_TYPE(arg))) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, expected);
    Py_DECREF(qualname);
  }
  add_note(name);
}

constexpr const char* PANIC_DOC =
    "Raised when the extension's native code fails an internal check.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter instead of being\n"
    "caught by `except Exception`.";

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
  if (static_cast<std::size_t>(nargs) > positional(sig)) return too_many_positionals(sig, nargs);
  for (auto& slot : out) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i)
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
  return all_bound(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > positional(sig)) return too_many_positionals(sig, nargs);
  for (auto& slot : out) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!bind_keyword(sig, key, value, out)) return false;
  }
  return all_bound(sig, out);
}

std::optional<std::uint64_t> to_index(PyObject* arg, const char* name) {
  unsigned long long value;
  if (PyLong_Check(arg)) {
    value = PyLong_AsUnsignedLongLong(arg);
  } else {
    PyObject* index = PyNumber_Index(arg);
    if (index == nullptr) {
      add_note(name);
      return std::nullopt;
    }
    value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    add_note(name);
    return std::nullopt;
  }
  return value;
}

std::optional<std::string_view> to_text(PyObject* arg, const char* name) {
  if (!PyUnicode_Check(arg)) {
    not_an_instance(arg, "str", name);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (utf8 == nullptr) {  // a lone surrogate has no UTF-8 form
    add_note(name);
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* arg, const char* name) {
  if (!PyBytes_Check(arg)) {
    not_an_instance(arg, "bytes", name);
    return std::nullopt;
  }
  return std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(arg)),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
}

bool is_instance(PyObject* arg, PyObject* type, const char* expected, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(arg)) == type) return true;
  not_an_instance(arg, expected, name);
  return false;
}

PyObject* OnceObject::get(PyObject* (*make)()) {
  if (PyObject* made = object_.load(std::memory_order_acquire)) return made;
#if PY_VERSION_HEX >= 0x030D0000
  PyMutex_Lock(&lock_);  // detaches from the interpreter while it waits
  PyObject* made = object_.load(std::memory_order_relaxed);
  if (made == nullptr) {
    made = make();
    if (made != nullptr) object_.store(made, std::memory_order_release);
  }
  PyMutex_Unlock(&lock_);
  return made;
#else
  PyObject* made = make();
  if (made == nullptr) return nullptr;
  PyObject* first = nullptr;
  if (!object_.compare_exchange_strong(first, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return first;
  }
  return made;
#endif
}

namespace {

// The package's PanicException if it has one, or a new one, published there.
PyObject* make_panic_exception() {
  PyObject* name = PyUnicode_FromString("tegulo_rl");
  if (name == nullptr) return nullptr;
  PyObject* package = PyImport_GetModule(name);  // only if imported: never imports it
  Py_DECREF(name);
  if (package == nullptr && PyErr_Occurred()) return nullptr;
  if (package != nullptr) {
    PyObject* published = PyObject_GetAttrString(package, "PanicException");
    if (published != nullptr && PyType_Check(published) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(published),
                         reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
      Py_DECREF(package);
      return published;
    }
    Py_XDECREF(published);
    PyErr_Clear();
  }
  PyObject* made = PyErr_NewExceptionWithDoc("tegulo_rl.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
  if (made != nullptr && package != nullptr && PyObject_SetAttrString(package, "PanicException", made) < 0) {
    Py_DECREF(made);
    made = nullptr;
  }
  Py_XDECREF(package);
  return made;
}

}  // namespace

PyObject* panic_exception() {
  static OnceObject type;
  return type.get(make_panic_exception);
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception();
  if (type == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

void die(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tegulo::py
