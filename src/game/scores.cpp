#include "scores.hpp"

#include "game.hpp"

namespace tegulo {

std::array<std::int16_t, AGENT_COUNT> Game::scores() const {
  Scores scores{};
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    const Agent& agent = agents[i];
    int held = 0;
    for (std::uint32_t kinds = agent.remaining; kinds != 0; kinds &= kinds - 1)
      held += static_cast<int>(PieceType::ALL[static_cast<std::size_t>(std::countr_zero(kinds))].cell_count());
    const bool monomino_last = agent.last_piece == PieceType::I1;
    scores[i] = static_cast<std::int16_t>(held > 0 ? -held : monomino_last ? 20 : 15);
  }
  return scores;
}

std::optional<RewardMode> reward_mode_from_text(std::string_view name) {
  for (std::size_t m = 0; m < REWARD_MODE_NAMES.size(); ++m)
    if (name == REWARD_MODE_NAMES[m]) return static_cast<RewardMode>(m);
  return std::nullopt;
}

Rewards outcome_from_scores(const Scores& scores, RewardMode mode) {
  Rewards rewards{};
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    int better = 0, tied = 0;
    for (const std::int16_t other : scores) {
      better += other > scores[i];
      tied += other == scores[i];
    }
    switch (mode) {
      case RewardMode::score:
        rewards[i] = static_cast<float>(scores[i]);
        break;
      case RewardMode::win_share:
        rewards[i] = better == 0 ? 1.0f / static_cast<float>(tied) : 0.0f;
        break;
      case RewardMode::rank: {
        // Single precision in this order: the sum of the worths from the best
        // place of the group down, then the division by the group's size; the
        // order decides the last bit.
        float sum = static_cast<float>(3 - better) / 3.0f;
        for (int p = better + 1; p < better + tied; ++p) sum += static_cast<float>(3 - p) / 3.0f;
        rewards[i] = sum / static_cast<float>(tied);
        break;
      }
    }
  }
  return rewards;
}

}  // namespace tegulo
