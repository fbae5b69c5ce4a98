#pragma once

#include <cstddef>
#include <cstdint>

#include "actions.hpp"
#include "observation.hpp"

namespace tegulo {

// Observations as bytes of 0/1, the form array libraries wrap without converting.
inline constexpr std::size_t CELLS = BOARD_SIZE * BOARD_SIZE;         // bytes of one seat's cell plane
inline constexpr std::size_t CELL_PLANE = AGENT_COUNT * CELLS;        // (seat, row, col)
inline constexpr std::size_t PIECE_PLANE = AGENT_COUNT * KIND_COUNT;  // (seat, kind index)

// Where the planes of one observation go; every byte of each is written.
struct PlaneBytes {
  std::uint8_t* observation;  // CELL_PLANE bytes
  std::uint8_t* corners;      // CELL_PLANE bytes
  std::uint8_t* blocked;      // CELL_PLANE bytes
  std::uint8_t* pieces;       // PIECE_PLANE bytes
  std::uint8_t* done;         // AGENT_COUNT bytes
};

// Writes the 400 bytes of a cell set: byte 20 * row + col is 1 where the set
// holds cell (row, col), 0 elsewhere.
void write_cells(const Bitboard& cells, std::uint8_t* out);

// The same with plain word operations, whatever the processor: write_cells uses
// vector instructions where it has them, and the tests hold the two to each other.
void write_cells_portable(const Bitboard& cells, std::uint8_t* out);

// Writes the observation's cell planes, seat after seat, its remaining kinds and
// its done flags.
void write_planes(const Observation& obs, const PlaneBytes& out);

}  // namespace tegulo
