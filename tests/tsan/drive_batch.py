"""GameBatch and the players called from several Python threads at once, for
ThreadSanitizer (scripts/tsan.sh runs it with the runtime preloaded; it is not
part of the pytest suite).

Two workloads. In the first, each thread has batches of its own and runs the same
script of calls on them as a twin thread does with another number of pool threads:
every result of the pair must be the same, as a batch's results depend on its seed
alone. In the second, threads share one batch: calls meet in its lock, every
observation must be whole and stay as it was returned, and a share whose calls
only play random moves must end where one thread playing them all ends.

Prints "drive: K calls on T threads" and exits 0 when every check held; any
exception in a thread exits 1, and a sanitizer report ends the process first.
"""

import hashlib
import pickle
import sys
import threading

import numpy as np

from tegulo_rl import GameBatch, players
from tegulo_rl.players import Player

THREADS = 4
GAMES = 6
ROUNDS = 4
SEARCH = Player("mcts", simulations=6, trees=2, width=4)
LINE_UP = ["random", "greedy", "heuristic", SEARCH]

calls = 0
calls_lock = threading.Lock()


def counted(n=1):
    global calls
    with calls_lock:
        calls += n


def run_threads(count, target):
    """Runs target(k) on `count` threads started together; re-raises the first failure."""
    failures = []
    start = threading.Barrier(count)

    def body(k):
        try:
            start.wait()
            target(k)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def listed(obs, i):
    return obs.legal_actions[obs.legal_offsets[i] : obs.legal_offsets[i + 1]]


def check_observation(obs, games):
    """What every observation holds: offsets that add up, lists that match the mask."""
    assert obs.observation.shape == (games, 4, 20, 20)
    if obs.legal_offsets is not None:
        assert obs.legal_offsets[0] == 0 and (np.diff(obs.legal_offsets) > 0).all()
        assert obs.legal_offsets[-1] == len(obs.legal_actions)
    if obs.action_mask is not None:
        assert (obs.action_mask.sum(axis=1) > 0).all()
    if obs.legal_offsets is not None and obs.action_mask is not None:
        for i in range(games):
            assert np.flatnonzero(obs.action_mask[i]).tolist() == listed(obs, i).tolist()


def uniform(obs):
    """An evaluator with a flat prior over each leaf's legal actions and even values."""
    counted(4)  # the search's select and expand, and the batch of leaves made and observed
    mask = obs.action_mask
    return mask.astype(np.float32), np.full((len(mask), 4), 0.25, np.float32)


# --- Batches of one's own ----------------------------------------------------------


def script(seed, threads):
    """Every kind of call on batches of one thread's own; a digest of what they returned."""
    digest = hashlib.sha256()

    def keep(*arrays):
        for a in arrays:
            digest.update(np.ascontiguousarray(a).tobytes())

    rng = np.random.default_rng(seed)
    seats = rng.integers(len(LINE_UP), size=(GAMES, 4))
    batch = GameBatch(GAMES, reward_mode="win_share", threads=threads, seed=seed)
    counted()
    for round_ in range(ROUNDS):
        obs = batch.observe()
        check_observation(obs, GAMES)
        starts, counts = obs.legal_offsets[:-1], np.diff(obs.legal_offsets)
        actions = obs.legal_actions[starts + rng.integers(counts)]
        result = batch.step(actions)
        keep(obs.observation, obs.legal_actions, result.rewards, result.scores)

        obs = batch.observe(legal="mask")
        check_observation(obs, GAMES)
        mask = obs.action_mask.copy()
        obs = batch.observe(legal="both")
        check_observation(obs, GAMES)
        assert (obs.action_mask == mask).all()
        keep(obs.action_mask, obs.current_agent)

        keep(batch.step_random().final_records)
        obs = batch.observe()
        chosen = batch.choose(LINE_UP, seats)
        for i in range(GAMES):
            assert chosen.actions[i] in listed(obs, i) and chosen.legal_counts[i] == len(listed(obs, i))
        keep(chosen.actions, batch.step(chosen.actions).scores)
        keep(batch.step_players(LINE_UP, seats).terminated)
        keep(batch.play_random(2))
        counted(10)

        records = batch.to_bytes()
        copy = GameBatch.from_bytes(records, reward_mode="win_share", threads=threads, seed=seed)
        assert (copy.to_bytes() == records).all()
        copy.load(records[: GAMES // 2])  # fewer games on the same threads, then all again
        assert len(copy) == GAMES // 2 and (copy.to_bytes() == records[: GAMES // 2]).all()
        copy.load(records)
        assert (copy.to_bytes() == records).all()
        twin = pickle.loads(pickle.dumps(batch))
        np.testing.assert_array_equal(twin.step_random().scores, batch.step_random().scores)
        assert (twin.to_bytes() == batch.to_bytes()).all()
        keep(records)
        counted(13)

        game = batch.game(round_ % GAMES)
        batch.set_game((round_ + 1) % GAMES, game)
        action = players.choose(game, SEARCH, seed=seed + round_, threads=2)
        assert action in np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, bool))
        depth = 0 if round_ % 2 else None  # playouts on the search's own threads, or the network at every leaf
        searched = players.search(
            [batch.game(0), game], uniform, simulations=8, leaves=4, threads=threads, evaluated_depth=depth
        )
        keep(np.array([action, *searched]))
        counted(7)
        if round_ == 1:
            batch.reset(seed + 100)
            counted()
    return digest.hexdigest()


