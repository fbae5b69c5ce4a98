// Plays a game from the start with the actions its input names and checks the
// game after every step. Most choices pick one of the listed placements, so a
// mutated input stays playable and reaches the middle and the end of games; the
// others are near misses of listed placements, raw indices (past the grid too)
// and no index at all, which must be refused unless the agent to move is done.
//
// The input is a sequence of choices, each starting with a byte b; "listed k"
// is the k-th action index the move scan lists for the agent to move:
//   b < 0x80          with the next byte n: listed (b << 8 | n) mod count
//   0x80 <= b < 0xC0  with the next byte n: listed n mod count, moved by NEAR_MISSES[b mod 16]
//   0xC0 <= b < 0xFE  with the next two bytes: raw index (little-endian) mod (36400 + 256)
//   b = 0xFE          with the next byte n: EDGE_INDICES[n mod 6]
//   b = 0xFF          no index
// A choice that needs a listed placement when none is listed gives no index.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "game/game.hpp"
#include "invariants.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using fuzz::require;

// Shifts of an action index: a column, two columns, a row, a diagonal, two rows,
// one and two orientations. They reach the placements next to a legal one, where
// an off-by-one in the rules would show.
constexpr std::array<long, 16> NEAR_MISSES = {-1, 1, -2, 2, -19, 19, -20, 20, -21, 21, -40, 40, -400, 400, -800, 800};

// Indices at and past the end of the grid, which raw indices rarely hit.
constexpr std::array<std::size_t, 6> EDGE_INDICES = {NUM_ACTIONS - 1, NUM_ACTIONS, NUM_ACTIONS + 1,
                                                     65535,           65536,       SIZE_MAX};

// Reads choices off the input; nothing once the input is used up.
class Choices {
 public:
  explicit Choices(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool empty() const { return at_ == bytes_.size(); }

  // The next action, given the listed placements of the agent to move; nothing
  // at all when the input runs out in the middle of a choice.
  std::optional<std::optional<std::size_t>> next(const std::vector<std::size_t>& listed) {
    const std::uint8_t b = bytes_[at_++];
    if (b == 0xFF) return std::optional<std::size_t>();
    if (b >= 0xC0 && b < 0xFE) {
      if (bytes_.size() - at_ < 2) return std::nullopt;
      const std::size_t raw = bytes_[at_] | std::size_t{bytes_[at_ + 1]} << 8;
      at_ += 2;
      return std::optional<std::size_t>(raw % (NUM_ACTIONS + 256));
    }
    if (empty()) return std::nullopt;
    const std::uint8_t n = bytes_[at_++];
    if (b == 0xFE) return std::optional<std::size_t>(EDGE_INDICES[n % EDGE_INDICES.size()]);
    if (listed.empty()) return std::optional<std::size_t>();
    if (b < 0x80) return std::optional<std::size_t>(listed[(std::size_t{b} << 8 | n) % listed.size()]);
    const long moved = static_cast<long>(listed[n % listed.size()]) + NEAR_MISSES[b % NEAR_MISSES.size()];
    return std::optional<std::size_t>(moved < 0 ? listed[n % listed.size()] : static_cast<std::size_t>(moved));
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// The action indices of the placements listed for `agent`, in the scan's order.
std::vector<std::size_t> listed_actions(const Game& game, const testing::Listings& moves, std::size_t agent) {
  std::vector<std::size_t> listed;
  for (std::uint16_t d : moves[agent]) listed.push_back(game.action_set->actions[d].grid_index);
  return listed;
}

// The invariants of a position reached by play; `moves` are its listings.
void check_position(const Game& game, const testing::Listings& moves) {
  require(testing::broken_record_invariant(game));
  require(testing::broken_round_trip(game));
  require(testing::broken_done_flags(game, moves));
  bool all_done = true;
  for (const Agent& a : game.agents) all_done = all_done && a.done;
  require(game.is_over() == all_done, "the game is over exactly when every agent is done");
}

void play(std::span<const std::uint8_t> bytes) {
  Game game = Game::fresh();
  testing::Listings moves = testing::listings(game);
  Choices choices(bytes);
  // Past the end of the game every step is a pass: one round of them is enough.
  int passes_after_end = 0;
  while (!choices.empty() && passes_after_end < static_cast<int>(AGENT_COUNT)) {
    const std::vector<std::size_t> listed = listed_actions(game, moves, game.current_agent);
    const auto action = choices.next(listed);
    if (!action) break;
    const bool is_listed = *action && std::find(listed.begin(), listed.end(), **action) != listed.end();
    const Game before = game;
    const std::optional<InvalidAction> refusal = game.step(*action);
    require(testing::broken_step(before, *action, is_listed, refusal, game));
    // A refusal changes nothing and a pass only the turn, as broken_step made
    // sure: only a placement makes a new position to check.
    if (refusal) continue;
    if (before.agents[before.current_agent].done) {
      require(testing::broken_round_trip(game));
      passes_after_end += before.is_over();
      continue;
    }
    moves = testing::listings(game);
    check_position(game, moves);
  }

  // Once per input, where the game stopped: the move scan of the agent to move
  // against the rules applied cell by cell (too slow for every step), and the
  // score and the board.
  require(testing::broken_move_scan(game, game.current_agent));
  static_cast<void>(game.scores());
  static_cast<void>(game.board_text());
}

}  // namespace
}  // namespace tegulo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tegulo::fuzz::run([&] { tegulo::play({data, size}); });
}
