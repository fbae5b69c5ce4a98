#include "players/guided_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "batch/thread_pool.hpp"
#include "game/errors.hpp"

namespace tegulo {

namespace {

// Gumbel's transform of completed Q values: (C_VISIT + max visits) * C_SCALE * q,
// with q scaled to [0, 1] over the root's children first, as the paper's defaults.
constexpr double C_VISIT = 50.0;
constexpr double C_SCALE = 0.1;
constexpr double RESCALE_EPSILON = 1e-8;
constexpr float NO_PRIOR = 1e-30f;  // the smallest prior a log is taken of

// The outcome of greedy play to the end from `game`.
Rewards playout(Game game, Stream& stream, RewardMode mode) {
  while (!game.is_over()) {
    game.place(choose_greedy(game, stream, false).placement);
    pass_done(game);
  }
  return outcome_from_scores(game.scores(), mode);
}

}  // namespace

std::optional<std::string> check_settings(const SearchSettings& s, std::size_t trees) {
  const auto bad_number = [](float x) { return !std::isfinite(x) || x < 0; };
  if (s.simulations < 1) return "simulations must be at least 1, got 0";
  if (s.leaves < 1) return "leaves must be at least 1, got 0";
  if (bad_number(s.exploration))
    return "exploration must be a finite number of at least 0, got " + std::to_string(s.exploration);
  if (bad_number(s.gumbel_scale))
    return "gumbel_scale must be a finite number of at least 0, got " + std::to_string(s.gumbel_scale);
  if (bad_number(s.noise) || s.noise > 1) return "noise must be from 0 to 1, got " + std::to_string(s.noise);
  if (bad_number(s.alpha) || s.alpha == 0)
    return "alpha must be a finite number above 0, got " + std::to_string(s.alpha);
  if (s.considered < 1) return "considered must be at least 1, got 0";
  if (bad_number(s.playout_weight) || s.playout_weight > 1)
    return "playout_weight must be from 0 to 1, got " + std::to_string(s.playout_weight);
  if (s.memory_mb < 1) return "memory_mb must be at least 1, got 0";
  // Every simulation adds at least one node to its tree, besides the roots.
  const double least = static_cast<double>(trees) * (static_cast<double>(s.simulations) + 2.0) *
                       static_cast<double>(sizeof(RewardSums) + 24);
  if (least > static_cast<double>(s.memory_mb) * 1048576.0)
    return "simulations: " + std::to_string(s.simulations) + " simulations of " + std::to_string(trees) +
           " trees need more than memory_mb = " + std::to_string(s.memory_mb) + " MiB";
  return std::nullopt;
}

std::vector<std::uint32_t> halving_schedule(std::uint32_t considered, std::uint32_t simulations) {
  std::vector<std::uint32_t> schedule;
  schedule.reserve(simulations);
  if (considered <= 1) {
    for (std::uint32_t i = 0; i < simulations; ++i) schedule.push_back(i);
    return schedule;
  }
  const auto rounds = static_cast<std::uint32_t>(std::ceil(std::log2(static_cast<double>(considered))));
  std::vector<std::uint32_t> visits(considered, 0);
  std::uint32_t remaining = considered;
  while (schedule.size() < simulations) {
    const std::uint32_t extra = std::max<std::uint32_t>(1, simulations / (rounds * remaining));
    for (std::uint32_t e = 0; e < extra && schedule.size() < simulations; ++e)
      for (std::uint32_t i = 0; i < remaining; ++i) {
        schedule.push_back(visits[i]);
        ++visits[i];
      }
    remaining = std::max<std::uint32_t>(2, remaining / 2);
  }
  schedule.resize(simulations);
  return schedule;
}

GuidedSearch::GuidedSearch(std::span<const Game> roots, std::uint32_t simulations, float exploration,
                           std::uint32_t leaves, RewardMode mode)
    : GuidedSearch(roots, SearchSettings{.simulations = std::max<std::uint32_t>(simulations, 1),
                                         .exploration = exploration,
                                         .leaves = std::max<std::uint32_t>(leaves, 1),
                                         .mode = mode}) {}

GuidedSearch::GuidedSearch(std::span<const Game> roots, const SearchSettings& settings)
    : settings_(settings), max_nodes_((std::size_t{settings.memory_mb} << 20) / sizeof(Node)) {
  if (auto fault = check_settings(settings, roots.size())) throw InternalError("A search set badly: " + *fault);
  trees_.reserve(roots.size());
  for (std::size_t t = 0; t < roots.size(); ++t) {
    Tree tree{roots[t], {}, 0, Stream::of(settings.seed, t), {}, {}, {}};
    pass_done(tree.root);
    if (tree.root.is_over()) throw InternalError("A search from a game that is over");
    tree.nodes.emplace_back();
    trees_.push_back(std::move(tree));
  }
  nodes_ = trees_.size();
}

std::uint32_t GuidedSearch::budget() const {
  return settings_.root == RootNoise::gumbel ? settings_.simulations + 1 : settings_.simulations;
}

bool GuidedSearch::done() const {
  for (const Tree& tree : trees_)
    if (tree.simulations < budget()) return false;
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
    const double score = mean + settings_.exploration * child.prior * root_visits / (1.0 + seen);
    if (score > best_score) {
      best_score = score;
      best = c;
    }
  }
  return best;
}

