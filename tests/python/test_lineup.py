"""Player names across built-in and network players, the ladder's arithmetic, and running without torch."""

import math
import subprocess
import sys

import pytest

from tegulo_rl import lineup, players
from tegulo_rl.ladder import RATINGS, combined, rung_result
from tegulo_rl.lineup import NetPlayer


def test_names_parse_to_built_in_or_network_players():
    assert lineup.parse("mcts:50") == players.Player("mcts", simulations=50)
    assert lineup.parse("net") == NetPlayer("net")
    assert lineup.parse("net:/x/y.safetensors") == NetPlayer("net", path="/x/y.safetensors")
    assert lineup.parse("az") == NetPlayer("az", simulations=lineup.DEFAULT_AZ_SIMULATIONS)
    assert lineup.parse("az:64:ck.safetensors") == NetPlayer("az", path="ck.safetensors", simulations=64)
    for name in ("net", "az:64", "az:8:ck.safetensors", "heuristic", "mcts:7"):
        assert lineup.label(name) == name  # the label reads back as the same player
    for bad, error in (("az:x", ValueError), ("az:0", ValueError), ("bogus", ValueError), (3, TypeError)):
        with pytest.raises(error):
            lineup.parse(bad)
    from tegulo_rl.arena import check_players, label

    assert label(NetPlayer(temperature=0.5)) == "net(temperature=0.5)"
    assert len(check_players(["net", NetPlayer(temperature=0.5), "az:9"])) == 3
    with pytest.raises(ValueError, match="more than once"):
        check_players(["net", NetPlayer()])
    with pytest.raises(ValueError, match="temperature"):
        NetPlayer(temperature=-1.0)
    with pytest.raises(ValueError, match="network player"):
        NetPlayer("mcts")


def test_ladder_rating_is_anchored_and_weighs_informative_rungs():
    even = rung_result("heuristic", [0.5, 0.5, 0.6, 0.4] * 10)
    assert even.estimate == pytest.approx(1000) and even.difference == pytest.approx(0)
    ahead = rung_result("greedy", [0.75] * 20 + [0.5] * 20)
    assert ahead.reward == pytest.approx(0.625) and ahead.difference == pytest.approx(0.25)
    # p = 0.625 over two seats: 2.75 of the 4 cross-side seat pairs won, on average
    assert ahead.estimate == pytest.approx(RATINGS["greedy"] + 400 * math.log10(0.6875 / 0.3125))
    assert ahead.difference - ahead.half_width > 0
    crushed = rung_result("random", [5 / 6] * 40)  # places 1 and 2 every time: says little about how much stronger
    rating, half = combined([even, ahead, crushed])
    assert abs(rating - 1000) < abs(rating - crushed.estimate) and half > 0
    assert even.estimate_sd < crushed.estimate_sd


def test_train_and_evaluate_without_torch_say_what_to_install(tmp_path):
    # A fresh interpreter in which torch cannot be imported, whether installed or not.
    code = (
        "import sys; sys.modules['torch'] = None\n"
        "from tegulo_rl import _cli, arena, lineup\n"
        "assert str(lineup.parse('net')) == 'net'\n"
        "assert len(arena.play(['random', 'greedy'], 2, seed=0, threads=1).results) == 2\n"
        f"print(_cli.main(['train', '--out', {str(tmp_path / 'run')!r}]),"
        " _cli.main(['evaluate', 'greedy', '--games', '2']))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["1", "1"], done.stderr  # EXIT_FAILURE, both
    assert done.stderr.count("pip install 'tegulo-rl[torch]'") == 2
