#include "players/players.hpp"

#include <array>
#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "game/errors.hpp"
#include "players/mcts.hpp"
#include "players/window.hpp"

namespace tegulo {

namespace {

// The legal placements of the agent to move, in a list kept per thread.
const std::vector<std::uint16_t>& legal_of(const Game& game) {
  thread_local std::vector<std::uint16_t> moves = [] {
    std::vector<std::uint16_t> v;
    v.reserve(4096);
    return v;
  }();
  game.legal_moves(game.current_agent, moves);
  if (moves.empty())
    throw InternalError("A player asked to move for agent " + std::to_string(game.current_agent) +
                        ", which has no legal placement");
  return moves;
}

// The candidates kept so far with the best score, one of which is drawn at the end.
class Best {
 public:
  void reset() {
    score_ = -std::numeric_limits<float>::infinity();
    ties_.clear();
  }
  void offer(float score, std::uint16_t placement) {
    if (score > score_) {
      score_ = score;
      ties_.clear();
    }
    if (score == score_) ties_.push_back(placement);
  }
  std::uint16_t draw(Stream& stream) const { return ties_[stream.below(ties_.size())]; }

 private:
  float score_ = -std::numeric_limits<float>::infinity();
  std::vector<std::uint16_t> ties_;
};

}  // namespace

Choice choose_random(const Game& game, Stream& stream) {
  const auto& moves = legal_of(game);
  return {moves[stream.below(moves.size())], static_cast<std::uint32_t>(moves.size())};
}

// The kinds of each size: bit k for kind index k, per cell count.
constexpr std::array<std::uint32_t, 6> KINDS_OF_SIZE = [] {
  std::array<std::uint32_t, 6> kinds{};
  for (std::size_t k = 0; k < KIND_COUNT; ++k) kinds[PieceType::ALL[k].cell_count()] |= std::uint32_t{1} << k;
  return kinds;
}();

Choice choose_greedy(const Game& game, Stream& stream, bool count) {
  // The largest kinds first, each size a scan of its own kinds: the first size
  // with a legal placement is the one to play, and smaller kinds are never listed.
  thread_local std::vector<std::uint16_t> moves;
  const Agent& agent = game.agents[game.current_agent];
  for (std::size_t size = 5; size >= 1; --size) {
    if ((agent.remaining & KINDS_OF_SIZE[size]) == 0) continue;
    game.legal_moves(game.current_agent, KINDS_OF_SIZE[size], moves);
    if (moves.empty()) continue;
    const std::uint16_t chosen = moves[stream.below(moves.size())];
    return {chosen, count ? static_cast<std::uint32_t>(legal_of(game).size()) : 0};
  }
  legal_of(game);  // fails: the agent has no placement
  throw InternalError("A greedy player without a placement");
}

// Built twice where the processor may or may not count bits in one instruction;
// the loader picks the version once. Not under a sanitizer: the loader runs the
// picking function before the sanitizer's runtime has started, and an
// instrumented one crashes there.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define TEGULO_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TEGULO_POPCOUNT_CLONES
#endif

// Each orientation's cells as a window with its anchor at bit 0, and its size.
struct Orientations {
  std::array<Window, PIECE_COUNT> shape{};
  std::array<std::uint8_t, PIECE_COUNT> size{};

  static const Orientations& get() {
    static const Orientations all = [] {
      const ActionSet& set = ActionSet::get();
      Orientations o;
      for (std::size_t k = 0; k < PIECE_COUNT; ++k) {
        const auto first = set.grid_to_action[k * ANCHORS];
        if (!first) throw InternalError("Orientation " + std::to_string(k) + " has no placement at (0, 0)");
        o.shape[k] = Window::of(set.actions[*first].cells, 0);
        o.size[k] = static_cast<std::uint8_t>(set.actions[*first].piece_type.cell_count());
      }
      return o;
    }();
    return all;
  }
};

TEGULO_POPCOUNT_CLONES
void score_placements(const Game& game, const HeuristicWeights& weights, std::span<const std::uint16_t> moves,
                      float* scores) {
  const ActionSet& set = *game.action_set;
  const std::size_t mover = game.current_agent;
  const PlacementMasks own = game.placement_masks(mover);
  // The cells that are attach cells of at least one, two and three of the others
  // still in play: a placement's cells in all three count every loss once.
  Bitboard once, twice, thrice;
  for (std::size_t o = 0; o < AGENT_COUNT; ++o) {
    if (o == mover || game.agents[o].done) continue;
    const Bitboard attach = game.placement_masks(o).attach;
    thrice |= twice & attach;
    twice |= once & attach;
    once |= attach;
  }
  // The boards' windows, made the first time a placement starting in that row needs them.
  struct Rows {
    Window attach, forbidden, once, twice, thrice, cells;
  };
  std::array<Rows, BOARD_SIZE> rows;
  std::uint32_t ready = 0;
  const Orientations& orientations = Orientations::get();
  for (std::size_t k = 0; k < moves.size(); ++k) {
    // The placement from its grid index alone: reading its cells from the
    // catalogue would miss the cache at nearly every placement.
    const std::size_t grid = set.grid_indices[moves[k]];
    const std::size_t piece = grid / ANCHORS;
    const auto row = static_cast<unsigned>(grid % ANCHORS / BOARD_SIZE), col = static_cast<unsigned>(grid % BOARD_SIZE);
    const unsigned base = Window::base_of(row);
    Rows& r = rows[row];
    if ((ready >> row & 1) == 0) {
      r = {Window::of(own.attach, base), Window::of(own.forbidden, base), Window::of(once, base),
           Window::of(twice, base),      Window::of(thrice, base),        Window::of(BOARD_MASK, base)};
      ready |= std::uint32_t{1} << row;
    }
    const Window placed = orientations.shape[piece].shifted(row == 0 ? col : ROW_STRIDE + col);
    // What the placement covers or now borders stops being an attach cell of the
    // mover's; its free corners that are neither become new ones.
    const Window gone = placed | placed.edge_neighbours(r.cells);
    const int opened = (((placed.corner_neighbours(r.cells) - r.forbidden) - gone) - r.attach).count();
    const int closed = (r.attach & gone).count();
    const int taken = (placed & r.once).count() + (placed & r.twice).count() + (placed & r.thrice).count();
    scores[k] = weights.size * static_cast<float>(orientations.size[piece]) +
                weights.reach * static_cast<float>(opened - closed) + weights.block * static_cast<float>(taken);
  }
}

Choice choose_heuristic(const Game& game, const HeuristicWeights& weights, Stream& stream) {
  const auto& moves = legal_of(game);
  thread_local std::vector<float> scores;
  scores.resize(moves.size());
  score_placements(game, weights, moves, scores.data());
  thread_local Best best;
  best.reset();
  for (std::size_t k = 0; k < moves.size(); ++k) best.offer(scores[k], moves[k]);
  return {best.draw(stream), static_cast<std::uint32_t>(moves.size())};
}

Choice choose(const Game& game, const Player& player, Stream& stream, ThreadPool* pool, bool count) {
  switch (player.kind) {
    case PlayerKind::random:
      return choose_random(game, stream);
    case PlayerKind::greedy:
      return choose_greedy(game, stream, count);
    case PlayerKind::heuristic:
      return choose_heuristic(game, player.weights, stream);
    case PlayerKind::mcts:
      return search(game, player, stream, pool);
  }
  throw InternalError("Unknown player kind " + std::to_string(static_cast<int>(player.kind)));
}

}  // namespace tegulo
