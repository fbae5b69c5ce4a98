// Random-play conformance: seeded games between random agents, with the record's
// invariants, the state record, the move scan, the done flags and the observation
// checked against independent computations after every step.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <vector>

#include "game/game.hpp"
#include "invariants.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

constexpr int GAMES = 12;

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

TEST(Conformance, RandomGamesKeepEveryInvariant) {
  std::mt19937_64 sample(99);
  int positions = 0;
  for (int g = 0; g < GAMES; ++g) {
    const Game end = random_game(1000 + g, [&](const Game& game, std::optional<std::size_t>) {
      ++positions;
      EXPECT_EQ(broken_record_invariant(game), "");
      EXPECT_EQ(broken_round_trip(game), "");
      EXPECT_EQ(broken_done_flags(game), "");
      for (std::size_t a = 0; a < 4; ++a)
        EXPECT_EQ(game.agents[a].done, legal_by_cells(game, a).empty()) << "agent " << a;
      const std::size_t mover = game.current_agent;
      EXPECT_EQ(broken_move_scan(game, mover), "");

      // step accepts every listed index and nothing else, and a done agent passes
      // whatever the index (all indices now and then, a sample otherwise). Every
      // listed index is stepped, so the step the game goes on with is checked too.
      const std::vector<std::size_t> legal = legal_actions(game);
      const std::set<std::size_t> listed(legal.begin(), legal.end());
      for (std::size_t action : listed) {
        Game copy = game;
        const auto refusal = copy.step(action);
        EXPECT_EQ(broken_step(game, action, true, refusal, copy), "");
      }
      const bool all = positions % 16 == 0;
      for (std::size_t k = 0; k < (all ? NUM_ACTIONS : 64); ++k) {
        const std::size_t action = all ? k : sample() % NUM_ACTIONS;
        if (listed.count(action) != 0) continue;
        Game copy = game;
        const auto refusal = copy.step(action);
        EXPECT_EQ(broken_step(game, action, false, refusal, copy), "");
      }
      for (std::optional<std::size_t> action : {std::optional<std::size_t>(), std::optional(NUM_ACTIONS)}) {
        Game copy = game;
        const auto refusal = copy.step(action);
        EXPECT_EQ(broken_step(game, action, false, refusal, copy), "");
      }

      // Observing agent p is observing agent 0 of the turned, renumbered position.
      const Observation obs = game.observe(mover);
      for (std::size_t p = 1; p < 4; ++p) {
        const Game turned = turned_and_renumbered(game, p);
        EXPECT_EQ(game.observe(p), turned.observe(0));
      }
      for (std::size_t s = 0; s < 4; ++s) EXPECT_TRUE((obs.corners[s] & obs.blocked[s]).empty());
    });
    EXPECT_TRUE(end.is_over());
    Game passing = end;
    for (int i = 0; i < 4; ++i) {
      const Game before = passing;
      const auto refusal = passing.step(std::nullopt);
      EXPECT_EQ(broken_step(before, std::nullopt, false, refusal, passing), "");
    }
    EXPECT_EQ(passing, end);
  }
  EXPECT_GT(positions, GAMES * 40);
}

}  // namespace
}  // namespace tegulo
