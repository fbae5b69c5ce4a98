// The agent-relative observation: seats, turned frames, corner and blocked cells.
#include <gtest/gtest.h>

#include <random>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

TEST(Observe, FreshGameLooksTheSameToEveryone) {
  const Game game = Game::fresh();
  const Observation obs = game.observe(0);
  for (std::size_t s = 0; s < 4; ++s) {
    EXPECT_TRUE(obs.occupied[s].empty());
    EXPECT_TRUE(obs.blocked[s].empty());
    EXPECT_EQ(obs.corners[s], START_CORNERS[s]);
    EXPECT_EQ(obs.pieces[s], 0x1FFFFFu);
    EXPECT_FALSE(obs.done[s]);
  }
  EXPECT_EQ(START_CORNERS[1], cells({{0, 19}}));
  EXPECT_EQ(START_CORNERS[2], cells({{19, 19}}));
  EXPECT_EQ(START_CORNERS[3], cells({{19, 0}}));
  for (std::size_t p = 1; p < 4; ++p) EXPECT_EQ(game.observe(p), obs);
}

TEST(Observe, EachObserverSeesTheCornerMonominoInItsOwnFrame) {
  Game game = Game::fresh();
  ASSERT_FALSE(game.step(grid(I1, 0, 0)));

  const Observation own = game.observe(0);
  EXPECT_EQ(own.occupied[0], cells({{0, 0}}));
  EXPECT_EQ(own.corners[0], cells({{1, 1}}));
  EXPECT_EQ(own.blocked[0], cells({{0, 0}, {0, 1}, {1, 0}}));
  for (std::size_t s = 1; s < 4; ++s) {
    EXPECT_EQ(own.blocked[s], cells({{0, 0}}));
    EXPECT_EQ(own.corners[s], START_CORNERS[s]);
  }
  EXPECT_EQ(own.pieces[0], 0x1FFFFEu);

  const Observation next = game.observe(1);  // agent 0 sits in seat 3
  EXPECT_EQ(next.occupied[3], cells({{19, 0}}));
  EXPECT_EQ(next.corners[3], cells({{18, 1}}));
  EXPECT_EQ(next.blocked[3], cells({{19, 0}, {18, 0}, {19, 1}}));
  EXPECT_EQ(next.pieces[3], 0x1FFFFEu);
  EXPECT_EQ(game.observe(2).occupied[2], cells({{19, 19}}));
  EXPECT_EQ(game.observe(3).occupied[1], cells({{0, 19}}));
}

TEST(Observe, ATakenStartingCornerLeavesThatSeatNoCorner) {
  Game game = Game::fresh();
  give(game, 1, {PieceType::I1}, cells({{19, 19}}));
  EXPECT_TRUE(game.observe(0).corners[2].empty());
  EXPECT_TRUE(game.observe(2).corners[0].empty());
}

TEST(Observe, NeighboursDoNotWrapAroundTheBoard) {
  Game game = Game::fresh();
  give(game, 0, {PieceType::I1}, cells({{5, 19}}));
  give(game, 1, {PieceType::I2}, cells({{0, 7}, {0, 8}}));
  const Observation obs = game.observe(0);
  for (unsigned r = 0; r < 20; ++r) {
    EXPECT_FALSE(obs.corners[0].contains(position(r, 0)));
    EXPECT_FALSE(obs.blocked[0].contains(position(r, 0)));
  }
  EXPECT_EQ(obs.corners[0], cells({{4, 18}, {6, 18}}));
  EXPECT_EQ(obs.corners[1], cells({{1, 6}, {1, 9}}));
  for (unsigned c = 0; c < 20; ++c) EXPECT_FALSE(obs.blocked[1].contains(position(19, c)));
}

TEST(Observe, DoneAgentsStillHaveCornersAndBlockedCells) {
  Game game = Game::fresh();
  give(game, 3, {PieceType::I1}, cells({{19, 0}}));
  game.agents[3].done = true;
  const Observation obs = game.observe(3);
  EXPECT_TRUE(obs.done[0]);
  EXPECT_EQ(obs.corners[0], cells({{1, 1}}));  // (18, 1) of the board, turned
}

// Any cells at all, sparse to nearly full: each observer sees every agent's
// cells turned by permute with the quarter-turn tables, once per quarter.
TEST(Observe, EveryFrameTurnsCellsAsTheQuarterTurnTablesDo) {
  std::mt19937 rng(8);
  for (int round = 0; round < 50; ++round) {
    Game game = Game::fresh();
    const unsigned in_64 = static_cast<unsigned>(round % 16) * 4;
    for (unsigned p : BOARD_MASK.ones()) {
      if (rng() % 64 < in_64) game.agents[rng() % 4].cells.insert(p);
    }
    for (std::size_t observer = 0; observer < 4; ++observer) {
      const Observation obs = game.observe(observer);
      for (std::size_t seat = 0; seat < 4; ++seat) {
        Bitboard expected = game.agents[(observer + seat) % 4].cells;
        for (std::size_t q = 0; q < observer; ++q) expected = expected.permute(ROTATE_CCW);
        ASSERT_EQ(obs.occupied[seat], expected) << "round " << round << " observer " << observer << " seat " << seat;
      }
    }
  }
}

TEST(Observe, AnAgentIndexBeyondThreeIsAnInternalError) { EXPECT_THROW((void)Game::fresh().observe(4), InternalError); }

}  // namespace
}  // namespace tegulo
