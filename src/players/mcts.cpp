#include "players/mcts.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "batch/thread_pool.hpp"
#include "game/errors.hpp"

namespace tegulo {

namespace {

struct Node {
  std::uint32_t first_child = 0;
  std::uint32_t child_count = 0;
  std::uint32_t visits = 0;
  std::uint16_t placement = 0;  // the placement that leads here from the parent
  bool expanded = false;
  RewardSums reward{};  // sums over the visits, by absolute agent
};

class Tree {
 public:
  // The root's agent to move must have a legal placement.
  // The tree grows as the simulations need nodes, up to `max_nodes`.
  Tree(const Game& root, const Player& player, Stream stream, std::size_t max_nodes)
      : root_(root), player_(player), stream_(stream), max_nodes_(std::max<std::size_t>(max_nodes, 1)) {
    nodes_.reserve(std::min<std::size_t>(max_nodes_, 1024));
    nodes_.emplace_back();
  }

  void simulate() {
    Game game = root_;
    path_.clear();
    std::uint32_t n = 0;
    path_.push_back(n);
    while (!game.is_over()) {
      if (!nodes_[n].expanded) {
        if (n != 0 && nodes_[n].visits == 0) break;  // a new leaf: played out from here
        expand(n, game);
      }
      n = select(n, game.current_agent);
      game.place(nodes_[n].placement);
      pass_done(game);
      path_.push_back(n);
      if (nodes_[n].visits == 0) break;
    }
    while (!game.is_over()) {
      game.place(playout_move(game));
      pass_done(game);
    }
    const Rewards rewards = outcome_from_scores(game.scores(), player_.reward);
    for (const std::uint32_t i : path_) {
      Node& node = nodes_[i];
      ++node.visits;
      add_rewards(node.reward, rewards);
    }
  }

  struct RootChild {
    std::uint16_t placement;
    std::uint32_t visits;
    double reward;  // the sum for the root's agent to move
  };
  std::vector<RootChild> root_children() const {
    const Node& root = nodes_[0];
    std::vector<RootChild> out;
    for (std::uint32_t c = root.first_child; c < root.first_child + root.child_count; ++c)
      out.push_back({nodes_[c].placement, nodes_[c].visits, nodes_[c].reward[root_.current_agent]});
    return out;
  }
  // The root's legal placements, its children or more: known once it is expanded.
  std::uint32_t legal_count() const { return legal_count_; }

 private:
  // Gives node n a child for each of the best legal placements of the agent to move
  // by the heuristic's score (all of them for a width of 0), best first, equals in
  // an order drawn from the stream: unvisited children are tried in that order.
  void expand(std::uint32_t n, const Game& game) {
    game.legal_moves(game.current_agent, moves_);
    if (moves_.empty()) throw InternalError("A search node whose agent to move has no placement");
    if (n == 0) legal_count_ = static_cast<std::uint32_t>(moves_.size());
    for (std::size_t i = moves_.size(); i > 1; --i) std::swap(moves_[i - 1], moves_[stream_.below(i)]);
    if (player_.width > 0 && moves_.size() > player_.width) {
      scores_.resize(moves_.size());
      score_placements(game, player_.weights, moves_, scores_.data());
      order_.resize(moves_.size());
      for (std::uint32_t i = 0; i < order_.size(); ++i) order_[i] = i;
      // Equal scores keep the drawn order: the first `width` of a stable sort.
      std::partial_sort(order_.begin(), order_.begin() + player_.width, order_.end(),
                        [&](std::uint32_t a, std::uint32_t b) {
                          return scores_[a] > scores_[b] || (scores_[a] == scores_[b] && a < b);
                        });
      for (std::uint32_t i = 0; i < player_.width; ++i) order_[i] = moves_[order_[i]];
      moves_.assign(order_.begin(), order_.begin() + player_.width);
    }
    make_room(moves_.size());
    const auto first = static_cast<std::uint32_t>(nodes_.size());
    for (const std::uint16_t m : moves_) {
      Node child;
      child.placement = m;
      nodes_.push_back(child);
    }
    Node& node = nodes_[n];
    node.first_child = first;
    node.child_count = static_cast<std::uint32_t>(moves_.size());
    node.expanded = true;
  }

