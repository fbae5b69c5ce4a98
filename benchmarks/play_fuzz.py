"""Generated requests against the play server: whatever a client sends, the server answers without failing,
every refusal is JSON, and the games it stores do not change.

    PYTHONPATH=BUILD/python nice -n 15 BUILD/venv/bin/python benchmarks/play_fuzz.py [--requests N] [--json FILE]

where BUILD is a build of scripts/test.sh (build/test-py311 by default). It starts `python -m tegulo_rl play`
on 127.0.0.1 and a free port in a temporary games folder, stores a finished and an unfinished game through
the API, then sends --requests requests (default 10,000) that Hypothesis generates: methods, paths (the
API's own with stored and made-up ids, traversals, unicode, long ones), headers (the server's own Host and
Origin or others, Sec-Fetch-Site, content types, random ones) and bodies (JSON of every shape: wrong types,
huge numbers, deep nesting, unicode; NaN; binary). It checks each answer: no 500 (no 5xx but the designed
502 and 503), every answer of 400 or more JSON with an "error" string. At the end the stored games must
be as they were, in the API and on disk (the one request left out is a legal move of the unfinished game).
Exits 1 when a check fails; the first failing request is printed.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse
from collections import Counter
from pathlib import Path
from typing import Any

from hypothesis import HealthCheck, assume, given, seed, settings
from hypothesis import strategies as st

METHODS = ["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD"]
KEYS = ["players", "seat", "seed", "action", "id", "steps"]
NAMES = ["random", "greedy", "heuristic", "mcts", "mcts:5", "mcts:21", "mcts:0", "net", "net:/etc/passwd", "az:9"]
# Header values as http.client sends them: Latin-1, no control characters but tab.
HEADER_TEXT = st.text(st.characters(codec="latin-1", categories=["L", "N", "P", "S", "Zs"]), max_size=60)


def json_values() -> st.SearchStrategy[Any]:
    leaves = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(),
        st.integers(min_value=-(2**70), max_value=2**70),
        st.floats(allow_nan=False, allow_infinity=False),
        st.text(max_size=30),
        st.sampled_from(NAMES),
    )
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=5),
            st.dictionaries(st.one_of(st.sampled_from(KEYS), st.text(max_size=8)), inner, max_size=5),
        ),
        max_leaves=20,
    )


def bodies() -> st.SearchStrategy[bytes | None]:
    games = st.fixed_dictionaries(
        {},
        optional={
            "players": st.one_of(st.lists(st.sampled_from(NAMES), max_size=4), json_values()),
            "seat": st.one_of(st.integers(-2, 5), json_values()),
            "seed": st.one_of(st.integers(-1, 2**64), json_values()),
            "action": st.one_of(st.integers(-1, 40000), json_values()),
        },
    )
    return st.one_of(
        st.none(),
        games.map(lambda value: json.dumps(value).encode()),
        json_values().map(lambda value: json.dumps(value).encode()),
        st.integers(1, 5000).map(lambda depth: b"[" * depth + b"]" * depth),
        st.integers(1, 4500).map(lambda digits: b'{"seed": ' + b"7" * digits + b"}"),
        st.sampled_from([b'{"seed": NaN}', b'{"action": Infinity}', b'{"players": ["\\ud800"]}', b"", b"{", b"nul"]),
        st.text(max_size=200).map(lambda text: text.encode("utf-8", "surrogatepass")),
        st.binary(max_size=300),
        st.integers(4000, 9000).map(lambda size: b"x" * size),
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=10_000, help="requests to generate (default 10,000)")
    parser.add_argument("--seed", type=int, default=0, help="Hypothesis's seed (default 0)")
    parser.add_argument("--json", help="the report as JSON too")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as folder:
        server, port = start_server(folder)
        try:
            report = fuzz(port, Path(folder), args.requests, args.seed)
        finally:
            server.terminate()
            _, stderr = server.communicate(timeout=60)
    log = stderr.decode(errors="replace")
    report["server_tracebacks"] = log.count("Traceback")
    passed = (
        report["server_errors"] == 0
        and report["not_json"] == 0
        and report["stored_games_unchanged"]
        and report["server_tracebacks"] == 0
    )
    print(f"{report['requests']} requests in {report['seconds']} s; answers by status: {report['statuses']}")
    print(f"{'no 500' if report['server_errors'] == 0 else str(report['server_errors']) + ' server errors'}, "
          f"{report['not_json']} refusals not JSON, stored games "
          f"{'unchanged' if report['stored_games_unchanged'] else 'CHANGED'}, "
          f"{report['server_tracebacks']} tracebacks in the server's log")  # fmt: skip
    if report["first_failure"]:
        print(f"first failure: {report['first_failure']}")
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=1))
    return 0 if passed else 1


def start_server(folder: str) -> tuple[subprocess.Popen[bytes], int]:
    command = [sys.executable, "-m", "tegulo_rl", "play", "--against", "random", "--port", "0", "--no-open",
               "--games-dir", folder, "--max-simulations", "20", "--max-games", "50"]  # fmt: skip
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert server.stdout is not None
    line = server.stdout.readline().decode()
    if not line.startswith("Playing at http://127.0.0.1:"):
        server.kill()
        raise SystemExit(f"the server did not start: {line}")
    return server, int(line.split()[2].rstrip("/").rsplit(":", 1)[1])


def send(port: int, method: str, path: str, body: bytes | None, headers: dict[str, str]) -> tuple[int, bytes, str]:
    """(status, payload, content type) of one request on a connection of its own."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return response.status, response.read(), response.getheader("content-type", "")
    finally:
        connection.close()


