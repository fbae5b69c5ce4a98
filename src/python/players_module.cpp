// The module _players: the built-in players on one game, and the tree search whose
// leaves a Python evaluator scores, for tegulo_rl.players.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>
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
  ThreadPool* pool;  // null: the trees descend on the calling thread
};

GuidedSearch& search_of(PyObject* self) { return *reinterpret_cast<PySearch*>(self)->search; }
CallLock& lock_of(PyObject* self) { return *reinterpret_cast<PySearch*>(self)->lock; }
ThreadPool* search_pool(PyObject* self) { return reinterpret_cast<PySearch*>(self)->pool; }

constexpr const char* NEW_PARAMS[] = {"records", "simulations", "exploration", "leaves", "reward_mode",
                                     "root",    "considered",  "gumbel_scale", "noise",  "alpha",
                                     "seed",    "memory_mb",   "playout_weight", "evaluated_depth", "threads"};
constexpr Signature NEW{"GuidedSearch()", NEW_PARAMS, SIZE_MAX, 5};

constexpr const char* ROOT_NAMES[] = {"none", "dirichlet", "gumbel"};

// A float argument, or `fallback` when left out; nothing with an error set otherwise.
std::optional<float> to_float(PyObject* arg, float fallback) {
  if (arg == nullptr) return fallback;
  const double x = PyFloat_AsDouble(arg);
  if (x == -1.0 && PyErr_Occurred()) return std::nullopt;
  return static_cast<float>(x);
}

// The settings the arguments give, checked; nothing with an error set otherwise.
std::optional<SearchSettings> to_settings(PyObject* const* arg, std::size_t trees) {
  SearchSettings s;
  const auto simulations = to_count(arg[1], "simulations", 0, 0xFFFFFFFFull);
  if (!simulations) return std::nullopt;
  const auto exploration = to_float(arg[2], s.exploration);
  if (!exploration) return std::nullopt;
  const auto leaves = to_count(arg[3], "leaves", 0, 0xFFFFFFFFull);
  if (!leaves) return std::nullopt;
  const auto mode_text = to_text(arg[4], "reward_mode");
  if (!mode_text) return std::nullopt;
  const auto mode = reward_mode_from_text(*mode_text);
  if (!mode) {
    PyErr_Format(PyExc_ValueError, "Unknown reward mode %U", arg[4]);
    return std::nullopt;
  }
  s.simulations = static_cast<std::uint32_t>(*simulations);
  s.exploration = *exploration;
  s.leaves = static_cast<std::uint32_t>(*leaves);
  s.mode = *mode;
  if (arg[5] != nullptr) {
    const auto root = to_text(arg[5], "root");
    if (!root) return std::nullopt;
    const auto* found = std::find(std::begin(ROOT_NAMES), std::end(ROOT_NAMES), *root);
    if (found == std::end(ROOT_NAMES)) {
      PyErr_Format(PyExc_ValueError, "Unknown root exploration %R: expected none, dirichlet or gumbel", arg[5]);
      return std::nullopt;
    }
    s.root = static_cast<RootNoise>(found - std::begin(ROOT_NAMES));
  }
  if (arg[6] != nullptr) {
    const auto considered = to_count(arg[6], "considered", 0, 0xFFFFFFFFull);
    if (!considered) return std::nullopt;
    s.considered = static_cast<std::uint32_t>(*considered);
  }
  const auto scale = to_float(arg[7], s.gumbel_scale);
  const auto noise = scale ? to_float(arg[8], s.noise) : std::nullopt;
  const auto alpha = noise ? to_float(arg[9], s.alpha) : std::nullopt;
  if (!alpha) return std::nullopt;
  s.gumbel_scale = *scale;
  s.noise = *noise;
  s.alpha = *alpha;
  if (arg[10] != nullptr) {
    const auto seed = to_u64(arg[10], "seed");
    if (!seed) return std::nullopt;
    s.seed = *seed;
  }
  if (arg[11] != nullptr) {
    const auto memory = to_count(arg[11], "memory_mb", 0, 0xFFFFFFFFull);
    if (!memory) return std::nullopt;
    s.memory_mb = static_cast<std::uint32_t>(*memory);
  }
  const auto playout = to_float(arg[12], s.playout_weight);
  if (!playout) return std::nullopt;
  s.playout_weight = *playout;
  if (arg[13] != nullptr && arg[13] != Py_None) {
    const auto depth = to_count(arg[13], "evaluated_depth", 0, UNLIMITED_DEPTH - 1ull);
    if (!depth) return std::nullopt;
    s.evaluated_depth = static_cast<std::uint32_t>(*depth);
  }
  if (const auto fault = check_settings(s, trees)) {
    PyErr_SetString(PyExc_ValueError, fault->c_str());
    return std::nullopt;
  }
  return s;
}

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    PyObject* arg[15];
    if (!bind(NEW, args, kwargs, arg)) return nullptr;
    const auto records = to_bytes(arg[0], "records");
    if (!records) return nullptr;
    if (records->empty() || records->size() % RECORD_SIZE != 0)
      return PyErr_Format(PyExc_ValueError, "records must hold whole state records of %zu bytes", RECORD_SIZE);
    const auto settings = to_settings(arg, records->size() / RECORD_SIZE);
    if (!settings) return nullptr;
    const auto count = to_threads(arg[14]);
    if (!count) return nullptr;
    const std::size_t threads = *count;
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
      auto search = std::make_unique<GuidedSearch>(roots, *settings);
      auto lock = std::make_unique<CallLock>("GuidedSearch");
      std::unique_ptr<ThreadPool> pool;
      try {
        if (threads > 1 && roots.size() > 1) pool = std::make_unique<ThreadPool>(std::min(threads, roots.size()));
      } catch (const std::system_error& e) {  // the system would not start the threads
        return PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", threads, e.what());
      }
      const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
      PyObject* self = alloc(type, 0);
      if (self == nullptr) return nullptr;
      auto* s = reinterpret_cast<PySearch*>(self);
      s->search = search.release();
      s->lock = lock.release();
      s->pool = pool.release();
      return self;
    });
  });
}

