// The class GameBatch: many games held in native code and stepped together. Its
// arguments are read by arguments.cpp, its results made by batch_results.cpp, its
// calls serialised by call_lock; the player methods are in batch_player_methods.cpp.
#include "python/batch_class.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "batch/game_batch.hpp"
#include "python/arguments.hpp"
#include "python/batch_arrays.hpp"
#include "python/batch_results.hpp"
#include "python/batch_state.hpp"
#include "python/call.hpp"

namespace tegulo::py {

PyObject* new_batch(PyTypeObject* type, std::size_t games, RewardMode mode, PyObject* threads_arg, std::size_t threads,
                    std::uint64_t seed) {
  PyObject* kept = threads_arg == nullptr || threads_arg == Py_None ? Py_NewRef(Py_None) : PyLong_FromSize_t(threads);
  if (kept == nullptr) return nullptr;
  const allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    Py_DECREF(kept);
    return nullptr;
  }
  try {
    reinterpret_cast<PyGameBatch*>(self)->state = new BatchState(games, mode, threads, seed);
  } catch (const std::system_error& e) {  // the system would not start the threads
    reinterpret_cast<PyGameBatch*>(self)->state = nullptr;
    Py_DECREF(self);
    Py_DECREF(kept);
    PyErr_Format(PyExc_RuntimeError, "could not start %zu threads: %s", threads, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    reinterpret_cast<PyGameBatch*>(self)->state = nullptr;
    Py_DECREF(self);
    Py_DECREF(kept);
    PyErr_Format(PyExc_MemoryError, "not enough memory for a batch of %zu games", games);
    return nullptr;
  }
  state_of(self).threads_arg = kept;
  return self;
}

namespace {

void batch_dealloc(PyObject* self) {
  delete reinterpret_cast<PyGameBatch*>(self)->state;  // null when the constructor failed
  free_instance(self);
}

constexpr const char* NEW_PARAMS[] = {"num_games", "reward_mode", "threads", "seed"};
constexpr Signature NEW{"GameBatch()", NEW_PARAMS, 1, 1};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return enter([&]() -> PyObject* {
    PyObject* arg[4];
    if (!bind(NEW, args, kwargs, arg)) return nullptr;
    const auto games = to_count(arg[0], "num_games", 1, MAX_GAMES);
    if (!games) return nullptr;
    const auto mode = to_reward_mode(arg[1]);
    if (!mode) return nullptr;
    const auto threads = to_threads(arg[2]);
    if (!threads) return nullptr;
    const auto seed = to_seed(arg[3]);
    if (!seed) return nullptr;
    return run([&] { return new_batch(type, *games, *mode, arg[2], *threads, *seed); });
  });
}

// --- Members ---------------------------------------------------------------------------------

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(state_of(self).games.load()); }

PyObject* num_games(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).games.load()); }
PyObject* threads(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).batch.threads()); }
PyObject* reward_mode(PyObject* self, void*) {
  return PyUnicode_FromString(reward_mode_name(state_of(self).batch.reward_mode()));
}
PyObject* seed(PyObject* self, void*) {
  return enter([&]() -> PyObject* {
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    return PyLong_FromUnsignedLongLong(state_of(self).batch.seed());
  });
}

PyObject* batch_repr(PyObject* self) {
  const BatchState& s = state_of(self);
  return PyUnicode_FromFormat("GameBatch(%zu, reward_mode='%s', threads=%zu)", s.games.load(),
                              reward_mode_name(s.batch.reward_mode()), s.batch.threads());
}

constexpr const char* SEED_PARAM[] = {"seed"};
constexpr Signature RESET{"GameBatch.reset()", SEED_PARAM, 1, 0};

PyObject* reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(RESET, args, nargs, kwnames, {&arg, 1})) return nullptr;
    std::optional<std::uint64_t> seed;
    if (arg != nullptr && arg != Py_None) {
      seed = to_seed(arg);
      if (!seed) return nullptr;
    }
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    return run([&] {
      detached([&] { state_of(self).batch.reset(seed); });
      Py_RETURN_NONE;
    });
  });
}

constexpr const char* OBSERVE_PARAMS[] = {"legal", "sorted"};
constexpr Signature OBSERVE{"GameBatch.observe()", OBSERVE_PARAMS, 1, 0};

