#include "game_batch.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "game/actions.hpp"
#include "game/errors.hpp"

namespace tegulo {

namespace {

// The legal placements or actions of a scan, kept per thread and reused by every call.
std::vector<std::uint16_t>& scratch_moves() {
  thread_local std::vector<std::uint16_t> moves = [] {
    std::vector<std::uint16_t> v;
    v.reserve(4096);
    return v;
  }();
  return moves;
}

}  // namespace

GameBatch::GameBatch(std::size_t num_games, RewardMode mode, std::size_t threads, std::uint64_t seed)
    : mode_(mode),
      threads_(std::max<std::size_t>(threads, 1)),
      seed_(seed),
      chunk_(chunk_for(num_games, threads)),
      pool_(std::min(threads, std::max<std::size_t>(num_games, 1))) {
  if (num_games == 0) throw InternalError("A batch of no games");
  const Game fresh = Game::fresh();
  slots_.reserve(num_games);
  for (std::size_t i = 0; i < num_games; ++i) slots_.push_back({fresh, Stream::of(seed, i)});
  legal_.resize(task_count());
  counts_.resize(num_games);
  placements_.resize(num_games);
  refused_.resize(task_count());
}

void GameBatch::reset(std::optional<std::uint64_t> seed) {
  listed_ = false;
  if (seed) seed_ = *seed;
  const Game fresh = Game::fresh();
  for (std::size_t i = 0; i < size(); ++i) {
    slots_[i].game = fresh;
    if (seed) slots_[i].stream = Stream::of(*seed, i);
  }
}

void GameBatch::clear_stale(std::size_t row, const ObservationBuffers& out) {
  std::uint8_t* mask = out.action_mask + row * NUM_ACTIONS;
  for (std::int64_t j = out.stale_offsets[row]; j < out.stale_offsets[row + 1]; ++j) {
    const std::int64_t a = out.stale_actions[j];
    if (a < 0 || a >= static_cast<std::int64_t>(NUM_ACTIONS))
      throw InternalError("Stale mask entry " + std::to_string(a) + " beyond the action grid");
    mask[a] = 0;
  }
}

std::size_t GameBatch::observe(const ObservationBuffers& out, bool sorted) {
  listed_ = false;  // until every list is written
  listed_sorted_ = sorted;
  const bool stale = out.action_mask != nullptr && out.stale_offsets != nullptr;
  if (stale)
    for (std::size_t i = size(); i < out.stale_games; ++i) clear_stale(i, out);
  for_ranges([&](std::size_t t, std::size_t first, std::size_t last) {
    std::vector<std::uint16_t>& actions = scratch_moves();
    std::vector<std::uint16_t>& legal = legal_[t];
    legal.clear();
    for (std::size_t i = first; i < last; ++i) {
      const Game& game = slots_[i].game;
      const Observation obs = game.observe(game.current_agent);
      write_planes(obs, {out.observation + i * CELL_PLANE, out.corners + i * CELL_PLANE, out.blocked + i * CELL_PLANE,
                         out.pieces + i * PIECE_PLANE, out.done + i * AGENT_COUNT});
      out.current_agent[i] = static_cast<std::int64_t>(game.current_agent);
      game.observed_actions(obs, actions, sorted);
      counts_[i] = static_cast<std::int64_t>(actions.size());
      legal.insert(legal.end(), actions.begin(), actions.end());
      if (out.action_mask == nullptr) continue;
      if (stale && i < out.stale_games) clear_stale(i, out);
      std::uint8_t* mask = out.action_mask + i * NUM_ACTIONS;
      for (const std::uint16_t a : actions) mask[a] = 1;
    }
  });
  listed_ = true;
  std::int64_t total = 0;
  out.legal_offsets[0] = 0;
  for (std::size_t i = 0; i < size(); ++i) out.legal_offsets[i + 1] = total += counts_[i];
  return static_cast<std::size_t>(total);
}

void GameBatch::write_legal_actions(std::int64_t* out) {
  // Each task's lists follow one another, so task t's block starts where the
  // lists of the games before its first end.
  std::vector<std::size_t> starts(task_count() + 1, 0);
  for (std::size_t t = 0; t < task_count(); ++t) starts[t + 1] = starts[t] + legal_[t].size();
  for_ranges(
      [&](std::size_t t, std::size_t, std::size_t) { std::copy(legal_[t].begin(), legal_[t].end(), out + starts[t]); });
}

void GameBatch::write_row(std::size_t i, const Game& game, bool over, const StepBuffers& out) const {
  const Scores scores = game.scores();
  if (out.terminated != nullptr) out.terminated[i] = over;
  if (out.scores != nullptr)
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) out.scores[i * AGENT_COUNT + a] = scores[a];
  if (out.rewards != nullptr) {
    const Rewards rewards = over ? outcome_from_scores(scores, mode_) : Rewards{};
    std::copy(rewards.begin(), rewards.end(), out.rewards + i * AGENT_COUNT);
  }
  if (out.final_records != nullptr) {
    std::uint8_t* record = out.final_records + i * RECORD_SIZE;
    if (over) {
      const Record bytes = game.to_bytes();
      std::memcpy(record, bytes.data(), RECORD_SIZE);
    } else {
      std::memset(record, 0, RECORD_SIZE);
    }
  }
}