std::vector<double> GuidedSearch::transformed_q(const Tree& tree) const {
  const Node& root = tree.nodes[0];
  const std::size_t mover = tree.root.current_agent;
  // The mixed value that unvisited children count at: the root's own evaluation and
  // the prior-weighted mean of the visited children's values, by visits.
  double visited_prior = 0, weighted_q = 0, child_visits = 0, most = 0;
  for (std::uint32_t c = root.first_child; c < root.first_child + root.child_count; ++c) {
    const Node& child = tree.nodes[c];
    if (child.visits == 0) continue;
    visited_prior += child.prior;
    weighted_q += child.prior * child.value[mover] / child.visits;
    child_visits += child.visits;
    most = std::max(most, static_cast<double>(child.visits));
  }
  double mixed = tree.raw[mover];
  if (child_visits > 0 && visited_prior > 0)
    mixed = (mixed + child_visits * weighted_q / visited_prior) / (1.0 + child_visits);
  std::vector<double> q(root.child_count);
  double low = 1e300, high = -1e300;
  for (std::uint32_t i = 0; i < root.child_count; ++i) {
    const Node& child = tree.nodes[root.first_child + i];
    q[i] = child.visits > 0 ? child.value[mover] / child.visits : mixed;
    low = std::min(low, q[i]);
    high = std::max(high, q[i]);
  }
  const double scale = (C_VISIT + most) * C_SCALE / std::max(high - low, RESCALE_EPSILON);
  for (double& x : q) x = (x - low) * scale;
  return q;
}

