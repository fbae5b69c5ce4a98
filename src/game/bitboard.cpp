#include "bitboard.hpp"

#include <string>

#include "errors.hpp"

namespace tegulo {

namespace {
[[noreturn]] void out_of_span(std::size_t p) {
  throw InternalError("Bitboard index " + std::to_string(p) + " out of range [0, " + std::to_string(BOARD_SPAN - 1) +
                      "]");
}
}  // namespace

bool Bitboard::contains(std::size_t p) const {
  if (p >= BOARD_SPAN) out_of_span(p);
  return (chunks_[p / 64] >> (p % 64)) & 1;
}

Bitboard Bitboard::permute(const PositionTable& table) const {
  Bitboard r;
  for (std::size_t i = 0; i < CHUNKS; ++i) {
    for (std::uint64_t w = chunks_[i]; w != 0; w &= w - 1) {
      const std::size_t p = i * 64 + static_cast<std::size_t>(std::countr_zero(w));
      if (p >= BOARD_SPAN) out_of_span(p);
      const unsigned q = table[p];
      if (q >= CAPACITY) throw InternalError("Permutation target " + std::to_string(q) + " beyond the board set");
      r.insert(q);
    }
  }
  return r;
}

}  // namespace tegulo
