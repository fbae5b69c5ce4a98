#pragma once

// Players named from Python: tegulo_rl.players checks a name, a Player or a
// sequence of them and turns each into a plain tuple of numbers, which this reads.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "players/players.hpp"

namespace tegulo::py {

// The players `arg` names (a name, a Player or a sequence of them), each checked by
// tegulo_rl.players; nothing, with the error set, when it names none.
std::optional<std::vector<Player>> to_players(PyObject* arg);

}  // namespace tegulo::py
