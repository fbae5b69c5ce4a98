"""What the package adds around the extension: exports, numpy views, the board text,
type stubs and the command line."""

import gc
import os
import pathlib
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


def test_stubs_match_the_extension_and_the_package_type_checks(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed for this interpreter")
    env = dict(os.environ, MYPYPATH=str(PACKAGE_DIR.parent), PYTHONPATH=str(PACKAGE_DIR.parent))
    config = ["--mypy-config-file", str(PROJECT / "pyproject.toml")]
    for command in (
        ["mypy.stubtest", "tegulo_rl._tegulo", "tegulo_rl._views", "tegulo_rl._batch", *config],
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
    assert run_module("play", "--seed", "0", block_numpy=True).stdout == run.stdout
    assert run_module("play", "--seed", "1").stdout != run.stdout


def test_help_explains_both_commands():
    run = run_module("--help")
    assert run.returncode == 0
    assert "play" in run.stdout and "bench" in run.stdout
    bench_help = run_module("bench", "--help").stdout
    assert "steps and games per second" in bench_help or "observe the agent to move" in bench_help


@pytest.mark.parametrize("block_numpy, chooser", [(False, "numpy"), (True, "python")])
def test_bench_reports_speed_with_a_progress_bar(block_numpy, chooser):
    run = run_module("bench", "--games", "2", "--batch", "16", "--rounds", "3", block_numpy=block_numpy)
    assert run.returncode == 0, run.stderr
    assert f"choosing actions with {chooser}" in run.stdout
    assert "steps/s" in run.stdout and "games/s" in run.stdout
    # The batched loop needs numpy; its figures follow the per-game loop's in the same run.
    assert ("GameBatch of 16 games" in run.stdout) == (chooser == "numpy")
    assert "4/4 games" in run.stderr and "[" + "#" * 40 + "]" in run.stderr