// The observation block's regions sized for `n` games, and the buffers observe
// writes into. The mask is kept clean across calls rather than cleared: a block
// whose mask matches its lists hands those lists to observe as stale entries to
// clear, for as many games as they list (more than `n` after a load that shrank
// the batch); one whose mask matches nothing is cleared in full, as far as it was
// ever written.
//
// Aliasing: the stale offsets and actions are the very regions the new offsets
// and actions go to. GameBatch::observe reads the stale ones before it writes the
// new offsets; the new actions are written by write_legal_actions, later still. So
// every stale entry is read before it is overwritten, and the regions need no
// second copy.
std::optional<ObservationBuffers> observation_buffers(Block& b, std::size_t n, bool want_mask) {
  auto& r = b.regions;
  if (r[OFFSETS].size() < (n + 1) * 8) b.mask_matches_lists = false;  // the offsets region grows
  if (!r[OBSERVATION].reserve(n * CELL_PLANE) || !r[CORNERS].reserve(n * CELL_PLANE) ||
      !r[BLOCKED].reserve(n * CELL_PLANE) || !r[PIECES].reserve(n * PIECE_PLANE) || !r[DONE].reserve(n * AGENT_COUNT) ||
      !r[CURRENT_AGENT].reserve(n * 8) || !r[OFFSETS].reserve((n + 1) * 8))
    return std::nullopt;
  std::size_t stale = 0;
  if (want_mask) {
    const bool grows = r[MASK].size() < n * NUM_ACTIONS;
    const bool reserved = r[MASK].reserve(n * NUM_ACTIONS);
    if (grows) b.mask_matches_lists = false, b.mask_games = 0;  // all zero now, or gone
    if (!reserved) return std::nullopt;
    if (!b.mask_matches_lists && b.mask_games > 0) {
      std::memset(r[MASK].data(), 0, b.mask_games * NUM_ACTIONS);
      b.mask_games = 0;
    }
    stale = b.mask_matches_lists ? b.listed_games : 0;
    b.mask_games = std::max(b.mask_games, n);
  }
  // Until the new lists are written, the mask holds entries nothing lists.
  b.mask_matches_lists = false;
  return ObservationBuffers{r[OBSERVATION].as<std::uint8_t>(),
                            r[CORNERS].as<std::uint8_t>(),
                            r[BLOCKED].as<std::uint8_t>(),
                            r[PIECES].as<std::uint8_t>(),
                            r[DONE].as<std::uint8_t>(),
                            r[CURRENT_AGENT].as<std::int64_t>(),
                            r[OFFSETS].as<std::int64_t>(),
                            want_mask ? r[MASK].as<std::uint8_t>() : nullptr,
                            stale > 0 ? r[OFFSETS].as<std::int64_t>() : nullptr,
                            stale > 0 ? r[ACTIONS].as<std::int64_t>() : nullptr,
                            stale};
}

PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg[2];
    if (!bind(OBSERVE, args, nargs, kwnames, arg)) return nullptr;
    LegalWanted legal{true, false};
    if (arg[0] != nullptr) {
      const auto text = to_text(arg[0], "legal");
      if (!text) return nullptr;
      legal = {*text == "list" || *text == "both", *text == "mask" || *text == "both"};
      if (!legal.list && !legal.mask)
        return PyErr_Format(PyExc_ValueError, "Unknown legal mode %R: expected 'list', 'mask' or 'both'", arg[0]);
    }
    bool sorted = true;
    if (arg[1] != nullptr) {
      const int truth = PyObject_IsTrue(arg[1]);
      if (truth < 0) return nullptr;
      sorted = truth != 0;
    }
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    return run([&]() -> PyObject* {
      const std::size_t n = state.batch.size();
      PyObject* block = state.observations.take();
      if (block == nullptr) return nullptr;
      Block& b = block_of(block);
      const auto out = observation_buffers(b, n, legal.mask);
      if (!out) return nullptr;
      const std::size_t total = detached([&] { return state.batch.observe(*out, sorted); });
      Memory& listed = b.regions[ACTIONS];
      if (!listed.reserve(total * 8)) return nullptr;
      detached([&] { state.batch.write_legal_actions(listed.as<std::int64_t>()); });
      if (legal.mask) {
        // Every stale row was cleared, those beyond n as well.
        b.mask_matches_lists = true;
        b.listed_games = b.mask_games = n;
      }
      return observation_result(block, *out, n, total, legal).release();
    });
  });
}

constexpr const char* ACTIONS_PARAM[] = {"actions"};
constexpr Signature STEP{"GameBatch.step()", ACTIONS_PARAM};

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(STEP, args, nargs, kwnames, {&arg, 1})) return nullptr;
    Buffer buffer;
    if (!buffer.take(arg)) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    const std::size_t n = state.batch.size();
    IntegerFormat format{};
    if (!read_actions(buffer, n, state.actions, format)) return nullptr;
    return run([&]() -> PyObject* {
      StepBuffers out{};
      PyObject* block = step_block(state.steps, n, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, n);
      if (!result) return nullptr;
      const auto refused = detached([&] { return state.batch.step({state.actions.data(), n}, out); });
      if (refused) {
        action_refused(buffer, format, *refused, state.batch.game(refused->game).current_agent);
        return nullptr;
      }
      return result.release();
    });
  });
}

