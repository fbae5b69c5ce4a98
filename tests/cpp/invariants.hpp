#pragma once

// The invariants of games, shared by the random-play conformance test (which
// expects them) and the fuzzers (which abort on them). Each check returns the
// first broken invariant as text, or an empty string when all of them hold, so
// that a failure says what broke wherever it is reported.
#include <algorithm>
#include <array>
#include <bit>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "game/game.hpp"

namespace tegulo::testing {

// The absolute placements agent `a` may make, found cell by cell on a 20 x 20
// grid from the rules as stated, without masks, neighbour sets or cover lists:
// every cell of the piece is free and shares no edge with a cell of a's, and one
// of them is a's starting corner (before its first piece) or touches a cell of
// a's diagonally.
inline std::set<std::uint16_t> legal_by_cells(const Game& game, std::size_t a) {
  constexpr int N = BOARD_SIZE;
  std::array<std::array<int, N>, N> owner{};
  for (auto& row : owner) row.fill(-1);
  for (std::size_t i = 0; i < AGENT_COUNT; ++i)
    for (unsigned p : game.agents[i].cells.ones()) owner[p / ROW_STRIDE][p % ROW_STRIDE] = static_cast<int>(i);
  auto own_at = [&](int r, int c) { return r >= 0 && r < N && c >= 0 && c < N && owner[r][c] == int(a); };
  const bool first = game.agents[a].placed == 0;
  const int corner_r = a == 2 || a == 3 ? N - 1 : 0, corner_c = a == 1 || a == 2 ? N - 1 : 0;
  // What each cell allows, worked out once per cell rather than once per piece covering it.
  std::array<bool, BOARD_SPAN> fits{}, touches{};
  for (int r = 0; r < N; ++r)
    for (int c = 0; c < N; ++c) {
      const unsigned p = position(unsigned(r), unsigned(c));
      fits[p] = owner[r][c] < 0 && !own_at(r - 1, c) && !own_at(r + 1, c) && !own_at(r, c - 1) && !own_at(r, c + 1);
      touches[p] = first ? r == corner_r && c == corner_c
                         : own_at(r - 1, c - 1) || own_at(r - 1, c + 1) || own_at(r + 1, c - 1) || own_at(r + 1, c + 1);
    }

  std::set<std::uint16_t> legal;
  const auto& actions = game.action_set->actions;
  for (std::size_t n = 0; n < actions.size(); ++n) {
    if ((game.agents[a].remaining >> actions[n].piece_type.kind_index() & 1) == 0) continue;
    bool all_fit = true, any_touches = false;
    const Bitboard::Chunks& chunks = actions[n].cells.chunks();
    for (std::size_t i = 0; i < Bitboard::CHUNKS && all_fit; ++i)
      for (std::uint64_t word = chunks[i]; word != 0 && all_fit; word &= word - 1) {
        const auto p = static_cast<unsigned>(64 * i + std::countr_zero(word));
        all_fit = p < BOARD_SPAN && fits[p];
        any_touches = any_touches || touches[p];
      }
    if (all_fit && any_touches) legal.insert(static_cast<std::uint16_t>(n));
  }
  return legal;
}

// The invariants of every game reached by play, record fields only. A record read
// without play behind it may break them (the reader does not check them).
inline std::string broken_record_invariant(const Game& game) {
  Bitboard seen;
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const Agent& agent = game.agents[a];
    const std::string who = "agent " + std::to_string(a);
    if ((agent.remaining & ~ALL_KINDS) != 0) return who + " holds kinds beyond the 21";
    if (agent.placed != KIND_COUNT - static_cast<std::size_t>(std::popcount(agent.remaining)))
      return who + " counts " + std::to_string(agent.placed) + " placed pieces against its remaining kinds";
    if ((agent.last_piece == 0) != (agent.placed == 0)) return who + " has a last piece exactly when it placed none";
    if (agent.last_piece != 0) {
      const auto last = agent.last_piece_type();
      if (!last) return who + " has last piece code " + std::to_string(agent.last_piece) + ", no kind's";
      if ((agent.remaining >> last->kind_index() & 1) != 0) return who + " still holds the kind it placed last";
    }
    if (!(agent.cells - BOARD_MASK).empty()) return who + " has cells off the board";
    if (!(agent.cells & seen).empty()) return who + " covers cells of a lower agent";
    int held = 0;
    for (std::size_t k = 0; k < KIND_COUNT; ++k)
      if ((agent.remaining >> k & 1) == 0) held += int(PieceType::ALL[k].cell_count());
    if (agent.cells.count() != held)
      return who + " covers " + std::to_string(agent.cells.count()) + " cells, its placed kinds " +
             std::to_string(held);
    seen |= agent.cells;
  }
  if (game.current_agent >= AGENT_COUNT) return "current agent " + std::to_string(game.current_agent);
  if (game.agent_count != AGENT_COUNT) return "agent count " + std::to_string(game.agent_count);
  return {};
}

