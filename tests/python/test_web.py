"""The play page's server through its JSON API, served by uvicorn on 127.0.0.1 and a free port: games
started, played, refused moves, the others thinking off the event loop, finished games kept across a
restart; and the play command."""

import json
import os
import signal
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest

pytest.importorskip("starlette", reason="needs the play extra: pip install '.[play]'")
pytest.importorskip("uvicorn", reason="needs the play extra: pip install '.[play]'")

from tegulo_rl import PyTegulo, _cli, geometry, replays  # noqa: E402
from tegulo_rl.web.server import Games, create_app, serving  # noqa: E402

from conftest import legal_actions  # noqa: E402


def call(url, body=None, raw=None):
    """(status, answer) of a GET, or of a POST of `body` as JSON (or of `raw` bytes)."""
    data = raw if raw is not None else None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, headers={"content-type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            payload = response.read()
            status = response.status
    except urllib.error.HTTPError as error:
        payload, status = error.read(), error.code
    try:
        return status, json.loads(payload)
    except ValueError:
        return status, payload


@pytest.fixture
def server(tmp_path):
    games = Games(tmp_path, ["random"])
    with serving(create_app(games)) as url:
        assert url.startswith("http://127.0.0.1:")
        yield url, games


def test_a_game_through_the_api_to_its_end_and_after_a_restart(server, tmp_path):
    url, games = server
    status, answer = call(f"{url}/api/games", {"players": ["random", "greedy", "heuristic"], "seat": 2, "seed": 5})
    assert status == 201
    game_id = answer["id"]
    state = call(f"{url}/api/games/{game_id}")[1]
    assert state["human"] == 2 and state["agent"] == 2 and state["ply"] == 2
    assert state["players"] == ["random", "greedy", "you", "heuristic"] and not state["over"]
    while not state["over"]:
        game = PyTegulo.from_bytes(call(f"{url}/api/games/{game_id}/record")[1])
        assert state["legal"] == legal_actions(game, 2) and state["agent"] == 2
        for action, orientation, anchor in state["placements"]:
            assert geometry.action_cells(action, 2) == tuple(sorted(geometry.catalogue().cells(orientation, anchor)))
        status, state = call(f"{url}/api/games/{game_id}/moves", {"action": state["legal"][-1]})
        assert status == 200
    assert sorted(state["ranks"]) == sorted(1 + sum(o > s for o in state["scores"]) for s in state["scores"])
    record = call(f"{url}/api/games/{game_id}/record")[1]
    assert PyTegulo.from_bytes(record).is_over and PyTegulo.from_bytes(record).scores == state["scores"]
    assert (tmp_path / f"{game_id}.tegulo").read_bytes() == record
    status, page = call(f"{url}/api/games/{game_id}/replay.html")
    assert status == 200 and page.count(b"tegulo-board") == state["ply"]
    # The saved steps replay the game as played, to its record.
    positions = replays.from_saved(tmp_path / f"{game_id}.json")
    assert len(positions) == state["ply"] + 1 and positions[-1][:-1] == record[:-1]
    assert _cli.main(["replay", str(tmp_path / f"{game_id}.json"), "--out", str(tmp_path / "g.svg")]) == 0
    # Another server on the same folder has the finished game, as it ended.
    with serving(create_app(Games(tmp_path, ["random"]))) as again:
        assert call(f"{again}/api/games/{game_id}")[1] == state
        assert call(f"{again}/api/games/{game_id}/record")[1] == record


def test_refused_requests_change_nothing(server):
    url, games = server
    game_id = call(f"{url}/api/games", {"players": ["random"], "seat": 0, "seed": 1})[1]["id"]
    before = call(f"{url}/api/games/{game_id}")[1]
    moves = f"{url}/api/games/{game_id}/moves"
    for body, raw, status, message in [
        ({"action": 1}, None, 422, "not a legal placement"),
        ({"action": "0"}, None, 400, 'expected {"action"'),
        ({"action": True}, None, 400, 'expected {"action"'),
        (None, b"{not json", 400, "malformed JSON"),
        ([0], None, 400, 'expected {"action"'),
    ]:
        answer = call(moves, body, raw)
        assert answer[0] == status and message in answer[1]["error"], answer
    assert call(f"{url}/api/games/{game_id}")[1] == before
    for path in ("", "/record", "/replay.html"):
        assert call(f"{url}/api/games/nothing{path}") == (404, {"error": 'no game "nothing"'})
    assert call(f"{url}/api/games/nothing/moves", {"action": 0})[0] == 404
    for body, message in [
        ({"players": ["random", "bogus", "random"]}, "Unknown player 'bogus'"),
        ({"players": ["random", "random"]}, "one or three"),
        ({"players": ["random"], "seat": 4}, "seat: expected a whole number from 0 to 3"),
        ({"players": ["random"], "seed": -1}, "seed: expected"),
        ([], "expected a JSON object"),
    ]:
        status, answer = call(f"{url}/api/games", body)
        assert status == 400 and message in answer["error"], answer
    assert list(games.sessions) == [game_id]
    # Out of turn: the person's move played behind the server's back leaves agent 1 to move.
    session = games.sessions[game_id]
    with session.lock:
        session.apply(before["legal"][0])
    status, answer = call(moves, {"action": before["legal"][1]})
    assert status == 409 and "not your turn: agent 1" in answer["error"]
    assert call(f"{url}/api/games/{game_id}")[1]["ply"] == 1


def test_the_others_think_off_the_event_loop(server):
    url, _ = server
    game_id = call(f"{url}/api/games", {"players": ["mcts:1500"], "seat": 0, "seed": 2})[1]["id"]
    state = call(f"{url}/api/games/{game_id}")[1]
    answers = []
    thread = threading.Thread(
        target=lambda: answers.append(call(f"{url}/api/games/{game_id}/moves", {"action": state["legal"][0]}))
    )
    thread.start()
    seen = set()
    while thread.is_alive():  # the state reads (and another request) answer while a search runs
        now = call(f"{url}/api/games/{game_id}")[1]
        seen.add(now["thinking"])
        assert call(f"{url}/api/config")[0] == 200
        if now["thinking"] is not None:
            assert now["legal"] == [] and now["agent"] == now["thinking"]
            status, answer = call(f"{url}/api/games/{game_id}/moves", {"action": 0})
            if status == 409:  # one move at a time
                assert "still playing" in answer["error"]
            else:  # unless the search ended in between
                assert call(f"{url}/api/games/{game_id}")[1]["thinking"] is None
    thread.join()
    assert seen & {1, 2, 3}
    status, after = answers[0]
    assert status == 200 and after["ply"] == 4 and after["thinking"] is None and after["legal"]


def test_the_play_command_serves_on_localhost_and_stops_on_ctrl_c(tmp_path):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    command = [sys.executable, "-m", "tegulo_rl", "play", "--against", "greedy", "--port", "0", "--no-open"]
    process = subprocess.Popen(
        [*command, "--games-dir", str(tmp_path / "games")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    try:
        line = process.stdout.readline().decode()
        assert line.startswith("Playing at http://127.0.0.1:"), line
        url = line.split()[2].rstrip("/")
        assert call(f"{url}/api/config")[1]["against"] == ["greedy"]
        status, page = call(f"{url}/")
        assert status == 200 and b"/static/page.js" in page
        assert call(f"{url}/static/page.js")[0] == 200
    finally:
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode in (0, 130), err
    assert (tmp_path / "games").is_dir()
    refused = subprocess.run([*command, "--against", "random", "greedy"], capture_output=True, text=True, env=env)
    assert refused.returncode == 2 and "one player" in refused.stderr
    refused = subprocess.run([*command[:-1], "--against", "nobody"], capture_output=True, text=True, env=env)
    assert refused.returncode == 2 and "Unknown player 'nobody'" in refused.stderr
