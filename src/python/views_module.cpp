// The module tegulo_rl._views: what the package's Python code needs beyond the
// members of _tegulo, read straight from its objects. It finds the two classes by
// importing tegulo_rl._tegulo and reads their instances through the layouts that
// both modules are compiled from, taking the same borrows as _tegulo's members.
//
//   planes(observation) -> a read-only memoryview over the observation's six
//       planes, one after another in property order (no copy)
//   board_text(game) -> the board as render() draws it, without the last line feed
//   legal_actions(game, agent) -> the agent's legal action indices in its own
//       frame, increasing, as native int64 in a bytes object (numpy wraps it
//       without a copy)
//   panic_exception() -> the package's PanicException, which the package
//       publishes at import so that it can be caught and unpickled by name
//
// and the engine's sizes, so that Python never copies a number by hand:
// SEATS, BOARD_SIZE, PIECE_KINDS, ORIENTATIONS, NUM_ACTIONS, REWARD_MODES, and the
// state record's layout RECORD_SIZE, RECORD_VERSION, AGENT_BLOCK_OFFSETS,
// AGENT_BLOCK_SIZE and TURN_BYTE.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "game/scores.hpp"
#include "python/call.hpp"
#include "python/game_class.hpp"
#include "python/observation_class.hpp"

namespace tegulo::py {

namespace {

// The class `name` of tegulo_rl._tegulo, looked up once.
template <const char* Name>
PyObject* tegulo_class() {
  static OnceObject type;
  return type.get([] {
    PyObject* module = PyImport_ImportModule("tegulo_rl._tegulo");
    if (module == nullptr) return static_cast<PyObject*>(nullptr);
    PyObject* cls = PyObject_GetAttrString(module, Name);
    Py_DECREF(module);
    return cls;
  });
}
constexpr char TEGULO[] = "PyTegulo";
constexpr char OBSERVATION[] = "PyObservation";

// A read-only buffer over the planes of an observation, keeping the observation
// alive; memoryviews and numpy arrays made from it share the planes' memory. The
// planes never change after `observe`, so no borrow needs holding meanwhile.
struct PlaneBuffer {
  PyObject_HEAD
  PyObject* owner;
  const std::uint8_t* data;
  Py_ssize_t size;
};

int plane_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* plane = reinterpret_cast<PlaneBuffer*>(self);
  return PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(plane->data), plane->size, 1, flags);
}

void plane_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(reinterpret_cast<PlaneBuffer*>(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot PLANE_SLOTS[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(plane_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plane_dealloc)},
    {Py_tp_doc, const_cast<char*>("A read-only buffer over the planes of a PyObservation.")},
    {0, nullptr},
};

PyType_Spec PLANE_SPEC = {
    "tegulo_rl._views.PlaneBuffer",
    sizeof(PlaneBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    PLANE_SLOTS,
};

PyObject* plane_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&PLANE_SPEC); });
}

// The planes are byte arrays laid end to end, so one buffer covers all six.
static_assert(sizeof(Planes) == 3 * AGENT_COUNT * CELLS + AGENT_COUNT * KIND_COUNT + AGENT_COUNT + NUM_ACTIONS);

// A memoryview over `size` bytes at `data`, which `owner` holds.
PyObject* view_of(PyObject* owner, const std::uint8_t* data, std::size_t size) {
  PyObject* type = plane_type();
  if (type == nullptr) return nullptr;
  PyObject* buffer = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (buffer == nullptr) return nullptr;
  auto* plane = reinterpret_cast<PlaneBuffer*>(buffer);
  plane->owner = Py_NewRef(owner);
  plane->data = data;
  plane->size = static_cast<Py_ssize_t>(size);
  PyObject* view = PyMemoryView_FromObject(buffer);
  Py_DECREF(buffer);
  return view;
}

constexpr const char* OBSERVATION_PARAM[] = {"observation"};
constexpr Signature PLANES{"planes()", OBSERVATION_PARAM};

PyObject* planes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(PLANES, args, nargs, kwnames, {&arg, 1})) return nullptr;
    PyObject* type = tegulo_class<OBSERVATION>();
    if (type == nullptr || !is_instance(arg, type, "PyObservation", "observation")) return nullptr;
    const Planes& planes = reinterpret_cast<PyObservation*>(arg)->planes;
    return view_of(arg, planes.observation.data(), sizeof(Planes));
  });
}

constexpr const char* GAME_PARAM[] = {"game"};
constexpr Signature BOARD_TEXT{"board_text()", GAME_PARAM};

PyObject* board_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(BOARD_TEXT, args, nargs, kwnames, {&arg, 1})) return nullptr;
    PyObject* type = tegulo_class<TEGULO>();
    if (type == nullptr || !is_instance(arg, type, "PyTegulo", "game")) return nullptr;
    auto* game = reinterpret_cast<PyTegulo*>(arg);
    SharedBorrow borrow(game->borrow);
    if (!borrow) return nullptr;
    return run([&] {
      const std::string text = game->game.board_text();
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
  });
}

constexpr const char* GAME_AGENT_PARAMS[] = {"game", "agent"};
constexpr Signature LEGAL_ACTIONS{"legal_actions()", GAME_AGENT_PARAMS};

// Every object starts at an address aligned for its pointer fields, so the
// indices can be written straight into the bytes, and numpy finds them aligned.
static_assert(offsetof(PyBytesObject, ob_sval) % alignof(std::int64_t) == 0);

