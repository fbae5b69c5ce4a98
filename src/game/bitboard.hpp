#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>

namespace tegulo {

// Board geometry. Cell (row, col) is position 21 * row + col: every row carries a
// gap position in column 20, so a shift that would carry a cell past the edge of
// its row lands on a gap, where the board mask removes it.
inline constexpr unsigned BOARD_SIZE = 20;   // rows, and columns
inline constexpr unsigned ROW_STRIDE = 21;   // positions per row, the gap included
inline constexpr unsigned BOARD_SPAN = 420;  // positions of the 20 rows, gaps included
inline constexpr unsigned CAPACITY = 512;    // positions a set can hold

constexpr unsigned position(unsigned row, unsigned col) { return row * ROW_STRIDE + col; }

// A table of 420 positions, one per position of the board span, for `permute`.
using PositionTable = std::array<std::uint16_t, BOARD_SPAN>;

// A set of board positions as a 512-bit number: position p is bit p. It is held as
// eight 64-bit chunks, chunk i holding positions 64 i to 64 i + 63, so that every
// set operation is a loop over eight words that the compiler unrolls.
class Bitboard {
 public:
  static constexpr std::size_t CHUNKS = 8;
  using Chunks = std::array<std::uint64_t, CHUNKS>;

  constexpr Bitboard() = default;
  constexpr explicit Bitboard(const Chunks& chunks) : chunks_(chunks) {}

  // The set holding only position p (0 to 511).
  static constexpr Bitboard single(unsigned p) {
    Bitboard b;
    b.chunks_[p / 64] = std::uint64_t{1} << (p % 64);
    return b;
  }

  constexpr const Chunks& chunks() const { return chunks_; }

  // Adds position p (0 to 511). Cheaper than a union with a one-position set,
  // which would write and read all eight words.
  constexpr void insert(unsigned p) { chunks_[p / 64] |= std::uint64_t{1} << (p % 64); }

  constexpr Bitboard& operator|=(const Bitboard& o) {
    for (std::size_t i = 0; i < CHUNKS; ++i) chunks_[i] |= o.chunks_[i];
    return *this;
  }
  constexpr Bitboard& operator&=(const Bitboard& o) {
    for (std::size_t i = 0; i < CHUNKS; ++i) chunks_[i] &= o.chunks_[i];
    return *this;
  }
  // Difference: removes the positions of o.
  constexpr Bitboard& operator-=(const Bitboard& o) {
    for (std::size_t i = 0; i < CHUNKS; ++i) chunks_[i] &= ~o.chunks_[i];
    return *this;
  }
  friend constexpr Bitboard operator|(Bitboard a, const Bitboard& b) { return a |= b; }
  friend constexpr Bitboard operator&(Bitboard a, const Bitboard& b) { return a &= b; }
  friend constexpr Bitboard operator-(Bitboard a, const Bitboard& b) { return a -= b; }
  friend constexpr bool operator==(const Bitboard& a, const Bitboard& b) {
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i < CHUNKS; ++i) diff |= a.chunks_[i] ^ b.chunks_[i];
    return diff == 0;
  }

  constexpr bool empty() const {
    std::uint64_t any = 0;
    for (auto c : chunks_) any |= c;
    return any == 0;
  }

  // Whether the two sets share a position below 420. Sets built by the engine hold
  // nothing from 420 on, so for them this is a plain intersection test; the limit
  // keeps stray high bits of a foreign set from deciding anything.
  constexpr bool overlaps(const Bitboard& o) const {
    std::uint64_t any = (chunks_[6] & o.chunks_[6]) & LOW_36;
    for (std::size_t i = 0; i < 6; ++i) any |= chunks_[i] & o.chunks_[i];
    return any != 0;
  }

  constexpr int count() const {
    int n = 0;
    for (auto c : chunks_) n += std::popcount(c);
    return n;
  }

  // Whether position p is in the set; p must lie in the board span (0 to 419),
  // anything larger is an internal error.
  bool contains(std::size_t p) const;

