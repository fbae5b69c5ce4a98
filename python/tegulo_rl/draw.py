"""Boards as pictures: SVG text, PNG images, numpy arrays, and animations of whole games.

    from tegulo_rl import PyTegulo, draw

    game = PyTegulo()
    game.step(0)
    text = draw.svg(game, legal=True)          # SVG text; a PyTegulo shows as this in a notebook
    data = draw.png(game)                      # PNG bytes (pip install 'tegulo-rl[play]')
    draw.animation([game_1, game_2, ...], "game.html")   # or .svg, .gif

A picture is a function of a position (a `PyTegulo` or its 278-byte record) and
of what the caller asks to highlight, never of how the position came about. Every
piece is outlined as one shape: an agent's pieces never share an edge, so the
edge-connected regions of its cells are its pieces (`geometry.pieces`).

Colours are those of Okabe and Ito's palette, chosen to stay apart under the
common colour-vision deficiencies, in the agents' order blue, yellow, red (a
vermilion) and green (a bluish green). They also differ in lightness, and
`marks=True` adds a shape of each agent's own on every cell (a dot, a square, a
triangle, a diamond), so that the board reads in grey as well.

PNG goes through resvg (the `resvg-py` package: a well-kept Rust renderer in a
wheel that needs no system library), GIF frames through Pillow; both are in the
`play` extra. Text (coordinates) needs a font on the machine; the board itself
has none by default, so images look the same everywhere.
"""

from __future__ import annotations

import html
import io
import json
import os
from collections.abc import Iterable, Sequence
from functools import lru_cache
from pathlib import Path
from typing import Any

from tegulo_rl import geometry
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import legal_actions
from tegulo_rl.geometry import KINDS, SIZE

__all__ = ["COLOURS", "AGENT_NAMES", "svg", "png", "rgb", "frames", "animation", "placed_cells", "CELL", "MARGIN"]

# The agents' colours (Okabe-Ito blue, yellow, vermilion, bluish green) and names.
COLOURS = ("#0072B2", "#F0E442", "#D55E00", "#009E73")
AGENT_NAMES = ("blue", "yellow", "red", "green")
# Units of the drawing: a cell's side and the margin around the board.
CELL = 20
MARGIN = 8
THEMES = {
    "light": {"background": "#ffffff", "board": "#eceff1", "grid": "#b0b7bd", "outline": "#1d1f21", "last": "#000000"},
    "dark": {"background": "#16181a", "board": "#2b2f33", "grid": "#4a5056", "outline": "#0b0c0d", "last": "#ffffff"},
}


def _rgb(colour: str) -> tuple[int, int, int]:
    return int(colour[1:3], 16), int(colour[3:5], 16), int(colour[5:7], 16)


@lru_cache(maxsize=8192)
def _outline(cells: tuple[int, ...]) -> str:
    """The SVG path data of the border of a set of cells: each closed loop of cell edges, clockwise, with a
    corner only where the border turns. Kept for the pieces met again (frames of one game share them)."""
    own = set(cells)
    starts: dict[tuple[int, int], list[tuple[int, int]]] = {}
    for cell in own:
        r, c = divmod(cell, SIZE)
        # Edges go clockwise around the set: top left to right, right down, bottom right to left, left up.
        if r == 0 or cell - SIZE not in own:
            starts.setdefault((c, r), []).append((c + 1, r))
        if c == SIZE - 1 or cell + 1 not in own:
            starts.setdefault((c + 1, r), []).append((c + 1, r + 1))
        if r == SIZE - 1 or cell + SIZE not in own:
            starts.setdefault((c + 1, r + 1), []).append((c, r + 1))
        if c == 0 or cell - 1 not in own:
            starts.setdefault((c, r + 1), []).append((c, r))
    path = []
    while starts:
        first = min(starts)
        point, corners = first, []
        heading = (0, 0)
        while True:
            ends = starts[point]
            end = ends.pop()
            if not ends:
                del starts[point]
            step = (end[0] - point[0], end[1] - point[1])
            if step != heading:
                corners.append(point)
                heading = step
            point = end
            if point == first:
                break
        path.append("M" + "L".join(f"{MARGIN + x * CELL} {MARGIN + y * CELL}" for x, y in corners) + "Z")
    return "".join(path)