  // Room for `more` nodes, the capacity doubling as it would but never past the
  // cap: LimitReached when the tree would outgrow it.
  void make_room(std::size_t more) {
    const std::size_t needed = nodes_.size() + more;
    if (needed > max_nodes_)
      throw LimitReached("the search tree reached its memory cap of " + std::to_string(player_.memory_mb) +
                         " MiB (Player.memory_mb) after " + std::to_string(nodes_[0].visits) +
                         " simulations; ask for fewer simulations or a larger cap");
    if (needed > nodes_.capacity()) nodes_.reserve(std::min(max_nodes_, std::max(needed, 2 * nodes_.capacity())));
  }

  // The child of node n that agent `mover` takes: the first unvisited one, else
  // the best mean reward for the mover plus the exploration bonus.
  std::uint32_t select(std::uint32_t n, std::size_t mover) const {
    const Node& node = nodes_[n];
    const double log_visits = std::log(static_cast<double>(std::max<std::uint32_t>(node.visits, 1)));
    std::uint32_t best = node.first_child;
    double best_score = -1e300;
    for (std::uint32_t c = node.first_child; c < node.first_child + node.child_count; ++c) {
      const Node& child = nodes_[c];
      if (child.visits == 0) return c;
      const auto visits = static_cast<double>(child.visits);
      const double score = child.reward[mover] / visits + player_.exploration * std::sqrt(log_visits / visits);
      if (score > best_score) {
        best_score = score;
        best = c;
      }
    }
    return best;
  }

  std::uint16_t playout_move(const Game& game) {
    switch (player_.playout) {
      case PlayerKind::random:
        return choose_random(game, stream_).placement;
      case PlayerKind::heuristic:
        return choose_heuristic(game, player_.weights, stream_).placement;
      default:
        return choose_greedy(game, stream_, false).placement;
    }
  }

  Game root_;
  const Player& player_;
  Stream stream_;
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> path_;
  std::vector<std::uint16_t> moves_;
  std::vector<float> scores_;
  std::vector<std::uint32_t> order_;
  std::uint32_t legal_count_ = 0;
  std::size_t max_nodes_;
};

}  // namespace

Choice search(const Game& root, const Player& player, Stream& stream, ThreadPool* pool) {
  if (root.is_over() || root.agents[root.current_agent].done)
    throw InternalError("A search from a position whose agent to move has no placement");
  const std::size_t trees = std::max<std::uint32_t>(player.trees, 1);
  const std::uint64_t base = stream.next();
  std::vector<std::vector<Tree::RootChild>> roots(trees);
  // The cap is shared out among the trees, which grow side by side.
  const std::size_t max_nodes = (std::size_t{player.memory_mb} << 20) / trees / sizeof(Node);
  std::uint32_t legal = 0;
  auto grow = [&](std::size_t t) {
    const std::uint32_t share =
        player.simulations / static_cast<std::uint32_t>(trees) + (t < player.simulations % trees ? 1 : 0);
    Tree tree(root, player, Stream::of(base, t), max_nodes);
    for (std::uint32_t s = 0; s < std::max<std::uint32_t>(share, 1); ++s) tree.simulate();
    roots[t] = tree.root_children();
    if (t == 0) legal = tree.legal_count();
  };
  if (pool != nullptr && trees > 1)
    pool->run(trees, grow);
  else
    for (std::size_t t = 0; t < trees; ++t) grow(t);
  // The most visited placement over all trees; among equals the best mean reward,
  // then the lowest placement.
  std::vector<Tree::RootChild> children;
  for (const auto& r : roots) children.insert(children.end(), r.begin(), r.end());
  std::stable_sort(children.begin(), children.end(),
                   [](const Tree::RootChild& a, const Tree::RootChild& b) { return a.placement < b.placement; });
  std::uint16_t best = 0;
  std::uint64_t best_visits = 0;
  double best_mean = -1e300;
  for (std::size_t k = 0; k < children.size();) {
    const std::uint16_t m = children[k].placement;
    std::uint64_t v = 0;
    double r = 0;
    for (; k < children.size() && children[k].placement == m; ++k) v += children[k].visits, r += children[k].reward;
    if (v == 0) continue;
    const double mean = r / static_cast<double>(v);
    if (v > best_visits || (v == best_visits && mean > best_mean)) {
      best = m;
      best_visits = v;
      best_mean = mean;
    }
  }
  if (best_visits == 0) throw InternalError("A search that visited no placement");
  return {best, legal};
}

}  // namespace tegulo
