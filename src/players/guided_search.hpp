#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "batch/streams.hpp"
#include "game/game.hpp"
#include "game/scores.hpp"
#include "players/players.hpp"

namespace tegulo {

// Tree search guided by an evaluator outside (a network): PUCT, as in
// AlphaZero-style training, for four players, over many root positions at once.
// The evaluator sees leaves in batches: select() descends in every tree to up to
// `leaves` new leaves (a virtual visit on the way keeps the descents of one round
// apart), and expand() takes, for each leaf, a prior over the action grid in the
// frame of its agent to move and a value for each seat, seat 0 being that agent.
// A leaf where the game is over is scored by its outcome at once.
//
// Every node keeps each agent's value sums; at a node, its agent to move takes the
// child with the best mean value for itself plus exploration * prior *
// sqrt(visits) / (1 + child visits), children not yet visited counting at the
// node's own mean. Turns of agents out of moves are passed on the way.
class GuidedSearch {
 public:
  // Roots must have an agent to move with a legal placement (after passes).
  GuidedSearch(std::span<const Game> roots, std::uint32_t simulations, float exploration, std::uint32_t leaves,
               RewardMode mode);

  // The leaves to evaluate next, in tree order; empty when every tree has run its
  // simulations. A call to expand() must follow before the next select().
  const std::vector<Game>& select();
  // Expands the leaves of the last select(): `priors` holds NUM_ACTIONS entries per
  // leaf, `values` AGENT_COUNT. Priors must be finite and at least 0 (checked by
  // the caller); a leaf whose legal actions all have prior 0 spreads it evenly.
  void expand(std::span<const float> priors, std::span<const float> values);

  bool done() const;
  // The leaves of the last select() that wait for expand(): 0 when select() may be
  // called, the number of evaluations expand() takes otherwise.
  std::size_t pending() const { return pending_.size(); }
  // Whether tree t's root has had its evaluation, which best(t) needs.
  bool root_expanded(std::size_t t) const { return trees_.at(t).nodes[0].expanded; }
  std::size_t trees() const { return trees_.size(); }
  const Game& root(std::size_t t) const { return trees_.at(t).root; }
  // Tree t's choice: its most visited root placement (ties: the best mean value for
  // the root's agent to move, then the first in legal order).
  Choice best(std::size_t t) const;
  // Tree t's root visits per legal placement, in the order of its legal placements.
  std::vector<std::pair<std::uint16_t, std::uint32_t>> root_visits(std::size_t t) const;

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
  };
  struct Leaf {
    std::size_t tree;
    std::vector<std::uint32_t> path;
  };

  // Descends once per tree, up to `leaves` times, queueing the leaves found.
  void select_round();
  std::uint32_t pick(const Tree& tree, std::uint32_t n, std::size_t mover) const;
  void back_up(Tree& tree, const std::vector<std::uint32_t>& path, const Rewards& value, bool pending);

  std::vector<Tree> trees_;
  std::uint32_t simulations_;
  float exploration_;
  std::uint32_t leaves_;
  RewardMode mode_;
  std::vector<Game> positions_;  // the leaves of the last select()
  std::vector<Leaf> pending_;
  std::vector<std::uint16_t> moves_;
};

}  // namespace tegulo