def _mark(agent: int, cell: int, colour: str) -> str:
    """A small shape of the agent's own in the middle of a cell: dot, square, triangle or diamond."""
    r, c = divmod(cell, SIZE)
    x, y = MARGIN + c * CELL + CELL / 2, MARGIN + r * CELL + CELL / 2
    h = CELL * 0.2
    if agent == 0:
        return f'<circle class="mark" cx="{x}" cy="{y}" r="{h}" fill="{colour}"/>'
    if agent == 1:
        return f'<rect class="mark" x="{x - h}" y="{y - h}" width="{2 * h}" height="{2 * h}" fill="{colour}"/>'
    if agent == 2:
        t = h * 1.2
        d = f"M{x} {y - t}L{x + t} {y + h}L{x - t} {y + h}Z"
    else:
        t = h * 1.3
        d = f"M{x} {y - t}L{x + t} {y}L{x} {y + t}L{x - t} {y}Z"
    return f'<path class="mark" d="{d}" fill="{colour}"/>'


def placed_cells(before: PyTegulo | bytes, after: PyTegulo | bytes) -> tuple[int, tuple[int, ...]] | None:
    """The agent that placed a piece between two positions and the piece's cells, or None when no piece was
    placed (a pass, or the same position)."""
    old, new = geometry.position(before), geometry.position(after)
    for agent in range(4):
        added = sorted(set(new.cells[agent]) - set(old.cells[agent]))
        if added:
            return agent, tuple(added)
    return None


def legal_cells(
    game: PyTegulo | bytes, agent: int | None = None, piece: str | int | None = None
) -> list[tuple[int, ...]]:
    """The cells of every legal placement of `agent` (default: the agent to move), of one kind when `piece`
    names it (a name of `PyTegulo.piece_names` or a kind index)."""
    if not isinstance(game, PyTegulo):
        game = PyTegulo.from_bytes(geometry.record_of(game))
    agent = game.agent_selection if agent is None else agent
    kind = KINDS.index(piece) if isinstance(piece, str) else piece
    found = []
    for action in memoryview(legal_actions(game, agent)).cast("q"):
        if kind is None or geometry.action_kind(action) == kind:
            found.append(geometry.action_cells(action, agent))
    return found


