#include "python/batch_class.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch/game_batch.hpp"
#include "players/batch_players.hpp"
#include "python/batch_arrays.hpp"
#include "python/call.hpp"
#include "python/game_class.hpp"
#include "python/player_args.hpp"

namespace tegulo::py {

namespace {

// The most games and threads a batch takes: beyond them sizes stop being sensible
// long before memory runs out.
constexpr std::size_t MAX_GAMES = std::size_t{1} << 24;
constexpr std::size_t MAX_THREADS = 1024;

// --- Calls from several threads ---------------------------------------------------

// Serialises the calls made on one batch. A thread that finds the batch busy waits
// detached from the interpreter, so the holder can take the interpreter back to
// finish its call. A call that re-enters the batch on the thread already inside it
// (a signal handler, say) is refused rather than left waiting for itself.
class CallLock {
 public:
  bool acquire() {
    const std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      PyErr_SetString(PyExc_RuntimeError, "GameBatch is already in use by this thread");
      return false;
    }
    if (!mutex_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    owner_.store(self, std::memory_order_relaxed);
    return true;
  }
  void release() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// Runs `work` detached from the interpreter, so that other Python threads run
// meanwhile; it must not touch Python objects.
template <class Work>
auto detached(Work&& work) -> decltype(work()) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      PyEval_RestoreThread(state);
    } else {
      auto result = work();
      PyEval_RestoreThread(state);
      return result;
    }
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
}

// --- The object ---------------------------------------------------------------------

// The regions of the two kinds of result block.
enum ObservationRegion { OBSERVATION, CORNERS, BLOCKED, PIECES, DONE, CURRENT_AGENT, OFFSETS, ACTIONS, MASK };
enum StepRegion { REWARDS, TERMINATED, SCORES, RECORDS };

// The blocks a batch writes its results into: two of each kind, so that a loop
// that holds on to the last result while asking for the next one alternates
// between them. A block that arrays still use when a third is needed is left to
// them, and freed with the last of them.
struct BlockCache {
  std::array<PyObject*, 2> blocks{};
  std::size_t next = 0;  // the one a new block replaces when both are in use

  // A block that nothing else uses (a borrowed reference); null with an error set.
  PyObject* take() {
    for (PyObject* b : blocks)
      if (b != nullptr && block_is_free(b)) return b;
    for (PyObject*& b : blocks)
      if (b == nullptr) return b = new_block();
    PyObject* made = new_block();
    if (made == nullptr) return nullptr;
    Py_SETREF(blocks[next], made);
    next = (next + 1) % blocks.size();
    return made;
  }
  ~BlockCache() {
    for (PyObject* b : blocks) Py_XDECREF(b);
  }
};

struct State {
  GameBatch batch;
  // What a pickle keeps of the threads argument: None, or the number it gave. Never
  // the object given, which may be anything with __index__, even an object that
  // refers to the batch: a cycle that the collector, which does not see into a
  // batch, could never free.
  PyObject* threads_arg = nullptr;
  CallLock lock;
  BlockCache observations;
  BlockCache steps;
  std::vector<std::int64_t> actions;  // the actions of the current step, as 64-bit integers

  State(std::size_t games, RewardMode mode, std::size_t threads, std::uint64_t seed)
      : batch(games, mode, threads, seed), actions(games) {}
  ~State() { Py_XDECREF(threads_arg); }
};

struct PyGameBatch {
  PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<PyGameBatch*>(self)->state; }

// Holds the batch's lock for one call.
class Call {
 public:
  explicit Call(PyObject* self) : lock_(&state_of(self).lock) {
    if (!lock_->acquire()) lock_ = nullptr;
  }
  ~Call() {
    if (lock_) lock_->release();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  explicit operator bool() const { return lock_ != nullptr; }

 private:
  CallLock* lock_;
};

// --- Arguments ----------------------------------------------------------------------

// A whole number from `low` to `high`, or ValueError naming `name`.
std::optional<std::size_t> to_count(PyObject* arg, const char* name, std::size_t low, std::size_t high) {
  PyObject* index = PyNumber_Index(arg);
  if (index == nullptr) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || value < static_cast<long long>(low) || value > static_cast<long long>(high)) {
    PyErr_Format(PyExc_ValueError, "%s must be from %zu to %zu, got %S", name, low, high, arg);
    return std::nullopt;
  }
  return static_cast<std::size_t>(value);
}

std::optional<RewardMode> to_reward_mode(PyObject* arg) {
  if (arg == nullptr) return RewardMode::rank;
  const auto text = to_text(arg, "reward_mode");
  if (!text) return std::nullopt;
  const auto mode = reward_mode_from_text(*text);
  if (!mode) PyErr_Format(PyExc_ValueError, "Unknown reward mode %U", arg);
  return mode;
}

std::optional<std::size_t> to_threads(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) return usable_cores();
  return to_count(arg, "threads", 1, MAX_THREADS);
}

// A seed from 0 to 2**64 - 1; a fresh one from the system's entropy for None.
std::optional<std::uint64_t> to_seed(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) {
    std::random_device entropy;
    return std::uint64_t{entropy()} << 32 | entropy();
  }
  PyObject* index = PyNumber_Index(arg);
  if (index == nullptr) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "seed must be from 0 to 2**64 - 1, got %S", arg);
    return std::nullopt;
  }
  return value;
}

