#include "planes.hpp"

#include <array>
#include <cstring>

namespace tegulo {

namespace {

// The eight bytes of 0/1 that eight bits spell, lowest bit first.
constexpr std::array<std::array<std::uint8_t, 8>, 256> SPREAD = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (unsigned bits = 0; bits < 256; ++bits)
    for (unsigned i = 0; i < 8; ++i) table[bits][i] = static_cast<std::uint8_t>(bits >> i & 1);
  return table;
}();

// The 20 cells of row r as the low bits of a word.
std::uint32_t row_bits(const Bitboard::Chunks& chunks, unsigned r) {
  const unsigned p = r * ROW_STRIDE, j = p / 64, s = p % 64;
  std::uint64_t bits = chunks[j] >> s;
  // A row starting in the last 19 positions of a chunk continues in the next one.
  if (s > 64 - BOARD_SIZE) bits |= chunks[j + 1] << (64 - s);
  return static_cast<std::uint32_t>(bits) & ((std::uint32_t{1} << BOARD_SIZE) - 1);
}

}  // namespace

// A row is three table reads (8 + 8 + 4 cells), so a seat's plane is sixty
// stores whatever the set holds, and nothing needs zeroing first.
void write_cells(const Bitboard& cells, std::uint8_t* out) {
  const Bitboard::Chunks& chunks = cells.chunks();
  for (unsigned r = 0; r < BOARD_SIZE; ++r, out += BOARD_SIZE) {
    const std::uint32_t bits = row_bits(chunks, r);
    std::memcpy(out, SPREAD[bits & 0xFF].data(), 8);
    std::memcpy(out + 8, SPREAD[bits >> 8 & 0xFF].data(), 8);
    std::memcpy(out + 16, SPREAD[bits >> 16].data(), 4);
  }
}

void write_planes(const Observation& obs, const PlaneBytes& out) {
  for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
    write_cells(obs.occupied[seat], out.observation + seat * CELLS);
    write_cells(obs.corners[seat], out.corners + seat * CELLS);
    write_cells(obs.blocked[seat], out.blocked + seat * CELLS);
    const std::uint32_t kinds = obs.pieces[seat];
    std::uint8_t* pieces = out.pieces + seat * KIND_COUNT;
    std::memcpy(pieces, SPREAD[kinds & 0xFF].data(), 8);
    std::memcpy(pieces + 8, SPREAD[kinds >> 8 & 0xFF].data(), 8);
    std::memcpy(pieces + 16, SPREAD[kinds >> 16 & 0x1F].data(), 5);
    out.done[seat] = obs.done[seat];
  }
}

}  // namespace tegulo
