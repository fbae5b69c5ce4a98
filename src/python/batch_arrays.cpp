#include "python/batch_arrays.hpp"

#include <new>

#include "python/call.hpp"

namespace tegulo::py {

bool Memory::reserve(std::size_t bytes) {
  if (bytes <= size_ && data_) return true;
  data_.reset();
  size_ = 0;
  auto* p = static_cast<std::byte*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
  if (p == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  data_.reset(p);
  size_ = bytes;
  return true;
}

namespace {

// --- Blocks -----------------------------------------------------------------------

struct PyBlock {
  PyObject_HEAD
  Block block;
};

void block_dealloc(PyObject* self) {
  reinterpret_cast<PyBlock*>(self)->block.~Block();
  free_instance(self);
}

PyType_Slot BLOCK_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_doc, const_cast<char*>("Memory that a GameBatch writes one result into.")},
    {0, nullptr},
};

PyType_Spec BLOCK_SPEC = {
    "tegulo_rl._batch.Block",
    sizeof(PyBlock),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    BLOCK_SLOTS,
};

PyObject* block_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&BLOCK_SPEC); });
}

// --- Array views --------------------------------------------------------------------

// A read-only buffer with a shape and an element format over a block's memory.
// numpy.asarray turns it into an array that holds it, and so the block, alive.
struct PyArrayView {
  PyObject_HEAD
  PyObject* owner;
  void* data;
  const char* format;
  Py_ssize_t itemsize;
  int ndim;
  Py_ssize_t shape[4];
  Py_ssize_t strides[4];
};

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* v = reinterpret_cast<PyArrayView*>(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError,
                    "the arrays of a GameBatch result are read-only; copy one (numpy.array(a)) to change it");
    return -1;
  }
  Py_ssize_t len = v->itemsize;
  for (int i = 0; i < v->ndim; ++i) len *= v->shape[i];
  view->buf = v->data;
  view->obj = Py_NewRef(self);
  view->len = len;
  view->readonly = 1;
  view->itemsize = v->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(v->format) : nullptr;
  view->ndim = v->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? v->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? v->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void view_dealloc(PyObject* self) {
  Py_DECREF(reinterpret_cast<PyArrayView*>(self)->owner);
  free_instance(self);
}

PyType_Slot VIEW_SLOTS[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_doc, const_cast<char*>("A read-only buffer over one array of a GameBatch result.")},
    {0, nullptr},
};

PyType_Spec VIEW_SPEC = {
    "tegulo_rl._batch.ArrayView",
    sizeof(PyArrayView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    VIEW_SLOTS,
};

PyObject* view_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&VIEW_SPEC); });
}

// The exception being raised, taken out of the error indicator.
PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *exc, *traceback;
  PyErr_Fetch(&type, &exc, &traceback);
  PyErr_NormalizeException(&type, &exc, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(exc, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return exc;
#endif
}

// Raises `exc` again (stealing the reference).
void reraise(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// When the error being raised says that numpy is not installed at all, rather than
// that it failed to import (a broken install, an interrupt while importing), puts
// in its place one that says what to install, with the original as its cause.
void explain_missing_numpy() {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
  PyObject* cause = take_raised();
  PyObject* name = PyObject_GetAttrString(cause, "name");
  const bool missing = name != nullptr && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "numpy") == 0;
  Py_XDECREF(name);
  PyErr_Clear();  // a name that cannot be read is no reason to lose the first error
  if (!missing) return reraise(cause);
  PyErr_SetString(PyExc_ImportError, "GameBatch needs numpy: pip install 'tegulo-rl[numpy]'");
  PyObject* error = take_raised();
  PyException_SetContext(error, Py_NewRef(cause));
  PyException_SetCause(error, cause);
  reraise(error);
}

// The attribute `name` of numpy, looked up once.
template <const char* Name>
PyObject* numpy_function() {
  static OnceObject function;
  return function.get([] {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) {
      explain_missing_numpy();
      return static_cast<PyObject*>(nullptr);
    }
    PyObject* f = PyObject_GetAttrString(numpy, Name);
    Py_DECREF(numpy);
    return f;
  });
}
constexpr char ASARRAY[] = "asarray";
constexpr char EMPTY[] = "empty";

PyObject* shape_tuple(std::initializer_list<Py_ssize_t> shape) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
  if (tuple == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const Py_ssize_t n : shape) {
    PyObject* item = PyLong_FromSsize_t(n);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i++, item);
  }
  return tuple;
}

}  // namespace

PyObject* new_block() {
  PyObject* type = block_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PyBlock*>(self)->block) Block();
  return self;
}

Block& block_of(PyObject* block) { return reinterpret_cast<PyBlock*>(block)->block; }

PyObject* numpy_asarray() { return numpy_function<ASARRAY>(); }

PyObject* array_over(PyObject* owner, void* data, const char* format, Py_ssize_t itemsize,
                     std::initializer_list<Py_ssize_t> shape) {
  if (shape.size() > 4) throw InternalError("An array of more than four dimensions");
  PyObject* asarray = numpy_asarray();
  PyObject* type = view_type();
  if (asarray == nullptr || type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  auto* v = reinterpret_cast<PyArrayView*>(self);
  v->owner = Py_NewRef(owner);
  v->data = data;
  v->format = format;
  v->itemsize = itemsize;
  v->ndim = static_cast<int>(shape.size());
  Py_ssize_t stride = itemsize;
  for (int i = v->ndim; i-- > 0;) {
    v->shape[i] = shape.begin()[i];
    v->strides[i] = stride;
    stride *= v->shape[i];
  }
  PyObject* array = PyObject_CallOneArg(asarray, self);
  Py_DECREF(self);
  return array;
}

PyObject* new_array(std::initializer_list<Py_ssize_t> shape, const char* dtype, void** data) {
  PyObject* empty = numpy_function<EMPTY>();
  if (empty == nullptr) return nullptr;
  PyObject* dims = shape_tuple(shape);
  if (dims == nullptr) return nullptr;
  PyObject* array = PyObject_CallFunction(empty, "Os", dims, dtype);
  Py_DECREF(dims);
  if (array == nullptr) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  *data = view.buf;
  PyBuffer_Release(&view);  // the array owns the memory; the pointer stays valid while it lives
  return array;
}

}  // namespace tegulo::py
