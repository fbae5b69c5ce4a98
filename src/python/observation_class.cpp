#include "python/observation_class.hpp"

#include <new>

#include "python/call.hpp"

namespace tegulo::py {

namespace {

// A read-only property: a new bytes object copying one plane.
template <auto Plane>
PyObject* plane(PyObject* self, void*) {
  return enter([&]() -> PyObject* {
    auto* obj = reinterpret_cast<PyObservation*>(self);
    SharedBorrow borrow(obj->borrow);
    if (!borrow) return nullptr;
    return run([&] {
      const auto& bytes = obj->planes.*Plane;
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                       static_cast<Py_ssize_t>(bytes.size()));
    });
  });
}

// The planes and the guard own nothing, so there is nothing to destroy first.
static_assert(std::is_trivially_destructible_v<Planes> && std::is_trivially_destructible_v<BorrowFlag>);

PyGetSetDef GETSET[] = {
    {"observation", plane<&Planes::observation>, nullptr, "The occupied cells in (agent, row, col) order.", nullptr},
    {"corners", plane<&Planes::corners>, nullptr,
     "The cells each agent's next piece can attach to, in (agent, row, col) order.", nullptr},
    {"blocked", plane<&Planes::blocked>, nullptr, "The cells each agent can never fill, in (agent, row, col) order.",
     nullptr},
    {"pieces", plane<&Planes::pieces>, nullptr, "The pieces each agent still has, in (agent, piece) order.", nullptr},
    {"done", plane<&Planes::done>, nullptr, "Whether each agent is out of moves.", nullptr},
    {"action_mask", plane<&Planes::action_mask>, nullptr, "The action mask over the flattened action grid.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_doc,
     const_cast<char*>("An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
                       "agent-relative order, see `Observation`.")},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    // No module name of its own: the "builtins" prefix is what Python shows.
    "builtins.PyObservation",
    sizeof(PyObservation),
    0,
    // Only `observe` makes instances; not subclassable, no dict, no weak references.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS,
};

PyObject* make_type() { return PyType_FromSpec(&SPEC); }

}  // namespace

PyObject* observation_type() {
  static OnceObject type;
  return type.get(make_type);
}

PyObject* new_observation(const Game& game, const Observation& obs) {
  PyObject* type = observation_type();
  if (type == nullptr) return nullptr;
  // The generic allocator hands out zeroed memory: the planes start all 0.
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  auto* obj = reinterpret_cast<PyObservation*>(self);
  new (&obj->borrow) BorrowFlag();
  Planes& planes = obj->planes;
  write_planes(obs, {planes.observation.data(), planes.corners.data(), planes.blocked.data(), planes.pieces.data(),
                     planes.done.data()});
  try {
    game.mark_observed_actions(obs, planes.action_mask);
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

}  // namespace tegulo::py
