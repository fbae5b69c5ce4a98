"""Boards as pictures and games as replays: the geometry read from records and from the engine, the SVG's
shapes against the engine's cells, the animations' frames, the replay command, the colours."""

import itertools
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from tegulo_rl import PyTegulo, _cli, draw, geometry, players, replays

from conftest import KIND_CELLS, legal_actions

SVG = "{http://www.w3.org/2000/svg}"


def played(seed, plies=None, player="random"):
    """The positions of a game between four copies of a player, from the start."""
    game, positions = PyTegulo(), [PyTegulo()]
    while not game.is_over and (plies is None or game.ply < plies):
        game.step(players.choose(game, player, seed=seed * 1000 + game.ply))
        positions.append(game.copy())
    return positions


def engine_cells(game):
    """Each agent's cells as the engine's observation of agent 0 (the real board) has them."""
    planes = np.frombuffer(game.observe(0).observation, dtype=np.uint8).reshape(4, 400)
    return [set(np.flatnonzero(planes[agent]).tolist()) for agent in range(4)]


# --- Geometry -------------------------------------------------------------------------------------------------------


def test_the_catalogue_is_the_engines():
    catalogue = geometry.catalogue()
    assert len(catalogue.shapes) == 91
    assert [sum(1 for k in catalogue.kinds if k == kind) for kind in range(21)] == [
        1, 2, 4, 2, 4, 1, 8, 2, 4, 8, 1, 8, 4, 4, 8, 8, 4, 4, 4, 8, 2,
    ]  # fmt: skip
    assert [len(catalogue.shapes[catalogue.kinds.index(k)]) for k in range(21)] == list(KIND_CELLS)
    for o in range(91):
        turned = o
        for _ in range(4):
            turned = catalogue.rotated[turned]
            assert catalogue.kinds[turned] == catalogue.kinds[o]
        assert turned == o and catalogue.flipped[catalogue.flipped[o]] == o
    # Every legal action's cells, for every agent's frame, are those the engine fills when it is played.
    for game in played(3, plies=30)[::3]:
        agent = game.agent_selection
        before = engine_cells(game)[agent]
        for action in legal_actions(game):
            after = game.copy()
            after.step(action)
            assert set(geometry.action_cells(action, agent)) == engine_cells(after)[agent] - before
            assert geometry.action_kind(action) == geometry.kind_of(geometry.action_cells(action, agent))
    with pytest.raises(ValueError, match="off the board"):
        geometry.action_cells(89 * 400 + 19, 0)  # I5 flat from column 19
    with pytest.raises(ValueError, match="not an action"):
        geometry.action_cells(36400, 0)


@pytest.mark.parametrize("seed", [1, 2])
def test_a_record_gives_cells_kinds_and_pieces(seed):
    for game in played(seed, player="greedy")[::7]:
        where = geometry.position(game.to_bytes())
        assert [set(c) for c in where.cells] == engine_cells(game)
        pieces = np.frombuffer(game.observe(0).pieces, dtype=np.uint8).reshape(4, 21)
        assert [list(k) for k in where.remaining] == [np.flatnonzero(p).tolist() for p in pieces]
        assert where.to_move == game.agent_selection and where.ply == game.ply
        for agent in range(4):
            # The edge-connected regions are the pieces: as many as placed, of the kinds placed.
            found = geometry.pieces(where.cells[agent])
            placed = sorted(set(range(21)) - set(where.remaining[agent]))
            assert sorted(geometry.kind_of(p) for p in found) == placed
    with pytest.raises(ValueError, match="Not a game state"):
        geometry.position(b"\x01" * 10)
    with pytest.raises(TypeError, match="PyTegulo or its 278-byte record"):
        geometry.position("board")


# --- The SVG --------------------------------------------------------------------------------------------------------


