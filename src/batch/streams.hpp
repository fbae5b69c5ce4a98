#pragma once

#include <cstddef>
#include <cstdint>

namespace tegulo {

// Per-game random streams. Game i of a batch seeded with s draws from a stream
// that depends on s and i alone, so its draws are the same whatever the number of
// games in the batch, the number of threads, or the order games are visited in.
// A stream is SplitMix64: its state is one word, stepped by a Weyl increment and
// hashed by a finaliser that passes the common statistical test batteries.
class Stream {
  __extension__ using Wide = unsigned __int128;  // a GCC and Clang extension, hence the marker

 public:
  static constexpr std::uint64_t GOLDEN = 0x9E3779B97F4A7C15;

  // The state word: what pickling saves and restores.
  std::uint64_t state = 0;

  // The stream of game `game` under seed `seed`.
  static constexpr Stream of(std::uint64_t seed, std::size_t game) {
    return Stream{mix(mix(seed) + (std::uint64_t{game} + 1) * GOLDEN)};
  }

  constexpr std::uint64_t next() {
    state += GOLDEN;
    return mix(state);
  }

  // A uniform draw from 0 to n - 1 (n >= 1), without bias: Lemire's multiply and
  // shift, drawing again in the rare case that the low half falls short.
  constexpr std::size_t below(std::size_t n) {
    const std::uint64_t bound = n;
    Wide product = static_cast<Wide>(next()) * bound;
    if (static_cast<std::uint64_t>(product) < bound) {
      const std::uint64_t threshold = (0 - bound) % bound;
      while (static_cast<std::uint64_t>(product) < threshold) product = static_cast<Wide>(next()) * bound;
    }
    return static_cast<std::size_t>(product >> 64);
  }

  static constexpr std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
  }
};

}  // namespace tegulo