def own_batches():
    """Pairs of threads run the same script with 2 and with 3 pool threads each."""
    seeds = [11 + k // 2 for k in range(THREADS)]
    digests = [None] * len(seeds)

    def work(k):
        digests[k] = script(seeds[k], threads=2 + k % 2)

    run_threads(THREADS, work)
    for k in range(0, THREADS, 2):
        assert digests[k] == digests[k + 1], f"seed {seeds[k]}: the results depend on the threads"


# --- One batch shared -----------------------------------------------------------------


def shared_batch():
    """Threads that share a batch, making every kind of call on it."""
    batch = GameBatch(8, threads=2, seed=5)
    searching = np.repeat((np.arange(8) % 4 == 0)[:, None], 4, axis=1).astype(np.int64)  # games 0 and 4 search
    kinds = ("list", "mask", "both")
    met = []

    def work(k):
        rng = np.random.default_rng(k)
        held = []  # observations kept alive, with copies of their arrays as returned
        for n in range(16):
            obs = batch.observe(legal=kinds[(k + n) % 3])
            check_observation(obs, 8)
            held.append((obs, [None if a is None else a.copy() for a in obs]))
            if obs.legal_offsets is not None:
                starts, counts = obs.legal_offsets[:-1], np.diff(obs.legal_offsets)
                try:
                    batch.step(obs.legal_actions[starts + rng.integers(counts)])
                except ValueError as refusal:
                    # Another thread moved in between: this observation's actions are stale.
                    assert "is not legal" in str(refusal), str(refusal)
                    met.append(n)
            batch.step_random()
            if n % 4 == 0:
                batch.step_players(["greedy", SEARCH], searching)
            else:
                batch.step_players("random")
            batch.choose("heuristic")
            records = batch.to_bytes()
            assert (GameBatch.from_bytes(records, threads=1).to_bytes() == records).all()
            batch.load(records)
            pickle.loads(pickle.dumps(batch))
            batch.set_game(n % 8, batch.game(n % 8))
            batch.play_random(1)
            # len, threads and repr read without the lock (the number of games is an atomic,
            # which load sets under it); seed takes it.
            assert len(batch) == 8 and batch.threads == 2 and repr(batch).startswith("GameBatch(8,")
            assert batch.seed == 5
            counted(15)
        # The batch wrote its later results elsewhere while these lived.
        for obs, copies in held:
            for array, copy in zip(obs, copies, strict=True):
                assert (array is None) == (copy is None)
                if array is not None:
                    np.testing.assert_array_equal(array, copy)

    run_threads(THREADS, work)
    assert met, "no two threads ever met in the batch: the share did not test sharing"


def shared_random_play():
    """Shared random play ends where one thread making every call ends."""
    batch, twin = GameBatch(8, threads=2, seed=9), GameBatch(8, threads=1, seed=9)
    rounds = 10

    def work(k):
        for n in range(rounds):
            if (k + n) % 2:
                batch.step_random()
            else:
                batch.step_players("random")
            batch.observe(legal="both")
            counted(2)

    run_threads(THREADS, work)
    for _ in range(THREADS * rounds):
        twin.step_random()
    np.testing.assert_array_equal(batch.to_bytes(), twin.to_bytes())
    np.testing.assert_array_equal(batch.step_random().scores, twin.step_random().scores)


def main():
    # Switch threads often, so that calls from different threads interleave finely.
    sys.setswitchinterval(1e-4)
    own_batches()
    shared_batch()
    shared_random_play()
    print(f"drive: {calls} calls on {THREADS} threads")


if __name__ == "__main__":
    main()
