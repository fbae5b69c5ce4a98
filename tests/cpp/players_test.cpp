#include "players/players.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "batch/thread_pool.hpp"
#include "game/actions.hpp"
#include "game/errors.hpp"
#include "players/batch_players.hpp"
#include "players/guided_search.hpp"
#include "players/mcts.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

using testing::random_game;

// Positions of seeded random games with an agent to move that has a placement
// (after passes): openings, middles with agents out of moves, and last moves.
const std::vector<Game>& positions() {
  static const std::vector<Game> all = [] {
    std::vector<Game> out;
    for (std::uint64_t seed = 0; seed < 6; ++seed)
      random_game(seed, [&](const Game& game, auto) {
        Game g = game;
        pass_done(g);
        if (!g.is_over() && g.ply() % 3 == seed % 3) out.push_back(g);
      });
    return out;
  }();
  return all;
}

std::set<std::uint16_t> legal(const Game& game) {
  std::vector<std::uint16_t> moves;
  game.legal_moves(game.current_agent, moves);
  return {moves.begin(), moves.end()};
}

Player mcts(std::uint32_t simulations, PlayerKind playout, std::uint32_t trees = 1) {
  Player p;
  p.kind = PlayerKind::mcts;
  p.simulations = simulations;
  p.playout = playout;
  p.trees = trees;
  return p;
}

// The heuristic's score of placement m, on whole boards: what the windows must give.
float reference_score(const Game& game, std::uint16_t m, const HeuristicWeights& w) {
  const std::size_t mover = game.current_agent;
  const PlacementMasks own = game.placement_masks(mover);
  const Bitboard& cells = game.action_set->actions[m].cells;
  const Bitboard after = ((own.attach | cells.corner_neighbours()) - own.forbidden) - (cells | cells.edge_neighbours());
  int taken = 0;
  for (std::size_t o = 0; o < AGENT_COUNT; ++o)
    if (o != mover && !game.agents[o].done) taken += (cells & game.placement_masks(o).attach).count();
  return w.size * static_cast<float>(game.action_set->actions[m].piece_type.cell_count()) +
         w.reach * static_cast<float>(after.count() - own.attach.count()) + w.block * static_cast<float>(taken);
}

TEST(Players, EveryPlayerPlaysALegalPlacementAndTheSameOneForTheSameStream) {
  Player random, greedy, heuristic;
  greedy.kind = PlayerKind::greedy;
  heuristic.kind = PlayerKind::heuristic;
  const std::vector<Player> all = {random,
                                   greedy,
                                   heuristic,
                                   mcts(12, PlayerKind::random),
                                   mcts(12, PlayerKind::greedy),
                                   mcts(9, PlayerKind::heuristic, 2)};
  int positions_seen = 0, out_of_moves = 0;
  for (std::size_t k = 0; k < positions().size(); k += 5) {
    const Game& game = positions()[k];
    ++positions_seen;
    for (const Agent& a : game.agents) out_of_moves += a.done;
    const auto moves = legal(game);
    for (const Player& p : all) {
      Stream stream = Stream::of(7, k), twin = stream;
      const Choice c = choose(game, p, stream);
      ASSERT_TRUE(moves.count(c.placement)) << "player " << static_cast<int>(p.kind) << " position " << k;
      ASSERT_EQ(c.legal_count, moves.size());
      ASSERT_EQ(choose(game, p, twin).placement, c.placement);
      ASSERT_EQ(twin.state, stream.state);  // the draws depend on the stream alone
    }
  }
  EXPECT_GT(positions_seen, 20);
  EXPECT_GT(out_of_moves, 3);  // positions with agents out of moves are among them
}

TEST(Players, GreedyPlaysTheLargestPieceAndTheHeuristicItsBestScore) {
  Player greedy, heuristic;
  greedy.kind = PlayerKind::greedy;
  heuristic.kind = PlayerKind::heuristic;
  std::set<std::uint16_t> greedy_seen;
  for (std::size_t k = 0; k < positions().size(); k += 3) {
    const Game& game = positions()[k];
    const auto moves = legal(game);
    unsigned largest = 0;
    float top = -1e30f;
    for (const std::uint16_t m : moves) {
      largest = std::max(largest, game.action_set->actions[m].piece_type.cell_count());
      top = std::max(top, reference_score(game, m, heuristic.weights));
    }
    Stream stream = Stream::of(3, k);
    const std::uint16_t g = choose(game, greedy, stream).placement;
    ASSERT_EQ(game.action_set->actions[g].piece_type.cell_count(), largest) << k;
    greedy_seen.insert(g);
    const std::uint16_t h = choose(game, heuristic, stream).placement;
    ASSERT_FLOAT_EQ(reference_score(game, h, heuristic.weights), top) << k;
  }
  // Ties go to the stream: the opening alone has many largest placements.
  std::set<std::uint16_t> openings;
  for (std::uint64_t s = 0; s < 20; ++s) {
    Stream stream = Stream::of(s, 0);
    openings.insert(choose(Game::fresh(), greedy, stream).placement);
  }
  EXPECT_GT(openings.size(), 3u);
}