const char* reward_mode_name(RewardMode mode) { return REWARD_MODE_NAMES[static_cast<std::size_t>(mode)].data(); }

// A buffer taken from an object and given back when done with.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
    Py_XDECREF(converted_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Takes a strided buffer with its format from `arg`, or from numpy.asarray(arg)
  // for an object without one (a list, say); false with an error set.
  bool take(PyObject* arg) {
    PyObject* source = arg;
    if (!PyObject_CheckBuffer(arg)) {
      PyObject* asarray = numpy_asarray();
      if (asarray == nullptr) return false;
      converted_ = PyObject_CallOneArg(asarray, arg);
      if (converted_ == nullptr) return false;
      source = converted_;
    }
    if (PyObject_GetBuffer(source, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    source_ = source;
    return true;
  }

  const Py_buffer& view() const { return view_; }
  PyObject* source() const { return source_; }

  // The element at `index` along the first dimension (of a 1-d buffer) or at
  // (row, col) of a 2-d buffer.
  const std::uint8_t* at(Py_ssize_t row, Py_ssize_t col = 0) const {
    const auto* p = static_cast<const std::uint8_t*>(view_.buf);
    const Py_ssize_t* strides = view_.strides;
    return p + row * (strides ? strides[0] : view_.itemsize * (view_.ndim > 1 ? view_.shape[1] : 1)) +
           col * (strides && view_.ndim > 1 ? strides[1] : view_.itemsize);
  }

  // The shape as Python writes it: "(3,)", "(2, 278)".
  std::string shape_text() const {
    std::string text = "(";
    for (int i = 0; i < view_.ndim; ++i) text += (i ? ", " : "") + std::to_string(view_.shape[i]);
    return text + (view_.ndim == 1 ? ",)" : ")");
  }

  // How the element type reads to a user: the numpy dtype if there is one, else
  // the buffer's format.
  PyObject* dtype_text() const {
    static OnceObject name;  // interned once, as add_note's is, for the attribute cache
    PyObject* dtype_name = name.get([] { return PyUnicode_InternFromString("dtype"); });
    if (dtype_name == nullptr) return nullptr;
    if (PyObject* dtype = PyObject_GetAttr(source_, dtype_name)) {
      PyObject* text = PyObject_Str(dtype);
      Py_DECREF(dtype);
      return text;
    }
    PyErr_Clear();
    return PyUnicode_FromFormat("format '%s'", view_.format ? view_.format : "B");
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  PyObject* converted_ = nullptr;
  PyObject* source_ = nullptr;
};

// An integer element format: its type code, and whether it is stored in the
// other byte order than this machine's.
struct IntegerFormat {
  char code;
  bool swapped;
  bool is_signed;
};

std::optional<IntegerFormat> integer_format(const char* format) {
  if (format == nullptr) return IntegerFormat{'B', false, false};
  bool little = std::endian::native == std::endian::little;
  switch (*format) {
    case '@':
    case '=':
      ++format;
      break;
    case '<':
      little = true;
      ++format;
      break;
    case '>':
    case '!':
      little = false;
      ++format;
      break;
    default:
      break;
  }
  const char code = *format;
  if (code == '\0' || format[1] != '\0' || std::strchr("bBhHiIlLqQnN", code) == nullptr) return std::nullopt;
  return IntegerFormat{code, little != (std::endian::native == std::endian::little),
                       std::strchr("bhilqn", code) != nullptr};
}

// The integer stored at `p` in `itemsize` bytes of this format, as its bits.
std::uint64_t read_integer(const std::uint8_t* p, Py_ssize_t itemsize, const IntegerFormat& f) {
  std::uint8_t bytes[8] = {};
  std::memcpy(bytes, p, static_cast<std::size_t>(itemsize));
  if (f.swapped) std::reverse(bytes, bytes + itemsize);  // now in this machine's order
  std::uint64_t raw = 0;
  for (Py_ssize_t i = 0; i < itemsize; ++i) {
    const Py_ssize_t place = std::endian::native == std::endian::little ? i : itemsize - 1 - i;
    raw |= std::uint64_t{bytes[i]} << (8 * place);
  }
  const unsigned unused = 64 - 8 * static_cast<unsigned>(itemsize);
  if (f.is_signed && unused > 0) raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << unused) >> unused);
  return raw;
}

// The element as a Python int, for messages.
PyObject* integer_object(std::uint64_t raw, const IntegerFormat& f) {
  return f.is_signed ? PyLong_FromLongLong(static_cast<long long>(raw)) : PyLong_FromUnsignedLongLong(raw);
}

// Reads one action per game into `out`: any integer type, byte order and stride;
// TypeError or ValueError for anything else.
bool read_actions(const Buffer& buffer, std::size_t games, std::vector<std::int64_t>& out, IntegerFormat& format) {
  const Py_buffer& view = buffer.view();
  const auto f = integer_format(view.format);
  if (!f || view.itemsize < 1 || view.itemsize > 8) {
    PyObject* dtype = buffer.dtype_text();
    if (dtype != nullptr) {
      PyErr_Format(PyExc_TypeError, "actions must be integers, got %U", dtype);
      Py_DECREF(dtype);
    }
    return false;
  }
  if (view.ndim != 1 || static_cast<std::size_t>(view.shape[0]) != games) {
    PyErr_Format(PyExc_ValueError, "actions must have shape (%zu,), one per game, got %s", games,
                 buffer.shape_text().c_str());
    return false;
  }
  format = *f;
  const bool plain =
      !f->swapped && f->is_signed && view.itemsize == 8 && (view.strides == nullptr || view.strides[0] == 8);
  if (plain) {
    std::memcpy(out.data(), view.buf, games * 8);
    return true;
  }
  for (std::size_t i = 0; i < games; ++i) {
    const std::uint64_t raw = read_integer(buffer.at(static_cast<Py_ssize_t>(i)), view.itemsize, *f);
    // An unsigned value beyond the signed range is out of range all the same.
    out[i] = !f->is_signed && raw > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(raw);
  }
  return true;
}

// Reads (N, 278) records of bytes, of any strides; TypeError or ValueError otherwise.
bool read_records(const Buffer& buffer, std::vector<Record>& out) {
  const Py_buffer& view = buffer.view();
  const auto f = integer_format(view.format);
  if (!f || f->code != 'B' || view.itemsize != 1) {
    PyObject* dtype = buffer.dtype_text();
    if (dtype != nullptr) {
      PyErr_Format(PyExc_TypeError, "records must be uint8, got %U", dtype);
      Py_DECREF(dtype);
    }
    return false;
  }
  if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(RECORD_SIZE) || view.shape[0] < 1 ||
      static_cast<std::size_t>(view.shape[0]) > MAX_GAMES) {
    PyErr_Format(PyExc_ValueError, "records must have shape (N, %zu) with N from 1 to %zu, got %s", RECORD_SIZE,
                 MAX_GAMES, buffer.shape_text().c_str());
    return false;
  }
  out.resize(static_cast<std::size_t>(view.shape[0]));
  for (Py_ssize_t r = 0; r < view.shape[0]; ++r)
    for (Py_ssize_t c = 0; c < view.shape[1]; ++c)
      out[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = *buffer.at(r, c);
  return true;
}

// Sets the ValueError of a record load that failed.
void record_refused(const RecordRefusal& refusal) {
  if (refusal.over)
    PyErr_Format(PyExc_ValueError, "record %zu is of a game that is over; a batch holds games in play", refusal.game);
  else
    PyErr_Format(PyExc_ValueError, "record %zu: Not a game state written by to_bytes() of this version", refusal.game);
}

// --- Results --------------------------------------------------------------------------

PyStructSequence_Field OBSERVATION_FIELDS[] = {
    {"observation", "(N, 4, 20, 20) uint8: the cells each seat's pieces cover, seat 0 the agent to move"},
    {"corners", "(N, 4, 20, 20) uint8: the cells each seat's next piece can attach at"},
    {"blocked", "(N, 4, 20, 20) uint8: the cells each seat can never fill"},
    {"pieces", "(N, 4, 21) uint8: the piece kinds each seat still holds"},
    {"done", "(N, 4) uint8: whether each seat is out of moves"},
    {"current_agent", "(N,) int64: the agent to move, whose view this is"},
    {"legal_actions", "int64: every game's legal actions, increasing, one game after another; None unless asked"},
    {"legal_offsets", "(N + 1,) int64: game i's actions are legal_actions[legal_offsets[i]:legal_offsets[i + 1]]"},
    {"action_mask", "(N, 36400) bool: the legal actions as a mask; None unless asked"},
    {nullptr, nullptr},
};

PyStructSequence_Desc OBSERVATION_DESC = {
    "tegulo_rl._batch.BatchObservation",
    "Every game of a GameBatch as its agent to move sees it. The arrays are read-only\n"
    "and never change: the batch writes later results elsewhere while they live.",
    OBSERVATION_FIELDS,
    9,
};

PyStructSequence_Field STEP_FIELDS[] = {
    {"rewards", "(N, 4) float32: by agent, the rewards of each game that ended, in the batch's mode; else 0"},
    {"terminated", "(N,) bool: whether the game ended in this step (it has started again since)"},
    {"scores", "(N, 4) int32: the scores after the step; a game that ended, its final scores"},
    {"final_records", "(N, 278) uint8: the record of each game that ended, as it stood at its end; else 0"},
    {nullptr, nullptr},
};

PyStructSequence_Desc STEP_DESC = {
    "tegulo_rl._batch.BatchStep",
    "What a step of a GameBatch did. The arrays are read-only and never change.",
    STEP_FIELDS,
    4,
};

PyStructSequence_Field CHOICE_FIELDS[] = {
    {"actions", "(N,) int64: each game's chosen action, in the frame of its agent to move"},
    {"legal_counts", "(N,) int32: the number of legal actions that agent chose from"},
    {nullptr, nullptr},
};

PyStructSequence_Desc CHOICE_DESC = {
    "tegulo_rl._batch.BatchChoice",
    "What the players of a GameBatch chose for its games.",
    CHOICE_FIELDS,
    2,
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

  // Whether every item so far was made.
  explicit operator bool() const { return result_ != nullptr; }
  // The result for the caller, or null with the error set.
  PyObject* release() { return std::exchange(result_, nullptr); }

 private:
  PyObject* result_;
  Py_ssize_t next_ = 0;
};

// A step's outputs in a free step block; null with an error set.
PyObject* step_block(State& state, StepBuffers& out) {
  const std::size_t n = state.batch.size();
  PyObject* block = state.steps.take();
  if (block == nullptr) return nullptr;
  Block& b = block_of(block);
  if (!b.regions[REWARDS].reserve(n * AGENT_COUNT * sizeof(float)) || !b.regions[TERMINATED].reserve(n) ||
      !b.regions[SCORES].reserve(n * AGENT_COUNT * sizeof(std::int32_t)) ||
      !b.regions[RECORDS].reserve(n * RECORD_SIZE))
    return nullptr;
  out = {b.regions[REWARDS].as<float>(), b.regions[TERMINATED].as<std::uint8_t>(), b.regions[SCORES].as<std::int32_t>(),
         b.regions[RECORDS].as<std::uint8_t>()};
  return block;
}

// The BatchStep over a step block's outputs. It is made before the step writes them,
// so that a step that cannot have its result (out of memory) leaves every game as it
// was; test false with the error set on failure.
Result step_result(PyObject* block, const StepBuffers& out, std::size_t n) {
  const auto games = static_cast<Py_ssize_t>(n);
  const auto agents = static_cast<Py_ssize_t>(AGENT_COUNT);
  Result result(batch_step_type());
  result.add([&] { return array_over(block, out.rewards, "f", 4, {games, agents}); })
      .add([&] { return array_over(block, out.terminated, "?", 1, {games}); })
      .add([&] { return array_over(block, out.scores, "i", 4, {games, agents}); })
      .add([&] { return array_over(block, out.final_records, "B", 1, {games, static_cast<Py_ssize_t>(RECORD_SIZE)}); });
  return result;
}

// --- Construction ------------------------------------------------------------------------

// A new batch object of `type`, of `threads` threads as the argument `threads_arg`
// (null or None for the default) gave them; null with an error set.
PyObject* new_batch(PyTypeObject* type, std::size_t games, RewardMode mode, PyObject* threads_arg, std::size_t threads,
                    std::uint64_t seed) {
  PyObject* kept = threads_arg == nullptr || threads_arg == Py_None ? Py_NewRef(Py_None) : PyLong_FromSize_t(threads);
  if (kept == nullptr) return nullptr;
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    Py_DECREF(kept);
    return nullptr;
  }
  try {
    reinterpret_cast<PyGameBatch*>(self)->state = new State(games, mode, threads, seed);
  } catch (const std::system_error& e) {  // the system would not start the threads
    reinterpret_cast<PyGameBatch*>(self)->state = nullptr;
    Py_DECREF(self);
    Py_DECREF(kept);
    PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", threads, e.what());
    return nullptr;
  }
  state_of(self).threads_arg = kept;
  return self;
}

