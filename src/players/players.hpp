#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/streams.hpp"
#include "game/game.hpp"
#include "game/scores.hpp"

namespace tegulo {

class ThreadPool;

enum class PlayerKind : std::uint8_t { random, greedy, heuristic, mcts };

// How the heuristic scores a placement: its cells, the change in the number of
// the mover's attach cells (the diagonal cells its next pieces can start from),
// and the attach cells of the others it covers (counted once per agent that loses
// them). The defaults did at least as well as every neighbour in seat-rotated
// games against them (halving or doubling a weight, or dropping one).
struct HeuristicWeights {
  float size = 1.0f;
  float reach = 0.25f;
  float block = 0.25f;
};

// A built-in player and its parameters; those of the search are read by mcts only.
struct Player {
  PlayerKind kind = PlayerKind::random;
  std::uint32_t simulations = 1000;
  float exploration = 1.0f;                 // the UCT constant
  PlayerKind playout = PlayerKind::greedy;  // who plays the playouts: random, greedy or heuristic
  std::uint32_t trees = 1;                  // independent trees, their visits added at the root
  std::uint32_t width = 10;                 // children per node: the heuristic's best placements; 0 for all
  RewardMode reward = RewardMode::rank;     // what the search maximises
  HeuristicWeights weights{};
  // The most memory a search's trees may hold together, in MiB: a search that
  // would grow past it stops with LimitReached rather than exhaust the machine.
  std::uint32_t memory_mb = 1024;
};

// The sums of the rewards of a search node's visits, by absolute agent. In
// double: a float sum stops growing by a reward of 1/3 once it passes about 2**22,
// so the means of a long search would drift; a double keeps them to 2**50.
using RewardSums = std::array<double, AGENT_COUNT>;

inline void add_rewards(RewardSums& sums, const Rewards& rewards) {
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) sums[a] += rewards[a];
}

// A player's decision: the placement (an absolute dense index) and the number of
// legal placements it chose from.
struct Choice {
  std::uint16_t placement;
  std::uint32_t legal_count;
};

// What `player` plays for the game's agent to move, which must have a legal
// placement, drawing from `stream` alone: the same game, player and stream state
// give the same choice. A search may spread its trees over `pool`. Without
// `count`, the legal count may be left 0 where finding it costs more.
Choice choose(const Game& game, const Player& player, Stream& stream, ThreadPool* pool = nullptr, bool count = true);

// The heuristic's score of each of `moves`, placements legal for the game's agent
// to move, into `scores`.
void score_placements(const Game& game, const HeuristicWeights& weights, std::span<const std::uint16_t> moves,
                      float* scores);

// The choices of the cheap players, for the search's playouts as well.
Choice choose_random(const Game& game, Stream& stream);
// Without `count`, the number of legal placements is not found (0), which spares
// listing the smaller kinds.
Choice choose_greedy(const Game& game, Stream& stream, bool count);
Choice choose_heuristic(const Game& game, const HeuristicWeights& weights, Stream& stream);

}  // namespace tegulo
