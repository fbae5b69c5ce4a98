"""GameBatch: many games at once, against the same games played one by one on PyTegulo."""

import gc
import os
import pickle
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from tegulo_rl import GameBatch, PyTegulo, as_arrays

from conftest import legal_actions

PLANES = ("observation", "corners", "blocked", "pieces", "done")


def pass_done(game):
    """Passes turns of agents out of moves, as the batch does for its games."""
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)


def choose(obs, rng):
    """One uniformly random legal action per game, chosen in numpy over the lists."""
    starts, counts = obs.legal_offsets[:-1], np.diff(obs.legal_offsets)
    return obs.legal_actions[starts + rng.integers(counts)]


@pytest.mark.parametrize("mode", PyTegulo.reward_modes)
def test_a_batch_plays_the_same_games_as_pytegulo_side_by_side(mode):
    n, seed = 7, {"score": 1, "win_share": 2, "rank": 3}[mode]
    batch = GameBatch(n, reward_mode=mode, threads=2, seed=seed)
    games = [PyTegulo() for _ in range(n)]
    rng = np.random.default_rng(seed)
    ended = 0
    for _ in range(260):
        obs = batch.observe(legal="both")
        records = batch.to_bytes()
        for i, game in enumerate(games):
            assert records[i].tobytes() == game.to_bytes()
            assert obs.current_agent[i] == game.agent_selection
            view = as_arrays(game.observe(game.agent_selection))
            for name in PLANES:
                np.testing.assert_array_equal(getattr(obs, name)[i], getattr(view, name), err_msg=name)
            np.testing.assert_array_equal(obs.action_mask[i], view.action_mask.view(bool))
            listed = obs.legal_actions[obs.legal_offsets[i] : obs.legal_offsets[i + 1]]
            assert listed.tolist() == legal_actions(game)
        actions = choose(obs, rng)
        result = batch.step(actions)
        for i, game in enumerate(games):
            game.step(int(actions[i]))
            pass_done(game)
            assert bool(result.terminated[i]) == game.is_over
            assert result.scores[i].tolist() == game.scores
            if game.is_over:
                assert result.rewards[i].tolist() == game.outcome(mode)
                assert result.final_records[i].tobytes() == game.to_bytes()
                games[i] = PyTegulo()
                ended += 1
            else:
                assert not result.rewards[i].any() and not result.final_records[i].any()
    assert ended >= n  # every game ended and started again at least once, on average


def random_run(threads, n=24, rounds=150):
    """Everything a seeded run of random and chosen steps produces, as bytes."""
    batch = GameBatch(n, threads=threads, seed=42)
    rng = np.random.default_rng(0)
    seen = []
    for r in range(rounds):
        result = batch.step_random() if r % 2 else batch.step(choose(batch.observe(), rng))
        seen += [result.rewards.tobytes(), result.terminated.tobytes(), result.final_records.tobytes()]
    seen.append(batch.play_random(30).tobytes())
    seen.append(batch.to_bytes().tobytes())
    return seen


def test_results_are_the_same_for_one_two_and_three_threads():
    one = random_run(1)
    assert random_run(2) == one
    assert random_run(3) == one


def test_play_random_is_random_steps_until_enough_games_end():
    batch, twin = GameBatch(5, seed=8), GameBatch(5, seed=8, threads=1)
    scores = batch.play_random(12)
    assert scores.shape == (12, 4) and scores.dtype == np.int32
    expected = []
    while len(expected) < 12:
        result = twin.step_random()
        expected += [result.scores[i].tolist() for i in np.flatnonzero(result.terminated)]
    assert scores.tolist() == expected[:12]
    np.testing.assert_array_equal(batch.to_bytes(), twin.to_bytes())
    # Scores are what finished games score: minus held cells, or 15 or 20.
    assert ((scores >= -89) & (scores <= 20)).all()