void batch_dealloc(PyObject* self) {
  delete reinterpret_cast<PyGameBatch*>(self)->state;
  free_instance(self);
}

constexpr const char* NEW_PARAMS[] = {"num_games", "reward_mode", "threads", "seed"};
constexpr Signature NEW{"GameBatch()", NEW_PARAMS, 1, 1};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind(NEW, args, kwargs, arg)) return nullptr;
    const auto games = to_count(arg[0], "num_games", 1, MAX_GAMES);
    if (!games) return nullptr;
    const auto mode = to_reward_mode(arg[1]);
    if (!mode) return nullptr;
    const auto threads = to_threads(arg[2]);
    if (!threads) return nullptr;
    const auto seed = to_seed(arg[3]);
    if (!seed) return nullptr;
    return run([&] { return new_batch(type, *games, *mode, arg[2], *threads, *seed); });
  });
}

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
  const auto refused = detached([&] { return state_of(self).batch.load(records); });
  if (refused) {
    Py_DECREF(self);
    record_refused(*refused);
    return nullptr;
  }
  return self;
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind(FROM_BYTES, args, nargs, kwnames, arg)) return nullptr;
    Buffer buffer;
    std::vector<Record> records;
    if (!buffer.take(arg[0]) || !read_records(buffer, records)) return nullptr;
    return run([&] { return batch_of_records(records, arg[1], arg[2], arg[3]); });
  });
}

