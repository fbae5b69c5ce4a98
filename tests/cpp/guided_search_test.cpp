#include "players/guided_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "batch/thread_pool.hpp"
#include "game/actions.hpp"
#include "game/errors.hpp"
#include "testing.hpp"

namespace tegulo {
namespace {

// A position `plies` random placements into a seeded game, its agent to move able to place.
Game position(std::uint64_t seed, std::size_t plies) {
  std::optional<Game> found;
  testing::random_game(seed, [&](const Game& game, auto) {
    Game g = game;
    pass_done(g);
    if (!found && !g.is_over() && g.ply() >= plies) found = g;
  });
  if (!found) throw std::logic_error("no such position");
  return *found;
}

std::vector<std::uint16_t> legal(const Game& game) {
  std::vector<std::uint16_t> moves;
  game.legal_moves(game.current_agent, moves);
  return moves;
}

// Runs a search to its end, every leaf evaluated by `value_of(leaf, values by seat)`
// with uniform logits.
void run(GuidedSearch& search, const std::function<void(const Game&, float*)>& value_of) {
  for (const std::vector<Game>* leaves = &search.select(); !leaves->empty(); leaves = &search.select()) {
    std::vector<float> logits(leaves->size() * NUM_ACTIONS, 0.0f), values(leaves->size() * AGENT_COUNT, 0.0f);
    for (std::size_t k = 0; k < leaves->size(); ++k) value_of((*leaves)[k], values.data() + k * AGENT_COUNT);
    ASSERT_FALSE(search.expand(logits, values, true).has_value());
  }
}

TEST(HalvingSchedule, SharesTheVisitsEquallyAndHalvesTheActions) {
  for (const std::uint32_t k : {1u, 2u, 3u, 4u, 16u, 50u})
    for (const std::uint32_t n : {1u, 7u, 16u, 32u, 200u}) {
      const std::vector<std::uint32_t> schedule = halving_schedule(k, n);
      ASSERT_EQ(schedule.size(), n) << k << " " << n;
      // Simulation i asks for an action with schedule[i] visits: replaying it, every
      // request is met by an action that has exactly that many, and the visits spread
      // over at most k actions, the counts never more than one apart within a phase.
      std::vector<std::uint32_t> visits(std::max(k, 1u), 0);
      for (const std::uint32_t want : schedule) {
        const auto it = std::find(visits.begin(), visits.end(), want);
        ASSERT_NE(it, visits.end()) << k << " " << n << " wants " << want;
        ++*it;
      }
      const std::uint32_t first_phase = std::min(n, k);
      EXPECT_EQ(std::count_if(visits.begin(), visits.end(), [](std::uint32_t v) { return v > 0; }), first_phase);
    }
}

TEST(GumbelSearch, SequentialHalvingFindsTheOneGoodActionWithFewSimulations) {
  // Uniform priors, every action considered, and one root action whose position is worth 1
  // to the root's agent while every other leaf is worth 0: one or two visits per action
  // find it. Without noise it is chosen; with Gumbel noise, which may outweigh a single
  // visit's evidence, the improved policy still puts the most weight on it.
  for (const std::uint64_t seed : {1u, 2u, 3u})
    for (const float scale : {0.0f, 1.0f})
      for (const std::uint32_t per_action : {1u, 2u}) {
        const Game root = position(seed, 9);
        const std::vector<std::uint16_t> moves = legal(root);
        ASSERT_GT(moves.size(), 4u);
        const std::uint16_t good = moves[moves.size() / 3];
        Game after = root;
        after.place(good);
        pass_done(after);
        const auto considered = static_cast<std::uint32_t>(moves.size());
        GuidedSearch search(std::span<const Game>(&root, 1),
                            SearchSettings{.simulations = per_action * considered, .leaves = considered,
                                           .root = RootNoise::gumbel, .considered = considered,
                                           .gumbel_scale = scale, .seed = seed});
        run(search, [&](const Game& leaf, float* values) {
          const std::size_t root_seat = (root.current_agent + AGENT_COUNT - leaf.current_agent) % AGENT_COUNT;
          values[root_seat] = leaf.to_bytes() == after.to_bytes() ? 1.0f : 0.0f;
        });
        if (scale == 0.0f) {
          EXPECT_EQ(search.best(0).placement, good) << seed;
        }
        const auto children = search.root_children(0);
        float total = 0;
        auto top = children.begin();
        for (auto c = children.begin(); c != children.end(); ++c) {
          total += c->policy;
          if (c->policy > top->policy) top = c;
        }
        EXPECT_NEAR(total, 1.0f, 1e-4f);
        EXPECT_EQ(top->placement, good) << seed << " " << scale << " " << per_action;
      }
}

TEST(GumbelSearch, EachMoverMaximisesItsOwnSeat) {
  // Two root actions matter: `mine` leads to a position worth 1 to the root's agent and 0
  // to the others, `theirs` to one worth 1 to each of the others and 0 to the root's
  // agent; every deeper leaf is worth 0.2 to everybody. The root's agent takes `mine`,
  // although `theirs` has the greater sum.
  const Game root = position(4, 13);
  const std::vector<std::uint16_t> moves = legal(root);
  ASSERT_GT(moves.size(), 8u);
  Game mine = root, theirs = root;
  mine.place(moves[2]);
  theirs.place(moves[5]);
  pass_done(mine);
  pass_done(theirs);
  const auto considered = static_cast<std::uint32_t>(moves.size());
  for (const RootNoise noise : {RootNoise::gumbel, RootNoise::none}) {
    GuidedSearch search(std::span<const Game>(&root, 1),
                        SearchSettings{.simulations = 3 * considered, .exploration = 0.5f, .leaves = 8,
                                       .root = noise, .considered = considered, .gumbel_scale = 0.0f});
    run(search, [&](const Game& leaf, float* values) {
      const bool is_mine = leaf.to_bytes() == mine.to_bytes(), is_theirs = leaf.to_bytes() == theirs.to_bytes();
      for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat) {
        const bool root_agent = (leaf.current_agent + seat) % AGENT_COUNT == root.current_agent;
        values[seat] = is_mine ? (root_agent ? 1.0f : 0.0f) : is_theirs ? (root_agent ? 0.0f : 1.0f) : 0.2f;
      }
    });
    EXPECT_EQ(search.best(0).placement, moves[2]) << static_cast<int>(noise);
  }
}

TEST(GumbelSearch, RefusalsAndTheMemoryCapLeaveTheSearchAsItWas) {
  const Game root = position(5, 6);
  GuidedSearch search(std::span<const Game>(&root, 1),
                      SearchSettings{.simulations = 64, .leaves = 64, .root = RootNoise::gumbel, .memory_mb = 1});
  const std::vector<Game> first = search.select();
  ASSERT_EQ(first.size(), 1u);
  std::vector<float> logits(NUM_ACTIONS, 0.0f), values(AGENT_COUNT, 0.5f);
  const std::uint16_t some = legal(root)[0];
  logits[root.action_set->action_index(root.current_agent, some)] = std::numeric_limits<float>::quiet_NaN();
  const auto fault = search.expand(logits, values, true);
  ASSERT_TRUE(fault.has_value());
  EXPECT_NE(fault->find("logit"), std::string::npos);
  EXPECT_EQ(search.pending(), 1u);  // still waiting for the same leaf
  EXPECT_FALSE(search.root_expanded(0));
  logits.assign(NUM_ACTIONS, 0.0f);
  values[2] = std::numeric_limits<float>::infinity();
  ASSERT_TRUE(search.expand(logits, values, true).has_value());
  values[2] = 0.5f;
  ASSERT_FALSE(search.expand(logits, values, true).has_value());
  EXPECT_TRUE(search.root_expanded(0));

  // A cap too small for the trees: settings refused up front, and a search that grows
  // past its cap stops with LimitReached before it changes.
  EXPECT_TRUE(check_settings(SearchSettings{.simulations = 100000, .memory_mb = 1}, 1000).has_value());
  EXPECT_FALSE(check_settings(SearchSettings{.simulations = 16}, 1000).has_value());
  EXPECT_TRUE(check_settings(SearchSettings{.noise = -0.5f}, 1).has_value());
  EXPECT_TRUE(check_settings(SearchSettings{.considered = 0}, 1).has_value());
  std::vector<Game> many(300, position(6, 2));
  GuidedSearch capped(many, SearchSettings{.simulations = 16, .leaves = 16, .root = RootNoise::gumbel,
                                           .memory_mb = 1});
  bool reached = false;
  for (int round = 0; round < 10 && !reached; ++round) {
    const std::vector<Game> leaves = capped.select();
    if (leaves.empty()) break;
    std::vector<float> l(leaves.size() * NUM_ACTIONS, 0.0f), v(leaves.size() * AGENT_COUNT, 0.25f);
    try {
      ASSERT_FALSE(capped.expand(l, v, true).has_value());
    } catch (const LimitReached&) {
      reached = true;
      EXPECT_EQ(capped.pending(), leaves.size());  // the same leaves still wait
    }
  }
  EXPECT_TRUE(reached);
}

}  // namespace
}  // namespace tegulo

