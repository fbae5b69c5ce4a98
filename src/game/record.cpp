// The 278-byte state record. All integers are little-endian. A cell set is its
// four 128-bit words, most significant first: bytes 0-15 of the field hold
// positions 384-511, bytes 48-63 positions 0-127. Only the primary state is
// stored; placed counts, done flags and the agent count are derived on reading.
#include <bit>

#include "game.hpp"

namespace tegulo {

namespace {

constexpr std::uint8_t VERSION = 1;
constexpr std::size_t AGENT_BLOCK = 69;  // cells 64, remaining kinds 4, last kind 1
constexpr std::size_t TURN_BYTE = RECORD_SIZE - 1;

// Offset within the cells field of 64-bit chunk i (positions 64 i to 64 i + 63).
constexpr std::size_t chunk_offset(std::size_t i) { return 16 * (3 - i / 2) + 8 * (i % 2); }

void put_le(std::uint8_t* out, std::uint64_t value, std::size_t width) {
  for (std::size_t b = 0; b < width; ++b) out[b] = static_cast<std::uint8_t>(value >> (8 * b));
}

std::uint64_t get_le(const std::uint8_t* in, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t b = 0; b < width; ++b) value |= std::uint64_t{in[b]} << (8 * b);
  return value;
}

}  // namespace

Record Game::to_bytes() const {
  Record record{};
  record[0] = VERSION;
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    std::uint8_t* block = record.data() + 1 + AGENT_BLOCK * a;
    for (std::size_t i = 0; i < Bitboard::CHUNKS; ++i) put_le(block + chunk_offset(i), agents[a].cells.chunks()[i], 8);
    put_le(block + 64, agents[a].remaining, 4);
    block[68] = agents[a].last_piece;
  }
  record[TURN_BYTE] = static_cast<std::uint8_t>(current_agent);
  return record;
}

std::optional<Game> Game::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != RECORD_SIZE || bytes[0] != VERSION) return std::nullopt;
  if (bytes[TURN_BYTE] >= AGENT_COUNT) return std::nullopt;
  Game game = Game::fresh();
  game.current_agent = bytes[TURN_BYTE];
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const std::uint8_t* block = bytes.data() + 1 + AGENT_BLOCK * a;
    Bitboard::Chunks chunks;
    for (std::size_t i = 0; i < Bitboard::CHUNKS; ++i) chunks[i] = get_le(block + chunk_offset(i), 8);
    const Bitboard cells(chunks);
    const auto remaining = static_cast<std::uint32_t>(get_le(block + 64, 4));
    const std::uint8_t last = block[68];
    if (last != 0 && !PieceType::from_code(last)) return std::nullopt;
    if (!(cells - BOARD_MASK).empty() || remaining > ALL_KINDS) return std::nullopt;
    Agent& agent = game.agents[a];
    agent.cells = cells;
    agent.remaining = remaining;
    agent.last_piece = last;
    agent.placed = static_cast<std::uint8_t>(KIND_COUNT - static_cast<std::size_t>(std::popcount(remaining)));
  }
  game.update_done();
  return game;
}

}  // namespace tegulo
