#pragma once

#include "players/players.hpp"

namespace tegulo {

// Monte Carlo tree search for four players (UCT). Every node keeps, for each
// agent, the sum of the rewards of the simulations through it, and the agent to
// move at a node picks the child with the best mean reward for itself plus the
// UCT bonus. A simulation descends to a node visited for the first time (nodes
// grow their children on their second visit), plays the game out with the
// player's playout player and backs the four rewards up the path. Turns of agents
// out of moves are passed on the way: a done agent's turn has one move, so it is
// folded into the edge that leads to it.
//
// The player's `trees` trees share the simulations and run on `pool` when there
// is one; their root visits are added up, and the most visited placement wins.
// Each tree draws from a stream of its own, derived from `stream`, so the choice
// depends on the stream and the player alone, not on the threads.
Choice search(const Game& root, const Player& player, Stream& stream, ThreadPool* pool = nullptr);

}  // namespace tegulo