void GameBatch::finish(std::size_t i, const StepBuffers& out) {
  Game& game = slots_[i].game;
  pass_done(game);
  const bool over = game.is_over();
  write_row(i, game, over, out);
  if (over) game = Game::fresh();
}

std::optional<Refusal> GameBatch::check_actions(std::span<const std::int64_t> actions,
                                                std::span<const std::uint8_t> playing) {
  if (actions.size() != size()) throw InternalError("Actions for " + std::to_string(actions.size()) + " games");
  // Right after an observe the games' legal lists are at hand, and an action is
  // legal when its list holds it; otherwise the rules decide.
  const ActionSet& set = ActionSet::get();
  for_ranges([&](std::size_t t, std::size_t first, std::size_t last) {
    refused_[t] = size();
    const std::uint16_t* listed = legal_[t].data();
    for (std::size_t i = first; i < last; ++i) {
      const std::uint16_t* end = listed + (listed_ ? counts_[i] : 0);
      if (!playing.empty() && !playing[i]) {
        listed = end;
        continue;
      }
      const std::int64_t a = actions[i];
      const Game& game = slots_[i].game;
      std::optional<std::uint16_t> placement;
      if (a >= 0 && a < static_cast<std::int64_t>(NUM_ACTIONS)) {
        if (listed_) {
          const auto action = static_cast<std::uint16_t>(a);
          if (listed_sorted_ ? std::binary_search(listed, end, action) : std::find(listed, end, action) != end)
            placement = set.agent_maps[game.current_agent][*set.grid_to_action[static_cast<std::size_t>(a)]];
        } else {
          placement = game.legal_placement(static_cast<std::size_t>(a));
        }
      }
      listed = end;
      if (!placement) {
        refused_[t] = i;
        return;
      }
      placements_[i] = *placement;
    }
  });
  const std::size_t first_refused = *std::min_element(refused_.begin(), refused_.end());
  if (first_refused == size()) return std::nullopt;
  const std::int64_t a = actions[first_refused];
  return Refusal{first_refused, a < 0 || a >= static_cast<std::int64_t>(NUM_ACTIONS)};
}

std::optional<Refusal> GameBatch::step(std::span<const std::int64_t> actions, const StepBuffers& out) {
  // Every action is checked before any game changes, so a refused step changes nothing.
  if (auto refused = check_actions(actions, {})) return refused;
  listed_ = false;
  for_ranges([&](std::size_t, std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      slots_[i].game.place(placements_[i]);
      finish(i, out);
    }
  });
  return std::nullopt;
}

void GameBatch::place_all(std::span<const std::uint16_t> placements, const StepBuffers& out) {
  if (placements.size() != size())
    throw InternalError("Placements for " + std::to_string(placements.size()) + " games");
  listed_ = false;
  // Placing and passing allocate nothing, so this cannot fail midway.
  for_ranges([&](std::size_t, std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      slots_[i].game.place(placements[i]);
      finish(i, out);
    }
  });
}

