#include "game/bitboard.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "game/errors.hpp"

namespace tegulo {
namespace {

Bitboard cells(std::initializer_list<std::pair<unsigned, unsigned>> rc) {
  Bitboard b;
  for (auto [r, c] : rc) b |= Bitboard::single(position(r, c));
  return b;
}

std::vector<unsigned> positions(const Bitboard& b) {
  std::vector<unsigned> out;
  for (unsigned p : b.ones()) out.push_back(p);
  return out;
}

Bitboard random_cells(std::mt19937& rng, int n) {
  Bitboard b;
  for (int i = 0; i < n; ++i) b |= Bitboard::single(position(rng() % 20, rng() % 20));
  return b;
}

TEST(Bitboard, BoardMaskMatchesItsChunkValues) {
  const Bitboard::Chunks expected = {0xBFFFFDFFFFEFFFFF, 0xDFFFFEFFFFF7FFFF, 0xEFFFFF7FFFFBFFFF, 0xF7FFFFBFFFFDFFFF,
                                     0xFBFFFFDFFFFEFFFF, 0xFDFFFFEFFFFF7FFF, 0x00000007FFFFBFFF, 0};
  EXPECT_EQ(BOARD_MASK.chunks(), expected);
  EXPECT_EQ(BOARD_MASK.count(), 400);
}

TEST(Bitboard, PositionsLieInTheirChunks) {
  EXPECT_EQ(Bitboard::single(0).chunks()[0], 1u);
  EXPECT_EQ(Bitboard::single(position(19, 19)).chunks()[6], std::uint64_t{1} << 34);
  EXPECT_FALSE(BOARD_MASK.contains(419));
  EXPECT_TRUE(BOARD_MASK.contains(418));
}

TEST(Bitboard, ContainsRefusesPositionsBeyondTheBoardSpan) {
  try {
    (void)Bitboard().contains(420);
    FAIL() << "contains(420) returned";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Bitboard index 420 out of range [0, 419]");
  }
}

TEST(Bitboard, ShiftsCarryAcrossWordsAndDropBitsAtTheEnds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    Bitboard b;
    std::set<unsigned> ps;
    for (int i = 0; i < 40; ++i) {
      const unsigned p = rng() % CAPACITY;
      b |= Bitboard::single(p);
      ps.insert(p);
    }
    for (unsigned n : {0u, 1u, 20u, 21u, 22u, 63u, 64u, 65u, 127u, 128u, 200u, 511u}) {
      Bitboard up, down;
      for (unsigned p : ps) {
        if (p + n < CAPACITY) up |= Bitboard::single(p + n);
        if (p >= n) down |= Bitboard::single(p - n);
      }
      EXPECT_EQ(b.shifted_up(n), up) << "up " << n;
      EXPECT_EQ(b.shifted_down(n), down) << "down " << n;
    }
  }
}

TEST(Bitboard, NeighbourSetsFollowTheGeometryOfEveryCell) {
  EXPECT_EQ(cells({{0, 19}}).edge_neighbours(), cells({{0, 18}, {1, 19}}));
  EXPECT_EQ(cells({{5, 0}}).corner_neighbours(), cells({{4, 1}, {6, 1}}));
  EXPECT_EQ(cells({{19, 19}}).corner_neighbours(), cells({{18, 18}}));
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 20; ++c) {
      Bitboard edge, corner;
      for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
          const int nr = r + dr, nc = c + dc;
          if ((dr == 0 && dc == 0) || nr < 0 || nr >= 20 || nc < 0 || nc >= 20) continue;
          (dr == 0 || dc == 0 ? edge : corner) |= Bitboard::single(position(nr, nc));
        }
      }
      const Bitboard one = Bitboard::single(position(r, c));
      EXPECT_EQ(one.edge_neighbours(), edge) << r << "," << c;
      EXPECT_EQ(one.corner_neighbours(), corner) << r << "," << c;
    }
  }
}

