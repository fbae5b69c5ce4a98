// Random-play conformance: seeded games between random agents, with the record's
// invariants, the state record, the move scan, the done flags and the observation
// checked against independent computations after every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <random>
#include <set>
#include <vector>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;
using Grid = std::array<std::array<int, 20>, 20>;

constexpr int GAMES = 12;

// The absolute placements agent `a` may make, found cell by cell on a 20 x 20
// grid from the rules as stated, without masks, neighbour sets or cover lists.
std::set<std::uint16_t> legal_by_cells(const Game& game, std::size_t a) {
  Grid owner{};
  for (auto& row : owner) row.fill(-1);
  for (std::size_t i = 0; i < 4; ++i)
    for (unsigned p : game.agents[i].cells.ones()) owner[p / 21][p % 21] = static_cast<int>(i);
  auto own_at = [&](int r, int c) { return r >= 0 && r < 20 && c >= 0 && c < 20 && owner[r][c] == int(a); };
  const bool first = game.agents[a].placed == 0;
  const int corner_r = a == 2 || a == 3 ? 19 : 0, corner_c = a == 1 || a == 2 ? 19 : 0;

  std::set<std::uint16_t> legal;
  const auto& actions = game.action_set->actions;
  for (std::size_t n = 0; n < actions.size(); ++n) {
    if ((game.agents[a].remaining >> actions[n].piece_type.kind_index() & 1) == 0) continue;
    bool fits = true, touches = false;
    for (unsigned p : actions[n].cells.ones()) {
      const int r = int(p / 21), c = int(p % 21);
      fits =
          fits && owner[r][c] < 0 && !own_at(r - 1, c) && !own_at(r + 1, c) && !own_at(r, c - 1) && !own_at(r, c + 1);
      touches = touches ||
                (first ? r == corner_r && c == corner_c
                       : own_at(r - 1, c - 1) || own_at(r - 1, c + 1) || own_at(r + 1, c - 1) || own_at(r + 1, c + 1));
    }
    if (fits && touches) legal.insert(static_cast<std::uint16_t>(n));
  }
  return legal;
}

// The position turned p quarter turns counter-clockwise, agent a renumbered (a - p) mod 4.
Game turned_and_renumbered(const Game& game, std::size_t p) {
  Game t = game;
  for (std::size_t a = 0; a < 4; ++a) {
    Agent agent = game.agents[a];
    for (std::size_t q = 0; q < p; ++q) agent.cells = agent.cells.permute(ROTATE_CCW);
    t.agents[(a + 4 - p) % 4] = agent;
  }
  return t;
}

void expect_record_invariants(const Game& game) {
  Bitboard seen;
  for (const Agent& a : game.agents) {
    EXPECT_EQ(a.placed, 21 - std::popcount(a.remaining));
    EXPECT_EQ(a.remaining & ~ALL_KINDS, 0u);
    EXPECT_EQ(a.last_piece == 0, a.placed == 0);
    EXPECT_TRUE((a.cells - BOARD_MASK).empty());
    EXPECT_TRUE((a.cells & seen).empty()) << "agents overlap";
    int held = 0;
    for (std::size_t k = 0; k < KIND_COUNT; ++k)
      if ((a.remaining >> k & 1) == 0) held += int(PieceType::ALL[k].cell_count());
    EXPECT_EQ(a.cells.count(), held) << "cells do not match the placed kinds";
    seen |= a.cells;
  }
  EXPECT_LT(game.current_agent, 4u);
}

TEST(Conformance, RandomGamesKeepEveryInvariant) {
  std::mt19937_64 sample(99);
  int positions = 0;
  for (int g = 0; g < GAMES; ++g) {
    std::array<bool, 4> was_done{};
    const Game end = random_game(1000 + g, [&](const Game& game, std::optional<std::size_t>) {
      ++positions;
      expect_record_invariants(game);
      EXPECT_EQ(Game::from_bytes(game.to_bytes()), game) << "the state record loses something";
      const std::size_t mover = game.current_agent;
      for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_TRUE(game.agents[a].done || !was_done[a]) << "done flag cleared";
        was_done[a] = game.agents[a].done;
        EXPECT_EQ(game.agents[a].done, legal_by_cells(game, a).empty()) << "agent " << a;
      }

      // The scan lists each legal placement once, in the mover's frame.
      const Observation obs = game.observe(mover);
      std::vector<std::uint16_t> moves;
      game.observed_moves(obs, moves);
      std::set<std::uint16_t> absolute;
      for (std::uint16_t d : moves) absolute.insert(game.action_set->agent_maps[mover][d]);
      EXPECT_EQ(absolute.size(), moves.size()) << "a placement listed twice";
      EXPECT_EQ(absolute, legal_by_cells(game, mover));

      // step accepts every listed index and nothing else (all indices now and
      // then, a sample of the others otherwise).
      std::set<std::size_t> listed;
      for (std::uint16_t d : moves) listed.insert(game.action_set->actions[d].grid_index);
      for (std::size_t action : listed) {
        Game copy = game;
        EXPECT_FALSE(copy.step(action));
        EXPECT_EQ(copy.ply(), game.ply() + 1);
      }
      const bool all = positions % 16 == 0;
      for (std::size_t k = 0; k < (all ? NUM_ACTIONS : 64); ++k) {
        const std::size_t action = all ? k : sample() % NUM_ACTIONS;
        if (listed.count(action) != 0 || game.agents[mover].done) continue;
        Game copy = game;
        EXPECT_TRUE(copy.step(action));
        EXPECT_EQ(copy, game);
      }

      // Observing agent p is observing agent 0 of the turned, renumbered position.
      for (std::size_t p = 1; p < 4; ++p) {
        const Game turned = turned_and_renumbered(game, p);
        EXPECT_EQ(game.observe(p), turned.observe(0));
      }
      for (std::size_t s = 0; s < 4; ++s) EXPECT_TRUE((obs.corners[s] & obs.blocked[s]).empty());
    });
    EXPECT_TRUE(end.is_over());
    Game passing = end;
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(passing.step(std::nullopt));
    EXPECT_EQ(passing, end);
  }
  EXPECT_GT(positions, GAMES * 40);
}

}  // namespace
}  // namespace tegulo
