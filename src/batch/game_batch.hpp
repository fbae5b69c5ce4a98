#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch/streams.hpp"
#include "batch/thread_pool.hpp"
#include "game/errors.hpp"
#include "game/game.hpp"
#include "game/planes.hpp"
#include "game/scores.hpp"

namespace tegulo {

// Where observe writes, one row per game: the planes of the position as the
// agent to move sees it, that agent, and its legal actions.
struct ObservationBuffers {
  std::uint8_t* observation;    // (N, CELL_PLANE)
  std::uint8_t* corners;        // (N, CELL_PLANE)
  std::uint8_t* blocked;        // (N, CELL_PLANE)
  std::uint8_t* pieces;         // (N, PIECE_PLANE)
  std::uint8_t* done;           // (N, AGENT_COUNT)
  std::int64_t* current_agent;  // (N)
  std::int64_t* legal_offsets;  // (N + 1): game i's actions are entries offsets[i] to offsets[i + 1]
  std::uint8_t* action_mask;    // (N, NUM_ACTIONS), or null for no mask
  // The 1 entries the mask holds from an earlier observe, as offsets (stale_games +
  // 1) and actions, cleared before the new ones are set; null when the mask is all
  // 0. The earlier observe may have been of more games than N: their rows beyond N
  // are cleared too, so that the mask region holds no 1 entry but the new ones.
  // They may be the very memory of legal_offsets and of the actions that
  // write_legal_actions writes: observe reads them before it writes any offset,
  // and the actions are written after it returns.
  const std::int64_t* stale_offsets;
  const std::int64_t* stale_actions;
  std::size_t stale_games;
};

// Where a step writes, one row per game; a null pointer skips its output.
struct StepBuffers {
  float* rewards;               // (N, AGENT_COUNT): the rewards of a game that ended, else 0
  std::uint8_t* terminated;     // (N): 1 for a game that ended in this step
  std::int32_t* scores;         // (N, AGENT_COUNT): after the step; a game that ended, its final scores
  std::uint8_t* final_records;  // (N, RECORD_SIZE): the record of a game that ended, else all 0
};

// The first game whose action step refuses.
struct Refusal {
  std::size_t game;
  bool out_of_range;  // not an action index at all, rather than one the agent may not take
};

// The first record a load refuses.
struct RecordRefusal {
  std::size_t game;
  bool over;  // a record of a game that is over, rather than no record at all
};

// A fixed number of independent games stepped together, each with its own random
// stream, their work spread over a pool of threads. Every game in the batch is in
// play with an agent to move that has a legal placement: turns of agents out of
// moves are passed for them, and a game that ends starts again at once.
//
// Games do not share anything but the catalogue, so a game's results depend on its
// own state and stream alone: the same for any number of threads.
class GameBatch {
 public:
  GameBatch(std::size_t num_games, RewardMode mode, std::size_t threads, std::uint64_t seed);

  std::size_t size() const { return slots_.size(); }
  std::size_t threads() const { return pool_.size(); }
  RewardMode reward_mode() const { return mode_; }
  // The seed of the streams, as given to the constructor or the last reseeding reset.
  std::uint64_t seed() const { return seed_; }

  // Starts every game afresh; a seed restarts the streams from it as well.
  void reset(std::optional<std::uint64_t> seed);

  // Writes every game's observation, and keeps its legal actions (in the agent's
  // frame; increasing if `sorted`, else in the scan's order, which spares the sort)
  // for write_legal_actions; returns their number in all.
  std::size_t observe(const ObservationBuffers& out, bool sorted = true);
  // Writes the legal actions the last observe found, game after game.
  void write_legal_actions(std::int64_t* out);

