"""The package's shape: its modules import one another without cycles, the heavy libraries load only when
used, and the sizes Python reads from the extension are those of the games the engine plays and writes."""

import ast
import pathlib
import subprocess
import sys
import tomllib

import pytest

import tegulo_rl
from tegulo_rl import PyTegulo, _views, as_arrays

PACKAGE_DIR = pathlib.Path(tegulo_rl.__file__).parent
PROJECT = pathlib.Path(__file__).resolve().parents[2]


def module_name(path):
    parts = path.relative_to(PACKAGE_DIR.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def modules():
    return {module_name(path): path for path in sorted(PACKAGE_DIR.rglob("*.py"))}


def is_type_checking(node):
    return isinstance(node, ast.If) and ast.unparse(node.test) in ("TYPE_CHECKING", "typing.TYPE_CHECKING")


def imports(source, package, known):
    """The modules of `known` that `source` (a module of `package`) imports, at the top or inside functions,
    leaving out what only type checkers read; `from P import N` imports P.N when that is a module, else P."""
    found = set()

    def visit(node):
        if is_type_checking(node):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([base] if base else []))
            for alias in node.names:
                found.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(ast.parse(source))
    return {name for name in found if name in known}


def package_of(name, path):
    return name if path.name == "__init__.py" else name.rpartition(".")[0]


def cycles(graph):
    """Every strongly connected set of more than one module, or one that imports itself (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def connect(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                connect(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1 or v in graph[v]:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            connect(v)
    return found


def test_the_modules_import_one_another_without_cycles():
    known = modules()
    graph = {name: imports(path.read_text(), package_of(name, path), known) for name, path in known.items()}
    assert {"tegulo_rl.selfplay.data", "tegulo_rl.selfplay.generation", "tegulo_rl.arena.playing"} <= set(graph)
    assert "tegulo_rl.selfplay.data" in graph["tegulo_rl.selfplay.generation"]  # the walk finds real edges
    assert cycles(graph) == []
    assert not any("tegulo_rl.__main__" in targets for targets in graph.values())
    # The finder itself: a cycle through a function-level import is one, an import only for types is not.
    assert cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]
    source = "if TYPE_CHECKING:\n    import p.a\ndef f():\n    from p import b\n    from . import c\n"
    assert imports(source, "p", {"p", "p.a", "p.b", "p.c"}) == {"p.b", "p.c"}


def test_importing_the_package_loads_no_heavy_library():
    code = (
        "import sys\n"
        "import tegulo_rl, tegulo_rl.selfplay, tegulo_rl.arena, tegulo_rl.players, tegulo_rl._ray, tegulo_rl._cli\n"
        "heavy = ('ray', 'pyarrow', 'torch', 'matplotlib', 'openskill', 'pettingzoo', 'numpy')\n"
        "print(sorted(m for m in heavy if m in sys.modules))\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"


def test_the_public_names_of_the_split_modules_still_answer():
    from tegulo_rl import arena, selfplay
    from tegulo_rl.arena import playing, reporting
    from tegulo_rl.selfplay import data, generation

    assert selfplay.load is data.load and selfplay.schema is data.schema and selfplay.generate is generation.generate
    assert issubclass(selfplay.RunMismatch, ValueError) and selfplay.RunMismatch is data.RunMismatch
    assert arena.play is playing.play and arena.plot is reporting.plot and arena.ArenaResult is reporting.ArenaResult
    for module in (arena, selfplay):
        assert sorted(module.__all__) == sorted(set(module.__all__)) and all(hasattr(module, n) for n in module.__all__)


def test_the_sizes_are_the_engine_s():
    game = PyTegulo()
    assert _views.NUM_ACTIONS == PyTegulo.num_actions == _views.ORIENTATIONS * _views.BOARD_SIZE**2
    assert PyTegulo.action_grid_shape == (_views.ORIENTATIONS, _views.BOARD_SIZE, _views.BOARD_SIZE)
    assert _views.REWARD_MODES == tuple(PyTegulo.reward_modes)
    assert _views.PIECE_KINDS == len(PyTegulo.piece_names)
    assert _views.SEATS == len(game.agents) == len(game.scores)
    np = pytest.importorskip("numpy")
    arrays = as_arrays(game.observe(0))
    cells = (_views.SEATS, _views.BOARD_SIZE, _views.BOARD_SIZE)
    assert [a.shape for a in arrays] == [cells, cells, cells, (_views.SEATS, _views.PIECE_KINDS), (_views.SEATS,),
                                         (_views.NUM_ACTIONS,)]  # fmt: skip
    assert np.frombuffer(_views.planes(game.observe(0)), np.uint8).size == sum(a.size for a in arrays)


def test_the_record_layout_is_the_one_the_engine_writes():
    game = PyTegulo()
    fresh = game.to_bytes()
    assert len(fresh) == _views.RECORD_SIZE and fresh[0] == _views.RECORD_VERSION
    offsets, size = _views.AGENT_BLOCK_OFFSETS, _views.AGENT_BLOCK_SIZE
    assert len(offsets) == _views.SEATS and offsets[-1] + size == _views.TURN_BYTE == _views.RECORD_SIZE - 1
    everything = (1 << _views.PIECE_KINDS) - 1
    for block in offsets:
        assert int.from_bytes(fresh[block + 64 : block + 68], "little") == everything  # every kind still held
        assert fresh[block + 68] == 0  # nothing placed yet
    for mover in range(_views.SEATS):
        record = game.to_bytes()
        assert record[_views.TURN_BYTE] == game.agent_selection == mover
        block = offsets[mover]
        game.step(game.observe(mover).action_mask.index(1))
        after = game.to_bytes()
        changed = {i for i in range(_views.RECORD_SIZE) if after[i] != record[i]}
        # The mover's block (cells, kinds, last kind) and the turn byte change; nothing else.
        assert changed <= set(range(block, block + size)) | {_views.TURN_BYTE}
        assert _views.TURN_BYTE in changed and after[block + 68] != 0
        assert int.from_bytes(after[block + 64 : block + 68], "little") != everything


def test_every_module_has_a_place_in_the_api_reference():
    pages = "\n".join(page.read_text() for page in (PROJECT / "docs" / "reference").glob("*.md"))
    documented = {line.split()[1] for line in pages.splitlines() if line.startswith("::: ")}
    stubs = {f"tegulo_rl.{path.stem}" for path in PACKAGE_DIR.glob("*.pyi")}
    # The command line documents itself (--help); its modules are not an API.
    api = {name for name in modules() if not name.startswith(("tegulo_rl.commands", "tegulo_rl._cli"))} | stubs
    api -= {"tegulo_rl.__main__"}
    assert sorted(api - documented) == []
    assert sorted(documented - api) == []
    with open(PROJECT / "docs" / "requirements.txt") as requirements:
        pinned = [line.strip() for line in requirements if line.strip() and not line.startswith("#")]
    assert pinned and all("==" in line for line in pinned)  # the releases the site was built with, exactly
    with open(PROJECT / "pyproject.toml", "rb") as project:
        assert tomllib.load(project)["project"]["optional-dependencies"]["docs"] == pinned
