// The game record, the placement rules, stepping and the done flags.
#include <gtest/gtest.h>

#include <algorithm>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

TEST(Game, FreshGameHasMadeNoMove) {
  const Game game = Game::fresh();
  EXPECT_EQ(game.ply(), 0u);
  EXPECT_EQ(game.current_agent, 0u);
  EXPECT_EQ(game.agent_count, 4u);
  EXPECT_EQ(game.action_set, &ActionSet::get());
  EXPECT_FALSE(game.is_over());
  for (const Agent& a : game.agents) {
    EXPECT_TRUE(a.cells.empty());
    EXPECT_EQ(a.remaining, 0x1FFFFFu);
    EXPECT_EQ(a.placed, 0);
    EXPECT_FALSE(a.last_piece_type());
    EXPECT_FALSE(a.done);
  }
}

TEST(Step, MonominoOnEachOwnCornerInTurn) {
  Game game = Game::fresh();
  for (std::size_t i = 0; i < 4; ++i) ASSERT_FALSE(game.step(grid(I1, 0, 0)));
  EXPECT_EQ(game.ply(), 4u);
  EXPECT_EQ(game.current_agent, 0u);
  const unsigned corners[] = {0, 19, 418, 399};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(game.agents[i].cells, Bitboard::single(corners[i]));
    EXPECT_EQ(game.agents[i].placed, 1);
    EXPECT_EQ(game.agents[i].last_piece_type(), PieceType(PieceType::I1));
    EXPECT_EQ(game.agents[i].remaining, 0x1FFFFEu);
  }
}

TEST(Step, FirstPieceMustCoverTheOwnCorner) {
  Game game = Game::fresh();
  const Game before = game;
  const auto refusal = game.step(grid(I1, 0, 1));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->message, "Action index not available");
  EXPECT_EQ(game, before);
  ASSERT_FALSE(game.step(grid(I2_ACROSS, 0, 0)));
  EXPECT_EQ(game.current_agent, 1u);
  // Agent 1's (0, 0) is (0, 19) of the board: its vertical domino there lies
  // along row 0 of the board, at columns 18 and 19.
  ASSERT_FALSE(game.step(grid(I2_DOWN, 0, 0)));
  EXPECT_EQ(game.agents[1].cells, cells({{0, 18}, {0, 19}}));
}

TEST(Step, EveryKindOfRefusalChangesNothing) {
  Game game = Game::fresh();
  give(game, 0, {PieceType::I1}, cells({{0, 0}}));
  game.update_done();
  const Game before = game;
  const std::optional<std::size_t> refused[] = {
      std::nullopt,          NUM_ACTIONS,
      std::size_t{1} << 40,  grid(I2_ACROSS, 0, 19),  // runs off the board: no placement there
      grid(I1, 1, 1),                                 // a kind already placed
      grid(I2_ACROSS, 0, 0),                          // overlaps the monomino
      grid(I2_ACROSS, 0, 1),                          // shares an edge with it
      grid(I2_ACROSS, 3, 3),                          // touches nothing of its own
  };
  for (const auto& action : refused) {
    const auto refusal = game.step(action);
    ASSERT_TRUE(refusal) << (action ? *action : 0);
    EXPECT_EQ(refusal->message, "Action index not available");
    EXPECT_EQ(game, before);
  }
  EXPECT_FALSE(game.step(grid(I2_ACROSS, 1, 1)));  // touches it at a corner only
}

TEST(Step, SharingAnEdgeWithAnotherAgentIsAllowed) {
  Game game = Game::fresh();
  give(game, 0, {PieceType::I1}, cells({{0, 0}}));
  give(game, 1, {PieceType::O}, cells({{1, 2}, {1, 3}, {2, 2}, {2, 3}}));
  EXPECT_FALSE(game.step(grid(I2_DOWN, 1, 1)));  // beside agent 1's square
  EXPECT_EQ(game.agents[0].cells, cells({{0, 0}, {1, 1}, {2, 1}}));
}

TEST(Step, DoneAgentsPassWhateverTheIndex) {
  Game game = Game::fresh();
  game.agents[0].done = true;
  const Game before = game;
  EXPECT_FALSE(game.step(std::nullopt));
  EXPECT_EQ(game.current_agent, 1u);
  game.current_agent = 0;
  EXPECT_EQ(game, before);
  EXPECT_FALSE(game.step(std::size_t{1000000}));
  EXPECT_EQ(game.current_agent, 1u);
  EXPECT_EQ(game.ply(), 0u);
}

