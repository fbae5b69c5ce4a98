// Engine benchmarks. Run:
//   build/<dir>/benchmarks/engine_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// and read the medians.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "game/actions.hpp"
#include "game/game.hpp"
#include "game/pieces.hpp"

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

}  // namespace
}  // namespace tegulo
