"""The README's Python examples run as written."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_the_readme_has_its_examples():
    assert len(EXAMPLES) == 12


@pytest.mark.parametrize("number", range(len(EXAMPLES)))
def test_example_runs(number, tmp_path):
    code = EXAMPLES[number]
    for module in ("numpy", "pettingzoo"):
        if f"import {module}" in code or (module == "pettingzoo" and "tegulo_rl.env" in code):
            pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    needs = {"import gymnasium": ["gymnasium"], "tegulo_rl.sb3": ["torch", "sb3_contrib"],
             "tegulo_rl.rllib": ["torch", "ray.rllib"]}  # fmt: skip
    for marker, modules in needs.items():
        if marker in code:
            for module in modules:
                pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    if "tegulo_rl.rllib" in code and os.environ.get("TEGULO_SANITIZED"):
        pytest.skip("Ray's workers do not start under AddressSanitizer")
    if "lineup" in code:
        for module in ("torch", "safetensors"):
            pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    if "import selfplay" in code:
        for module in ("ray", "pyarrow"):
            pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    script = tmp_path / "example.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert run.returncode == 0, run.stderr
    for expected in re.findall(r"print\(.*\)\s+# (.*)", code):
        assert expected in run.stdout
