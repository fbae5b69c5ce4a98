#include "players/batch_players.hpp"

#include <string>

#include "game/errors.hpp"

namespace tegulo {

void choose_range(GameBatch& batch, std::size_t first, std::size_t last, std::span<const Player> players,
                  std::span<const std::uint8_t> seats, std::uint16_t* placements, std::uint32_t* legal_counts) {
  if (players.empty()) throw InternalError("No player to choose with");
  if (!seats.empty() && seats.size() != batch.size() * AGENT_COUNT)
    throw InternalError("Seats for " + std::to_string(seats.size()) + " agents");
  batch.visit_games(first, last, [&](std::size_t i, const Game& game, Stream& stream) {
    const std::size_t p = seats.empty() ? 0 : seats[i * AGENT_COUNT + game.current_agent];
    if (p >= players.size()) throw InternalError("Player " + std::to_string(p) + " beyond the players");
    const Choice choice = choose(game, players[p], stream);
    placements[i] = choice.placement;
    legal_counts[i] = choice.legal_count;
  });
}

void choose_all(GameBatch& batch, std::span<const Player> players, std::span<const std::uint8_t> seats,
                std::uint16_t* placements, std::uint32_t* legal_counts) {
  choose_range(batch, 0, batch.size(), players, seats, placements, legal_counts);
}

}  // namespace tegulo