def test_reset_starts_every_game_and_a_seed_restarts_the_streams():
    batch = GameBatch(3, seed=5)
    first = batch.play_random(4)
    batch.reset()
    assert all(batch.game(i).ply == 0 for i in range(3))
    assert batch.play_random(4).tolist() != first.tolist()  # the streams went on
    batch.reset(seed=5)
    assert batch.seed == 5
    assert batch.play_random(4).tolist() == first.tolist()
    assert GameBatch(2).seed != GameBatch(2).seed  # None draws a seed


def test_records_and_games_move_between_the_batch_and_pytegulo_exactly():
    batch = GameBatch(4, seed=3)
    for _ in range(30):
        batch.step_random()
    records = batch.to_bytes()
    assert records.shape == (4, 278) and records.dtype == np.uint8
    copy = GameBatch.from_bytes(records, reward_mode="score", threads=1, seed=1)
    np.testing.assert_array_equal(copy.to_bytes(), records)
    assert (len(copy), copy.reward_mode, copy.threads) == (4, "score", 1)
    for i in range(4):
        game = batch.game(i)
        assert isinstance(game, PyTegulo) and game.to_bytes() == records[i].tobytes()
    assert batch.game(-1).to_bytes() == records[3].tobytes()
    game = batch.game(2)
    game.step(legal_actions(game)[0])
    batch.set_game(0, game)
    assert batch.to_bytes()[0].tobytes() == game.to_bytes()
    game.step(legal_actions(game)[0])  # the batch holds a copy
    assert batch.to_bytes()[0].tobytes() != game.to_bytes()
    # Strided and read-only records are read as they are.
    wide = np.zeros((4, 2 * 278), np.uint8)
    wide[:, ::2] = records
    wide.flags.writeable = False
    np.testing.assert_array_equal(GameBatch.from_bytes(wide[:, ::2]).to_bytes(), records)


def test_load_puts_records_in_play_on_the_same_batch_at_any_count():
    source = GameBatch(5, seed=4)
    for _ in range(25):
        source.step_random()
    records = source.to_bytes()
    batch = GameBatch(3, threads=2, seed=8)
    streams = pickle.loads(pickle.dumps(batch))  # the same games and streams, to compare draws with
    for count in (5, 2, 5):  # grows, shrinks, grows again
        batch.load(records[:count])
        assert (len(batch), batch.num_games, batch.threads) == (count, count, 2)
        np.testing.assert_array_equal(batch.to_bytes(), records[:count])
        obs = batch.observe(legal="both")
        assert obs.observation.shape == (count, 4, 20, 20) and obs.action_mask.shape == (count, 36400)
        for i in range(count):
            listed = obs.legal_actions[obs.legal_offsets[i] : obs.legal_offsets[i + 1]]
            assert listed.tolist() == legal_actions(batch.game(i))
        batch.step(choose(obs, np.random.default_rng(count)))
    # Games below the old number kept their streams; those beyond start from the seed.
    streams.load(records[:5])
    np.testing.assert_array_equal(
        streams.step_random().scores[:3], GameBatch.from_bytes(records[:3], seed=8).step_random().scores
    )
    fresh = GameBatch.from_bytes(records, seed=8)
    reloaded = GameBatch(1, seed=8)
    reloaded.load(records)
    np.testing.assert_array_equal(reloaded.step_random().scores, fresh.step_random().scores)


def test_a_refused_load_changes_nothing():
    batch = GameBatch(3, seed=2)
    batch.step_random()
    before = batch.to_bytes()
    bad = np.concatenate([before, before])
    bad[4, 0] = 7
    with pytest.raises(ValueError, match="record 4: Not a game state written by to_bytes"):
        batch.load(bad)
    with pytest.raises(ValueError, match=r"records must have shape \(N, 278\)"):
        batch.load(np.zeros((0, 278), np.uint8))
    with pytest.raises(TypeError, match="records must be uint8"):
        batch.load(before.astype(np.int16))
    assert len(batch) == 3
    np.testing.assert_array_equal(batch.to_bytes(), before)
    batch.step(choose(batch.observe(), np.random.default_rng(0)))  # still steps as before


