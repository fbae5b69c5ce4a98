"""Self-play data: shards on a real local Ray instance, replayed against PyTegulo, written exactly once."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ray = pytest.importorskip("ray")

from tegulo_rl import GameBatch, PyTegulo, _cli, as_arrays, selfplay  # noqa: E402
from tegulo_rl._cli import Progress  # noqa: E402
from tegulo_rl.commands.selfplay import shard_progress  # noqa: E402

from conftest import legal_actions  # noqa: E402

MIXED = ["random", "greedy", "random", "greedy"]  # greedy plays agents 1 and 3
ARGS = {"player": "random", "games": 12, "shard_games": 5, "seed": 3}  # shards of 5, 5 and 2 games
REWARDS = [f"rewards_{mode}" for mode in PyTegulo.reward_modes]


@pytest.fixture(scope="module")
def crash_dir(tmp_path_factory):
    """One local Ray instance for the module, its workers armed with the crash hook's directory."""
    if os.environ.get("TEGULO_SANITIZED"):
        # Ray's workers inherit the sanitizer runtime, and AddressSanitizer stops one in
        # Ray's own process-title code (a read past a heap block in spt_setup); the raylet
        # then waits for it for good. The rest of the suite covers our code there.
        pytest.skip("Ray's workers do not start under AddressSanitizer")
    armed = tmp_path_factory.mktemp("armed")
    os.environ[selfplay.CRASH_ENV] = str(armed)  # before Ray starts, so that its workers inherit it
    try:
        with selfplay.local_ray(num_cpus=2):
            yield armed
    finally:
        del os.environ[selfplay.CRASH_ENV]


def files(out):
    return {name: (out / name).read_bytes() for name in sorted(os.listdir(out))}


@pytest.fixture(scope="module")
def reference(crash_dir, tmp_path_factory):
    """Every file's bytes after a clean run of ARGS on two workers."""
    out = tmp_path_factory.mktemp("reference")
    summary = selfplay.generate(out=out, workers=2, **ARGS)
    assert (summary.shards_written, summary.shards_skipped, summary.games) == (3, 0, 12)
    return files(out)


@pytest.fixture(scope="module")
def mixed(crash_dir, tmp_path_factory):
    out = tmp_path_factory.mktemp("mixed")
    selfplay.generate(MIXED, 10, out, shard_games=4, seed=1)
    return out


def rows_of(out):
    return pa.concat_tables(pq.read_table(path) for path in selfplay.shard_paths(out)).to_pydict()


def test_rows_replay_to_every_logged_position_and_the_final_result(mixed):
    rows = rows_of(mixed)
    games = np.array(rows["game"])
    assert games.tolist() == sorted(games.tolist()) and np.unique(games).tolist() == list(range(10))
    sizes = {"greedy": [], "random": []}  # (cells placed, most cells a legal action places)
    for g in range(10):
        index = np.flatnonzero(games == g)
        game = PyTegulo()  # every game starts from the empty board
        for ply, i in enumerate(index):
            agent, action = rows["agent"][i], rows["action"][i]
            assert (rows["record"][i], rows["ply"][i], agent) == (game.to_bytes(), ply, game.agent_selection), (g, ply)
            legal = legal_actions(game)
            assert rows["legal_count"][i] == len(legal) and action in legal
            gains = []
            for a in legal:
                trial = game.copy()
                trial.step(a)
                gains.append(trial.scores[agent] - game.scores[agent])
            sizes[MIXED[agent]].append((gains[legal.index(action)], max(gains)))
            game.step(action)
            while not game.is_over and game.terminations[game.agent_selection]:
                game.step(None)
        assert game.is_over, g
        for i in index:  # every row of a game holds its final result
            assert rows["scores"][i] == game.scores
            for name, mode in zip(REWARDS, PyTegulo.reward_modes, strict=True):
                assert rows[name][i] == pytest.approx(game.outcome(mode)), mode
    # Seat a is played by player a: greedy seats always place a largest piece, random ones not.
    assert all(placed == most for placed, most in sizes["greedy"])
    assert any(placed < most for placed, most in sizes["random"])


def test_shards_and_manifest_describe_the_run(mixed):
    manifest = selfplay.read_manifest(mixed)
    assert [(s["shard"], s["file"], s["games"]) for s in manifest["shards"]] == [
        (k, f"shard-0000{k}.parquet", games) for k, games in enumerate([4, 4, 2])
    ]
    for s in manifest["shards"]:
        table = pq.read_table(mixed / s["file"])
        assert table.num_rows == s["rows"] and table.schema == selfplay.schema()
        assert sorted(set(table.column("game").to_pylist())) == list(range(4 * s["shard"], 4 * s["shard"] + s["games"]))
    assert (manifest["seed"], manifest["games"], manifest["shard_games"], manifest["num_shards"]) == (1, 10, 4, 3)
    assert [p["name"] for p in manifest["players"]] == MIXED and manifest["complete"]
    assert manifest["rows"] == sum(s["rows"] for s in manifest["shards"]) and manifest["games_written"] == 10
    assert manifest["versions"]["pyarrow"] == pa.__version__ and set(manifest["versions"]) >= {"ray", "python"}
    assert {f["name"]: f["type"] for f in manifest["schema"]}["record"] == "fixed_size_binary[278]"
    # Plain Parquet readers of the directory pass the manifest by.
    assert pq.read_table(mixed).num_rows == ray.data.read_parquet(str(mixed)).count() == manifest["rows"]