PyObject* step_random(PyObject* self, PyObject*) {
  return enter([&]() -> PyObject* {
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    return run([&]() -> PyObject* {
      const std::size_t n = state.batch.size();
      StepBuffers out{};
      PyObject* block = step_block(state.steps, n, out);
      if (block == nullptr) return nullptr;
      Result result = step_result(block, out, n);
      if (!result) return nullptr;
      detached([&] { state.batch.step_random(out); });
      return result.release();
    });
  });
}

constexpr const char* GAMES_PARAM[] = {"games"};
constexpr Signature PLAY_RANDOM{"GameBatch.play_random()", GAMES_PARAM};

PyObject* play_random(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    PyObject* arg;
    if (!bind(PLAY_RANDOM, args, nargs, kwnames, {&arg, 1})) return nullptr;
    const auto games = to_count(arg, "games", 1, PY_SSIZE_T_MAX / (AGENT_COUNT * 4));
    if (!games) return nullptr;
    Locked call(state_of(self).lock);
    if (!call) return nullptr;
    BatchState& state = state_of(self);
    return run([&]() -> PyObject* {
      // The scores' room before the result's, so that a count too large for memory
      // fails (MemoryError) before anything is made or any game moves.
      std::vector<Scores> scores(*games);
      void* data = nullptr;
      PyObject* result =
          new_array({static_cast<Py_ssize_t>(*games), static_cast<Py_ssize_t>(AGENT_COUNT)}, "int32", &data);
      if (result == nullptr) return nullptr;
      // Between rounds the thread attaches for a moment to run the signal handlers,
      // with every game as before the call: an interrupt stops the play there and
      // leaves them so. While a handler runs, another thread's call may run too,
      // after which the play starts again from what that call left.
      bool interrupted = false;
      try {
        Detached detached;
        state.batch.play_random(*games, scores.data(), [&] {
          switch (call.pause(detached)) {
            case Pause::interrupted:
              interrupted = true;
              return GameBatch::Between::stop;
            case Pause::superseded:
              return GameBatch::Between::start_again;
            case Pause::go_on:
              break;
          }
          return GameBatch::Between::go_on;
        });
      } catch (...) {
        Py_DECREF(result);
        throw;
      }
      if (interrupted) {
        Py_DECREF(result);
        return nullptr;
      }
      auto* cells = static_cast<std::int32_t*>(data);
      for (std::size_t g = 0; g < *games; ++g)
        for (std::size_t a = 0; a < AGENT_COUNT; ++a) cells[g * AGENT_COUNT + a] = scores[g][a];
      return result;
    });
  });
}

