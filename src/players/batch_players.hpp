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
                std::uint16_t* placements, std::uint32_t* legal_counts, bool count = true);
// The same for the listed games alone; without `count`, legal counts may be left
// 0 where finding them costs more.
void choose_games(GameBatch& batch, std::span<const std::size_t> games, std::span<const Player> players,
                  std::span<const std::uint8_t> seats, std::uint16_t* placements, std::uint32_t* legal_counts,
                  bool count = true);

// The player of game i's agent to move.
const Player& player_of(const GameBatch& batch, std::size_t i, std::span<const Player> players,
                        std::span<const std::uint8_t> seats);

}  // namespace tegulo