namespace tegulo {
namespace {

TEST(GumbelSearch, PlayoutsReplaceTheEvaluatorsValuesByTheirWeight) {
  // With weight 1 the evaluator's values are not heard: searches told opposite values agree.
  // With weight 0 only they are: the root's value is the one planted.
  const Game root = position(7, 20);
  const auto searched = [&](float weight, float planted) {
    GuidedSearch search(std::span<const Game>(&root, 1),
                        SearchSettings{.simulations = 24, .leaves = 8, .root = RootNoise::gumbel,
                                       .playout_weight = weight, .seed = 3});
    run(search, [&](const Game&, float* values) { std::fill(values, values + AGENT_COUNT, planted); });
    return std::pair{search.best(0).placement, search.root_value(0)};
  };
  EXPECT_EQ(searched(1.0f, 0.0f), searched(1.0f, 1.0f));
  const Rewards planted = searched(0.0f, 0.75f).second;
  for (const float v : planted) EXPECT_FLOAT_EQ(v, 0.75f);
  const Rewards mixed = searched(1.0f, 0.75f).second;
  EXPECT_NEAR(std::accumulate(mixed.begin(), mixed.end(), 0.0f), 2.0f, 1e-4f);  // rank rewards sum to 2
}

}  // namespace
}  // namespace tegulo

