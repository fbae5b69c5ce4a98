// The module _players: the built-in players on one game, and the tree search whose
// leaves a Python evaluator scores, for tegulo_rl.players.
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "batch/thread_pool.hpp"
#include "players/guided_search.hpp"
#include "players/players.hpp"
#include "python/arguments.hpp"
#include "python/call.hpp"
#include "python/call_lock.hpp"
#include "python/player_args.hpp"

namespace tegulo::py {

namespace {

constexpr const char* CHOOSE_PARAMS[] = {"record", "player", "seed", "threads"};
constexpr Signature CHOOSE{"choose()", CHOOSE_PARAMS};

// choose(record, player, seed, threads): (action, legal count) for the record's
// agent to move, or None when no agent to move has a placement.
PyObject* choose_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind(CHOOSE, args, nargs, kwnames, arg)) return nullptr;
    auto game = to_game(arg[0]);
    if (!game) return nullptr;
    const auto players = to_players(arg[1]);
    if (!players) return nullptr;
    const auto seed = to_u64(arg[2], "seed");
    if (!seed) return nullptr;
    const auto threads = to_count(arg[3], "threads", 1, MAX_THREADS);
    if (!threads) return nullptr;
    return run([&]() -> PyObject* {
      pass_done(*game);
      if (game->is_over()) Py_RETURN_NONE;
      Stream stream = Stream::of(*seed, 0);
      std::optional<Choice> choice;
      try {
        Detached detached;
        std::unique_ptr<ThreadPool> pool;
        if (*threads > 1) pool = std::make_unique<ThreadPool>(*threads);
        choice = choose(*game, players->front(), stream, pool.get());
      } catch (const std::system_error& e) {  // the system would not start the threads
        return PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", *threads, e.what());
      }
      return Py_BuildValue(
          "(nI)", static_cast<Py_ssize_t>(game->action_set->action_index(game->current_agent, choice->placement)),
          choice->legal_count);
    });
  });
}

// --- The guided search --------------------------------------------------------------------

struct PySearch {
  PyObject_HEAD
  GuidedSearch* search;
  CallLock* lock;
};

GuidedSearch& search_of(PyObject* self) { return *reinterpret_cast<PySearch*>(self)->search; }
CallLock& lock_of(PyObject* self) { return *reinterpret_cast<PySearch*>(self)->lock; }

constexpr const char* NEW_PARAMS[] = {"records", "simulations", "exploration", "leaves", "reward_mode"};
constexpr Signature NEW{"GuidedSearch()", NEW_PARAMS};

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    PyObject* arg[5];
    if (!bind(NEW, args, kwargs, arg)) return nullptr;
    const auto records = to_bytes(arg[0], "records");
    if (!records) return nullptr;
    if (records->empty() || records->size() % RECORD_SIZE != 0)
      return PyErr_Format(PyExc_ValueError, "records must hold whole state records of %zu bytes", RECORD_SIZE);
    const auto simulations = to_u64(arg[1], "simulations");
    if (!simulations) return nullptr;
    const double exploration = PyFloat_AsDouble(arg[2]);
    if (exploration == -1.0 && PyErr_Occurred()) return nullptr;
    const auto leaves = to_u64(arg[3], "leaves");
    if (!leaves) return nullptr;
    const auto mode_text = to_text(arg[4], "reward_mode");
    if (!mode_text) return nullptr;
    const auto mode = reward_mode_from_text(*mode_text);
    if (!mode) return PyErr_Format(PyExc_ValueError, "Unknown reward mode %U", arg[4]);
    if (*simulations < 1 || *simulations > 0xFFFFFFFFull || *leaves < 1 || *leaves > 0xFFFFFFFFull)
      return PyErr_Format(PyExc_ValueError, "simulations and leaves must be from 1 to 2**32 - 1");
    return run([&]() -> PyObject* {
      std::vector<Game> roots;
      for (std::size_t i = 0; i < records->size(); i += RECORD_SIZE) {
        auto game = Game::from_bytes({records->data() + i, RECORD_SIZE});
        if (!game)
          return PyErr_Format(PyExc_ValueError, "record %zu: Not a game state written by to_bytes()", i / RECORD_SIZE);
        pass_done(*game);
        if (game->is_over())
          return PyErr_Format(PyExc_ValueError, "record %zu is of a game that is over", i / RECORD_SIZE);
        roots.push_back(*game);
      }
      // The search before the object, so that nothing is left to drop if it throws.
      auto search =
          std::make_unique<GuidedSearch>(roots, static_cast<std::uint32_t>(*simulations),
                                         static_cast<float>(exploration), static_cast<std::uint32_t>(*leaves), *mode);
      auto lock = std::make_unique<CallLock>("GuidedSearch");
      const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
      PyObject* self = alloc(type, 0);
      if (self == nullptr) return nullptr;
      auto* s = reinterpret_cast<PySearch*>(self);
      s->search = search.release();
      s->lock = lock.release();
      return self;
    });
  });
}

