#include "python/game_class.hpp"

#include <new>
#include <vector>

#include "game/scores.hpp"
#include "python/call.hpp"
#include "python/observation_class.hpp"
#include "python/stdout.hpp"

namespace tegulo::py {

namespace {

PyTegulo* as_tegulo(PyObject* self) { return reinterpret_cast<PyTegulo*>(self); }
Game& game_of(PyObject* self) { return as_tegulo(self)->game; }
BorrowFlag& flag_of(PyObject* self) { return as_tegulo(self)->borrow; }

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// A list built from `n` new references made by `item(i)`; null if any fails.
template <class Item>
PyObject* list_of(std::size_t n, Item&& item) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

// --- Properties -------------------------------------------------------------------

// A read-only property: the value that `Get` builds from the game, under a shared borrow.
template <PyObject* (*Get)(const Game&)>
PyObject* property(PyObject* self, void*) {
  return enter([&]() -> PyObject* {
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] { return Get(game_of(self)); });
  });
}

PyObject* ply(const Game& game) { return PyLong_FromUnsignedLong(game.ply()); }

PyObject* agent_selection(const Game& game) { return PyLong_FromSize_t(game.current_agent); }

PyObject* agents(const Game& game) {
  return list_of(game.agent_count, [](std::size_t i) { return PyLong_FromSize_t(i); });
}

PyObject* scores(const Game& game) {
  const Scores s = game.scores();
  return list_of(AGENT_COUNT, [&](std::size_t i) { return PyLong_FromLong(s[i]); });
}

PyObject* rewards(const Game& game) {
  const Scores s = game.scores();
  return list_of(AGENT_COUNT,
                 [&](std::size_t i) { return game.agents[i].done ? PyLong_FromLong(s[i]) : Py_NewRef(Py_None); });
}

PyObject* terminations(const Game& game) {
  return list_of(AGENT_COUNT, [&](std::size_t i) { return PyBool_FromLong(game.agents[i].done); });
}

PyObject* is_over(const Game& game) { return PyBool_FromLong(game.is_over()); }

// --- Methods ----------------------------------------------------------------------

PyObject* reset(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    ExclusiveBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] {
      game_of(self) = Game::fresh();
      Py_RETURN_NONE;
    });
  });
}

constexpr const char* ACTION_IDX[] = {"action_idx"};
constexpr Signature STEP{"PyTegulo.step()", ACTION_IDX};

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(STEP, args, nargs, kwnames, {&arg, 1})) return nullptr;
    ExclusiveBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    std::optional<std::size_t> action;
    if (arg != Py_None) {
      const auto index = to_index(arg, "action_idx");
      if (!index) return nullptr;
      action = *index;
    }
    return run([&]() -> PyObject* {
      if (const auto refusal = game_of(self).step(action)) {
        PyObject* reason = text(refusal->message);
        if (reason != nullptr) PyErr_Format(PyExc_AssertionError, "Invalid action: %U", reason);
        Py_XDECREF(reason);
        return nullptr;
      }
      Py_RETURN_NONE;
    });
  });
}

constexpr const char* MODE[] = {"mode"};
constexpr Signature OUTCOME{"PyTegulo.outcome()", MODE};

PyObject* outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(OUTCOME, args, nargs, kwnames, {&arg, 1})) return nullptr;
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    const auto text = to_text(arg, "mode");
    if (!text) return nullptr;
    const auto mode = reward_mode_from_text(*text);
    if (!mode) return PyErr_Format(PyExc_ValueError, "Unknown reward mode %U", arg);
    return run([&]() -> PyObject* {
      const Game& game = game_of(self);
      if (!game.is_over()) Py_RETURN_NONE;
      const Rewards r = outcome_from_scores(game.scores(), *mode);
      return list_of(AGENT_COUNT, [&](std::size_t i) { return PyFloat_FromDouble(r[i]); });
    });
  });
}

constexpr const char* AGENT_IDX[] = {"agent_idx"};
constexpr Signature OBSERVE{"PyTegulo.observe()", AGENT_IDX};

PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(OBSERVE, args, nargs, kwnames, {&arg, 1})) return nullptr;
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    const auto agent = to_index(arg, "agent_idx");
    if (!agent) return nullptr;
    const Game& game = game_of(self);
    if (*agent >= game.agent_count)
      return PyErr_Format(PyExc_ValueError, "Unknown agent %llu", static_cast<unsigned long long>(*agent));
    return run([&] { return new_observation(game, game.observe(*agent)); });
  });
}

PyObject* copy(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] { return new_tegulo(Py_TYPE(self), game_of(self)); });
  });
}

constexpr const char* MEMO[] = {"_memo"};
constexpr Signature DEEPCOPY{"PyTegulo.__deepcopy__()", MEMO};

PyObject* deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* memo;  // a game holds no Python objects, so the memo has nothing to say
    if (!bind(DEEPCOPY, args, nargs, kwnames, {&memo, 1})) return nullptr;
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] { return new_tegulo(Py_TYPE(self), game_of(self)); });
  });
}

PyObject* record(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] {
      const Record bytes = game_of(self).to_bytes();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), RECORD_SIZE);
    });
  });
}

PyObject* not_a_record() {
  PyErr_SetString(PyExc_ValueError, "Not a game state written by to_bytes() of this version");
  return nullptr;
}

constexpr const char* DATA[] = {"data"};
constexpr Signature FROM_BYTES{"PyTegulo.from_bytes()", DATA};

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(FROM_BYTES, args, nargs, kwnames, {&arg, 1})) return nullptr;
    const auto data = to_bytes(arg, "data");
    if (!data) return nullptr;
    return run([&]() -> PyObject* {
      const std::optional<Game> game = Game::from_bytes(*data);
      if (!game) return not_a_record();
      PyObject* type = tegulo_type();
      return type == nullptr ? nullptr : new_tegulo(reinterpret_cast<PyTypeObject*>(type), *game);
    });
  });
}

constexpr const char* STATE[] = {"state"};
constexpr Signature SETSTATE{"PyTegulo.__setstate__()", STATE};

PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(SETSTATE, args, nargs, kwnames, {&arg, 1})) return nullptr;
    ExclusiveBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    const auto state = to_bytes(arg, "state");
    if (!state) return nullptr;
    return run([&]() -> PyObject* {
      const std::optional<Game> game = Game::from_bytes(*state);
      if (!game) return not_a_record();
      game_of(self) = *game;
      Py_RETURN_NONE;
    });
  });
}

PyObject* render(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    SharedBorrow borrow(flag_of(self));
    if (!borrow) return nullptr;
    return run([&] {
      std::string text = game_of(self).board_text();
      text += '\n';
      if (!print_line(text)) return static_cast<PyObject*>(nullptr);
      Py_RETURN_NONE;
    });
  });
}

constexpr Signature NEW{"PyTegulo.__new__()", {}};

PyObject* tegulo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    if (!bind(NEW, args, kwargs, {})) return nullptr;
    return run([&] { return new_tegulo(type, Game::fresh()); });
  });
}

// The game and the guard own nothing, so there is nothing to destroy first.
static_assert(std::is_trivially_destructible_v<Game> && std::is_trivially_destructible_v<BorrowFlag>);

// --- The class --------------------------------------------------------------------

