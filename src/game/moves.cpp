#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "game.hpp"

namespace tegulo {

namespace {

// A mask with empty margins on both sides, read as bytes, so that the cells
// around any position below 512 are one unaligned load away. Rows above the
// board read the front margin, rows below it nothing or the back margin.
class PaddedMask {
 public:
  explicit PaddedMask(const Bitboard& mask) {
    for (std::size_t i = 0; i < Bitboard::CHUNKS; ++i) words_[FRONT + i] = mask.chunks()[i];
  }

  // The `width` (at most 9) positions from `p` + `offset` on, as the low bits.
  unsigned segment(unsigned p, int offset, unsigned width) const {
    const unsigned bit = static_cast<unsigned>(static_cast<int>(p + 64 * FRONT) + offset);
    std::uint64_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(words_.data()) + bit / 8, sizeof v);
    return static_cast<unsigned>(v >> (bit % 8)) & ((1u << width) - 1);
  }

 private:
  // Reads reach 4 rows and 4 columns (88 positions) before and after a position,
  // and a load takes 8 bytes from the segment's first.
  static constexpr std::size_t FRONT = 2, BACK = 3;
  std::array<std::uint64_t, FRONT + Bitboard::CHUNKS + BACK> words_{};
};

// The forbidden cells of row p + dr around p, the columns from p's less the
// reach of that row on, as the low bits. The attach cells before p count as
// forbidden: they lie in the rows above p and left of p in its row, which are
// read from `above`, the mask with every attach cell added.
template <int DR>
unsigned pattern(const PaddedMask& above, const PaddedMask& below, unsigned p) {
  constexpr int REACH = ShapeTables::REACH - (DR < 0 ? -DR : DR);
  constexpr int OFFSET = DR * static_cast<int>(ROW_STRIDE) - REACH;
  constexpr unsigned WIDTH = 2 * REACH + 1;
  if constexpr (DR < 0) return above.segment(p, OFFSET, WIDTH);
  if constexpr (DR > 0) return below.segment(p, OFFSET, WIDTH);
  return (above.segment(p, OFFSET, WIDTH) & ((1u << REACH) - 1)) | (below.segment(p, OFFSET, WIDTH) & (~0u << REACH));
}

// Visits, for each attach cell p in increasing order, the relative shapes that
// put a legal placement on p: of a remaining kind, on the board, off the
// forbidden mask. `found(shapes, p)` hears of each non-empty set and returns true
// to stop the scan.
//
// At p, the attach cells before p count as forbidden: a placement covering
// several attach cells is then met once, at the lowest, and rejected at the
// others, so each legal placement is found exactly once.
template <class Found>
void scan(const ShapeTables& tables, const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining,
          Found&& found) {
  const ShapeSet kinds = tables.of_kinds(remaining);
  if (!kinds.any()) return;
  // Nothing is written to the masks while the scan runs, so no read waits for a write.
  const PaddedMask below(forbidden), above(forbidden | attach);
  for (const unsigned p : attach.ones()) {
    std::array<const ShapeSet*, ShapeTables::ROWS> entries;
    [&]<std::size_t... Row>(std::index_sequence<Row...>) {
      ((entries[Row] = &tables.fits[ShapeTables::ROW_START[Row] +
                                    pattern<static_cast<int>(Row) - ShapeTables::REACH>(above, below, p)]),
       ...);
    }
    (std::make_index_sequence<ShapeTables::ROWS>());
    ShapeSet fit = kinds & tables.row_on_board[p / ROW_STRIDE];
    fit &= tables.col_on_board[p % ROW_STRIDE];
    for (const ShapeSet* entry : entries) fit &= *entry;
    if (fit.any() && found(fit, p)) return;
  }
}

// The first legal placement of a scan (a dense index in the scan's frame), if any.
std::optional<std::uint16_t> first_placement(const ShapeTables& tables, const Bitboard& attach,
                                             const Bitboard& forbidden, std::uint32_t remaining) {
  std::optional<std::uint16_t> first;
  scan(tables, attach, forbidden, remaining, [&](const ShapeSet& fit, unsigned p) {
    std::size_t i = 0;
    while (fit.words[i] == 0) ++i;
    const ShapeTables::Dense& d = tables.dense[i * 64 + static_cast<std::size_t>(std::countr_zero(fit.words[i]))];
    first = static_cast<std::uint16_t>(d.base + static_cast<std::int32_t>(p / ROW_STRIDE) * d.width +
                                       static_cast<std::int32_t>(p % ROW_STRIDE));
    return true;
  });
  return first;
}

}  // namespace