// --- Members ---------------------------------------------------------------------------------

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(state_of(self).batch.size()); }

PyObject* num_games(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).batch.size()); }
PyObject* threads(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).batch.threads()); }
PyObject* reward_mode(PyObject* self, void*) {
  return PyUnicode_FromString(reward_mode_name(state_of(self).batch.reward_mode()));
}
PyObject* seed(PyObject* self, void*) {
  return enter([&]() -> PyObject* {
    Call call(self);
    if (!call) return nullptr;
    return PyLong_FromUnsignedLongLong(state_of(self).batch.seed());
  });
}

PyObject* batch_repr(PyObject* self) {
  const State& s = state_of(self);
  return PyUnicode_FromFormat("GameBatch(%zu, reward_mode='%s', threads=%zu)", s.batch.size(),
                              reward_mode_name(s.batch.reward_mode()), s.batch.threads());
}

constexpr const char* SEED_PARAM[] = {"seed"};
constexpr Signature RESET{"GameBatch.reset()", SEED_PARAM, 1, 0};

PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(RESET, args, nargs, kwnames, {&arg, 1})) return nullptr;
    std::optional<std::uint64_t> seed;
    if (arg != nullptr && arg != Py_None) {
      seed = to_seed(arg);
      if (!seed) return nullptr;
    }
    Call call(self);
    if (!call) return nullptr;
    return run([&] {
      detached([&] { state_of(self).batch.reset(seed); });
      Py_RETURN_NONE;
    });
  });
}