PyMethodDef METHODS[] = {
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"copy", copy, METH_NOARGS, "copy($self)\n--\n\nAn independent copy of the game."},
    {"__copy__", copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", fastcall(deepcopy), METH_FASTCALL | METH_KEYWORDS, "__deepcopy__($self, _memo)\n--\n\n"},
    {"__getstate__", record, METH_NOARGS, "__getstate__($self)\n--\n\nPickles the game as its `to_bytes` state."},
    {"__setstate__", fastcall(setstate), METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {"to_bytes", record, METH_NOARGS, "to_bytes($self)\n--\n\nThe game state as bytes, restore it with `from_bytes`."},
    {"from_bytes", fastcall(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(data)\n--\n\n"},
    {"outcome", fastcall(outcome), METH_FASTCALL | METH_KEYWORDS,
     "outcome($self, mode)\n--\n\nThe final rewards in `mode`, one of `reward_modes`, None until the game is over."},
    {"observe", fastcall(observe), METH_FASTCALL | METH_KEYWORDS, "observe($self, agent_idx)\n--\n\n"},
    {"step", fastcall(step), METH_FASTCALL | METH_KEYWORDS, "step($self, action_idx)\n--\n\n"},
    {"render", render, METH_NOARGS, "render($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"agents", property<agents>, nullptr, nullptr, nullptr},
    {"agent_selection", property<agent_selection>, nullptr, nullptr, nullptr},
    {"terminations", property<terminations>, nullptr, nullptr, nullptr},
    {"rewards", property<rewards>, nullptr, "The score of every agent that is done, None for the others.", nullptr},
    {"scores", property<scores>, nullptr, "Every agent's official score as if the game ended now.", nullptr},
    {"is_over", property<is_over>, nullptr, nullptr, nullptr},
    {"ply", property<ply>, nullptr, "The number of placements made so far, by all agents.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The members in the order of the class's member table. The interpreter enters
// methods before properties into the class dict; the dict is reordered to this.
constexpr const char* MEMBER_ORDER[] = {
    "reset",        "copy",
    "__copy__",     "__deepcopy__",
    "__getstate__", "__setstate__",
    "to_bytes",     "from_bytes",
    "agents",       "agent_selection",
    "num_actions",  "action_grid_shape",
    "reward_modes", "piece_names",
    "terminations", "rewards",
    "scores",       "is_over",
    "ply",          "outcome",
    "observe",      "step",
    "render",
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tegulo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_doc, const_cast<char*>("PyTegulo()\n--\n\n")},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "tegulo_rl._tegulo.PyTegulo",
    sizeof(PyTegulo),
    0,
    // Not subclassable (no Py_TPFLAGS_BASETYPE), no instance dict, no weak
    // references; immutable, so that nobody can rebind a member of the class.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

// A tuple of `n` new references made by `item(i)`; null if any fails.
template <class Item>
PyObject* tuple_of(std::size_t n, Item&& item) {
  PyObject* list = list_of(n, item);
  if (list == nullptr) return nullptr;
  PyObject* tuple = PyList_AsTuple(list);
  Py_DECREF(list);
  return tuple;
}

// Stores the class attributes in the class dict (an immutable class takes no
// assignment), then puts the members in table order.
bool finish_class(PyObject* type) {
  PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
  using Make = PyObject* (*)();
  const std::pair<const char*, Make> attributes[] = {
      {"num_actions", [] { return PyLong_FromSize_t(NUM_ACTIONS); }},
      {"action_grid_shape",
       [] { return Py_BuildValue("(nnn)", Py_ssize_t{PIECE_COUNT}, Py_ssize_t{BOARD_SIZE}, Py_ssize_t{BOARD_SIZE}); }},
      {"reward_modes",
       [] { return tuple_of(REWARD_MODE_NAMES.size(), [](std::size_t i) { return text(REWARD_MODE_NAMES[i]); }); }},
      {"piece_names",
       [] { return tuple_of(KIND_COUNT, [](std::size_t i) { return text(PieceType::ALL[i].name()); }); }},
  };
  for (const auto& [name, make] : attributes) {
    PyObject* value = make();
    const bool stored = value != nullptr && PyDict_SetItemString(dict, name, value) == 0;
    Py_XDECREF(value);
    if (!stored) return false;
  }
  for (const char* name : MEMBER_ORDER) {
    PyObject* member = Py_XNewRef(PyDict_GetItemString(dict, name));
    if (member == nullptr) {
      PyErr_Format(PyExc_SystemError, "PyTegulo has no member %s", name);
      return false;
    }
    const bool moved = PyDict_DelItemString(dict, name) == 0 && PyDict_SetItemString(dict, name, member) == 0;
    Py_DECREF(member);
    if (!moved) return false;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
}

PyObject* make_type() {
  PyObject* type = PyType_FromSpec(&SPEC);
  if (type != nullptr && !finish_class(type)) Py_CLEAR(type);
  return type;
}

}  // namespace

PyObject* tegulo_type() {
  static OnceObject type;
  return type.get(make_type);
}

}  // namespace tegulo::py
