// The batched engine against single games stepped alongside, and the same
// results for any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "batch/game_batch.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using namespace testing;

// Every output of observe and step, for one batch call after another.
struct Outputs {
  explicit Outputs(std::size_t n)
      : observation(n * CELL_PLANE),
        corners(n * CELL_PLANE),
        blocked(n * CELL_PLANE),
        pieces(n * PIECE_PLANE),
        done(n * AGENT_COUNT),
        current(n),
        offsets(n + 1),
        mask(n * NUM_ACTIONS),
        rewards(n * AGENT_COUNT),
        terminated(n),
        scores(n * AGENT_COUNT),
        records(n * RECORD_SIZE) {}

  // Observes into these buffers, the mask kept up to date from the last lists.
  void observe(GameBatch& batch) {
    const bool stale = !actions.empty();
    std::vector<std::int64_t> old_offsets = offsets, old_actions = actions;
    const std::size_t total = batch.observe(
        {observation.data(), corners.data(), blocked.data(), pieces.data(), done.data(), current.data(), offsets.data(),
         mask.data(), stale ? old_offsets.data() : nullptr, stale ? old_actions.data() : nullptr,
         stale ? old_offsets.size() - 1 : 0});
    actions.assign(total, -1);
    batch.write_legal_actions(actions.data());
  }
  StepBuffers step_buffers() { return {rewards.data(), terminated.data(), scores.data(), records.data()}; }
  std::span<const std::int64_t> legal(std::size_t i) const {
    return {actions.data() + offsets[i], actions.data() + offsets[i + 1]};
  }

  std::vector<std::uint8_t> observation, corners, blocked, pieces, done;
  std::vector<std::int64_t> current, offsets, actions;
  std::vector<std::uint8_t> mask;
  std::vector<float> rewards;
  std::vector<std::uint8_t> terminated;
  std::vector<std::int32_t> scores;
  std::vector<std::uint8_t> records;
};

// Passes the turns of agents out of moves, as the batch does after every step.
void pass_turns(Game& game) {
  while (!game.is_over() && game.agents[game.current_agent].done) ASSERT_FALSE(game.step(std::nullopt));
}

TEST(GameBatch, PlaysEveryGameAsASingleGameSteppedAlongside) {
  constexpr std::size_t N = 13;
  GameBatch batch(N, RewardMode::rank, 2, 5);
  std::vector<Game> games(N, Game::fresh());
  Outputs out(N);
  std::mt19937_64 rng(3);
  std::size_t ended = 0;
  for (int round = 0; round < 300; ++round) {
    out.observe(batch);
    std::vector<std::int64_t> actions(N);
    for (std::size_t i = 0; i < N; ++i) {
      const Game& game = games[i];
      ASSERT_EQ(batch.game(i), game);
      ASSERT_EQ(out.current[i], static_cast<std::int64_t>(game.current_agent));
      const std::vector<std::size_t> expected = legal_actions(game);
      std::vector<std::int64_t> sorted(expected.begin(), expected.end());
      std::sort(sorted.begin(), sorted.end());
      const auto listed = out.legal(i);
      ASSERT_TRUE(std::equal(listed.begin(), listed.end(), sorted.begin(), sorted.end())) << "game " << i;
      const std::uint8_t* mask = out.mask.data() + i * NUM_ACTIONS;
      ASSERT_EQ(std::count(mask, mask + NUM_ACTIONS, 1), static_cast<long>(sorted.size()));
      for (std::int64_t a : sorted) ASSERT_EQ(mask[a], 1);
      std::vector<std::uint8_t> plane(CELL_PLANE), pieces(PIECE_PLANE), done(AGENT_COUNT);
      std::vector<std::uint8_t> corners(CELL_PLANE), blocked(CELL_PLANE);
      write_planes(game.observe(game.current_agent),
                   {plane.data(), corners.data(), blocked.data(), pieces.data(), done.data()});
      ASSERT_EQ(0, std::memcmp(plane.data(), out.observation.data() + i * CELL_PLANE, CELL_PLANE));
      ASSERT_EQ(0, std::memcmp(blocked.data(), out.blocked.data() + i * CELL_PLANE, CELL_PLANE));
      ASSERT_EQ(0, std::memcmp(pieces.data(), out.pieces.data() + i * PIECE_PLANE, PIECE_PLANE));
      actions[i] = sorted[rng() % sorted.size()];
    }
    ASSERT_FALSE(batch.step(actions, out.step_buffers()));
    for (std::size_t i = 0; i < N; ++i) {
      Game& game = games[i];
      ASSERT_FALSE(game.step(static_cast<std::size_t>(actions[i])));
      pass_turns(game);
      const Scores scores = game.scores();
      for (std::size_t a = 0; a < AGENT_COUNT; ++a) ASSERT_EQ(out.scores[i * AGENT_COUNT + a], scores[a]);
      ASSERT_EQ(out.terminated[i], game.is_over());
      const Rewards rewards = game.is_over() ? outcome_from_scores(scores, RewardMode::rank) : Rewards{};
      ASSERT_EQ(0, std::memcmp(rewards.data(), out.rewards.data() + i * AGENT_COUNT, sizeof rewards));
      const Record record = game.is_over() ? game.to_bytes() : Record{};
      ASSERT_EQ(0, std::memcmp(record.data(), out.records.data() + i * RECORD_SIZE, RECORD_SIZE));
      if (game.is_over()) {
        ++ended;
        game = Game::fresh();
      }
    }
  }
  EXPECT_GT(ended, N);  // several games ended and started again on the way
}