constexpr const char* LEGAL_PARAM[] = {"legal"};
constexpr Signature OBSERVE{"GameBatch.observe()", LEGAL_PARAM, 1, 0};

PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(OBSERVE, args, nargs, kwnames, {&arg, 1})) return nullptr;
    bool want_list = true, want_mask = false;
    if (arg != nullptr) {
      const auto text = to_text(arg, "legal");
      if (!text) return nullptr;
      want_list = *text == "list" || *text == "both";
      want_mask = *text == "mask" || *text == "both";
      if (!want_list && !want_mask)
        return PyErr_Format(PyExc_ValueError, "Unknown legal mode %R: expected 'list', 'mask' or 'both'", arg);
    }
    Call call(self);
    if (!call) return nullptr;
    State& state = state_of(self);
    return run([&]() -> PyObject* {
      const std::size_t n = state.batch.size();
      PyObject* block = state.observations.take();
      if (block == nullptr) return nullptr;
      Block& b = block_of(block);
      auto& r = b.regions;
      if (!r[OBSERVATION].reserve(n * CELL_PLANE) || !r[CORNERS].reserve(n * CELL_PLANE) ||
          !r[BLOCKED].reserve(n * CELL_PLANE) || !r[PIECES].reserve(n * PIECE_PLANE) ||
          !r[DONE].reserve(n * AGENT_COUNT) || !r[CURRENT_AGENT].reserve(n * 8) || !r[OFFSETS].reserve((n + 1) * 8) ||
          (want_mask && !r[MASK].reserve(n * NUM_ACTIONS)))
        return nullptr;
      if (want_mask && b.mask_dirty) {
        std::memset(r[MASK].data(), 0, n * NUM_ACTIONS);
        b.mask_dirty = false;
      }
      const bool stale = b.mask_matches_lists;
      // Until the lists are written, the mask holds entries nothing lists.
      if (want_mask || stale) b.mask_dirty = true;
      b.mask_matches_lists = false;
      const ObservationBuffers out{r[OBSERVATION].as<std::uint8_t>(),
                                   r[CORNERS].as<std::uint8_t>(),
                                   r[BLOCKED].as<std::uint8_t>(),
                                   r[PIECES].as<std::uint8_t>(),
                                   r[DONE].as<std::uint8_t>(),
                                   r[CURRENT_AGENT].as<std::int64_t>(),
                                   r[OFFSETS].as<std::int64_t>(),
                                   want_mask ? r[MASK].as<std::uint8_t>() : nullptr,
                                   want_mask && stale ? r[OFFSETS].as<std::int64_t>() : nullptr,
                                   want_mask && stale ? r[ACTIONS].as<std::int64_t>() : nullptr};
      const std::size_t total = detached([&] { return state.batch.observe(out); });
      if (!r[ACTIONS].reserve(total * 8)) return nullptr;
      detached([&] { state.batch.write_legal_actions(r[ACTIONS].as<std::int64_t>()); });
      if (want_mask) b.mask_matches_lists = true, b.mask_dirty = false;

      const auto games = static_cast<Py_ssize_t>(n), seats = static_cast<Py_ssize_t>(AGENT_COUNT);
      const auto side = static_cast<Py_ssize_t>(BOARD_SIZE);
      const auto kinds = static_cast<Py_ssize_t>(KIND_COUNT), actions = static_cast<Py_ssize_t>(NUM_ACTIONS);
      auto none = []() -> PyObject* { return nullptr; };
      Result result(batch_observation_type());
      result.add([&] { return array_over(block, out.observation, "B", 1, {games, seats, side, side}); })
          .add([&] { return array_over(block, out.corners, "B", 1, {games, seats, side, side}); })
          .add([&] { return array_over(block, out.blocked, "B", 1, {games, seats, side, side}); })
          .add([&] { return array_over(block, out.pieces, "B", 1, {games, seats, kinds}); })
          .add([&] { return array_over(block, out.done, "B", 1, {games, seats}); })
          .add([&] { return array_over(block, out.current_agent, "q", 8, {games}); });
      if (want_list)
        result.add([&] { return array_over(block, r[ACTIONS].data(), "q", 8, {static_cast<Py_ssize_t>(total)}); })
            .add([&] { return array_over(block, out.legal_offsets, "q", 8, {games + 1}); });
      else
        result.add(none).add(none);
      if (want_mask)
        result.add([&] { return array_over(block, out.action_mask, "?", 1, {games, actions}); });
      else
        result.add(none);
      return result.release();
    });
  });
}

constexpr const char* ACTIONS_PARAM[] = {"actions"};
constexpr Signature STEP{"GameBatch.step()", ACTIONS_PARAM};

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(STEP, args, nargs, kwnames, {&arg, 1})) return nullptr;
    Buffer buffer;
    if (!buffer.take(arg)) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    State& state = state_of(self);
    const std::size_t n = state.batch.size();
    IntegerFormat format{};
    if (!read_actions(buffer, n, state.actions, format)) return nullptr;
    return run([&]() -> PyObject* {
      StepBuffers out{};
      PyObject* block = step_block(state, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, n);
      if (!result) return nullptr;
      const auto refused = detached([&] { return state.batch.step(state.actions, out); });
      if (refused) {
        const std::size_t g = refused->game;
        PyObject* value =
            integer_object(read_integer(buffer.at(static_cast<Py_ssize_t>(g)), buffer.view().itemsize, format), format);
        if (value == nullptr) return nullptr;
        if (refused->out_of_range)
          PyErr_Format(PyExc_ValueError, "game %zu: action %S is not an action index (0 to %zu)", g, value,
                       NUM_ACTIONS - 1);
        else
          PyErr_Format(PyExc_ValueError, "game %zu: action %S is not legal for agent %zu, the agent to move", g, value,
                       state.batch.game(g).current_agent);
        Py_DECREF(value);
        return nullptr;
      }
      return result.release();
    });
  });
}

