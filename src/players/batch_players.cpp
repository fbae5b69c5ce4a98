#include "players/batch_players.hpp"

#include <string>
#include <vector>

#include "game/errors.hpp"

namespace tegulo {

const Player& player_of(const GameBatch& batch, std::size_t i, std::span<const Player> players,
                        std::span<const std::uint8_t> seats) {
  if (players.empty()) throw InternalError("No player to choose with");
  if (!seats.empty() && seats.size() != batch.size() * AGENT_COUNT)
    throw InternalError("Seats for " + std::to_string(seats.size()) + " agents");
  const std::size_t p = seats.empty() ? 0 : seats[i * AGENT_COUNT + batch.game(i).current_agent];
  if (p >= players.size()) throw InternalError("Player " + std::to_string(p) + " beyond the players");
  return players[p];
}

void choose_games(GameBatch& batch, std::span<const std::size_t> games, std::span<const Player> players,
                  std::span<const std::uint8_t> seats, std::uint16_t* placements, std::uint32_t* legal_counts,
                  bool count) {
  batch.visit_games(games, [&](std::size_t i, const Game& game, Stream& stream) {
    const Choice choice = choose(game, player_of(batch, i, players, seats), stream, nullptr, count);
    placements[i] = choice.placement;
    legal_counts[i] = choice.legal_count;
  });
}

std::optional<Refusal> step_learners(GameBatch& batch, std::span<const std::int64_t> actions,
                                     std::span<const Player> players, std::span<const std::uint8_t> opponents,
                                     std::span<const std::uint8_t> next_learner, std::span<const std::uint8_t> playing,
                                     const StepBuffers& out, std::span<const std::uint8_t> next_opponents) {
  constexpr std::size_t OTHERS = AGENT_COUNT - 1;
  if (players.empty()) throw InternalError("No player to choose with");
  if (!opponents.empty() && opponents.size() != batch.size() * OTHERS)
    throw InternalError("Opponents for " + std::to_string(opponents.size()) + " agents");
  if (!next_opponents.empty() && next_opponents.size() != batch.size() * OTHERS)
    throw InternalError("Next opponents for " + std::to_string(next_opponents.size()) + " agents");
  for (const Player& player : players)
    if (player.kind == PlayerKind::mcts) throw InternalError("A searching player between a learner's turns");
  return batch.step_learners(
      actions, next_learner, playing,
      [&](std::size_t i, const Game& game, Stream& stream, std::size_t learner, bool renewed) {
        const std::size_t k = (game.current_agent + AGENT_COUNT - learner) % AGENT_COUNT;
        const std::span<const std::uint8_t> table = renewed && !next_opponents.empty() ? next_opponents : opponents;
        const std::size_t p = table.empty() ? 0 : table[i * OTHERS + k - 1];
        if (p >= players.size()) throw InternalError("Player " + std::to_string(p) + " beyond the players");
        return choose(game, players[p], stream, nullptr, false).placement;
      },
      out);
}

void choose_all(GameBatch& batch, std::span<const Player> players, std::span<const std::uint8_t> seats,
                std::uint16_t* placements, std::uint32_t* legal_counts, bool count) {
  std::vector<std::size_t> games(batch.size());
  for (std::size_t i = 0; i < games.size(); ++i) games[i] = i;
  choose_games(batch, games, players, seats, placements, legal_counts, count);
}

}  // namespace tegulo
