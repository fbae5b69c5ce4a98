#pragma once

// What the calls of a GameBatch return: structseqs of read-only numpy arrays
// over blocks of memory that the batch writes into and the arrays keep alive
// (batch_arrays), the classes of those structseqs, and the cache of blocks that
// lets a loop alternate between two of each kind without allocating.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "batch/game_batch.hpp"
#include "python/batch_arrays.hpp"

namespace tegulo::py {

// The regions of the two kinds of result block.
enum ObservationRegion { OBSERVATION, CORNERS, BLOCKED, PIECES, DONE, CURRENT_AGENT, OFFSETS, ACTIONS, MASK };
enum StepRegion { REWARDS, TERMINATED, SCORES, RECORDS };

// The classes of the results (BatchObservation, BatchStep, BatchChoice), created
// on first use in the process; null with an error set if creating one fails.
PyObject* batch_observation_type();
PyObject* batch_step_type();
PyObject* batch_choice_type();

// The blocks a batch writes its results of one kind into: two, so that a loop that
// holds on to the last result while asking for the next one alternates between
// them. A block that arrays still use when a third is needed is left to them, and
// freed with the last of them.
class BlockCache {
 public:
  BlockCache() = default;
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;
  ~BlockCache();
  // A block that nothing else uses (a borrowed reference); null with an error set.
  PyObject* take();

 private:
  std::array<PyObject*, 2> blocks_{};
  std::size_t next_ = 0;  // the one a new block replaces when both are in use
};

// A new structseq of `type`, filled one item at a time and dropped when it goes
// out of scope unless released. Once making an item fails, no later item is made:
// nothing calls into the interpreter with the error set.
class Result {
 public:
  explicit Result(PyObject* type)
      : result_(type == nullptr ? nullptr : PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type))) {}
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)), next_(other.next_) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { Py_XDECREF(result_); }

  // Puts make() at the next place: a new reference, or null for None when it sets no error.
  template <class Make>
  Result& add(Make&& make) {
    if (result_ == nullptr) return *this;
    PyObject* item = make();
    if (item == nullptr && PyErr_Occurred()) {
      Py_CLEAR(result_);
      return *this;
    }
    PyStructSequence_SetItem(result_, next_++, item != nullptr ? item : Py_NewRef(Py_None));
    return *this;
  }
  // Puts None at the next place.
  Result& none() {
    return add([]() -> PyObject* { return nullptr; });
  }

  // Whether every item so far was made.
  explicit operator bool() const { return result_ != nullptr; }
  // The result for the caller, or null with the error set.
  PyObject* release() { return std::exchange(result_, nullptr); }

 private:
  PyObject* result_;
  Py_ssize_t next_ = 0;
};

// A free step block of `games` rows from `cache`, its outputs in `out`; null
// with an error set.
PyObject* step_block(BlockCache& cache, std::size_t games, StepBuffers& out);
// The BatchStep over a step block's outputs. It is made before the step writes
// them, so that a step that cannot have its result (out of memory) leaves every
// game as it was; test false with the error set on failure.
Result step_result(PyObject* block, const StepBuffers& out, std::size_t games);

// What an observe asks for of the legal actions.
struct LegalWanted {
  bool list;
  bool mask;
};

// The BatchObservation over an observation block that observe filled: the planes,
// the legal lists of `total` actions if asked for, the mask if asked for (None
// for what was not).
Result observation_result(PyObject* block, const ObservationBuffers& out, std::size_t games, std::size_t total,
                          LegalWanted legal);

}  // namespace tegulo::py
