#include "planes.hpp"

#include <array>
#include <cstring>
#include <utility>

// Planes are written with AVX2 where the processor has it, chosen at run time, so
// that one build serves every x86-64 machine.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TEGULO_PLANES_AVX2 1
#include <immintrin.h>
#else
#define TEGULO_PLANES_AVX2 0
#endif

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
void write_cells_portable(const Bitboard& cells, std::uint8_t* out) {
  [&]<unsigned... R>(std::integer_sequence<unsigned, R...>) { (write_row<R>(cells.chunks(), out), ...); }
  (std::make_integer_sequence<unsigned, BOARD_SIZE>());
}

namespace {

#if TEGULO_PLANES_AVX2
// With AVX2 a row is one broadcast, one byte shuffle and three vector operations:
// byte k takes byte k / 8 of the row's bits, keeps bit k % 8 of it and becomes 1
// where that bit is set. Each row is stored as 32 bytes, the last 12 of which the
// next row overwrites; the last row is stored as 16 and 4.
#define TEGULO_AVX2 __attribute__((target("avx2")))

TEGULO_AVX2 inline __m256i spread_row(std::uint32_t bits) {
  const __m256i spread =
      _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
  const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201));
  const __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
  return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, bit), bit), _mm256_set1_epi8(1));
}

template <unsigned... R>
TEGULO_AVX2 void store_rows(const Bitboard::Chunks& chunks, std::uint8_t* out, std::integer_sequence<unsigned, R...>) {
  (_mm256_storeu_si256(reinterpret_cast<__m256i*>(out + R * BOARD_SIZE), spread_row(row_bits<R>(chunks))), ...);
}

TEGULO_AVX2 void write_cells_avx2(const Bitboard& cells, std::uint8_t* out) {
  const Bitboard::Chunks& chunks = cells.chunks();
  store_rows(chunks, out, std::make_integer_sequence<unsigned, BOARD_SIZE - 1>());
  const __m256i last = spread_row(row_bits<BOARD_SIZE - 1>(chunks));
  std::uint8_t* tail = out + (BOARD_SIZE - 1) * BOARD_SIZE;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(tail), _mm256_castsi256_si128(last));
  const int high = _mm_cvtsi128_si32(_mm256_extracti128_si256(last, 1));
  std::memcpy(tail + 16, &high, 4);
}

using WriteCells = void (*)(const Bitboard&, std::uint8_t*);
// Chosen once, by what the processor running us can do.
const WriteCells WRITE_CELLS = __builtin_cpu_supports("avx2") ? write_cells_avx2 : write_cells_portable;
#else
constexpr auto WRITE_CELLS = write_cells_portable;
#endif

}  // namespace

void write_cells(const Bitboard& cells, std::uint8_t* out) { WRITE_CELLS(cells, out); }

void write_planes(const Observation& obs, const PlaneBytes& out) {
  const auto write = WRITE_CELLS;
  for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
    write(obs.occupied[seat], out.observation + seat * CELLS);
    write(obs.corners[seat], out.corners + seat * CELLS);
    write(obs.blocked[seat], out.blocked + seat * CELLS);
    const std::uint32_t kinds = obs.pieces[seat];
    std::uint8_t* pieces = out.pieces + seat * KIND_COUNT;
    std::memcpy(pieces, SPREAD[kinds & 0xFF].data(), 8);
    std::memcpy(pieces + 8, SPREAD[kinds >> 8 & 0xFF].data(), 8);
    std::memcpy(pieces + 16, SPREAD[kinds >> 16 & 0x1F].data(), 5);
    out.done[seat] = obs.done[seat];
  }
}

}  // namespace tegulo
