// The move scans against the plainest reading of their rules: every placement of
// the catalogue tried in turn, and the legal ones sorted into the scan's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

// The legal placements for these masks and kinds: of a remaining kind, off the
// forbidden mask, covering an attach cell; ordered by their lowest attach cell,
// then kind index, then dense index.
std::vector<std::uint16_t> reference_moves(const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining) {
  const auto& actions = ActionSet::get().actions;
  std::vector<std::tuple<unsigned, unsigned, std::uint16_t>> keyed;
  for (std::size_t n = 0; n < actions.size(); ++n) {
    const Action& a = actions[n];
    const unsigned kind = a.piece_type.kind_index();
    if ((remaining >> kind & 1) == 0 || a.cells.overlaps(forbidden)) continue;
    const Bitboard touching = a.cells & attach;
    if (touching.empty()) continue;
    keyed.emplace_back(*touching.ones().begin(), kind, static_cast<std::uint16_t>(n));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::uint16_t> out;
  for (const auto& key : keyed) out.push_back(std::get<2>(key));
  return out;
}

// The move scan of an observation whose own seat has these masks and kinds.
std::vector<std::uint16_t> scanned(const Bitboard& attach, const Bitboard& forbidden, std::uint32_t remaining) {
  Observation obs;
  obs.corners[0] = attach;
  obs.blocked[0] = forbidden;
  obs.pieces[0] = remaining;
  std::vector<std::uint16_t> moves = {1, 2, 3};  // the scan must clear what it is given
  Game::fresh().observed_moves(obs, moves);
  return moves;
}

// On an empty board, one attach cell and a set of kinds list the cell's cover
// lists of those kinds, one after the other: every orientation put on every cell
// with each of its cells, and nothing on the gap column.
TEST(MoveScan, OneAttachCellListsItsCoverLists) {
  const ActionSet& set = ActionSet::get();
  for (const std::uint32_t kinds : {ALL_KINDS, 0x0AAAAAu, 0x100001u, 0u}) {
    for (unsigned p = 0; p < BOARD_SPAN; ++p) {
      std::vector<std::uint16_t> expected;
      for (std::size_t k = 0; k < KIND_COUNT; ++k)
        if ((kinds >> k & 1) != 0)
          for (std::uint16_t d : set.cover_list(p, k)) expected.push_back(d);
      ASSERT_EQ(scanned(Bitboard::single(p), Bitboard(), kinds), expected) << "cell " << p << " kinds " << kinds;
    }
  }
}

// Random masks, sparse to dense, anywhere on the board: edges, corners and cells
// beside the gap column included.
TEST(MoveScan, MatchesTheReferenceOnRandomMasks) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 300; ++i) {
    const unsigned forbidden_in_64 = static_cast<unsigned>(rng() % 48),
                   attach_in_64 = 1 + static_cast<unsigned>(rng() % 8);
    Bitboard attach, forbidden;
    for (unsigned p = 0; p < BOARD_SPAN; ++p) {
      if (p % ROW_STRIDE == BOARD_SIZE) continue;
      const unsigned roll = static_cast<unsigned>(rng() % 64);
      if (roll < forbidden_in_64)
        forbidden.insert(p);
      else if (roll < forbidden_in_64 + attach_in_64)
        attach.insert(p);
    }
    const std::uint32_t remaining = static_cast<std::uint32_t>(rng()) & ALL_KINDS;
    ASSERT_EQ(scanned(attach, forbidden, remaining), reference_moves(attach, forbidden, remaining)) << "mask " << i;
  }
}

// Every position of seeded random games, the ends included: each agent's
// observation lists the reference's placements in its order, and the done flags
// are exactly those of the agents with none: as play left them, and after a
// refresh from scratch whatever witnesses it starts from (another agent's, none
// of the catalogue's).
TEST(MoveScan, MatchesTheReferenceInRandomGames) {
  int positions = 0, out_of_moves = 0;
  auto check = [&](const Game& game) {
    ++positions;
    Game refreshed = game, scrambled = game;
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      refreshed.agents[a].done = scrambled.agents[a].done = false;
      scrambled.witness[a] = a == 3 ? 0xFFFF : game.witness[(a + 1) % AGENT_COUNT];
    }
    refreshed.update_done();
    scrambled.update_done();
    ASSERT_EQ(scrambled, refreshed);  // witnesses aside
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      const Observation obs = game.observe(a);
      std::vector<std::uint16_t> moves;
      game.observed_moves(obs, moves);
      ASSERT_EQ(moves, reference_moves(obs.corners[0], obs.blocked[0], obs.pieces[0]))
          << "position " << positions << " agent " << a;

      const PlacementMasks masks = game.placement_masks(a);
      const bool none = reference_moves(masks.attach, masks.forbidden, game.agents[a].remaining).empty();
      ASSERT_EQ(refreshed.agents[a].done, none) << "position " << positions << " agent " << a;
      ASSERT_EQ(game.agents[a].done, none) << "position " << positions << " agent " << a;
      ASSERT_EQ(scrambled.agents[a].done, none) << "position " << positions << " agent " << a;
      out_of_moves += none;
    }
  };
  for (std::uint64_t seed = 0; seed < 16; ++seed)
    check(random_game(seed, [&](const Game& game, std::optional<std::size_t>) { check(game); }));
  EXPECT_GT(out_of_moves, positions / 4);  // agents out of moves are well represented
}

}  // namespace
}  // namespace tegulo