void Game::update_done() {
  const ActionSet& set = *action_set;
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    Agent& agent = agents[i];
    if (agent.done) continue;  // a done agent stays done
    const PlacementMasks masks = placement_masks(i);
    // The agent's witness is tried first: one placement's test, where a scan may
    // visit every attach cell. A placement takes the witness of few agents.
    if (witness[i] < set.actions.size()) {
      const Action& w = set.actions[witness[i]];
      if ((agent.remaining >> w.piece_type.kind_index() & 1) != 0 && !w.cells.overlaps(masks.forbidden) &&
          w.cells.overlaps(masks.attach))
        continue;
    }
    const auto first = first_placement(set.relative_shapes, masks.attach, masks.forbidden, agent.remaining);
    agent.done = !first;
    witness[i] = first.value_or(0);
  }
}

namespace {

// Fills `moves` with every legal placement of a scan with these masks and kinds.
void collect(const ShapeTables& tables, const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining,
             std::vector<std::uint16_t>& moves) {
  moves.clear();
  // Collected on the stack and handed over a few attach cells at a time: a shape
  // set holds at most one placement per shape.
  std::array<std::uint16_t, 4 * ShapeSet::CAPACITY> found;
  std::size_t n = 0;
  auto flush = [&] {
    moves.insert(moves.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n));
    n = 0;
  };
  scan(tables, attach, forbidden, remaining, [&](const ShapeSet& fit, unsigned p) {
    if (n > found.size() - ShapeSet::CAPACITY) flush();
    const std::int32_t row = static_cast<std::int32_t>(p / ROW_STRIDE), col = static_cast<std::int32_t>(p % ROW_STRIDE);
    unsigned live = 0;  // bit i: word i has shapes
    for (std::size_t i = 0; i < ShapeSet::WORDS; ++i) live |= static_cast<unsigned>(fit.words[i] != 0) << i;
    for (; live != 0; live &= live - 1) {
      const std::size_t i = static_cast<std::size_t>(std::countr_zero(live));
      std::uint64_t w = fit.words[i];
      do {
        const ShapeTables::Dense& d = tables.dense[i * 64 + static_cast<std::size_t>(std::countr_zero(w))];
        found[n++] = static_cast<std::uint16_t>(d.base + row * d.width + col);
        w &= w - 1;
      } while (w != 0);
    }
    return false;
  });
  flush();
}

// Writes at(b) for every bit b of `word`, in increasing order, and moves `out`
// past them. Most words hold one to three bits: the first four entries are
// written whether the bits are there or not (at(63) for the missing ones), so that
// a loop ending at an unforeseeable count is rare. The room after `out` must take
// four entries more than the word holds.
template <class At>
void write_ones(std::uint64_t word, At&& at, std::uint16_t*& out) {
  std::size_t count = 0;
  for (int k = 0; k < 4; ++k, word &= word - 1) {
    // With the top bit set the lowest bit is found without a test for zero,
    // which would be a branch as unforeseeable as the loop's end.
    const auto lowest = static_cast<unsigned>(std::countr_zero(word | std::uint64_t{1} << 63));
    out[k] = static_cast<std::uint16_t>(at(lowest));
    count += word != 0;
  }
  for (; word != 0; word &= word - 1) out[count++] = static_cast<std::uint16_t>(at(std::countr_zero(word)));
  out += count;
}

// Calls found(g) with the grid index g of every legal placement of a scan with
// these masks and kinds, read straight from the shape tables, in the scan's order.
template <class Found>
void scan_grid(const ShapeTables& tables, const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining,
               Found&& found) {
  scan(tables, attach, forbidden, remaining, [&](const ShapeSet& fit, unsigned p) {
    const auto at = static_cast<std::int32_t>(BOARD_SIZE * (p / ROW_STRIDE) + p % ROW_STRIDE);
    unsigned live = 0;  // bit i: word i has shapes
    for (std::size_t i = 0; i < ShapeSet::WORDS; ++i) live |= static_cast<unsigned>(fit.words[i] != 0) << i;
    for (; live != 0; live &= live - 1) {
      const std::size_t i = static_cast<std::size_t>(std::countr_zero(live));
      const std::int32_t* grid = tables.grid.data() + i * 64;
      for (std::uint64_t w = fit.words[i]; w != 0; w &= w - 1) {
        const auto g = static_cast<std::size_t>(grid[__builtin_ctzll(w)] + at);
        if (g >= NUM_ACTIONS) throw InternalError("Grid index " + std::to_string(g) + " beyond the action grid");
        found(g);
      }
    }
    return false;
  });
}