// Reading the game's state record back gives the game, field for field: done
// flags set one by one in play must equal the ones recomputed from scratch.
inline std::string broken_round_trip(const Game& game) {
  const std::optional<Game> back = Game::from_bytes(game.to_bytes());
  if (!back) return "the state record of the game is refused";
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const Agent &was = game.agents[a], &read = back->agents[a];
    const std::string who = "the state record changes agent " + std::to_string(a) + "'s ";
    if (read.cells != was.cells) return who + "cells";
    if (read.remaining != was.remaining || read.placed != was.placed) return who + "remaining kinds";
    if (read.last_piece != was.last_piece) return who + "last piece";
    if (read.done != was.done) return who + "done flag";
  }
  if (*back != game) return "the state record loses something";
  return {};
}

// The move scan's list for one observer: dense indices of the catalogue, each once.
inline std::string broken_listing(const Game& game, const std::vector<std::uint16_t>& moves) {
  const std::size_t count = game.action_set->actions.size();
  std::vector<std::uint64_t> seen((count + 63) / 64);
  for (std::uint16_t d : moves) {
    if (d >= count) return "placement " + std::to_string(d) + " listed beyond the catalogue";
    const std::uint64_t bit = std::uint64_t{1} << (d % 64);
    if ((seen[d / 64] & bit) != 0) return "placement " + std::to_string(d) + " listed twice";
    seen[d / 64] |= bit;
  }
  return {};
}

// What the move scans list for the four agents' observations, agent by agent.
using Listings = std::array<std::vector<std::uint16_t>, AGENT_COUNT>;

inline Listings listings(const Game& game) {
  Listings moves;
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) game.observed_moves(game.observe(a), moves[a]);
  return moves;
}

// An agent is done exactly when its observation lists no placement; `moves` are
// the game's listings.
inline std::string broken_done_flags(const Game& game, const Listings& moves) {
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    if (const std::string broken = broken_listing(game, moves[a]); !broken.empty())
      return "agent " + std::to_string(a) + ": " + broken;
    if (game.agents[a].done != moves[a].empty())
      return "agent " + std::to_string(a) + (game.agents[a].done ? " is done" : " is not done") + " with " +
             std::to_string(moves[a].size()) + " placements listed";
  }
  return {};
}

inline std::string broken_done_flags(const Game& game) { return broken_done_flags(game, listings(game)); }

