#include "shapes.hpp"

#include <cstdlib>
#include <string>

#include "errors.hpp"

namespace tegulo {

namespace {

struct Cell {
  int row, col;
};

}  // namespace

ShapeTables::ShapeTables(const std::vector<Piece>& pieces, const std::vector<std::size_t>& first_dense) {
  if (first_dense.size() != pieces.size()) throw InternalError("One first placement per orientation needed");
  // Per row dr and column bit i of its segment, the shapes with a cell there.
  std::array<std::array<ShapeSet, ROWS>, ROWS> uses{};
  ShapeSet all;
  row_on_board.assign(POSITION_ROWS, ShapeSet{});
  col_on_board.assign(POSITION_COLS, ShapeSet{});

  for (std::size_t kind = 0; kind < KIND_COUNT; ++kind) {
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const Piece& piece = pieces[k];
      if (piece.piece_type.kind_index() != kind) continue;
      std::vector<Cell> cells;
      for (unsigned p : piece.shape().ones())
        cells.push_back({static_cast<int>(p / ROW_STRIDE), static_cast<int>(p % ROW_STRIDE)});
      const int last_row = static_cast<int>(piece.max_row), last_col = static_cast<int>(piece.max_col);
      // Origins from the last cell to the first, so that the anchor moves right
      // and down, and the dense index grows, with the shape number.
      for (auto origin = cells.rbegin(); origin != cells.rend(); ++origin) {
        const std::size_t s = count++;
        if (s >= ShapeSet::CAPACITY) throw InternalError("More relative shapes than a shape set holds");
        all.insert(s);
        kinds[kind].insert(s);
        const int width = last_col + 1;
        dense.push_back({static_cast<std::int32_t>(first_dense[k]) - origin->row * width - origin->col, width});
        grid.push_back(static_cast<std::int32_t>(k * BOARD_SIZE * BOARD_SIZE) -
                       origin->row * static_cast<int>(BOARD_SIZE) - origin->col);
        for (const Cell& cell : cells) {
          const int dr = cell.row - origin->row, dc = cell.col - origin->col;
          const int reach = REACH - std::abs(dr);
          if (std::abs(dc) > reach) throw InternalError("Orientation " + std::to_string(k) + " beyond four steps");
          uses[static_cast<std::size_t>(dr + REACH)][static_cast<std::size_t>(dc + reach)].insert(s);
        }
        // The origin at (r, c) puts the anchor at (r - origin row, c - origin col),
        // which must be one of the orientation's anchors.
        for (std::size_t r = 0; r < POSITION_ROWS; ++r) {
          const int anchor = static_cast<int>(r) - origin->row;
          if (anchor >= 0 && anchor <= last_row) row_on_board[r].insert(s);
        }
        for (std::size_t c = 0; c < POSITION_COLS; ++c) {
          const int anchor = static_cast<int>(c) - origin->col;
          if (anchor >= 0 && anchor <= last_col) col_on_board[c].insert(s);
        }
      }
    }
  }

  grid.resize(count + 64, 0);

  // Each pattern's entry is that of the pattern without its lowest cell, less the
  // shapes using that cell.
  fits.assign(ROW_START[ROWS], ShapeSet{});
  for (std::size_t row = 0; row < ROWS; ++row) {
    ShapeSet* entries = &fits[ROW_START[row]];
    entries[0] = all;
    for (std::size_t pattern = 1; pattern < ROW_START[row + 1] - ROW_START[row]; ++pattern) {
      const ShapeSet& without = uses[row][static_cast<std::size_t>(std::countr_zero(pattern))];
      entries[pattern] = entries[pattern & (pattern - 1)];
      for (std::size_t i = 0; i < ShapeSet::WORDS; ++i) entries[pattern].words[i] &= ~without.words[i];
    }
  }
}

}  // namespace tegulo