TEST(Bitboard, OnesYieldsPositionsInIncreasingOrder) {
  EXPECT_TRUE(positions(Bitboard()).empty());
  EXPECT_EQ(positions(cells({{19, 19}, {0, 0}, {6, 2}})), (std::vector<unsigned>{0, 128, 418}));
  EXPECT_EQ(positions(Bitboard::single(511)), (std::vector<unsigned>{511}));
}

TEST(Bitboard, OverlapLooksOnlyBelowPosition420) {
  EXPECT_TRUE(cells({{3, 4}}).overlaps(cells({{3, 4}, {5, 5}})));
  EXPECT_FALSE(cells({{3, 4}}).overlaps(cells({{3, 5}})));
  EXPECT_FALSE(Bitboard::single(420).overlaps(Bitboard::single(420)));
  EXPECT_FALSE(Bitboard::single(500).overlaps(Bitboard::single(500)));
  EXPECT_TRUE(Bitboard::single(419).overlaps(Bitboard::single(419)));
}

TEST(Bitboard, QuarterTurnTablesArePermutationsOfTheCells) {
  for (const auto* table : {&ROTATE_CW, &ROTATE_CCW}) {
    Bitboard image;
    for (unsigned p = 0; p < BOARD_SPAN; ++p) {
      if (p % ROW_STRIDE == BOARD_SIZE) {
        EXPECT_EQ((*table)[p], p);
      } else {
        image |= Bitboard::single((*table)[p]);
      }
    }
    EXPECT_EQ(image, BOARD_MASK);
  }
}

TEST(Bitboard, PermuteTurnsTheBoard) {
  EXPECT_EQ(Bitboard().permute(ROTATE_CW), Bitboard());
  EXPECT_EQ(cells({{0, 0}}).permute(ROTATE_CW), cells({{0, 19}}));
  EXPECT_EQ(cells({{0, 19}}).permute(ROTATE_CW), cells({{19, 19}}));
  EXPECT_EQ(cells({{0, 19}}).permute(ROTATE_CCW), cells({{0, 0}}));
  EXPECT_EQ(cells({{2, 5}}).permute(ROTATE_CW), cells({{5, 17}}));
  EXPECT_EQ(cells({{2, 5}}).permute(ROTATE_CCW), cells({{14, 2}}));

  std::mt19937 rng(11);
  for (int i = 0; i < 100; ++i) {
    const Bitboard b = random_cells(rng, 1 + i % 60);
    EXPECT_EQ(b.permute(ROTATE_CW).permute(ROTATE_CW).permute(ROTATE_CW).permute(ROTATE_CW), b);
    EXPECT_EQ(b.permute(ROTATE_CW).permute(ROTATE_CCW), b);
    EXPECT_EQ(b.permute(ROTATE_CW).count(), b.count());
  }
}

TEST(Bitboard, HalfTurnIsTwoQuarterTurns) {
  EXPECT_EQ(Bitboard().half_turned(), Bitboard());
  EXPECT_EQ(cells({{0, 0}}).half_turned(), cells({{19, 19}}));
  EXPECT_EQ(cells({{2, 5}, {19, 0}}).half_turned(), cells({{17, 14}, {0, 19}}));
  EXPECT_EQ(BOARD_MASK.half_turned(), BOARD_MASK);
  std::mt19937 rng(12);
  for (int i = 0; i < 200; ++i) {
    const Bitboard b = i % 2 == 0 ? random_cells(rng, 1 + i) : BOARD_MASK - random_cells(rng, i);
    EXPECT_EQ(b.half_turned(), b.permute(ROTATE_CW).permute(ROTATE_CW));
  }
}

TEST(Bitboard, PermuteRefusesPositionsBeyondItsTable) {
  EXPECT_THROW((void)Bitboard::single(430).permute(ROTATE_CW), InternalError);
}

}  // namespace
}  // namespace tegulo
