// Observations as bytes, sorted lists of legal actions, and the step split into
// its check and its placement.
#include "game/planes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "game/game.hpp"
#include "invariants.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

// Positions from a few seeded random games, the end of each included.
std::vector<Game> sample_positions() {
  std::vector<Game> positions;
  for (std::uint64_t seed = 1; seed <= 6; ++seed)
    positions.push_back(random_game(seed, [&](const Game& game, auto) { positions.push_back(game); }));
  return positions;
}

TEST(Planes, EveryByteIsTheCellOrKindItStandsFor) {
  for (const Game& game : sample_positions()) {
    for (std::size_t observer = 0; observer < AGENT_COUNT; ++observer) {
      const Observation obs = game.observe(observer);
      // Poisoned buffers: a byte the writer skips shows up as 0xAA.
      std::vector<std::uint8_t> occupied(CELL_PLANE, 0xAA), corners(CELL_PLANE, 0xAA), blocked(CELL_PLANE, 0xAA),
          pieces(PIECE_PLANE, 0xAA), done(AGENT_COUNT, 0xAA);
      write_planes(obs, {occupied.data(), corners.data(), blocked.data(), pieces.data(), done.data()});
      for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
        for (unsigned r = 0; r < BOARD_SIZE; ++r)
          for (unsigned c = 0; c < BOARD_SIZE; ++c) {
            const std::size_t byte = seat * CELLS + r * BOARD_SIZE + c;
            ASSERT_EQ(occupied[byte], obs.occupied[seat].contains(position(r, c)));
            ASSERT_EQ(corners[byte], obs.corners[seat].contains(position(r, c)));
            ASSERT_EQ(blocked[byte], obs.blocked[seat].contains(position(r, c)));
          }
        for (std::size_t k = 0; k < KIND_COUNT; ++k)
          ASSERT_EQ(pieces[seat * KIND_COUNT + k], obs.pieces[seat] >> k & 1);
        ASSERT_EQ(done[seat], obs.done[seat]);
      }
    }
  }
}

// Random sets, sparse to full: the writer the processor gets writes what the
// plain one does, and nothing past the plane's 400 bytes.
TEST(Planes, EveryWriterWritesTheSameBytesAndNoMore) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 2000; ++i) {
    Bitboard::Chunks chunks;
    const int sparseness = i % 4;
    for (auto& c : chunks) {
      c = rng();
      for (int k = 0; k < sparseness; ++k) c &= rng();
    }
    const Bitboard cells = Bitboard(chunks) & BOARD_MASK;
    std::vector<std::uint8_t> fast(CELLS + 64, 0xAA), plain(CELLS + 64, 0xAA);
    write_cells(cells, fast.data());
    write_cells_portable(cells, plain.data());
    ASSERT_EQ(fast, plain) << i;
    for (std::size_t b = 0; b < CELLS; ++b) ASSERT_EQ(plain[b], cells.contains(position(b / 20, b % 20))) << i;
    ASSERT_TRUE(std::all_of(fast.begin() + CELLS, fast.end(), [](std::uint8_t b) { return b == 0xAA; }));
  }
}

TEST(Planes, AFullBoardAndTheLastCellOfEachRow) {
  std::vector<std::uint8_t> out(CELLS, 0xAA);
  write_cells(BOARD_MASK, out.data());
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 1; }));
  Bitboard last_column;
  for (unsigned r = 0; r < BOARD_SIZE; ++r) last_column.insert(position(r, BOARD_SIZE - 1));
  write_cells(last_column, out.data());
  for (std::size_t i = 0; i < CELLS; ++i) ASSERT_EQ(out[i], i % BOARD_SIZE == BOARD_SIZE - 1) << i;
}

TEST(ObservedActions, AreTheScansPlacementsAsSortedGridIndicesOrMaskEntries) {
  const ActionSet& set = ActionSet::get();
  std::vector<std::uint16_t> moves, actions;
  for (const Game& game : sample_positions()) {
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      const Observation obs = game.observe(a);
      game.observed_moves(obs, moves);
      std::vector<std::uint16_t> expected;
      for (std::uint16_t d : moves) expected.push_back(static_cast<std::uint16_t>(set.actions[d].grid_index));
      std::sort(expected.begin(), expected.end());
      actions.assign(3, 7);  // whatever was there goes
      game.observed_actions(obs, actions);
      ASSERT_EQ(actions, expected);
      std::array<std::uint8_t, NUM_ACTIONS> mask{};
      mask[NUM_ACTIONS - 1] = 2;  // entries not marked stay as they were
      ASSERT_EQ(game.mark_observed_actions(obs, mask), expected.size());
      for (const std::uint16_t g : expected) ASSERT_EQ(mask[g], 1);
      ASSERT_EQ(static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1)), expected.size());
      ASSERT_EQ(mask[NUM_ACTIONS - 1], expected.empty() || expected.back() != NUM_ACTIONS - 1 ? 2 : 1);
    }
  }
}

TEST(LegalMoves, AreTheRulesPlacementsAndWhatTheAgentsFrameLists) {
  const ActionSet& set = ActionSet::get();
  std::vector<std::uint16_t> absolute, relative;
  for (const Game& game : sample_positions()) {
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      game.legal_moves(a, absolute);
      ASSERT_EQ(std::set<std::uint16_t>(absolute.begin(), absolute.end()), legal_by_cells(game, a));
      ASSERT_EQ(absolute.size(), legal_by_cells(game, a).size()) << "a placement listed twice";
      game.observed_moves(game.observe(a), relative);
      std::set<std::uint16_t> turned;
      for (std::uint16_t r : relative) turned.insert(set.agent_maps[a][r]);
      ASSERT_EQ(turned, std::set<std::uint16_t>(absolute.begin(), absolute.end()));
    }
  }
}

TEST(LegalPlacement, NamesWhatStepPlacesAndRefusesWhatStepRefuses) {
  for (const Game& game : sample_positions()) {
    if (game.is_over()) continue;
    const std::vector<std::size_t> legal = legal_actions(game);
    for (std::size_t action = 0; action < NUM_ACTIONS; action += 97) {
      Game stepped = game;
      const bool accepted = !stepped.step(action);
      const auto placement = game.legal_placement(action);
      ASSERT_EQ(placement.has_value(), accepted && !game.agents[game.current_agent].done) << action;
      if (!placement) continue;
      Game placed = game;
      placed.place(*placement);
      ASSERT_EQ(placed, stepped);
    }
    for (std::size_t action : legal) ASSERT_TRUE(game.legal_placement(action)) << action;
  }
}

}  // namespace
}  // namespace tegulo
