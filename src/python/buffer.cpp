#include "python/buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "python/batch_arrays.hpp"
#include "python/call.hpp"

namespace tegulo::py {

Buffer::~Buffer() {
  if (held_) PyBuffer_Release(&view_);
  Py_XDECREF(converted_);
}

bool Buffer::take(PyObject* arg) {
  PyObject* source = arg;
  if (!PyObject_CheckBuffer(arg)) {
    PyObject* asarray = numpy_asarray();
    if (asarray == nullptr) return false;
    converted_ = PyObject_CallOneArg(asarray, arg);
    if (converted_ == nullptr) return false;
    source = converted_;
  }
  if (PyObject_GetBuffer(source, &view_, PyBUF_RECORDS_RO) < 0) return false;
  held_ = true;
  source_ = source;
  return true;
}

std::string Buffer::shape_text() const {
  std::string text = "(";
  for (int i = 0; i < view_.ndim; ++i) text += (i ? ", " : "") + std::to_string(view_.shape[i]);
  return text + (view_.ndim == 1 ? ",)" : ")");
}

PyObject* Buffer::dtype_text() const {
  static OnceObject name;  // interned once, as add_note's is, for the attribute cache
  PyObject* dtype_name = name.get([] { return PyUnicode_InternFromString("dtype"); });
  if (dtype_name == nullptr) return nullptr;
  if (PyObject* dtype = PyObject_GetAttr(source_, dtype_name)) {
    PyObject* text = PyObject_Str(dtype);
    Py_DECREF(dtype);
    return text;
  }
  PyErr_Clear();
  return PyUnicode_FromFormat("format '%s'", view_.format ? view_.format : "B");
}

void Buffer::wrong_type(const char* what, const char* expected) const {
  PyObject* dtype = dtype_text();
  if (dtype == nullptr) return;
  PyErr_Format(PyExc_TypeError, "%s must be %s, got %U", what, expected, dtype);
  Py_DECREF(dtype);
}

std::optional<IntegerFormat> integer_format(const char* format) {
  if (format == nullptr) return IntegerFormat{'B', false, false};
  bool little = std::endian::native == std::endian::little;
  switch (*format) {
    case '@':
    case '=':
      ++format;
      break;
    case '<':
      little = true;
      ++format;
      break;
    case '>':
    case '!':
      little = false;
      ++format;
      break;
    default:
      break;
  }
  const char code = *format;
  if (code == '\0' || format[1] != '\0' || std::strchr("bBhHiIlLqQnN", code) == nullptr) return std::nullopt;
  return IntegerFormat{code, little != (std::endian::native == std::endian::little),
                       std::strchr("bhilqn", code) != nullptr};
}

std::optional<IntegerFormat> integer_elements(const Py_buffer& view) {
  const auto f = integer_format(view.format);
  if (!f || view.itemsize < 1 || view.itemsize > 8) return std::nullopt;
  return f;
}

std::uint64_t read_integer(const std::uint8_t* p, Py_ssize_t itemsize, const IntegerFormat& f) {
  std::uint8_t bytes[8] = {};
  std::memcpy(bytes, p, static_cast<std::size_t>(itemsize));
  if (f.swapped) std::reverse(bytes, bytes + itemsize);  // now in this machine's order
  std::uint64_t raw = 0;
  for (Py_ssize_t i = 0; i < itemsize; ++i) {
    const Py_ssize_t place = std::endian::native == std::endian::little ? i : itemsize - 1 - i;
    raw |= std::uint64_t{bytes[i]} << (8 * place);
  }
  const unsigned unused = 64 - 8 * static_cast<unsigned>(itemsize);
  if (f.is_signed && unused > 0) raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << unused) >> unused);
  return raw;
}

PyObject* integer_object(std::uint64_t raw, const IntegerFormat& f) {
  return f.is_signed ? PyLong_FromLongLong(static_cast<long long>(raw)) : PyLong_FromUnsignedLongLong(raw);
}

}  // namespace tegulo::py
