"""The command line's one home: every command is found, parsed and run the same way."""

import ast
import pathlib
import subprocess
import sys

import pytest

from tegulo_rl import _cli

PACKAGE = pathlib.Path(_cli.__file__).parent
ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_every_command_has_its_parts_and_no_module_imports_main():
    parser = _cli.build_parser()
    for name in _cli.COMMANDS:
        module = _cli.command_module(name)
        assert module.HELP and module.__doc__ and callable(module.configure) and callable(module.run), name
        assert parser.parse_args([name, *_required(name)]).command == name
    for path in PACKAGE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            names = [a.name for a in node.names] if isinstance(node, ast.Import) else []
            module = node.module if isinstance(node, ast.ImportFrom) else None
            assert "tegulo_rl.__main__" not in [*names, module], path


def _required(name):
    return {
        "arena": ["random", "greedy"], "selfplay": ["--games", "1", "--out", "x"], "train": ["--out", "x"],
        "evaluate": ["greedy"], "replay": ["--out", "x.html"],
    }.get(name, [])  # fmt: skip


@pytest.mark.parametrize("argv", [[], *([name] for name in _cli.COMMANDS)], ids=lambda argv: " ".join(argv) or "-")
def test_help_ends_with_the_path_of_a_guide_that_exists(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        _cli.main([*argv, "--help"])
    assert stop.value.code == 0
    last = capsys.readouterr().out.rstrip().splitlines()[-1]
    assert last.startswith("Guide: docs/guides/"), last
    assert (ROOT / last.removeprefix("Guide: ")).is_file(), last


def test_a_command_error_is_its_message_and_status(capsys):
    def fail(args):
        raise _cli.CommandError("no such thing", _cli.EXIT_USAGE)

    def interrupt(args):
        raise KeyboardInterrupt

    parser = _cli.build_parser()
    args = parser.parse_args(["demo"])
    args.run = fail
    assert _cli.run(args) == 2 and capsys.readouterr().err == "demo: error: no such thing\n"
    args.run = interrupt
    assert _cli.run(args) == 130 and "demo: interrupted" in capsys.readouterr().err


@pytest.mark.parametrize("check, text, message", [
    (_cli.positive, "0", "must be at least 1, got 0"),
    (_cli.non_negative, "-1", "must be at least 0, got -1"),
    (_cli.positive, "two", "expected a whole number, got 'two'"),
    (_cli.player, "rando", "Unknown player 'rando'"),
    (_cli.output_file, "/no/such/folder/x.json", "no such folder"),
])  # fmt: skip
def test_argument_checks_name_what_they_refuse(check, text, message):
    with pytest.raises(Exception, match=message):
        check(text)


def test_python_dash_m_runs_main_once():
    # The module run as __main__ is imported once: a second import would run the command twice.
    code = (
        "import runpy, sys; sys.argv = ['x', 'demo', '--seed', '4']; runpy.run_module('tegulo_rl', run_name='__main__')"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.count("a game between four random agents (seed 4)") == 1
