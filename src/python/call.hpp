#pragma once

// The way every call from Python enters the engine and leaves it again: argument
// binding, borrowing, argument conversion, and the translation of failures into
// Python exceptions. Each member of the extension is a thin function built from
// these pieces:
//
//   return enter([&]() -> PyObject* {
//     bind the arguments; take the borrow; convert the arguments;
//     return run([&]() -> PyObject* { call the engine; build the result; });
//   });
//
// Every failing piece sets the Python error and the member returns null at once.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "game/errors.hpp"
#include "python/borrow.hpp"

namespace tegulo::py {

// A Python callable's parameters and its name as binding errors give it: class,
// dot, function, "()". The first `positional` parameters may be given by position
// (the others by keyword only) and the first `required` must be given; by
// default every parameter is positional-or-keyword and required. A parameter
// left out binds to null.
struct Signature {
  const char* function;
  std::span<const char* const> params;
  std::size_t positional = SIZE_MAX;
  std::size_t required = SIZE_MAX;
};

// Binds fast-call arguments (a vector of positionals followed by the values of the
// keywords named in `kwnames`) into `out`, one borrowed reference per parameter.
// False with TypeError set when they do not fit the signature.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);
// The same for a tuple of positionals and a dict of keywords (or null).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Holds a borrow of an object's flag for its lifetime: shared (any number of
// readers) or exclusive (one writer). When the flag refuses, it holds nothing,
// tests false, and RuntimeError is set: "Already mutably borrowed" for a shared
// borrow of a flag a writer holds, "Already borrowed" for an exclusive borrow of
// a flag anybody holds.
template <bool Exclusive>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag) : flag_((Exclusive ? flag.try_exclusive() : flag.try_share()) ? &flag : nullptr) {
    if (!flag_) PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
  }
  ~Borrow() {
    if (!flag_) return;
    if constexpr (Exclusive) {
      flag_->release_exclusive();
    } else {
      flag_->unshare();
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  explicit operator bool() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};
using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// Argument conversions. A failure keeps the exception the conversion raised and
// adds the note "while processing '{name}'".
//
// An index: an int directly, any other object through its __index__.
std::optional<std::uint64_t> to_index(PyObject* arg, const char* name);
// A str, as UTF-8 that lives as long as the argument.
std::optional<std::string_view> to_text(PyObject* arg, const char* name);
// A bytes object (or an instance of a bytes subclass), as a view of its buffer.
std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* arg, const char* name);
// An instance of exactly the class `type`, called `expected` in the error.
bool is_instance(PyObject* arg, PyObject* type, const char* expected, const char* name);

// A Python object made once per process, on first need, and kept until the
// process ends (the classes, PanicException). Concurrent first users wait for the
// one that makes it; on interpreters before 3.13, whose global lock already runs
// them one at a time, a racing second maker would drop its object for the first.
class OnceObject {
 public:
  // The object, made by `make` if it does not exist yet; null with an error set
  // if making it fails, in which case the next call tries again.
  PyObject* get(PyObject* (*make)());

 private:
  std::atomic<PyObject*> object_{nullptr};
#if PY_VERSION_HEX >= 0x030D0000
  PyMutex lock_{};
#endif
};

// The PanicException class: a BaseException subclass, so that `except Exception`
// does not swallow it, made on first need. Every extension module of the package
// links its own copy of this code, so the class is published as the package's
// attribute tegulo_rl.PanicException and looked up there before one is made:
// the process has one class, and pickled exceptions find it again. Null with an
// error set if it cannot be made.
PyObject* panic_exception();

// Sets PanicException with `message`; returns null for the caller to pass on.
PyObject* raise_panic(std::string_view message);

// Step 5 of a call: runs the engine and builds the result, turning an internal
// failure into PanicException, and a limit reached or memory the system would
// not give into MemoryError. A body that asks for memory it may not get asks before it changes
// anything, so that a MemoryError leaves every object as it was.
template <class Body>
PyObject* run(Body&& body) {
  try {
    return body();
  } catch (const InternalError& e) {
    return raise_panic(e.what());
  } catch (const LimitReached& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Deallocates an instance that owns nothing but its memory: returns it to its
// type's free function and drops the reference every heap-type instance holds.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A fast-call entry as the function pointer of a method table.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastCall entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// Writes `message` to standard error and aborts the process.
[[noreturn]] void die(const char* message) noexcept;

// Step 1 of a call: every entry from the interpreter goes through here. Nothing
// thrown may cross into the interpreter: what escapes the steps (an internal
// failure outside `run`, or anything else) ends the process. The one exception is
// the unwinding (abi::__forced_unwind, from pthread_exit) with which a finalising
// interpreter ends a daemon thread that attaches inside the call: it is the
// thread's end, and goes on to it.
template <class Steps>
auto enter(Steps&& steps) -> decltype(steps()) {
  try {
    return steps();
  } catch (const std::bad_alloc&) {
    die("out of memory");
  } catch (...) {
    // That unwinding carries no C++ exception object, so it has no exception_ptr:
    // told apart so, without binding a reference to an object that is not there.
    if (!std::current_exception()) throw;
    die("uncaught panic at ffi boundary");
  }
}

}  // namespace tegulo::py
