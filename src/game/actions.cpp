#include "actions.hpp"

#include <algorithm>
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

// The window of a placement's cells, which must lie within five rows.
CellWindow window_of(const Bitboard& cells) {
  const unsigned row = *cells.ones().begin() / ROW_STRIDE;
  const Bitboard::Chunks shifted = cells.shifted_down(row * ROW_STRIDE).chunks();
  CellWindow w{shifted[0], shifted[1] | std::uint64_t{row} << CellWindow::ROW_SHIFT};
  if (shifted[1] >> (CellWindow::SPAN - 64) != 0 || cells.shifted_down(row * ROW_STRIDE + 128) != Bitboard())
    throw InternalError("Placement spans more than five rows");
  return w;
}

}  // namespace

// The build reads every placement's cells in two passes only (the list is larger
// than the caches): the first appends the placements and does all that needs one
// placement at a time (grid table, cell-set index, cover list sizes); the second,
// once every placement is known, finds the quarter turns and fills the cover lists.
ActionSet::ActionSet(const std::vector<Piece>& pieces) {
  std::size_t n = 0;
  for (const Piece& piece : pieces) n += (piece.max_row + 1) * (piece.max_col + 1);
  if (n > 65536) throw InternalError("Catalogue of " + std::to_string(n) + " placements exceeds 16-bit indices");

  actions.reserve(n);  // fixed addresses: the index below refers to the list
  grid_to_action.assign(pieces.size() * ANCHORS, std::nullopt);
  cover_offsets.assign(COVER_KEYS + 1, 0);
  PlacementIndex index(actions, n);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const PieceType type = pieces[k].piece_type;
    for (const auto& [anchor, cells] : pieces[k].build_translations()) {
      const std::size_t i = actions.size();
      actions.push_back(Action{cells, k * ANCHORS + anchor, type});
      grid_to_action[k * ANCHORS + anchor] = i;
      index.insert(i);
      for (unsigned p : cells.ones()) ++cover_offsets[p * KIND_COUNT + type.kind_index() + 1];
    }
  }
  if (actions.size() != n) throw InternalError("Placements miscounted");

  // Cover lists are filled in dense order, which keeps every list increasing.
  for (std::size_t key = 0; key < COVER_KEYS; ++key) cover_offsets[key + 1] += cover_offsets[key];
  cover.resize(cover_offsets[COVER_KEYS]);
  windows.resize(n);
  std::vector<std::size_t> next(cover_offsets.begin(), cover_offsets.end() - 1);
  // The orientations are closed under a quarter turn, so every turned cell set
  // is itself a placement. The searches are independent: each turned set is
  // computed, and its slot fetched, a few placements before it is looked up.
  constexpr std::size_t AHEAD = 8;
  std::array<Bitboard, AHEAD> ahead;
  auto turn = [&](std::size_t i) {
    ahead[i % AHEAD] = actions[i].cells.permute(ROTATE_CW);
    index.prefetch(ahead[i % AHEAD]);
  };
  for (std::size_t i = 0; i < std::min(n, AHEAD); ++i) turn(i);
  std::vector<std::uint16_t> turned(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Action& a = actions[i];
    const auto found = index.find(ahead[i % AHEAD]);
    if (!found) throw InternalError("Placement " + std::to_string(i) + " turned has no placement");
    turned[i] = *found;
    if (i + AHEAD < n) turn(i + AHEAD);
    windows[i] = window_of(a.cells);
    for (unsigned p : a.cells.ones())
      cover[next[p * KIND_COUNT + a.piece_type.kind_index()]++] = static_cast<std::uint16_t>(i);
  }

  agent_maps[0].resize(n);
  for (std::size_t i = 0; i < n; ++i) agent_maps[0][i] = static_cast<std::uint16_t>(i);
  for (std::size_t k = 1; k < AGENT_COUNT; ++k) {
    agent_maps[k].resize(n);
    for (std::size_t i = 0; i < n; ++i) agent_maps[k][i] = turned[agent_maps[k - 1][i]];
  }
}

const ActionSet& ActionSet::get() {
  // A function-local static is built once even under concurrent first use, and a
  // build that throws is retried by the next caller.
  static const ActionSet instance(generate());
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
    const std::size_t g = actions[d].grid_index;
    if (g >= mask.size())
      throw InternalError("Grid index " + std::to_string(g) + " beyond the mask of " + std::to_string(mask.size()));
    mask[g] = 1;
  }
}

}  // namespace tegulo