TEST(Search, AnOnlyMoveIsPlayedAndTreesGiveTheSameChoiceOnAnyThreads) {
  for (const Game& game : positions()) {
    if (legal(game).size() != 1) continue;
    Stream stream = Stream::of(1, 0);
    EXPECT_EQ(choose(game, mcts(30, PlayerKind::greedy), stream).placement, *legal(game).begin());
    break;
  }
  ThreadPool pool(2);
  for (std::size_t k = 0; k < positions().size(); k += 17) {
    const Game& game = positions()[k];
    const Player p = mcts(40, PlayerKind::random, 3);
    Stream a = Stream::of(5, k), b = a;
    EXPECT_EQ(search(game, p, a).placement, search(game, p, b, &pool).placement) << k;
  }
}

TEST(Search, AGuidedSearchFollowsItsPriors) {
  // Priors mostly on the highest action index of each leaf, values equal: the most
  // visited root child is that action, for every root.
  std::vector<Game> roots;
  for (std::size_t k = 0; k < positions().size(); k += 23) roots.push_back(positions()[k]);
  GuidedSearch guided(roots, 60, 1.5f, 4, RewardMode::rank);
  std::size_t rounds = 0, leaves = 0;
  for (;;) {
    const std::vector<Game>& batch = guided.select();
    if (batch.empty()) break;
    ++rounds;
    leaves += batch.size();
    std::vector<float> priors(batch.size() * NUM_ACTIONS, 0.0f), values(batch.size() * AGENT_COUNT, 0.25f);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      std::vector<std::uint16_t> moves;
      batch[i].legal_moves(batch[i].current_agent, moves);
      ASSERT_FALSE(moves.empty());
      std::size_t top = 0;
      for (std::uint16_t m : moves) {
        const std::size_t a = batch[i].action_set->action_index(batch[i].current_agent, m);
        top = std::max(top, a);
        priors[i * NUM_ACTIONS + a] = 0.02f;
      }
      priors[i * NUM_ACTIONS + top] = 1.0f;
    }
    guided.expand(priors, values);
  }
  EXPECT_TRUE(guided.done());
  EXPECT_LT(rounds, 60u);  // leaves came several to a call
  EXPECT_GT(leaves, roots.size());
  for (std::size_t t = 0; t < roots.size(); ++t) {
    const Game& root = roots[t];
    std::size_t top = 0;
    for (std::uint16_t m : legal(root)) top = std::max(top, root.action_set->action_index(root.current_agent, m));
    EXPECT_EQ(root.action_set->action_index(root.current_agent, guided.best(t).placement), top) << t;
  }
}

// Near the end most descents reach finished games, which need no evaluation: the
// search still runs its simulations and stops.
TEST(Search, AGuidedSearchScoresFinishedGamesByTheirOutcome) {
  const Game* near_end = nullptr;
  for (const Game& game : positions()) {
    int playing = 0;
    for (const Agent& a : game.agents) playing += !a.done;
    if (playing == 1 && legal(game).size() <= 3) near_end = &game;
  }
  ASSERT_NE(near_end, nullptr);
  GuidedSearch guided(std::span<const Game>(near_end, 1), 200, 1.0f, 8, RewardMode::score);
  std::size_t evaluated = 0;
  for (const std::vector<Game>* batch = &guided.select(); !batch->empty(); batch = &guided.select()) {
    evaluated += batch->size();
    guided.expand(std::vector<float>(batch->size() * NUM_ACTIONS, 1.0f),
                  std::vector<float>(batch->size() * AGENT_COUNT, 0.0f));
  }
  EXPECT_TRUE(guided.done());
  EXPECT_LT(evaluated, 50u);
  EXPECT_TRUE(legal(*near_end).count(guided.best(0).placement));
}

