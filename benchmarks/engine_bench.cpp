// Engine benchmarks. Run: build/<dir>/benchmarks/engine_bench --benchmark_repetitions=10
// --benchmark_report_aggregates_only=true and read the medians.
#include <benchmark/benchmark.h>

#include <vector>

#include "game/actions.hpp"
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

}  // namespace
}  // namespace tegulo
