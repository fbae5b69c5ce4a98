#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "actions.hpp"

namespace tegulo {

// How final scores become training rewards.
enum class RewardMode { score, win_share, rank };

// The modes' names, in RewardMode order.
inline constexpr std::array<std::string_view, 3> REWARD_MODE_NAMES = {"score", "win_share", "rank"};

// The mode with exactly this name; nothing for any other text.
std::optional<RewardMode> reward_mode_from_text(std::string_view name);

using Scores = std::array<std::int16_t, AGENT_COUNT>;
using Rewards = std::array<float, AGENT_COUNT>;

// The four agents' rewards in `mode`, in single precision:
// - score: the score itself;
// - win_share: the agents sharing the top score split 1 equally, the others get 0;
// - rank: place p (0 best) is worth (3 - p) / 3, and tied agents share the mean
//   worth of the places their group occupies.
Rewards outcome_from_scores(const Scores& scores, RewardMode mode);

}  // namespace tegulo
