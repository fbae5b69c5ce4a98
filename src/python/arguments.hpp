#pragma once

// The readers of the arguments that the batch and the players take from Python:
// counts, seeds, reward modes, game indices, and arrays of actions, records and
// seats. Each returns nothing (or false) with the Python error set when the
// argument does not fit, naming the argument and what it should have been.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "batch/game_batch.hpp"
#include "game/game.hpp"
#include "game/scores.hpp"
#include "python/buffer.hpp"

namespace tegulo::py {

// The most games and threads a batch takes: beyond them sizes stop being sensible
// long before memory runs out.
constexpr std::size_t MAX_GAMES = std::size_t{1} << 24;
constexpr std::size_t MAX_THREADS = 1024;

// A whole number from `low` to `high`, or ValueError naming `name`.
std::optional<std::size_t> to_count(PyObject* arg, const char* name, std::size_t low, std::size_t high);
// A reward mode by name; "rank" for a missing argument (null).
std::optional<RewardMode> to_reward_mode(PyObject* arg);
const char* reward_mode_name(RewardMode mode);
// A number of threads from 1 to MAX_THREADS; every usable core for None or null.
std::optional<std::size_t> to_threads(PyObject* arg);
// A whole number from 0 to 2**64 - 1, or ValueError naming `name`.
std::optional<std::uint64_t> to_u64(PyObject* arg, const char* name);
// A seed from 0 to 2**64 - 1; a fresh one from the system's entropy for None or null.
std::optional<std::uint64_t> to_seed(PyObject* arg);
// Game index `arg` of `games`, counting from the end when negative; IndexError beyond.
std::optional<std::size_t> to_game_index(PyObject* arg, std::size_t games);

// The game a bytes-like state record of RECORD_SIZE bytes describes; ValueError otherwise.
std::optional<Game> to_game(PyObject* arg);

// Reads one action per game into `out` (sized `games`) from an integer array of
// shape (games,): any integer type, byte order and stride, its format into
// `format` for messages; TypeError or ValueError for anything else.
bool read_actions(const Buffer& buffer, std::size_t games, std::vector<std::int64_t>& out, IntegerFormat& format);

// Sets the ValueError of a step that refused an action, read again from `buffer`;
// `agent` is the refused game's agent to move.
void action_refused(const Buffer& buffer, const IntegerFormat& format, const Refusal& refusal, std::size_t agent);

// Reads (N, 278) records of bytes, N from 1 to MAX_GAMES, of any strides;
// TypeError or ValueError otherwise.
bool read_records(const Buffer& buffer, std::vector<Record>& out);
// Sets the ValueError of a record load that failed.
void record_refused(const RecordRefusal& refusal);

// A small integer table argument, one row per game: its name, its columns (0 for
// a single value per game), and what its shape and an out-of-range value mean in
// messages.
struct TableArgument {
  const char* name;
  std::size_t columns;
  const char* meaning;
  const char* beyond;
};
// Reads such a table: None (`out` left empty), or an integer (or bool) array of
// shape (games,) or (games, columns) of values below `limit`; false with an error set.
bool read_table(PyObject* arg, const TableArgument& table, std::size_t games, std::size_t limit,
                std::vector<std::uint8_t>& out);

// Reads the seats argument: None (every agent of every game played by player 0,
// `out` left empty), or an integer array of shape (games, 4) of player indices
// below `players`; false with an error set.
bool read_seats(PyObject* arg, std::size_t games, std::size_t players, std::vector<std::uint8_t>& out);

}  // namespace tegulo::py