TEST(Search, RewardSumsKeepTheirMeanPastTwoToTheTwentyFourVisits) {
  // A long search's node sums rewards of 1/3 (a four-way rank) tens of millions of
  // times: the mean must stay 1/3, which a float sum loses once it passes 2**22.
  RewardSums sums{};
  const Rewards third{1.0f / 3, 1.0f / 3, 1.0f / 3, 1.0f / 3};
  const std::uint32_t visits = (1u << 24) + (1u << 23);
  for (std::uint32_t v = 0; v < visits; ++v) add_rewards(sums, third);
  for (const double sum : sums) EXPECT_NEAR(sum / visits, third[0], 1e-6);
}

TEST(Search, AMctsTreeStopsAtItsMemoryCapInsteadOfReservingForEverySimulation) {
  Player player;
  player.kind = PlayerKind::mcts;
  player.simulations = 1'000'000'000;
  player.memory_mb = 1;
  Stream stream = Stream::of(1, 0);
  const std::uint64_t before = stream.state;
  EXPECT_THROW(search(Game::fresh(), player, stream), LimitReached);
  player.simulations = 30;
  stream.state = before;
  const Choice capped = search(Game::fresh(), player, stream);
  player.memory_mb = 1024;
  stream.state = before;
  EXPECT_EQ(search(Game::fresh(), player, stream).placement, capped.placement);
}

TEST(BatchPlayers, EachGamePlaysWithThePlayerOfItsSeatFromItsOwnStream) {
  GameBatch batch(6, RewardMode::rank, 2, 9);
  Player random, greedy;
  greedy.kind = PlayerKind::greedy;
  const std::vector<Player> players = {random, greedy};
  std::vector<std::uint8_t> seats(6 * AGENT_COUNT);
  for (std::size_t i = 0; i < seats.size(); ++i) seats[i] = static_cast<std::uint8_t>(i * 7 % 3 == 0);
  for (int round = 0; round < 30; ++round) {
    std::vector<Stream> streams;
    for (std::size_t i = 0; i < 6; ++i) streams.push_back(Stream{batch.stream_state(i)});
    std::vector<std::uint16_t> placements(6);
    std::vector<std::uint32_t> counts(6);
    choose_all(batch, players, seats, placements.data(), counts.data());
    for (std::size_t i = 0; i < 6; ++i) {
      const Game& game = batch.game(i);
      const Player& p = players[seats[i * AGENT_COUNT + game.current_agent]];
      ASSERT_EQ(choose(game, p, streams[i]).placement, placements[i]) << i;
      ASSERT_EQ(streams[i].state, batch.stream_state(i));
    }
    batch.place_all(placements, {nullptr, nullptr, nullptr, nullptr});
  }
}

// One game of a learner's turn as the batch must play it: the learner's
// placement, then its opponents from the game's stream up to its next turn, in a
// new game (its learner at `next`, its opponents `renewed`) if this one ends; the
// end, if any, into `end`.
struct Expected {
  Game game;
  Stream stream;
  std::optional<Game> end;
};

Expected learner_turn(Game game, Stream stream, std::uint16_t placement, std::span<const Player> players,
                      std::span<const std::uint8_t> opponents, std::size_t next,
                      std::span<const std::uint8_t> renewed) {
  std::size_t learner = game.current_agent;
  game.place(placement);
  std::optional<Game> end;
  for (;;) {
    pass_done(game);
    if (game.is_over()) {
      end = game;
      game = Game::fresh();
      learner = next;
      opponents = renewed;
    }
    if (game.current_agent == learner) break;
    const std::size_t k = (game.current_agent + AGENT_COUNT - learner) % AGENT_COUNT;
    game.place(choose(game, players[opponents[k - 1]], stream).placement);
  }
  return {game, stream, end};
}