namespace tegulo {
namespace {

TEST(GumbelSearch, BelowTheEvaluatedDepthPlayoutsAloneRunOnAnyThreads) {
  // The evaluator sees the roots alone at depth 0, and the roots with the root children
  // visited at depth 1; every simulation still backs a value up. The trees descending
  // on a pool find what they find on one thread.
  std::vector<Game> roots;
  for (std::uint64_t seed = 1; seed <= 5; ++seed) roots.push_back(position(seed, 4 * seed));
  const auto is_root = [&](const Game& leaf) {
    return std::any_of(roots.begin(), roots.end(), [&](const Game& r) { return r.to_bytes() == leaf.to_bytes(); });
  };
  ThreadPool pool(3);
  for (const std::uint32_t depth : {0u, 1u}) {
    const SearchSettings settings{.simulations = 40, .leaves = 8, .root = RootNoise::gumbel, .considered = 8,
                                  .evaluated_depth = depth, .seed = 9};
    const auto searched = [&](ThreadPool* threads) {
      GuidedSearch search(roots, settings);
      std::size_t evaluated = 0;
      for (const std::vector<Game>* leaves = &search.select(threads); !leaves->empty();
           leaves = &search.select(threads)) {
        for (const Game& leaf : *leaves) EXPECT_TRUE(depth == 1 || is_root(leaf));
        evaluated += leaves->size();
        std::vector<float> logits(leaves->size() * NUM_ACTIONS, 0.0f), values(leaves->size() * AGENT_COUNT, 0.5f);
        EXPECT_FALSE(search.expand(logits, values, true).has_value());
      }
      EXPECT_EQ(evaluated, roots.size() * (depth == 0 ? 1 : 1 + settings.considered));
      std::vector<std::pair<std::uint16_t, std::uint32_t>> found;
      for (std::size_t t = 0; t < roots.size(); ++t) {
        std::uint32_t visits = 0;
        for (const auto& child : search.root_children(t)) {
          visits += child.visits;
          found.emplace_back(child.placement, child.visits);
        }
        EXPECT_EQ(visits, settings.simulations);
        found.emplace_back(search.best(t).placement, 0);
      }
      return found;
    };
    EXPECT_EQ(searched(nullptr), searched(&pool)) << depth;
  }
}

}  // namespace
}  // namespace tegulo
