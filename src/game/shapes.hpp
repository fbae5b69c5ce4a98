#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bitboard.hpp"
#include "pieces.hpp"

namespace tegulo {

// A set of relative shapes, bit s for shape s. Eight words, one cache line: every
// table entry is one aligned line, and the intersections are whole vector words.
struct alignas(64) ShapeSet {
  static constexpr std::size_t WORDS = 8;
  static constexpr std::size_t CAPACITY = WORDS * 64;

  std::array<std::uint64_t, WORDS> words{};

  void insert(std::size_t s) { words[s / 64] |= std::uint64_t{1} << (s % 64); }

  // Two words at a time, as vectors of GCC and Clang (on every target): the
  // compiler does not vectorise the word loops on its own once entries come
  // through pointers.
  ShapeSet& operator&=(const ShapeSet& o) {
    for (std::size_t i = 0; i < LANES; ++i) set_lane(i, lane(i) & o.lane(i));
    return *this;
  }
  ShapeSet& operator|=(const ShapeSet& o) {
    for (std::size_t i = 0; i < LANES; ++i) set_lane(i, lane(i) | o.lane(i));
    return *this;
  }
  friend ShapeSet operator&(ShapeSet a, const ShapeSet& b) { return a &= b; }

  bool any() const {
    std::uint64_t any = 0;
    for (auto w : words) any |= w;
    return any != 0;
  }

  friend bool operator==(const ShapeSet&, const ShapeSet&) = default;

 private:
  using Lane = std::uint64_t __attribute__((vector_size(16)));
  static constexpr std::size_t LANES = WORDS / 2;

  Lane lane(std::size_t i) const {
    Lane v;
    std::memcpy(&v, &words[2 * i], sizeof v);
    return v;
  }
  void set_lane(std::size_t i, Lane v) { std::memcpy(&words[2 * i], &v, sizeof v); }
};

// The lookup tables of the move scans. A relative shape is an orientation with
// one of its cells, its origin, put on a board cell p: placing it there is the
// placement of that orientation covering p with that cell. So the placements
// covering p are the shapes that fit at p, and which fit is decided by the
// forbidden cells around p alone, row by row, without visiting any placement.
//
// The cells of a piece of at most five cells lie within four steps of each
// other, so a shape keeps to the diamond of cells (dr, dc) with |dr| + |dc| <= 4
// around its origin: in row dr, the 9 - 2 |dr| columns dc from -(4 - |dr|) on.
// For each such row segment and each pattern of forbidden cells in it, a table
// entry holds the shapes that avoid them; the shapes fitting at p are the
// intersection of the nine entries, of the shapes lying on the board (a
// condition on p's row and p's column apart), and of the remaining kinds.
//
// Shapes are numbered by kind index, then orientation (piece index), then by the
// origin's position in the orientation, last first: for a fixed p, the increasing
// shape numbers then give the covering placements by kind and by increasing dense
// index, the order in which the scans must report them.
struct ShapeTables {
  static constexpr int REACH = 4;  // farthest a cell lies from the origin, in steps
  static constexpr std::size_t ROWS = 2 * REACH + 1;
  // Where row dr's entries start: row dr has 2^(9 - 2 |dr|) patterns.
  static constexpr std::array<std::size_t, ROWS + 1> ROW_START = {0, 2, 10, 42, 170, 682, 810, 842, 850, 852};
  // Rows and columns a position below 512 can have, off the board ones included.
  static constexpr std::size_t POSITION_ROWS = CAPACITY / ROW_STRIDE + 1, POSITION_COLS = ROW_STRIDE;

  // The dense index of shape s put on cell (row, col) is base + row * width + col,
  // width being the number of columns the orientation's anchor can take.
  struct Dense {
    std::int32_t base;
    std::int32_t width;
  };

  std::size_t count = 0;                     // shapes
  std::vector<ShapeSet> fits;                // per row and pattern (ROW_START), the shapes avoiding it
  std::vector<ShapeSet> row_on_board;        // per row of the origin, the shapes within rows 0 to 19
  std::vector<ShapeSet> col_on_board;        // per column of the origin, those within columns 0 to 19
  std::array<ShapeSet, KIND_COUNT> kinds{};  // per kind index, its shapes
  std::vector<Dense> dense;                  // per shape
  // Per shape, the grid index of shape s put on cell (row, col) less 20 row + col;
  // then 64 entries more, which a scan may read for bits a word does not have.
  std::vector<std::int32_t> grid;

  ShapeTables() = default;
  // For the orientations in piece-index order, the first of which has dense index
  // first_dense[k] (its placement at anchor (0, 0)).
  ShapeTables(const std::vector<Piece>& pieces, const std::vector<std::size_t>& first_dense);

  // The shapes of the kinds in `remaining` (bit k for kind index k).
  ShapeSet of_kinds(std::uint32_t remaining) const {
    ShapeSet s;
    for (remaining &= (std::uint32_t{1} << KIND_COUNT) - 1; remaining != 0; remaining &= remaining - 1)
      s |= kinds[static_cast<std::size_t>(std::countr_zero(remaining))];
    return s;
  }
};

}  // namespace tegulo
