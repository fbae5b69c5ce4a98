#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "game/bitboard.hpp"

namespace tegulo {

// Positions base to base + 191 of a board as three words. A piece covers at most
// five rows, so a placement and all its edge and corner neighbours lie in the
// seven rows from the one above its first: set operations on them take three
// words instead of eight.
struct Window {
  std::array<std::uint64_t, 3> w{};

  // The window of a placement whose first row is `row`.
  static constexpr unsigned base_of(unsigned row) { return row == 0 ? 0 : (row - 1) * ROW_STRIDE; }

  static Window of(const Bitboard& b, unsigned base) {
    const auto& c = b.chunks();
    const unsigned j = base / 64, s = base % 64;
    auto chunk = [&](unsigned k) { return k < Bitboard::CHUNKS ? c[k] : 0; };
    Window r;
    for (unsigned k = 0; k < 3; ++k)
      r.w[k] = s == 0 ? chunk(j + k) : (chunk(j + k) >> s) | (chunk(j + k + 1) << (64 - s));
    return r;
  }

  friend Window operator|(Window a, const Window& b) {
    for (unsigned k = 0; k < 3; ++k) a.w[k] |= b.w[k];
    return a;
  }
  friend Window operator&(Window a, const Window& b) {
    for (unsigned k = 0; k < 3; ++k) a.w[k] &= b.w[k];
    return a;
  }
  friend Window operator-(Window a, const Window& b) {
    for (unsigned k = 0; k < 3; ++k) a.w[k] &= ~b.w[k];
    return a;
  }

  // The window moved n positions up (0 to 63), as a placement's cells move from
  // its orientation's anchor at bit 0 to its own; bits pushed past the top are lost.
  Window shifted(unsigned n) const {
    if (n == 0) return *this;
    return {{w[0] << n, (w[1] << n) | (w[0] >> (64 - n)), (w[2] << n) | (w[1] >> (64 - n))}};
  }

  int count() const { return std::popcount(w[0]) + std::popcount(w[1]) + std::popcount(w[2]); }

  template <unsigned N>
  Window up() const {
    return {{w[0] << N, (w[1] << N) | (w[0] >> (64 - N)), (w[2] << N) | (w[1] >> (64 - N))}};
  }
  template <unsigned N>
  Window down() const {
    return {{(w[0] >> N) | (w[1] << (64 - N)), (w[1] >> N) | (w[2] << (64 - N)), w[2] >> N}};
  }

  // Neighbours within the window; `cells` is the board mask's window, which drops
  // the gap column.
  Window edge_neighbours(const Window& cells) const { return (up<1>() | down<1>() | up<21>() | down<21>()) & cells; }
  Window corner_neighbours(const Window& cells) const {
    return (up<20>() | down<20>() | up<22>() | down<22>()) & cells;
  }
};

}  // namespace tegulo