def test_unsorted_lists_hold_the_sorted_lists_actions_and_step_the_same():
    batch = GameBatch(6, seed=5)
    rng = np.random.default_rng(2)
    for r in range(40):
        loose = batch.observe(sorted=False)
        kept = loose.legal_actions.copy()
        tidy = batch.observe(legal="both")
        np.testing.assert_array_equal(loose.legal_offsets, tidy.legal_offsets)
        assert loose.legal_actions is not tidy.legal_actions
        for i in range(6):
            part = slice(tidy.legal_offsets[i], tidy.legal_offsets[i + 1])
            assert sorted(kept[part]) == tidy.legal_actions[part].tolist()
        del tidy
        # A step right after an unsorted observe checks its actions against those lists.
        batch.observe(legal="both", sorted=False)
        actions = choose(loose, rng)
        if r % 5 == 0:
            bad = actions.copy()
            bad[3] = next(
                a for a in range(36400) if a not in set(kept[loose.legal_offsets[3] : loose.legal_offsets[4]])
            )
            with pytest.raises(ValueError, match="game 3: action .* is not legal"):
                batch.step(bad)
        batch.step(actions)


def test_records_of_agents_out_of_moves_come_in_with_their_turns_passed():
    rng = np.random.default_rng(0)
    game = PyTegulo()
    while game.is_over or not game.terminations[game.agent_selection]:
        if game.is_over:
            game.reset()
        legal = legal_actions(game)
        game.step(int(rng.choice(legal)) if legal else None)
    batch = GameBatch.from_bytes(np.frombuffer(game.to_bytes(), np.uint8)[None])
    before = game.to_bytes()
    pass_done(game)
    assert batch.game(0).to_bytes() == game.to_bytes() != before
    assert not batch.game(0).terminations[batch.game(0).agent_selection]


def test_batches_pickle_with_their_games_and_streams():
    batch = GameBatch(6, reward_mode="win_share", threads=1, seed=77)
    for _ in range(20):
        batch.step_random()
    copy = pickle.loads(pickle.dumps(batch))
    assert (copy.reward_mode, copy.threads, copy.seed, len(copy)) == ("win_share", 1, 77, 6)
    np.testing.assert_array_equal(copy.to_bytes(), batch.to_bytes())
    np.testing.assert_array_equal(copy.play_random(10), batch.play_random(10))
    assert len(pickle.dumps(batch)) < 6 * (278 + 8) + 300


def test_result_arrays_are_read_only_and_never_change_afterwards():
    batch = GameBatch(3, seed=1)
    obs = batch.observe(legal="both")
    kept = {name: getattr(obs, name).copy() for name in obs.__match_args__ if getattr(obs, name) is not None}
    step = batch.step_random()
    step_kept = step.final_records.copy()
    for _ in range(5):
        batch.observe(legal="both")
        batch.step_random()
    for name, array in kept.items():
        np.testing.assert_array_equal(getattr(obs, name), array, err_msg=name)
        assert not getattr(obs, name).flags.writeable
        with pytest.raises(ValueError):
            getattr(obs, name).flags.writeable = True
    np.testing.assert_array_equal(step.final_records, step_kept)
    with pytest.raises(ValueError, match="read-only"):
        obs.observation[0, 0, 0, 0] = 1


def test_memory_is_reused_once_no_array_refers_to_it():
    batch = GameBatch(4, seed=1)
    address = batch.observe().observation.__array_interface__["data"][0]
    gc.collect()
    assert batch.observe().observation.__array_interface__["data"][0] == address
    held = [batch.observe() for _ in range(4)]  # held results each keep their own memory
    assert len({obs.observation.__array_interface__["data"][0] for obs in held}) == 4