PyMethodDef METHODS[] = {
    {"reset", fastcall(reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, seed=None)\n--\n\n"
     "Starts every game afresh. With a seed, the games' random streams start again\n"
     "from it; without, they go on."},
    {"observe", fastcall(observe), METH_FASTCALL | METH_KEYWORDS,
     "observe($self, legal='list', *, sorted=True)\n--\n\n"
     "Every game as its agent to move sees it: a BatchObservation of read-only arrays.\n"
     "`legal` says how the legal actions come: 'list' (legal_actions, legal_offsets),\n"
     "'mask' (action_mask) or 'both'; what was not asked for is None. Each game's list\n"
     "is increasing; with sorted=False it holds the same actions in the engine's scan\n"
     "order, which costs less (for a policy that samples and needs no order)."},
    {"step", fastcall(step), METH_FASTCALL | METH_KEYWORDS,
     "step($self, actions)\n--\n\n"
     "Plays one action per game, each in the frame of that game's agent to move: an\n"
     "integer array of shape (N,). Turns of agents out of moves are passed; a game that\n"
     "ends starts again. Returns a BatchStep. If any action is not legal, ValueError names\n"
     "the first such game and no game changes."},
    {"step_random", step_random, METH_NOARGS,
     "step_random($self)\n--\n\n"
     "Plays for every game a uniformly random legal action drawn from the game's own\n"
     "random stream; returns a BatchStep like step."},
    {"play_random", fastcall(play_random), METH_FASTCALL | METH_KEYWORDS,
     "play_random($self, games)\n--\n\n"
     "Plays step_random rounds until `games` games have ended and returns their final\n"
     "scores, an int32 array of shape (games, 4), in the order they ended (by round,\n"
     "then by game number). An interrupt (Ctrl-C) between rounds leaves every game and\n"
     "stream as before the call, the scores of games that ended meanwhile dropped."},
    {"choose", fastcall(batch_choose), METH_FASTCALL | METH_KEYWORDS,
     "choose($self, players, seats=None)\n--\n\n"
     "What built-in players choose for every game: a BatchChoice of each game's action,\n"
     "in the frame of its agent to move, and that agent's number of legal actions.\n"
     "`players` is a player (a name such as 'greedy' or 'mcts:400', or a\n"
     "tegulo_rl.players.Player) or a sequence of them; seats[i, a], an integer array of\n"
     "shape (N, 4), names the player of agent a in game i (None: the first player\n"
     "everywhere). Each game draws from its own random stream; no game changes."},
    {"step_players", fastcall(batch_step_players), METH_FASTCALL | METH_KEYWORDS,
     "step_players($self, players, seats=None)\n--\n\n"
     "Plays for every game what choose(players, seats) chooses, in one call: returns a\n"
     "BatchStep like step. An interrupt stops the choice with no game changed."},
    {"step_learners", fastcall(batch_step_learners), METH_FASTCALL | METH_KEYWORDS,
     "step_learners($self, actions, players, opponents=None, *, next_learners=None, playing=None,\n"
     "              next_opponents=None)\n--\n\n"
     "A learner's turn in every game, in one call: takes each game's action for its agent\n"
     "to move (its learner), then plays the other agents with built-in players until\n"
     "the learner is to move again. opponents[i, k], an integer array of shape (N, 3),\n"
     "names the player of the agent k + 1 places after game i's learner (None: the first\n"
     "player for all); players that search are refused. A game that ends on the way\n"
     "starts again with its learner at agent next_learners[i] (None: the same agent)\n"
     "and is played up to that agent's first turn, its opponents named by next_opponents\n"
     "(as opponents; None: the same). Games where `playing` (bool, (N,)) is\n"
     "False are left as they stand. Returns a BatchStep whose row for a game that ended\n"
     "holds its end, and for the others zero rewards and the scores as they stand. If an\n"
     "action is refused, ValueError names it and no game changes."},
    {"to_bytes", batch_to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nEvery game's state record: a uint8 array of shape (N, 278)."},
    {"from_bytes", fastcall(batch_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(records, *, reward_mode='rank', threads=None, seed=None)\n--\n\n"
     "A batch of the games that state records describe, a uint8 array of shape (N, 278)."},
    {"load", fastcall(batch_load), METH_FASTCALL | METH_KEYWORDS,
     "load($self, records)\n--\n\n"
     "Puts in play the games that state records describe, a uint8 array of shape\n"
     "(N, 278), in place of the batch's games: the batch holds N games from then on\n"
     "(num_games follows), on as many threads as it was given, up to one a game\n"
     "(threads follows). Games below the old number keep their\n"
     "random streams; those beyond start theirs from the seed, as a new batch would.\n"
     "Turns of agents out of moves are passed. If a record is refused, ValueError names\n"
     "it and nothing changes. Far cheaper than GameBatch.from_bytes for a loop that\n"
     "looks at many sets of positions: no new threads."},
    {"game", fastcall(batch_game), METH_FASTCALL | METH_KEYWORDS,
     "game($self, index)\n--\n\nA PyTegulo copy of game `index`."},
    {"set_game", fastcall(batch_set_game), METH_FASTCALL | METH_KEYWORDS,
     "set_game($self, index, game)\n--\n\n"
     "Puts a copy of the PyTegulo `game`, which must be in play, at place `index`."},
    {"__reduce__", batch_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"num_games", num_games, nullptr, "The number of games.", nullptr},
    {"threads", threads, nullptr, "The number of threads that work on a call.", nullptr},
    {"reward_mode", reward_mode, nullptr, "The reward mode of step's rewards.", nullptr},
    {"seed", seed, nullptr, "The seed of the games' random streams.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {Py_mp_length, reinterpret_cast<void*>(batch_length)},
    {Py_tp_doc, const_cast<char*>("GameBatch(num_games, *, reward_mode='rank', threads=None, seed=None)\n--\n\n"
                                  "A fixed number of independent games held in native code and stepped together\n"
                                  "on a pool of threads. threads=None uses every core the process may run on, up to\n"
                                  "one thread a game (load adds threads as games come); a seed of None draws one\n"
                                  "from the system. One call at a time runs on a batch: a thread that finds it busy\n"
                                  "waits and still hears Ctrl-C.")},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "tegulo_rl._batch.GameBatch", sizeof(PyGameBatch), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS,
};

}  // namespace

PyObject* batch_type() {
  static OnceObject type;
  return type.get([] { return PyType_FromSpec(&SPEC); });
}

}  // namespace tegulo::py
