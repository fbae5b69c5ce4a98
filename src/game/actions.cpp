#include "actions.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "errors.hpp"

namespace tegulo {

namespace {

// Finds a placement by its full cell set while the catalogue is built: open
// addressing over a power-of-two table whose slots hold a 16-bit fingerprint of
// the hash beside the 16-bit dense index, so that a probe touches a placement's
// cells only when the fingerprints agree. A zero slot is empty; fingerprints are
// odd, so no filled slot is zero.
class PlacementIndex {
 public:
  PlacementIndex(const std::vector<Action>& actions, std::size_t capacity) : actions_(actions) {
    std::size_t size = 1;
    while (size < 2 * capacity) size <<= 1;
    slots_.assign(size, 0);
  }

  // Enters placement i, whose cells must differ from those of every placement so far.
  void insert(std::size_t i) {
    const Probe probe = locate(actions_[i].cells);
    slots_[probe.slot] = probe.fingerprint << 16 | static_cast<std::uint32_t>(i);
  }

  // Starts loading the slot where a search for `cells` begins.
  void prefetch(const Bitboard& cells) const {
    __builtin_prefetch(&slots_[std::hash<Bitboard>{}(cells) & (slots_.size() - 1)]);
  }

  std::optional<std::uint16_t> find(const Bitboard& cells) const {
    const std::uint32_t slot = slots_[locate(cells).slot];
    if (slot == 0) return std::nullopt;
    return static_cast<std::uint16_t>(slot);
  }

 private:
  struct Probe {
    std::size_t slot;  // holding `cells`, or the empty slot where it would go
    std::uint32_t fingerprint;
  };

  Probe locate(const Bitboard& cells) const {
    const std::size_t hash = std::hash<Bitboard>{}(cells), mask = slots_.size() - 1;
    const std::uint32_t fingerprint = static_cast<std::uint32_t>(hash >> 48) | 1;
    std::size_t s = hash & mask;
    for (; slots_[s] != 0; s = (s + 1) & mask)
      if (slots_[s] >> 16 == fingerprint && actions_[slots_[s] & 0xFFFF].cells == cells) break;
    return {s, fingerprint};
  }

  const std::vector<Action>& actions_;
  std::vector<std::uint32_t> slots_;
};

// An orientation's cells relative to its anchor, as position offsets, so that the
// build walks a placement's cells without iterating over its 512 bits.
class Shape {
 public:
  explicit Shape(const Piece& piece) {
    const Bitboard shape = piece.shape();
    for (unsigned p : shape.ones()) {
      if (size_ == offsets_.size()) throw InternalError("Orientation of more than five cells");
      offsets_[size_++] = p;
    }
  }

  // The positions of the placement whose anchor position (21 * row + col) is
  // `base`; they index tables of the board span, so they are checked.
  template <class Visit>
  void each_cell(unsigned base, Visit&& visit) const {
    for (std::size_t j = 0; j < size_; ++j) {
      const unsigned p = base + offsets_[j];
      if (p >= BOARD_SPAN) throw InternalError("Placement cell " + std::to_string(p) + " beyond the board");
      visit(p);
    }
  }

 private:
  std::array<unsigned, 5> offsets_{};
  std::size_t size_ = 0;
};

// The board position of the anchor row * 20 + col.
unsigned base_of(std::size_t anchor) {
  return static_cast<unsigned>(anchor / BOARD_SIZE * ROW_STRIDE + anchor % BOARD_SIZE);
}

}  // namespace

// The placement list is larger than the caches, so the build visits it twice
// only: the first pass appends the placements and does all that needs one
// placement at a time (grid table, cell-set index, cover list sizes); the second,
// once every placement is known, finds the quarter turns and fills the cover
// lists.
ActionSet::ActionSet(const std::vector<Piece>& pieces) {
  std::size_t n = 0;
  for (const Piece& piece : pieces) n += (piece.max_row + 1) * (piece.max_col + 1);
  if (n > 65536) throw InternalError("Catalogue of " + std::to_string(n) + " placements exceeds 16-bit indices");

  std::vector<Shape> shapes;
  shapes.reserve(pieces.size());
  for (const Piece& piece : pieces) shapes.emplace_back(piece);
  actions.reserve(n);  // fixed addresses: the index below refers to the list
  grid_to_action.assign(pieces.size() * ANCHORS, std::nullopt);
  cover_offsets.assign(COVER_KEYS + 1, 0);
  PlacementIndex index(actions, n);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const std::size_t kind = pieces[k].piece_type.kind_index();
    for (const auto& [anchor, cells] : pieces[k].build_translations()) {
      const std::size_t i = actions.size();
      actions.push_back(Action{cells, k * ANCHORS + anchor, pieces[k].piece_type});
      grid_to_action[k * ANCHORS + anchor] = i;
      index.insert(i);
      shapes[k].each_cell(base_of(anchor), [&](unsigned p) { ++cover_offsets[p * KIND_COUNT + kind + 1]; });
    }
  }
  if (actions.size() != n) throw InternalError("Placements miscounted");