// The records and step outputs of `rounds` random rounds.
std::vector<std::uint8_t> random_play(std::size_t n, std::size_t threads, int rounds) {
  GameBatch batch(n, RewardMode::win_share, threads, 99);
  Outputs out(n);
  std::vector<std::uint8_t> seen;
  for (int round = 0; round < rounds; ++round) {
    batch.step_random(out.step_buffers());
    seen.insert(seen.end(), out.terminated.begin(), out.terminated.end());
    seen.insert(seen.end(), out.records.begin(), out.records.end());
    const auto* rewards = reinterpret_cast<const std::uint8_t*>(out.rewards.data());
    seen.insert(seen.end(), rewards, rewards + out.rewards.size() * sizeof(float));
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Record record = batch.game(i).to_bytes();
    seen.insert(seen.end(), record.begin(), record.end());
  }
  return seen;
}

TEST(GameBatch, RandomPlayIsTheSameForAnyNumberOfThreadsAndGames) {
  const std::vector<std::uint8_t> one = random_play(37, 1, 120);
  EXPECT_EQ(random_play(37, 2, 120), one);
  EXPECT_EQ(random_play(37, 3, 120), one);
  // Game i's stream depends on the seed and i alone: the first games of a larger
  // batch play the same games.
  GameBatch small(5, RewardMode::rank, 1, 7), large(40, RewardMode::rank, 2, 7);
  Outputs small_out(5), large_out(40);
  for (int round = 0; round < 150; ++round) {
    small.step_random(small_out.step_buffers());
    large.step_random(large_out.step_buffers());
  }
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(small.game(i), large.game(i));
}

TEST(GameBatch, PlayRandomReportsGamesInTheOrderTheyEnd) {
  GameBatch batch(6, RewardMode::rank, 2, 11), twin(6, RewardMode::rank, 1, 11);
  std::vector<Scores> scores(20);
  ASSERT_TRUE(batch.play_random(20, scores.data(), [] { return GameBatch::Between::go_on; }));
  Outputs out(6);
  std::vector<Scores> expected;
  while (expected.size() < 20) {
    twin.step_random(out.step_buffers());
    for (std::size_t i = 0; i < 6 && expected.size() < 20; ++i)
      if (out.terminated[i])
        expected.push_back(
            {static_cast<std::int16_t>(out.scores[i * 4]), static_cast<std::int16_t>(out.scores[i * 4 + 1]),
             static_cast<std::int16_t>(out.scores[i * 4 + 2]), static_cast<std::int16_t>(out.scores[i * 4 + 3])});
  }
  EXPECT_EQ(scores, expected);
}

