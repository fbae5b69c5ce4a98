#include "python/player_args.hpp"

#include <algorithm>
#include <new>

#include "python/call.hpp"

namespace tegulo::py {

namespace {

// tegulo_rl.players._native, looked up once.
PyObject* native_function() {
  static OnceObject function;
  return function.get([] {
    PyObject* module = PyImport_ImportModule("tegulo_rl.players");
    if (module == nullptr) return static_cast<PyObject*>(nullptr);
    PyObject* f = PyObject_GetAttrString(module, "_native");
    Py_DECREF(module);
    return f;
  });
}

// One player from its tuple (kind, simulations, exploration, playout, trees, reward
// mode, size, reach and block weights, width, memory cap in MiB), which _native
// has checked already.
std::optional<Player> player_of(PyObject* fields) {
  Player p;
  unsigned kind = 0, playout = 0, reward = 0;
  unsigned long simulations = 0, trees = 0, width = 0, memory_mb = 0;
  double exploration = 0, size = 0, reach = 0, block = 0;
  if (!PyArg_ParseTuple(fields, "IkdIkIdddkk", &kind, &simulations, &exploration, &playout, &trees, &reward, &size,
                        &reach, &block, &width, &memory_mb))
    return std::nullopt;
  if (kind > 3 || playout > 2 || reward > 2 || simulations < 1 || simulations > 0xFFFFFFFFul || trees < 1 ||
      trees > 0xFFFFFFFFul || width > 0xFFFFFFFFul || memory_mb < 1 || memory_mb > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_ValueError, "not the fields of a player");
    return std::nullopt;
  }
  p.kind = static_cast<PlayerKind>(kind);
  p.simulations = static_cast<std::uint32_t>(simulations);
  p.exploration = static_cast<float>(exploration);
  p.playout = static_cast<PlayerKind>(playout);
  p.trees = static_cast<std::uint32_t>(trees);
  p.width = static_cast<std::uint32_t>(width);
  p.memory_mb = static_cast<std::uint32_t>(memory_mb);
  p.reward = static_cast<RewardMode>(reward);
  p.weights = {static_cast<float>(size), static_cast<float>(reach), static_cast<float>(block)};
  return p;
}

}  // namespace

std::optional<std::vector<Player>> to_players(PyObject* arg) {
  PyObject* native = native_function();
  if (native == nullptr) return std::nullopt;
  PyObject* list = PyObject_CallOneArg(native, arg);
  if (list == nullptr) return std::nullopt;
  std::vector<Player> players;
  const Py_ssize_t n = PyList_Check(list) ? PyList_GET_SIZE(list) : -1;
  try {
    players.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(n, 0)));
  } catch (const std::bad_alloc&) {
    Py_DECREF(list);
    PyErr_NoMemory();
    return std::nullopt;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto p = player_of(PyList_GET_ITEM(list, i));
    if (!p) {
      Py_DECREF(list);
      return std::nullopt;
    }
    players.push_back(*p);
  }
  Py_DECREF(list);
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "no player given");
    return std::nullopt;
  }
  return players;
}

}  // namespace tegulo::py
