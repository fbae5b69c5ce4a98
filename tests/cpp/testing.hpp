#pragma once

// Helpers shared by the engine tests: building cell sets and positions by hand,
// and playing seeded random games.
#include <initializer_list>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "game/game.hpp"

namespace tegulo::testing {

inline Bitboard cells(std::initializer_list<std::pair<unsigned, unsigned>> rc) {
  Bitboard b;
  for (auto [r, c] : rc) b |= Bitboard::single(position(r, c));
  return b;
}

// The action index of orientation `piece` with its bounding box at (row, col).
constexpr std::size_t grid(std::size_t piece, std::size_t row, std::size_t col) {
  return piece * ANCHORS + row * BOARD_SIZE + col;
}

// Piece indices of some orientations, from the fixed table.
inline constexpr std::size_t I1 = 0, I2_ACROSS = 1, I2_DOWN = 2, V3_0 = 3, O4 = 13, X5 = 36, I5_DOWN = 90;

// Gives agent `a` the placed kinds (kind indices) and cells, as play would have.
inline void give(Game& game, std::size_t a, std::initializer_list<PieceType> kinds, const Bitboard& cells) {
  Agent& agent = game.agents[a];
  agent.cells |= cells;
  for (PieceType t : kinds) {
    agent.remaining &= ~(std::uint32_t{1} << t.kind_index());
    agent.placed += 1;
    agent.last_piece = t.code();
  }
}

// The legal placements of agent 0 to 3 as its move scan lists them: action
// indices in its own frame.
inline std::vector<std::size_t> legal_actions(const Game& game, std::size_t agent) {
  std::vector<std::uint16_t> dense;
  game.observed_moves(game.observe(agent), dense);
  std::vector<std::size_t> out;
  for (std::uint16_t d : dense) out.push_back(game.action_set->actions[d].grid_index);
  return out;
}

// The legal placements of the agent to move, as action indices in its frame.
inline std::vector<std::size_t> legal_actions(const Game& game) { return legal_actions(game, game.current_agent); }

// Plays a seeded game to the end, each agent picking uniformly among its legal
// placements; `seen(game, action)` hears of every position before its step.
template <class Seen>
Game random_game(std::uint64_t seed, Seen&& seen) {
  std::mt19937_64 rng(seed);
  Game game = Game::fresh();
  while (!game.is_over()) {
    const auto legal = legal_actions(game);
    std::optional<std::size_t> action;
    if (!legal.empty()) action = legal[rng() % legal.size()];
    seen(game, action);
    if (game.step(action)) throw std::logic_error("a listed placement was refused");
  }
  return game;
}

}  // namespace tegulo::testing