def polygon_cells(d):
    """The cells whose centres lie inside a path of straight closed loops (even-odd), read from its data."""
    loops = [
        [tuple(map(float, point.split())) for point in re.findall(r"[ML]([-\d. ]+)", loop)]
        for loop in d.split("Z")
        if loop
    ]
    inside = set()
    for cell in range(400):
        x = draw.MARGIN + (cell % 20 + 0.5) * draw.CELL
        y = draw.MARGIN + (cell // 20 + 0.5) * draw.CELL
        crossings = 0
        for loop in loops:
            for (x1, y1), (x2, y2) in zip(loop, loop[1:] + loop[:1], strict=True):
                if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                    crossings += 1
        if crossings % 2:
            inside.add(cell)
    return inside


@pytest.mark.parametrize("seed", [5, 6])
def test_each_piece_is_one_outline_over_the_engines_cells(seed):
    positions = played(seed, player="heuristic")
    for before, game in [(positions[-2], positions[-1]), (positions[30], positions[31])]:
        placed = draw.placed_cells(before, game)
        root = ET.fromstring(draw.svg(game, last=placed[1], marks=True))
        shapes = root.findall(f"{SVG}path[@class='piece']")
        assert len(shapes) == game.ply  # one shape a placement
        covered = [set() for _ in range(4)]
        for shape in shapes:
            agent = int(shape.get("data-agent"))
            cells = polygon_cells(shape.get("d"))
            assert shape.get("fill") == draw.COLOURS[agent]
            assert cells == set(map(int, shape.get("data-cells").split()))
            assert geometry.kind_of(cells) is not None and not covered[agent] & cells
            covered[agent] |= cells
        assert covered == engine_cells(game)
        last = root.find(f"{SVG}path[@class='last']")
        stepped = engine_cells(game)[placed[0]] - engine_cells(before)[placed[0]]
        assert polygon_cells(last.get("d")) == stepped
        corners = [(float(c.get("cx")), float(c.get("cy"))) for c in root.findall(f"{SVG}circle[@class='corner']")]
        assert corners == [
            (draw.MARGIN + (c + 0.5) * draw.CELL, draw.MARGIN + (r + 0.5) * draw.CELL) for r, c in geometry.CORNERS
        ]
        # Marks: one shape a covered cell, a different kind of shape for each agent.
        marks = root.findall("*[@class='mark']")
        assert len(marks) == sum(map(len, covered))
        kinds = {(el.tag, el.get("d", "")[:1] and len(el.get("d").split("L"))) for el in marks}
        assert len(kinds) == 4  # a dot, a square, a triangle, a diamond


def test_legal_placements_are_marked_for_the_mover_or_one_piece():
    game = played(8, plies=22)[-1]
    root = ET.fromstring(draw.svg(game, legal=True))
    group = root.find(f"{SVG}g[@class='legal-cells']")
    assert int(group.get("data-agent")) == game.agent_selection
    dots = {
        round((float(c.get("cy")) - draw.MARGIN) / draw.CELL - 0.5) * 20
        + round((float(c.get("cx")) - draw.MARGIN) / draw.CELL - 0.5)
        for c in group
    }
    agent, before = game.agent_selection, engine_cells(game)[game.agent_selection]
    reachable, by_kind = set(), {}
    for action in legal_actions(game):
        after = game.copy()
        after.step(action)
        cells = engine_cells(after)[agent] - before
        reachable |= cells
        by_kind.setdefault(geometry.action_kind(action), set()).update(cells)
    assert dots == reachable and dots
    kind = max(by_kind)
    one = ET.fromstring(draw.svg(game, legal=True, piece=PyTegulo.piece_names[kind]))
    assert len(one.find(f"{SVG}g[@class='legal-cells']")) == len(by_kind[kind])


def test_options_are_checked_and_themes_differ():
    game = played(9, plies=8)[-1]
    assert draw.svg(game, theme="dark") != draw.svg(game)
    with pytest.raises(ValueError, match="unknown theme"):
        draw.svg(game, theme="blue")
    ET.fromstring(draw.svg(game, coordinates=True, size=200))
    assert draw.svg(PyTegulo()).count('class="piece"') == 0


def test_colours_stay_apart_for_colour_blind_readers():
    """Machado et al. (2009) simulations of full protanopia, deuteranopia and tritanopia: the agents'
    colours stay at least 20 (CIE76) apart under the common two and 15 under the rare third, and differ in
    lightness by at least 5 from each other without any simulation."""
    machado = {
        "protan": [[0.152286, 1.052583, -0.204868], [0.114503, 0.786281, 0.099216], [-0.003882, -0.048116, 1.051998]],
        "deutan": [[0.367322, 0.860646, -0.227968], [0.280085, 0.672501, 0.047413], [-0.011820, 0.042940, 0.968881]],
        "tritan": [[1.255528, -0.076749, -0.178779], [-0.078411, 0.930809, 0.147602], [0.004733, 0.691367, 0.303900]],
        "none": np.eye(3),
    }

    def lab(linear):
        xyz = np.array([[0.4124, 0.3576, 0.1805], [0.2126, 0.7152, 0.0722], [0.0193, 0.1192, 0.9505]]) @ linear
        t = xyz / np.array([0.95047, 1.0, 1.08883])
        f = np.where(t > 0.008856, np.cbrt(t), 7.787 * t + 16 / 116)
        return np.array([116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])])

    srgb = np.array([[int(c[i : i + 2], 16) / 255 for i in (1, 3, 5)] for c in draw.COLOURS])
    linear = np.where(srgb <= 0.04045, srgb / 12.92, ((srgb + 0.055) / 1.055) ** 2.4)
    for name, matrix in machado.items():
        seen = [lab(np.clip(np.array(matrix) @ colour, 0, 1)) for colour in linear]
        apart = min(np.linalg.norm(a - b) for a, b in itertools.combinations(seen, 2))
        assert apart >= (15 if name == "tritan" else 20), name
        if name == "none":
            assert min(abs(a[0] - b[0]) for a, b in itertools.combinations(seen, 2)) >= 3