  // The 512-bit shift of the set toward higher (up) or lower (down) positions by
  // n, 0 to 511; bits pushed past either end are lost.
  constexpr Bitboard shifted_up(unsigned n) const {
    Bitboard r;
    const unsigned words = n / 64, bits = n % 64;
    for (std::size_t i = CHUNKS; i-- > words;) {
      std::uint64_t v = chunks_[i - words] << bits;
      if (bits != 0 && i > words) v |= chunks_[i - words - 1] >> (64 - bits);
      r.chunks_[i] = v;
    }
    return r;
  }
  constexpr Bitboard shifted_down(unsigned n) const {
    Bitboard r;
    const unsigned words = n / 64, bits = n % 64;
    for (std::size_t i = 0; i + words < CHUNKS; ++i) {
      std::uint64_t v = chunks_[i + words] >> bits;
      if (bits != 0 && i + words + 1 < CHUNKS) v |= chunks_[i + words + 1] << (64 - bits);
      r.chunks_[i] = v;
    }
    return r;
  }

  // Every cell sharing an edge with a cell of the set.
  constexpr Bitboard edge_neighbours() const;
  // Every cell touching a cell of the set diagonally.
  constexpr Bitboard corner_neighbours() const;

  // The set of table[k] for every position k of the set. Positions of the set must
  // lie below 420 and table entries below 512 (internal errors otherwise).
  Bitboard permute(const PositionTable& table) const;

  // The board cells of the set turned half a turn, (r, c) to (19 - r, 19 - c), as
  // two quarter turns by `permute` would give them. That is position p to 418 - p,
  // the board span reversed: no table, and no work per position. Positions that
  // are no cell (gaps, 420 on) must not be in the set; they would land elsewhere.
  constexpr Bitboard half_turned() const {
    Bitboard r;
    for (std::size_t i = 0; i < CHUNKS; ++i) r.chunks_[CHUNKS - 1 - i] = reversed(chunks_[i]);
    return r.shifted_down(CAPACITY - 1 - HALF_TURN_SUM);  // reversed, p went to 511 - p
  }

  class Ones;
  // The positions of the set in increasing order; allocates nothing.
  constexpr Ones ones() const;

 private:
  static constexpr std::uint64_t LOW_36 = (std::uint64_t{1} << 36) - 1;
  static constexpr unsigned HALF_TURN_SUM = 418;  // positions of (r, c) and (19 - r, 19 - c)

  // The bits of x in reverse order: halves, then quarters... swapped.
  static constexpr std::uint64_t reversed(std::uint64_t x) {
    x = (x >> 1 & 0x5555555555555555) | (x & 0x5555555555555555) << 1;
    x = (x >> 2 & 0x3333333333333333) | (x & 0x3333333333333333) << 2;
    x = (x >> 4 & 0x0F0F0F0F0F0F0F0F) | (x & 0x0F0F0F0F0F0F0F0F) << 4;
    x = (x >> 8 & 0x00FF00FF00FF00FF) | (x & 0x00FF00FF00FF00FF) << 8;
    x = (x >> 16 & 0x0000FFFF0000FFFF) | (x & 0x0000FFFF0000FFFF) << 16;
    return x >> 32 | x << 32;
  }

  // Shifts by a small fixed amount (1 to 63), the only ones the neighbour sets use.
  template <unsigned N>
  constexpr Bitboard up() const {
    Bitboard r;
    r.chunks_[0] = chunks_[0] << N;
    for (std::size_t i = 1; i < CHUNKS; ++i) r.chunks_[i] = (chunks_[i] << N) | (chunks_[i - 1] >> (64 - N));
    return r;
  }
  template <unsigned N>
  constexpr Bitboard down() const {
    Bitboard r;
    for (std::size_t i = 0; i + 1 < CHUNKS; ++i) r.chunks_[i] = (chunks_[i] >> N) | (chunks_[i + 1] << (64 - N));
    r.chunks_[CHUNKS - 1] = chunks_[CHUNKS - 1] >> N;
    return r;
  }

  Chunks chunks_{};
};

// Iteration over the positions of a set: the current chunk's remaining bits, its
// lowest one first, then the next non-empty chunk, found from a mask of the
// non-empty chunks so that sparse sets cost little more than their bits. Ones holds its own copy of the
// chunks, so iterating over a temporary set is safe.
class Bitboard::Ones {
 public:
  class iterator {
   public:
    using value_type = unsigned;
    using difference_type = std::ptrdiff_t;