// Fills `actions` with the grid indices of every legal placement of a scan with
// these masks and kinds, in increasing order. The scan sets them in a bitmap of the
// action grid, which is then read back a word at a time. Which words were touched
// is kept as a byte per word, set by plain stores (bits kept in words would make
// every update wait for the one before it), and gathered afterwards into a
// summary bit per word, so that only the words touched are read.
void collect_sorted(const ShapeTables& tables, const Bitboard& attach, const Bitboard& forbidden,
                    std::uint32_t remaining, std::vector<std::uint16_t>& actions) {
  constexpr std::size_t WORDS = (NUM_ACTIONS + 63) / 64, SUMMARIES = (WORDS + 63) / 64;
  std::array<std::uint64_t, WORDS> bits;
  std::array<std::uint8_t, 64 * SUMMARIES> touched;
  std::memset(bits.data(), 0, sizeof bits);
  std::memset(touched.data(), 0, sizeof touched);
  std::size_t n = 0;
  scan_grid(tables, attach, forbidden, remaining, [&](std::size_t g) {
    bits[g / 64] |= std::uint64_t{1} << (g % 64);
    touched[g / 64] = 1;
    ++n;
  });
  actions.resize(n + 4);  // room for write_ones' spare entries
  std::uint16_t* out = actions.data();
  for (std::size_t s = 0; s < SUMMARIES; ++s) {
    std::uint64_t words = 0;
    for (std::size_t group = 0; group < 8; ++group) {
      // Eight bytes of 0 or 1 as the eight bits of a byte: the product puts byte k
      // at bit 56 + k, and no two partial products meet, so nothing carries.
      std::uint64_t eight;
      std::memcpy(&eight, touched.data() + 64 * s + 8 * group, sizeof eight);
      if constexpr (std::endian::native == std::endian::big) eight = __builtin_bswap64(eight);
      words |= (eight * 0x0102040810204080) >> 56 << (8 * group);
    }
    for (; words != 0; words &= words - 1) {
      const std::size_t w = s * 64 + static_cast<std::size_t>(std::countr_zero(words));
      const auto base = static_cast<unsigned>(w * 64);
      write_ones(
          bits[w], [&](unsigned b) { return base + b; }, out);
    }
  }
  actions.resize(n);
}

}  // namespace

void Game::observed_actions(const Observation& obs, std::vector<std::uint16_t>& actions, bool sorted) const {
  if (sorted) {
    collect_sorted(action_set->relative_shapes, obs.corners[0], obs.blocked[0], obs.pieces[0], actions);
    return;
  }
  actions.clear();
  scan_grid(action_set->relative_shapes, obs.corners[0], obs.blocked[0], obs.pieces[0],
            [&](std::size_t g) { actions.push_back(static_cast<std::uint16_t>(g)); });
}

std::size_t Game::mark_observed_actions(const Observation& obs, std::span<std::uint8_t, NUM_ACTIONS> mask) const {
  std::size_t n = 0;
  scan_grid(action_set->relative_shapes, obs.corners[0], obs.blocked[0], obs.pieces[0], [&](std::size_t g) {
    mask[g] = 1;
    ++n;
  });
  return n;
}

void Game::observed_moves(const Observation& obs, std::vector<std::uint16_t>& moves) const {
  collect(action_set->relative_shapes, obs.corners[0], obs.blocked[0], obs.pieces[0], moves);
}

void Game::legal_moves(std::size_t agent, std::vector<std::uint16_t>& moves) const {
  legal_moves(agent, ALL_KINDS, moves);
}

void Game::legal_moves(std::size_t agent, std::uint32_t kinds, std::vector<std::uint16_t>& moves) const {
  const PlacementMasks masks = placement_masks(agent);
  collect(action_set->relative_shapes, masks.attach, masks.forbidden, agents[agent].remaining & kinds, moves);
}

}  // namespace tegulo
