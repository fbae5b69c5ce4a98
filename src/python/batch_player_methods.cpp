// GameBatch.choose and GameBatch.step_players: the built-in players on every game
// of a batch, with searches run a few at a time so that an interrupt is heard.
#include <algorithm>
#include <span>
#include <vector>

#include "players/batch_players.hpp"
#include "python/arguments.hpp"
#include "python/batch_state.hpp"
#include "python/call.hpp"
#include "python/player_args.hpp"

namespace tegulo::py {

namespace {

// What became of a choice for every game.
enum class Chosen { done, interrupted, again };

// Chooses for every game, detached from the interpreter: the games of cheap players
// at once, then the games whose player searches a few at a time, one a thread, with
// a pause between them for the signal handlers (see CallLock::pause). Every stream
// is put back as it was while the handlers run, and for good on an interrupt (the
// error then set) or a failure: the batch is as before the call. `again` when
// another call used the batch meanwhile: the choice must start over.
Chosen choose_games(Locked& call, GameBatch& batch, const std::vector<Player>& players,
                    const std::vector<std::uint8_t>& seats, std::uint16_t* placements, std::uint32_t* counts,
                    bool count = true) {
  const std::size_t n = batch.size();
  std::vector<std::size_t> cheap, searching;
  for (std::size_t i = 0; i < n; ++i)
    (player_of(batch, i, players, seats).kind == PlayerKind::mcts ? searching : cheap).push_back(i);
  std::vector<std::uint64_t> streams(n), drawn(searching.empty() ? 0 : n);
  for (std::size_t i = 0; i < n; ++i) streams[i] = batch.stream_state(i);
  auto restore = [&] {
    for (std::size_t i = 0; i < n; ++i) batch.set_stream_state(i, streams[i]);
  };
  try {
    Detached detached;
    choose_games(batch, cheap, players, seats, placements, counts, count);
    const std::size_t slice = batch.threads();
    for (std::size_t first = 0; first < searching.size(); first += slice) {
      const std::size_t size = std::min(slice, searching.size() - first);
      choose_games(batch, std::span<const std::size_t>(searching).subspan(first, size), players, seats, placements,
                   counts, count);
      if (first + slice >= searching.size()) break;
      for (std::size_t i = 0; i < n; ++i) drawn[i] = batch.stream_state(i);
      restore();
      const Pause pause = call.pause(detached);
      if (pause == Pause::interrupted) return Chosen::interrupted;
      if (pause == Pause::superseded) return Chosen::again;
      for (std::size_t i = 0; i < n; ++i) batch.set_stream_state(i, drawn[i]);
    }
  } catch (...) {
    restore();
    throw;
  }
  return Chosen::done;
}

constexpr const char* PLAYERS_PARAMS[] = {"players", "seats"};
constexpr Signature CHOOSE{"GameBatch.choose()", PLAYERS_PARAMS, 2, 1};
constexpr Signature STEP_PLAYERS{"GameBatch.step_players()", PLAYERS_PARAMS, 2, 1};
constexpr const char* LEARNERS_PARAMS[] = {"actions", "players", "opponents", "next_learners", "playing",
                                           "next_opponents"};
constexpr Signature STEP_LEARNERS{"GameBatch.step_learners()", LEARNERS_PARAMS, 3, 2};
constexpr TableArgument OPPONENTS{"opponents", AGENT_COUNT - 1,
                                  "a player index per game for each agent after its learner", "which names no player"};
constexpr TableArgument NEXT_LEARNERS{"next_learners", 0, "the learner's agent in each game's next game",
                                      "which is no agent"};
constexpr TableArgument PLAYING{"playing", 0, "whether each game's learner plays", "which is not a bool"};
constexpr TableArgument NEXT_OPPONENTS{"next_opponents", AGENT_COUNT - 1,
                                       "a player index per game for each agent after its learner in its next game",
                                       "which names no player"};

}  // namespace

PyObject* batch_choose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(CHOOSE, args, nargs, kwnames, arg)) return nullptr;
    const auto players = to_players(arg[0]);
    if (!players) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    GameBatch& batch = state_of(self).batch;
    return run([&]() -> PyObject* {
      for (;;) {
        const std::size_t n = batch.size();
        std::vector<std::uint8_t> seats;
        if (!read_seats(arg[1], n, players->size(), seats)) return nullptr;
        // The result first: choosing draws from the games' streams, which a choice
        // that then failed for want of memory would have moved on for nothing.
        void* actions_data = nullptr;
        void* counts_data = nullptr;
        Result result(batch_choice_type());
        result.add([&] { return new_array({static_cast<Py_ssize_t>(n)}, "int64", &actions_data); }).add([&] {
          return new_array({static_cast<Py_ssize_t>(n)}, "int32", &counts_data);
        });
        if (!result) return nullptr;
        std::vector<std::uint16_t> placements(n);
        std::vector<std::uint32_t> legal(n);
        const Chosen chosen = choose_games(call, batch, *players, seats, placements.data(), legal.data());
        if (chosen == Chosen::interrupted) return nullptr;
        if (chosen == Chosen::again) continue;
        const ActionSet& set = ActionSet::get();
        auto* a = static_cast<std::int64_t*>(actions_data);
        auto* c = static_cast<std::int32_t*>(counts_data);
        for (std::size_t i = 0; i < n; ++i) {
          a[i] = static_cast<std::int64_t>(set.action_index(batch.game(i).current_agent, placements[i]));
          c[i] = static_cast<std::int32_t>(legal[i]);
        }
        return result.release();
      }
    });
  });
}

