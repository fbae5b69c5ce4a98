// One file past the usual length on purpose: libFuzzer takes one entry point per target,
// and the decoder, the operations and the twins' checks share its state.
//
// Drives a GameBatch through the operations its input names, with a single Game
// beside every game of the batch (its twin) stepped with the same accepted
// actions and a stream beside every game's stream drawn from the same way. After
// every operation each game must equal its twin, record and stream included, and
// be in play with an agent to move that has a placement; every output of an
// operation must be what the twins give. A refusal must name the first game whose
// twin refuses, for the same reason, and leave every game as it was. Where the
// batch chooses for itself, its choice is read back from the positions it made
// and must be a placement the twin's agent may make and the one the twin's stream
// draws.
//
// The input is a header and then operations, each an opcode byte b (operation
// b & 15, flags b >> 4) and the bytes it reads; an operation cut short reads 0s.
//   header  games (1 + b mod 24), then a byte b: threads ((b & 7) mod 5, 0 to 4),
//           reward mode ((b >> 3 & 3) mod 3), 0x40 for records loaded first; then a
//           seed of 4 bytes
//   0-1     observe: flags 1 the action mask, 2 the legal lists, 4 stale mask lists
//   2-5     step: one action per game (see next_action); flags leave out outputs:
//           1 the rewards, 2 the terminated flags, 4 the scores, 8 the final records
//   6-7     step_random: flags leave out outputs
//   8       play_random: a byte for the games wanted (mod 6), one for the rounds
//           allowed before the interrupt (255 for no interrupt), which puts every
//           game back
//   9       reset: flags 1 with a new seed of 4 bytes
//   10      load: one record per game (see next_record)
//   11      set_game: a game, a record
//   12-13   choose with random or greedy players: a byte of kinds (bit p: player p
//           is greedy); flags 1 two players, 2 seats (a byte per game, bit a for
//           agent a), 4 a subset of games (a bit per game), 8 no legal counts; then
//           a byte: 1 place what was chosen (all games), >> 1 outputs left out
//   14      set a game's stream state: a game, 8 bytes
//   15      place_all: one listed placement per game (two bytes each); flags leave
//           out outputs
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch/game_batch.hpp"
#include "fuzz_check.hpp"
#include "game/game.hpp"
#include "players/batch_players.hpp"
#include "players/players.hpp"

