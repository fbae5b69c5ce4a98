// The games of a GameBatch in and out: state records (to_bytes, from_bytes,
// load), single games (game, set_game), and pickling (__reduce__, _restore).
#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "python/arguments.hpp"
#include "python/batch_arrays.hpp"
#include "python/batch_class.hpp"
#include "python/batch_state.hpp"
#include "python/call.hpp"
#include "python/game_class.hpp"

namespace tegulo::py {

namespace {

// The attribute `Name` of module `Module`, imported and looked up once.
template <const char* Module, const char* Name>
PyObject* module_attribute() {
  static OnceObject attribute;
  return attribute.get([] {
    PyObject* module = PyImport_ImportModule(Module);
    if (module == nullptr) return static_cast<PyObject*>(nullptr);
    PyObject* found = PyObject_GetAttrString(module, Name);
    Py_DECREF(module);
    return found;
  });
}
constexpr char TEGULO_MODULE[] = "tegulo_rl._tegulo";
constexpr char TEGULO_CLASS[] = "PyTegulo";
constexpr char BATCH_MODULE[] = "tegulo_rl._batch";
constexpr char RESTORE_FUNCTION[] = "_restore";  // what unpickling calls

PyObject* tegulo_class() { return module_attribute<TEGULO_MODULE, TEGULO_CLASS>(); }

constexpr const char* FROM_BYTES_PARAMS[] = {"records", "reward_mode", "threads", "seed"};
constexpr Signature FROM_BYTES{"GameBatch.from_bytes()", FROM_BYTES_PARAMS, 1, 1};

// A new batch of the games `records` describe, in the mode, with the threads and the
// seed that the arguments give (null for the defaults); null with an error set.
PyObject* batch_of_records(const std::vector<Record>& records, PyObject* mode_arg, PyObject* threads_arg,
                           PyObject* seed_arg) {
  const auto mode = to_reward_mode(mode_arg);
  if (!mode) return nullptr;
  const auto threads = to_threads(threads_arg);
  if (!threads) return nullptr;
  const auto seed = to_seed(seed_arg);
  if (!seed) return nullptr;
  PyObject* type = batch_type();
  if (type == nullptr) return nullptr;
  PyObject* self =
      new_batch(reinterpret_cast<PyTypeObject*>(type), records.size(), *mode, threads_arg, *threads, *seed);
  if (self == nullptr) return nullptr;
  std::optional<RecordRefusal> refused;
  try {
    refused = detached([&] { return state_of(self).batch.load(records); });
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  if (refused) {
    Py_DECREF(self);
    record_refused(*refused);
    return nullptr;
  }
  return self;
}

constexpr const char* INDEX_PARAM[] = {"index"};
constexpr Signature GAME{"GameBatch.game()", INDEX_PARAM};
constexpr const char* SET_GAME_PARAMS[] = {"index", "game"};
constexpr Signature SET_GAME{"GameBatch.set_game()", SET_GAME_PARAMS};
constexpr const char* RECORDS_PARAM[] = {"records"};
constexpr Signature LOAD{"GameBatch.load()", RECORDS_PARAM};
constexpr const char* RESTORE_PARAMS[] = {"records", "reward_mode", "threads", "seed", "streams"};
constexpr Signature RESTORE{"_restore()", RESTORE_PARAMS};

}  // namespace

PyObject* batch_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind(FROM_BYTES, args, nargs, kwnames, arg)) return nullptr;
    Buffer buffer;
    if (!buffer.take(arg[0])) return nullptr;
    return run([&]() -> PyObject* {
      std::vector<Record> records;
      if (!read_records(buffer, records)) return nullptr;
      return batch_of_records(records, arg[1], arg[2], arg[3]);
    });
  });
}

PyObject* batch_to_bytes(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    const GameBatch& batch = state_of(self).batch;
    return run([&]() -> PyObject* {
      void* data = nullptr;
      PyObject* result =
          new_array({static_cast<Py_ssize_t>(batch.size()), static_cast<Py_ssize_t>(RECORD_SIZE)}, "uint8", &data);
      if (result == nullptr) return nullptr;
      detached([&] {
        auto* out = static_cast<std::uint8_t*>(data);
        for (std::size_t i = 0; i < batch.size(); ++i) {
          const Record record = batch.game(i).to_bytes();
          std::memcpy(out + i * RECORD_SIZE, record.data(), RECORD_SIZE);
        }
      });
      return result;
    });
  });
}

