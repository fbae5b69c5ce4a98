#include "game/actions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "game/errors.hpp"

namespace tegulo {
namespace {

const ActionSet& set() { return ActionSet::get(); }

TEST(ActionSet, PlacementsAreInPieceRowColumnOrder) {
  const auto& a = set().actions;
  ASSERT_EQ(a.size(), 30433u);
  for (std::size_t i = 1; i < a.size(); ++i) EXPECT_LT(a[i - 1].grid_index, a[i].grid_index);
  EXPECT_EQ(a[0].grid_index, 0u);
  EXPECT_EQ(a[0].cells, Bitboard::single(0));
  EXPECT_EQ(a[400].grid_index, 400u);
  EXPECT_EQ(a[400].piece_type, PieceType(PieceType::I2));
  EXPECT_EQ(a[400].cells, Bitboard::single(0) | Bitboard::single(1));
  EXPECT_EQ(a[30432].grid_index, 36319u);
  EXPECT_EQ(a[30432].piece_type, PieceType(PieceType::I5));
}

TEST(ActionSet, GridTableDecodesEveryPlacement) {
  const auto& g = set().grid_to_action;
  ASSERT_EQ(g.size(), NUM_ACTIONS);
  EXPECT_EQ(std::count_if(g.begin(), g.end(), [](auto e) { return e.has_value(); }), 30433);
  EXPECT_EQ(g[0], 0u);
  EXPECT_FALSE(g[419]);    // horizontal I2 at (0, 19) runs off the board
  EXPECT_FALSE(g[36399]);  // vertical I5 at (19, 19)
  EXPECT_EQ(g[36319], 30432u);
  for (std::size_t i = 0; i < set().actions.size(); ++i) EXPECT_EQ(g[set().actions[i].grid_index], i);
}

TEST(ActionSet, AgentMapsTurnPlacementsClockwise) {
  const auto& s = set();
  EXPECT_EQ(s.agent_maps[1][0], 19);
  EXPECT_EQ(s.agent_maps[2][0], 399);
  EXPECT_EQ(s.agent_maps[3][0], 380);
  EXPECT_EQ(s.agent_maps[1][400], 799);
  EXPECT_EQ(s.actions[799].grid_index, 819u);
  const std::size_t n = s.actions.size();
  for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
    ASSERT_EQ(s.agent_maps[k].size(), n);
    const auto& inverse = s.agent_maps[(4 - k) % 4];
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint16_t j = s.agent_maps[k][i];
      ASSERT_EQ(inverse[j], i) << "agent " << k << " placement " << i;
      Bitboard turned = s.actions[i].cells;
      for (std::size_t q = 0; q < k; ++q) turned = turned.permute(ROTATE_CW);
      ASSERT_EQ(s.actions[j].cells, turned);
      ASSERT_EQ(s.actions[j].piece_type, s.actions[i].piece_type);
    }
  }
}

TEST(ActionSet, CoverListsListEachPlacementUnderEachOfItsCells) {
  const auto& s = set();
  ASSERT_EQ(s.cover_offsets.size(), COVER_KEYS + 1);
  EXPECT_EQ(s.cover_offsets[0], 0u);
  EXPECT_EQ(s.cover_offsets[COVER_KEYS], 137444u);
  EXPECT_EQ(s.cover.size(), 137444u);

  std::size_t longest = 0, entries = 0;
  for (unsigned cell = 0; cell < BOARD_SPAN; ++cell) {
    for (std::size_t kind = 0; kind < KIND_COUNT; ++kind) {
      const auto list = s.cover_list(cell, kind);
      longest = std::max(longest, list.size());
      EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
      if (cell % ROW_STRIDE == BOARD_SIZE) {
        EXPECT_TRUE(list.empty()) << "gap position " << cell;
      }
      for (std::uint16_t d : list) {
        ASSERT_TRUE(s.actions[d].cells.contains(cell));
        ASSERT_EQ(s.actions[d].piece_type.kind_index(), kind);
      }
      entries += list.size();
    }
  }
  std::size_t cells = 0;
  for (const Action& a : s.actions) cells += static_cast<std::size_t>(a.cells.count());
  EXPECT_EQ(entries, cells);
  EXPECT_EQ(longest, 40u);
}

TEST(ActionSet, CornerCellIsCoveredByOneAnchoredPlacementPerOrientation) {
  const auto& s = set();
  const auto i1 = s.cover_list(0, 0), i2 = s.cover_list(0, 1), x = s.cover_list(0, 10);
  EXPECT_EQ(std::vector<std::uint16_t>(i1.begin(), i1.end()), (std::vector<std::uint16_t>{0}));
  EXPECT_EQ(std::vector<std::uint16_t>(i2.begin(), i2.end()), (std::vector<std::uint16_t>{400, 780}));
  EXPECT_TRUE(x.empty());

  std::set<std::size_t> at_corner, expected;
  for (std::size_t kind = 0; kind < KIND_COUNT; ++kind)
    for (std::uint16_t d : s.cover_list(0, kind)) at_corner.insert(s.actions[d].grid_index);
  const auto pieces = generate();
  for (std::size_t k = 0; k < pieces.size(); ++k)
    if (pieces[k].shape().contains(0)) expected.insert(k * ANCHORS);
  EXPECT_EQ(at_corner.size(), 58u);
  EXPECT_EQ(at_corner, expected);
}

TEST(ActionSet, GridMaskMarksTheListedPlacements) {
  const auto& s = set();
  const auto empty = s.grid_mask({});
  ASSERT_EQ(empty.size(), NUM_ACTIONS);
  EXPECT_EQ(std::accumulate(empty.begin(), empty.end(), 0), 0);

  const std::vector<std::uint16_t> dense = {0, 400, 400, 30432};
  const auto mask = s.grid_mask(dense);
  EXPECT_EQ(std::accumulate(mask.begin(), mask.end(), 0), 3);
  EXPECT_EQ(mask[0], 1);
  EXPECT_EQ(mask[400], 1);
  EXPECT_EQ(mask[36319], 1);

  const std::vector<std::uint16_t> beyond = {30433};
  EXPECT_THROW((void)s.grid_mask(beyond), InternalError);
}

TEST(ActionSet, ConcurrentFirstUseSharesOneInstance) {
  // CTest runs each test in a process of its own, so these threads race for the
  // first build; all must come back with the one instance.
  std::vector<const ActionSet*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &ActionSet::get(); });
  for (auto& t : threads) t.join();
  for (const ActionSet* p : seen) EXPECT_EQ(p, &ActionSet::get());
}

}  // namespace
}  // namespace tegulo