std::uint32_t GuidedSearch::pick_root(const Tree& tree) const {
  const Node& root = tree.nodes[0];
  // Simulation i below the root goes to the best sampled action among those with
  // exactly the visits the schedule asks for; descents still waiting count as visits.
  const std::size_t i = root.visits + root.pending - 1;
  const std::vector<double> q = transformed_q(tree);
  std::uint32_t target = 0;
  if (i < tree.schedule.size()) {
    target = tree.schedule[i];
  } else {
    for (std::uint32_t c = 0; c < root.child_count; ++c)
      target = std::max(target, tree.nodes[root.first_child + c].visits + tree.nodes[root.first_child + c].pending);
  }
  std::uint32_t best = root.first_child;
  double best_score = -std::numeric_limits<double>::infinity();
  bool found = false;
  for (std::uint32_t c = 0; c < root.child_count; ++c) {
    const Node& child = tree.nodes[root.first_child + c];
    if (child.visits + child.pending != target) continue;
    const double score = tree.gumbel[c] + std::log(std::max(child.prior, NO_PRIOR)) + q[c];
    if (!found || score > best_score) {
      best_score = score;
      best = root.first_child + c;
      found = true;
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

const std::vector<Game>& GuidedSearch::select(ThreadPool* pool) {
  if (!pending_.empty()) throw InternalError("select() again before the leaves were expanded");
  positions_.clear();
  // Descents that end in finished games need no evaluation; go on until one needs
  // it or every simulation has run, so that an empty result means done.
  while (positions_.empty() && !done()) select_round(pool);
  return positions_;
}

void GuidedSearch::select_round(ThreadPool* pool) {
  // Each tree descends on its own (its nodes, its stream), so the trees may run on
  // any threads; their leaves are queued in tree order afterwards.
  round_.resize(trees_.size());
  auto descend = [this](std::size_t t) { descend_tree(t, round_[t]); };
  if (pool != nullptr && pool->size() > 1 && trees_.size() > 1) {
    pool->run(trees_.size(), descend);
  } else {
    for (std::size_t t = 0; t < trees_.size(); ++t) descend(t);
  }
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    Round& found = round_[t];
    for (std::size_t k = 0; k < found.leaves.size(); ++k) {
      pending_.push_back({t, std::move(found.leaves[k])});
      positions_.push_back(std::move(found.positions[k]));
    }
    found.leaves.clear();
    found.positions.clear();
  }
}

void GuidedSearch::descend_tree(std::size_t t, Round& found) {
  const bool gumbel = settings_.root == RootNoise::gumbel;
  Tree& tree = trees_[t];
  for (std::uint32_t k = 0; k < settings_.leaves && tree.simulations < budget(); ++k) {
    Game game = tree.root;
    std::vector<std::uint32_t> path{0};
    std::uint32_t n = 0;
    while (tree.nodes[n].expanded && !game.is_over()) {
      n = gumbel && n == 0 ? pick_root(tree) : pick(tree, n, game.current_agent);
      game.place(tree.nodes[n].placement);
      pass_done(game);
      path.push_back(n);
    }
    if (!game.is_over() && path.size() - 1 > settings_.evaluated_depth) {
      ++tree.simulations;
      back_up(tree, path, playout(game, tree.stream, settings_.mode), false);
      continue;
    }
    // A leaf already waiting for its value: this tree has no other this round.
    if (!game.is_over() && tree.nodes[n].pending > 0) break;
    ++tree.simulations;
    if (game.is_over()) {
      back_up(tree, path, outcome_from_scores(game.scores(), settings_.mode), false);
      continue;
    }
    for (const std::uint32_t i : path) ++tree.nodes[i].pending;
    found.leaves.push_back(std::move(path));
    found.positions.push_back(game);
  }
}

std::optional<std::string> GuidedSearch::expand(std::span<const float> evaluations, std::span<const float> values,
                                                bool logits) {
  if (evaluations.size() != pending_.size() * NUM_ACTIONS || values.size() != pending_.size() * AGENT_COUNT)
    throw InternalError("Evaluations for " + std::to_string(values.size() / AGENT_COUNT) + " leaves, not " +
                        std::to_string(pending_.size()));
  // First every check and every allocation, then the changes, which cannot fail: a
  // refusal or a memory error leaves the trees as they were.
  moves_.clear();
  move_offsets_.assign(1, 0);
  leaf_priors_.clear();
  std::vector<std::uint16_t> leaf_moves;
  std::vector<std::size_t> growth(trees_.size(), 0);
  for (std::size_t k = 0; k < pending_.size(); ++k) {
    const Game& game = positions_[k];
    const std::size_t mover = game.current_agent;
    const ActionSet& set = *game.action_set;
    for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat)
      if (!std::isfinite(values[k * AGENT_COUNT + seat]))
        return "the value for leaf " + std::to_string(k) + ", seat " + std::to_string(seat) + " is " +
               std::to_string(values[k * AGENT_COUNT + seat]);
    game.legal_moves(mover, leaf_moves);
    if (leaf_moves.empty()) throw InternalError("A leaf whose agent to move has no placement");
    const float* row = evaluations.data() + k * NUM_ACTIONS;
    const std::size_t first = leaf_priors_.size();
    float top = -std::numeric_limits<float>::infinity();
    for (const std::uint16_t m : leaf_moves) {
      const std::size_t action = set.action_index(mover, m);
      const float x = row[action];
      constexpr float INF = std::numeric_limits<float>::infinity();
      const bool bad = logits ? (std::isnan(x) || x == INF) : !(x >= 0 && std::isfinite(x));
      if (bad)
        return std::string(logits ? "the logit" : "the prior") + " for leaf " + std::to_string(k) + ", action " +
               std::to_string(action) + " is " + std::to_string(x);
      top = std::max(top, x);
      leaf_priors_.push_back(x);
    }
    float total = 0;
    for (std::size_t i = first; i < leaf_priors_.size(); ++i) {
      if (logits) leaf_priors_[i] = std::isinf(top) ? 0 : std::exp(leaf_priors_[i] - top);
      total += leaf_priors_[i];
    }
    const auto count = static_cast<float>(leaf_moves.size());
    for (std::size_t i = first; i < leaf_priors_.size(); ++i)
      leaf_priors_[i] = total > 0 ? leaf_priors_[i] / total : 1.0f / count;
    moves_.insert(moves_.end(), leaf_moves.begin(), leaf_moves.end());
    move_offsets_.push_back(moves_.size());
    growth[pending_[k].tree] += leaf_moves.size();
  }
  if (nodes_ + moves_.size() > max_nodes_)
    throw LimitReached("the search trees reached their memory cap of " + std::to_string(settings_.memory_mb) +
                       " MiB (memory_mb) after " + std::to_string(nodes_) +
                       " nodes; ask for fewer simulations or trees, or a larger cap");
  for (std::size_t t = 0; t < trees_.size(); ++t)
    if (growth[t] > 0) {
      std::vector<Node>& nodes = trees_[t].nodes;
      const std::size_t needed = nodes.size() + growth[t];
      if (needed > nodes.capacity()) nodes.reserve(std::max(needed, 2 * nodes.capacity()));
    }
  for (std::size_t k = 0; k < pending_.size(); ++k) {
    if (pending_[k].path.size() == 1 && settings_.root == RootNoise::gumbel) {
      // The root, reached by the tree's first simulation: its noise and schedule.
      Tree& tree = trees_[pending_[k].tree];
      const std::size_t count = move_offsets_[k + 1] - move_offsets_[k];
      tree.gumbel.resize(count);
      for (float& g : tree.gumbel) {
        // A uniform draw in (0, 1) from 53 bits, then Gumbel's -log(-log(u)).
        const double u = (static_cast<double>(tree.stream.next() >> 11) + 0.5) / 9007199254740992.0;
        g = settings_.gumbel_scale * static_cast<float>(-std::log(-std::log(u)));
      }
      const auto considered = static_cast<std::uint32_t>(std::min<std::size_t>(settings_.considered, count));
      tree.schedule = halving_schedule(considered, settings_.simulations);
    }
  }
  for (std::size_t k = 0; k < pending_.size(); ++k) {
    Tree& tree = trees_[pending_[k].tree];
    const std::vector<std::uint32_t>& path = pending_[k].path;
    const std::size_t mover = positions_[k].current_agent;
    const std::uint32_t n = path.back();
    const auto first = static_cast<std::uint32_t>(tree.nodes.size());
    for (std::size_t i = move_offsets_[k]; i < move_offsets_[k + 1]; ++i) {
      Node child;
      child.placement = moves_[i];
      child.prior = leaf_priors_[i];
      tree.nodes.push_back(child);
    }
    Node& node = tree.nodes[n];
    node.first_child = first;
    node.child_count = static_cast<std::uint32_t>(move_offsets_[k + 1] - move_offsets_[k]);
    node.expanded = true;
    Rewards value{};
    for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat)
      value[(mover + seat) % AGENT_COUNT] = values[k * AGENT_COUNT + seat];
    if (settings_.playout_weight > 0) {
      const Rewards outcome = playout(positions_[k], tree.stream, settings_.mode);
      const float w = settings_.playout_weight;
      for (std::size_t a = 0; a < AGENT_COUNT; ++a) value[a] = (1 - w) * value[a] + w * outcome[a];
    }
    if (n == 0) {
      tree.raw = value;
      if (settings_.root == RootNoise::dirichlet) add_root_noise(tree);
    }
    back_up(tree, path, value, true);
  }
  nodes_ += moves_.size();
  pending_.clear();
  return std::nullopt;
}