def svg(
    game: PyTegulo | bytes,
    *,
    last: Iterable[int] | None = None,
    legal: bool = False,
    piece: str | int | None = None,
    marks: bool = False,
    coordinates: bool = False,
    theme: str = "light",
    size: int | None = None,
) -> str:
    """The board of a game (or its record) as SVG text.

    - `last`: cells to outline as the last placement (see `placed_cells`);
    - `legal`: marks every cell that a legal placement of the agent to move covers, in its colour; `piece`
      (a kind's name or index) keeps the placements of that kind alone;
    - `marks`: a shape of each agent's own on its cells, for readers who do not tell the colours apart;
    - `coordinates`: row and column numbers around the board (text: needs a font when rasterised);
    - `theme`: "light" or "dark"; `size`: the width and height in pixels (default: the drawing's units).
    """
    if theme not in THEMES:
        raise ValueError(f"unknown theme {theme!r}: expected one of {', '.join(THEMES)}")
    colours = THEMES[theme]
    where = geometry.position(game)
    side = 2 * MARGIN + SIZE * CELL
    pixels = side if size is None else size
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {side} {side}" width="{pixels}" height="{pixels}"'
        ' class="tegulo-board">',
        f'<rect width="{side}" height="{side}" fill="{colours["background"]}"/>',
        f'<rect x="{MARGIN}" y="{MARGIN}" width="{SIZE * CELL}" height="{SIZE * CELL}" fill="{colours["board"]}"/>',
    ]
    # The grid under everything; over the pieces the same lines again, as faint shading, so that a piece
    # reads as one shape whose cells can still be counted.
    lines = "".join(
        f"M{MARGIN + i * CELL} {MARGIN}v{SIZE * CELL}M{MARGIN} {MARGIN + i * CELL}h{SIZE * CELL}"
        for i in range(SIZE + 1)
    )
    out.append(f'<path d="{lines}" stroke="{colours["grid"]}" stroke-width="0.8" fill="none"/>')
    # Starting corners: a ring in the agent's colour, under any piece that covers it.
    for agent, (r, c) in enumerate(geometry.CORNERS):
        out.append(
            f'<circle class="corner" data-agent="{agent}" cx="{MARGIN + c * CELL + CELL / 2}"'
            f' cy="{MARGIN + r * CELL + CELL / 2}" r="{CELL * 0.3}" fill="none" stroke="{COLOURS[agent]}"'
            f' stroke-width="{CELL * 0.15}"/>'
        )
    shapes = [(agent, cells, _outline(cells)) for agent in range(4) for cells in geometry.pieces(where.cells[agent])]
    for agent, cells, outline in shapes:
        out.append(
            f'<path class="piece" data-agent="{agent}" data-cells="{" ".join(map(str, cells))}"'
            f' d="{outline}" fill="{COLOURS[agent]}"/>'
        )
    if shapes:
        out.append(
            f'<path d="{lines}" stroke="{colours["outline"]}" stroke-width="0.6" stroke-opacity="0.16" fill="none"/>'
        )
    every = "".join(outline for _, _, outline in shapes)
    if every:
        out.append(
            f'<path class="outlines" d="{every}" fill="none" stroke="{colours["outline"]}" stroke-width="2"'
            ' stroke-linejoin="round"/>'
        )
    if marks:
        ink = "#000000" if theme == "light" else "#ffffff"
        for agent in range(4):
            shade = "#ffffff" if agent in (0, 2, 3) and theme == "light" else ink
            out.extend(_mark(agent, cell, shade) for cell in where.cells[agent])
    if legal:
        mover = where.to_move
        covered = sorted({cell for cells in legal_cells(game, mover, piece) for cell in cells})
        dots = "".join(
            f'<circle class="legal" cx="{MARGIN + (cell % SIZE) * CELL + CELL / 2}"'
            f' cy="{MARGIN + (cell // SIZE) * CELL + CELL / 2}" r="{CELL * 0.18}"/>'
            for cell in covered
        )
        out.append(
            f'<g class="legal-cells" data-agent="{mover}" fill="{COLOURS[mover]}" stroke="{colours["outline"]}"'
            f' stroke-width="0.8">{dots}</g>'
        )
    last_cells = tuple(last) if last is not None else ()
    if last_cells:
        out.append(
            f'<path class="last" data-cells="{" ".join(map(str, sorted(last_cells)))}" d="{_outline(last_cells)}"'
            f' fill="none" stroke="{colours["last"]}" stroke-width="3.2" stroke-linejoin="round"/>'
        )
    if coordinates:
        font = f'font-family="sans-serif" font-size="{CELL * 0.32}" fill="{colours["grid"]}" text-anchor="middle"'
        for i in range(SIZE):
            out.append(f'<text x="{MARGIN + i * CELL + CELL / 2}" y="{MARGIN * 0.8}" {font}>{i}</text>')
            out.append(f'<text x="{MARGIN / 2}" y="{MARGIN + i * CELL + CELL * 0.6}" {font}>{i}</text>')
    out.append("</svg>")
    return "".join(out)


def _resvg() -> Any:
    try:
        import resvg_py
    except ImportError:
        raise ImportError("PNG images need resvg-py: pip install 'tegulo-rl[play]'") from None
    return resvg_py


def png(game: PyTegulo | bytes, *, size: int = 420, **options: Any) -> bytes:
    """The board as PNG bytes, `size` pixels square; other options as for `svg`."""
    return bytes(_resvg().svg_to_bytes(svg_string=svg(game, size=size, **options)))


def rgb(game: PyTegulo | bytes, *, size: int = 420, **options: Any) -> Any:
    """The board as an RGB numpy array of shape (size, size, 3), uint8 (needs numpy and Pillow)."""
    import numpy as np
    from PIL import Image

    with Image.open(io.BytesIO(png(game, size=size, **options))) as image:
        return np.asarray(image.convert("RGB"))


# --- Whole games ---------------------------------------------------------------------------------------------------


def frames(positions: Sequence[PyTegulo | bytes]) -> list[tuple[bytes, int, tuple[int, ...]]]:
    """The placements of a game, given its positions in order (passes and repeats are skipped): for each,
    the record after it, the agent that placed and the piece's cells."""
    records = [geometry.record_of(p) for p in positions]
    found = []
    for before, after in zip(records, records[1:], strict=False):
        placed = placed_cells(before, after)
        if placed is not None:
            found.append((after, placed[0], placed[1]))
    return found


