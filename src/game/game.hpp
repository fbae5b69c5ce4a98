#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "actions.hpp"
#include "agents.hpp"

namespace tegulo {

// The whole state of one game: a fixed-size value with no separately allocated
// parts, so copying a game is copying the value. Every game refers to the one
// process-wide catalogue.
struct Game {
  std::array<Agent, AGENT_COUNT> agents{};
  const ActionSet* action_set = nullptr;
  std::size_t current_agent = 0;  // whose turn it is
  std::size_t agent_count = AGENT_COUNT;

  // A game before any move: every agent empty, holding all 21 kinds, agent 0 to
  // move. Builds the catalogue if this is its first use in the process.
  static Game fresh();

  // Placements made so far by all agents together; passed turns do not count.
  unsigned ply() const;
  // All four agents are done.
  bool is_over() const;

  friend bool operator==(const Game&, const Game&) = default;
};

static_assert(std::is_trivially_copyable_v<Game> && std::is_trivially_destructible_v<Game>);

}  // namespace tegulo
