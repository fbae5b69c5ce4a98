// The 278-byte state record and the board text.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "game/game.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

std::vector<std::uint8_t> fresh_record() {
  const Record r = Game::fresh().to_bytes();
  return {r.begin(), r.end()};
}

bool accepted(const std::vector<std::uint8_t>& bytes) { return Game::from_bytes(bytes).has_value(); }

TEST(Record, FreshGame) {
  const auto bytes = fresh_record();
  ASSERT_EQ(bytes.size(), 278u);
  EXPECT_EQ(bytes[0], 1);
  for (std::size_t a = 0; a < 4; ++a) {
    const std::size_t base = 1 + 69 * a;
    for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(bytes[base + i], 0);
    EXPECT_EQ(bytes[base + 64], 0xFF);
    EXPECT_EQ(bytes[base + 65], 0xFF);
    EXPECT_EQ(bytes[base + 66], 0x1F);
    EXPECT_EQ(bytes[base + 67], 0x00);
    EXPECT_EQ(bytes[base + 68], 0x00);
  }
  EXPECT_EQ(bytes[277], 0);
}

TEST(Record, FirstPlacementChangesFourPlaces) {
  Game game = Game::fresh();
  ASSERT_FALSE(game.step(grid(I1, 0, 0)));
  const Record after = game.to_bytes();
  const auto before = fresh_record();
  std::vector<std::size_t> changed;
  for (std::size_t i = 0; i < RECORD_SIZE; ++i)
    if (after[i] != before[i]) changed.push_back(i);
  EXPECT_EQ(changed, (std::vector<std::size_t>{49, 65, 69, 277}));
  EXPECT_EQ(after[49], 0x01);
  EXPECT_EQ(after[65], 0xFE);
  EXPECT_EQ(after[69], 0x01);
  EXPECT_EQ(after[277], 0x01);
}

TEST(Record, CellPositionsLandInTheirBytes) {
  Game game = Game::fresh();
  game.agents[2].cells = cells({{0, 19}, {19, 19}});
  const Record r = game.to_bytes();
  const std::size_t base = 1 + 69 * 2;
  EXPECT_EQ(r[base + 50], 1 << 3);  // (0, 19), position 19
  EXPECT_EQ(r[base + 4], 1 << 2);   // (19, 19), position 418
  // One position in every 64-bit chunk, at bit p mod 8 of byte
  // base + 16 (3 - p / 128) + (p mod 128) / 8.
  for (unsigned p : {5u, 64u, 130u, 200u, 260u, 320u, 390u}) {
    Game one = Game::fresh();
    one.agents[3].cells = Bitboard::single(p);
    const Record bytes = one.to_bytes();
    const std::size_t at = 1 + 69 * 3 + 16 * (3 - p / 128) + (p % 128) / 8;
    for (std::size_t i = 1 + 69 * 3; i < 1 + 69 * 3 + 64; ++i) EXPECT_EQ(bytes[i], i == at ? 1 << (p % 8) : 0) << p;
  }
}

TEST(Record, RejectsEachBrokenRuleAtItsBoundary) {
  const auto good = fresh_record();
  EXPECT_TRUE(accepted(good));
  for (std::size_t size : {0u, 1u, 277u, 279u}) {
    auto bytes = good;
    bytes.resize(size, 0);
    EXPECT_FALSE(accepted(bytes)) << size;
  }
  auto with = [&](std::size_t at, std::uint8_t value) {
    auto bytes = good;
    bytes[at] = value;
    return bytes;
  };
  EXPECT_FALSE(accepted(with(0, 0)));
  EXPECT_FALSE(accepted(with(0, 2)));
  EXPECT_TRUE(accepted(with(277, 3)));
  EXPECT_FALSE(accepted(with(277, 4)));
  for (std::size_t a = 0; a < 4; ++a) {
    const std::size_t base = 1 + 69 * a;
    EXPECT_FALSE(accepted(with(base + 66, 0x20)));  // remaining 0x00200000 and up
    EXPECT_FALSE(accepted(with(base + 67, 0x01)));
    EXPECT_TRUE(accepted(with(base + 66, 0x00)));  // remaining 0x0000FFFF
    for (std::uint8_t code : {1, 101}) EXPECT_TRUE(accepted(with(base + 68, code)));
    for (std::uint8_t code : {4, 8, 102, 255}) EXPECT_FALSE(accepted(with(base + 68, code)));
    EXPECT_FALSE(accepted(with(base + 50, 1 << 4)));  // (0, 20): a gap position
    for (std::size_t i = 5; i < 16; ++i) EXPECT_FALSE(accepted(with(base + i, 0x80))) << i;
    EXPECT_FALSE(accepted(with(base + 4, 1 << 4)));  // position 420
    EXPECT_TRUE(accepted(with(base + 4, 1 << 2)));   // (19, 19)
  }
}

