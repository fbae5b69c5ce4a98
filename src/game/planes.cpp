#include "planes.hpp"

#include <array>
#include <cstring>
#include <utility>

namespace tegulo {

namespace {

// The eight bytes of 0/1 that eight bits spell, lowest bit first.
constexpr std::array<std::array<std::uint8_t, 8>, 256> SPREAD = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (unsigned bits = 0; bits < 256; ++bits)
    for (unsigned i = 0; i < 8; ++i) table[bits][i] = static_cast<std::uint8_t>(bits >> i & 1);
  return table;
}();

// The 20 cells of row R as the low bits of a word; the row's chunk and shift are
// constants, so a row is a shift or two and a mask.
template <unsigned R>
std::uint32_t row_bits(const Bitboard::Chunks& chunks) {
  constexpr unsigned P = R * ROW_STRIDE, J = P / 64, S = P % 64;
  std::uint64_t bits = chunks[J] >> S;
  // A row starting in the last 19 positions of a chunk continues in the next one.
  if constexpr (S > 64 - BOARD_SIZE) bits |= chunks[J + 1] << (64 - S);
  return static_cast<std::uint32_t>(bits) & ((std::uint32_t{1} << BOARD_SIZE) - 1);
}

// The 20 bytes of row R: three table reads (8 + 8 + 4 cells).
template <unsigned R>
void write_row(const Bitboard::Chunks& chunks, std::uint8_t* out) {
  const std::uint32_t bits = row_bits<R>(chunks);
  out += R * BOARD_SIZE;
  std::memcpy(out, SPREAD[bits & 0xFF].data(), 8);
  std::memcpy(out + 8, SPREAD[bits >> 8 & 0xFF].data(), 8);
  std::memcpy(out + 16, SPREAD[bits >> 16].data(), 4);
}

}  // namespace

// Sixty stores a seat's plane whatever the set holds, and nothing needs zeroing first.
void write_cells(const Bitboard& cells, std::uint8_t* out) {
  [&]<unsigned... R>(std::integer_sequence<unsigned, R...>) {
    (write_row<R>(cells.chunks(), out), ...);
  }(std::make_integer_sequence<unsigned, BOARD_SIZE>());
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
