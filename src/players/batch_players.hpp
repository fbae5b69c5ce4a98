#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// A learner's turn in every game where `playing[i]` is set (see
// GameBatch::step_learners): the learner's action, then the other agents played by
// players[opponents[3 i + k - 1]] for the agent k places after game i's learner
// (players[0] for them all when `opponents` is empty), none of which may search. In
// a game that started again on the way, `next_opponents` takes the place of
// `opponents` (when it is not empty): each new game may meet other opponents.
std::optional<Refusal> step_learners(GameBatch& batch, std::span<const std::int64_t> actions,
                                     std::span<const Player> players, std::span<const std::uint8_t> opponents,
                                     std::span<const std::uint8_t> next_learner, std::span<const std::uint8_t> playing,
                                     const StepBuffers& out, std::span<const std::uint8_t> next_opponents = {});

// The player of game i's agent to move.
const Player& player_of(const GameBatch& batch, std::size_t i, std::span<const Player> players,
                        std::span<const std::uint8_t> seats);

}  // namespace tegulo
