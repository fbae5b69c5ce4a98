"""Files no game could have written: a play server whose games folder holds them still starts and serves its
good games, and skips each bad one with one line in its log; the replay command refuses them (and records
and self-play data of impossible games) with exit status 1 and one line naming the file and the fault."""

import json
import logging
import subprocess
import sys

import pytest

from tegulo_rl import _cli, replays
from tegulo_rl._tegulo import PyTegulo

from conftest import legal_actions


def played_steps(seed, plies):
    """The steps of the play page's format for a game of random moves, `plies` placements long."""
    import random

    rng, game, steps = random.Random(seed), PyTegulo(), []
    while game.ply < plies and not game.is_over:
        legal = legal_actions(game)
        steps.append(rng.choice(legal) if legal else None)
        game.step(steps[-1])
    return steps, game


def saved_game(game_id="0123456789ab", plies=20, seed=1):
    steps, game = played_steps(seed, plies)
    return {"id": game_id, "players": ["you", "random", "random", "random"], "human": 0, "seed": 5, "steps": steps,
            "record": game.to_bytes().hex()}  # fmt: skip


def changed(**fields):
    return lambda good: {**good, **fields}


def with_step(index, value):
    def change(good):
        steps = list(good["steps"])
        steps[index] = value
        return {**good, "steps": steps}

    return change


def illegal_step(good):
    game = PyTegulo()
    for step in good["steps"][:5]:
        game.step(step)
    illegal = next(a for a in range(PyTegulo.num_actions) if a not in set(legal_actions(game)))
    return with_step(5, illegal)(good)


# Each bad file: how it is made from a good game's JSON (or its text), and the fault that names it.
BAD_FILES = [
    pytest.param(illegal_step, "step 5: action", id="illegal-step"),
    pytest.param(with_step(3, -1), "step 3: expected an action from 0 to 36399, got -1", id="negative-step"),
    pytest.param(with_step(2, 36400), "step 2: expected an action", id="step-out-of-range"),
    pytest.param(with_step(2, True), "step 2: expected an action", id="step-a-bool"),
    pytest.param(changed(players=["you", "random", "random"]), "players: expected 4 names", id="short-players"),
    pytest.param(changed(human=7), "human: expected a seat", id="human-out-of-range"),
    pytest.param(changed(human=1), "the person's seat 1 is named", id="human-not-you"),
    pytest.param(changed(seed=-1), "seed: expected", id="negative-seed"),
    pytest.param(changed(record="00"), "do not lead to its record", id="wrong-record"),
    pytest.param(lambda good: {k: v for k, v in good.items() if k != "steps"}, "no steps", id="no-steps"),
    pytest.param(lambda good: [good], "expected a JSON object", id="a-list"),
    pytest.param(lambda good: "[" * 100_000, "nested too deep", id="deep"),
    pytest.param(lambda good: '{"steps": [' + "9" * 5000 + "]}", "Exceeds the limit", id="long-int"),
    pytest.param(lambda good: b"\xff\xfe\xfa", "not UTF-8", id="not-utf8"),
    pytest.param(lambda good: "x" * 300_000, "too large", id="too-large"),
    pytest.param(lambda good: json.dumps(good)[:100], "Unterminated", id="cut-short"),
]


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content if isinstance(content, str) else json.dumps(content))


@pytest.fixture(scope="module")
def good_games():
    finished = saved_game("aaaaaaaaaaaa", plies=200, seed=2)
    assert PyTegulo.from_bytes(bytes.fromhex(finished["record"])).is_over
    return finished, saved_game("bbbbbbbbbbbb", plies=12, seed=3)


def test_a_games_folder_with_bad_files_still_starts_and_serves_its_good_games(tmp_path, good_games, caplog):
    pytest.importorskip("starlette", reason="needs the play extra: pip install '.[play]'")
    pytest.importorskip("uvicorn", reason="needs the play extra: pip install '.[play]'")
    from webclient import send

    from tegulo_rl.web.server import Games, create_app, serving

    finished, unfinished = good_games
    for game in good_games:
        write(tmp_path / f"{game['id']}.json", game)
    bad_ids = {}
    for number, case in enumerate(BAD_FILES):
        game_id = f"{number:012x}"
        made = case.values[0](dict(unfinished, id=game_id))
        write(tmp_path / f"{game_id}.json", made)
        bad_ids[game_id] = case.values[1]
    # A file of the right name that holds another game: the id of its content never becomes a path.
    write(tmp_path / "cccccccccccc.json", dict(unfinished, id="../../escape"))
    bad_ids["cccccccccccc"] = "holds the game"
    write(tmp_path.parent / "escape.json", dict(unfinished, id="../escape"))
    caplog.set_level(logging.WARNING, logger="tegulo_rl.web")
    with serving(create_app(Games(tmp_path, ["random"]))) as url:
        state = send(url, "GET", f"/api/games/{finished['id']}")
        assert state[0] == 200 and state[2]["over"] and state[2]["ply"] == len([s for s in finished["steps"] if s])
        status, _, state = send(url, "GET", f"/api/games/{unfinished['id']}")
        assert status == 200 and state["ply"] == 12 and not state["over"]
        for _ in range(2):  # asked again, a bad file is not read, nor logged, again
            for game_id, fault in bad_ids.items():
                status, _, answer = send(url, "GET", f"/api/games/{game_id}")
                assert status == 404 and "its file is refused" in answer["error"] and fault in answer["error"], answer
        for path in ("../escape", "..%2Fescape", "%2e%2e%2fescape"):
            assert send(url, "GET", f"/api/games/{path}")[0] == 404
    lines = [record.getMessage() for record in caplog.records if record.name == "tegulo_rl.web"]
    assert len(lines) == len(bad_ids)
    for game_id, fault in bad_ids.items():
        assert sum(f"{game_id}.json: " in line and fault in line for line in lines) == 1, (game_id, lines)


