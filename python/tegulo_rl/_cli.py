"""The command line's one home: the parser, the progress bar, the argument checks and the exit codes.

    python -m tegulo_rl COMMAND [...]      or      tegulo-rl COMMAND [...]

Every command is a module of `tegulo_rl.commands` listed in COMMANDS, with
`HELP` (one line for the list of commands), a docstring (its --help text),
`GUIDE` (the path of its guide in the documentation, the last line of its --help),
`configure(parser)` adding its arguments and `run(args) -> int` returning an exit
status. A command module imports only what its parser needs at the top and the
rest inside `run`, so that listing the commands never imports Ray or torch.

Exit statuses, the same for every command: EXIT_OK, EXIT_FAILURE (the run failed:
a missing extra, an error of the machine), EXIT_USAGE (the arguments were refused,
argparse's own status) and EXIT_INTERRUPTED (Ctrl-C; whatever finished is reported).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import TextIO

from tegulo_rl import __version__

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# In the order `--help` lists them; the first runs when no command is given.
COMMANDS = ("demo", "bench", "arena", "selfplay", "train", "evaluate", "replay", "play")
DEFAULT_COMMAND = "demo"
# The first guide of the documentation, in the source tree (the site is built from docs/): each command names its own.
GUIDE = "docs/guides/getting-started.md"


class CommandError(Exception):
    """A run that cannot go on, with the message to print and the status to exit with."""

    def __init__(self, message: str, code: int = EXIT_FAILURE):
        super().__init__(message)
        self.code = code


class Progress:
    """Shows how far a long run has gone, as `progress(done, total, detail="")` hears of it: on a
    terminal, one bar redrawn in place; elsewhere (a pipe, a file, a CI log), where every redraw would
    stay as a line of its own, a plain line each time another of `lines` equal parts is done."""

    WIDTH = 40

    def __init__(self, unit: str, stream: TextIO | None = None, *, lines: int = 4):
        self.unit = unit
        self.stream = sys.stderr if stream is None else stream
        self.live = self.stream.isatty()
        self.lines = lines
        self.parts = 0  # parts reported so far, off a terminal

    def __call__(self, done: int, total: int, detail: str = "") -> None:
        tail = f", {detail}" if detail else ""
        if self.live:
            filled = self.WIDTH * done // total if total else self.WIDTH
            self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{total} {self.unit}{tail}")
            self.stream.write("\x1b[K" if tail else "")  # a shorter detail leaves no trail of the longer one
            if done == total:
                self.stream.write("\n")
        else:
            parts = self.lines * done // total if total else self.lines
            if parts <= self.parts:
                return
            self.parts = parts
            percent = 100 * done // total if total else 100
            self.stream.write(f"{done}/{total} {self.unit} ({percent}%){tail}\n")
        self.stream.flush()

    def end(self) -> None:
        """Leaves the line of a bar that a stop left half drawn."""
        if self.live:
            self.stream.write("\n")
            self.stream.flush()


class Rate:
    """Things per second since it was made, as text for a progress line: "67 games/s", or "-" before any."""

    def __init__(self, unit: str, clock: Callable[[], float] = time.perf_counter):
        self.unit = unit
        self.clock = clock
        self.start = clock()

    def __call__(self, count: int) -> str:
        seconds = self.clock() - self.start
        return f"{count / seconds:.0f} {self.unit}/s" if seconds > 0 and count else "-"


# --- Argument checks: each turns a refused value into a usage error naming it ------------------------------------


def whole(least: int) -> Callable[[str], int]:
    """A parser of whole numbers of at least `least`."""

    def check(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        return value

    check.__name__ = f"whole number of at least {least}"
    return check


positive = whole(1)
non_negative = whole(0)


def player(text: str) -> object:
    """A player by name, as `tegulo_rl.lineup.parse` reads it: a built-in player or one that uses a network."""
    from tegulo_rl.lineup import parse

    try:
        return parse(text)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def output_file(path: str) -> str:
    """A file that can be written: checked before a run that may take hours, rather than after it."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError(f"cannot write {path!r}: no such folder {folder!r}")
    if os.path.isdir(path):
        raise argparse.ArgumentTypeError(f"cannot write {path!r}: it is a folder")
    return path


def needs(*modules: str, extra: str) -> None:
    """Raises ArgumentTypeError naming the first missing module and the extra that installs it."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            raise argparse.ArgumentTypeError(f"needs {module}: {extra}") from None


# --- The parser and the run ----------------------------------------------------------------------------------------


def command_module(name: str) -> ModuleType:
    return importlib.import_module(f"tegulo_rl.commands.{name}")


def add_command(commands: argparse._SubParsersAction[argparse.ArgumentParser], module: ModuleType) -> None:
    name = module.__name__.rsplit(".", 1)[1]
    parser = commands.add_parser(
        name,
        help=module.HELP,
        description=module.__doc__,
        epilog=f"Guide: {module.GUIDE}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    module.configure(parser)
    parser.set_defaults(run=module.run, command=name)


def build_parser(prog: str = "python -m tegulo_rl") -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="tegulo-rl: a fast engine for a four-player polyomino placement game, for reinforcement learning.",
        epilog=f"Without a command, runs '{DEFAULT_COMMAND}'. 'COMMAND --help' tells more of each.\n\nGuide: {GUIDE}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"tegulo-rl {__version__}")
    commands = parser.add_subparsers(metavar="{" + ",".join(COMMANDS) + "}")
    for name in COMMANDS:
        add_command(commands, command_module(name))
    return parser


def run(args: argparse.Namespace) -> int:
    """Runs a parsed command: a CommandError or a missing extra is a message and its status, Ctrl-C exits 130."""
    try:
        code: int = args.run(args)
        return code
    except CommandError as error:
        print(f"{args.command}: error: {error}", file=sys.stderr)
        return error.code
    except KeyboardInterrupt:
        print(f"{args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """The command line's entry point; returns the exit status."""
    if prog is None:
        prog = "tegulo-rl" if os.path.basename(sys.argv[0]) == "tegulo-rl" else "python -m tegulo_rl"
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if not hasattr(args, "run"):  # no command given
        args = parser.parse_args([DEFAULT_COMMAND, *(argv if argv is not None else sys.argv[1:])])
    return run(args)


def console() -> None:
    """The `tegulo-rl` console script."""
    sys.exit(main(prog="tegulo-rl"))