void GuidedSearch::add_root_noise(Tree& tree) {
  Node& root = tree.nodes[0];
  std::mt19937_64 engine(tree.stream.next());
  std::gamma_distribution<double> gamma(settings_.alpha, 1.0);
  double total = 0;
  std::vector<double> draws(root.child_count);
  for (double& d : draws) total += d = gamma(engine);
  if (!(total > 0)) return;
  for (std::uint32_t c = 0; c < root.child_count; ++c) {
    Node& child = tree.nodes[root.first_child + c];
    child.prior = static_cast<float>((1.0 - settings_.noise) * child.prior + settings_.noise * draws[c] / total);
  }
}

std::vector<GuidedSearch::RootChild> GuidedSearch::root_children(std::size_t t) const {
  const Tree& tree = trees_.at(t);
  const Node& root = tree.nodes[0];
  std::vector<RootChild> out;
  out.reserve(root.child_count);
  if (settings_.root == RootNoise::gumbel) {
    const std::vector<double> q = transformed_q(tree);
    double top = -1e300;
    std::vector<double> logit(root.child_count);
    for (std::uint32_t c = 0; c < root.child_count; ++c) {
      logit[c] = std::log(std::max(tree.nodes[root.first_child + c].prior, NO_PRIOR)) + q[c];
      top = std::max(top, logit[c]);
    }
    double total = 0;
    for (double& x : logit) total += x = std::exp(x - top);
    for (std::uint32_t c = 0; c < root.child_count; ++c) {
      const Node& child = tree.nodes[root.first_child + c];
      out.push_back({child.placement, child.visits, static_cast<float>(logit[c] / total)});
    }
    return out;
  }
  double visits = 0;
  for (std::uint32_t c = 0; c < root.child_count; ++c) visits += tree.nodes[root.first_child + c].visits;
  for (std::uint32_t c = 0; c < root.child_count; ++c) {
    const Node& child = tree.nodes[root.first_child + c];
    const double share = visits > 0 ? child.visits / visits : 1.0 / root.child_count;
    out.push_back({child.placement, child.visits, static_cast<float>(share)});
  }
  return out;
}