def replay(tmp_path, *args):
    return _cli.main(["replay", *map(str, args), "--out", str(tmp_path / "out.html")])


@pytest.mark.parametrize("make, fault", BAD_FILES)
def test_replay_refuses_a_bad_saved_game_with_one_line(tmp_path, good_games, make, fault, capsys):
    path = tmp_path / "game.json"
    write(path, make(dict(good_games[1])))
    assert replay(tmp_path, path) == _cli.EXIT_FAILURE
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"replay: error: {path}: ") and fault in err, err
    assert not (tmp_path / "out.html").exists()


def record(cells, placed, to_move=0):
    return replays.encode(cells, placed, to_move)


BAD_RECORDS = [
    pytest.param(record([[0], [0], [], []], [[0], [0], [], []]), "agents 0 and 1 both hold cell 0", id="shared-cell"),
    pytest.param(
        record([[0], [], [], []], [[1], [], [], []]),
        "agent 0 has the pieces I1 on the board, but the record says it placed I2",
        id="other-kind",
    ),
    pytest.param(
        record([[21], [], [], []], [[0], [], [], []]), "none of agent 0's pieces covers its corner", id="off-corner"
    ),
    pytest.param(
        record([[0, 22, 23], [], [], []], [[0, 1], [], [], []]), "touches no corner of its other pieces", id="unchained"
    ),
    pytest.param(record([[0, 2], [], [], []], [[0, 1], [], [], []]), "has the pieces I1 I1", id="a-kind-twice"),
    pytest.param(
        record([[0, 1, 20], [], [], []], [[2], [], [], []])[:-1],
        "not a record (278 bytes, this is 277)",
        id="277-bytes",
    ),
]


@pytest.mark.parametrize("data, fault", BAD_RECORDS)
def test_replay_refuses_a_record_no_game_reaches(tmp_path, data, fault, capsys):
    path = tmp_path / "game.tegulo"
    path.write_bytes(data)
    assert replay(tmp_path, path) == _cli.EXIT_FAILURE
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"replay: error: {path}: ") and fault in err, err


def test_replay_refuses_self_play_data_with_a_decision_missing_or_wrong(tmp_path, capsys):
    pq = pytest.importorskip("pyarrow.parquet", reason="self-play data needs pyarrow")
    import pyarrow.compute as pc

    from tegulo_rl import selfplay

    table = selfplay.play_shard(selfplay.make_plan("greedy", 2, seed=2, shard_games=2), 0)
    pq.write_table(table, tmp_path / "good.parquet")
    assert replay(tmp_path, tmp_path / "good.parquet", "--game", 1) == _cli.EXIT_OK
    missing = table.filter(pc.invert(pc.and_(pc.equal(table["game"], 1), pc.equal(table["ply"], 5))))
    pq.write_table(missing, tmp_path / "missing.parquet")
    actions = table["action"].to_pylist()
    rows = list(zip(table["game"].to_pylist(), table["ply"].to_pylist(), strict=True))
    row = rows.index((1, 9))
    actions[row] = 0
    wrong = table.set_column(table.schema.get_field_index("action"), "action", [actions])
    pq.write_table(wrong, tmp_path / "wrong.parquet")
    capsys.readouterr()
    for name, fault in (("missing", "has no decision at ply 5"), ("wrong", "ply 9")):
        assert replay(tmp_path, tmp_path / f"{name}.parquet", "--game", 1) == _cli.EXIT_FAILURE
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and f"{name}.parquet" in err and fault in err, err
    assert replay(tmp_path, tmp_path / "good.parquet", "--game", 7) == _cli.EXIT_FAILURE
    assert "no game 7" in capsys.readouterr().err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--game", str(2**63)], "must be less than 2**63"),
        (["--game", "-1"], "must be at least 0"),
        (["--seconds", "0"], "must be a finite number above 0"),
        (["--seconds", "nan"], "must be a finite number above 0"),
        (["--seconds", "inf"], "must be a finite number above 0"),
    ],
)
def test_replay_refuses_arguments_out_of_range_as_usage_errors(tmp_path, args, message, capsys):
    with pytest.raises(SystemExit) as exited:
        replay(tmp_path, tmp_path, *args)
    assert exited.value.code == _cli.EXIT_USAGE and message in capsys.readouterr().err


def test_replay_of_a_bad_file_prints_no_traceback(tmp_path, good_games):
    path = tmp_path / "game.json"
    write(path, with_step(3, -1)(dict(good_games[1])))
    run = subprocess.run([sys.executable, "-m", "tegulo_rl", "replay", str(path), "--out", str(tmp_path / "g.html")],
                         capture_output=True, text=True, timeout=300)  # fmt: skip
    assert run.returncode == 1 and run.stderr.splitlines() == [f"replay: error: {path}: step 3: expected an action "
                                                               "from 0 to 36399, got -1"]  # fmt: skip