  // Takes one action per game, each an action index in the frame of that game's
  // agent to move. If any is refused, nothing changes and the first refused game
  // is returned.
  std::optional<Refusal> step(std::span<const std::int64_t> actions, const StepBuffers& out);
  // A learner's turn in every game where `playing[i]` is set: takes its action for the
  // agent to move (the learner), checked as step checks it, then plays the other
  // agents with `choose(i, game, stream, learner, renewed)` (the placement of game i's
  // agent to move; `renewed` once the game has started again) until the learner is to
  // move again. A game that ends on the way starts again with its learner at agent
  // `next_learner[i]` and is played up to that agent's first turn, so that every game
  // stands at its learner's turn afterwards.
  // The step's row of a game holds its end where it ended (at most once: a learner
  // has a move before a new game can end), else its scores as it stands. Games not
  // playing are left as they stand. If an action is refused, nothing changes.
  template <class Choose>
  std::optional<Refusal> step_learners(std::span<const std::int64_t> actions,
                                       std::span<const std::uint8_t> next_learner,
                                       std::span<const std::uint8_t> playing, Choose&& choose, const StepBuffers& out);
  // Plays for every game a legal action drawn uniformly from its stream.
  void step_random(const StepBuffers& out);
  // What play_random does after a pause between rounds.
  enum class Between {
    go_on,        // play on
    stop,         // stop, every game and stream as before the call
    start_again,  // the games were changed meanwhile: play from them as they now stand
  };
  // Plays step_random rounds until `games` games have ended, and writes their final
  // scores, by round and then by game number; returns true. `between` is asked
  // before each round, with every game and stream put back as they were before the
  // call (the rounds played are set aside meanwhile): when it says stop, they stay
  // so and false is returned. An exception leaves them so as well.
  bool play_random(std::size_t games, Scores* out, const std::function<Between()>& between);

  // Calls visit(i, game, stream) for every game i, spread over the pool: the game as
  // it stands and its random stream, which visit may draw from.
  template <class Visit>
  void visit_games(Visit&& visit) {
    for_ranges([&](std::size_t, std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; ++i) visit(i, static_cast<const Game&>(slots_[i].game), slots_[i].stream);
    });
  }
  // The same for the listed games alone (each below size()), in eight tasks per
  // thread: a visit may be long (a search) and visits of unequal length.
  template <class Visit>
  void visit_games(std::span<const std::size_t> games, Visit&& visit) {
    if (games.empty()) return;
    const std::size_t count = games.size(), per = std::max<std::size_t>(1, count / (8 * threads()));
    pool_.run((count + per - 1) / per, [&](std::size_t t) {
      for (std::size_t k = t * per; k < std::min(count, (t + 1) * per); ++k) {
        Slot& slot = slots_.at(games[k]);
        visit(games[k], static_cast<const Game&>(slot.game), slot.stream);
      }
    });
  }
  // Makes for every game the placement (an absolute dense index) that `placements`
  // names, which must be legal for its agent to move, and writes the step's row.
  void place_all(std::span<const std::uint16_t> placements, const StepBuffers& out);

  // Puts the games that the records describe in play, passing the turns of agents
  // out of moves: the batch holds as many games as there are records (at least
  // one) from then on, on as many threads as the constructor was given, up to
  // one a game. Games below the old size keep their streams; those beyond start
  // theirs from the seed, as in a new batch. If a record is refused, nothing
  // changes and the first refused one is returned.
  std::optional<RecordRefusal> load(std::span<const Record> records);

  const Game& game(std::size_t i) const { return slots_[i].game; }
  // Puts a game in play at place i, passing the turns of agents out of moves;
  // false, changing nothing, for a game that is over.
  bool set_game(std::size_t i, const Game& game);

  std::uint64_t stream_state(std::size_t i) const { return slots_[i].stream.state; }
  void set_stream_state(std::size_t i, std::uint64_t state) { slots_[i].stream.state = state; }

 private:
  struct Slot {
    Game game;
    Stream stream;
  };

