#include "game.hpp"

namespace tegulo {

Game Game::fresh() {
  // Every fresh game is this one, witnesses included: they are found once.
  static const Game first = [] {
    Game game;
    game.action_set = &ActionSet::get();
    game.update_done();
    return game;
  }();
  return first;
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