TEST(Masks, FollowOwnCellsAndEveryoneElses) {
  Game game = Game::fresh();
  EXPECT_EQ(game.placement_masks(2).attach, cells({{19, 19}}));
  EXPECT_TRUE(game.placement_masks(2).forbidden.empty());
  give(game, 0, {PieceType::I1}, cells({{0, 0}}));
  give(game, 1, {PieceType::I1}, cells({{5, 5}}));
  const PlacementMasks masks = game.placement_masks(0);
  EXPECT_EQ(masks.forbidden, cells({{0, 0}, {0, 1}, {1, 0}, {5, 5}}));
  EXPECT_EQ(masks.attach, cells({{1, 1}}));
  EXPECT_TRUE((masks.attach & masks.forbidden).empty());
  EXPECT_THROW((void)game.placement_masks(4), InternalError);
}

TEST(Done, AgentWhoseCornerIsTakenIsDoneAtTheNextRefresh) {
  Game game = Game::fresh();
  give(game, 1, {PieceType::I1}, cells({{19, 19}}));  // agent 2's corner
  EXPECT_TRUE(game.placement_masks(2).attach.empty());
  EXPECT_FALSE(game.agents[2].done);
  ASSERT_FALSE(game.step(grid(I1, 0, 0)));
  EXPECT_TRUE(game.agents[2].done);
  EXPECT_FALSE(game.agents[0].done || game.agents[1].done || game.agents[3].done);
}

TEST(Done, AgentWithoutPiecesIsDoneAfterItsLastPlacement) {
  Game game = Game::fresh();
  // Agent 0 has placed everything but the monomino, far from its corner cell (1, 1).
  Agent& a = game.agents[0];
  a.cells = cells({{0, 0}});
  a.remaining = 1;  // I1 only
  a.placed = 20;
  a.last_piece = PieceType::F;
  game.update_done();
  ASSERT_FALSE(game.agents[0].done);
  ASSERT_FALSE(game.step(grid(I1, 1, 1)));
  EXPECT_EQ(game.agents[0].remaining, 0u);
  EXPECT_EQ(game.agents[0].placed, 21);
  EXPECT_TRUE(game.agents[0].done);
}

TEST(Done, FlagsNeverClearAndAGameOverOnlyPasses) {
  Game game = Game::fresh();
  for (Agent& a : game.agents) a.done = true;
  ASSERT_TRUE(game.is_over());
  game.update_done();  // a done agent stays done, even with moves on the board
  EXPECT_TRUE(game.is_over());
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_FALSE(game.step(grid(I1, 0, 0)));
    EXPECT_EQ(game.current_agent, (i + 1) % 4);
  }
  EXPECT_EQ(game.ply(), 0u);
}

TEST(Moves, FreshGameOffersTheSameFiftyEightOpeningsInEveryFrame) {
  const Game game = Game::fresh();
  std::vector<std::uint16_t> first;
  game.observed_moves(game.observe(0), first);
  ASSERT_EQ(first.size(), 58u);
  std::size_t last_kind = 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    const Action& a = game.action_set->actions[first[i]];
    EXPECT_EQ(a.grid_index % ANCHORS, 0u) << "anchored at (0, 0)";
    EXPECT_TRUE(a.cells.contains(0));
    EXPECT_GE(a.piece_type.kind_index(), last_kind);
    if (i > 0 && a.piece_type.kind_index() == last_kind) {
      EXPECT_LT(first[i - 1], first[i]);
    }
    last_kind = a.piece_type.kind_index();
  }
  for (std::size_t p = 1; p < 4; ++p) {
    std::vector<std::uint16_t> moves;
    game.observed_moves(game.observe(p), moves);
    EXPECT_EQ(moves, first);
  }
}

TEST(Moves, APlacementTouchingTwoAttachCellsIsListedOnce) {
  Game game = Game::fresh();
  give(game, 0, {PieceType::I1, PieceType::I2}, cells({{1, 1}, {1, 5}}));
  ASSERT_TRUE(game.placement_masks(0).attach.contains(position(2, 2)));
  ASSERT_TRUE(game.placement_masks(0).attach.contains(position(2, 4)));
  auto legal = legal_actions(game);
  constexpr std::size_t I3_ACROSS = 7;
  EXPECT_EQ(std::count(legal.begin(), legal.end(), grid(I3_ACROSS, 2, 2)), 1);
  std::sort(legal.begin(), legal.end());
  EXPECT_EQ(std::adjacent_find(legal.begin(), legal.end()), legal.end());
}

TEST(Moves, DoneAgentHasNoMoves) {
  Game game = Game::fresh();
  give(game, 1, {PieceType::I1}, cells({{19, 19}}));
  ASSERT_FALSE(game.step(grid(I1, 0, 0)));
  ASSERT_TRUE(game.agents[2].done);
  std::vector<std::uint16_t> moves;
  game.observed_moves(game.observe(2), moves);
  EXPECT_TRUE(moves.empty());
}

}  // namespace
}  // namespace tegulo
