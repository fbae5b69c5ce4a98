#pragma once

// Numpy arrays over memory that native code fills, for the batch module. Arrays
// are made through the buffer protocol (numpy.asarray of a small exporter
// object), so the extension needs numpy at run time only, never its headers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>

namespace tegulo::py {

// A zeroed region of memory that grows on request, losing its contents when it
// does. It comes from calloc, so a large region costs nothing until written: the
// pages of an action mask that no legal action reaches are never touched.
class Memory {
 public:
  std::byte* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

  // Makes the region hold at least `bytes` bytes, all zero if it had to grow;
  // false with MemoryError set if the memory cannot be had.
  bool reserve(std::size_t bytes);

  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(data_.get());
  }

 private:
  struct Free {
    void operator()(std::byte* p) const { std::free(p); }
  };
  std::unique_ptr<std::byte, Free> data_;
  std::size_t size_ = 0;
};

// What one result of a batch call is written into: a fixed set of regions, kept
// alive by every array made over them. The batch writes into a block only while
// nothing else refers to it, so an array never changes after it is handed out.
struct Block {
  static constexpr std::size_t REGIONS = 9;
  std::array<Memory, REGIONS> regions;
  // Whether the action mask region holds exactly the 1 entries that the legal list
  // regions list for their `listed_games` games, and none beyond; if not, it may
  // hold stale entries anywhere in its first `mask_games` rows. A region that grows
  // loses what it held, so growing the mask's empties it, and growing the lists'
  // unties them from the mask.
  bool mask_matches_lists = false;
  std::size_t listed_games = 0;
  std::size_t mask_games = 0;
};

// A new, empty block object; null with an error set on failure.
PyObject* new_block();
Block& block_of(PyObject* block);
// Whether only the caller's reference keeps the block alive: no array uses it.
inline bool block_is_free(PyObject* block) { return Py_REFCNT(block) == 1; }

// A read-only numpy array of the given element format ("B", "?", "q", "i", "f")
// over `data`, in C order, keeping `owner` alive; null with an error set on failure.
PyObject* array_over(PyObject* owner, void* data, const char* format, Py_ssize_t itemsize,
                     std::initializer_list<Py_ssize_t> shape);

// A new, writable numpy array of the given shape and numpy type name, and its
// data to fill; null with an error set on failure.
PyObject* new_array(std::initializer_list<Py_ssize_t> shape, const char* dtype, void** data);

// numpy.asarray; null with ImportError set (naming the extra to install) when
// numpy is missing.
PyObject* numpy_asarray();

}  // namespace tegulo::py