// Every game and stream of a batch, to compare a batch with itself later.
std::vector<std::pair<Record, std::uint64_t>> slots_of(const GameBatch& batch) {
  std::vector<std::pair<Record, std::uint64_t>> slots;
  for (std::size_t i = 0; i < batch.size(); ++i) slots.emplace_back(batch.game(i).to_bytes(), batch.stream_state(i));
  return slots;
}

TEST(GameBatch, PlayRandomPausesWithTheGamesAsBeforeAndStopsOrStartsAgainFromThere) {
  using Between = GameBatch::Between;
  GameBatch batch(6, RewardMode::rank, 2, 11), twin(6, RewardMode::rank, 1, 11);
  Outputs out(6);
  for (int round = 0; round < 5; ++round) batch.step_random(out.step_buffers());
  const auto before = slots_of(batch);
  std::vector<Scores> scores(50);
  // A stop after some rounds, and a failure in a round: the games and streams as before.
  int pauses = 0;
  EXPECT_FALSE(batch.play_random(50, scores.data(), [&] {
    EXPECT_EQ(slots_of(batch), before) << "pause " << pauses;
    return ++pauses < 30 ? Between::go_on : Between::stop;
  }));
  EXPECT_EQ(pauses, 30);
  EXPECT_EQ(slots_of(batch), before);
  pauses = 0;
  EXPECT_THROW(batch.play_random(50, scores.data(),
                                 [&] {
                                   if (++pauses == 20) batch.set_stream_state(3, 0);  // no throw yet: changes a stream
                                   if (pauses == 25) throw std::bad_alloc();
                                   return Between::go_on;
                                 }),
               std::bad_alloc);
  batch.set_stream_state(3, before[3].second);
  EXPECT_EQ(slots_of(batch), before);
  // A game changed during a pause: play starts again from the batch as it then stands.
  for (std::size_t i = 0; i < 6; ++i) ASSERT_TRUE(twin.set_game(i, batch.game(i)));
  for (std::size_t i = 0; i < 6; ++i) twin.set_stream_state(i, batch.stream_state(i));
  Game other = Game::fresh();
  random_game(8, [&](const Game& g, auto) {
    if (g.ply() == 12) other = g;
  });
  ASSERT_TRUE(twin.set_game(2, other));
  std::vector<Scores> expected(8);
  ASSERT_TRUE(twin.play_random(8, expected.data(), [] { return Between::go_on; }));
  pauses = 0;
  ASSERT_TRUE(batch.play_random(8, scores.data(), [&] {
    if (++pauses != 7) return Between::go_on;
    EXPECT_TRUE(batch.set_game(2, other));
    return Between::start_again;
  }));
  EXPECT_EQ(std::vector<Scores>(scores.begin(), scores.begin() + 8), expected);
  EXPECT_EQ(slots_of(batch), slots_of(twin));
}

TEST(GameBatch, StepLearnersPutsEveryGameBackWhenAPlayerThrows) {
  constexpr std::size_t N = 24;
  GameBatch batch(N, RewardMode::rank, 3, 4);
  Outputs out(N);
  for (int round = 0; round < 6; ++round) batch.step_random(out.step_buffers());
  out.observe(batch);
  std::vector<std::int64_t> actions(N);
  for (std::size_t i = 0; i < N; ++i) actions[i] = out.legal(i).front();
  const std::vector<std::uint8_t> next(N, 0), playing(N, 1);
  const auto before = slots_of(batch);
  // Fails at the k-th opponent's move, after other games (and this one's learner) moved.
  for (const int k : {1, 9, 40}) {
    std::atomic<int> moves = 0;
    auto choose = [&](std::size_t, const Game& game, Stream& stream, std::size_t, bool) {
      if (++moves == k) throw std::bad_alloc();
      std::vector<std::uint16_t> legal;
      game.legal_moves(game.current_agent, legal);
      return legal[stream.below(legal.size())];
    };
    EXPECT_THROW(batch.step_learners(actions, next, playing, choose, out.step_buffers()), std::bad_alloc);
    EXPECT_EQ(slots_of(batch), before) << "failing at move " << k;
  }
  // And with no failure the same call goes through.
  auto random_choice = [](std::size_t, const Game& game, Stream& stream, std::size_t, bool) {
    std::vector<std::uint16_t> legal;
    game.legal_moves(game.current_agent, legal);
    return legal[stream.below(legal.size())];
  };
  ASSERT_FALSE(batch.step_learners(actions, next, playing, random_choice, out.step_buffers()));
  EXPECT_NE(slots_of(batch), before);
}

