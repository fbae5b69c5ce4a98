#include <string>

#include "game.hpp"

namespace tegulo {

namespace {

constexpr InvalidAction REFUSED{"Action index not available"};

}  // namespace

PlacementMasks Game::placement_masks(std::size_t agent) const {
  if (agent >= AGENT_COUNT) throw InternalError("Agent index " + std::to_string(agent) + " out of range [0, 3]");
  Bitboard occupied;
  for (const Agent& a : agents) occupied |= a.cells;
  const Bitboard& own = agents[agent].cells;
  const Bitboard forbidden = occupied | own | own.edge_neighbours();
  const Bitboard attach = own.empty() ? START_CORNERS[agent] : own | own.corner_neighbours();
  return {forbidden, attach - forbidden};
}

std::optional<std::uint16_t> Game::legal_placement(std::size_t action_idx) const {
  const std::size_t i = current_agent;
  if (i >= AGENT_COUNT) throw InternalError("Current agent " + std::to_string(i) + " out of range [0, 3]");
  const Agent& agent = agents[i];
  if (agent.done) return std::nullopt;

  const ActionSet& set = *action_set;
  if (action_idx >= set.grid_to_action.size()) return std::nullopt;
  const std::optional<std::size_t> relative = set.grid_to_action[action_idx];
  if (!relative) return std::nullopt;
  if (*relative >= set.agent_maps[i].size())
    throw InternalError("Placement " + std::to_string(*relative) + " beyond the agent map");
  const std::uint16_t absolute = set.agent_maps[i][*relative];
  if (absolute >= set.actions.size())
    throw InternalError("Placement " + std::to_string(absolute) + " beyond the catalogue");
  const Action& action = set.actions[absolute];

  const PlacementMasks masks = placement_masks(i);
  const std::uint32_t kind_bit = std::uint32_t{1} << action.piece_type.kind_index();
  if ((agent.remaining & kind_bit) == 0) return std::nullopt;
  if (action.cells.overlaps(masks.forbidden)) return std::nullopt;
  if (!action.cells.overlaps(masks.attach)) return std::nullopt;
  return absolute;
}

void Game::place(std::uint16_t absolute) {
  const std::size_t i = current_agent;
  if (i >= AGENT_COUNT) throw InternalError("Current agent " + std::to_string(i) + " out of range [0, 3]");
  if (absolute >= action_set->actions.size())
    throw InternalError("Placement " + std::to_string(absolute) + " beyond the catalogue");
  const Action& action = action_set->actions[absolute];
  Agent& agent = agents[i];
  agent.cells |= action.cells;
  agent.placed += 1;
  agent.remaining &= ~(std::uint32_t{1} << action.piece_type.kind_index());
  agent.last_piece = action.piece_type.code();
  update_done();
  current_agent = (i + 1) % AGENT_COUNT;
}

void pass_done(Game& game) {
  while (!game.is_over() && game.agents[game.current_agent].done) game.step(std::nullopt);
}

std::optional<InvalidAction> Game::step(std::optional<std::size_t> action_idx) {
  const std::size_t i = current_agent;
  if (i >= AGENT_COUNT) throw InternalError("Current agent " + std::to_string(i) + " out of range [0, 3]");
  if (agents[i].done) {
    current_agent = (i + 1) % AGENT_COUNT;
    return std::nullopt;
  }
  const std::optional<std::uint16_t> absolute = action_idx ? legal_placement(*action_idx) : std::nullopt;
  if (!absolute) return REFUSED;
  place(*absolute);
  return std::nullopt;
}

}  // namespace tegulo