PyObject* step_random(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Call call(self);
    if (!call) return nullptr;
    State& state = state_of(self);
    return run([&]() -> PyObject* {
      StepBuffers out{};
      PyObject* block = step_block(state, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, state.batch.size());
      if (!result) return nullptr;
      detached([&] { state.batch.step_random(out); });
      return result.release();
    });
  });
}

constexpr const char* GAMES_PARAM[] = {"games"};
constexpr Signature PLAY_RANDOM{"GameBatch.play_random()", GAMES_PARAM};

PyObject* play_random(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(PLAY_RANDOM, args, nargs, kwnames, {&arg, 1})) return nullptr;
    const auto games = to_count(arg, "games", 1, PY_SSIZE_T_MAX / (AGENT_COUNT * 4));
    if (!games) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    State& state = state_of(self);
    return run([&]() -> PyObject* {
      void* data = nullptr;
      PyObject* result =
          new_array({static_cast<Py_ssize_t>(*games), static_cast<Py_ssize_t>(AGENT_COUNT)}, "int32", &data);
      if (result == nullptr) return nullptr;
      std::vector<Scores> scores(*games);
      // Between rounds the thread attaches for a moment to hear of signals: an
      // interrupt stops the play there, with every game whole.
      PyThreadState* thread = PyEval_SaveThread();
      bool failed = false;
      try {
        state.batch.play_random(*games, scores.data(), [&] {
          PyEval_RestoreThread(thread);
          failed = PyErr_CheckSignals() < 0;
          thread = PyEval_SaveThread();
          return failed;
        });
      } catch (...) {
        PyEval_RestoreThread(thread);
        Py_DECREF(result);
        throw;
      }
      PyEval_RestoreThread(thread);
      if (failed) {
        Py_DECREF(result);
        return nullptr;
      }
      auto* cells = static_cast<std::int32_t*>(data);
      for (std::size_t g = 0; g < *games; ++g)
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) cells[g * AGENT_COUNT + a] = scores[g][a];
      return result;
    });
  });
}

PyObject* to_bytes(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Call call(self);
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

// Game index `arg` of the batch, counting from the end when negative; IndexError beyond.
std::optional<std::size_t> to_game_index(PyObject* arg, std::size_t games) {
  PyObject* index = PyNumber_Index(arg);
  if (index == nullptr) return std::nullopt;
  const Py_ssize_t i = PyLong_AsSsize_t(index);
  Py_DECREF(index);
  if (i == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
  } else {
    const Py_ssize_t n = static_cast<Py_ssize_t>(games);
    if (i >= -n && i < n) return static_cast<std::size_t>(i < 0 ? i + n : i);
  }
  PyErr_Format(PyExc_IndexError, "game %S out of range for a batch of %zu games", arg, games);
  return std::nullopt;
}

constexpr const char* INDEX_PARAM[] = {"index"};
constexpr Signature GAME{"GameBatch.game()", INDEX_PARAM};

PyObject* game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(GAME, args, nargs, kwnames, {&arg, 1})) return nullptr;
    PyObject* type = tegulo_class();
    if (type == nullptr) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    const GameBatch& batch = state_of(self).batch;
    const auto i = to_game_index(arg, batch.size());
    if (!i) return nullptr;
    return run([&]() -> PyObject* {
      auto* cls = reinterpret_cast<PyTypeObject*>(type);
      PyObject* copy = (cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc)(cls, 0);
      if (copy == nullptr) return nullptr;
      new (&reinterpret_cast<PyTegulo*>(copy)->game) Game(batch.game(*i));
      new (&reinterpret_cast<PyTegulo*>(copy)->borrow) BorrowFlag();
      return copy;
    });
  });
}

constexpr const char* SET_GAME_PARAMS[] = {"index", "game"};
constexpr Signature SET_GAME{"GameBatch.set_game()", SET_GAME_PARAMS};

PyObject* set_game(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(SET_GAME, args, nargs, kwnames, arg)) return nullptr;
    PyObject* type = tegulo_class();
    if (type == nullptr || !is_instance(arg[1], type, "PyTegulo", "game")) return nullptr;
    auto* source = reinterpret_cast<PyTegulo*>(arg[1]);
    Call call(self);
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

// --- Players ---------------------------------------------------------------------------------

