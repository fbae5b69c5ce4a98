"""The suite runs on the interpreter the build was configured with."""

import os
import subprocess
import sys

import pytest


def test_pytest_runs_on_the_interpreter_the_build_was_asked_for():
    # scripts/test.sh asks for its virtual environment's interpreter, which holds what
    # tests/requirements.txt names; on any other, the tests needing those would skip
    # without a word. A venv's python links to the base interpreter's binary, so the
    # environments are compared by their prefixes, not by the files.
    asked = os.environ.get("TEGULO_PYTHON_ASKED")
    if asked is None:
        pytest.skip("the build was not given an interpreter (or pytest runs outside CTest)")
    assert os.path.isabs(asked), f"the build was given {asked!r}, which CMake does not read from here"
    run = subprocess.run([asked, "-c", "import sys; print(sys.prefix)"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == sys.prefix, f"pytest runs on {sys.executable}, not on {asked}"
