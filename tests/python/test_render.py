"""render(): the board text on file descriptor 1."""

import contextlib
import io

import pytest

from tegulo_rl._tegulo import PyTegulo

ESC = "\x1b"
SEPARATOR = "-" * 103
HEADER = "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 | 16 | 17 | 18 | 19 |"
FREE_ROW0 = " 0" + "|  . " * 20 + "|"


def rendered(game, capfd):
    capfd.readouterr()
    assert game.render() is None
    out = capfd.readouterr().out
    assert out.endswith("|\n") and not out.endswith("\n\n")
    return out[:-1].split("\n")


def visible(line):
    for code in ("44m", "43m", "41m", "42m", "0m"):
        line = line.replace(ESC + "[" + code, "")
    return line


def test_fresh_board(game, capfd):
    lines = rendered(game, capfd)
    assert lines[:4] == [HEADER, SEPARATOR, FREE_ROW0, SEPARATOR]
    assert len(lines) == 41
    assert all(len(line) == 103 for line in lines)
    assert [line[:2] for line in lines[2::2]] == [f"{r:2d}" for r in range(20)]
    assert lines[-1] == "19" + "|  . " * 20 + "|"


def test_agent_colours_byte_for_byte(game, capfd):
    for _ in range(4):
        game.step(0)  # each agent's monomino on its own corner
    lines = rendered(game, capfd)
    cell = "|  {}x" + ESC + "[0m "
    blue, yellow, red, green = (cell.format(ESC + f"[{c}m") for c in (44, 43, 41, 42))
    assert lines[2] == " 0" + blue + "|  . " * 18 + yellow + "|"
    assert lines[40] == "19" + green + "|  . " * 18 + red + "|"
    assert blue.encode() == bytes.fromhex("7C 20 20 1B 5B 34 34 6D 78 1B 5B 30 6D 20")
    for line in (lines[2], lines[40]):
        assert len(line) == 103 + 9 * 2
        assert len(visible(line)) == 103


def test_a_cell_claimed_twice_shows_the_lowest_agent(capfd):
    record = bytearray(PyTegulo().to_bytes())
    for agent in (3, 2):
        record[1 + 69 * agent + 48] |= 1  # (0, 0)
    game = PyTegulo.from_bytes(bytes(record))
    assert rendered(game, capfd)[2].startswith(" 0|  " + ESC + "[41mx" + ESC + "[0m |  . ")


def test_render_writes_to_the_descriptor_not_sys_stdout(game, capfd):
    capfd.readouterr()
    caught = io.StringIO()
    with contextlib.redirect_stdout(caught):
        game.render()
    assert caught.getvalue() == ""
    assert capfd.readouterr().out.startswith(HEADER)


def test_render_refuses_while_the_game_is_being_changed(game, capfd):
    class RendersDuringStep:
        def __index__(self):
            game.render()
            return 0

    capfd.readouterr()
    with pytest.raises(RuntimeError) as raised:
        game.step(RendersDuringStep())
    assert str(raised.value) == "Already mutably borrowed"
    assert capfd.readouterr().out == ""
    assert PyTegulo.render.__text_signature__ == "($self)"
    assert str(game).startswith("<tegulo_rl._tegulo.PyTegulo object at")
