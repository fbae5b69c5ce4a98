#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch/streams.hpp"
#include "game/game.hpp"
#include "game/scores.hpp"
#include "players/players.hpp"

namespace tegulo {

class ThreadPool;

// How the root of a guided search explores.
// - none: PUCT at the root as everywhere else; the search is deterministic.
// - dirichlet: PUCT, the root's priors mixed with Dirichlet noise, as AlphaZero's self-play.
// - gumbel: Gumbel top-k sampling of root actions and sequential halving over them
//   (Danihelka et al., 2022): few simulations still improve the policy.
enum class RootNoise { none, dirichlet, gumbel };

inline constexpr std::uint32_t UNLIMITED_DEPTH = 0xFFFFFFFFu;

struct SearchSettings {
  // Evaluations per tree. With a Gumbel root they are the visits below the root, the
  // root's own evaluation coming first; otherwise the root's evaluation is one of them.
  std::uint32_t simulations = 800;
  float exploration = 1.5f;  // PUCT's constant below the root (and at it, without Gumbel)
  std::uint32_t leaves = 8;  // new leaves a tree may add per round
  RewardMode mode = RewardMode::rank;
  RootNoise root = RootNoise::none;
  std::uint32_t considered = 16;  // Gumbel: root actions sampled; cut to the number of legal ones
  float gumbel_scale = 1.0f;      // Gumbel: 0 takes the top-k of the prior, deterministically
  float noise = 0.25f;            // Dirichlet: the weight of the noise in the root's priors
  float alpha = 0.3f;             // Dirichlet: its concentration
  // The weight of a greedy playout's outcome in each leaf's value, beside the evaluator's:
  // 0 takes the evaluator's value alone. A playout costs tens of microseconds, an evaluation
  // by a network about a millisecond, so mixing them in is almost free.
  float playout_weight = 0.0f;
  // The deepest level of the tree that the evaluator expands, the root being level 0.
  // Below it a leaf is valued by a greedy playout alone, one playout a visit, and never
  // grows children: a search of cheap playouts under the evaluator's top levels.
  std::uint32_t evaluated_depth = UNLIMITED_DEPTH;
  std::uint64_t seed = 0;         // tree t draws its noise and playouts from Stream::of(seed, t)
  std::uint32_t memory_mb = 1024;  // the trees' nodes together, in MiB
};

// What search settings fail to make sense for, or nothing: zero simulations or leaves,
// a non-finite or negative exploration, noise, alpha or scale, noise above 1, k below 1,
// or a memory cap that cannot hold one node per simulation of every tree.
std::optional<std::string> check_settings(const SearchSettings& settings, std::size_t trees);

// Tree search guided by an evaluator outside (a network), for four players, over many
// root positions at once. The evaluator sees leaves in batches: select() descends in
// every tree to up to `leaves` new leaves (a pending visit on the way keeps the
// descents of one round apart), and expand() takes, for each leaf, its priors (or
// logits) over the action grid in the frame of its agent to move and a value for each
// seat, seat 0 being that agent. A leaf where the game is over is scored at once.
//
// Every node keeps each agent's value sums: values are vectors by seat, and each
// node's agent to move takes the child with the best value for itself. Below the
// root that is PUCT: mean + exploration * prior * sqrt(visits) / (1 + child visits),
// children not yet visited counting at the node's own mean. Turns of agents out of
// moves are passed on the way.
class GuidedSearch {
 public:
  // Roots must have an agent to move with a legal placement (after passes); the
  // settings must pass check_settings.
  GuidedSearch(std::span<const Game> roots, const SearchSettings& settings);
  GuidedSearch(std::span<const Game> roots, std::uint32_t simulations, float exploration, std::uint32_t leaves,
               RewardMode mode);

  // The leaves to evaluate next, in tree order; empty when every tree has run its
  // simulations. A call to expand() must follow before the next select(). The trees
  // descend on `pool`'s threads when given one; the result does not depend on it.
  const std::vector<Game>& select(ThreadPool* pool = nullptr);
  // Expands the leaves of the last select(): `evaluations` holds NUM_ACTIONS entries
  // per leaf, priors (finite, at least 0; a leaf whose legal actions all have prior 0
  // spreads it evenly) or, with `logits`, logits (finite or -inf) whose softmax over
  // the legal actions are the priors; `values` holds AGENT_COUNT finite numbers per
  // leaf. Only the entries of legal actions are read. All or nothing: a fault in the
  // numbers read is returned as a message, and LimitReached is thrown when the trees
  // would outgrow the memory cap; either way the search is as it was.
  std::optional<std::string> expand(std::span<const float> evaluations, std::span<const float> values,
                                    bool logits = false);