def _scores(record: bytes) -> list[int]:
    return PyTegulo.from_bytes(record).scores


def animation(
    positions: Sequence[PyTegulo | bytes],
    out: str | os.PathLike[str] | None = None,
    *,
    format: str | None = None,
    seconds: float = 0.5,
    title: str = "",
    **options: Any,
) -> str | bytes:
    """An animation of a game from its positions in order, the first usually the empty board: one frame per
    placement, each with that placement outlined. `format` is "html" (a page with a slider, play and pause,
    and the scores over time), "svg" (an animated SVG that loops) or "gif"; by default the extension of
    `out`. Writes `out` when given; returns the text (html, svg) or bytes (gif)."""
    if format is None:
        if out is None:
            raise ValueError("name a format or a file to write")
        format = os.path.splitext(os.fspath(out))[1].lstrip(".").lower()
    steps = frames(positions)
    if not steps:
        raise ValueError("the positions hold no placement")
    content: str | bytes
    if format == "html":
        content = _html(steps, seconds, title, options)
    elif format == "svg":
        content = _animated_svg(steps, seconds, options)
    elif format == "gif":
        content = _gif(steps, seconds, options)
    else:
        raise ValueError(f"unknown animation format {format!r}: expected html, svg or gif")
    if out is not None:
        Path(out).write_bytes(content if isinstance(content, bytes) else content.encode())
    return content


def _gif(steps: list[tuple[bytes, int, tuple[int, ...]]], seconds: float, options: dict[str, Any]) -> bytes:
    from PIL import Image

    size = options.pop("size", 420)
    images = [Image.open(io.BytesIO(png(record, size=size, last=cells, **options))) for record, _, cells in steps]
    sink = io.BytesIO()
    durations = [round(seconds * 1000)] * (len(images) - 1) + [round(seconds * 4000)]  # rest on the end
    images[0].save(sink, format="GIF", save_all=True, append_images=images[1:], duration=durations, loop=0)
    return sink.getvalue()


def _animated_svg(steps: list[tuple[bytes, int, tuple[int, ...]]], seconds: float, options: dict[str, Any]) -> str:
    """One SVG of the final board whose pieces appear in the order played (SMIL animation, looping, with a
    rest on the end); the piece just placed is outlined while it is the newest."""
    count = len(steps)
    ink = THEMES[options.get("theme", "light")]
    total = seconds * (count + 4)
    pieces = []
    for k, (_, agent, cells) in enumerate(steps):
        appear = (k + 1) * seconds / total
        until = min((k + 2) * seconds / total, 1.0)
        show = (
            f'<animate attributeName="opacity" dur="{total:g}s" repeatCount="indefinite" calcMode="discrete"'
            f' keyTimes="0;{appear:.5f}" values="0;1"/>'
        )
        pieces.append(
            f'<g class="placement" data-agent="{agent}" data-cells="{" ".join(map(str, cells))}" opacity="0">'
            f'<path d="{_outline(cells)}" fill="{COLOURS[agent]}" stroke="{ink["outline"]}"'
            f' stroke-width="1.6" stroke-linejoin="round"/>'
            f'<path d="{_outline(cells)}" fill="none" stroke="{ink["last"]}"'
            f' stroke-width="3.2" stroke-linejoin="round" opacity="0">'
            f'<animate attributeName="opacity" dur="{total:g}s" repeatCount="indefinite" calcMode="discrete"'
            f' keyTimes="0;{appear:.5f};{until:.5f}" values="0;1;0"/></path>{show}</g>'
        )
    # Under the pieces, the empty board with its corners.
    empty = svg(PyTegulo(), **options)
    return empty[: -len("</svg>")] + "".join(pieces) + "</svg>"


