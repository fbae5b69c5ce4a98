// Engine benchmarks. Run:
//   build/<dir>/benchmarks/engine_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// and read the medians.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "batch/game_batch.hpp"
#include "batch/thread_pool.hpp"
#include "game/actions.hpp"
#include "game/game.hpp"
#include "game/pieces.hpp"
#include "players/batch_players.hpp"
#include "players/mcts.hpp"

namespace tegulo {
namespace {

void catalogue_build(benchmark::State& state) {
  for (auto _ : state) {
    ActionSet set(generate());
    benchmark::DoNotOptimize(set.cover.data());
  }
}
BENCHMARK(catalogue_build)->Unit(benchmark::kMillisecond);

// One action mask of the 58 opening placements, as an observation of a fresh game builds it.
void grid_mask(benchmark::State& state) {
  const ActionSet& set = ActionSet::get();
  std::vector<std::uint16_t> dense;
  for (std::size_t kind = 0; kind < KIND_COUNT; ++kind)
    for (std::uint16_t d : set.cover_list(0, kind)) dense.push_back(d);
  for (auto _ : state) {
    auto mask = set.grid_mask(dense);
    benchmark::DoNotOptimize(mask.data());
  }
}
BENCHMARK(grid_mask)->Unit(benchmark::kMicrosecond);

// Plays one game to the end, each agent picking uniformly among its legal
// placements; calls `seen(game, action)` before every step.
template <class Seen>
void random_game(std::mt19937_64& rng, std::vector<std::uint16_t>& moves, Seen&& seen) {
  Game game = Game::fresh();
  while (!game.is_over()) {
    game.observed_moves(game.observe(game.current_agent), moves);
    std::optional<std::size_t> action;
    if (!moves.empty()) action = game.action_set->actions[moves[rng() % moves.size()]].grid_index;
    seen(game, action);
    if (game.step(action)) std::abort();
  }
}

// Positions of seeded random games, each with the action that was played there.
struct Positions {
  std::vector<Game> games;
  std::vector<std::optional<std::size_t>> actions;