def fuzz(port: int, folder: Path, requests: int, seed_value: int) -> dict[str, Any]:
    own = f"127.0.0.1:{port}"
    api = {"Host": own, "Content-Type": "application/json"}

    def call(method: str, path: str, body: Any = None) -> Any:
        status, payload, _ = send(port, method, path, None if body is None else json.dumps(body).encode(), api)
        assert status < 300, (status, payload)
        return json.loads(payload)

    # The stored games: one played to its end, one waiting for the person's move.
    finished = call("POST", "/api/games", {"players": ["random"], "seat": 0, "seed": 1})["id"]
    state = call("GET", f"/api/games/{finished}")
    while not state["over"]:
        state = call("POST", f"/api/games/{finished}/moves", {"action": state["legal"][0]})
    unfinished = call("POST", "/api/games", {"players": ["random"], "seat": 1, "seed": 2})["id"]
    stored = {game_id: call("GET", f"/api/games/{game_id}") for game_id in (finished, unfinished)}
    files = {path.name: path.read_bytes() for path in folder.iterdir() if path.stem in stored}
    legal = set(stored[unfinished]["legal"])

    ids = st.sampled_from([finished, unfinished, "0" * 12, "nothing", "../../escape", "%2e%2e%2f" * 3, "é" * 5])
    game_paths = st.builds(
        lambda i, s: f"/api/games/{i}{s}", ids, st.sampled_from(["", "/moves", "/moves", "/record", "/replay.html"])
    )
    paths = st.one_of(
        st.sampled_from(["/", "/api/config", "/api/games", "/static/page.js", "/static/../server.py", "/api/games/"]),
        st.just("/api/games"),
        game_paths,
        game_paths,
        st.text(max_size=80).map(lambda text: "/" + text),
        st.integers(100, 5000).map(lambda n: "/api/games/" + "a" * n),
    ).map(lambda path: urllib.parse.quote(path, safe="/%?=&"))
    # Half the requests with the page's own headers, so that bodies and paths reach the application.
    page_headers = st.fixed_dictionaries(
        {"Host": st.just(own), "Content-Type": st.just("application/json")},
        optional={"Origin": st.just(f"http://{own}"), "Sec-Fetch-Site": st.just("same-origin")},
    )
    other_headers = st.fixed_dictionaries(
        {
            "Host": st.one_of(st.just(own), st.just(f"localhost:{port}"), st.just(f"evil.example:{port}"), HEADER_TEXT),
        },
        optional={
            "Origin": st.one_of(st.just(f"http://{own}"), st.just("http://evil.example"), st.just("null"), HEADER_TEXT),
            "Sec-Fetch-Site": st.sampled_from(["same-origin", "none", "cross-site", "same-site", "bogus"]),
            "Content-Type": st.one_of(
                st.sampled_from(
                    [
                        "application/json",
                        "application/json; charset=utf-8",
                        "text/plain",
                        "application/x-www-form-urlencoded",
                        "multipart/form-data; boundary=x",
                    ]
                ),
                HEADER_TEXT,
            ),  # fmt: skip
            "X-Anything": HEADER_TEXT,
            "Accept": HEADER_TEXT,
        },
    )
    header_sets = st.one_of(page_headers, other_headers)
    methods = st.one_of(
        st.sampled_from(METHODS), st.sampled_from(["GET", "POST"]), st.from_regex(r"[A-Z]{1,10}", fullmatch=True)
    )

    def is_legal_move(method: str, path: str, body: bytes | None) -> bool:
        if method != "POST" or path != f"/api/games/{unfinished}/moves" or not body:
            return False
        try:
            return json.loads(body).get("action") in legal
        except (ValueError, AttributeError, TypeError, RecursionError):  # a body is anything the fuzz made
            return False

    tally: dict[str, Any] = {"statuses": Counter(), "server_errors": 0, "not_json": 0,
                             "first_failure": None, "sent": 0}  # fmt: skip

    # Half the requests are the page's own calls that change things, with generated bodies.
    calls = st.tuples(
        st.just("POST"),
        st.sampled_from(["/api/games", f"/api/games/{finished}/moves", f"/api/games/{unfinished}/moves"]),
        page_headers,
        bodies(),
    )
    anything = st.tuples(methods, paths, header_sets, bodies())

    @seed(seed_value)
    @settings(max_examples=requests, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.one_of(calls, anything))
    def one(request: tuple[str, str, dict[str, str], bytes | None]) -> None:
        method, path, headers, body = request
        assume(not is_legal_move(method, path, body))  # it would change the stored game, as it may
        try:
            status, payload, kind = send(port, method, path, body, headers)
        except (OSError, http.client.HTTPException) as error:
            status, payload, kind = 0, repr(error).encode(), ""
        tally["sent"] += 1
        if tally["sent"] % 1000 == 0:
            print(f"{tally['sent']} requests, {tally['server_errors']} server errors", file=sys.stderr, flush=True)
        tally["statuses"][str(status)] += 1
        failure = None
        if status == 0 or status >= 500 and status not in (502, 503):
            tally["server_errors"] += 1
            failure = "server error"
        elif status >= 400 and method != "HEAD":
            try:
                answer = json.loads(payload)
                assert "json" in kind and isinstance(answer, dict) and isinstance(answer["error"], str)
            except (ValueError, AssertionError, KeyError):
                tally["not_json"] += 1
                failure = "refusal not JSON"
        if failure and tally["first_failure"] is None:
            sent = body[:100] if body else body
            tally["first_failure"] = (
                f"{failure}: {method} {path[:100]} {headers} {sent!r} -> {status} {payload[:200]!r}"
            )

    start = time.monotonic()
    one()
    seconds = time.monotonic() - start
    after = {game_id: call("GET", f"/api/games/{game_id}") for game_id in stored}
    files_after = {name: (folder / name).read_bytes() for name in files}
    unchanged = after == stored and files_after == files
    return {
        "requests": tally["sent"],
        "seconds": round(seconds, 1),
        "statuses": dict(sorted(tally["statuses"].items())),
        "server_errors": tally["server_errors"],
        "not_json": tally["not_json"],
        "stored_games_unchanged": unchanged,
        "first_failure": tally["first_failure"],
        "load_average_after": [round(x, 2) for x in os.getloadavg()],
    }


if __name__ == "__main__":
    sys.exit(main())