TEST(GameBatch, ThePoolGrowsWithTheGamesLoadedUpToTheThreadsAskedFor) {
  GameBatch batch(1, RewardMode::rank, 3, 2);
  EXPECT_EQ(batch.threads(), 1u);
  const std::vector<Record> two(2, Game::fresh().to_bytes()), many(64, Game::fresh().to_bytes());
  ASSERT_FALSE(batch.load(two));
  EXPECT_EQ(batch.threads(), 2u);
  ASSERT_FALSE(batch.load(many));
  EXPECT_EQ(batch.threads(), 3u);
  ASSERT_FALSE(batch.load(two));
  EXPECT_EQ(batch.threads(), 3u);  // a pool never shrinks: its threads sleep
  // The results are those of a batch made with every thread from the start.
  GameBatch twin(64, RewardMode::rank, 3, 2);
  ASSERT_FALSE(batch.load(many));
  Outputs out(64), twin_out(64);
  for (int round = 0; round < 40; ++round) {
    batch.step_random(out.step_buffers());
    twin.step_random(twin_out.step_buffers());
  }
  EXPECT_EQ(slots_of(batch), slots_of(twin));
}

TEST(GameBatch, ARefusedStepNamesTheFirstRefusedGameAndChangesNothing) {
  constexpr std::size_t N = 20;
  GameBatch batch(N, RewardMode::rank, 3, 1);
  Outputs out(N);
  for (int round = 0; round < 9; ++round) batch.step_random(out.step_buffers());
  out.observe(batch);
  std::vector<std::int64_t> actions(N);
  for (std::size_t i = 0; i < N; ++i) actions[i] = out.legal(i).front();
  std::vector<Game> before;
  for (std::size_t i = 0; i < N; ++i) before.push_back(batch.game(i));

  auto refused = [&](std::vector<std::int64_t> bad) {
    std::fill(out.terminated.begin(), out.terminated.end(), 7);
    const auto r = batch.step(bad, out.step_buffers());
    for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.game(i), before[i]);
    EXPECT_TRUE(std::all_of(out.terminated.begin(), out.terminated.end(), [](auto b) { return b == 7; }));
    return r;
  };
  auto with = [&](std::initializer_list<std::pair<std::size_t, std::int64_t>> changes) {
    std::vector<std::int64_t> bad = actions;
    for (auto [i, a] : changes) bad[i] = a;
    return bad;
  };
  auto r = refused(with({{17, -1}}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->game, 17u);
  EXPECT_TRUE(r->out_of_range);
  r = refused(with({{12, static_cast<std::int64_t>(NUM_ACTIONS)}, {4, out.legal(5).front() == 0 ? 1 : 0}}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->game, 4u);
  EXPECT_FALSE(r->out_of_range);
  ASSERT_FALSE(batch.step(actions, out.step_buffers()));
}

TEST(GameBatch, LoadsRecordsOfGamesInPlayOnly) {
  GameBatch batch(3, RewardMode::rank, 2, 1);
  Game mid = Game::fresh();
  ASSERT_FALSE(mid.step(grid(O4, 0, 0)));
  const Game over = random_game(4, [](const Game&, auto) {});
  Record bad = mid.to_bytes();
  bad[0] = 9;
  const std::vector<Record> records = {mid.to_bytes(), Game::fresh().to_bytes(), mid.to_bytes()};
  for (const auto& [replaced, expected_over] : {std::pair{bad, false}, std::pair{over.to_bytes(), true}}) {
    std::vector<Record> with_bad = records;
    with_bad[1] = replaced;
    const auto refusal = batch.load(with_bad);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->game, 1u);
    EXPECT_EQ(refusal->over, expected_over);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(batch.game(i), Game::fresh());
  }
  ASSERT_FALSE(batch.load(records));
  EXPECT_EQ(batch.game(0), mid);
  EXPECT_FALSE(batch.set_game(2, over));
  EXPECT_EQ(batch.game(2), mid);
}

}  // namespace
}  // namespace tegulo