Rewards GuidedSearch::root_value(std::size_t t) const {
  const Tree& tree = trees_.at(t);
  const Node& root = tree.nodes[0];
  const std::size_t mover = tree.root.current_agent;
  Rewards out{};
  for (std::size_t seat = 0; seat < AGENT_COUNT; ++seat)
    out[seat] = root.visits ? static_cast<float>(root.value[(mover + seat) % AGENT_COUNT] / root.visits) : 0.0f;
  return out;
}

Choice GuidedSearch::best(std::size_t t) const {
  const Tree& tree = trees_.at(t);
  const Node& root = tree.nodes[0];
  if (root.child_count == 0) throw InternalError("A search whose root was never expanded");
  const std::size_t mover = tree.root.current_agent;
  std::uint32_t best = root.first_child;
  if (settings_.root == RootNoise::gumbel) {
    std::uint32_t most = 0;
    for (std::uint32_t c = 0; c < root.child_count; ++c) most = std::max(most, tree.nodes[root.first_child + c].visits);
    const std::vector<double> q = transformed_q(tree);
    double best_score = -std::numeric_limits<double>::infinity();
    bool found = false;
    for (std::uint32_t c = 0; c < root.child_count; ++c) {
      const Node& child = tree.nodes[root.first_child + c];
      if (child.visits != most) continue;
      // Without a single visit below the root, the sampled action with the best noisy prior.
      const double score = tree.gumbel.empty() ? std::log(std::max(child.prior, NO_PRIOR))
                                               : tree.gumbel[c] + std::log(std::max(child.prior, NO_PRIOR)) + q[c];
      if (!found || score > best_score) {
        best_score = score;
        best = root.first_child + c;
        found = true;
      }
    }
    return {tree.nodes[best].placement, root.child_count};
  }
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