// Reads the seats argument: None (every agent of every game played by player 0),
// or an integer array of shape (N, 4) of player indices; false with an error set.
bool read_seats(PyObject* arg, std::size_t games, std::size_t players, std::vector<std::uint8_t>& out) {
  out.clear();
  if (arg == nullptr || arg == Py_None) return true;
  Buffer buffer;
  if (!buffer.take(arg)) return false;
  const Py_buffer& view = buffer.view();
  const auto f = integer_format(view.format);
  if (!f || view.itemsize < 1 || view.itemsize > 8) {
    PyObject* dtype = buffer.dtype_text();
    if (dtype != nullptr) {
      PyErr_Format(PyExc_TypeError, "seats must be integers, got %U", dtype);
      Py_DECREF(dtype);
    }
    return false;
  }
  if (view.ndim != 2 || static_cast<std::size_t>(view.shape[0]) != games ||
      view.shape[1] != static_cast<Py_ssize_t>(AGENT_COUNT)) {
    PyErr_Format(PyExc_ValueError, "seats must have shape (%zu, 4), a player index per game and agent, got %s", games,
                 buffer.shape_text().c_str());
    return false;
  }
  out.resize(games * AGENT_COUNT);
  for (std::size_t i = 0; i < games; ++i) {
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      const std::uint64_t raw =
          read_integer(buffer.at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(a)), view.itemsize, *f);
      const bool negative = f->is_signed && static_cast<std::int64_t>(raw) < 0;
      if (negative || raw >= players) {
        PyObject* value = integer_object(raw, *f);
        if (value != nullptr) {
          PyErr_Format(PyExc_ValueError, "seats[%zu, %zu] is %S, which names no player (0 to %zu)", i, a, value,
                       players - 1);
          Py_DECREF(value);
        }
        return false;
      }
      out[i * AGENT_COUNT + a] = static_cast<std::uint8_t>(raw);
    }
  }
  return true;
}

// Chooses for every game, detached from the interpreter: the games of cheap players
// at once, then the games whose player searches a few at a time, one a thread, with
// a moment attached between them to hear of signals. On an interrupt (or a failure)
// every stream is put back as it was, so the batch is as before the call, and false
// is returned with the error set.
bool choose_games(GameBatch& batch, const std::vector<Player>& players, const std::vector<std::uint8_t>& seats,
                  std::uint16_t* placements, std::uint32_t* counts, bool count = true) {
  const std::size_t n = batch.size();
  std::vector<std::size_t> cheap, searching;
  for (std::size_t i = 0; i < n; ++i)
    (player_of(batch, i, players, seats).kind == PlayerKind::mcts ? searching : cheap).push_back(i);
  std::vector<std::uint64_t> streams(n);
  for (std::size_t i = 0; i < n; ++i) streams[i] = batch.stream_state(i);
  auto restore = [&] {
    for (std::size_t i = 0; i < n; ++i) batch.set_stream_state(i, streams[i]);
  };
  PyThreadState* thread = PyEval_SaveThread();
  bool interrupted = false;
  try {
    choose_games(batch, cheap, players, seats, placements, counts, count);
    const std::size_t slice = batch.threads();
    for (std::size_t first = 0; first < searching.size() && !interrupted; first += slice) {
      const std::size_t size = std::min(slice, searching.size() - first);
      choose_games(batch, std::span<const std::size_t>(searching).subspan(first, size), players, seats, placements,
                   counts, count);
      if (first + slice < searching.size()) {
        PyEval_RestoreThread(thread);
        interrupted = PyErr_CheckSignals() < 0;
        thread = PyEval_SaveThread();
      }
    }
  } catch (...) {
    restore();
    PyEval_RestoreThread(thread);
    throw;
  }
  PyEval_RestoreThread(thread);
  if (interrupted) restore();
  return !interrupted;
}

constexpr const char* PLAYERS_PARAMS[] = {"players", "seats"};
constexpr Signature CHOOSE{"GameBatch.choose()", PLAYERS_PARAMS, 2, 1};
constexpr Signature STEP_PLAYERS{"GameBatch.step_players()", PLAYERS_PARAMS, 2, 1};

PyObject* choose_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(CHOOSE, args, nargs, kwnames, arg)) return nullptr;
    const auto players = to_players(arg[0]);
    if (!players) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    GameBatch& batch = state_of(self).batch;
    const std::size_t n = batch.size();
    std::vector<std::uint8_t> seats;
    if (!read_seats(arg[1], n, players->size(), seats)) return nullptr;
    return run([&]() -> PyObject* {
      // The result first: choosing draws from the games' streams, which a choice
      // that then failed for want of memory would have moved on for nothing.
      void* actions_data = nullptr;
      void* counts_data = nullptr;
      Result result(batch_choice_type());
      result.add([&] { return new_array({static_cast<Py_ssize_t>(n)}, "int64", &actions_data); })
          .add([&] { return new_array({static_cast<Py_ssize_t>(n)}, "int32", &counts_data); });
      if (!result) return nullptr;
      std::vector<std::uint16_t> placements(n);
      std::vector<std::uint32_t> legal(n);
      if (!choose_games(batch, *players, seats, placements.data(), legal.data())) return nullptr;
      const ActionSet& set = ActionSet::get();
      auto* a = static_cast<std::int64_t*>(actions_data);
      auto* c = static_cast<std::int32_t*>(counts_data);
      for (std::size_t i = 0; i < n; ++i) {
        a[i] = static_cast<std::int64_t>(set.action_index(batch.game(i).current_agent, placements[i]));
        c[i] = static_cast<std::int32_t>(legal[i]);
      }
      return result.release();
    });
  });
}