void search_dealloc(PyObject* self) {
  auto* s = reinterpret_cast<PySearch*>(self);
  delete s->pool;
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
      const std::vector<Game>* found = nullptr;
      {
        // Playouts below the evaluated levels make a round long: other threads run meanwhile.
        Detached detached;
        found = &search.select(search_pool(self));
      }
      const std::vector<Game>& leaves = *found;
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

constexpr const char* EXPAND_PARAMS[] = {"priors", "values", "logits"};
constexpr Signature EXPAND{"GuidedSearch.expand()", EXPAND_PARAMS, SIZE_MAX, 2};

// expand(priors, values, logits=False): C-contiguous float32 buffers of the last
// leaves' priors or logits (leaves x 36400) and values (leaves x 4).
PyObject* expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[3];
    if (!bind(EXPAND, args, nargs, kwnames, arg)) return nullptr;
    bool logits = false;
    if (arg[2] != nullptr) {
      const int truth = PyObject_IsTrue(arg[2]);
      if (truth < 0) return nullptr;
      logits = truth != 0;
    }
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
      const auto fault = search_of(self).expand({static_cast<const float*>(priors.buf), prior_count},
                                                {static_cast<const float*>(values.buf), value_count}, logits);
      if (fault) return PyErr_Format(PyExc_ValueError, "the evaluator's %s", fault->c_str());
      Py_RETURN_NONE;
    });
    PyBuffer_Release(&priors);
    PyBuffer_Release(&values);
    return result;
  });
}

// Every root's results, checked before any object is made: nothing is made that a
// refusal would drop.
bool roots_ready(const GuidedSearch& search, const char* method) {
  for (std::size_t t = 0; t < search.trees(); ++t)
    if (!search.root_expanded(t)) {
      PyErr_Format(PyExc_RuntimeError,
                   "GuidedSearch.%s() called before the root of tree %zu had its evaluation: select() and expand() "
                   "first",
                   method, t);
      return false;
    }
  return true;
}

