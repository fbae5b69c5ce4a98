#include "observation.hpp"

#include <string>

#include "errors.hpp"
#include "game.hpp"

namespace tegulo {

namespace {

// The board turned `quarters` quarter turns counter-clockwise.
Bitboard turned(const Bitboard& cells, std::size_t quarters) {
  switch (quarters) {
    case 0:
      return cells;
    case 1:
      return cells.permute(ROTATE_CCW);
    case 2:
      return cells.half_turned();
    default:
      return cells.permute(ROTATE_CW);
  }
}

}  // namespace

Observation Game::observe(std::size_t agent_idx) const {
  if (agent_idx >= AGENT_COUNT)
    throw InternalError("Agent index " + std::to_string(agent_idx) + " out of range [0, 3]");
  Observation obs;
  Bitboard all;
  for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
    const Agent& agent = agents[(agent_idx + seat) % AGENT_COUNT];
    obs.occupied[seat] = turned(agent.cells, agent_idx);
    obs.pieces[seat] = agent.remaining;
    obs.done[seat] = agent.done;
    all |= obs.occupied[seat];
  }
  for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
    const Bitboard& own = obs.occupied[seat];
    const Bitboard side = own | own.edge_neighbours();
    const Bitboard candidates = own.empty() ? START_CORNERS[seat] : own.corner_neighbours();
    obs.corners[seat] = candidates - all - side;
    obs.blocked[seat] = all | side;
  }
  return obs;
}

}  // namespace tegulo
