// Scores and the three reward modes, bit for bit.
#include "game/scores.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

TEST(Scores, CountHeldCellsOrTheAllPlacedBonus) {
  Game game = Game::fresh();
  EXPECT_EQ(game.scores(), (Scores{-89, -89, -89, -89}));
  give(game, 0, {PieceType::I1, PieceType::X}, Bitboard());
  game.agents[1].remaining = 0;
  game.agents[1].last_piece = PieceType::I1;  // all placed, the monomino last
  game.agents[2].remaining = 0;
  game.agents[2].last_piece = PieceType::I5;  // all placed, something else last
  game.agents[3].remaining = 1;               // only the monomino left
  game.agents[3].last_piece = PieceType::I1;  // (a code is only the latest kind)
  EXPECT_EQ(game.scores(), (Scores{-83, 20, 15, -1}));
}

TEST(RewardModes, OnlyTheExactNames) {
  EXPECT_EQ(reward_mode_from_text("score"), RewardMode::score);
  EXPECT_EQ(reward_mode_from_text("win_share"), RewardMode::win_share);
  EXPECT_EQ(reward_mode_from_text("rank"), RewardMode::rank);
  for (const char* other : {"Score", "RANK", " rank", "rank ", "", "bogus"}) EXPECT_FALSE(reward_mode_from_text(other));
}

TEST(Outcome, RankAndWinShareOfTiedGroups) {
  EXPECT_EQ(outcome_from_scores({-5, -5, -20, -30}, RewardMode::win_share), (Rewards{0.5f, 0.5f, 0.0f, 0.0f}));
  EXPECT_EQ(outcome_from_scores({-5, -5, -20, -30}, RewardMode::score), (Rewards{-5.0f, -5.0f, -20.0f, -30.0f}));
  const Rewards rank = outcome_from_scores({-5, -5, -20, -30}, RewardMode::rank);
  EXPECT_EQ(double(rank[0]), 0.8333333730697632);
  EXPECT_EQ(double(rank[1]), 0.8333333730697632);
  EXPECT_EQ(double(rank[2]), 0.3333333432674408);
  EXPECT_EQ(double(rank[3]), 0.0);
  EXPECT_EQ(outcome_from_scores({-7, -7, -7, -7}, RewardMode::rank), (Rewards{0.5f, 0.5f, 0.5f, 0.5f}));
  EXPECT_EQ(outcome_from_scores({-7, -7, -7, -7}, RewardMode::win_share), (Rewards{0.25f, 0.25f, 0.25f, 0.25f}));
  const Rewards mixed = outcome_from_scores({15, 20, -3, -3}, RewardMode::rank);
  EXPECT_EQ(double(mixed[0]), 0.6666666865348816);
  EXPECT_EQ(double(mixed[1]), 1.0);
  EXPECT_EQ(double(mixed[2]), 0.1666666716337204);
  EXPECT_EQ(double(mixed[3]), 0.1666666716337204);
}

// Every (better, tied) group shape against the table of exact values; the winner
// of a win share is never negative zero, nor is a loser's share.
TEST(Outcome, EveryRankValueBitForBit) {
  struct Case {
    Scores scores;
    std::size_t agent;
    double rank, share;
  };
  const Case cases[] = {
      {{9, 1, 2, 3}, 0, 1.0, 1.0},
      {{9, 9, 2, 3}, 0, 0.8333333730697632, 0.5},
      {{9, 9, 9, 3}, 0, 0.6666666865348816, 0.3333333432674408},
      {{9, 9, 9, 9}, 0, 0.5, 0.25},
      {{9, 5, 2, 3}, 1, 0.6666666865348816, 0.0},
      {{9, 5, 5, 3}, 1, 0.5, 0.0},
      {{9, 5, 5, 5}, 1, 0.3333333432674408, 0.0},
      {{9, 8, 5, 3}, 2, 0.3333333432674408, 0.0},
      {{9, 8, 5, 5}, 2, 0.1666666716337204, 0.0},
      {{9, 8, 7, 5}, 3, 0.0, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(double(outcome_from_scores(c.scores, RewardMode::rank)[c.agent]), c.rank);
    const float share = outcome_from_scores(c.scores, RewardMode::win_share)[c.agent];
    EXPECT_EQ(double(share), c.share);
    EXPECT_FALSE(std::signbit(share));
  }
}

}  // namespace
}  // namespace tegulo