def _score_chart(history: list[list[int]], width: int = 420, height: int = 140) -> str:
    """The four agents' scores after each placement, as an SVG line chart."""
    low = min(min(s) for s in history)
    high = max(max(s) for s in history)
    span = max(high - low, 1)
    count = max(len(history) - 1, 1)

    def point(k: int, score: int) -> str:
        return f"{8 + (width - 16) * k / count:.1f},{8 + (height - 16) * (high - score) / span:.1f}"

    lines = []
    for agent in range(4):
        points = " ".join(point(k, scores[agent]) for k, scores in enumerate(history))
        dash = ("", ' stroke-dasharray="6 3"', ' stroke-dasharray="2 3"', ' stroke-dasharray="8 3 2 3"')[agent]
        lines.append(f'<polyline points="{points}" fill="none" stroke="{COLOURS[agent]}" stroke-width="2"{dash}/>')
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" width="{width}" height="{height}">'
        f'<rect width="{width}" height="{height}" fill="#fafafa" stroke="#ccc"/>{"".join(lines)}'
        f'<line id="now" x1="8" x2="8" y1="0" y2="{height}" stroke="#555" stroke-width="1"/></svg>'
    )


def _html(steps: list[tuple[bytes, int, tuple[int, ...]]], seconds: float, title: str, options: dict[str, Any]) -> str:
    """A self-contained page: every frame's SVG, a slider, play and pause, and the scores over time."""
    boards = [svg(record, last=cells, **options) for record, _, cells in steps]
    history = [_scores(record) for record, _, _ in steps]
    captions = [
        f"{k + 1}/{len(steps)}: {AGENT_NAMES[agent]} placed {KINDS[geometry.kind_of(cells)]}"
        for k, (_, agent, cells) in enumerate(steps)
    ]
    data = json.dumps({"boards": boards, "scores": history, "captions": captions, "seconds": seconds})
    data = data.replace("</", "<\\/")  # no end tag inside the script
    legend = "".join(
        f'<span class="agent"><span class="swatch" style="background:{COLOURS[a]}"></span>{AGENT_NAMES[a]}'
        f' <b id="score{a}"></b></span>'
        for a in range(4)
    )
    name = html.escape(title or "tegulo-rl replay")
    return _PAGE.format(
        title=name, legend=legend, chart=_score_chart(history), last=len(steps) - 1, data=data, count=len(steps)
    )


_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 1.5em; color: #222; }}
#board svg {{ width: min(90vw, 520px); height: auto; display: block; }}
.controls {{ display: flex; gap: .6em; align-items: center; margin: .6em 0; width: min(90vw, 520px); }}
.controls input {{ flex: 1; }}
.agent {{ margin-right: 1em; white-space: nowrap; }}
.swatch {{ display: inline-block; width: .9em; height: .9em; border: 1px solid #333; margin-right: .3em;
  vertical-align: -0.1em; }}
#chart svg {{ width: min(90vw, 520px); height: auto; }}
</style></head>
<body>
<h1>{title}</h1>
<div id="board"></div>
<div class="controls"><button id="play" type="button">Play</button>
<input id="slider" type="range" min="0" max="{last}" value="{last}" aria-label="placement">
<span id="caption"></span></div>
<div>{legend}</div>
<div id="chart">{chart}</div>
<script>
const replay = {data};
const slider = document.getElementById("slider"), play = document.getElementById("play");
let timer = null;
function show(k) {{
  document.getElementById("board").innerHTML = replay.boards[k];
  document.getElementById("caption").textContent = replay.captions[k];
  replay.scores[k].forEach((s, a) => document.getElementById("score" + a).textContent = s);
  const x = 8 + (420 - 16) * k / Math.max(replay.scores.length - 1, 1);
  const now = document.getElementById("now"); now.setAttribute("x1", x); now.setAttribute("x2", x);
  slider.value = k;
}}
function stop() {{ clearInterval(timer); timer = null; play.textContent = "Play"; }}
play.onclick = () => {{
  if (timer) return stop();
  if (+slider.value >= {count} - 1) show(0);
  play.textContent = "Pause";
  timer = setInterval(() => {{ const k = +slider.value + 1; if (k >= {count}) stop(); else show(k); }},
                      replay.seconds * 1000);
}};
slider.oninput = () => {{ stop(); show(+slider.value); }};
document.addEventListener("keydown", e => {{
  if (e.key === " ") {{ e.preventDefault(); play.onclick(); }}
  if (e.key === "ArrowRight") {{ stop(); show(Math.min(+slider.value + 1, {count} - 1)); }}
  if (e.key === "ArrowLeft") {{ stop(); show(Math.max(+slider.value - 1, 0)); }}
}});
show({last});
</script></body></html>
"""