  // Cover lists are filled in dense order, which keeps every list increasing.
  for (std::size_t key = 0; key < COVER_KEYS; ++key) cover_offsets[key + 1] += cover_offsets[key];
  cover.resize(cover_offsets[COVER_KEYS]);
  std::vector<std::size_t> next(cover_offsets.begin(), cover_offsets.end() - 1);
  // The orientations are closed under a quarter turn, so every turned cell set
  // is itself a placement. The searches are independent: each turned set is
  // computed, and its slot fetched, a few placements before it is looked up.
  constexpr std::size_t AHEAD = 8;
  std::array<Bitboard, AHEAD> ahead;
  auto turn = [&](std::size_t i) {
    const std::size_t grid = actions[i].grid_index;
    Bitboard turned_cells;
    shapes[grid / ANCHORS].each_cell(base_of(grid % ANCHORS), [&](unsigned p) { turned_cells.insert(ROTATE_CW[p]); });
    ahead[i % AHEAD] = turned_cells;
    index.prefetch(turned_cells);
  };
  for (std::size_t i = 0; i < std::min(n, AHEAD); ++i) turn(i);
  std::vector<std::uint16_t> turned(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto found = index.find(ahead[i % AHEAD]);
    if (!found) throw InternalError("Placement " + std::to_string(i) + " turned has no placement");
    turned[i] = *found;
    if (i + AHEAD < n) turn(i + AHEAD);
    const std::size_t grid = actions[i].grid_index, kind = actions[i].piece_type.kind_index();
    const Shape& shape = shapes[grid / ANCHORS];
    shape.each_cell(base_of(grid % ANCHORS),
                    [&](unsigned p) { cover[next[p * KIND_COUNT + kind]++] = static_cast<std::uint16_t>(i); });
  }

  std::vector<std::size_t> first_dense(pieces.size());
  for (std::size_t k = 0; k < pieces.size(); ++k) first_dense[k] = *grid_to_action[k * ANCHORS];
  relative_shapes = ShapeTables(pieces, first_dense);

  grid_indices.resize(n);
  for (std::size_t i = 0; i < n; ++i) grid_indices[i] = static_cast<std::uint16_t>(actions[i].grid_index);

  agent_maps[0].resize(n);
  for (std::size_t i = 0; i < n; ++i) agent_maps[0][i] = static_cast<std::uint16_t>(i);
  for (std::size_t k = 1; k < AGENT_COUNT; ++k) {
    agent_maps[k].resize(n);
    for (std::size_t i = 0; i < n; ++i) agent_maps[k][i] = turned[agent_maps[k - 1][i]];
  }
  for (std::size_t k = 0; k < AGENT_COUNT; ++k) {
    frame_maps[k].resize(n);
    for (std::size_t i = 0; i < n; ++i) frame_maps[k][agent_maps[k][i]] = static_cast<std::uint16_t>(i);
  }
}

const ActionSet& ActionSet::get() {
  // A function-local static is built once even under concurrent first use, and a
  // build that throws is retried by the next caller. It is never destroyed: the
  // threads of a pool may still read it while the process runs its exit handlers.
  static const ActionSet& instance = *new ActionSet(generate());
  return instance;
}

std::vector<std::uint8_t> ActionSet::grid_mask(std::span<const std::uint16_t> dense) const {
  std::vector<std::uint8_t> mask(grid_to_action.size(), 0);
  write_grid_mask(dense, mask);
  return mask;
}

void ActionSet::write_grid_mask(std::span<const std::uint16_t> dense, std::span<std::uint8_t> mask) const {
  for (std::uint16_t d : dense) {
    if (d >= actions.size())
      throw InternalError("Dense index " + std::to_string(d) + " beyond the " + std::to_string(actions.size()) +
                          " placements");
    const std::size_t g = grid_indices[d];
    if (g >= mask.size())
      throw InternalError("Grid index " + std::to_string(g) + " beyond the mask of " + std::to_string(mask.size()));
    mask[g] = 1;
  }
}

}  // namespace tegulo