PyObject* step_players(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(STEP_PLAYERS, args, nargs, kwnames, arg)) return nullptr;
    const auto players = to_players(arg[0]);
    if (!players) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    State& state = state_of(self);
    const std::size_t n = state.batch.size();
    std::vector<std::uint8_t> seats;
    if (!read_seats(arg[1], n, players->size(), seats)) return nullptr;
    return run([&]() -> PyObject* {
      StepBuffers out{};
      PyObject* block = step_block(state, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, n);
      if (!result) return nullptr;
      std::vector<std::uint16_t> placements(n);
      std::vector<std::uint32_t> legal(n);
      if (!choose_games(state.batch, *players, seats, placements.data(), legal.data(), false)) return nullptr;
      detached([&] { state.batch.place_all(placements, out); });
      return result.release();
    });
  });
}

PyObject* reduce(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    PyObject* restore = module_attribute<BATCH_MODULE, RESTORE_FUNCTION>();  // borrowed: kept for good
    if (restore == nullptr) return nullptr;
    Call call(self);
    if (!call) return nullptr;
    const State& state = state_of(self);
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

PyMethodDef METHODS[] = {
    {"reset", fastcall(reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, seed=None)\n--\n\n"
     "Starts every game afresh. With a seed, the games' random streams start again\n"
     "from it; without, they go on."},
    {"observe", fastcall(observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, legal='list')\n--\n\n"
     "Every game as its agent to move sees it: a BatchObservation of read-only arrays.\n"
     "`legal` says how the legal actions come: 'list' (legal_actions, legal_offsets),\n"
     "'mask' (action_mask) or 'both'; what was not asked for is None."},
    {"step", fastcall(step), METH_FASTCALL | METH_KEYWORDS,
     "step($self, actions)\n--\n\n"
     "Plays one action per game, each in the frame of that game's agent to move: an\n"
     "integer array of shape (N,). Turns of agents out of moves are passed; a game that\n"
     "ends starts again. Returns a BatchStep. If any action is not legal, ValueError names\n"
     "the first such game and no game changes."},
    {"step_random", step_random, METH_NOARGS,
     "step_random($self)\n--\n\n"
     "Plays for every game a uniformly random legal action drawn from the game's own\n"
     "random stream; returns a BatchStep like step."},
    {"play_random", fastcall(play_random), METH_FASTCALL | METH_KEYWORDS,
     "play_random($self, games)\n--\n\n"
     "Plays step_random rounds until `games` games have ended and returns their final\n"
     "scores, an int32 array of shape (games, 4), in the order they ended (by round,\n"
     "then by game number)."},
    {"choose", fastcall(choose_method), METH_FASTCALL | METH_KEYWORDS,
     "choose($self, players, seats=None)\n--\n\n"
     "What built-in players choose for every game: a BatchChoice of each game's action,\n"
     "in the frame of its agent to move, and that agent's number of legal actions.\n"
     "`players` is a player (a name such as 'greedy' or 'mcts:400', or a\n"
     "tegulo_rl.players.Player) or a sequence of them; seats[i, a], an integer array of\n"
     "shape (N, 4), names the player of agent a in game i (None: the first player\n"
     "everywhere). Each game draws from its own random stream; no game changes."},
    {"step_players", fastcall(step_players), METH_FASTCALL | METH_KEYWORDS,
     "step_players($self, players, seats=None)\n--\n\n"
     "Plays for every game what choose(players, seats) chooses, in one call: returns a\n"
     "BatchStep like step. An interrupt stops the choice with no game changed."},
    {"to_bytes", to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nEvery game's state record: a uint8 array of shape (N, 278)."},
    {"from_bytes", fastcall(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(records, *, reward_mode='rank', threads=None, seed=None)\n--\n\n"
     "A batch of the games that state records describe, a uint8 array of shape (N, 278)."},
    {"game", fastcall(game), METH_FASTCALL | METH_KEYWORDS,
     "game($self, index)\n--\n\nA PyTegulo copy of game `index`."},
    {"set_game", fastcall(set_game), METH_FASTCALL | METH_KEYWORDS,
     "set_game($self, index, game)\n--\n\n"
     "Puts a copy of the PyTegulo `game`, which must be in play, at place `index`."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"num_games", num_games, nullptr, "The number of games.", nullptr},
    {"threads", threads, nullptr, "The number of threads that work on a call.", nullptr},
    {"reward_mode", reward_mode, nullptr, "The reward mode of step's rewards.", nullptr},
    {"seed", seed, nullptr, "The seed of the games' random streams.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {Py_mp_length, reinterpret_cast<void*>(batch_length)},
    {Py_tp_doc, const_cast<char*>("GameBatch(num_games, *, reward_mode='rank', threads=None, seed=None)\n--\n\n"
                                  "A fixed number of independent games held in native code and stepped together\n"
                                  "on a pool of threads. threads=None uses every core the process may run on; a\n"
                                  "seed of None draws one from the system.")},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "tegulo_rl._batch.GameBatch", sizeof(PyGameBatch), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS,
};

}  // namespace

PyObject* batch_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&SPEC); });
}

PyObject* batch_observation_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&OBSERVATION_DESC)); });
}

PyObject* batch_choice_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&CHOICE_DESC)); });
}

PyObject* batch_step_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&STEP_DESC)); });
}

constexpr const char* RESTORE_PARAMS[] = {"records", "reward_mode", "threads", "seed", "streams"};
constexpr Signature RESTORE{"_restore()", RESTORE_PARAMS};

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