// The move scan of agent a's observation lists, each once and in a's frame,
// exactly the placements that the rules allow cell by cell.
inline std::string broken_move_scan(const Game& game, std::size_t a) {
  std::vector<std::uint16_t> moves;
  game.observed_moves(game.observe(a), moves);
  if (const std::string broken = broken_listing(game, moves); !broken.empty()) return broken;
  std::set<std::uint16_t> absolute;
  for (std::uint16_t d : moves) absolute.insert(game.action_set->agent_maps[a][d]);
  const std::set<std::uint16_t> legal = legal_by_cells(game, a);
  if (absolute != legal) {
    std::vector<std::uint16_t> extra, missing;
    std::set_difference(absolute.begin(), absolute.end(), legal.begin(), legal.end(), std::back_inserter(extra));
    std::set_difference(legal.begin(), legal.end(), absolute.begin(), absolute.end(), std::back_inserter(missing));
    return "agent " + std::to_string(a) + "'s move scan lists " + std::to_string(extra.size()) +
           " illegal placements and misses " + std::to_string(missing.size()) + " legal ones" +
           (extra.empty() ? "" : ", e.g. placement " + std::to_string(extra.front())) +
           (missing.empty() ? "" : ", e.g. placement " + std::to_string(missing.front()));
  }
  return {};
}

// What one step did: `before` and `after` are the game around `step(action)`,
// which gave `refusal`; `listed` says whether the move scan listed the action for
// the agent to move. A done agent passes, whatever the action; otherwise a listed
// action places its piece (the agent gains exactly that placement's cells, drops
// exactly that kind, and nothing else changes but the done flags, which are never
// cleared, and the turn) and any other is refused without changing anything.
inline std::string broken_step(const Game& before, std::optional<std::size_t> action, bool listed,
                               const std::optional<InvalidAction>& refusal, const Game& after) {
  const std::size_t mover = before.current_agent, next = (mover + 1) % AGENT_COUNT;
  const std::string what =
      "step(" + (action ? std::to_string(*action) : std::string("none")) + ") of agent " + std::to_string(mover);
  if (before.agents[mover].done) {
    if (refusal) return what + ", which is done, is refused instead of passing";
    Game passed = before;
    passed.current_agent = next;
    if (after != passed) return what + ", which is done, changes more than the turn";
    return {};
  }
  if (!listed) {
    if (!refusal) return what + " is accepted, though not listed";
    if (refusal->message != "Action index not available")
      return what + " is refused with \"" + std::string(refusal->message) + "\"";
    if (after != before || after.to_bytes() != before.to_bytes()) return what + " is refused but changes the game";
    return {};
  }
  if (refusal) return what + " is refused, though listed";

  const Agent &was = before.agents[mover], &now = after.agents[mover];
  if (after.current_agent != next) return what + " passes the turn to agent " + std::to_string(after.current_agent);
  if (now.placed != was.placed + 1 || after.ply() != before.ply() + 1) return what + " does not count one placement";
  const ActionSet& set = *before.action_set;
  if (!action || *action >= set.grid_to_action.size() || !set.grid_to_action[*action])
    return what + " is listed but names no placement";
  const Action& chosen = set.actions[*set.grid_to_action[*action]];
  // The placement in the mover's frame, turned back onto the real board without the catalogue's agent maps.
  Bitboard placed = chosen.cells;
  for (std::size_t q = 0; q < mover; ++q) placed = placed.permute(ROTATE_CW);
  if (now.cells != (was.cells | placed)) return what + " does not add exactly the placement's cells";
  for (std::size_t a = 0; a < AGENT_COUNT; ++a)
    if (placed.overlaps(before.agents[a].cells)) return what + " covers cells of agent " + std::to_string(a);
  const std::uint32_t kind_bit = std::uint32_t{1} << chosen.piece_type.kind_index();
  if ((was.remaining & kind_bit) == 0 || now.remaining != (was.remaining & ~kind_bit))
    return what + " does not drop exactly the placed kind";
  if (!now.last_piece_type() || std::uint32_t{1} << now.last_piece_type()->kind_index() != kind_bit)
    return what + " does not record the placed kind as the last piece";
  for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
    const Agent &other_was = before.agents[a], &other_now = after.agents[a];
    if (other_was.done && !other_now.done) return what + " clears agent " + std::to_string(a) + "'s done flag";
    if (a == mover) continue;
    Agent unchanged = other_was;
    unchanged.done = other_now.done;
    if (other_now != unchanged) return what + " changes agent " + std::to_string(a);
  }
  return {};
}

}  // namespace tegulo::testing
