#include "players/guided_search.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "game/errors.hpp"

namespace tegulo {

GuidedSearch::GuidedSearch(std::span<const Game> roots, std::uint32_t simulations, float exploration,
                           std::uint32_t leaves, RewardMode mode)
    : simulations_(std::max<std::uint32_t>(simulations, 1)),
      exploration_(exploration),
      leaves_(std::max<std::uint32_t>(leaves, 1)),
      mode_(mode) {
  trees_.reserve(roots.size());
  for (const Game& root : roots) {
    Tree tree{root, {}, 0};
    pass_done(tree.root);
    if (tree.root.is_over()) throw InternalError("A search from a game that is over");
    tree.nodes.emplace_back();
    trees_.push_back(std::move(tree));
  }
}

bool GuidedSearch::done() const {
  for (const Tree& tree : trees_)
    if (tree.simulations < simulations_) return false;
  return true;
}

std::uint32_t GuidedSearch::pick(const Tree& tree, std::uint32_t n, std::size_t mover) const {
  const Node& node = tree.nodes[n];
  const auto visits = static_cast<double>(node.visits + node.pending);
  const double root_visits = std::sqrt(std::max(visits, 1.0));
  const double own = node.visits > 0 ? node.value[mover] / static_cast<double>(node.visits) : 0.0;
  std::uint32_t best = node.first_child;
  double best_score = -1e300;
  for (std::uint32_t c = node.first_child; c < node.first_child + node.child_count; ++c) {
    const Node& child = tree.nodes[c];
    const auto seen = static_cast<double>(child.visits + child.pending);
    // A pending descent counts as a visit of value 0: the next descent looks elsewhere.
    const double mean = seen > 0 ? child.value[mover] / seen : own;
    const double score = mean + exploration_ * child.prior * root_visits / (1.0 + seen);
    if (score > best_score) {
      best_score = score;
      best = c;
    }
  }
  return best;
}

void GuidedSearch::back_up(Tree& tree, const std::vector<std::uint32_t>& path, const Rewards& value, bool pending) {
  for (const std::uint32_t i : path) {
    Node& node = tree.nodes[i];
    if (pending) --node.pending;
    ++node.visits;
    add_rewards(node.value, value);
  }
}

const std::vector<Game>& GuidedSearch::select() {
  if (!pending_.empty()) throw InternalError("select() again before the leaves were expanded");
  positions_.clear();
  // Descents that end in finished games need no evaluation; go on until one needs
  // it or every simulation has run, so that an empty result means done.
  while (positions_.empty() && !done()) select_round();
  return positions_;
}

void GuidedSearch::select_round() {
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    Tree& tree = trees_[t];
    for (std::uint32_t k = 0; k < leaves_ && tree.simulations < simulations_; ++k) {
      Game game = tree.root;
      std::vector<std::uint32_t> path{0};
      std::uint32_t n = 0;
      while (tree.nodes[n].expanded && !game.is_over()) {
        n = pick(tree, n, game.current_agent);
        game.place(tree.nodes[n].placement);
        pass_done(game);
        path.push_back(n);
      }
      ++tree.simulations;
      if (game.is_over()) {
        back_up(tree, path, outcome_from_scores(game.scores(), mode_), false);
        continue;
      }
      // A leaf already waiting for its value: this tree has no other this round.
      if (tree.nodes[n].pending > 0) {
        --tree.simulations;
        break;
      }
      for (const std::uint32_t i : path) ++tree.nodes[i].pending;
      pending_.push_back({t, std::move(path)});
      positions_.push_back(game);
    }
  }
}

void GuidedSearch::expand(std::span<const float> priors, std::span<const float> values) {
  if (priors.size() != pending_.size() * NUM_ACTIONS || values.size() != pending_.size() * AGENT_COUNT)
    throw InternalError("Evaluations for " + std::to_string(values.size() / AGENT_COUNT) + " leaves, not " +
                        std::to_string(pending_.size()));
  for (std::size_t k = 0; k < pending_.size(); ++k) {
    Tree& tree = trees_[pending_[k].tree];
    const std::vector<std::uint32_t>& path = pending_[k].path;
    const Game& game = positions_[k];
    const std::size_t mover = game.current_agent;
    const std::uint32_t n = path.back();
    const ActionSet& set = *game.action_set;
    game.legal_moves(mover, moves_);
    if (moves_.empty()) throw InternalError("A leaf whose agent to move has no placement");
    const float* prior = priors.data() + k * NUM_ACTIONS;
    float total = 0;
    for (const std::uint16_t m : moves_) total += prior[set.action_index(mover, m)];
    const auto first = static_cast<std::uint32_t>(tree.nodes.size());
    for (const std::uint16_t m : moves_) {
      Node child;
      child.placement = m;
      child.prior = total > 0 ? prior[set.action_index(mover, m)] / total : 1.0f / static_cast<float>(moves_.size());
      tree.nodes.push_back(child);
    }
    Node& node = tree.nodes[n];
    node.first_child = first;
    node.child_count = static_cast<std::uint32_t>(moves_.size());
    node.expanded = true;
    Rewards value{};
    for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat)
      value[(mover + seat) % AGENT_COUNT] = values[k * AGENT_COUNT + seat];
    back_up(tree, path, value, true);
  }
  pending_.clear();
}

std::vector<std::pair<std::uint16_t, std::uint32_t>> GuidedSearch::root_visits(std::size_t t) const {
  const Tree& tree = trees_.at(t);
  const Node& root = tree.nodes[0];
  std::vector<std::pair<std::uint16_t, std::uint32_t>> out;
  for (std::uint32_t c = root.first_child; c < root.first_child + root.child_count; ++c)
    out.emplace_back(tree.nodes[c].placement, tree.nodes[c].visits);
  return out;
}

Choice GuidedSearch::best(std::size_t t) const {
  const Tree& tree = trees_.at(t);
  const Node& root = tree.nodes[0];
  if (root.child_count == 0) throw InternalError("A search whose root was never expanded");
  const std::size_t mover = tree.root.current_agent;
  std::uint32_t best = root.first_child;
  for (std::uint32_t c = root.first_child + 1; c < root.first_child + root.child_count; ++c) {
    const Node& a = tree.nodes[c];
    const Node& b = tree.nodes[best];
    const double mean_a = a.visits ? a.value[mover] / static_cast<double>(a.visits) : -1e300;
    const double mean_b = b.visits ? b.value[mover] / static_cast<double>(b.visits) : -1e300;
    if (a.visits > b.visits || (a.visits == b.visits && (mean_a > mean_b || (mean_a == mean_b && a.prior > b.prior))))
      best = c;
  }
  return {tree.nodes[best].placement, root.child_count};
}

}  // namespace tegulo
