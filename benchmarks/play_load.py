"""The play server under load: many clients playing whole games over HTTP at once, and a few asking for the
most expensive searches the server allows.

    PYTHONPATH=BUILD/python nice -n 10 BUILD/venv/bin/python benchmarks/play_load.py [options]

where BUILD is a build of scripts/test.sh (build/test-py311 by default). It starts `python -m tegulo_rl play`
on 127.0.0.1 and a free port in a temporary games folder, then runs, for --seconds:

- --clients clients (default 50), each playing whole games against three heuristic players, one after
  another, from a seat of its own, placing a random legal piece each turn;
- --searchers clients (default 10), each playing games against mcts at the server's cap
  (--max-simulations, default 2000) the same way.

A client answered 503 waits what Retry-After says and sends the same request again, on a new connection.
Reports the answers per second (every HTTP answer, refusals included), the moves played, the median and
99th percentile of a move's answer time (from the POST that was answered to its answer, for each kind of
client: the waits after 503s are not in it), the server's resident memory at the end and its peak, and
every answer that was not a success, by status: the goal is none but the designed 503s.
--smoke plays one short game per client with a handful of clients, in seconds (the test suite runs it).
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Tally:
    """What the clients saw, added up under `lock`."""

    lock: threading.Lock = field(default_factory=threading.Lock)
    answers: int = 0
    moves: dict[str, list[float]] = field(default_factory=lambda: {"heuristic": [], "mcts": []})
    games_started: int = 0
    games_finished: int = 0
    reconnects: int = 0
    errors: Counter[str] = field(default_factory=Counter)
    first_errors: list[str] = field(default_factory=list)

    def error(self, what: str, detail: str) -> None:
        with self.lock:
            self.errors[what] += 1
            if self.errors[what] <= 3:  # the first few of each kind
                self.first_errors.append(f"{what}: {detail[:200]}")


class Client:
    """One player at the page's API, on one keep-alive connection."""

    def __init__(self, host: str, port: int, tally: Tally):
        self.host, self.port, self.tally = host, port, tally
        self.connection: http.client.HTTPConnection | None = None

    def call(self, method: str, path: str, body: Any = None) -> tuple[int, Any, float]:
        """(status, JSON answer, seconds of the answer), sending again after each 503 as its Retry-After says
        (the seconds are those of the request that was answered)."""
        data = None if body is None else json.dumps(body).encode()
        headers = {"Content-Type": "application/json"} if data is not None else {}
        while True:
            fresh = self.connection is None
            if self.connection is None:
                self.connection = http.client.HTTPConnection(self.host, self.port, timeout=600)
            start = time.perf_counter()
            try:
                self.connection.request(method, path, data, headers)
                response = self.connection.getresponse()
                payload = response.read()
            except (OSError, http.client.HTTPException) as error:
                self.connection.close()
                self.connection = None
                if not fresh:  # the server closed a connection that sat idle past its keep-alive time
                    with self.tally.lock:
                        self.tally.reconnects += 1
                    continue
                self.tally.error("connection", repr(error))
                time.sleep(1)
                continue
            took = time.perf_counter() - start
            with self.tally.lock:
                self.tally.answers += 1
            try:
                answer = json.loads(payload)
            except ValueError:
                self.tally.error(f"{response.status} not JSON", payload[:100].decode("latin-1"))
                return response.status, None, took
            if response.status == 503:
                self.tally.error("503", answer.get("error", ""))
                self.connection.close()  # it would sit idle past the server's keep-alive time
                self.connection = None
                time.sleep(float(response.getheader("Retry-After", "1")))
                continue
            if response.status >= 400:
                self.tally.error(str(response.status), f"{method} {path}: {answer.get('error')}")
            return response.status, answer, took

    def play(self, players: list[str], kind: str, seat: int, rng: random.Random, deadline: float) -> None:
        """One game to its end (or to the deadline)."""
        body = {"players": players, "seat": seat, "seed": rng.randrange(2**63)}
        status, answer, _ = self.call("POST", "/api/games", body)
        if status != 201:
            return
        with self.tally.lock:
            self.tally.games_started += 1
        path = f"/api/games/{answer['id']}"
        status, state, _ = self.call("GET", path)
        while status == 200 and not state["over"] and time.monotonic() < deadline:
            if not state["legal"]:
                self.tally.error("no legal move", f"{path} at ply {state['ply']}")
                return
            status, state, took = self.call("POST", f"{path}/moves", {"action": rng.choice(state["legal"])})
            if status == 200:
                with self.tally.lock:
                    self.tally.moves[kind].append(took)
        if status == 200 and state["over"]:
            with self.tally.lock:
                self.tally.games_finished += 1


