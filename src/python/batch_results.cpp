#include "python/batch_results.hpp"

#include "python/call.hpp"

namespace tegulo::py {

namespace {

PyStructSequence_Field OBSERVATION_FIELDS[] = {
    {"observation", "(N, 4, 20, 20) uint8: the cells each seat's pieces cover, seat 0 the agent to move"},
    {"corners", "(N, 4, 20, 20) uint8: the cells each seat's next piece can attach at"},
    {"blocked", "(N, 4, 20, 20) uint8: the cells each seat can never fill"},
    {"pieces", "(N, 4, 21) uint8: the piece kinds each seat still holds"},
    {"done", "(N, 4) uint8: whether each seat is out of moves"},
    {"current_agent", "(N,) int64: the agent to move, whose view this is"},
    {"legal_actions",
     "int64: every game's legal actions, one game after another, increasing unless unsorted; None unless asked"},
    {"legal_offsets", "(N + 1,) int64: game i's actions are legal_actions[legal_offsets[i]:legal_offsets[i + 1]]"},
    {"action_mask", "(N, 36400) bool: the legal actions as a mask; None unless asked"},
    {nullptr, nullptr},
};

PyStructSequence_Desc OBSERVATION_DESC = {
    "tegulo_rl._batch.BatchObservation",
    "Every game of a GameBatch as its agent to move sees it. The arrays are read-only\n"
    "and never change: the batch writes later results elsewhere while they live.",
    OBSERVATION_FIELDS,
    9,
};

PyStructSequence_Field STEP_FIELDS[] = {
    {"rewards", "(N, 4) float32: by agent, the rewards of each game that ended, in the batch's mode; else 0"},
    {"terminated", "(N,) bool: whether the game ended in this step (it has started again since)"},
    {"scores", "(N, 4) int32: the scores after the step; a game that ended, its final scores"},
    {"final_records", "(N, 278) uint8: the record of each game that ended, as it stood at its end; else 0"},
    {nullptr, nullptr},
};

PyStructSequence_Desc STEP_DESC = {
    "tegulo_rl._batch.BatchStep",
    "What a step of a GameBatch did. The arrays are read-only and never change.",
    STEP_FIELDS,
    4,
};

PyStructSequence_Field CHOICE_FIELDS[] = {
    {"actions", "(N,) int64: each game's chosen action, in the frame of its agent to move"},
    {"legal_counts", "(N,) int32: the number of legal actions that agent chose from"},
    {nullptr, nullptr},
};

PyStructSequence_Desc CHOICE_DESC = {
    "tegulo_rl._batch.BatchChoice",
    "What the players of a GameBatch chose for its games.",
    CHOICE_FIELDS,
    2,
};

}  // namespace

PyObject* batch_observation_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&OBSERVATION_DESC)); });
}

PyObject* batch_choice_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&CHOICE_DESC)); });
}

PyObject* batch_step_type() {
  static OnceObject type;
  return type.get([] { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&STEP_DESC)); });
}

BlockCache::~BlockCache() {
  for (PyObject* b : blocks_) Py_XDECREF(b);
}

PyObject* BlockCache::take() {
  for (PyObject* b : blocks_)
    if (b != nullptr && block_is_free(b)) return b;
  for (PyObject*& b : blocks_)
    if (b == nullptr) return b = new_block();
  PyObject* made = new_block();
  if (made == nullptr) return nullptr;
  Py_SETREF(blocks_[next_], made);
  next_ = (next_ + 1) % blocks_.size();
  return made;
}

PyObject* step_block(BlockCache& cache, std::size_t n, StepBuffers& out) {
  PyObject* block = cache.take();
  if (block == nullptr) return nullptr;
  auto& r = block_of(block).regions;
  if (!r[REWARDS].reserve(n * AGENT_COUNT * sizeof(float)) || !r[TERMINATED].reserve(n) ||
      !r[SCORES].reserve(n * AGENT_COUNT * sizeof(std::int32_t)) || !r[RECORDS].reserve(n * RECORD_SIZE))
    return nullptr;
  out = {r[REWARDS].as<float>(), r[TERMINATED].as<std::uint8_t>(), r[SCORES].as<std::int32_t>(),
         r[RECORDS].as<std::uint8_t>()};
  return block;
}

Result step_result(PyObject* block, const StepBuffers& out, std::size_t n) {
  const auto games = static_cast<Py_ssize_t>(n);
  const auto agents = static_cast<Py_ssize_t>(AGENT_COUNT);
  Result result(batch_step_type());
  result.add([&] {
          return array_over(block, out.rewards, "f", 4, {games, agents});
        })
      .add([&] { return array_over(block, out.terminated, "?", 1, {games}); })
      .add([&] {
        return array_over(block, out.scores, "i", 4, {games, agents});
      })
      .add([&] {
        return array_over(block, out.final_records, "B", 1, {games, static_cast<Py_ssize_t>(RECORD_SIZE)});
      });
  return result;
}

Result observation_result(PyObject* block, const ObservationBuffers& out, std::size_t n, std::size_t total,
                          LegalWanted legal) {
  const auto games = static_cast<Py_ssize_t>(n), seats = static_cast<Py_ssize_t>(AGENT_COUNT);
  const auto side = static_cast<Py_ssize_t>(BOARD_SIZE);
  const auto kinds = static_cast<Py_ssize_t>(KIND_COUNT), actions = static_cast<Py_ssize_t>(NUM_ACTIONS);
  Result result(batch_observation_type());
  result.add([&] {
          return array_over(block, out.observation, "B", 1, {games, seats, side, side});
        })
      .add([&] {
        return array_over(block, out.corners, "B", 1, {games, seats, side, side});
      })
      .add([&] {
        return array_over(block, out.blocked, "B", 1, {games, seats, side, side});
      })
      .add([&] {
        return array_over(block, out.pieces, "B", 1, {games, seats, kinds});
      })
      .add([&] {
        return array_over(block, out.done, "B", 1, {games, seats});
      })
      .add([&] { return array_over(block, out.current_agent, "q", 8, {games}); });
  if (legal.list) {
    void* listed = block_of(block).regions[ACTIONS].data();
    result.add([&] { return array_over(block, listed, "q", 8, {static_cast<Py_ssize_t>(total)}); }).add([&] {
      return array_over(block, out.legal_offsets, "q", 8, {games + 1});
    });
  } else {
    result.none().none();
  }
  if (legal.mask)
    result.add([&] { return array_over(block, out.action_mask, "?", 1, {games, actions}); });
  else
    result.none();
  return result;
}

}  // namespace tegulo::py
