#include "game.hpp"

namespace tegulo {

Game Game::fresh() {
  Game game;
  game.action_set = &ActionSet::get();
  return game;
}

unsigned Game::ply() const {
  unsigned ply = 0;
  for (const Agent& a : agents) ply += a.placed;
  return ply;
}

bool Game::is_over() const {
  bool over = true;
  for (const Agent& a : agents) over = over && a.done;
  return over;
}

}  // namespace tegulo
