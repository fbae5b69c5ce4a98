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

from webclient import send  # noqa: E402

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
    command = [sys.executable, "-m", "tegulo_rl", "play", "--against", "greedy", "--port", "0", "--no-open",
               "--max-simulations", "10"]  # fmt: skip
    process = subprocess.Popen(
        [*command, "--games-dir", str(tmp_path / "games")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    try:
        line = process.stdout.readline().decode()
        assert line.startswith("Playing at http://127.0.0.1:"), line
        url = line.split()[2].rstrip("/")
        config = call(f"{url}/api/config")[1]
        assert config["against"] == ["greedy"] and config["max_simulations"] == 10
        assert call(f"{url}/api/games", {"players": ["mcts:11"]})[0] == 403
        assert send(url, "GET", "/api/config", headers={"Host": "attacker.example"})[0] == 403
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
    refused = subprocess.run([*command, "--against", "nobody"], capture_output=True, text=True, env=env)
    assert refused.returncode == 2 and "Unknown player 'nobody'" in refused.stderr


# --- What a client may name -----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, status, message",
    [
        ("mcts:4294967295", 403, "at most 50 simulations"),
        ("mcts:51", 403, "at most 50 simulations"),
        ("mcts", 403, "at most 50 simulations"),  # mcts alone is 1,000
        ("az:1000000000000", 403, "network players are chosen on the command line"),
        ("az", 403, "network players"),
        ("net", 403, "network players"),
        ("net:/etc/passwd", 403, "network players"),
        ("net:../../checkpoint.safetensors", 403, "network players"),
        ("mcts:x", 400, "simulations must be a whole number"),
        ("greedy:5", 400, "only mcts takes"),
        ("", 400, "of 1 to 100 characters"),
        (7, 400, "a player is named by a string"),
    ],
)
def test_players_a_client_may_not_name_are_refused(tmp_path, name, status, message):
    games = Games(tmp_path, ["random"], max_simulations=50)
    with serving(create_app(games)) as url:
        answer = call(f"{url}/api/games", {"players": ["random", name, "greedy"], "seat": 0})
        assert answer[0] == status and message in answer[1]["error"], answer
        assert games.sessions == {} and list(tmp_path.iterdir()) == []
        assert call(f"{url}/api/games", {"players": ["mcts:50", "random", "heuristic"], "seat": 3})[0] == 201


def test_the_command_lines_players_play_under_their_exact_names(tmp_path):
    torch = pytest.importorskip("torch", reason="network players need torch")  # noqa: F841
    pytest.importorskip("safetensors", reason="network players need safetensors")
    games = Games(tmp_path, ["net", "mcts:3000", "az:2"], max_simulations=50)
    with serving(create_app(games)) as url:
        assert call(f"{url}/api/config")[1]["against"] == ["net", "mcts:3000", "az:2"]
        status, answer = call(f"{url}/api/games", {"players": ["net", "az:2", "mcts:3000"], "seat": 3, "seed": 1})
        assert status == 201, answer
        state = call(f"{url}/api/games/{answer['id']}")[1]
        assert state["players"] == ["net", "az:2", "mcts:3000", "you"] and state["ply"] == 3
        for refused in ("az:3", "net:/etc/passwd", "mcts:3001"):
            assert call(f"{url}/api/games", {"players": [refused], "seat": 3})[0] == 403


# --- Seeds, failures, restarts ----------------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [2**45, 2**63 - 1])
@pytest.mark.parametrize("seat", [1, 3])
def test_the_largest_seeds_play_at_every_seat(server, seed, seat):
    url, games = server
    body = {"players": ["heuristic", "greedy", "random"], "seat": seat, "seed": seed}
    created = [call(f"{url}/api/games", body) for _ in range(2)]
    assert [status for status, _ in created] == [201, 201], created
    first, second = (call(f"{url}/api/games/{answer['id']}")[1] for _, answer in created)
    assert first["ply"] == seat and first["last"] == second["last"]  # the same seed plays the same game
    status, after = call(f"{url}/api/games/{first['id']}/moves", {"action": first["legal"][0]})
    assert status == 200 and after["ply"] == seat + 4 and after["legal"]
    assert call(f"{url}/api/games", {**body, "seed": 2**63})[0] == 400


def test_a_player_that_fails_is_reported_and_the_game_recovers(tmp_path):
    pytest.importorskip("torch", reason="the failing player is a network whose checkpoint comes and goes")
    pytest.importorskip("safetensors", reason="network players need safetensors")
    from tegulo_rl.net import BASELINE

    checkpoint = tmp_path / "net.safetensors"
    version = iter(range(1, 100))

    def write(data):  # each version of the file a time of its own, so the network is read again
        checkpoint.write_bytes(data)
        os.utime(checkpoint, (1e9 + next(version), 1e9 + next(version)))

    folder = tmp_path / "games"
    games = Games(folder, ["random", f"net:{checkpoint}", "random"])
    with serving(create_app(games)) as url:
        status, answer = call(f"{url}/api/games", {"seat": 2, "seed": 6})
        assert status == 502 and "agent 1 (yellow, net:" in answer["error"] and "no such checkpoint" in answer["error"]
        assert games.sessions == {} and list(folder.iterdir()) == []
        write(open(BASELINE, "rb").read())
        status, answer = call(f"{url}/api/games", {"seat": 2, "seed": 6})
        assert status == 201
        game_id = answer["id"]
        before = call(f"{url}/api/games/{game_id}")[1]
        saved = (folder / f"{game_id}.json").read_bytes()
        write(b"not a checkpoint")
        for _ in range(2):  # the same failure again: nothing moved, nothing kept half done
            status, answer = call(f"{url}/api/games/{game_id}/moves", {"action": before["legal"][0]})
            assert status == 502 and "agent 1" in answer["error"] and "try again" in answer["error"], answer
            assert call(f"{url}/api/games/{game_id}")[1] == before
            assert (folder / f"{game_id}.json").read_bytes() == saved
        write(open(BASELINE, "rb").read())
        status, after = call(f"{url}/api/games/{game_id}/moves", {"action": before["legal"][0]})
        assert status == 200 and after["ply"] == before["ply"] + 4 and after["thinking"] is None


def test_unfinished_games_resume_after_a_restart_and_leave_memory_when_idle(tmp_path):
    games = Games(tmp_path, ["greedy"], max_games=2)
    with serving(create_app(games)) as url:
        ids = [call(f"{url}/api/games", {"seat": 1, "seed": seed})[1]["id"] for seed in range(3)]
        assert list(games.sessions) == ids[1:]  # the one idle longest left memory, not the disk
        state = call(f"{url}/api/games/{ids[0]}")[1]
        assert list(games.sessions) == [ids[2], ids[0]] and state["ply"] == 1  # read back; now ids[1] is idle longest
        status, state = call(f"{url}/api/games/{ids[0]}/moves", {"action": state["legal"][0]})
        assert status == 200
    with serving(create_app(Games(tmp_path, ["greedy"]))) as again:
        assert call(f"{again}/api/games/{ids[0]}")[1] == state
        status, after = call(f"{again}/api/games/{ids[0]}/moves", {"action": state["legal"][-1]})
        assert status == 200 and after["ply"] == state["ply"] + 4


def test_a_lane_refuses_past_its_bound_until_a_job_ends():
    import asyncio

    from tegulo_rl.web.answers import Refused
    from tegulo_rl.web.lanes import Lane

    async def scenario():
        lane = Lane("searches", threads=1, backlog=1, retry_after=3)
        release = threading.Event()
        held = [lane.submit(release.wait), lane.submit(release.wait)]
        with pytest.raises(Refused) as refused:
            lane.submit(lambda: None)
        assert refused.value.status == 503 and refused.value.headers == {"Retry-After": "3"}
        release.set()
        await asyncio.gather(*held)
        await asyncio.sleep(0)  # the threads' done callbacks reach the loop
        assert lane.held == 0 and await lane.submit(lambda: 7) == 7
        lane.close()

    asyncio.run(scenario())