    constexpr iterator() = default;
    constexpr explicit iterator(const Chunks* chunks) : chunks_(chunks) {
      for (std::size_t i = 0; i < CHUNKS; ++i) live_ |= static_cast<unsigned>((*chunks)[i] != 0) << i;
      next_chunk();
    }

    constexpr unsigned operator*() const { return static_cast<unsigned>(chunk_ * 64 + std::countr_zero(word_)); }
    constexpr iterator& operator++() {
      word_ &= word_ - 1;
      if (word_ == 0) next_chunk();
      return *this;
    }
    constexpr iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend constexpr bool operator==(const iterator& it, std::default_sentinel_t) { return it.chunk_ == CHUNKS; }

   private:
    // Moves to the next non-empty chunk; `live_` has a bit for each one not yet visited.
    constexpr void next_chunk() {
      if (live_ == 0) {
        chunk_ = CHUNKS;
        return;
      }
      chunk_ = static_cast<std::size_t>(std::countr_zero(live_));
      live_ &= live_ - 1;
      word_ = (*chunks_)[chunk_];
    }
    const Chunks* chunks_ = nullptr;
    std::uint64_t word_ = 0;
    std::size_t chunk_ = 0;
    unsigned live_ = 0;
  };

  constexpr explicit Ones(const Chunks& chunks) : chunks_(chunks) {}
  constexpr iterator begin() const { return iterator(&chunks_); }
  constexpr std::default_sentinel_t end() const { return {}; }

 private:
  Chunks chunks_;
};

constexpr Bitboard::Ones Bitboard::ones() const { return Ones(chunks_); }

// The 400 cells: positions below 420 outside the gap column.
inline constexpr Bitboard BOARD_MASK = [] {
  Bitboard b;
  for (unsigned p = 0; p < BOARD_SPAN; ++p)
    if (p % ROW_STRIDE != BOARD_SIZE) b |= Bitboard::single(p);
  return b;
}();

constexpr Bitboard Bitboard::edge_neighbours() const {
  return (up<1>() | down<1>() | up<21>() | down<21>()) & BOARD_MASK;
}

constexpr Bitboard Bitboard::corner_neighbours() const {
  return (up<20>() | down<20>() | up<22>() | down<22>()) & BOARD_MASK;
}

namespace detail {
// A quarter-turn table from the image of cell (r, c); gap positions map to themselves.
template <class Turn>
constexpr PositionTable quarter_turn(Turn turn) {
  PositionTable t{};
  for (unsigned p = 0; p < BOARD_SPAN; ++p) {
    const unsigned r = p / ROW_STRIDE, c = p % ROW_STRIDE;
    t[p] = static_cast<std::uint16_t>(c == BOARD_SIZE ? p : turn(r, c));
  }
  return t;
}
}  // namespace detail

// A quarter turn clockwise (row 0 at the top): (r, c) goes to (c, 19 - r).
inline constexpr PositionTable ROTATE_CW =
    detail::quarter_turn([](unsigned r, unsigned c) { return position(c, BOARD_SIZE - 1 - r); });
// A quarter turn counter-clockwise: (r, c) goes to (19 - c, r).
inline constexpr PositionTable ROTATE_CCW =
    detail::quarter_turn([](unsigned r, unsigned c) { return position(BOARD_SIZE - 1 - c, r); });

}  // namespace tegulo

template <>
struct std::hash<tegulo::Bitboard> {
  std::size_t operator()(const tegulo::Bitboard& b) const noexcept {
    // A sum of independent products (no chain of multiplications to wait for),
    // then the finaliser of MurmurHash3, which mixes every bit into every other so
    // that tables may use any bits of the result.
    constexpr std::uint64_t K[tegulo::Bitboard::CHUNKS] = {
        0x9E3779B97F4A7C15, 0xBF58476D1CE4E5B9, 0x94D049BB133111EB, 0xD6E8FEB86659FD93,
        0xA0761D6478BD642F, 0xE7037ED1A0B428DB, 0x8EBC6AF09C88C6E3, 0x589965CC75374CC3,
    };
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < tegulo::Bitboard::CHUNKS; ++i) h += b.chunks()[i] * K[i];
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return static_cast<std::size_t>(h ^ (h >> 33));
  }
};