def test_the_mask_is_exact_after_switching_between_legal_modes():
    batch = GameBatch(5, seed=9)
    rng = np.random.default_rng(1)
    for r in range(60):
        legal = ("mask", "list", "both")[r % 3]
        obs = batch.observe(legal=legal)
        assert (obs.legal_actions is None) == (legal == "mask") and (obs.action_mask is None) == (legal == "list")
        full = batch.observe(legal="both")
        for i in range(5):
            listed = full.legal_actions[full.legal_offsets[i] : full.legal_offsets[i + 1]]
            assert np.flatnonzero(full.action_mask[i]).tolist() == listed.tolist()
        del obs, full
        batch.step(choose(batch.observe(), rng))


def test_any_integer_dtype_stride_and_read_only_array_is_an_action():
    actions = GameBatch(3, seed=2).observe().legal_actions[[0, 58, 116]]  # the first listed action of each
    for dtype in ("int16", "uint16", "int32", "uint32", ">i4", "<u8", "int64", "intp"):
        batch = GameBatch(3, seed=2)
        batch.step(actions.astype(dtype))
        assert [batch.game(i).ply for i in range(3)] == [1, 1, 1], dtype
    strided = np.zeros(6, np.int64)
    strided[::2] = actions
    strided.flags.writeable = False
    batch = GameBatch(3, seed=2)
    batch.step(strided[::2])
    batch.step([int(a) for a in batch.observe().legal_actions[[0, 58, 116]]])  # a list works too
    assert batch.game(0).ply == 2


