#pragma once

// Arrays that arrive from Python: any object with the buffer protocol (numpy
// arrays of any integer type, byte order and strides), or anything numpy.asarray
// turns into one. The readers of actions, records and seats are built on these.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tegulo::py {

// A buffer taken from an object and given back when done with.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Takes a strided buffer with its format from `arg`, or from numpy.asarray(arg)
  // for an object without one (a list, say); false with an error set.
  bool take(PyObject* arg);

  const Py_buffer& view() const { return view_; }
  PyObject* source() const { return source_; }

  // The element at `row` of a 1-d buffer, or at (row, col) of a 2-d buffer.
  const std::uint8_t* at(Py_ssize_t row, Py_ssize_t col = 0) const {
    const auto* p = static_cast<const std::uint8_t*>(view_.buf);
    const Py_ssize_t* strides = view_.strides;
    return p + row * (strides ? strides[0] : view_.itemsize * (view_.ndim > 1 ? view_.shape[1] : 1)) +
           col * (strides && view_.ndim > 1 ? strides[1] : view_.itemsize);
  }

  // The shape as Python writes it: "(3,)", "(2, 278)".
  std::string shape_text() const;
  // How the element type reads to a user: the numpy dtype if there is one, else
  // the buffer's format; null with an error set on failure.
  PyObject* dtype_text() const;
  // Sets TypeError "{what} must be {expected}, got {dtype}".
  void wrong_type(const char* what, const char* expected) const;

 private:
  Py_buffer view_{};
  bool held_ = false;
  PyObject* converted_ = nullptr;
  PyObject* source_ = nullptr;
};

// An integer element format: its type code, whether it is stored in the other
// byte order than this machine's, and whether it is signed.
struct IntegerFormat {
  char code;
  bool swapped;
  bool is_signed;
};

// The integer format of a buffer format string; nothing for a non-integer one.
std::optional<IntegerFormat> integer_format(const char* format);
// The integer format of an integer buffer of at most 8-byte elements; nothing
// (no error set) for anything else.
std::optional<IntegerFormat> integer_elements(const Py_buffer& view);

// The integer stored at `p` in `itemsize` bytes of this format, as its bits.
std::uint64_t read_integer(const std::uint8_t* p, Py_ssize_t itemsize, const IntegerFormat& f);

// The element as a Python int, for messages; null with an error set on failure.
PyObject* integer_object(std::uint64_t raw, const IntegerFormat& f);

}  // namespace tegulo::py
