#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "actions.hpp"
#include "agents.hpp"
#include "errors.hpp"
#include "observation.hpp"

namespace tegulo {

// Size of a game's state record: a version byte, four agent blocks of 69 bytes
// (cells, remaining kinds, last kind) and the current agent.
inline constexpr std::size_t RECORD_SIZE = 278;
using Record = std::array<std::uint8_t, RECORD_SIZE>;

// The two masks that decide where an agent may place its next piece.
struct PlacementMasks {
  Bitboard forbidden;  // covered by anyone, or sharing an edge with the agent's own cells
  Bitboard attach;     // free cells touching the agent's cells diagonally (at first: its corner)
};

// The whole state of one game: a fixed-size value with no separately allocated
// parts, so copying a game is copying the value. Every game refers to the one
// process-wide catalogue.
struct Game {
  std::array<Agent, AGENT_COUNT> agents{};
  const ActionSet* action_set = nullptr;
  std::size_t current_agent = 0;  // whose turn it is
  std::size_t agent_count = AGENT_COUNT;
  // For each agent, the placement (an absolute dense index) that last showed it
  // had a move: a done refresh tests it first and scans only when it no longer
  // holds. A hint, not part of the position: games compare equal whatever their
  // witnesses, and any value gives the same done flags.
  std::array<std::uint16_t, AGENT_COUNT> witness{};

  // A game before any move: every agent empty, holding all 21 kinds, agent 0 to
  // move. Builds the catalogue if this is its first use in the process.
  static Game fresh();

  // Placements made so far by all agents together; passed turns do not count.
  unsigned ply() const;
  // All four agents are done.
  bool is_over() const;

  // The placement masks of agent 0 to 3 in the current position.
  PlacementMasks placement_masks(std::size_t agent) const;

  // Acts for the current agent and passes the turn on; returns the refusal, or
  // nothing when the step was taken. A done agent passes, whatever the index;
  // otherwise the index (in the agent's own frame) must name a legal placement.
  // A refusal changes nothing.
  std::optional<InvalidAction> step(std::optional<std::size_t> action_idx);

  // The catalogue placement (absolute dense index) that the current agent's
  // action index names, if the agent may make it now; nothing for a done agent
  // or an index that step would refuse. Changes nothing.
  std::optional<std::uint16_t> legal_placement(std::size_t action_idx) const;
  // Makes placement `absolute` (a dense index in the catalogue) for the current
  // agent, refreshes the done flags and passes the turn on. The placement must
  // be legal for the agent: nothing is checked but the index.
  void place(std::uint16_t absolute);

  // Marks done every agent that has no legal placement left.
  void update_done();

  // The position as agent 0 to 3 sees it.
  Observation observe(std::size_t agent_idx) const;

  // Fills `moves` with the dense indices of the observer's legal placements, in its
  // own frame, each once: by lowest attach cell, then kind, then dense index.
  void observed_moves(const Observation& obs, std::vector<std::uint16_t>& moves) const;
  // Fills `actions` with the grid indices of the observer's legal placements, in
  // its own frame: the action indices it may step with, in increasing order, or
  // unsorted in the scan's order (the same set, read straight from the scan).
  void observed_actions(const Observation& obs, std::vector<std::uint16_t>& actions, bool sorted = true) const;
  // Sets to 1 the entry of each of those actions in an action mask (entries not
  // set are left as they are); returns their number. No sort: cheaper than the list.
  std::size_t mark_observed_actions(const Observation& obs, std::span<std::uint8_t, NUM_ACTIONS> mask) const;
  // Fills `moves` with the catalogue placements (absolute dense indices) legal
  // for agent 0 to 3 now, each once, in the scan order of observed_moves.
  void legal_moves(std::size_t agent, std::vector<std::uint16_t>& moves) const;
  // The same for the kinds in `kinds` alone (bit k for kind index k).
  void legal_moves(std::size_t agent, std::uint32_t kinds, std::vector<std::uint16_t>& moves) const;

  // Every agent's score as if the game ended now.
  std::array<std::int16_t, AGENT_COUNT> scores() const;

  // The state record of the game.
  Record to_bytes() const;
  // The game a state record describes, with its done flags recomputed; nothing
  // for bytes that are not a record of this version.
  static std::optional<Game> from_bytes(std::span<const std::uint8_t> bytes);

  // The board drawn as text: column numbers on top, row numbers on the left, each
  // occupied cell an "x" on its agent's ANSI background colour. No line feed at the end.
  std::string board_text() const;

  friend bool operator==(const Game& a, const Game& b) {
    return a.agents == b.agents && a.action_set == b.action_set && a.current_agent == b.current_agent &&
           a.agent_count == b.agent_count;
  }

 private:
  // Games come from fresh(), from_bytes() or a copy, so that every game refers to
  // the catalogue.
  Game() = default;
};

// Passes the turns of agents out of moves until an agent with a move is to move
// or the game is over.
void pass_done(Game& game);

// Writes the board text in one piece.
std::ostream& operator<<(std::ostream& out, const Game& game);

static_assert(std::is_trivially_copyable_v<Game> && std::is_trivially_destructible_v<Game>);

}  // namespace tegulo
