"""The training examples run as written: each for a few seconds, writing its curve and figures."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name, tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = tmp_path / "figures.json"
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / name), "--json", str(out), "--plot", str(tmp_path / "curve.png"), *args],
        capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path,
    )  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr
    assert (tmp_path / "curve.png").stat().st_size > 0
    return run.stdout, json.loads(out.read_text())


def needs(*modules):
    for module in modules:
        pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    pytest.importorskip("matplotlib", reason="matplotlib draws the curves")


@pytest.mark.parametrize("dense", [False, True])
def test_single_file_ppo(tmp_path, dense):
    needs("torch", "gymnasium")
    extra = ["--dense"] if dense else []
    stdout, figures = run_example(
        "cleanrl_ppo.py", tmp_path, "--minutes", "0.05", "--envs", "4", "--n-steps", "8", "--eval-games", "4", *extra
    )
    assert "before training" in stdout and "after training" in stdout
    assert figures["steps"] > 0 and 0 <= figures["after"]["sampled"] <= 1


def test_maskable_ppo(tmp_path):
    needs("torch", "sb3_contrib")
    stdout, figures = run_example(
        "sb3_maskable_ppo.py", tmp_path, "--minutes", "0.05", "--envs", "4", "--n-steps", "8", "--eval-games", "4",
        "--batch-size", "16", "--channels", "8",
    )  # fmt: skip
    assert figures["steps"] > 0 and 0 <= figures["after"]["top_choice"] <= 1


def test_rllib_ppo(tmp_path):
    needs("torch", "ray.rllib")
    if os.environ.get("TEGULO_SANITIZED"):
        pytest.skip("Ray's workers do not start under AddressSanitizer")
    stdout, figures = run_example(
        "rllib_ppo.py", tmp_path, "--iterations", "1", "--batch", "128", "--minibatch", "64", "--hidden", "16",
        "--channels", "8", "--eval-games", "4",
    )  # fmt: skip
    assert "iteration 1" in stdout and figures["curve"][0][0] >= 128
    assert 0 <= figures["after"]["sampled"] <= 1


def test_selfplay_snapshots(tmp_path):
    needs("torch", "gymnasium")
    stdout, figures = run_example(
        "selfplay_snapshots.py", tmp_path, "--minutes", "0.05", "--envs", "4", "--n-steps", "8", "--channels", "8",
        "--snapshot-every", "1", "--eval-games", "2", "--ladder", "random,greedy",
    )  # fmt: skip
    assert "before training: ladder rating" in stdout and "after training: ladder rating" in stdout
    assert figures["pool"] > 2 and set(figures["after"]["rungs"]) == {"random", "greedy"}
