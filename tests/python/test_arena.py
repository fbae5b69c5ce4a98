"""The arena: seat rotation, determinism, statistics, ratings, its files, Ctrl-C and bad input."""

import json
import math
import os
import pty
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from tegulo_rl import _cli, arena
from tegulo_rl.arena import ArenaResult, GameResult, play, summarize
from tegulo_rl.players import Player

TWO = ["random", "greedy"]


def main(argv):
    return _cli.main(["arena", *argv])


@pytest.mark.parametrize(
    "players, games, planned",
    [(TWO, 8, 8), (["random", "greedy", "heuristic"], 10, 12), (["random", "greedy", "heuristic", "mcts:2"], 8, 8)],
)
def test_every_player_sits_in_every_seat_equally_often(players, games, planned):
    result = play(players, games, seed=1, batch=3)
    assert result.games == planned and sorted(g.number for g in result.results) == list(range(planned))
    counts = np.zeros((len(players), 4), int)
    for game in result.results:
        r = game.number % len(players)
        assert game.seats == tuple((s + r) % len(players) for s in range(4))
        np.add.at(counts, (list(game.seats), range(4)), 1)
    assert (counts == planned // len(players)).all()
    assert [s.seat_games for s in result.stats] == [4 * planned // len(players)] * len(players)


def test_the_seats_go_to_the_players_named():
    result = play(TWO, 24, seed=0, batch=5)  # slots reused: seats change from game to game

    def mean_score(game, player):
        return np.mean([score for score, holder in zip(game.scores, game.seats, strict=True) if holder == player])

    assert np.mean([mean_score(g, 1) - mean_score(g, 0) for g in result.results]) > 5
    (difference,) = result.pairwise
    assert (difference.first, difference.second) == ("random", "greedy")
    assert difference.mean + difference.half_width < 0  # greedy clearly ahead in rank reward


def test_results_depend_on_the_seed_alone():
    one = play(TWO, 12, seed=5, batch=4, threads=1)
    two = play(TWO, 12, seed=5, batch=4, threads=2)
    assert (one.threads, two.threads) == (1, 2)
    assert two.results == one.results and two.stats == one.stats and two.history == one.history
    assert play(TWO, 12, seed=6, batch=4).results != one.results


def hand_made():
    """Three games between two players; rank and win_share as the engine would give them."""
    return [
        GameResult(0, (0, 1, 0, 1), (10, -5, -5, -20), (1.0, 0.5, 0.5, 0.0), (1.0, 0.0, 0.0, 0.0)),
        GameResult(1, (1, 0, 1, 0), (3, 3, -1, -9), (5 / 6, 5 / 6, 1 / 3, 0.0), (0.5, 0.5, 0.0, 0.0)),
        GameResult(2, (0, 1, 0, 1), (-30, -2, -7, -4), (0.0, 1.0, 1 / 3, 2 / 3), (0.0, 1.0, 0.0, 0.0)),
    ]


def test_statistics_and_differences_of_hand_made_results():
    result = summarize(["a", "b"], hand_made())
    samples = {"score": {0: [10, -5, 3, -9, -30, -7], 1: [-5, -20, 3, -1, -2, -4]}}
    samples["rank"] = {0: [1, 0.5, 5 / 6, 0, 0, 1 / 3], 1: [0.5, 0, 5 / 6, 1 / 3, 1, 2 / 3]}
    samples["win_share"] = {0: [1, 0, 0.5, 0, 0, 0], 1: [0, 0, 0.5, 0, 1, 0]}
    for p, stats in enumerate(result.stats):
        assert stats.seat_games == 6
        for name, by_player in samples.items():
            values = np.array(by_player[p], float)
            estimate = getattr(stats, name)
            assert estimate.mean == pytest.approx(values.mean())
            assert estimate.half_width == pytest.approx(1.96 * values.std(ddof=1) / math.sqrt(6))
    a, b = (np.array(samples["rank"][p], float) for p in (0, 1))
    (difference,) = result.pairwise
    assert difference.mean == pytest.approx(a.mean() - b.mean())
    assert difference.half_width == pytest.approx(1.96 * math.sqrt(a.var(ddof=1) / 6 + b.var(ddof=1) / 6))


def test_one_seat_game_has_no_interval_and_the_report_says_so():
    game = GameResult(0, (0, 1, 2, 0), (5, 1, 1, -3), (1.0, 0.5, 0.5, 0.0), (1.0, 0.0, 0.0, 0.0))
    result = summarize(["a", "b", "c"], [game])
    assert [s.seat_games for s in result.stats] == [2, 1, 1]
    assert result.stats[1].rank.half_width is None and result.stats[0].rank.half_width is not None
    assert "too few games to tell" in result.report()
    empty = summarize(["a", "b"], [], games=8, interrupted=True)  # Ctrl-C before any game ended
    assert "Interrupted after 0 of 8 games" in empty.report()
    text = json.dumps(empty.to_dict(), allow_nan=False)
    assert math.isnan(ArenaResult.from_dict(json.loads(text)).stats[0].rank.mean)


def test_ratings_follow_the_results():
    pytest.importorskip("openskill")
    games = []
    for k in range(12):  # player 0 always on top (tied with itself when it holds two seats)
        seats = arena.rotation(k, 3)
        scores = tuple(10 if p == 0 else -10 * (s + 1) for s, p in enumerate(seats))
        games.append(GameResult(k, seats, scores, (0.0,) * 4, (0.0,) * 4))
    history = summarize(["top", "b", "c"], games).history
    assert [point.games for point in history] == list(range(13))
    mu = [[point.ratings[p].mu for point in history] for p in range(3)]
    assert (np.diff(mu[0]) > 0).all()
    assert mu[0][-1] > max(mu[1][-1], mu[2][-1]) and mu[0][0] == mu[1][0] == 25
    assert all(history[-1].ratings[p].sigma < history[0].ratings[p].sigma for p in range(3))
    tie = GameResult(0, (0, 1, 0, 1), (-4, -4, -4, -4), (0.5,) * 4, (0.25,) * 4)
    for rating in summarize(["a", "b"], [tie]).history[-1].ratings:
        assert rating.mu == pytest.approx(25)  # a four-way tie between equals moves no one


def test_the_report_is_aligned_and_explains_seats_and_rounding():
    three = play(["random", "greedy", "heuristic"], 4, seed=2).report()
    assert "4 games asked for, rounded up to 6" in three
    assert "with 3 players, one of them holds 2 of the 4 seats in every game" in three
    assert "every player sat in every seat 2 times" in three and "95%" in three
    report = play(TWO, 6, seed=2).report()
    assert "rounded" not in report and "with 2 players, each holds 2 of the 4 seats in every game" in report
    table = report.splitlines()[2:5]
    assert table[0].startswith("player") and {len(line) for line in table[1:]} == {len(table[0])}
    columns = [[i for i, c in enumerate(line) if c == "±"] for line in table[1:]]
    assert columns[0] == columns[1] and len(columns[0]) >= 3


def test_json_round_trips(tmp_path, capsys):
    path = tmp_path / "arena.json"
    assert main([*TWO, "--games", "6", "--seed", "2", "--batch", "3", "--json", str(path)]) == 0
    data = json.loads(path.read_text())
    assert ArenaResult.from_dict(data) == play(TWO, 6, seed=2, batch=3)
    assert (data["players"], data["seed"], data["games"], data["interrupted"]) == (TWO, 2, 6, False)
    assert [len(g["seats"]) for g in data["results"]] == [4] * 6 and data["versions"]["tegulo_rl"]
    assert "Mean rank reward, pairwise" in capsys.readouterr().out


def test_plot_writes_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    pytest.importorskip("openskill")
    path = tmp_path / "ratings.png"
    assert main([*TWO, "--games", "4", "--plot", str(path)]) == 0
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_without_openskill_the_table_prints_and_the_plot_is_refused(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "openskill", None)
    monkeypatch.setitem(sys.modules, "openskill.models", None)
    assert main([*TWO, "--games", "2"]) == 0
    out = capsys.readouterr().out
    assert "Ratings need openskill: pip install 'tegulo-rl[arena]'" in out and "mu" not in out.splitlines()[2]
    with pytest.raises(SystemExit) as raised:
        main([*TWO, "--plot", "x.png"])
    assert raised.value.code == 2 and "openskill: pip install 'tegulo-rl[arena]'" in capsys.readouterr().err


def test_ctrl_c_in_play_keeps_the_games_that_finished():
    def stop(done, total):
        if done == 3:
            raise KeyboardInterrupt

    with pytest.raises(arena.Interrupted) as raised:
        play(TWO, 40, batch=4, progress=stop)
    assert isinstance(raised.value, KeyboardInterrupt)
    result = raised.value.result
    assert result.interrupted and len(result.results) == 3 and result.games == 40
    assert sum(s.seat_games for s in result.stats) == 12
    assert "Interrupted after 3 of 40 games" in result.report()


def test_ctrl_c_stops_the_command_and_prints_the_results_so_far(tmp_path):
    path = tmp_path / "partial.json"
    code = "import sys; from tegulo_rl._cli import main; sys.exit(main(['arena', *sys.argv[1:]]))"
    try:
        primary, replica = pty.openpty()  # a terminal for stderr: a progress bar redrawn at every game
    except OSError:
        pytest.skip("no pseudo-terminal here")
    run = subprocess.Popen(
        [sys.executable, "-c", code, *TWO, "--games", "100000", "--json", str(path)],
        stdout=subprocess.PIPE, stderr=replica, text=True,
    )  # fmt: skip
    os.close(replica)
    progress, started = bytearray(), threading.Event()

    def drain():
        while True:
            try:
                chunk = os.read(primary, 4096)
            except OSError:
                break
            if not chunk:
                break
            progress.extend(chunk)
            if re.search(rb"\] [1-9]\d*/100000 games", progress):
                started.set()
        started.set()

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    assert started.wait(120) and run.poll() is None, bytes(progress[-500:])
    run.send_signal(signal.SIGINT)
    out, _ = run.communicate(timeout=120)
    reader.join(10)
    os.close(primary)
    assert run.returncode == 130, out
    finished = int(re.search(r"Interrupted after (\d+) of 100000 games", out).group(1))
    assert finished >= 1 and "Mean rank reward, pairwise" in out
    data = json.loads(path.read_text())
    assert data["interrupted"] and len(data["results"]) == finished


@pytest.mark.parametrize(
    "argv, message",
    [
        (["random"], "2 to 4 players, got 1"),
        (["random", "greedy", "heuristic", "mcts", "mcts:5"], "2 to 4 players, got 5"),
        (["random", "random"], "random given more than once"),
        (["mcts", "mcts:1000", "random"], "mcts:1000 given more than once"),
        (["rando", "greedy"], "Unknown player 'rando'"),
        (["mcts:-5", "greedy"], "simulations must be from 1 to 2**32 - 1, got -5"),
        (["mcts:x", "greedy"], "simulations must be a whole number, got 'x'"),
        (["greedy:3", "random"], "only mcts takes a number of simulations"),
        ([*TWO, "--games", "0"], "--games: must be at least 1, got 0"),
        ([*TWO, "--games", "many"], "--games: expected a whole number, got 'many'"),
        ([*TWO, "--batch", "0"], "--batch: must be at least 1"),
        ([*TWO, "--threads", "-1"], "--threads: must be at least 1"),
    ],
)
def test_bad_input_is_a_usage_error(argv, message, capsys):
    with pytest.raises(SystemExit) as raised:
        main(argv)
    assert raised.value.code == 2
    assert message in capsys.readouterr().err


def test_play_refuses_bad_arguments():
    for players, games, message in [
        (["random"], 4, "2 to 4 players"),
        (["random", Player("random", simulations=3)], 4, "random given more than once"),
        (TWO, 0, "games must be at least 1"),
    ]:
        with pytest.raises(ValueError, match=message):
            play(players, games)
    assert arena.label(Player("mcts", simulations=50, trees=2)) == "mcts:50(trees=2)"
    play(["mcts:5", Player("mcts", simulations=5, trees=2)], 2)  # different settings: two players
