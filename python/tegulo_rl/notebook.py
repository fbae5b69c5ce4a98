"""Games shown as their boards in IPython and Jupyter.

`PyTegulo` is a type of the extension, closed to new attributes, so instead of a
`_repr_svg_` method it gets a formatter: importing tegulo_rl inside IPython
registers `draw.svg` as the SVG form of every `PyTegulo`, and so does
`%load_ext tegulo_rl.notebook` (or `register(shell)`) in a shell started later.
"""

from __future__ import annotations

import sys
from typing import Any

from tegulo_rl import draw
from tegulo_rl._tegulo import PyTegulo


def _svg(game: PyTegulo) -> str:
    return draw.svg(game, size=360)


def register(shell: Any = None) -> bool:
    """Makes `shell` (default: the running IPython, if any) show games as SVG boards; whether it did."""
    if shell is None:
        ipython = sys.modules.get("IPython")
        shell = ipython.get_ipython() if ipython is not None else None
    if shell is None:
        return False
    shell.display_formatter.formatters["image/svg+xml"].for_type(PyTegulo, _svg)
    return True


def load_ipython_extension(shell: Any) -> None:
    """`%load_ext tegulo_rl.notebook`."""
    register(shell)