  Positions() {
    std::mt19937_64 rng(2024);
    std::vector<std::uint16_t> moves;
    for (int g = 0; g < 200; ++g)
      random_game(rng, moves, [&](const Game& game, std::optional<std::size_t> action) {
        games.push_back(game);
        actions.push_back(action);
      });
  }
};

const Positions& positions() {
  static const Positions p;
  return p;
}

// A step, the done refresh included, over the positions of random games (the
// copy of the position it starts from is measured too; it is some 300 bytes).
void step(benchmark::State& state) {
  const Positions& p = positions();
  std::size_t i = 0;
  for (auto _ : state) {
    Game game = p.games[i];
    benchmark::DoNotOptimize(game.step(p.actions[i]));
    benchmark::DoNotOptimize(game);
    i = i + 1 == p.games.size() ? 0 : i + 1;
  }
}
BENCHMARK(step);

// The observation of the agent to move and the scan of its legal placements.
void observe_and_moves(benchmark::State& state) {
  const Positions& p = positions();
  std::vector<std::uint16_t> moves;
  moves.reserve(4096);
  std::size_t i = 0;
  for (auto _ : state) {
    const Game& game = p.games[i];
    const Observation obs = game.observe(game.current_agent);
    game.observed_moves(obs, moves);
    benchmark::DoNotOptimize(moves.data());
    i = i + 1 == p.games.size() ? 0 : i + 1;
  }
}
BENCHMARK(observe_and_moves);

// The same with the legal actions as sorted grid indices, as observe and the
// batch list them.
void observe_and_actions(benchmark::State& state) {
  const Positions& p = positions();
  std::vector<std::uint16_t> actions;
  actions.reserve(4096);
  std::size_t i = 0;
  for (auto _ : state) {
    const Game& game = p.games[i];
    const Observation obs = game.observe(game.current_agent);
    game.observed_actions(obs, actions);
    benchmark::DoNotOptimize(actions.data());
    i = i + 1 == p.games.size() ? 0 : i + 1;
  }
}
BENCHMARK(observe_and_actions);

// The same unsorted, in the scan's order, as observe(sorted=False) lists them.
void observe_and_unsorted_actions(benchmark::State& state) {
  const Positions& p = positions();
  std::vector<std::uint16_t> actions;
  actions.reserve(4096);
  std::size_t i = 0;
  for (auto _ : state) {
    const Game& game = p.games[i];
    const Observation obs = game.observe(game.current_agent);
    game.observed_actions(obs, actions, false);
    benchmark::DoNotOptimize(actions.data());
    i = i + 1 == p.games.size() ? 0 : i + 1;
  }
}
BENCHMARK(observe_and_unsorted_actions);

// The observation of the agent to move alone.
void observe(benchmark::State& state) {
  const Positions& p = positions();
  std::size_t i = 0;
  for (auto _ : state) {
    const Game& game = p.games[i];
    benchmark::DoNotOptimize(game.observe(game.current_agent));
    i = i + 1 == p.games.size() ? 0 : i + 1;
  }
}
BENCHMARK(observe);

// Whole games between uniformly random agents; items per second are games per second.
void random_games(benchmark::State& state) {
  std::mt19937_64 rng(7);
  std::vector<std::uint16_t> moves;
  moves.reserve(4096);
  for (auto _ : state) random_game(rng, moves, [](const Game&, std::optional<std::size_t>) {});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(random_games)->Unit(benchmark::kMicrosecond);

// Buffers for every output of a batch, allocated once.
struct BatchBuffers {
  explicit BatchBuffers(std::size_t n)
      : planes(3 * n * CELL_PLANE),
        pieces(n * PIECE_PLANE),
        done(n * AGENT_COUNT),
        current(n),
        offsets(n + 1),
        legal(n * 2048),
        mask(n * NUM_ACTIONS),
        rewards(n * AGENT_COUNT),
        terminated(n),
        scores(n * AGENT_COUNT),
        records(n * RECORD_SIZE) {}
  ObservationBuffers observation(std::size_t n, bool with_mask) {
    return {planes.data(),
            planes.data() + n * CELL_PLANE,
            planes.data() + 2 * n * CELL_PLANE,
            pieces.data(),
            done.data(),
            current.data(),
            offsets.data(),
            with_mask ? mask.data() : nullptr,
            with_mask && masked ? offsets_before.data() : nullptr,
            with_mask && masked ? legal.data() : nullptr,
            with_mask && masked ? n : 0};
  }
  StepBuffers step() { return {rewards.data(), terminated.data(), scores.data(), records.data()}; }

  std::vector<std::uint8_t> planes, pieces, done;
  std::vector<std::int64_t> current, offsets, offsets_before, legal;
  std::vector<std::uint8_t> mask;
  std::vector<float> rewards;
  std::vector<std::uint8_t> terminated;
  std::vector<std::int32_t> scores;
  std::vector<std::uint8_t> records;
  bool masked = false;
};

// The batched training loop without Python: observe every game (planes and
// legal lists, sorted or not, and the mask if asked), choose a random listed
// action per game, step them all. Items per second are game steps per second.
void batch_loop(benchmark::State& state, bool with_mask, bool sorted = true) {
  const auto n = static_cast<std::size_t>(state.range(0)), threads = static_cast<std::size_t>(state.range(1));
  GameBatch batch(n, RewardMode::rank, threads, 1);
  BatchBuffers buffers(n);
  std::vector<std::int64_t> actions(n);
  std::mt19937_64 rng(5);
  for (auto _ : state) {
    buffers.offsets_before = buffers.offsets;
    const std::size_t total = batch.observe(buffers.observation(n, with_mask), sorted);
    if (total > buffers.legal.size()) std::abort();
    batch.write_legal_actions(buffers.legal.data());
    buffers.masked = with_mask;
    for (std::size_t i = 0; i < n; ++i) {
      const auto first = buffers.offsets[i], count = buffers.offsets[i + 1] - first;
      actions[i] = buffers.legal[static_cast<std::size_t>(first + static_cast<std::int64_t>(rng() % count))];
    }
    if (batch.step(actions, buffers.step())) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
void batch_observe_step(benchmark::State& state) { batch_loop(state, false, state.range(2) != 0); }
void batch_observe_mask_step(benchmark::State& state) { batch_loop(state, true); }
// Arguments: games, threads, sorted lists (1) or not (0).
BENCHMARK(batch_observe_step)->ArgsProduct({{256, 1024}, {1, 2}, {1, 0}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(batch_observe_mask_step)->Args({1024, 2})->Unit(benchmark::kMillisecond)->UseRealTime();

// Random games played in the batch; items per second are games per second.
void batch_random_games(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0)), threads = static_cast<std::size_t>(state.range(1));
  GameBatch batch(n, RewardMode::rank, threads, 1);
  std::vector<Scores> scores(n);
  for (auto _ : state) batch.play_random(n, scores.data(), [] { return GameBatch::Between::go_on; });
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(batch_random_games)->ArgsProduct({{1024}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

// Whole games of a built-in player in every seat, played in the batch as
// step_players plays them; items per second are games per second.
void batch_player_games(benchmark::State& state, PlayerKind kind) {
  const auto threads = static_cast<std::size_t>(state.range(0));
  GameBatch batch(512, RewardMode::rank, threads, 1);
  Player player;
  player.kind = kind;
  const std::vector<Player> players = {player};
  std::vector<std::uint16_t> placements(512);
  std::vector<std::uint32_t> counts(512);
  std::vector<std::uint8_t> terminated(512);
  std::int64_t games = 0;
  for (auto _ : state) {
    choose_all(batch, players, {}, placements.data(), counts.data(), false);  // as step_players does
    batch.place_all(placements, {nullptr, terminated.data(), nullptr, nullptr});
    for (const std::uint8_t t : terminated) games += t;
  }
  state.SetItemsProcessed(games);
}
void batch_random_player(benchmark::State& state) { batch_player_games(state, PlayerKind::random); }
void batch_greedy_player(benchmark::State& state) { batch_player_games(state, PlayerKind::greedy); }
void batch_heuristic_player(benchmark::State& state) { batch_player_games(state, PlayerKind::heuristic); }
BENCHMARK(batch_random_player)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(batch_greedy_player)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(batch_heuristic_player)->Arg(1)->Arg(2)->UseRealTime();

// The search at the opening: items per second are simulations per second. Arguments:
// the playout player, and the trees (each on a thread of its own).
void search_opening(benchmark::State& state) {
  Player player;
  player.kind = PlayerKind::mcts;
  player.simulations = 1000;
  player.playout = static_cast<PlayerKind>(state.range(0));
  player.trees = static_cast<std::uint32_t>(state.range(1));
  ThreadPool pool(player.trees);
  Stream stream = Stream::of(1, 0);
  const Game opening = Game::fresh();
  for (auto _ : state) benchmark::DoNotOptimize(search(opening, player, stream, &pool));
  state.SetItemsProcessed(state.iterations() * player.simulations);
}
BENCHMARK(search_opening)
    ->Args({static_cast<int>(PlayerKind::random), 1})
    ->Args({static_cast<int>(PlayerKind::greedy), 1})
    ->Args({static_cast<int>(PlayerKind::random), 2})
    ->Args({static_cast<int>(PlayerKind::greedy), 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tegulo