namespace tegulo {
namespace {

using fuzz::fail;
using fuzz::require;

constexpr std::size_t MAX_GAMES = 24;  // three tasks of eight: the batch's smallest tasks
constexpr std::size_t AGENT_BLOCK = 69;
constexpr std::size_t TURN_BYTE = RECORD_SIZE - 1;
constexpr std::size_t SEEN_RECORDS = 16;

// What output buffers hold before a call, so that a byte the call should not
// have written shows.
constexpr std::uint8_t UNWRITTEN = 0xAB;
constexpr float UNWRITTEN_REWARD = -7.5f;
constexpr std::int32_t UNWRITTEN_SCORE = -12345;

// Near misses of a listed action: a column, a row, a diagonal, an orientation.
constexpr std::array<std::int64_t, 16> NEAR_MISSES = {-1,  1,   -2,  2,    -19, 19,   -20, 20,
                                                      -21, 21, -40, 40, -400, 400, -800, 800};
// Values at and past both ends of the action grid.
constexpr std::array<std::int64_t, 8> EDGE_ACTIONS = {-1,
                                                      std::numeric_limits<std::int64_t>::min(),
                                                      std::numeric_limits<std::int64_t>::max(),
                                                      static_cast<std::int64_t>(NUM_ACTIONS) - 1,
                                                      static_cast<std::int64_t>(NUM_ACTIONS),
                                                      static_cast<std::int64_t>(NUM_ACTIONS) + 1,
                                                      65536,
                                                      -static_cast<std::int64_t>(NUM_ACTIONS)};

// Reads the input byte by byte, 0 once it is used up.
class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return at_ >= bytes_.size(); }
  std::uint8_t byte() { return empty() ? 0 : bytes_[at_++]; }
  std::uint64_t word(std::size_t width) {
    std::uint64_t w = 0;
    for (std::size_t b = 0; b < width; ++b) w |= std::uint64_t{byte()} << (8 * b);
    return w;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// The bytes of a record that may hold only some bits: cells on the board and
// the 21 kinds. The rest (version, last piece, turn) are mended apart.
const Record& record_bits() {
  static const Record bits = [] {
    Game full = Game::fresh();
    for (Agent& a : full.agents) {
      a.cells = BOARD_MASK;
      a.remaining = ALL_KINDS;
    }
    return full.to_bytes();
  }();
  return bits;
}

bool is_last_piece_byte(std::size_t j) { return j >= 1 && j < TURN_BYTE && (j - 1) % AGENT_BLOCK == 68; }

// Arbitrary bytes made into a record the reader accepts: a position play may
// never reach (agents overlapping, cells that match no kinds), but a game.
Record well_formed(Record r) {
  const Record& bits = record_bits();
  for (std::size_t j = 1; j < TURN_BYTE; ++j) {
    if (!is_last_piece_byte(j))
      r[j] &= bits[j];
    else if (r[j] != 0 && !PieceType::from_code(r[j]))
      r[j] = 0;
  }
  r[0] = 1;
  r[TURN_BYTE] %= AGENT_COUNT;
  return r;
}

// The placements (absolute dense indices) the agent to move may make.
std::vector<std::uint16_t> legal_placements(const Game& game) {
  std::vector<std::uint16_t> moves;
  game.legal_moves(game.current_agent, moves);
  return moves;
}

std::string game_text(std::size_t i) { return "game " + std::to_string(i) + ": "; }

// Where a step writes, filled with what no step writes; `drop` bits 1, 2, 4, 8
// leave out the rewards, the terminated flags, the scores and the final records.
struct StepOutputs {
  StepOutputs(std::size_t n, unsigned drop)
      : rewards(n * AGENT_COUNT, UNWRITTEN_REWARD),
        terminated(n, UNWRITTEN),
        scores(n * AGENT_COUNT, UNWRITTEN_SCORE),
        records(n * RECORD_SIZE, UNWRITTEN),
        drop(drop) {}

  StepBuffers buffers() {
    return {drop & 1 ? nullptr : rewards.data(), drop & 2 ? nullptr : terminated.data(),
            drop & 4 ? nullptr : scores.data(), drop & 8 ? nullptr : records.data()};
  }
  // Whether nothing was written. Buffers are compared as memory, not element by
  // element: this file keeps the comparison tracing, a callback per element.
  bool untouched() const {
    const StepOutputs unwritten(terminated.size(), drop);
    return same(rewards, unwritten.rewards) && same(terminated, unwritten.terminated) &&
           same(scores, unwritten.scores) && same(records, unwritten.records);
  }
  template <class T>
  static bool same(const std::vector<T>& a, const std::vector<T>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
  }
  bool has_rewards() const { return (drop & 1) == 0; }
  bool has_terminated() const { return (drop & 2) == 0; }
  bool has_scores() const { return (drop & 4) == 0; }
  bool has_records() const { return (drop & 8) == 0; }
  const std::uint8_t* record(std::size_t i) const { return records.data() + i * RECORD_SIZE; }

  std::vector<float> rewards;
  std::vector<std::uint8_t> terminated;
  std::vector<std::int32_t> scores;
  std::vector<std::uint8_t> records;
  unsigned drop;
};

// A batch, the twins of its games and of their streams, and every operation
// done on both and checked.
class Twins {
 public:
  Twins(std::size_t n, RewardMode mode, std::size_t threads, std::uint64_t seed)
      : batch_(n, mode, threads, seed),
        games_(n, Game::fresh()),
        mask_(n * NUM_ACTIONS, 0),
        expected_mask_(n * NUM_ACTIONS, 0),
        mask_offsets_(n + 1, 0) {
    for (std::size_t i = 0; i < n; ++i) streams_.push_back(Stream::of(seed, i));
    // No threads asked for is one, the caller's; never more threads than games.
    require(batch_.size() == n && batch_.threads() == std::max<std::size_t>(1, std::min(threads, n)) &&
                batch_.reward_mode() == mode && batch_.seed() == seed,
            "the batch does not have the size, threads, reward mode or seed it was made with");
  }

  std::size_t size() const { return games_.size(); }

  // Every game equals its twin, record and stream included, and is in play.
  void check() const {
    for (std::size_t i = 0; i < size(); ++i) {
      const Game& game = batch_.game(i);
      if (game != games_[i] || game.to_bytes() != games_[i].to_bytes())
        fail(game_text(i) + "the batch's game is not its twin");
      if (game.is_over() || game.agents[game.current_agent].done)
        fail(game_text(i) + "the batch holds a game whose agent to move has no placement");
      if (batch_.stream_state(i) != streams_[i].state) fail(game_text(i) + "the stream is not its twin's");
    }
  }

  void run(Input& in) {
    const std::uint8_t b = in.byte();
    const unsigned flags = b >> 4;
    switch (b & 15) {
      case 0:
      case 1:
        return observe(flags);
      case 2:
      case 3:
      case 4:
      case 5:
        return step(in, flags);
      case 6:
      case 7:
        return step_random(flags);
      case 8:
        return play_random(in);
      case 9:
        return reset(in, flags);
      case 10:
        return load(in);
      case 11:
        return set_game(in);
      case 12:
      case 13:
        return choose(in, flags);
      case 14:
        return set_stream(in);
      default:
        return place_all(in, flags);
    }
  }

  void load(Input& in) {
    std::vector<Record> records;
    for (std::size_t i = 0; i < size(); ++i) records.push_back(next_record(in, i));
    // What the twins make of the records: the first refused one, or the games.
    std::optional<RecordRefusal> expected;
    std::vector<Game> loaded;
    for (std::size_t i = 0; i < size() && !expected; ++i) {
      std::optional<Game> game = Game::from_bytes(records[i]);
      if (!game) {
        expected = RecordRefusal{i, false};
      } else {
        pass_done(*game);
        if (game->is_over()) expected = RecordRefusal{i, true};
        loaded.push_back(*game);
      }
    }
    const std::optional<RecordRefusal> refused = batch_.load(records);
    if (expected) {
      if (!refused || refused->game != expected->game || refused->over != expected->over)
        fail("load: record " + std::to_string(expected->game) + (expected->over ? " (over)" : " (no record)") +
             " should be refused, not " + (refused ? "record " + std::to_string(refused->game) : "none"));
      return;
    }
    if (refused) fail("load refuses record " + std::to_string(refused->game) + ", which its twin takes");
    games_ = loaded;
  }

 private:
  // The action of one game in a step, given its twin's legal placements:
  //   b < 0x80          with the next byte n: listed (b << 8 | n) mod count
  //   0x80 <= b < 0xC0  with the next byte n: listed n mod count, moved by NEAR_MISSES[b mod 16]
  //   0xC0 <= b < 0xF8  with the next two bytes: raw index mod (36400 + 256)
  //   b >= 0xF8         EDGE_ACTIONS[b - 0xF8]
  std::int64_t next_action(Input& in, std::size_t i) {
    const std::uint8_t b = in.byte();
    if (b >= 0xF8) return EDGE_ACTIONS[b - 0xF8];
    if (b >= 0xC0) return static_cast<std::int64_t>(in.word(2) % (NUM_ACTIONS + 256));
    const std::uint8_t n = in.byte();
    const std::vector<std::uint16_t> moves = legal_placements(games_[i]);
    const ActionSet& set = *games_[i].action_set;
    const std::size_t agent = games_[i].current_agent;
    // Every game in play has a placement; this one fails in the check instead.
    if (moves.empty()) return -1;
    if (b < 0x80)
      return static_cast<std::int64_t>(set.action_index(agent, moves[(std::size_t{b} << 8 | n) % moves.size()]));
    return static_cast<std::int64_t>(set.action_index(agent, moves[n % moves.size()])) +
           NEAR_MISSES[b % NEAR_MISSES.size()];
  }

  // A record for game i:
  //   0 its twin's  1 a fresh game's  2 the twin of game (next byte)
  //   3 a record met on the way (next byte), of a game that ended or a position
  //   4 its twin's with byte (two bytes) xor (next byte)
  //   5 the next 278 bytes as they are  6 the same made well-formed
  //   7 its twin's with the turn byte (next byte mod 5)
  Record next_record(Input& in, std::size_t i) {
    const std::uint8_t c = in.byte();
    switch (c % 8) {
      case 0:
        return games_[i].to_bytes();
      case 1:
        return Game::fresh().to_bytes();
      case 2:
        return games_[in.byte() % size()].to_bytes();
      case 3: {
        const std::size_t k = in.byte();
        return seen_.empty() ? games_[i].to_bytes() : seen_[k % seen_.size()];
      }
      case 4: {
        Record r = games_[i].to_bytes();
        const std::size_t at = in.word(2) % RECORD_SIZE;
        r[at] ^= in.byte();
        return r;
      }
      case 7: {
        Record r = games_[i].to_bytes();
        r[TURN_BYTE] = in.byte() % (AGENT_COUNT + 1);
        return r;
      }
      default: {
        Record r;
        for (std::uint8_t& x : r) x = in.byte();
        return c % 8 == 5 ? r : well_formed(r);
      }
    }
  }

  void remember(const Record& record) {
    if (seen_.size() < SEEN_RECORDS)
      seen_.push_back(record);
    else
      seen_[next_seen_++ % SEEN_RECORDS] = record;
  }

  // Makes placement `absolute` in game i's twin through the rules, which must take it.
  void play(std::size_t i, std::uint16_t absolute) {
    Game& game = games_[i];
    const std::size_t action = game.action_set->action_index(game.current_agent, absolute);
    if (game.step(action)) fail(game_text(i) + "the twin refuses placement " + std::to_string(absolute));
  }

  // After a placement in game i's twin: passes the turns of agents out of moves
  // and, if the game ended, starts it again; returns the final scores then.
  std::optional<Scores> settle(std::size_t i) {
    Game& game = games_[i];
    pass_done(game);
    if (!game.is_over()) return std::nullopt;
    const Scores scores = game.scores();
    remember(game.to_bytes());
    game = Game::fresh();
    return scores;
  }

  // Checks game i's row of a step's outputs against its twin, placed and with
  // the turns passed as the batch passes them, then settles the twin.
  void settle_with(std::size_t i, const StepOutputs& out) {
    const Game twin = [&] {
      Game g = games_[i];
      pass_done(g);
      return g;
    }();
    const bool over = twin.is_over();
    const Scores scores = twin.scores();
    if (out.has_terminated() && out.terminated[i] != over) fail(game_text(i) + "the terminated flag is wrong");
    const Rewards rewards = over ? outcome_from_scores(scores, batch_.reward_mode()) : Rewards{};
    for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
      if (out.has_scores() && out.scores[i * AGENT_COUNT + a] != scores[a]) fail(game_text(i) + "a score is wrong");
      if (out.has_rewards() && std::memcmp(&out.rewards[i * AGENT_COUNT + a], &rewards[a], sizeof(float)) != 0)
        fail(game_text(i) + "a reward is wrong");
    }
    if (out.has_records()) {
      const Record expected = over ? twin.to_bytes() : Record{};
      if (std::memcmp(out.record(i), expected.data(), RECORD_SIZE) != 0)
        fail(game_text(i) + "the final record is wrong");
    }
    settle(i);
  }

  // The placement game i's twin's stream draws from its legal placements, as
  // step_random draws; the stream moves on.
  std::uint16_t draw(std::size_t i) {
    const std::vector<std::uint16_t> moves = legal_placements(games_[i]);
    if (moves.empty()) fail(game_text(i) + "no placement to draw from");
    return moves[streams_[i].below(moves.size())];
  }

  // Whether `after` is `before` (a game) one placement on with `placement`, as
  // far as the agent to move in `before` is concerned: it gained exactly that
  // placement's cells and lost exactly its kind.
  static bool made(const Game& before, const Game& after, std::uint16_t placement) {
    const std::size_t mover = before.current_agent;
    const Action& action = before.action_set->actions[placement];
    return after.agents[mover].cells - before.agents[mover].cells == action.cells &&
           (before.agents[mover].remaining & ~after.agents[mover].remaining) ==
               std::uint32_t{1} << action.piece_type.kind_index() &&
           (after.agents[mover].cells & before.agents[mover].cells) == before.agents[mover].cells;
  }

  void observe(unsigned flags) {
    const bool with_mask = flags & 1, with_list = flags & 2, stale = flags & 4, sorted = !(flags & 8);
    const std::size_t n = size();
    std::vector<std::uint8_t> planes(n * CELL_PLANE, UNWRITTEN), corners(n * CELL_PLANE, UNWRITTEN),
        blocked(n * CELL_PLANE, UNWRITTEN), pieces(n * PIECE_PLANE, UNWRITTEN), done(n * AGENT_COUNT, UNWRITTEN);
    std::vector<std::int64_t> current(n, -1), offsets(n + 1, -1);
    ObservationBuffers out{planes.data(), corners.data(), blocked.data(), pieces.data(), done.data(), current.data(),
                           offsets.data(), nullptr,        nullptr,        nullptr,     0};
    if (with_mask) {
      out.action_mask = mask_.data();
      if (stale) {
        out.stale_offsets = mask_offsets_.data();
        out.stale_actions = mask_actions_.data();
        out.stale_games = mask_offsets_.size() - 1;
      } else {
        std::fill(mask_.begin(), mask_.end(), 0);
      }
    }
    const std::size_t total = batch_.observe(out, sorted);
    std::vector<std::int64_t> listed;
    if (with_list) {
      listed.assign(total, -1);
      batch_.write_legal_actions(listed.data());
    }

    // What the twins see: their planes, and their legal actions as their own
    // move scans list them (the scans themselves are the play fuzzer's to check).
    std::vector<std::int64_t> expected_offsets{0}, expected_actions;
    std::vector<std::uint16_t> actions;
    std::vector<std::uint8_t> row(CELL_PLANE * 3 + PIECE_PLANE + AGENT_COUNT);
    for (std::size_t i = 0; i < n; ++i) {
      const Game& game = games_[i];
      const Observation obs = game.observe(game.current_agent);
      std::uint8_t* at = row.data();
      write_planes(obs, {at, at + CELL_PLANE, at + 2 * CELL_PLANE, at + 3 * CELL_PLANE,
                         at + 3 * CELL_PLANE + PIECE_PLANE});
      if (std::memcmp(at, &planes[i * CELL_PLANE], CELL_PLANE) != 0 ||
          std::memcmp(at + CELL_PLANE, &corners[i * CELL_PLANE], CELL_PLANE) != 0 ||
          std::memcmp(at + 2 * CELL_PLANE, &blocked[i * CELL_PLANE], CELL_PLANE) != 0 ||
          std::memcmp(at + 3 * CELL_PLANE, &pieces[i * PIECE_PLANE], PIECE_PLANE) != 0 ||
          std::memcmp(at + 3 * CELL_PLANE + PIECE_PLANE, &done[i * AGENT_COUNT], AGENT_COUNT) != 0)
        fail(game_text(i) + "the observation planes are not the twin's");
      if (current[i] != static_cast<std::int64_t>(game.current_agent))
        fail(game_text(i) + "the agent to move is wrong");
      game.observed_actions(obs, actions);
      expected_actions.insert(expected_actions.end(), actions.begin(), actions.end());
      expected_offsets.push_back(static_cast<std::int64_t>(expected_actions.size()));
    }
    require(offsets == expected_offsets, "observe: the legal offsets are not the twins' counts");
    require(total == expected_actions.size(), "observe: the number of legal actions is not the twins'");
    // Unsorted lists hold each game's actions in some order: sorted, they are the twins'.
    if (with_list && !sorted)
      for (std::size_t i = 0; i < n; ++i)
        std::sort(listed.begin() + expected_offsets[i], listed.begin() + expected_offsets[i + 1]);
    require(!with_list || listed == expected_actions, "observe: the legal lists are not the twins'");
    if (!with_mask) return;
    // The expected mask is kept all 0 between calls: set, compared, cleared.
    auto mark = [&](std::uint8_t value) {
      for (std::size_t i = 0; i < n; ++i)
        for (std::int64_t j = expected_offsets[i]; j < expected_offsets[i + 1]; ++j)
          expected_mask_[i * NUM_ACTIONS + static_cast<std::size_t>(expected_actions[j])] = value;
    };
    mark(1);
    require(StepOutputs::same(mask_, expected_mask_), "observe: the action mask is not the twins' legal actions");
    mark(0);
    mask_offsets_ = expected_offsets;
    mask_actions_ = expected_actions;
  }

  void step(Input& in, unsigned drop) {
    std::vector<std::int64_t> actions(size());
    for (std::size_t i = 0; i < size(); ++i) actions[i] = next_action(in, i);
    // The twins step one after another until one refuses; an action that is no
    // index is the single game's index past every table.
    std::vector<Game> after = games_;
    std::optional<Refusal> expected;
    for (std::size_t i = 0; i < size() && !expected; ++i)
      if (after[i].step(static_cast<std::size_t>(actions[i])))
        expected = Refusal{i, static_cast<std::size_t>(actions[i]) >= NUM_ACTIONS};
    StepOutputs out(size(), drop);
    const std::optional<Refusal> refused = batch_.step(actions, out.buffers());
    if (expected) {
      if (!refused || refused->game != expected->game || refused->out_of_range != expected->out_of_range)
        fail("step: game " + std::to_string(expected->game) + " should be refused" +
             (expected->out_of_range ? " (out of range)" : " (not legal)") + ", not " +
             (refused ? "game " + std::to_string(refused->game) + (refused->out_of_range ? " (out of range)" : "")
                      : "none"));
      require(out.untouched(), "step: a refused step writes outputs");
      return;
    }
    if (refused) fail("step: game " + std::to_string(refused->game) + " is refused, though its twin takes the action");
    games_ = after;
    for (std::size_t i = 0; i < size(); ++i) settle_with(i, out);
  }

  void step_random(unsigned drop) {
    StepOutputs out(size(), drop);
    const std::vector<Game> before = games_;
    batch_.step_random(out.buffers());
    for (std::size_t i = 0; i < size(); ++i) {
      // The game one placement on: the final record of one that ended (a real
      // record's version byte is never 0), else the batch's game as it stands.
      std::optional<Game> after;
      if (out.has_records() && out.record(i)[0] != 0)
        after = Game::from_bytes({out.record(i), RECORD_SIZE});
      else if (out.has_records() || (out.has_terminated() && !out.terminated[i]))
        after = batch_.game(i);
      const std::uint16_t drawn = draw(i);
      if (after && !made(before[i], *after, drawn)) {
        // Which way it went wrong: a placement the agent may not make, or another one.
        const std::vector<std::uint16_t> moves = legal_placements(before[i]);
        fail(game_text(i) + (std::any_of(moves.begin(), moves.end(),
                                         [&](std::uint16_t p) { return made(before[i], *after, p); })
                                 ? "a random step is not the placement the stream draws"
                                 : "a random step makes a placement its agent may not make"));
      }
      play(i, drawn);
      settle_with(i, out);
    }
  }

  void play_random(Input& in) {
    const std::size_t wanted = in.byte() % 6;
    const unsigned allowed = in.byte();
    std::vector<Scores> out(wanted, Scores{-1, -1, -1, -1});
    std::vector<Scores> expected;
    const std::vector<Game> games_before = games_;
    const std::vector<Stream> streams_before = streams_;
    // The rounds are mirrored between them, where the batch asks whether to stop,
    // with its games as before the call meanwhile.
    unsigned asked = 0;
    bool round_pending = false;
    auto mirror_round = [&] {
      for (std::size_t i = 0; i < size(); ++i) {
        play(i, draw(i));
        const std::optional<Scores> final_scores = settle(i);
        if (final_scores && expected.size() < wanted) expected.push_back(*final_scores);
      }
    };
    const bool finished = batch_.play_random(wanted, out.data(), [&] {
      for (std::size_t i = 0; i < size(); ++i)
        if (batch_.game(i) != games_before[i] || batch_.stream_state(i) != streams_before[i].state)
          fail(game_text(i) + "play_random: the game is not as before the call while it pauses");
      if (round_pending) mirror_round();
      round_pending = allowed == 255 || asked++ < allowed;
      return round_pending ? GameBatch::Between::go_on : GameBatch::Between::stop;
    });
    if (round_pending) mirror_round();
    if (!finished) {
      games_ = games_before;
      streams_ = streams_before;
    } else {
      require(expected.size() == wanted, "play_random: finished before its twins had the games wanted");
      require(std::equal(expected.begin(), expected.end(), out.begin()), "play_random: the scores are not the twins'");
    }
    check();
  }

  void reset(Input& in, unsigned flags) {
    std::optional<std::uint64_t> seed;
    if (flags & 1) seed = in.word(4);
    batch_.reset(seed);
    std::fill(games_.begin(), games_.end(), Game::fresh());
    if (seed)
      for (std::size_t i = 0; i < size(); ++i) streams_[i] = Stream::of(*seed, i);
    require(!seed || batch_.seed() == *seed, "reset: the seed is not the new one");
  }

  void set_game(Input& in) {
    const std::size_t i = in.byte() % size();
    std::optional<Game> game = Game::from_bytes(next_record(in, i));
    if (!game) return;  // no game to set
    Game twin = *game;
    pass_done(twin);
    const bool taken = batch_.set_game(i, *game);
    if (taken == twin.is_over())
      fail(game_text(i) + (taken ? "set_game takes a game that is over" : "set_game refuses a game in play"));
    if (taken) games_[i] = twin;
  }

  void set_stream(Input& in) {
    const std::size_t i = in.byte() % size();
    const std::uint64_t state = in.word(8);
    batch_.set_stream_state(i, state);
    streams_[i].state = state;
  }

  void choose(Input& in, unsigned flags) {
    const std::size_t n = size();
    std::vector<Player> players(flags & 1 ? 2 : 1);
    const std::uint8_t kinds = in.byte();
    for (std::size_t p = 0; p < players.size(); ++p)
      players[p].kind = (kinds >> p & 1) != 0 ? PlayerKind::greedy : PlayerKind::random;
    std::vector<std::uint8_t> seats;
    if (flags & 2) {
      seats.resize(n * AGENT_COUNT);
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t s = in.byte();
        for (std::size_t a = 0; a < AGENT_COUNT; ++a)
          seats[i * AGENT_COUNT + a] = static_cast<std::uint8_t>((s >> a & 1) % players.size());
      }
    }
    std::vector<std::size_t> games;
    std::vector<bool> chosen(n, true);
    if (flags & 4) {
      std::uint8_t bits = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) bits = in.byte();
        chosen[i] = (bits >> (i % 8) & 1) != 0;
        if (chosen[i]) games.push_back(i);
      }
    }
    const bool count = (flags & 8) == 0;
    const std::uint8_t then = in.byte();

    std::vector<std::uint16_t> placements(n, 0xFFFF);
    std::vector<std::uint32_t> counts(n, 0xFFFFFFFF);
    if (flags & 4)
      choose_games(batch_, games, players, seats, placements.data(), counts.data(), count);
    else
      choose_all(batch_, players, seats, placements.data(), counts.data(), count);

    for (std::size_t i = 0; i < n; ++i) {
      if (!chosen[i]) {
        if (placements[i] != 0xFFFF || counts[i] != 0xFFFFFFFF)
          fail(game_text(i) + "choose writes for a game not listed");
        continue;
      }
      const Game& game = games_[i];
      const Player& player = players[seats.empty() ? 0 : seats[i * AGENT_COUNT + game.current_agent]];
      // The twin's choice with the twin's stream: the same player on the same
      // game and stream state chooses the same.
      const Choice choice = tegulo::choose(game, player, streams_[i], nullptr, count);
      if (placements[i] != choice.placement || counts[i] != choice.legal_count)
        fail(game_text(i) + "choose is not the twin's choice");
      const std::vector<std::uint16_t> moves = legal_placements(game);
      if (std::find(moves.begin(), moves.end(), choice.placement) == moves.end())
        fail(game_text(i) + "choose chooses a placement the agent may not make");
      if (count && choice.legal_count != moves.size()) fail(game_text(i) + "choose counts the legal placements wrong");
      if (player.kind == PlayerKind::greedy) {
        const ActionSet& set = *game.action_set;
        unsigned largest = 0;
        for (std::uint16_t p : moves) largest = std::max(largest, set.actions[p].piece_type.cell_count());
        if (set.actions[choice.placement].piece_type.cell_count() != largest)
          fail(game_text(i) + "the greedy player does not place one of its largest pieces");
      }
    }
    if ((then & 1) == 0 || (flags & 4)) return;
    check();
    StepOutputs out(n, then >> 1);
    batch_.place_all(placements, out.buffers());
    for (std::size_t i = 0; i < n; ++i) {
      play(i, placements[i]);
      settle_with(i, out);
    }
  }

  void place_all(Input& in, unsigned drop) {
    std::vector<std::uint16_t> placements(size());
    for (std::size_t i = 0; i < size(); ++i) {
      const std::vector<std::uint16_t> moves = legal_placements(games_[i]);
      const std::size_t k = in.word(2);
      if (moves.empty()) fail(game_text(i) + "no placement to place");
      placements[i] = moves[k % moves.size()];
    }
    StepOutputs out(size(), drop);
    batch_.place_all(placements, out.buffers());
    for (std::size_t i = 0; i < size(); ++i) {
      play(i, placements[i]);
      settle_with(i, out);
    }
  }

  GameBatch batch_;
  std::vector<Game> games_;
  std::vector<Stream> streams_;
  std::vector<Record> seen_;  // records met on the way, for loads: games that ended among them
  std::size_t next_seen_ = 0;
  // The action mask observe keeps, and its 1 entries as offsets and actions, for
  // observes that clear them instead of the whole mask.
  std::vector<std::uint8_t> mask_, expected_mask_;
  std::vector<std::int64_t> mask_offsets_, mask_actions_;
};

void drive(std::span<const std::uint8_t> bytes) {
  Input in(bytes);
  const std::size_t n = 1 + in.byte() % MAX_GAMES;
  const std::uint8_t b = in.byte();
  const std::size_t threads = (b & 7) % 5;
  const auto mode = static_cast<RewardMode>((b >> 3 & 3) % 3);
  const std::uint64_t seed = in.word(4);
  Twins twins(n, mode, threads, seed);
  twins.check();
  if (b & 0x40) {
    twins.load(in);
    twins.check();
  }
  while (!in.empty()) {
    twins.run(in);
    twins.check();
  }
}

}  // namespace
}  // namespace tegulo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tegulo::fuzz::run([&] { tegulo::drive({data, size}); });
}
