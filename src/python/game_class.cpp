#include "python/game_class.hpp"

#include <new>

#include "python/call.hpp"

namespace tegulo::py {

namespace {

PyTegulo* as_tegulo(PyObject* self) { return reinterpret_cast<PyTegulo*>(self); }

// A new instance of `type` holding `game`, with a free guard.
PyObject* new_tegulo(PyTypeObject* type, const Game& game) {
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_tegulo(self)->game) Game(game);
  new (&as_tegulo(self)->borrow) BorrowFlag();
  return self;
}

// --- Members --------------------------------------------------------------------

// A read-only property: the value that `Get` builds from the game, under a shared borrow.
template <PyObject* (*Get)(const Game&)>
PyObject* property(PyObject* self, void*) {
  return enter([&]() -> PyObject* {
    SharedBorrow borrow(as_tegulo(self)->borrow);
    if (!borrow) return nullptr;
    return run([&] { return Get(as_tegulo(self)->game); });
  });
}

PyObject* ply(const Game& game) { return PyLong_FromUnsignedLong(game.ply()); }
PyObject* agent_selection(const Game& game) { return PyLong_FromSize_t(game.current_agent); }

constexpr Signature NEW{"PyTegulo.__new__()", {}};

PyObject* tegulo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    if (!bind(NEW, args, kwargs, {})) return nullptr;
    return run([&] { return new_tegulo(type, Game::fresh()); });
  });
}

void tegulo_dealloc(PyObject* self) {
  // The game and the guard own nothing, so there is nothing to destroy first.
  static_assert(std::is_trivially_destructible_v<Game> && std::is_trivially_destructible_v<BorrowFlag>);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef GETSET[] = {
    {"agent_selection", property<agent_selection>, nullptr, nullptr, nullptr},
    {"ply", property<ply>, nullptr, "The number of placements made so far, by all agents.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tegulo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tegulo_dealloc)},
    {Py_tp_doc, const_cast<char*>("PyTegulo()\n--\n\n")},
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

PyObject* make_type() { return PyType_FromSpec(&SPEC); }

}  // namespace

PyObject* tegulo_type() {
  static std::atomic<PyObject*> type{nullptr};
  return once(type, make_type);
}

}  // namespace tegulo::py
