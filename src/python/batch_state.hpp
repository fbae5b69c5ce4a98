#pragma once

// What a GameBatch object holds, shared by the file of the class and the file of
// its player methods: the batch itself, the lock its calls take, and the caches
// of the blocks its results are written into.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "batch/game_batch.hpp"
#include "python/batch_results.hpp"
#include "python/call_lock.hpp"

namespace tegulo::py {

struct BatchState {
  GameBatch batch;
  // What a pickle keeps of the threads argument: None, or the number it gave. Never
  // the object given, which may be anything with __index__, even an object that
  // refers to the batch: a cycle that the collector, which does not see into a
  // batch, could never free.
  PyObject* threads_arg = nullptr;
  CallLock lock{"GameBatch"};
  BlockCache observations;
  BlockCache steps;
  std::vector<std::int64_t> actions;  // the actions of the current step, as 64-bit integers
  // The number of games, for len() and repr, which read it without the lock: load
  // changes it (under the lock) while another thread may be asking.
  std::atomic<std::size_t> games;

  BatchState(std::size_t num_games, RewardMode mode, std::size_t threads, std::uint64_t seed)
      : batch(num_games, mode, threads, seed), actions(num_games), games(num_games) {}
  ~BatchState() { Py_XDECREF(threads_arg); }
};

struct PyGameBatch {
  PyObject_HEAD
  BatchState* state;
};

inline BatchState& state_of(PyObject* self) { return *reinterpret_cast<PyGameBatch*>(self)->state; }

// A new batch object of `type`, of `threads` threads as the argument `threads_arg`
// (null or None for the default) gave them; null with an error set (MemoryError
// when the games do not fit in memory).
PyObject* new_batch(PyTypeObject* type, std::size_t games, RewardMode mode, PyObject* threads_arg, std::size_t threads,
                    std::uint64_t seed);

// The methods that move games in and out (batch_records.cpp).
PyObject* batch_to_bytes(PyObject* self, PyObject*);
PyObject* batch_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_set_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_reduce(PyObject* self, PyObject*);

// The player methods of GameBatch (batch_player_methods.cpp).
PyObject* batch_choose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_step_players(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_step_learners(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tegulo::py