PyObject* batch_step_players(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(STEP_PLAYERS, args, nargs, kwnames, arg)) return nullptr;
    const auto players = to_players(arg[0]);
    if (!players) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    return run([&]() -> PyObject* {
      for (;;) {
        const std::size_t n = state.batch.size();
        std::vector<std::uint8_t> seats;
        if (!read_seats(arg[1], n, players->size(), seats)) return nullptr;
        StepBuffers out{};
        PyObject* block = step_block(state.steps, n, out);
        if (block == nullptr) return nullptr;
        Result result = step_result(block, out, n);
        if (!result) return nullptr;
        std::vector<std::uint16_t> placements(n);
        std::vector<std::uint32_t> legal(n);
        const Chosen chosen = choose_games(call, state.batch, *players, seats, placements.data(), legal.data(), false);
        if (chosen == Chosen::interrupted) return nullptr;
        if (chosen == Chosen::again) continue;
        detached([&] { state.batch.place_all(placements, out); });  // allocates nothing: cannot fail midway
        return result.release();
      }
    });
  });
}

PyObject* batch_step_learners(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[6];
    if (!bind(STEP_LEARNERS, args, nargs, kwnames, arg)) return nullptr;
    Buffer buffer;
    if (!buffer.take(arg[0])) return nullptr;
    const auto players = to_players(arg[1]);
    if (!players) return nullptr;
    for (const Player& player : *players) {
      if (player.kind == PlayerKind::mcts) {
        PyErr_SetString(PyExc_ValueError,
                        "step_learners() plays players that do not search; play searching opponents with "
                        "step_players()");
        return nullptr;
      }
    }
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    const std::size_t n = state.batch.size();
    IntegerFormat format{};
    if (!read_actions(buffer, n, state.actions, format)) return nullptr;
    return run([&]() -> PyObject* {
      std::vector<std::uint8_t> opponents, next, playing, next_opponents;
      if (!read_table(arg[2], OPPONENTS, n, players->size(), opponents) ||
          !read_table(arg[3], NEXT_LEARNERS, n, AGENT_COUNT, next) || !read_table(arg[4], PLAYING, n, 2, playing) ||
          !read_table(arg[5], NEXT_OPPONENTS, n, players->size(), next_opponents))
        return nullptr;
      if (next.empty()) {
        next.resize(n);
        for (std::size_t i = 0; i < n; ++i) next[i] = static_cast<std::uint8_t>(state.batch.game(i).current_agent);
      }
      if (playing.empty()) playing.assign(n, 1);
      StepBuffers out{};
      PyObject* block = step_block(state.steps, n, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, n);
      if (!result) return nullptr;
      const auto refused = detached([&] {
        return step_learners(state.batch, {state.actions.data(), n}, *players, opponents, next, playing, out,
                             next_opponents);
      });
      if (refused) {
        action_refused(buffer, format, *refused, state.batch.game(refused->game).current_agent);
        return nullptr;
      }
      return result.release();
    });
  });
}

}  // namespace tegulo::py
