#include <ostream>

#include "game.hpp"

namespace tegulo {

namespace {

// The two-character label of a row or column (0 to 19), right-aligned.
std::string label(unsigned n) {
  const char digits[] = {n < 10 ? ' ' : static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)};
  return std::string(digits, 2);
}

// Background colours of agents 0 to 3: blue, yellow, red, green.
constexpr const char* COLOURS[AGENT_COUNT] = {"\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m"};

}  // namespace

std::string Game::board_text() const {
  std::string text = "  | ";
  std::string labels;
  for (unsigned c = 0; c < BOARD_SIZE; ++c) {
    if (c > 0) labels += " | ";
    labels += label(c);
  }
  text += labels;
  text += " |\n";
  std::string separator(103, '-');
  separator += '\n';
  text += separator;
  text += label(0);
  for (unsigned r = 0; r < BOARD_SIZE; ++r) {
    for (unsigned c = 0; c < BOARD_SIZE; ++c) {
      const unsigned p = position(r, c);
      // A cell claimed twice (only a record read without checks can do that)
      // shows the lowest-numbered claimant.
      std::size_t owner = 0;
      while (owner < AGENT_COUNT && !agents[owner].cells.contains(p)) ++owner;
      if (owner == AGENT_COUNT) {
        text += "|  . ";
      } else {
        text += "|  ";
        text += COLOURS[owner];
        text += "x\x1b[0m ";
      }
    }
    if (r + 1 < BOARD_SIZE) {
      text += "|\n";
      text += separator;
      text += label(r + 1);
    }
  }
  text += "|";
  return text;
}

std::ostream& operator<<(std::ostream& out, const Game& game) {
  const std::string text = game.board_text();
  return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace tegulo
