"""The README and the guides say what the code does: their Python examples run as written and print what
their comments say, their command lines parse, and the pages link to each other.

Each ```python block runs as a script of its own, in a fresh interpreter and a temporary folder. An HTML
comment on the line before a block (invisible on the site and on the forge) changes that, in clauses
separated by ";":

    <!-- test: needs torch sb3_contrib -->       skipped, naming the module, where one is not installed
    <!-- test: long trains for minutes -->        skipped, saying why, unless TEGULO_DOCS_LONG=1
    <!-- test: ray -->                            starts Ray, whose workers do not start under AddressSanitizer
    <!-- test: continues -->                      runs after the page's previous block, as one script

A line `print(...)  # TEXT` says what it prints: each such TEXT must be a whole line of the output, and
they must come in the order the lines do.
"""

import importlib.util
import os
import pathlib
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass, field

import pytest

from tegulo_rl import _cli

ROOT = pathlib.Path(__file__).resolve().parents[2]
GUIDES = ROOT / "docs" / "guides"
PAGES = [ROOT / "README.md", ROOT / "docs" / "index.md", *sorted(GUIDES.glob("*.md")), ROOT / "docs" / "changelog.md"]
LONG = os.environ.get("TEGULO_DOCS_LONG") == "1"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
MARKER = re.compile(r"<!-- test: (.*?) -->\n$")
PRINTED = re.compile(r"^\s*print\(.*\)\s+# (.*?)\s*$", re.M)
KEYWORDS = ("needs", "long", "ray", "continues")


@dataclass
class Block:
    page: pathlib.Path
    line: int
    language: str
    code: str
    clauses: dict[str, str] = field(default_factory=dict)
    before: "Block | None" = None  # the block this one continues

    @property
    def name(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"

    def chain(self) -> list["Block"]:
        return ([] if self.before is None else self.before.chain()) + [self]


def blocks(page: pathlib.Path) -> list[Block]:
    text = page.read_text()
    found: list[Block] = []
    for match in FENCE.finditer(text):
        marker = MARKER.search(text, 0, match.start())
        clauses = {}
        if marker is not None and marker.end() == match.start():
            for clause in marker.group(1).split(";"):
                keyword, _, rest = clause.strip().partition(" ")
                assert keyword in KEYWORDS, f"{page.name}: unknown test marker {keyword!r}"
                clauses[keyword] = rest.strip()
        block = Block(page, text.count("\n", 0, match.start()) + 1, match.group(1), match.group(2), clauses)
        if "continues" in clauses:
            earlier = [b for b in found if b.language == "python"]
            assert earlier, f"{block.name}: continues no earlier Python block"
            block.before = earlier[-1]
        found.append(block)
    return found


ALL = [block for page in PAGES for block in blocks(page)]
PYTHON = [block for block in ALL if block.language == "python"]
SHELL = [block for block in ALL if block.language == "sh"]


def installed(module: str) -> bool:
    # Found, not imported: the example imports it in its own interpreter, and importing torch here would cost
    # seconds for each block that names it.
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:
        return False


def skip_unless_runnable(block: Block) -> None:
    chain = block.chain()
    for part in chain:
        if "long" in part.clauses and not LONG:
            pytest.skip(f"{part.clauses['long']}; TEGULO_DOCS_LONG=1 runs it")
    for part in chain:
        for module in part.clauses.get("needs", "").split() + (["ray"] if "ray" in part.clauses else []):
            if not installed(module):
                pytest.skip(f"{module} is not installed for this interpreter")
        if "ray" in part.clauses and os.environ.get("TEGULO_SANITIZED"):
            pytest.skip("starts Ray, whose workers do not start under AddressSanitizer")


@pytest.mark.parametrize("block", PYTHON, ids=lambda block: block.name)
def test_python_example_runs_and_prints_what_it_says(block, tmp_path):
    skip_unless_runnable(block)
    code = "\n".join(part.code for part in block.chain())
    script = tmp_path / "example.py"
    script.write_text(code)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=900
    )
    assert run.returncode == 0, run.stderr
    lines = [line.strip() for line in run.stdout.splitlines()]
    at = 0
    for expected in PRINTED.findall(code):
        assert expected in lines[at:], f"{expected!r} not printed after line {at} of:\n{run.stdout}"
        at += lines[at:].index(expected) + 1


def command_lines(block: Block) -> list[list[str]]:
    """The invocations of the command line in a shell block, each as its arguments after the program."""
    found = []
    for line in block.code.replace("\\\n", " ").splitlines():
        for part in line.split("&&"):
            words = shlex.split(part, comments=True)
            if words[:3] == ["python", "-m", "tegulo_rl"]:
                found.append(words[3:])
            elif words[:1] == ["tegulo-rl"]:
                found.append(words[1:])
    return found


COMMANDS = [(block, argv) for block in SHELL for argv in command_lines(block)]


@pytest.mark.parametrize("block, argv", COMMANDS, ids=[f"{b.name}:{' '.join(a[:1])}" for b, a in COMMANDS])
def test_command_lines_parse(block, argv, tmp_path, monkeypatch):
    # The folders the arguments name exist, as they would where someone types the line: what is checked is that
    # the command takes its arguments as written.
    for word in argv:
        if "/" in word and not word.startswith("-"):
            (tmp_path / word).parent.mkdir(parents=True, exist_ok=True)
    monkeypatch.chdir(tmp_path)
    try:
        args = _cli.build_parser().parse_args(argv or [_cli.DEFAULT_COMMAND])
    except SystemExit as stop:
        assert stop.code == 0, f"{block.name}: {shlex.join(argv)} was refused"
    else:
        assert args.command in _cli.COMMANDS


def test_every_guide_has_runnable_code_and_the_readme_stays_a_front_page():
    guides = sorted(GUIDES.glob("*.md"))
    assert len(guides) >= 8
    for guide in guides:
        assert any(b.page == guide for b in PYTHON), f"{guide.name} has no Python example"
    readme = (ROOT / "README.md").read_text()
    assert len(readme.splitlines()) <= 220
    for guide in guides:
        assert f"docs/guides/{guide.name}" in readme, f"the README does not link to {guide.name}"


def test_the_readme_links_to_files_that_exist():
    readme = (ROOT / "README.md").read_text()
    targets = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", readme)
    assert targets
    for target in targets:
        assert (ROOT / target).exists(), f"the README links to {target}, which does not exist"