PyObject* batch_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(GAME, args, nargs, kwnames, {&arg, 1})) return nullptr;
    PyObject* type = tegulo_class();
    if (type == nullptr) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    const GameBatch& batch = state_of(self).batch;
    const auto i = to_game_index(arg, batch.size());
    if (!i) return nullptr;
    return run([&]() -> PyObject* { return new_tegulo(reinterpret_cast<PyTypeObject*>(type), batch.game(*i)); });
  });
}

PyObject* batch_set_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(SET_GAME, args, nargs, kwnames, arg)) return nullptr;
    PyObject* type = tegulo_class();
    if (type == nullptr || !is_instance(arg[1], type, "PyTegulo", "game")) return nullptr;
    auto* source = reinterpret_cast<PyTegulo*>(arg[1]);
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    GameBatch& batch = state_of(self).batch;
    const auto i = to_game_index(arg[0], batch.size());
    if (!i) return nullptr;
    SharedBorrow borrow(source->borrow);
    if (!borrow) return nullptr;
    return run([&]() -> PyObject* {
      if (!batch.set_game(*i, source->game))
        return PyErr_Format(PyExc_ValueError, "the game is over; a batch holds games in play");
      Py_RETURN_NONE;
    });
  });
}

PyObject* batch_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(LOAD, args, nargs, kwnames, {&arg, 1})) return nullptr;
    Buffer buffer;
    if (!buffer.take(arg)) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    return run([&]() -> PyObject* {
      std::vector<Record> records;
      if (!read_records(buffer, records)) return nullptr;
      // Room for the new number of actions first: a load that then failed for want
      // of memory would leave the batch with games it cannot step.
      state.actions.resize(std::max(state.actions.size(), records.size()));
      std::optional<RecordRefusal> refused;
      try {
        refused = detached([&] { return state.batch.load(records); });
      } catch (const std::system_error& e) {  // the system would not start the threads more games may use
        state.actions.resize(state.batch.size());
        return PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", state.batch.threads(), e.what());
      }
      state.actions.resize(state.batch.size());  // shrinking allocates nothing
      state.games.store(state.batch.size());
      if (refused) {
        record_refused(*refused);
        return nullptr;
      }
      Py_RETURN_NONE;
    });
  });
}

PyObject* batch_reduce(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    PyObject* restore = module_attribute<BATCH_MODULE, RESTORE_FUNCTION>();  // borrowed: kept for good
    if (restore == nullptr) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    const BatchState& state = state_of(self);
    const GameBatch& batch = state.batch;
    return run([&]() -> PyObject* {
      const std::size_t n = batch.size();
      std::vector<std::uint8_t> records(n * RECORD_SIZE);
      std::vector<std::uint8_t> streams(n * 8);
      for (std::size_t i = 0; i < n; ++i) {
        const Record record = batch.game(i).to_bytes();
        std::memcpy(records.data() + i * RECORD_SIZE, record.data(), RECORD_SIZE);
        const std::uint64_t s = batch.stream_state(i);
        for (std::size_t b = 0; b < 8; ++b) streams[i * 8 + b] = static_cast<std::uint8_t>(s >> (8 * b));
      }
      return Py_BuildValue("O(y#sOKy#)", restore, reinterpret_cast<const char*>(records.data()),
                           static_cast<Py_ssize_t>(records.size()), reward_mode_name(batch.reward_mode()),
                           state.threads_arg, static_cast<unsigned long long>(batch.seed()),
                           reinterpret_cast<const char*>(streams.data()), static_cast<Py_ssize_t>(streams.size()));
    });
  });
}

PyObject* restore_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[5];
    if (!bind(RESTORE, args, nargs, kwnames, arg)) return nullptr;
    const auto records = to_bytes(arg[0], "records");
    if (!records) return nullptr;
    const auto streams = to_bytes(arg[4], "streams");
    if (!streams) return nullptr;
    const std::size_t n = records->size() / RECORD_SIZE;
    if (n < 1 || n > MAX_GAMES || records->size() != n * RECORD_SIZE || streams->size() != n * 8)
      return PyErr_Format(PyExc_ValueError, "not the state of a GameBatch");
    return run([&]() -> PyObject* {
      std::vector<Record> loaded(n);
      for (std::size_t i = 0; i < n; ++i) std::memcpy(loaded[i].data(), records->data() + i * RECORD_SIZE, RECORD_SIZE);
      PyObject* self = batch_of_records(loaded, arg[1], arg[2], arg[3]);
      if (self == nullptr) return nullptr;
      GameBatch& batch = state_of(self).batch;
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t s = 0;
        for (std::size_t b = 8; b-- > 0;) s = s << 8 | (*streams)[i * 8 + b];
        batch.set_stream_state(i, s);
      }
      return self;
    });
  });
}

}  // namespace tegulo::py
