#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bitboard.hpp"
#include "pieces.hpp"
#include "shapes.hpp"

namespace tegulo {

inline constexpr std::size_t AGENT_COUNT = 4;                       // one frame per quarter turn
inline constexpr std::size_t ANCHORS = BOARD_SIZE * BOARD_SIZE;     // anchors per orientation
inline constexpr std::size_t NUM_ACTIONS = PIECE_COUNT * ANCHORS;   // slots of the action grid
inline constexpr std::size_t COVER_KEYS = BOARD_SPAN * KIND_COUNT;  // (cell, kind) lookup keys

// One placement of one orientation on the empty board.
struct Action {
  Bitboard cells;
  std::size_t grid_index;  // piece index * 400 + anchor
  PieceType piece_type;
};

// The catalogue of every placement, built once per process and read-only afterwards.
// A placement has two numbers: its grid index (the action index seen from Python)
// and its dense index, its place in `actions`, kept as 16 bits wherever lists of
// placements are stored so that the maps and cover lists stay small.
struct ActionSet {
  std::vector<Action> actions;
  // Per grid index, the dense index of the placement there, if the orientation fits.
  std::vector<std::optional<std::size_t>> grid_to_action;
  // agent_maps[k][r]: the absolute dense index of the placement whose dense index in
  // agent k's frame (the board turned k quarter turns counter-clockwise) is r.
  std::array<std::vector<std::uint16_t>, AGENT_COUNT> agent_maps;
  // frame_maps[k][a]: the other way, the dense index in agent k's frame of the
  // placement whose absolute dense index is a.
  std::array<std::vector<std::uint16_t>, AGENT_COUNT> frame_maps;
  // The cover list of key cell * 21 + kind index, cell a board position: the
  // increasing dense indices of that kind's placements covering the cell, stored as
  // cover[cover_offsets[key] .. cover_offsets[key + 1]).
  std::vector<std::uint16_t> cover;
  std::vector<std::size_t> cover_offsets;
  // What the move scans look placements up in instead of testing them one by one.
  ShapeTables relative_shapes;
  // Per dense index, its grid index (below 36400, so 16 bits): the lists of legal
  // actions read this small table rather than the placements.
  std::vector<std::uint16_t> grid_indices;

  // Builds the catalogue from the orientations in piece-index order.
  explicit ActionSet(const std::vector<Piece>& pieces);

  // The process-wide catalogue, built on first request; concurrent first callers
  // wait for the one build. A build that fails leaves it unbuilt for the next call.
  static const ActionSet& get();

  std::span<const std::uint16_t> cover_list(std::size_t cell, std::size_t kind_index) const {
    const std::size_t key = cell * KIND_COUNT + kind_index;
    return {cover.data() + cover_offsets[key], cover.data() + cover_offsets[key + 1]};
  }

  // The action index in agent k's frame of the placement of absolute dense index a.
  std::size_t action_index(std::size_t agent, std::uint16_t absolute) const {
    return grid_indices[frame_maps[agent][absolute]];
  }

  // A 0/1 byte per grid index, 1 at the grid index of every listed placement.
  std::vector<std::uint8_t> grid_mask(std::span<const std::uint16_t> dense) const;
  // The same into a zeroed buffer of grid_to_action's length.
  void write_grid_mask(std::span<const std::uint16_t> dense, std::span<std::uint8_t> mask) const;
};

}  // namespace tegulo