@pytest.mark.parametrize(
    "actions, error, message",
    [
        (np.zeros((3, 1), np.int64), ValueError, r"actions must have shape \(3,\), one per game, got \(3, 1\)"),
        (np.zeros(2, np.int64), ValueError, r"shape \(3,\), one per game, got \(2,\)"),
        (np.int64(0), ValueError, r"got \(\)"),
        (np.zeros(3), TypeError, "actions must be integers, got float64"),
        (np.zeros(3, bool), TypeError, "actions must be integers, got bool"),
        (np.array([0, 0, None]), TypeError, "actions must be integers, got object"),
        (["a", "b", "c"], TypeError, "actions must be integers, got <U1"),
        (np.array([0, 0, -1]), ValueError, r"game 0: action 0 is not legal for agent 0"),
        (np.array([-5, 0, 0]), ValueError, r"game 0: action -5 is not an action index \(0 to 36399\)"),
        (np.array([1, 2, 2**64 - 1], np.uint64), ValueError, "game 0: action 1 is not legal"),
        (np.array([0, 2**64 - 1, 0], np.uint64), ValueError, r"game 1: action 18446744073709551615 is not an action"),
        (np.array([0, 36400, 0]), ValueError, r"game 1: action 36400 is not an action index"),
    ],
)
@pytest.mark.parametrize("observed", [False, True], ids=["unobserved", "observed"])
def test_bad_actions_are_refused_for_the_whole_batch(actions, error, message, observed):
    batch = GameBatch(3, seed=4)
    for _ in range(7):
        batch.step_random()
    listed = batch.observe() if observed else None  # then the step checks against its lists
    if message.startswith("game 0: action 0") or message.startswith("game 1"):
        legal = batch.observe()
        first = legal.legal_actions[legal.legal_offsets[:-1]]
        if message.startswith("game 1"):
            actions, bad = first.astype(actions.dtype), actions[1]
            actions[1] = bad
        agent = legal.current_agent[0]
        message = message.replace("agent 0", f"agent {agent}")
        if 0 in legal.legal_actions[: legal.legal_offsets[1]]:
            pytest.skip("action 0 happens to be legal in game 0")
    before = batch.to_bytes()
    with pytest.raises(error, match=message):
        batch.step(actions)
    np.testing.assert_array_equal(batch.to_bytes(), before)
    if listed is not None:  # which hold after a refusal
        plies = [batch.game(i).ply for i in range(3)]
        batch.step(listed.legal_actions[listed.legal_offsets[:-1]])
        assert [batch.game(i).ply for i in range(3)] == [p + 1 for p in plies]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: GameBatch(0), ValueError, "num_games must be from 1 to"),
        (lambda: GameBatch(-2), ValueError, "got -2"),
        (lambda: GameBatch(2.5), TypeError, "cannot be interpreted as an integer"),
        (lambda: GameBatch(2, reward_mode="best"), ValueError, "Unknown reward mode best"),
        (lambda: GameBatch(2, threads=0), ValueError, "threads must be from 1 to"),
        (lambda: GameBatch(2, seed=-1), ValueError, r"seed must be from 0 to 2\*\*64 - 1, got -1"),
        (lambda: GameBatch(2, seed="x"), TypeError, "cannot be interpreted as an integer"),
        (lambda: GameBatch(2, 3), TypeError, "takes 1 positional arguments but 2 were given"),
        (lambda: GameBatch(2).observe(legal="all"), ValueError, "Unknown legal mode 'all'"),
        (lambda: GameBatch(2).play_random(0), ValueError, "games must be from 1"),
        (lambda: GameBatch(2).game(2), IndexError, "game 2 out of range for a batch of 2 games"),
        (lambda: GameBatch(2).game(-3), IndexError, "game -3 out of range"),
        (lambda: GameBatch(2).set_game(0, object()), TypeError, "'object' object is not an instance of 'PyTegulo'"),
        (lambda: GameBatch.from_bytes(np.zeros((2, 277), np.uint8)), ValueError, r"\(N, 278\).*got \(2, 277\)"),
        (lambda: GameBatch.from_bytes(np.zeros((0, 278), np.uint8)), ValueError, r"got \(0, 278\)"),
        (lambda: GameBatch.from_bytes(np.zeros(278, np.uint8)), ValueError, r"got \(278,\)"),
        (lambda: GameBatch.from_bytes(np.zeros((1, 278), np.int16)), TypeError, "records must be uint8, got int16"),
    ],
)
def test_bad_arguments_are_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_a_bad_record_or_a_finished_game_is_refused_by_number():
    records = GameBatch(3, seed=1).to_bytes()
    bad = records.copy()
    bad[2, 0] = 7
    with pytest.raises(ValueError, match="record 2: Not a game state written by to_bytes"):
        GameBatch.from_bytes(bad)
    finished = PyTegulo()
    while not finished.is_over:
        legal = legal_actions(finished)
        finished.step(legal[0] if legal else None)
    records[1] = np.frombuffer(finished.to_bytes(), np.uint8)
    with pytest.raises(ValueError, match="record 1 is of a game that is over"):
        GameBatch.from_bytes(records)
    batch = GameBatch(2, seed=1)
    before = batch.to_bytes()
    with pytest.raises(ValueError, match="the game is over"):
        batch.set_game(1, finished)
    np.testing.assert_array_equal(batch.to_bytes(), before)


def test_calls_from_several_threads_are_serialised():
    batch, twin = GameBatch(16, seed=6), GameBatch(16, seed=6)
    errors = []

    def work():
        try:
            for _ in range(25):
                batch.step_random()
                batch.observe(legal="both")
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors
    for _ in range(100):
        twin.step_random()
    np.testing.assert_array_equal(batch.to_bytes(), twin.to_bytes())


