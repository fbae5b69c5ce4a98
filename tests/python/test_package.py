"""What the package adds around the extension: exports, numpy views, the board text,
the legal action lists, type stubs and the command line."""

import gc
import io
import os
import pathlib
import random
import subprocess
import sys

import numpy as np
import pytest

import tegulo_rl
from tegulo_rl import PyTegulo, _views, as_arrays, board_text

from conftest import PLANE_SHAPES

PACKAGE_DIR = pathlib.Path(tegulo_rl.__file__).parent
PROJECT = pathlib.Path(__file__).resolve().parents[2]


def test_exports():
    assert tegulo_rl.__all__ == [
        "PyTegulo", "PyObservation", "GameBatch", "BatchObservation", "BatchStep", "PanicException",
        "ObservationArrays", "as_arrays", "board_text", "__version__",
    ]  # fmt: skip
    assert issubclass(tegulo_rl.PanicException, BaseException) and not issubclass(tegulo_rl.PanicException, Exception)
    assert tegulo_rl.PyTegulo is tegulo_rl._tegulo.PyTegulo
    assert tegulo_rl.GameBatch is tegulo_rl._batch.GameBatch
    assert tegulo_rl.__version__.count(".") == 2


def test_arrays_are_read_only_views_of_the_observation(game):
    game.step(0)
    obs = game.observe(1)
    arrays = as_arrays(obs)
    memory = np.frombuffer(_views.planes(obs), dtype=np.uint8)
    for name, array in arrays._asdict().items():
        assert array.shape == PLANE_SHAPES[name] and array.dtype == np.uint8
        assert array.tobytes() == getattr(obs, name)
        assert np.shares_memory(array, memory), name
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[...] = 0
    assert arrays.observation[3, 19, 0] == 1  # agent 0's monomino, seen by agent 1
    assert len(memory) == 3 * 1600 + 84 + 4 + 36400


def test_arrays_keep_their_observation_alive(game):
    arrays = as_arrays(game.observe(0))
    gc.collect()
    for _ in range(50):
        game.observe(2)  # fresh observations of the same size would reuse freed memory
    assert np.flatnonzero(arrays.corners).tolist() == [0, 419, 1199, 1580]
    assert arrays.action_mask.sum() == 58


def test_views_refuse_other_objects(game):
    with pytest.raises(TypeError) as raised:
        as_arrays(game)
    assert str(raised.value) == "'PyTegulo' object is not an instance of 'PyObservation'"
    assert raised.value.__notes__ == ["while processing 'observation'"]
    with pytest.raises(TypeError) as raised:
        board_text(game.observe(0))
    assert raised.value.__notes__ == ["while processing 'game'"]


def test_board_text_is_what_render_prints(game, capfd):
    for _ in range(3):
        game.step(0)
    capfd.readouterr()
    game.render()
    assert capfd.readouterr().out == board_text(game) + "\n"


def mask_indices(game, agent):
    return np.flatnonzero(np.frombuffer(game.observe(agent).action_mask, dtype=bool))


def listed(game, agent):
    return np.frombuffer(_views.legal_actions(game, agent), dtype=np.int64)


@pytest.mark.parametrize("seed", [1, 2])
def test_legal_actions_are_the_indices_set_in_the_mask(seed):
    rng = random.Random(seed)
    game = PyTegulo()
    out_of_moves = 0
    while True:
        for agent in range(4):
            legal = listed(game, agent)
            assert legal.tolist() == mask_indices(game, agent).tolist(), (game.ply, agent)
            out_of_moves += len(legal) == 0
        if game.is_over:
            break
        legal = listed(game, game.agent_selection)
        game.step(rng.choice(legal.tolist()) if len(legal) else None)
    assert out_of_moves > 4  # agents ran out of moves before the end, when all four have


def test_legal_actions_take_any_index_and_keywords(game):
    game.step(0)
    expected = mask_indices(game, 2).tolist()
    assert len(expected) == 58 and expected[:2] == [0, 400]
    for agent in (2, np.int64(2), True + True):
        assert listed(game, agent).tolist() == expected
    assert _views.legal_actions(agent=2, game=game) == _views.legal_actions(game, 2)
    assert len(_views.legal_actions(game, 1)) == 8 * len(mask_indices(game, 1))


