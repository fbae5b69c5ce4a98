#include "python/arguments.hpp"

#include <cstring>
#include <random>

#include "batch/thread_pool.hpp"
#include "python/call.hpp"

namespace tegulo::py {

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

const char* reward_mode_name(RewardMode mode) { return REWARD_MODE_NAMES[static_cast<std::size_t>(mode)].data(); }

std::optional<std::size_t> to_threads(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) return usable_cores();
  return to_count(arg, "threads", 1, MAX_THREADS);
}

std::optional<std::uint64_t> to_u64(PyObject* arg, const char* name) {
  PyObject* index = PyNumber_Index(arg);
  if (index == nullptr) return std::nullopt;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be from 0 to 2**64 - 1, got %S", name, arg);
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> to_seed(PyObject* arg) {
  if (arg == nullptr || arg == Py_None) {
    std::random_device entropy;
    return std::uint64_t{entropy()} << 32 | entropy();
  }
  return to_u64(arg, "seed");
}

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

std::optional<Game> to_game(PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return std::nullopt;
  std::optional<Game> game;
  if (static_cast<std::size_t>(view.len) == RECORD_SIZE)
    game = Game::from_bytes({static_cast<const std::uint8_t*>(view.buf), RECORD_SIZE});
  PyBuffer_Release(&view);
  if (!game) PyErr_SetString(PyExc_ValueError, "Not a game state written by to_bytes() of this version");
  return game;
}

bool read_actions(const Buffer& buffer, std::size_t games, std::vector<std::int64_t>& out, IntegerFormat& format) {
  const Py_buffer& view = buffer.view();
  const auto f = integer_elements(view);
  if (!f) {
    buffer.wrong_type("actions", "integers");
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

void action_refused(const Buffer& buffer, const IntegerFormat& format, const Refusal& refusal, std::size_t agent) {
  const std::size_t g = refusal.game;
  PyObject* value =
      integer_object(read_integer(buffer.at(static_cast<Py_ssize_t>(g)), buffer.view().itemsize, format), format);
  if (value == nullptr) return;
  if (refusal.out_of_range)
    PyErr_Format(PyExc_ValueError, "game %zu: action %S is not an action index (0 to %zu)", g, value, NUM_ACTIONS - 1);
  else
    PyErr_Format(PyExc_ValueError, "game %zu: action %S is not legal for agent %zu, the agent to move", g, value,
                 agent);
  Py_DECREF(value);
}

bool read_records(const Buffer& buffer, std::vector<Record>& out) {
  const Py_buffer& view = buffer.view();
  const auto f = integer_format(view.format);
  if (!f || f->code != 'B' || view.itemsize != 1) {
    buffer.wrong_type("records", "uint8");
    return false;
  }
  if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(RECORD_SIZE) || view.shape[0] < 1 ||
      static_cast<std::size_t>(view.shape[0]) > MAX_GAMES) {
    PyErr_Format(PyExc_ValueError, "records must have shape (N, %zu) with N from 1 to %zu, got %s", RECORD_SIZE,
                 MAX_GAMES, buffer.shape_text().c_str());
    return false;
  }
  out.resize(static_cast<std::size_t>(view.shape[0]));
  const bool contiguous =
      view.strides == nullptr || (view.strides[1] == 1 && view.strides[0] == static_cast<Py_ssize_t>(RECORD_SIZE));
  if (contiguous) {
    std::memcpy(out.data(), view.buf, out.size() * RECORD_SIZE);
    return true;
  }
  for (Py_ssize_t r = 0; r < view.shape[0]; ++r)
    for (Py_ssize_t c = 0; c < view.shape[1]; ++c)
      out[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = *buffer.at(r, c);
  return true;
}

void record_refused(const RecordRefusal& refusal) {
  if (refusal.over)
    PyErr_Format(PyExc_ValueError, "record %zu is of a game that is over; a batch holds games in play", refusal.game);
  else
    PyErr_Format(PyExc_ValueError, "record %zu: Not a game state written by to_bytes() of this version", refusal.game);
}

bool read_table(PyObject* arg, const TableArgument& table, std::size_t games, std::size_t limit,
                std::vector<std::uint8_t>& out) {
  out.clear();
  if (arg == nullptr || arg == Py_None) return true;
  Buffer buffer;
  if (!buffer.take(arg)) return false;
  const Py_buffer& view = buffer.view();
  // numpy's bool arrays say "?": their bytes are 0 and 1.
  const bool flags = view.format != nullptr && std::strcmp(view.format, "?") == 0;
  const auto f = flags ? std::optional<IntegerFormat>(IntegerFormat{'B', false, false}) : integer_elements(view);
  if (!f) {
    buffer.wrong_type(table.name, "integers");
    return false;
  }
  const std::size_t columns = table.columns == 0 ? 1 : table.columns;
  const bool shaped =
      table.columns == 0 ? view.ndim == 1 : view.ndim == 2 && view.shape[1] == static_cast<Py_ssize_t>(columns);
  if (!shaped || static_cast<std::size_t>(view.shape[0]) != games) {
    if (table.columns == 0)
      PyErr_Format(PyExc_ValueError, "%s must have shape (%zu,), %s, got %s", table.name, games, table.meaning,
                   buffer.shape_text().c_str());
    else
      PyErr_Format(PyExc_ValueError, "%s must have shape (%zu, %zu), %s, got %s", table.name, games, columns,
                   table.meaning, buffer.shape_text().c_str());
    return false;
  }
  out.resize(games * columns);
  for (std::size_t i = 0; i < games; ++i) {
    for (std::size_t c = 0; c < columns; ++c) {
      const std::uint64_t raw =
          read_integer(buffer.at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(c)), view.itemsize, *f);
      const bool negative = f->is_signed && static_cast<std::int64_t>(raw) < 0;
      if (negative || raw >= limit) {
        PyObject* value = integer_object(raw, *f);
        if (value != nullptr) {
          if (table.columns == 0)
            PyErr_Format(PyExc_ValueError, "%s[%zu] is %S, %s (0 to %zu)", table.name, i, value, table.beyond,
                         limit - 1);
          else
            PyErr_Format(PyExc_ValueError, "%s[%zu, %zu] is %S, %s (0 to %zu)", table.name, i, c, value, table.beyond,
                         limit - 1);
          Py_DECREF(value);
        }
        return false;
      }
      out[i * columns + c] = static_cast<std::uint8_t>(raw);
    }
  }
  return true;
}

bool read_seats(PyObject* arg, std::size_t games, std::size_t players, std::vector<std::uint8_t>& out) {
  static constexpr TableArgument SEATS{"seats", AGENT_COUNT, "a player index per game and agent",
                                       "which names no player"};
  return read_table(arg, SEATS, games, players, out);
}

}  // namespace tegulo::py
