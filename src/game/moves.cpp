#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "game.hpp"

namespace tegulo {

namespace {

// The forbidden mask with empty margins on both sides, read as bytes, so that the
// cells around any position below 512 are one unaligned load away. Rows above
// the board read the front margin, rows below it nothing or the back margin.
class ForbiddenRows {
 public:
  explicit ForbiddenRows(const Bitboard& forbidden) {
    for (std::size_t i = 0; i < Bitboard::CHUNKS; ++i) words_[FRONT + i] = forbidden.chunks()[i];
  }

  // The `width` (at most 9) positions from `p` + `offset` on, as the low bits.
  unsigned segment(unsigned p, int offset, unsigned width) const {
    const unsigned bit = static_cast<unsigned>(static_cast<int>(p + 64 * FRONT) + offset);
    std::uint64_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(words_.data()) + bit / 8, sizeof v);
    return static_cast<unsigned>(v >> (bit % 8)) & ((1u << width) - 1);
  }

  void insert(unsigned p) { words_[FRONT + p / 64] |= std::uint64_t{1} << (p % 64); }

 private:
  // Reads reach 4 rows and 4 columns (88 positions) before and after a position,
  // and a load takes 8 bytes from the segment's first.
  static constexpr std::size_t FRONT = 2, BACK = 3;
  std::array<std::uint64_t, FRONT + Bitboard::CHUNKS + BACK> words_{};
};

// Visits, for each attach cell p in increasing order, the relative shapes that
// put a legal placement on p: of a remaining kind, on the board, off the
// forbidden mask. `found(shapes, p)` hears of each non-empty set and returns true
// to stop the scan.
//
// After its shapes are found, p joins the forbidden mask: a placement covering
// several attach cells is then met once, at the lowest, and rejected at the
// others, so each legal placement is found exactly once.
template <class Found>
void scan(const ShapeTables& tables, const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining,
          Found&& found) {
  const ShapeSet kinds = tables.of_kinds(remaining);
  if (!kinds.any()) return;
  ForbiddenRows rows(forbidden);
  for (const unsigned p : attach.ones()) {
    ShapeSet fit = kinds & tables.row_on_board[p / ROW_STRIDE];
    fit &= tables.col_on_board[p % ROW_STRIDE];
    for (std::size_t row = 0; row < ShapeTables::ROWS; ++row) {
      const int dr = static_cast<int>(row) - ShapeTables::REACH;
      const int reach = ShapeTables::REACH - std::abs(dr);
      const unsigned pattern = rows.segment(p, dr * static_cast<int>(ROW_STRIDE) - reach, 2 * reach + 1);
      fit &= tables.fits[ShapeTables::ROW_START[row] + pattern];
    }
    if (fit.any() && found(fit, p)) return;
    rows.insert(p);
  }
}

}  // namespace

void Game::update_done() {
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    Agent& agent = agents[i];
    if (agent.done) continue;  // a done agent stays done
    const PlacementMasks masks = placement_masks(i);
    bool any = false;
    scan(action_set->relative_shapes, masks.attach, masks.forbidden, agent.remaining,
         [&](const ShapeSet&, unsigned) { return any = true; });
    agent.done = !any;
  }
}

void Game::observed_moves(const Observation& obs, std::vector<std::uint16_t>& moves) const {
  moves.clear();
  const ShapeTables& tables = action_set->relative_shapes;
  scan(tables, obs.corners[0], obs.blocked[0], obs.pieces[0], [&](const ShapeSet& fit, unsigned p) {
    // Collected on the stack first: a shape set holds at most one placement per shape.
    std::array<std::uint16_t, ShapeSet::CAPACITY> found;
    std::size_t n = 0;
    const std::int32_t row = static_cast<std::int32_t>(p / ROW_STRIDE), col = static_cast<std::int32_t>(p % ROW_STRIDE);
    for (std::size_t i = 0; i < ShapeSet::WORDS; ++i) {
      for (std::uint64_t w = fit.words[i]; w != 0; w &= w - 1) {
        const ShapeTables::Dense& d = tables.dense[i * 64 + static_cast<std::size_t>(std::countr_zero(w))];
        found[n++] = static_cast<std::uint16_t>(d.base + row * d.width + col);
      }
    }
    moves.insert(moves.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n));
    return false;
  });
}

}  // namespace tegulo
