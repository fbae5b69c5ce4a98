#include "scores.hpp"

#include "game.hpp"

namespace tegulo {

namespace {

// The cells of the kinds a set of 7 kind bits names, for kind indices 7 p to 7 p + 6:
// a remaining set's cells are three lookups, whatever it holds.
constexpr std::array<std::array<std::uint8_t, 128>, 3> HELD_CELLS = [] {
  std::array<std::array<std::uint8_t, 128>, 3> table{};
  for (std::size_t part = 0; part < 3; ++part)
    for (unsigned bits = 0; bits < 128; ++bits)
      for (unsigned k = 0; k < 7; ++k)
        if (bits >> k & 1) table[part][bits] += static_cast<std::uint8_t>(PieceType::ALL[7 * part + k].cell_count());
  return table;
}();

}  // namespace

std::array<std::int16_t, AGENT_COUNT> Game::scores() const {
  Scores scores{};
  for (std::size_t i = 0; i < AGENT_COUNT; ++i) {
    const Agent& agent = agents[i];
    const std::uint32_t r = agent.remaining & ALL_KINDS;
    const int held = HELD_CELLS[0][r & 127] + HELD_CELLS[1][r >> 7 & 127] + HELD_CELLS[2][r >> 14];
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