# --- Images and animations ------------------------------------------------------------------------------------------


def test_png_and_rgb():
    pytest.importorskip("resvg_py", reason="PNG needs resvg-py: pip install '.[play]'")
    pytest.importorskip("PIL", reason="images need Pillow: pip install '.[play]'")
    game = played(10, plies=12)[-1]
    data = draw.png(game, size=208)
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    image = draw.rgb(game, size=416)  # one pixel a unit: cells of 20 from 8
    for agent, cells in enumerate(engine_cells(game)):
        for cell in cells:
            r, c = divmod(cell, 20)
            assert image[8 + 20 * r + 10, 8 + 20 * c + 10].tolist() == [
                int(draw.COLOURS[agent][i : i + 2], 16) for i in (1, 3, 5)
            ]


def test_animations_have_one_frame_a_placement(tmp_path):
    positions = played(11, player="greedy")
    ply = positions[-1].ply
    page = draw.animation(positions, tmp_path / "game.html")
    assert (tmp_path / "game.html").read_text() == page
    assert page.count('class=\\"tegulo-board\\"') == ply and 'id="slider"' in page
    animated = ET.fromstring(draw.animation(positions, format="svg"))
    steps = animated.findall(f"{SVG}g[@class='placement']")
    assert len(steps) == ply
    placements = [draw.placed_cells(b, a) for b, a in zip(positions, positions[1:], strict=False)]
    for step, (agent, cells) in zip(steps, [p for p in placements if p is not None], strict=True):
        assert int(step.get("data-agent")) == agent and polygon_cells(step[0].get("d")) == set(cells)
    with pytest.raises(ValueError, match="unknown animation format"):
        draw.animation(positions, format="mp4")
    with pytest.raises(ValueError, match="no placement"):
        draw.animation(positions[:1], format="html")
    pytest.importorskip("resvg_py", reason="GIF needs resvg-py: pip install '.[play]'")
    Image = pytest.importorskip("PIL.Image", reason="GIF needs Pillow: pip install '.[play]'")
    draw.animation(positions[:13], tmp_path / "game.gif", size=120)
    with Image.open(tmp_path / "game.gif") as gif:
        assert gif.n_frames == 12


# --- Replays --------------------------------------------------------------------------------------------------------


