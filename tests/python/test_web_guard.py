"""The play server's door and limits, through real HTTP on 127.0.0.1: requests of other origins (other web
pages in the same browser, DNS rebinding) are refused and change nothing; bodies are bounded, malformed
ones refused as JSON; the answers forbid framing; and the load and fuzz scripts run in their short form."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("starlette", reason="needs the play extra: pip install '.[play]'")
pytest.importorskip("uvicorn", reason="needs the play extra: pip install '.[play]'")

from webclient import JSON, post, send  # noqa: E402

from tegulo_rl.web.server import Games, create_app, serving  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
NEW_GAME = {"players": ["random"], "seat": 0, "seed": 4}


@pytest.fixture
def server(tmp_path):
    games = Games(tmp_path, ["random"])
    with serving(create_app(games)) as url:
        yield url, games, tmp_path


def stored(games, folder):
    """Everything a request could have changed: the games in memory and the files."""
    return {game_id: session.to_saved() for game_id, session in games.sessions.items()}, sorted(
        (path.name, path.read_bytes()) for path in folder.iterdir()
    )


def port_of(url):
    return url.rsplit(":", 1)[1]


FOREIGN = [
    pytest.param({"Host": "evil.example:{port}"}, 403, "unknown Host", id="rebound-host"),
    pytest.param({"Host": "127.0.0.1:1"}, 403, "unknown Host", id="another-port"),
    pytest.param({"Origin": "http://evil.example"}, 403, "requests from", id="foreign-origin"),
    pytest.param({"Origin": "http://127.0.0.1:1"}, 403, "requests from", id="local-origin-another-port"),
    pytest.param({"Origin": "null"}, 403, "requests from", id="opaque-origin"),
    pytest.param({"Sec-Fetch-Site": "cross-site"}, 403, "cross-site", id="cross-site"),
    pytest.param({"Sec-Fetch-Site": "same-site"}, 403, "same-site", id="same-site"),
    pytest.param({"Content-Type": "text/plain"}, 415, "application/json", id="text"),
    pytest.param({"Content-Type": "application/x-www-form-urlencoded"}, 415, "application/json", id="form"),
    pytest.param({"Content-Type": "multipart/form-data; boundary=x"}, 415, "application/json", id="multipart"),
    pytest.param({"Content-Type": None}, 415, "application/json", id="no-type"),
]


@pytest.mark.parametrize("headers, status, message", FOREIGN)
def test_foreign_requests_are_refused_and_create_nothing(server, headers, status, message):
    url, games, folder = server
    game_id = post(url, "/api/games", NEW_GAME)[2]["id"]
    legal = send(url, "GET", f"/api/games/{game_id}")[2]["legal"]
    before = stored(games, folder)
    headers = {k: v.format(port=port_of(url)) if v else v for k, v in headers.items()}
    for path, body in (("/api/games", NEW_GAME), (f"/api/games/{game_id}/moves", {"action": legal[0]})):
        answer = send(url, "POST", path, json.dumps(body).encode(), {**JSON, **headers})
        assert answer[0] == status and message in answer[2]["error"], answer
        assert "frame-ancestors 'none'" in answer[1]["content-security-policy"]
    assert stored(games, folder) == before
    if status == 403:  # reading is refused too: the --against names may hold a checkpoint's path
        answer = send(url, "GET", "/api/config", headers=headers)
        assert answer[0] == 403 and "against" not in answer[2]


def test_the_pages_own_requests_pass_under_each_local_name(server):
    url, games, _ = server
    port = port_of(url)
    for name in ("127.0.0.1", "localhost", "[::1]"):
        headers = {"Host": f"{name}:{port}", "Origin": f"http://{name}:{port}", "Sec-Fetch-Site": "same-origin"}
        status, answer_headers, answer = post(url, "/api/games", NEW_GAME, headers)
        assert status == 201, answer
        assert "frame-ancestors 'none'" in answer_headers["content-security-policy"]
        status, _, page = send(url, "GET", "/", headers={"Host": f"{name}:{port}", "Sec-Fetch-Site": "none"})
        assert status == 200 and b"/static/page.js" in page
    utf8 = post(url, "/api/games", NEW_GAME, {"Content-Type": "Application/JSON; charset=utf-8"})
    assert utf8[0] == 201
    assert len(games.sessions) == 4


LONG_NAME = "y" * 3000
MALFORMED = [
    pytest.param(b"x" * 5000, False, 413, "at most 4096 bytes", id="large"),
    pytest.param(b"x" * 5000, True, 413, "at most 4096 bytes", id="large-chunked"),
    pytest.param(json.dumps({"players": ["z" * (4 << 20)]}).encode(), False, 413, "at most", id="4MiB-name"),
    pytest.param(b"[" * 4000, False, 400, "nested too deep", id="deep"),
    pytest.param(b"[" * 33 + b"]" * 33, False, 400, "nested too deep", id="deep-closed"),
    pytest.param(b'{"players": ["' + b"[" * 40 + b'"]}', False, 400, "Unknown player", id="brackets-in-a-string"),
    pytest.param(b'{"seed": ' + b"9" * 4000 + b"}", False, 400, "seed: expected a whole number", id="long-int"),
    pytest.param(b'{"seed": NaN}', False, 400, "NaN is not a JSON value", id="nan"),
    pytest.param(b'{"seed": 1e400}', False, 400, "seed: expected", id="infinite-float"),
    pytest.param(b'{"players": ["\\ud800"]}', False, 400, "Unknown player", id="lone-surrogate"),
    pytest.param(b'{"players": "\xff"}', False, 400, "not UTF-8", id="not-utf8"),
    pytest.param(b"", False, 400, "malformed JSON", id="empty"),
    pytest.param(json.dumps({"players": [LONG_NAME]}).encode(), False, 400, "of 1 to 100 characters", id="long-name"),
    pytest.param(json.dumps({"players": [[LONG_NAME]]}).encode(), False, 400, "player is named", id="name-a-list"),
    pytest.param(json.dumps({"seat": LONG_NAME}).encode(), False, 400, "seat: expected", id="seat-a-string"),
]


@pytest.mark.parametrize("body, chunked, status, message", MALFORMED)
def test_malformed_and_large_bodies_are_refused_as_json_with_a_short_echo(server, body, chunked, status, message):
    url, games, folder = server
    before = stored(games, folder)
    answer = send(url, "POST", "/api/games", body, JSON, chunked=chunked)
    assert answer[0] == status and message in answer[2]["error"], answer
    assert len(answer[2]["error"]) < 200  # a prefix of what was sent, at most
    answer[2]["error"].encode("ascii")  # a client's unicode comes back escaped
    assert stored(games, folder) == before


def test_unknown_paths_and_methods_are_json_refusals(server):
    url, games, folder = server
    before = stored(games, folder)
    for method, path, status in [
        ("GET", "/nothing", 404),
        ("GET", "/api/games/", 404),
        ("GET", "/api/games/../../etc/passwd", 404),
        ("GET", "/static/../server.py", 404),
        ("GET", "/api/games/%2e%2e%2f%2e%2e%2fescape", 404),
        ("DELETE", "/api/games", 405),
        ("PUT", "/api/config", 405),
        ("OPTIONS", "/api/games", 405),
        ("GET", "/api/games", 405),
    ]:
        answer = send(url, method, path, b"{}" if method != "GET" else None, JSON)
        assert answer[0] == status and "error" in answer[2], (method, path, answer)
    assert stored(games, folder) == before


def run_script(name, *args):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    run = subprocess.run([sys.executable, str(ROOT / "benchmarks" / name), *args], capture_output=True, text=True,
                         env=env, timeout=600)  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_the_fuzz_script_in_its_short_form(tmp_path):
    out = run_script("play_fuzz.py", "--requests", "200", "--json", str(tmp_path / "fuzz.json"))
    report = json.loads((tmp_path / "fuzz.json").read_text())
    assert report["requests"] >= 200 and report["server_errors"] == 0 and report["not_json"] == 0
    assert report["stored_games_unchanged"] and "no 500" in out


def test_the_load_script_in_its_short_form(tmp_path):
    run_script("play_load.py", "--smoke", "--json", str(tmp_path / "load.json"))
    report = json.loads((tmp_path / "load.json").read_text())
    assert report["moves"] > 0 and report["games_finished"] >= 1
    assert set(report["errors"]) <= {"503"}, report["errors"]