TEST(Record, AcceptsWhatItDoesNotCheckAndDerivesTheRest) {
  auto bytes = fresh_record();
  for (std::size_t a : {0u, 1u}) bytes[1 + 69 * a + 48] = 1;           // both agents on (0, 0)
  for (std::size_t i = 0; i < 4; ++i) bytes[1 + 69 * 3 + 64 + i] = 0;  // agent 3 has placed all
  bytes[1 + 69 * 3 + 68] = 1;
  bytes[1 + 68] = 2;  // agent 0's last kind I2 still marked as held
  bytes[277] = 1;
  const auto game = Game::from_bytes(bytes);
  ASSERT_TRUE(game);
  EXPECT_EQ(game->agents[3].placed, 21);
  EXPECT_EQ(game->ply(), 21u);
  EXPECT_EQ(game->current_agent, 1u);
  EXPECT_EQ(game->agent_count, 4u);
  EXPECT_EQ(game->action_set, &ActionSet::get());
  EXPECT_TRUE(game->agents[3].done);   // no kinds left
  EXPECT_FALSE(game->agents[1].done);  // it may go on from its cell on (0, 0)
  const Record again = game->to_bytes();
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes.begin()));
}

TEST(Record, CurrentAgentWithoutMovesIsDoneAndPasses) {
  Game game = Game::fresh();
  give(game, 0, {PieceType::I1}, cells({{0, 19}}));  // agent 1's corner
  game.current_agent = 1;
  const auto read = Game::from_bytes(game.to_bytes());
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->agents[1].done);
  Game next = *read;
  EXPECT_FALSE(next.step(std::nullopt));
  EXPECT_EQ(next.current_agent, 2u);
}

TEST(BoardText, FreshBoard) {
  const std::string text = Game::fresh().board_text();
  const std::string sep(103, '-');
  std::string expected_start =
      "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 | 16 | 17 | 18 | 19 |\n" +
      sep + "\n";
  expected_start += " 0";
  for (int c = 0; c < 20; ++c) expected_start += "|  . ";
  expected_start += "|\n" + sep + "\n";
  EXPECT_EQ(text.substr(0, expected_start.size()), expected_start);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 40);
  EXPECT_EQ(text.back(), '|');
  EXPECT_EQ(text.substr(text.size() - 103, 2), "19");
}

TEST(BoardText, CellsInTheirOwnersColours) {
  Game game = Game::fresh();
  game.agents[2].cells = cells({{0, 0}, {5, 5}});
  game.agents[1].cells = cells({{0, 1}, {0, 0}});  // claimed twice: agent 1 is drawn
  game.agents[3].cells = cells({{9, 10}});
  game.agents[0].cells = cells({{19, 19}});
  const std::string text = game.board_text();
  std::istringstream lines(text);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 41u);
  const std::string row0 = " 0|  \x1b[43mx\x1b[0m |  \x1b[43mx\x1b[0m |  . ";
  EXPECT_EQ(rows[2].substr(0, row0.size()), row0);
  EXPECT_EQ(rows[2].size(), 103u + 2 * 9);
  const std::string row5 = " 5" + std::string("|  . ") + "|  . |  . |  . |  . |  \x1b[41mx\x1b[0m |  . ";
  EXPECT_EQ(rows[2 + 2 * 5].substr(0, row5.size()), row5);
  EXPECT_EQ(rows[2 + 2 * 9].substr(0, 2), " 9");
  EXPECT_NE(rows[2 + 2 * 9].find("\x1b[42mx\x1b[0m"), std::string::npos);
  EXPECT_EQ(rows[2 + 2 * 10].substr(0, 2), "10");
  EXPECT_EQ(rows[40].substr(rows[40].size() - 15), "|  \x1b[44mx\x1b[0m |");

  std::ostringstream out;
  out << game;
  EXPECT_EQ(out.str(), text);
}

}  // namespace
}  // namespace tegulo