def test_a_shard_follows_from_the_seed_and_its_number_alone():
    plan, longer = selfplay.make_plan("random", 12, 3, 5), selfplay.make_plan("random", 40, 3, 5)
    last = selfplay.play_shard(plan, 2)
    assert set(last.column("game").to_pylist()) == {10, 11}
    assert selfplay.play_shard(longer, 2).slice(0, last.num_rows).equals(last)  # a short shard: a full one's first
    assert selfplay.play_shard(longer, 1).equals(selfplay.play_shard(plan, 1))
    records = {selfplay.play_shard(p, k).column("record")[3].as_py() for p in (plan, longer) for k in (0, 1)}
    other = selfplay.play_shard(selfplay.make_plan("random", 12, 4, 5), 1)
    assert len(records) == 2 and other.column("record")[3].as_py() not in records


def test_a_shard_keeps_its_batch_games_in_the_order_they_end():
    table = selfplay.play_shard(selfplay.make_plan("random", 80, 7, 40), 1).to_pydict()
    games = np.array(table["game"])
    logged = [(table["scores"][np.flatnonzero(games == g)[-1]], int(np.sum(games == g))) for g in range(40, 80)]
    # The same games played another way: step_players, one call a round.
    batch = GameBatch(40, threads=2, seed=selfplay.shard_seed(7, 1))
    ended = []
    while len(ended) < 40:
        result = batch.step_players("random")
        ended += [(result.scores[i].tolist(), PyTegulo.from_bytes(result.final_records[i].tobytes()).ply)
                  for i in np.flatnonzero(result.terminated)]  # fmt: skip
    assert logged == ended[:40]


def test_a_rerun_writes_nothing_and_changes_no_byte(reference, tmp_path):
    first = selfplay.generate(out=tmp_path, workers=2, **ARGS)
    again = selfplay.generate(out=tmp_path, **ARGS)
    assert (again.shards_written, again.shards_skipped, again.games_played) == (0, 3, 0)
    assert (again.games, again.rows) == (12, first.rows_played)
    assert files(tmp_path) == reference


def test_one_worker_writes_what_two_do_and_a_rerun_redoes_only_what_is_missing(reference, tmp_path):
    out, armed = tmp_path / "out", tmp_path / "armed"
    armed.mkdir()
    selfplay.generate(out=out, workers=1, **ARGS)
    assert files(out) == reference
    (out / "shard-00001.parquet").unlink()
    # A writer of shard 1 killed in a process of its own leaves a hidden part of its file, and nothing else.
    (armed / "1").touch()
    code = (
        f"from tegulo_rl import selfplay; selfplay.write_shard(selfplay.make_plan('random', 12, 3, 5), 1, {str(out)!r})"
    )
    run = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, **{selfplay.CRASH_ENV: str(armed)}))
    assert run.returncode == 1 and not (armed / "1").exists()
    (left,) = [p for p in out.iterdir() if p.name.startswith(".shard-00001.parquet.")]
    assert left.stat().st_size > 0 and not (out / "shard-00001.parquet").exists()
    with pytest.raises(pa.ArrowInvalid):
        pq.read_metadata(left)
    summary = selfplay.generate(out=out, workers=1, **ARGS)
    assert (summary.shards_written, summary.shards_skipped, summary.games_played) == (1, 2, 5)
    assert files(out) == reference


def test_a_worker_killed_mid_shard_is_retried_to_the_same_bytes(reference, crash_dir, tmp_path):
    (crash_dir / "1").touch()  # the first attempt at shard 1 dies after writing part of its file
    summary = selfplay.generate(out=tmp_path, **ARGS)
    assert not (crash_dir / "1").exists() and summary.shards_written == 3  # the hook fired
    assert files(tmp_path) == reference