void search_dealloc(PyObject* self) {
  auto* s = reinterpret_cast<PySearch*>(self);
  delete s->search;
  delete s->lock;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// select(): the records of the leaves to evaluate next, as bytes (278 a leaf), or
// None when the search is done.
PyObject* select(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked held(lock_of(self));
    if (!held) return nullptr;
    return run([&]() -> PyObject* {
      GuidedSearch& search = search_of(self);
      if (search.pending() > 0)
        return PyErr_Format(PyExc_RuntimeError,
                            "GuidedSearch.select() called again before expand() took the evaluations of its %zu leaves",
                            search.pending());
      const std::vector<Game>& leaves = search.select();
      if (leaves.empty()) Py_RETURN_NONE;
      PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(leaves.size() * RECORD_SIZE));
      if (bytes == nullptr) return nullptr;
      char* out = PyBytes_AS_STRING(bytes);
      for (std::size_t k = 0; k < leaves.size(); ++k) {
        const Record record = leaves[k].to_bytes();
        std::memcpy(out + k * RECORD_SIZE, record.data(), RECORD_SIZE);
      }
      return bytes;
    });
  });
}

constexpr const char* EXPAND_PARAMS[] = {"priors", "values"};
constexpr Signature EXPAND{"GuidedSearch.expand()", EXPAND_PARAMS};

// expand(priors, values): C-contiguous float32 buffers of the last leaves'
// priors (leaves x 36400) and values (leaves x 4), checked by the caller.
PyObject* expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(EXPAND, args, nargs, kwnames, arg)) return nullptr;
    Locked held(lock_of(self));
    if (!held) return nullptr;
    Py_buffer priors, values;
    if (PyObject_GetBuffer(arg[0], &priors, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    if (PyObject_GetBuffer(arg[1], &values, PyBUF_C_CONTIGUOUS) < 0) {
      PyBuffer_Release(&priors);
      return nullptr;
    }
    PyObject* result = run([&]() -> PyObject* {
      if (priors.len % sizeof(float) != 0 || values.len % sizeof(float) != 0)
        return PyErr_Format(PyExc_ValueError, "priors and values must be float32");
      const std::size_t leaves = search_of(self).pending();
      if (leaves == 0)
        return PyErr_Format(PyExc_RuntimeError, "GuidedSearch.expand() called with no leaves waiting: select() first");
      const auto prior_count = static_cast<std::size_t>(priors.len) / sizeof(float);
      const auto value_count = static_cast<std::size_t>(values.len) / sizeof(float);
      if (prior_count != leaves * NUM_ACTIONS || value_count != leaves * AGENT_COUNT)
        return PyErr_Format(PyExc_ValueError,
                            "GuidedSearch.expand() takes the evaluations of the %zu leaves select() gave: %zu x %zu "
                            "priors and %zu x %zu values, got %zu and %zu numbers",
                            leaves, leaves, NUM_ACTIONS, leaves, AGENT_COUNT, prior_count, value_count);
      search_of(self).expand({static_cast<const float*>(priors.buf), static_cast<std::size_t>(priors.len) / 4},
                             {static_cast<const float*>(values.buf), static_cast<std::size_t>(values.len) / 4});
      Py_RETURN_NONE;
    });
    PyBuffer_Release(&priors);
    PyBuffer_Release(&values);
    return result;
  });
}