TEST(BatchPlayers, ALearnersTurnPlaysItsOpponentsFromTheirOwnStreamsUpToItsNextTurn) {
  constexpr std::size_t N = 8;
  GameBatch batch(N, RewardMode::rank, 2, 5);
  Player random, greedy, heuristic;
  greedy.kind = PlayerKind::greedy;
  heuristic.kind = PlayerKind::heuristic;
  const std::vector<Player> players = {random, greedy, heuristic};
  // A new game meets other opponents than the one that ended: next_opponents names them.
  std::vector<std::uint8_t> opponents(N * 3), next(N), next_opponents(N * 3);
  for (std::size_t i = 0; i < opponents.size(); ++i) opponents[i] = static_cast<std::uint8_t>(i * 5 % 3);
  for (std::size_t i = 0; i < opponents.size(); ++i) next_opponents[i] = static_cast<std::uint8_t>((i + 1) % 3);
  for (std::size_t i = 0; i < N; ++i) next[i] = static_cast<std::uint8_t>(i % AGENT_COUNT);
  const ActionSet& set = ActionSet::get();
  Stream pick = Stream::of(77, 0);
  std::size_t ends = 0;
  for (int round = 0; round < 150; ++round) {
    std::vector<std::uint8_t> playing(N, 1);
    playing[round % N] = round % 3 != 0;  // now and then a game sits a turn out
    std::vector<std::int64_t> actions(N);
    std::vector<Expected> expected;
    for (std::size_t i = 0; i < N; ++i) {
      const Game& game = batch.game(i);
      std::vector<std::uint16_t> moves;
      game.legal_moves(game.current_agent, moves);
      const std::uint16_t placement = moves[pick.below(moves.size())];
      actions[i] = static_cast<std::int64_t>(set.action_index(game.current_agent, placement));
      const std::span<const std::uint8_t> mine(opponents.data() + 3 * i, 3), renewed(next_opponents.data() + 3 * i, 3);
      expected.push_back(playing[i] ? learner_turn(game, Stream{batch.stream_state(i)}, placement, players, mine,
                                                   next[i], renewed)
                                    : Expected{game, Stream{batch.stream_state(i)}, std::nullopt});
    }
    std::vector<float> rewards(N * AGENT_COUNT, -1);
    std::vector<std::uint8_t> terminated(N, 2), records(N * RECORD_SIZE, 9);
    std::vector<std::int32_t> scores(N * AGENT_COUNT);
    ASSERT_FALSE(step_learners(batch, actions, players, opponents, next, playing,
                               {rewards.data(), terminated.data(), scores.data(), records.data()}, next_opponents));
    // The games that started again meet their next opponents from now on.
    for (std::size_t i = 0; i < N; ++i)
      if (terminated[i]) std::swap_ranges(opponents.begin() + 3 * i, opponents.begin() + 3 * i + 3,
                                          next_opponents.begin() + 3 * i);
    for (std::size_t i = 0; i < N; ++i) {
      ASSERT_EQ(batch.game(i), expected[i].game) << "round " << round << " game " << i;
      ASSERT_EQ(batch.stream_state(i), expected[i].stream.state);
      ASSERT_EQ(terminated[i], expected[i].end.has_value());
      const Game& shown = expected[i].end ? *expected[i].end : expected[i].game;
      const Scores want = shown.scores();
      const Rewards paid = expected[i].end ? outcome_from_scores(want, RewardMode::rank) : Rewards{};
      for (std::size_t a = 0; a < AGENT_COUNT; ++a) {
        ASSERT_EQ(scores[i * AGENT_COUNT + a], want[a]);
        ASSERT_EQ(rewards[i * AGENT_COUNT + a], paid[a]);
      }
      const Record record = expected[i].end ? expected[i].end->to_bytes() : Record{};
      ASSERT_TRUE(std::equal(record.begin(), record.end(), records.begin() + i * RECORD_SIZE));
      ends += terminated[i];
    }
  }
  EXPECT_GT(ends, N);  // games ended, in every seat's new games

  // An illegal action anywhere refuses the whole turn and changes nothing.
  std::vector<Game> before;
  for (std::size_t i = 0; i < N; ++i) before.push_back(batch.game(i));
  std::vector<std::int64_t> actions(N, -1);
  for (std::size_t i = 0; i < N; ++i) {
    const Game& game = batch.game(i);
    actions[i] = static_cast<std::int64_t>(set.action_index(game.current_agent, [&] {
      std::vector<std::uint16_t> moves;
      game.legal_moves(game.current_agent, moves);
      return moves.front();
    }()));
  }
  actions[5] = static_cast<std::int64_t>(NUM_ACTIONS);
  const std::vector<std::uint8_t> all(N, 1);
  const auto refused =
      step_learners(batch, actions, players, opponents, next, all, {nullptr, nullptr, nullptr, nullptr});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->game, 5u);
  EXPECT_TRUE(refused->out_of_range);
  for (std::size_t i = 0; i < N; ++i) EXPECT_EQ(batch.game(i), before[i]);
  EXPECT_THROW(step_learners(batch, actions, {std::vector<Player>{mcts(10, PlayerKind::random)}}, {}, next, all,
                             {nullptr, nullptr, nullptr, nullptr}),
               InternalError);
}

}  // namespace
}  // namespace tegulo
