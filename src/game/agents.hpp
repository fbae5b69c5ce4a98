#pragma once

#include <cstdint>
#include <optional>

#include "bitboard.hpp"
#include "pieces.hpp"

namespace tegulo {

// The remaining set of an agent that still holds all 21 kinds: bit k for kind index k.
inline constexpr std::uint32_t ALL_KINDS = (std::uint32_t{1} << KIND_COUNT) - 1;

// One agent's part of a game.
struct Agent {
  Bitboard cells;                       // covered by the agent's placed pieces
  std::uint32_t remaining = ALL_KINDS;  // bit k set while the kind of kind index k is held
  std::uint8_t placed = 0;              // pieces placed, 0 to 21
  std::uint8_t last_piece = 0;          // code of the latest placement's kind; 0 before the first
  bool done = false;                    // no legal placement left; never cleared within a game

  // The kind of the latest placement, if any.
  std::optional<PieceType> last_piece_type() const { return PieceType::from_code(last_piece); }

  friend constexpr bool operator==(const Agent&, const Agent&) = default;
};

}  // namespace tegulo