// best(): per root, (action in the frame of its agent to move, legal count, visits
// by action) as a list of tuples.
PyObject* best(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked held(lock_of(self));
    if (!held) return nullptr;
    return run([&]() -> PyObject* {
      const GuidedSearch& search = search_of(self);
      // Every root's choice before any object: nothing is made that a refusal would drop.
      for (std::size_t t = 0; t < search.trees(); ++t)
        if (!search.root_expanded(t))
          return PyErr_Format(PyExc_RuntimeError,
                              "GuidedSearch.best() called before the root of tree %zu had its evaluation: select() "
                              "and expand() first",
                              t);
      std::vector<Choice> choices;
      choices.reserve(search.trees());
      for (std::size_t t = 0; t < search.trees(); ++t) choices.push_back(search.best(t));
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(search.trees()));
      if (list == nullptr) return nullptr;
      for (std::size_t t = 0; t < search.trees(); ++t) {
        const Choice& choice = choices[t];
        const std::size_t mover = search.root(t).current_agent;
        const ActionSet& set = ActionSet::get();
        PyObject* visits = PyDict_New();
        if (visits == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        for (const auto& [placement, count] : search.root_visits(t)) {
          PyObject* key = PyLong_FromSize_t(set.action_index(mover, placement));
          PyObject* value = PyLong_FromUnsignedLong(count);
          const int failed = key == nullptr || value == nullptr || PyDict_SetItem(visits, key, value) < 0;
          Py_XDECREF(key);
          Py_XDECREF(value);
          if (failed) {
            Py_DECREF(visits);
            Py_DECREF(list);
            return nullptr;
          }
        }
        PyObject* item = Py_BuildValue("(nIN)", static_cast<Py_ssize_t>(set.action_index(mover, choice.placement)),
                                       choice.legal_count, visits);
        if (item == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(t), item);
      }
      return list;
    });
  });
}

PyMethodDef SEARCH_METHODS[] = {
    {"select", select, METH_NOARGS,
     "select($self)\n--\n\nThe records of the next leaves to evaluate, 278 bytes each, or None when done."},
    {"expand", fastcall(expand), METH_FASTCALL | METH_KEYWORDS,
     "expand($self, priors, values)\n--\n\n"
     "The last leaves' priors (leaves x 36400, in the frame of each leaf's agent to\n"
     "move) and values (leaves x 4, seat 0 that agent), C-contiguous float32."},
    {"best", best, METH_NOARGS, "best($self)\n--\n\nPer root: (action, legal count, {action: root visits})."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SEARCH_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_methods, SEARCH_METHODS},
    {Py_tp_doc, const_cast<char*>("GuidedSearch(records, simulations, exploration, leaves, reward_mode)\n--\n\n"
                                  "PUCT from the positions of the state records, its leaves evaluated by the\n"
                                  "caller in batches; tegulo_rl.players.search drives it.")},
    {0, nullptr},
};

PyType_Spec SEARCH_SPEC = {
    "tegulo_rl._players.GuidedSearch", sizeof(PySearch), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SEARCH_SLOTS,
};

int exec_module(PyObject* module) {
  return enter([&]() -> int {
    PyObject* type = PyType_FromSpec(&SEARCH_SPEC);
    if (type == nullptr) return -1;
    const int added = PyModule_AddObjectRef(module, "GuidedSearch", type);
    Py_DECREF(type);
    return added;
  });
}

PyMethodDef METHODS[] = {
    {"choose", fastcall(choose_one), METH_FASTCALL | METH_KEYWORDS,
     "choose(record, player, seed, threads)\n--\n\n"
     "(action, legal count) that `player` chooses for the agent to move of the game a\n"
     "state record describes (turns of agents out of moves passed first), drawing\n"
     "from the stream of `seed`; None when the game is over. A search spreads its\n"
     "trees over `threads` threads."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // A search serialises the calls made on it with a lock of its own.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT,
                      "_players",
                      "The built-in players in native code, for tegulo_rl.players.",
                      0,
                      METHODS,
                      SLOTS,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

}  // namespace tegulo::py

PyMODINIT_FUNC PyInit__players() { return PyModuleDef_Init(&tegulo::py::MODULE); }
