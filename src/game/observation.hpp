#pragma once

#include <array>
#include <cstdint>

#include "actions.hpp"
#include "bitboard.hpp"

namespace tegulo {

// The position as one agent sees it. Seat k holds agent (observer + k) mod 4, and
// every set is in the observer's frame: the board turned so that the observer's
// starting corner lies at row 0, column 0. A plain value; nothing on the heap.
struct Observation {
  std::array<Bitboard, AGENT_COUNT> occupied{};     // cells covered by the seat's pieces
  std::array<Bitboard, AGENT_COUNT> corners{};      // cells the seat's next piece can attach at
  std::array<Bitboard, AGENT_COUNT> blocked{};      // cells the seat can never fill
  std::array<std::uint32_t, AGENT_COUNT> pieces{};  // the seat's remaining kinds, bit per kind index
  std::array<bool, AGENT_COUNT> done{};

  friend bool operator==(const Observation&, const Observation&) = default;
};

// Starting corners of agents 0 to 3: (0, 0), (0, 19), (19, 19), (19, 0). Turned
// into an observer's frame, every agent's corner lands on the corner of its seat.
inline constexpr std::array<Bitboard, AGENT_COUNT> START_CORNERS = {
    Bitboard::single(position(0, 0)), Bitboard::single(position(0, BOARD_SIZE - 1)),
    Bitboard::single(position(BOARD_SIZE - 1, BOARD_SIZE - 1)), Bitboard::single(position(BOARD_SIZE - 1, 0))};

}  // namespace tegulo