// best(): per root, (action in the frame of its agent to move, legal count, visits
// by action) as a list of tuples.
PyObject* best(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked held(lock_of(self));
    if (!held) return nullptr;
    return run([&]() -> PyObject* {
      const GuidedSearch& search = search_of(self);
      if (!roots_ready(search, "best")) return nullptr;
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
        for (const auto& child : search.root_children(t)) {
          PyObject* key = PyLong_FromSize_t(set.action_index(mover, child.placement));
          PyObject* value = PyLong_FromUnsignedLong(child.visits);
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

// A bytes object holding `count` values of T written by `fill(T*)`; null with an error set.
template <class T, class Fill>
PyObject* packed(std::size_t count, Fill&& fill) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
  if (bytes != nullptr && count > 0) fill(reinterpret_cast<T*>(PyBytes_AS_STRING(bytes)));
  return bytes;
}

// targets(): what training reads of every root, as packed bytes for numpy to wrap:
// (actions int64 (T,), offsets int64 (T + 1,), legal actions int64 (M,), visits
// uint32 (M,), policy float32 (M,), values float32 (T, 4)). Root t's legal actions,
// in its mover's frame and increasing, are legal[offsets[t]:offsets[t + 1]].
PyObject* targets(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked held(lock_of(self));
    if (!held) return nullptr;
    return run([&]() -> PyObject* {
      const GuidedSearch& search = search_of(self);
      if (!roots_ready(search, "targets")) return nullptr;
      const ActionSet& set = ActionSet::get();
      const std::size_t trees = search.trees();
      struct Entry {
        std::int64_t action;
        std::uint32_t visits;
        float policy;
      };
      std::vector<std::int64_t> chosen(trees), offsets(trees + 1, 0);
      std::vector<Entry> entries;
      std::vector<float> values(trees * AGENT_COUNT);
      for (std::size_t t = 0; t < trees; ++t) {
        const std::size_t mover = search.root(t).current_agent;
        chosen[t] = static_cast<std::int64_t>(set.action_index(mover, search.best(t).placement));
        const std::size_t first = entries.size();
        for (const auto& child : search.root_children(t))
          entries.push_back({static_cast<std::int64_t>(set.action_index(mover, child.placement)), child.visits,
                             child.policy});
        std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.action < b.action; });
        offsets[t + 1] = static_cast<std::int64_t>(entries.size());
        const Rewards value = search.root_value(t);
        std::copy(value.begin(), value.end(), values.begin() + static_cast<std::ptrdiff_t>(t * AGENT_COUNT));
      }
      const std::size_t m = entries.size();
      PyObject* parts[6] = {
          packed<std::int64_t>(trees, [&](std::int64_t* out) { std::copy(chosen.begin(), chosen.end(), out); }),
          packed<std::int64_t>(trees + 1, [&](std::int64_t* out) { std::copy(offsets.begin(), offsets.end(), out); }),
          packed<std::int64_t>(m, [&](std::int64_t* out) {
            for (std::size_t i = 0; i < m; ++i) out[i] = entries[i].action;
          }),
          packed<std::uint32_t>(m, [&](std::uint32_t* out) {
            for (std::size_t i = 0; i < m; ++i) out[i] = entries[i].visits;
          }),
          packed<float>(m, [&](float* out) {
            for (std::size_t i = 0; i < m; ++i) out[i] = entries[i].policy;
          }),
          packed<float>(values.size(), [&](float* out) { std::copy(values.begin(), values.end(), out); }),
      };
      PyObject* tuple = nullptr;
      if (std::all_of(std::begin(parts), std::end(parts), [](PyObject* p) { return p != nullptr; })) {
        tuple = PyTuple_New(6);
        if (tuple != nullptr)
          for (Py_ssize_t i = 0; i < 6; ++i) PyTuple_SET_ITEM(tuple, i, std::exchange(parts[i], nullptr));
      }
      for (PyObject* p : parts) Py_XDECREF(p);
      return tuple;
    });
  });
}

PyMethodDef SEARCH_METHODS[] = {
    {"select", select, METH_NOARGS,
     "select($self)\n--\n\nThe records of the next leaves to evaluate, 278 bytes each, or None when done."},
    {"expand", fastcall(expand), METH_FASTCALL | METH_KEYWORDS,
     "expand($self, priors, values, logits=False)\n--\n\n"
     "The last leaves' priors, or with `logits` their logits (leaves x 36400, in the\n"
     "frame of each leaf's agent to move), and values (leaves x 4, seat 0 that agent),\n"
     "C-contiguous float32. Only legal actions' entries are read, and checked: a bad\n"
     "one raises ValueError with the search unchanged."},
    {"best", best, METH_NOARGS, "best($self)\n--\n\nPer root: (action, legal count, {action: root visits})."},
    {"targets", targets, METH_NOARGS,
     "targets($self)\n--\n\n"
     "Packed bytes of every root's results: (actions int64, offsets int64, legal actions\n"
     "int64, visits uint32, improved policy float32, root values float32 by seat)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SEARCH_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_methods, SEARCH_METHODS},
    {Py_tp_doc, const_cast<char*>("GuidedSearch(records, simulations, exploration, leaves, reward_mode, root='none', "
                                  "considered=16, gumbel_scale=1.0, noise=0.25, alpha=0.3, seed=0, memory_mb=1024, "
                                  "playout_weight=0.0, evaluated_depth=None, threads=None)\n--\n\n"
                                  "PUCT (or a Gumbel root) from the positions of the state records, its leaves\n"
                                  "evaluated by the caller in batches; tegulo_rl.players.search drives it. The trees\n"
                                  "descend on `threads` threads (None: every usable core).")},
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