def test_the_command_joins_a_running_cluster_and_leaves_it_running(reference, tmp_path):
    args = ["--games", "12", "--shard-games", "5", "--seed", "3", "--player", "random", "--out", str(tmp_path)]
    address = ray.get_runtime_context().gcs_address
    command = [sys.executable, "-m", "tegulo_rl", "selfplay", *args, "--address", address]
    run = subprocess.run(command, capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stderr
    assert f"12 games, {selfplay.read_manifest(tmp_path)['rows']} rows in {tmp_path}" in run.stdout
    assert "shards: 3 written, 0 skipped" in run.stdout and "3/3 shards" in run.stderr
    assert files(tmp_path) == reference
    assert ray.get(ray.put(7)) == 7  # our cluster is still up


def test_load_gives_what_each_mover_saw_and_its_targets(mixed):
    rows = rows_of(mixed)
    batches = list(selfplay.load(mixed, batch_size=64, columns=selfplay.EXAMPLE_COLUMNS))
    assert [len(b["action"]) for b in batches[:-1]] == [64] * (len(batches) - 1)
    assert sum(len(b["action"]) for b in batches) == len(rows["game"])
    row = 0
    for b in batches:
        assert b["action"].dtype == np.int64 and b["target"].dtype == np.float32 and b["action_mask"].dtype == bool
        for i in range(len(b["action"])):
            game = PyTegulo.from_bytes(rows["record"][row])
            assert b["record"][i].tobytes() == rows["record"][row] and b["game"][i] == rows["game"][row]
            seen = as_arrays(game.observe(game.agent_selection))
            for name in selfplay.PLANES:
                np.testing.assert_array_equal(b[name][i], getattr(seen, name), err_msg=name)
            np.testing.assert_array_equal(b["action_mask"][i], seen.action_mask.view(bool))
            listed = b["legal_actions"][b["legal_offsets"][i] : b["legal_offsets"][i + 1]]
            assert listed.tolist() == np.flatnonzero(b["action_mask"][i]).tolist() and b["legal_count"][i] == len(
                listed
            )
            assert b["action"][i] == rows["action"][row] and b["action_mask"][i, b["action"][i]]
            agent, rank = rows["agent"][row], rows["rewards_rank"][row]
            assert b["target"][i].tolist() == pytest.approx([rank[(agent + s) % 4] for s in range(4)])
            row += 1


def test_load_reads_only_what_it_is_asked_for(mixed):
    (b,) = selfplay.load(mixed, batch_size=10**6, columns=("target", "agent", "scores"), reward_mode="score")
    assert list(b) == ["target", "agent", "scores"]
    np.testing.assert_array_equal(b["scores"], rows_of(mixed)["scores"])
    mover = b["scores"][np.arange(len(b["agent"])), b["agent"]]
    np.testing.assert_array_equal(b["target"][:, 0], mover)  # score rewards are the scores, the mover's first
    assert all(a.flags.writeable and a.flags.c_contiguous for a in b.values())  # as torch.from_numpy likes them


def test_bad_arguments_are_refused_clearly(crash_dir, mixed, tmp_path, capsys):
    cases = [
        (dict(player="random", games=0), "games must be at least 1, got 0"),
        (dict(player="random", games=5, shard_games=0), "shard_games must be at least 1, got 0"),
        (dict(player="bogus", games=5), "Unknown player 'bogus'"),
        (dict(player=["random"] * 3, games=5), "one per seat, four, got 3"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            selfplay.generate(out=tmp_path / "new", **kwargs)
    assert not (tmp_path / "new").exists()
    before = files(mixed)
    with pytest.raises(selfplay.RunMismatch, match=r"other arguments \(seed: 1 there, 2 here\)"):
        selfplay.generate(MIXED, 10, mixed, shard_games=4, seed=2)
    with pytest.raises(selfplay.RunMismatch, match="players"):
        selfplay.generate("random", 10, mixed, shard_games=4, seed=1)
    assert files(mixed) == before
    (tmp_path / "shard-00000.parquet").write_bytes(b"")
    with pytest.raises(selfplay.RunMismatch, match="no _manifest.json"):
        selfplay.generate("random", 5, tmp_path)
    with pytest.raises(ValueError, match="unknown columns"):
        next(selfplay.load(mixed, columns=("planes",)))
    assert _cli.main(["selfplay", "--games", "0", "--out", str(tmp_path)]) == 2
    assert capsys.readouterr().err == "selfplay: error: games must be at least 1, got 0\n"


def test_without_the_extras_the_error_names_them_and_the_module_still_loads(tmp_path):
    code = (
        "import sys; sys.modules['pyarrow'] = sys.modules['numpy'] = None\n"
        "from tegulo_rl import selfplay\n"
        f"try: selfplay.generate('random', 5, {str(tmp_path)!r})\n"
        "except ImportError as error: print(error)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "pip install 'tegulo-rl[selfplay]'" in run.stdout and "numpy is missing" in run.stdout


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_shows_shards_and_games_per_second():
    ticks = iter(range(100))
    stream = io.StringIO()
    progress = shard_progress(Progress("shards", stream, lines=10), clock=lambda: float(next(ticks)))
    for done in range(0, 21):
        progress(done, 20, 100 * done)
    lines = stream.getvalue().splitlines()
    assert len(lines) == 10 and lines[0] == "2/20 shards (10%), 200 games played, 67 games/s"  # 200 games in 3 ticks
    terminal = Terminal()
    shard_progress(Progress("shards", terminal), clock=lambda: 0.0)(4, 4, 40)
    assert terminal.getvalue() == "\r[" + "#" * 40 + "] 4/4 shards, 40 games played, -\x1b[K\n"  # redrawn in place