  bool done() const;
  // The leaves of the last select() that wait for expand(): 0 when select() may be
  // called, the number of evaluations expand() takes otherwise.
  std::size_t pending() const { return pending_.size(); }
  // Whether tree t's root has had its evaluation, which the results below need.
  bool root_expanded(std::size_t t) const { return trees_.at(t).nodes[0].expanded; }
  std::size_t trees() const { return trees_.size(); }
  const Game& root(std::size_t t) const { return trees_.at(t).root; }
  // Tree t's choice. PUCT: its most visited root placement (ties: the best mean value
  // for the root's agent to move, then the higher prior). Gumbel: of the most visited
  // sampled actions, the best by Gumbel noise + log prior + transformed completed Q.
  Choice best(std::size_t t) const;

  // One root child as the results report it.
  struct RootChild {
    std::uint16_t placement;
    std::uint32_t visits;
    float policy;  // the improved policy: Gumbel's softmax(log prior + sigma(completed Q)), else visit shares
  };
  // Tree t's root children, in the order of its legal placements.
  std::vector<RootChild> root_children(std::size_t t) const;
  // Tree t's root value by seat, seat 0 its agent to move: the mean of every value backed up through it.
  Rewards root_value(std::size_t t) const;

 private:
  struct Node {
    std::uint32_t first_child = 0;
    std::uint32_t child_count = 0;
    std::uint32_t visits = 0;
    std::uint32_t pending = 0;  // descents waiting for their leaf's evaluation
    float prior = 0;
    std::uint16_t placement = 0;
    bool expanded = false;
    RewardSums value{};
  };
  struct Tree {
    Game root;
    std::vector<Node> nodes;
    std::uint32_t simulations = 0;  // backed up or waiting
    Stream stream;
    // Gumbel: the noise of each root child, the visit counts sequential halving asks
    // for in turn, and the root's own evaluation (for the mixed value of unvisited children).
    std::vector<float> gumbel;
    std::vector<std::uint32_t> schedule;
    Rewards raw{};
  };
  struct Leaf {
    std::size_t tree;
    std::vector<std::uint32_t> path;
  };

  // The leaves one tree found in a round, with their paths.
  struct Round {
    std::vector<std::vector<std::uint32_t>> leaves;
    std::vector<Game> positions;
  };
  // Descends in every tree, up to `leaves` times each, queueing the leaves found.
  void select_round(ThreadPool* pool);
  void descend_tree(std::size_t t, Round& found);
  std::uint32_t pick(const Tree& tree, std::uint32_t n, std::size_t mover) const;
  std::uint32_t pick_root(const Tree& tree) const;
  // Gumbel: sigma(completed Q) of each root child, counting only finished visits.
  std::vector<double> transformed_q(const Tree& tree) const;
  void back_up(Tree& tree, const std::vector<std::uint32_t>& path, const Rewards& value, bool pending);
  void add_root_noise(Tree& tree);
  std::uint32_t budget() const;

  std::vector<Tree> trees_;
  SearchSettings settings_;
  std::size_t max_nodes_;
  std::size_t nodes_ = 0;          // in all trees
  std::vector<Game> positions_;    // the leaves of the last select()
  std::vector<Leaf> pending_;
  std::vector<Round> round_;                    // each tree's leaves of the current round
  std::vector<std::uint16_t> moves_;            // expand's legal placements, leaf after leaf
  std::vector<std::size_t> move_offsets_;       // leaf k's are moves_[move_offsets_[k]..move_offsets_[k + 1])
  std::vector<float> leaf_priors_;              // the priors of those placements
};

// The visit counts sequential halving over `considered` actions asks for, simulation by
// simulation: phases of log2(considered) rounds, each giving every remaining action an
// equal share of its visits, the better half going on.
std::vector<std::uint32_t> halving_schedule(std::uint32_t considered, std::uint32_t simulations);

}  // namespace tegulo
