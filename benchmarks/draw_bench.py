"""How fast the pictures and the play page are: an SVG of a full board, a replay of 60 placements as an
HTML page, a PNG of a full board, and the page's answer to a move against `heuristic` (the person's
placement and the three heuristic answers, the state and its SVG, over HTTP on 127.0.0.1).

    python benchmarks/draw_bench.py [--repeat 200] [--moves 15]

Needs the play extra (pip install '.[play]'). Prints medians and worst cases in milliseconds.
"""

import argparse
import json
import statistics
import tempfile
import time
import urllib.request

from tegulo_rl import PyTegulo, draw, players


def timed(function, repeat):
    """Milliseconds of each of `repeat` calls."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append((time.perf_counter() - start) * 1000)
    return times


def report(name, times, target=None):
    goal = f" (goal: under {target} ms)" if target else ""
    print(f"{name:<44} median {statistics.median(times):8.2f} ms, worst {max(times):8.2f} ms, n={len(times)}{goal}")


def full_game(seed=0):
    game, positions = PyTegulo(), [PyTegulo()]
    while not game.is_over:
        game.step(players.choose(game, "heuristic", seed=seed * 1000 + game.ply))
        positions.append(game.copy())
    return positions


def post(url, body):
    request = urllib.request.Request(url, data=json.dumps(body).encode(), headers={"content-type": "application/json"})
    with urllib.request.urlopen(request) as response:
        return json.loads(response.read())


def page_moves(moves):
    """Milliseconds of each move posted to a game against three heuristic players."""
    from tegulo_rl.web.server import Games, create_app, serving

    times = []
    with tempfile.TemporaryDirectory() as folder, serving(create_app(Games(folder, ["heuristic"]))) as url:
        while len(times) < moves:
            game_id = post(f"{url}/api/games", {"players": ["heuristic"], "seat": 0, "seed": len(times)})["id"]
            with urllib.request.urlopen(f"{url}/api/games/{game_id}") as response:
                state = json.loads(response.read())
            while state["legal"] and len(times) < moves:
                start = time.perf_counter()
                state = post(f"{url}/api/games/{game_id}/moves", {"action": state["legal"][len(state["legal"]) // 2]})
                times.append((time.perf_counter() - start) * 1000)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=200, help="calls of each drawing (default 200)")
    parser.add_argument("--moves", type=int, default=15, help="moves posted to the page (default 15)")
    args = parser.parse_args()
    positions = full_game()
    final = positions[-1]
    print(f"a heuristic game of {final.ply} placements")

    def cold():
        draw._outline.cache_clear()  # no piece's outline kept from the call before
        draw.svg(final)

    report("SVG of the full board", timed(cold, args.repeat), 5)
    report("SVG of the full board, outlines kept", timed(lambda: draw.svg(final), args.repeat))

    sixty = positions[:61]
    assert sixty[-1].ply == 60

    def replay():
        draw._outline.cache_clear()  # as a fresh process would
        draw.animation(sixty, format="html")

    report("replay of 60 placements as HTML", timed(replay, max(args.repeat // 20, 5)), 1000)
    report("PNG of the full board, 420 px", timed(lambda: draw.png(final), max(args.repeat // 10, 5)))
    report("page: a move against heuristic, answered", page_moves(args.moves), 100)


if __name__ == "__main__":
    main()