PyObject* legal_actions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(LEGAL_ACTIONS, args, nargs, kwnames, arg)) return nullptr;
    PyObject* type = tegulo_class<TEGULO>();
    if (type == nullptr || !is_instance(arg[0], type, "PyTegulo", "game")) return nullptr;
    auto* game = reinterpret_cast<PyTegulo*>(arg[0]);
    SharedBorrow borrow(game->borrow);
    if (!borrow) return nullptr;
    const auto agent = to_index(arg[1], "agent");
    if (!agent) return nullptr;
    if (*agent >= game->game.agent_count)
      return PyErr_Format(PyExc_ValueError, "Unknown agent %llu", static_cast<unsigned long long>(*agent));
    return run([&]() -> PyObject* {
      // One list per thread, reused by every call it makes.
      thread_local std::vector<std::uint16_t> moves = [] {
        std::vector<std::uint16_t> v;
        v.reserve(4096);
        return v;
      }();
      const Game& g = game->game;
      g.observed_actions(g.observe(*agent), moves);
      PyObject* bytes =
          PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(moves.size() * sizeof(std::int64_t)));
      if (bytes == nullptr) return nullptr;
      std::copy(moves.begin(), moves.end(), reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(bytes)));
      return bytes;
    });
  });
}

PyObject* panic_class(PyObject*, PyObject*) {
  return enter([]() -> PyObject* { return Py_XNewRef(panic_exception()); });
}

PyMethodDef METHODS[] = {
    {"planes", fastcall(planes), METH_FASTCALL | METH_KEYWORDS,
     "planes(observation)\n--\n\n"
     "A read-only memoryview over the six planes of `observation`, its own memory: the\n"
     "planes one after another in the order observation, corners, blocked, pieces, done,\n"
     "action_mask."},
    {"board_text", fastcall(board_text), METH_FASTCALL | METH_KEYWORDS,
     "board_text(game)\n--\n\nThe board of `game` as `render()` draws it, without the final line feed."},
    {"legal_actions", fastcall(legal_actions), METH_FASTCALL | METH_KEYWORDS,
     "legal_actions(game, agent)\n--\n\n"
     "The legal action indices of `agent` (0 to 3) in `game`, in the agent's own frame\n"
     "and in increasing order, as native int64 values in a bytes object: wrap them with\n"
     "numpy.frombuffer(..., dtype=numpy.int64). Empty for an agent out of moves."},
    {"panic_exception", panic_class, METH_NOARGS,
     "panic_exception()\n--\n\nThe PanicException class of the package, made on first request."},
    {nullptr, nullptr, 0, nullptr},
};

// The record's layout: a version byte, one block per agent (cells 64 bytes,
// remaining kinds 4, last kind 1), then the agent to move. The engine keeps these
// private to its reader and writer, so the sum below ties them to its RECORD_SIZE,
// and the package's tests tie them to the bytes the engine writes.
constexpr std::size_t RECORD_VERSION = 1;
constexpr std::size_t AGENT_BLOCK_SIZE = 69;
constexpr std::size_t AGENT_BLOCK_START = 1;
constexpr std::size_t TURN_BYTE = AGENT_BLOCK_START + AGENT_COUNT * AGENT_BLOCK_SIZE;
static_assert(TURN_BYTE + 1 == RECORD_SIZE);

// Adds `value` to the module as `name`, taking over the reference (none: the error is set).
int add_owned(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return added;
}

// A tuple of `count` items made by `item(i)`; nullptr with the error set if any fails.
template <class Item>
PyObject* tuple_of(std::size_t count, Item&& item) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), value);
  }
  return tuple;
}

int add_constants(PyObject* module) {
  return enter([&]() -> int {
    const std::pair<const char*, std::size_t> sizes[] = {
        {"SEATS", AGENT_COUNT},
        {"BOARD_SIZE", BOARD_SIZE},
        {"PIECE_KINDS", KIND_COUNT},
        {"ORIENTATIONS", PIECE_COUNT},
        {"NUM_ACTIONS", NUM_ACTIONS},
        {"RECORD_SIZE", RECORD_SIZE},
        {"RECORD_VERSION", RECORD_VERSION},
        {"AGENT_BLOCK_SIZE", AGENT_BLOCK_SIZE},
        {"TURN_BYTE", TURN_BYTE},
    };
    for (const auto& [name, value] : sizes)
      if (add_owned(module, name, PyLong_FromSize_t(value)) < 0) return -1;
    PyObject* offsets = tuple_of(
        AGENT_COUNT, [](std::size_t a) { return PyLong_FromSize_t(AGENT_BLOCK_START + a * AGENT_BLOCK_SIZE); });
    if (add_owned(module, "AGENT_BLOCK_OFFSETS", offsets) < 0) return -1;
    PyObject* modes = tuple_of(REWARD_MODE_NAMES.size(), [](std::size_t i) {
      const std::string_view mode = REWARD_MODE_NAMES[i];
      return PyUnicode_FromStringAndSize(mode.data(), static_cast<Py_ssize_t>(mode.size()));
    });
    return add_owned(module, "REWARD_MODES", modes);
  });
}

PyModuleDef_Slot SLOTS[] = {
    // The sizes are set on the module object itself, once per import.
    {Py_mod_exec, reinterpret_cast<void*>(add_constants)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT,
                      "_views",
                      "Zero-copy access to the objects of tegulo_rl._tegulo, for the package.",
                      0,
                      METHODS,
                      SLOTS,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

}  // namespace tegulo::py

PyMODINIT_FUNC PyInit__views() { return PyModuleDef_Init(&tegulo::py::MODULE); }