def test_legal_actions_refuse_bad_arguments(game):
    cases = [
        ((game, 4), ValueError, "Unknown agent 4", None),
        ((game, -1), OverflowError, None, "agent"),
        ((game, "0"), TypeError, None, "agent"),
        ((game, None), TypeError, None, "agent"),
        ((game.observe(0), 0), TypeError, "'PyObservation' object is not an instance of 'PyTegulo'", "game"),
        ((None, 0), TypeError, "'None' is not an instance of 'PyTegulo'", "game"),
        ((game,), TypeError, "legal_actions() missing 1 required positional argument: 'agent'", None),
        ((game, 0, 1), TypeError, "legal_actions() takes 2 positional arguments but 3 were given", None),
    ]
    for args, error, message, note in cases:
        with pytest.raises(error) as raised:
            _views.legal_actions(*args)
        assert type(raised.value) is error, args
        if message is not None:
            assert str(raised.value) == message
        assert getattr(raised.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


def test_legal_actions_hold_the_game_while_they_read_it(game):
    class Steps:
        """An agent index whose conversion tries to change the game being read."""

        def __index__(self):
            game.step(0)
            return 0

    with pytest.raises(RuntimeError) as raised:
        _views.legal_actions(game, Steps())
    assert str(raised.value) == "Already borrowed"
    assert game.ply == 0
    assert len(listed(game, 0)) == 58  # and the borrow was given back


def test_stubs_match_the_extension_and_the_package_type_checks(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed for this interpreter")
    env = dict(os.environ, MYPYPATH=str(PACKAGE_DIR.parent), PYTHONPATH=str(PACKAGE_DIR.parent))
    config = ["--mypy-config-file", str(PROJECT / "pyproject.toml")]
    for command in (
        ["mypy.stubtest", "tegulo_rl._tegulo", "tegulo_rl._views", "tegulo_rl._batch", "tegulo_rl._players", *config],
        ["mypy", "--config-file", str(PROJECT / "pyproject.toml"), "--cache-dir", str(tmp_path), "-p", "tegulo_rl"],
    ):
        run = subprocess.run([sys.executable, "-m", *command], capture_output=True, text=True, env=env, cwd=tmp_path)
        assert run.returncode == 0, run.stdout + run.stderr
    assert (PACKAGE_DIR / "py.typed").exists()


def run_module(*args, block_numpy=False):
    """Runs python -m tegulo_rl, optionally in an interpreter where numpy cannot be imported."""
    prelude = "import sys; sys.modules['numpy'] = None; " if block_numpy else ""
    code = prelude + "import runpy; runpy.run_module('tegulo_rl', run_name='__main__', alter_sys=True)"
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=300)


def test_main_command_plays_a_game_without_numpy():
    run = run_module(block_numpy=True)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith(f"tegulo-rl {tegulo_rl.__version__}: a game between four random agents (seed 0)")
    assert lines[2].startswith("  |  0 |  1 |")
    assert any(line.startswith("scores") for line in lines)
    for mode in PyTegulo.reward_modes:
        assert any(line.startswith(f"rewards, {mode}") for line in lines)
    assert run_module("demo", "--seed", "0", block_numpy=True).stdout == run.stdout
    assert run_module("demo", "--seed", "1").stdout != run.stdout


def test_help_explains_both_commands():
    run = run_module("--help")
    assert run.returncode == 0
    assert "demo" in run.stdout and "bench" in run.stdout
    bench_help = run_module("bench", "--help").stdout
    assert "steps and games per second" in bench_help or "observe the agent to move" in bench_help


@pytest.mark.parametrize("block_numpy, chooser", [(False, "numpy"), (True, "python")])
def test_bench_reports_speed_with_progress_lines_off_a_terminal(block_numpy, chooser):
    run = run_module("bench", "--games", "3", "--batch", "16", "--rounds", "3", block_numpy=block_numpy)
    assert run.returncode == 0, run.stderr
    assert f"choosing actions with {chooser}" in run.stdout
    assert "steps/s" in run.stdout and "games/s" in run.stdout
    # The batched loop needs numpy; its figures follow the per-game loop's in the same run.
    assert ("GameBatch of 16 games" in run.stdout) == (chooser == "numpy")
    assert run.stderr == "2/6 games (33%)\n3/6 games (50%)\n5/6 games (83%)\n6/6 games (100%)\n"


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_redraws_one_bar_on_a_terminal():
    from tegulo_rl._cli import Progress

    stream = Terminal()
    progress = Progress("games", stream)
    for done in range(1, 601):
        progress(done, 600)
    draws = stream.getvalue().split("\r")
    assert draws[0] == "" and len(draws) == 601
    assert draws[1] == "[" + "." * 40 + "] 1/600 games"
    assert draws[300] == "[" + "#" * 20 + "." * 20 + "] 300/600 games"
    assert draws[600] == "[" + "#" * 40 + "] 600/600 games\n"  # the line ends with the run


def test_progress_prints_a_line_a_quarter_elsewhere(monkeypatch):
    from tegulo_rl._cli import Progress

    stream = io.StringIO()
    progress = Progress("rounds", stream)
    for done in range(1, 601):
        progress(done, 600)
    assert stream.getvalue().splitlines() == [
        "150/600 rounds (25%)", "300/600 rounds (50%)", "450/600 rounds (75%)", "600/600 rounds (100%)"
    ]  # fmt: skip
    monkeypatch.setattr(sys, "stderr", Terminal())  # the default stream is stderr, as it is then
    assert Progress("games").live and not Progress("games", io.StringIO()).live