def start_server(folder: str, cap: int, searches: int | None) -> tuple[subprocess.Popen[bytes], str, int]:
    command = [sys.executable, "-m", "tegulo_rl", "play", "--against", "heuristic", "--port", "0", "--no-open",
               "--games-dir", folder, "--max-simulations", str(cap)]  # fmt: skip
    if searches is not None:
        command += ["--searches", str(searches)]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert server.stdout is not None
    line = server.stdout.readline().decode()
    if not line.startswith("Playing at http://127.0.0.1:"):
        server.kill()
        raise SystemExit(f"the server did not start: {line}{server.stderr.read().decode() if server.stderr else ''}")
    host, port = line.split()[2].removeprefix("http://").rstrip("/").rsplit(":", 1)
    return server, host, int(port)


def memory_mb(pid: int) -> dict[str, float]:
    """Resident memory now and at its peak, in MB."""
    found = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(("VmRSS:", "VmHWM:")):
                found["rss_mb" if line.startswith("VmRSS") else "peak_rss_mb"] = int(line.split()[1]) / 1024
    return found


def percentile(values: list[float], q: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clients", type=int, default=50, help="clients playing against heuristic (default 50)")
    parser.add_argument("--searchers", type=int, default=10, help="clients playing against mcts at the cap (10)")
    parser.add_argument("--seconds", type=float, default=300, help="how long the clients play (default 300)")
    parser.add_argument("--max-simulations", type=int, default=2000, help="the server's mcts cap (default 2000)")
    parser.add_argument("--searches", type=int, default=None, help="the server's --searches (default its own)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--smoke", action="store_true", help="3 + 1 clients, one game each, mcts:5: seconds")
    parser.add_argument("--json", help="the report as JSON too")
    args = parser.parse_args(argv)
    games_each = None
    if args.smoke:
        args.clients, args.searchers, args.max_simulations, games_each = 3, 1, 5, 1
    tally = Tally()
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory() as folder:
        server, host, port = start_server(folder, args.max_simulations, args.searches)
        try:
            start = time.monotonic()
            deadline = start + (args.seconds if games_each is None else 1e9)

            def client(number: int, players: list[str], kind: str) -> None:
                rng = random.Random(args.seed * 1000 + number)
                me = Client(host, port, tally)
                played = 0
                while time.monotonic() < deadline and (games_each is None or played < games_each):
                    me.play(players, kind, number % 4, rng, deadline)
                    played += 1

            threads = [
                threading.Thread(target=client, args=(i, ["heuristic"], "heuristic")) for i in range(args.clients)
            ]
            threads += [
                threading.Thread(target=client, args=(args.clients + i, [f"mcts:{args.max_simulations}"], "mcts"))
                for i in range(args.searchers)
            ]
            threading.excepthook = lambda hook: tally.error("client failed", repr(hook.exc_value))
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            elapsed = time.monotonic() - start
            memory = memory_mb(server.pid)
        finally:
            server.terminate()
            _, stderr = server.communicate(timeout=60)
    report: dict[str, Any] = {
        "clients": args.clients,
        "searchers": args.searchers,
        "max_simulations": args.max_simulations,
        "seconds": round(elapsed, 1),
        "answers": tally.answers,
        "answers_per_second": round(tally.answers / elapsed, 1),
        "moves": sum(len(times) for times in tally.moves.values()),
        "games_started": tally.games_started,
        "games_finished": tally.games_finished,
        "move_ms": {
            kind: {
                "count": len(times),
                "p50": None if not times else round(1000 * (percentile(times, 0.5) or 0), 1),
                "p99": None if not times else round(1000 * (percentile(times, 0.99) or 0), 1),
            }
            for kind, times in tally.moves.items()
        },
        **memory,
        "errors": dict(tally.errors),
        "reconnects": tally.reconnects,
        "first_errors": tally.first_errors,
        "server_log_lines": len(stderr.decode(errors="replace").splitlines()),
        "load_average_before": [round(x, 2) for x in load_before],
        "load_average_after": [round(x, 2) for x in os.getloadavg()],
        "cpus": os.cpu_count(),
    }
    print(f"{args.clients} clients against heuristic and {args.searchers} against mcts:{args.max_simulations}, "
          f"{report['seconds']} s")  # fmt: skip
    print(f"answers: {tally.answers} ({report['answers_per_second']}/s), moves: {report['moves']}, "
          f"games: {tally.games_started} started, {tally.games_finished} finished")  # fmt: skip
    for kind, figures in report["move_ms"].items():
        print(f"move answer against {kind}: {figures['count']} moves, p50 {figures['p50']} ms, p99 {figures['p99']} ms")
    print(f"server memory: {memory.get('rss_mb', 0):.0f} MB at the end, {memory.get('peak_rss_mb', 0):.0f} MB at most")
    print(f"answers that were not successes: {dict(tally.errors) or 'none'}; "
          f"{tally.reconnects} idle connections closed by the server and opened again")  # fmt: skip
    for line in tally.first_errors:
        print(f"  {line}")
    print(f"load average before {report['load_average_before']}, after {report['load_average_after']}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=1)
    unexpected = set(tally.errors) - {"503"}
    return 1 if unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