  // Runs body(first, last) over consecutive ranges of games covering them all,
  // range t being task t of task_count().
  template <class Body>
  void for_ranges(Body&& body) {
    const std::size_t n = size();
    pool_.run(task_count(), [&](std::size_t t) { body(t, t * chunk_, std::min(n, (t + 1) * chunk_)); });
  }
  std::size_t task_count() const { return (size() + chunk_ - 1) / chunk_; }
  // Runs body(t, first, last) as for_ranges does, each task first copying its games
  // to backup_: if any task throws, every game is put back as it was and the
  // exception goes on. For calls whose players may run short of memory midway.
  template <class Body>
  void for_ranges_or_nothing(Body&& body) {
    if (backup_.size() < size()) backup_.resize(size(), slots_.front());
    try {
      for_ranges([&](std::size_t t, std::size_t first, std::size_t last) {
        std::copy(slots_.data() + first, slots_.data() + last, backup_.data() + first);
        body(t, first, last);
      });
    } catch (...) {
      // The pool runs every task even after one throws, so every game was copied.
      std::copy(backup_.data(), backup_.data() + size(), slots_.data());
      throw;
    }
  }
  // Games per task for `games` games on `threads` threads: a few tasks per thread
  // even out games of unequal cost; tasks of at least eight games keep the handing
  // out cheap against the work.
  static std::size_t chunk_for(std::size_t games, std::size_t threads) {
    threads = std::max<std::size_t>(threads, 1);
    return std::max<std::size_t>(8, (games + 8 * threads - 1) / (8 * threads));
  }

  // After a placement in game i: passes turns of agents out of moves, writes the
  // step's row, and starts the game again if it ended.
  void finish(std::size_t i, const StepBuffers& out);
  // Writes game i's row of a step: its end when `over`, else its scores and zeros.
  void write_row(std::size_t i, const Game& game, bool over, const StepBuffers& out) const;
  // Checks every playing game's action (all when `playing` is empty) and keeps its
  // placement; the first refused game, if any.
  std::optional<Refusal> check_actions(std::span<const std::int64_t> actions, std::span<const std::uint8_t> playing);

  // Clears row `row` of the mask of the stale entries listed for game `row`.
  static void clear_stale(std::size_t row, const ObservationBuffers& out);

  std::vector<Slot> slots_;
  std::vector<Slot> backup_;  // the games as they were before a call that puts them back if it fails
  RewardMode mode_;
  std::size_t threads_;  // the threads asked for: the pool grows towards them as games are loaded
  std::uint64_t seed_;
  std::size_t chunk_;  // games per task
  ThreadPool pool_;

  // Scratch of the current call, kept between calls so that nothing is allocated
  // once the sizes have settled.
  std::vector<std::vector<std::uint16_t>> legal_;  // per task: its games' legal actions
  std::vector<std::int64_t> counts_;               // per game: its number of legal actions
  std::vector<std::uint16_t> placements_;          // per game: the placement its action names
  std::vector<std::size_t> refused_;               // per task: its first refused game, or size()
  // Whether legal_ and counts_ list the legal actions of the games as they stand:
  // set by observe, cleared by whatever changes a game; and whether each game's
  // list is increasing, as a binary search needs.
  bool listed_ = false;
  bool listed_sorted_ = true;
};

template <class Choose>
std::optional<Refusal> GameBatch::step_learners(std::span<const std::int64_t> actions,
                                                std::span<const std::uint8_t> next_learner,
                                                std::span<const std::uint8_t> playing, Choose&& choose,
                                                const StepBuffers& out) {
  if (next_learner.size() != size() || playing.size() != size())
    throw InternalError("Learners for " + std::to_string(next_learner.size()) + " games");
  if (auto refused = check_actions(actions, playing)) return refused;
  listed_ = false;
  for_ranges_or_nothing([&](std::size_t, std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      Slot& slot = slots_[i];
      if (!playing[i]) {
        write_row(i, slot.game, false, out);
        continue;
      }
      std::size_t learner = slot.game.current_agent;
      slot.game.place(placements_[i]);
      bool ended = false;
      // Each pass places a piece or starts the one new game, so the loop ends: in a
      // game the learner is out of moves in, the others play it to its end.
      for (;;) {
        pass_done(slot.game);
        if (slot.game.is_over()) {
          write_row(i, slot.game, true, out);
          slot.game = Game::fresh();
          learner = next_learner[i] % AGENT_COUNT;
          ended = true;
        }
        if (slot.game.current_agent == learner) break;
        slot.game.place(choose(i, static_cast<const Game&>(slot.game), slot.stream, learner, ended));
      }
      if (!ended) write_row(i, slot.game, false, out);
    }
  });
  return std::nullopt;
}

}  // namespace tegulo
