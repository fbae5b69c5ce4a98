// Feeds arbitrary bytes to the state record reader. It must accept exactly the
// bytes the record layout allows (decided here from the layout, not by the
// reader), and an accepted record must write back to the same bytes and be a game
// that every operation handles. An accepted record may hold a position play never
// reaches (agents overlapping, cells that match no placed kinds), so the checks
// here are those that hold for any record, not the invariants of play.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "game/game.hpp"
#include "invariants.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using fuzz::require;

constexpr std::size_t AGENT_BLOCK = 69;  // cells 64, remaining kinds 4, last kind 1
constexpr std::size_t TURN_BYTE = RECORD_SIZE - 1;

// The position of bit `bit` of byte `byte` of a cells field: four 128-bit
// little-endian words, the word of the highest positions first.
constexpr unsigned cell_position(std::size_t byte, unsigned bit) {
  return static_cast<unsigned>(128 * (3 - byte / 16) + 8 * (byte % 16) + bit);
}

constexpr bool on_board(unsigned p) { return p < BOARD_SPAN && p % ROW_STRIDE != BOARD_SIZE; }

std::uint32_t le32(const std::uint8_t* in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
}

// Whether the layout admits the bytes: the right length and version, a turn byte
// naming an agent, and in every agent block no cell off the board, no kind bit
// beyond the 21 and a last piece byte that is 0 or a kind's code.
bool well_formed(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != RECORD_SIZE || bytes[0] != 1 || bytes[TURN_BYTE] >= AGENT_COUNT) return false;
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const std::uint8_t* block = bytes.data() + 1 + AGENT_BLOCK * a;
    for (std::size_t byte = 0; byte < 64; ++byte)
      for (unsigned bit = 0; bit < 8; ++bit)
        if ((block[byte] >> bit & 1) != 0 && !on_board(cell_position(byte, bit))) return false;
    if (le32(block + 64) >> KIND_COUNT != 0) return false;
    const std::uint8_t last = block[68];
    if (last != 0 &&
        std::none_of(PieceType::ALL.begin(), PieceType::ALL.end(), [&](PieceType t) { return t.code() == last; }))
      return false;
  }
  return true;
}

// The game holds what the bytes say, field by field, and writes them back unchanged.
void check_decoded(const Game& game, std::span<const std::uint8_t> bytes) {
  require(game.current_agent == bytes[TURN_BYTE], "the current agent is not the turn byte");
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const Agent& agent = game.agents[a];
    const std::uint8_t* block = bytes.data() + 1 + AGENT_BLOCK * a;
    int cells = 0;
    for (std::size_t byte = 0; byte < 64; ++byte)
      for (unsigned bit = 0; bit < 8; ++bit) {
        const unsigned p = cell_position(byte, bit);
        if (!on_board(p)) continue;
        const bool set = (block[byte] >> bit & 1) != 0;
        cells += set;
        require(agent.cells.contains(p) == set, "a cell is read at the wrong position");
      }
    require(agent.cells.count() == cells, "cells are read that the record does not hold");
    require(agent.remaining == le32(block + 64), "the remaining kinds are misread");
    require(agent.placed == KIND_COUNT - static_cast<std::size_t>(std::popcount(agent.remaining)),
            "the placed count does not follow from the remaining kinds");
    require(agent.last_piece == block[68], "the last piece is misread");
  }
  const Record written = game.to_bytes();
  require(std::equal(written.begin(), written.end(), bytes.begin(), bytes.end()),
          "the record does not write back to the bytes read");
}

// A deterministic stream of indices from the input, for probing unlisted actions.
class Probes {
 public:
  explicit Probes(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) state_ = (state_ ^ b) * 0x100000001b3;
  }
  std::size_t next(std::size_t bound) {
    std::uint64_t z = state_ += 0x9e3779b97f4a7c15;
    z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9;
    z = (z ^ z >> 27) * 0x94d049bb133111eb;
    return static_cast<std::size_t>((z ^ z >> 31) % bound);
  }

 private:
  std::uint64_t state_ = 0xcbf29ce484222325;
};

// Steps a copy of the game with `action` and checks what the step did.
void check_step(const Game& game, std::optional<std::size_t> action, bool listed) {
  Game copy = game;
  const std::optional<InvalidAction> refusal = copy.step(action);
  require(testing::broken_step(game, action, listed, refusal, copy));
}

void check_record(std::span<const std::uint8_t> bytes) {
  const std::optional<Game> read = Game::from_bytes(bytes);
  require(read.has_value() == well_formed(bytes),
          read ? "a record the layout does not allow is accepted" : "a record the layout allows is refused");
  if (!read) return;
  const Game& game = *read;
  check_decoded(game, bytes);

  // Reading ran the done refresh, so every agent's flag must agree with its move scan.
  require(testing::broken_done_flags(game));

  // The agent to move can make every listed placement and nothing else: the
  // unlisted probes are near misses of listed placements (shifted a column, a
  // row or to the neighbouring orientation), indices past the grid, no index at
  // all and indices drawn from the input.
  const std::vector<std::size_t> listed = testing::legal_actions(game);
  for (std::size_t action : listed) check_step(game, action, true);
  std::vector<std::optional<std::size_t>> probes = {std::nullopt, NUM_ACTIONS - 1, NUM_ACTIONS, NUM_ACTIONS + 1,
                                                    65535,        65536,           SIZE_MAX};
  for (std::size_t action : listed)
    for (std::size_t delta : {std::size_t{1}, std::size_t{BOARD_SIZE}, ANCHORS}) {
      probes.push_back(action + delta);
      if (action >= delta) probes.push_back(action - delta);
    }
  Probes draw(bytes);
  for (int i = 0; i < 16; ++i) probes.push_back(draw.next(NUM_ACTIONS + 64));
  std::vector<std::size_t> sorted = listed;
  std::sort(sorted.begin(), sorted.end());
  for (const std::optional<std::size_t>& action : probes)
    if (!action || !std::binary_search(sorted.begin(), sorted.end(), *action)) check_step(game, action, false);

  Game refreshed = game;
  refreshed.update_done();
  require(refreshed == game, "a second done refresh changes the game");
  static_cast<void>(game.scores());
  static_cast<void>(game.board_text());
}

}  // namespace
}  // namespace tegulo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tegulo::fuzz::run([&] { tegulo::check_record({data, size}); });
}