def test_a_record_replays_in_an_order_the_rules_allow():
    final = played(12, player="heuristic")[-1]
    positions = replays.from_record(final.to_bytes())
    assert len(positions) == final.ply + 1
    assert geometry.position(positions[-1]).cells == geometry.position(final).cells
    for before, after in zip(positions, positions[1:], strict=False):
        agent, cells = draw.placed_cells(before, after)
        own = set(geometry.position(before).cells[agent])
        touching = {
            (cell // 20 + dr) * 20 + cell % 20 + dc
            for cell in cells
            for dr, dc in ((-1, -1), (-1, 1), (1, -1), (1, 1))
            if 0 <= cell // 20 + dr < 20 and 0 <= cell % 20 + dc < 20
        }
        sides = {n for cell in cells for n in geometry.neighbours(cell)}
        r, c = geometry.CORNERS[agent]
        assert (touching & own if own else r * 20 + c in cells) and not sides & own
        assert PyTegulo.from_bytes(after).scores is not None  # the engine takes every record made


def test_a_fresh_game_and_self_play_data_replay_as_played(tmp_path):
    positions = replays.fresh(["greedy", "random", "heuristic", "random"], seed=4)
    assert [geometry.position(p).ply for p in positions] == list(range(len(positions)))
    assert replays.fresh(["greedy", "random", "heuristic", "random"], seed=4) == positions
    pq = pytest.importorskip("pyarrow.parquet", reason="self-play data needs pyarrow")
    from tegulo_rl import selfplay

    plan = selfplay.make_plan("greedy", 3, seed=2, shard_games=3)
    table = selfplay.play_shard(plan, 0)
    pq.write_table(table, tmp_path / "shard.parquet")
    rows = [row for row in table.to_pylist() if row["game"] == 1]
    game = PyTegulo()
    expected = [game.to_bytes()]
    for row in rows:  # a row a decision: the turns of agents out of moves pass without one
        while game.terminations[game.agent_selection]:
            game.step(None)
        assert row["record"] == game.to_bytes()
        game.step(row["action"])
        if game.ply > geometry.position(expected[-1]).ply:
            expected.append(game.to_bytes())
    boards = [geometry.position(p).cells for p in expected]  # whose turn may differ by the passes between
    assert [geometry.position(p).cells for p in replays.from_selfplay(tmp_path / "shard.parquet", 1)] == boards
    assert [geometry.position(p).cells for p in replays.from_selfplay(tmp_path, 1)] == boards
    with pytest.raises(ValueError, match="no game 7"):
        replays.from_selfplay(tmp_path, 7)


def test_the_replay_command(tmp_path, capsys):
    record = tmp_path / "final.tegulo"
    final = played(13, player="greedy")[-1]
    record.write_bytes(final.to_bytes())
    assert _cli.main(["replay", str(record), "--out", str(tmp_path / "a.svg")]) == _cli.EXIT_OK
    assert len(ET.parse(tmp_path / "a.svg").getroot().findall(f"{SVG}g[@class='placement']")) == final.ply
    out = tmp_path / "b.html"
    assert _cli.main(["replay", "--players", "random", "--seed", "3", "--out", str(out)]) == _cli.EXIT_OK
    assert out.read_text().count("tegulo-board") == geometry.position(replays.fresh(["random"] * 4, 3)[-1]).ply
    assert f"placements written to {out}" in capsys.readouterr().out
    for argv, message in [
        (["replay", "--out", str(tmp_path / "c.html")], "name a SOURCE or --players"),
        (["replay", str(record), "--out", str(tmp_path / "c.mp4")], "expected a .html"),
        (["replay", str(tmp_path), "--out", str(tmp_path / "c.html")], "needs --game"),
        (["replay", "--players", "random", "greedy", "--out", str(tmp_path / "c.html")], "one player"),
    ]:
        assert _cli.main(argv) == _cli.EXIT_USAGE
        assert message in capsys.readouterr().err
    pytest.importorskip("resvg_py", reason="PNG needs resvg-py: pip install '.[play]'")
    assert _cli.main(["replay", str(record), "--out", str(tmp_path / "d.png"), "--size", "100"]) == _cli.EXIT_OK
    assert (tmp_path / "d.png").read_bytes() == draw.png(final, size=100)


def test_a_game_shows_as_its_board_in_ipython():
    interactive = pytest.importorskip("IPython.core.interactiveshell", reason="needs IPython")
    from tegulo_rl import notebook

    shell = interactive.InteractiveShell.instance()
    assert notebook.register(shell)
    game = played(14, plies=6)[-1]
    shown, _ = shell.display_formatter.format(game)
    assert shown["image/svg+xml"] == draw.svg(game, size=360)
