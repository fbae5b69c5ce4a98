#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/game_batch.hpp"
#include "players/players.hpp"

namespace tegulo {

// Chooses for every game of the batch with the player of its agent to move:
// players[seats[4 i + a]] for agent a of game i (players[0] for every game when
// `seats` is empty). Writes the placement (absolute dense index) and the number of
// legal placements per game. Each game draws from its own stream, so the choices
// are the same for any number of threads.
void choose_all(GameBatch& batch, std::span<const Player> players, std::span<const std::uint8_t> seats,
                std::uint16_t* placements, std::uint32_t* legal_counts);
// The same for games `first` to `last` - 1 alone.
void choose_range(GameBatch& batch, std::size_t first, std::size_t last, std::span<const Player> players,
                  std::span<const std::uint8_t> seats, std::uint16_t* placements, std::uint32_t* legal_counts);

}  // namespace tegulo