void GameBatch::step_random(const StepBuffers& out) {
  listed_ = false;
  for_ranges([&](std::size_t, std::size_t first, std::size_t last) {
    std::vector<std::uint16_t>& moves = scratch_moves();
    for (std::size_t i = first; i < last; ++i) {
      Slot& slot = slots_[i];
      slot.game.legal_moves(slot.game.current_agent, moves);
      if (moves.empty()) throw InternalError("Game " + std::to_string(i) + " has an agent to move without a move");
      slot.game.place(moves[slot.stream.below(moves.size())]);
      finish(i, out);
    }
  });
}

bool GameBatch::play_random(std::size_t games, Scores* out, const std::function<Between()>& between) {
  // The games as they were, and the rounds' scratch, before any game changes.
  std::vector<Slot> before = slots_;
  std::vector<std::uint8_t> terminated(size());
  std::vector<std::int32_t> scores(size() * AGENT_COUNT);
  std::size_t written = 0;
  bool aside = false;  // whether slots_ holds the games as before, `before` the rounds played
  try {
    while (written < games) {
      // Swapping the rounds played aside and back costs nothing, however many games.
      slots_.swap(before);
      aside = true;
      const Between next = between();
      if (next == Between::stop) return false;
      if (next == Between::start_again) {
        before = slots_;
        terminated.resize(size());
        scores.resize(size() * AGENT_COUNT);
        written = 0;
      } else {
        slots_.swap(before);
      }
      aside = false;
      step_random({nullptr, terminated.data(), scores.data(), nullptr});
      for (std::size_t i = 0; i < size() && written < games; ++i) {
        if (!terminated[i]) continue;
        Scores& row = out[written++];
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) row[a] = static_cast<std::int16_t>(scores[i * AGENT_COUNT + a]);
      }
    }
  } catch (...) {
    if (!aside) slots_.swap(before);
    listed_ = false;
    throw;
  }
  return true;
}

std::optional<RecordRefusal> GameBatch::load(std::span<const Record> records) {
  const std::size_t n = records.size();
  if (n == 0) throw InternalError("A load of no records");
  // Everything the new size needs is made before any game changes, so that a load
  // refused (or short of memory) leaves the batch as it was. More games may keep
  // more threads busy: a pool that cannot grow keeps the threads it has.
  pool_.grow(std::min(threads_, n));
  const std::size_t chunk = chunk_for(n, pool_.size()), tasks = (n + chunk - 1) / chunk;
  std::vector<Slot> slots;
  slots.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    slots.push_back(i < size() ? slots_[i] : Slot{Game::fresh(), Stream::of(seed_, i)});
  std::vector<std::optional<RecordRefusal>> refused(tasks);
  pool_.run(tasks, [&](std::size_t t) {
    for (std::size_t i = t * chunk; i < std::min(n, (t + 1) * chunk) && !refused[t]; ++i) {
      const std::optional<Game> game = Game::from_bytes(records[i]);
      if (!game) {
        refused[t] = RecordRefusal{i, false};
      } else {
        slots[i].game = *game;
        pass_done(slots[i].game);
        if (slots[i].game.is_over()) refused[t] = RecordRefusal{i, true};
      }
    }
  });
  for (const auto& r : refused)
    if (r) return r;
  if (n != size()) {
    std::vector<std::vector<std::uint16_t>> legal(tasks);
    std::vector<std::int64_t> counts(n);
    std::vector<std::uint16_t> placements(n);
    std::vector<std::size_t> refused_games(tasks);
    legal_.swap(legal);
    counts_.swap(counts);
    placements_.swap(placements);
    refused_.swap(refused_games);
    chunk_ = chunk;
  }
  slots_.swap(slots);
  listed_ = false;
  return std::nullopt;
}

bool GameBatch::set_game(std::size_t i, const Game& game) {
  if (i >= size()) throw InternalError("Game " + std::to_string(i) + " beyond the batch");
  Game copy = game;
  pass_done(copy);
  if (copy.is_over()) return false;
  listed_ = false;
  slots_[i].game = copy;
  return true;
}

}  // namespace tegulo
