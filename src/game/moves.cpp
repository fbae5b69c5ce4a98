#include "game.hpp"

namespace tegulo {

namespace {

// A forbidden mask cut into the 128-bit windows of placements (CellWindow): window
// r holds the mask's positions from the first of row r on, so that testing a
// placement is two 64-bit intersections. Windows are cut when a scan first needs
// them: a done refresh usually stops after a few candidates.
class ForbiddenWindows {
 public:
  explicit ForbiddenWindows(const Bitboard& forbidden) : forbidden_(forbidden) {}

  // Cuts the windows of every row on which a placement covering p can start.
  void prepare(unsigned p) {
    const unsigned last = p / ROW_STRIDE, first = last >= MAX_HEIGHT - 1 ? last - (MAX_HEIGHT - 1) : 0;
    std::uint32_t missing = ((std::uint32_t{2} << last) - (std::uint32_t{1} << first)) & ~ready_;
    ready_ |= missing;
    for (; missing != 0; missing &= missing - 1) cut(static_cast<unsigned>(std::countr_zero(missing)));
  }

  // Whether a placement shares a position with the mask; its row's window must be cut.
  bool overlaps(const CellWindow& cells) const {
    const CellWindow& w = windows_[cells.row()];
    return ((w.lo & cells.lo) | (w.hi & cells.hi)) != 0;
  }

  // Adds position p to the mask and to every cut window that can hold it.
  void add(unsigned p) {
    forbidden_.insert(p);
    const unsigned last = p / ROW_STRIDE;
    const unsigned first = p >= CellWindow::SPAN ? (p - CellWindow::SPAN) / ROW_STRIDE + 1 : 0;
    for (unsigned r = first; r <= last; ++r) {
      if ((ready_ >> r & 1) == 0) continue;
      const unsigned bit = p - r * ROW_STRIDE;
      (bit < 64 ? windows_[r].lo : windows_[r].hi) |= std::uint64_t{1} << (bit % 64);
    }
  }

 private:
  static constexpr unsigned MAX_HEIGHT = 5;
  static constexpr std::uint64_t HI_SPAN = (std::uint64_t{1} << (CellWindow::SPAN - 64)) - 1;

  void cut(unsigned r) {
    const auto [lo, hi] = forbidden_.window(r * ROW_STRIDE);
    windows_[r] = {lo, hi & HI_SPAN};  // clear the bits where placement windows keep their row
  }

  Bitboard forbidden_;
  std::uint32_t ready_ = 0;  // bit r: window r is cut
  std::array<CellWindow, BOARD_SIZE> windows_;
};

// Visits the legal placements of an agent with these masks and remaining kinds:
// for each attach cell p in increasing order, each remaining kind, each placement
// of that kind covering p, the placement is legal when it avoids the forbidden
// mask. `found(n)` hears of each one and returns true to stop the scan.
//
// After its lists are done, p joins the forbidden mask: a placement covering
// several attach cells is then met once, at the lowest, and rejected at the
// others, so each legal placement is found exactly once.
template <class Found>
void scan(const ActionSet& set, const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining,
          Found&& found) {
  ForbiddenWindows windows(forbidden);
  for (const unsigned p : attach.ones()) {
    windows.prepare(p);
    for (std::uint32_t kinds = remaining; kinds != 0; kinds &= kinds - 1) {
      for (const std::uint16_t n : set.cover_list(p, static_cast<std::size_t>(std::countr_zero(kinds))))
        if (!windows.overlaps(set.windows[n]) && found(n)) return;
    }
    windows.add(p);
  }
}

}  // namespace

void Game::update_done() {
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    Agent& agent = agents[i];
    if (agent.done) continue;  // a done agent stays done
    const PlacementMasks masks = placement_masks(i);
    bool any = false;
    scan(*action_set, masks.attach, masks.forbidden, agent.remaining, [&](std::uint16_t) { return any = true; });
    agent.done = !any;
  }
}

void Game::observed_moves(const Observation& obs, std::vector<std::uint16_t>& moves) const {
  moves.clear();
  scan(*action_set, obs.corners[0], obs.blocked[0], obs.pieces[0], [&](std::uint16_t n) {
    moves.push_back(n);
    return false;
  });
}

void Game::legal_moves(std::size_t agent, std::vector<std::uint16_t>& moves) const {
  moves.clear();
  const PlacementMasks masks = placement_masks(agent);
  scan(*action_set, masks.attach, masks.forbidden, agents[agent].remaining, [&](std::uint16_t n) {
    moves.push_back(n);
    return false;
  });
}

}  // namespace tegulo