def test_a_signal_handler_that_reenters_the_batch_is_refused_not_deadlocked():
    batch = GameBatch(64, seed=1)
    seen = []

    def handler(signum, frame):
        try:
            batch.observe()
        except RuntimeError as e:
            seen.append(str(e))

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)  # early in a play of about half a second
        batch.play_random(10000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen == ["GameBatch is already in use by this thread"]
    assert batch.observe().observation.shape == (64, 4, 20, 20)


def test_an_interrupt_stops_play_random_with_the_batch_whole():
    batch = GameBatch(32, seed=1)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            batch.play_random(10**7)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    records = batch.to_bytes()
    assert GameBatch.from_bytes(records).to_bytes().tobytes() == records.tobytes()


def test_arrays_reach_torch_without_a_copy():
    torch = pytest.importorskip("torch")
    obs = GameBatch(2, seed=1).observe()
    with pytest.warns(UserWarning, match="not writable"):
        tensor = torch.from_numpy(obs.legal_actions)
    assert tensor.data_ptr() == obs.legal_actions.__array_interface__["data"][0]
    assert torch.from_dlpack(obs.observation).data_ptr() == obs.observation.__array_interface__["data"][0]


def test_len_repr_and_attributes():
    batch = GameBatch(5, reward_mode="score", threads=3, seed=12)
    assert (len(batch), batch.num_games, batch.threads, batch.reward_mode, batch.seed) == (5, 5, 3, "score", 12)
    assert repr(batch) == "GameBatch(5, reward_mode='score', threads=3)"
    assert GameBatch(2, threads=8).threads == 2  # at most one thread per game
    obs = batch.observe()
    assert obs.observation.dtype == np.uint8 and obs.legal_actions.dtype == np.int64
    assert obs.legal_offsets.shape == (6,) and obs.legal_offsets[-1] == len(obs.legal_actions) == 5 * 58


TOO_LARGE = """
import resource
from tegulo_rl import GameBatch
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
try:
    GameBatch(2**24, threads=1)
except MemoryError as e:
    print("batch:", e)
batch = GameBatch(4, threads=2, seed=1)
before = batch.to_bytes()
try:
    batch.play_random(2**36)
except MemoryError as e:
    print("play_random:", type(e).__name__)
assert (batch.to_bytes() == before).all()
print(batch.play_random(3).shape)
"""


@pytest.mark.skipif(
    bool(os.environ.get("TEGULO_SANITIZED")),
    reason="AddressSanitizer maps terabytes of shadow: no memory limit fits it",
)
def test_a_batch_or_a_play_too_large_for_memory_is_a_memory_error_with_nothing_changed():
    # In a child limited to 3 GB of address space, where these once ended the process.
    run = subprocess.run([sys.executable, "-c", TOO_LARGE], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        f"batch: not enough memory for a batch of {2**24} games",
        "play_random: MemoryError",
        "(3, 4)",
    ]


def test_the_pool_grows_with_the_games_loaded_up_to_the_threads_asked_for():
    batch = GameBatch(1, threads=3, seed=1)
    assert batch.threads == 1  # at most one thread per game
    records = GameBatch(64, threads=1, seed=2).to_bytes()
    batch.load(records[:2])
    assert batch.threads == 2
    batch.load(records)
    assert (batch.threads, repr(batch)) == (3, "GameBatch(64, reward_mode='rank', threads=3)")
    twin = GameBatch.from_bytes(records, threads=3, seed=1)
    np.testing.assert_array_equal(batch.step_random().scores, twin.step_random().scores)


# GameBatch with numpy missing, or present but failing to import.
WITHOUT_NUMPY = """
import sys
if sys.argv[1] == "missing":
    sys.modules["numpy"] = None
else:
    sys.path.insert(0, sys.argv[2])
from tegulo_rl import GameBatch
try:
    GameBatch(2, threads=1, seed=1).observe()
except ImportError as e:
    print(type(e).__name__, e, type(e.__cause__).__name__, sep=" / ")
"""


@pytest.mark.parametrize("case", ["missing", "broken"])
def test_only_a_missing_numpy_asks_for_numpy_and_the_cause_is_kept(case, tmp_path):
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('numpy: a C extension failed to load')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", WITHOUT_NUMPY, case, str(tmp_path)], env=env, capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        {
            "missing": "ImportError / GameBatch needs numpy: pip install 'tegulo-rl[numpy]' / ModuleNotFoundError",
            "broken": "ImportError / numpy: a C extension failed to load / NoneType",
        }[case]
    ]
