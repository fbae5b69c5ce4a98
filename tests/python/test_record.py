"""The 278-byte state record, copying and pickling."""

import copy
import pickle

import pytest

from tegulo_rl._tegulo import PyTegulo

from conftest import play_to_end

MESSAGE = "Not a game state written by to_bytes() of this version"


def fresh_record():
    block = bytes(64) + b"\xff\xff\x1f\x00" + b"\x00"
    return b"\x01" + block * 4 + b"\x00"


def state_of(game):
    """Everything a game shows, for comparing two games field by field."""
    observations = [game.observe(a) for a in range(4)]
    return (
        game.to_bytes(),
        game.ply,
        game.agent_selection,
        game.terminations,
        game.scores,
        [(o.observation, o.corners, o.pieces, o.done, o.action_mask) for o in observations],
    )


def test_fresh_and_first_placement_records(game):
    assert game.to_bytes() == fresh_record() == game.__getstate__()
    game.step(0)
    after = game.to_bytes()
    changed = [i for i, (a, b) in enumerate(zip(after, fresh_record(), strict=True)) if a != b]
    assert changed == [49, 65, 69, 277]
    assert (after[49], after[65:69], after[69], after[277]) == (1, b"\xfe\xff\x1f\x00", 1, 1)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x01",
        fresh_record()[:277],
        fresh_record() + b"\x00",
        b"\x00" + fresh_record()[1:],
        b"\x02" + fresh_record()[1:],
        fresh_record()[:277] + b"\x04",
    ],
)
def test_rejected_records(data):
    with pytest.raises(ValueError) as raised:
        PyTegulo.from_bytes(data)
    assert str(raised.value) == MESSAGE


def test_accepted_edges_of_the_record():
    record = bytearray(fresh_record())
    record[277] = 3
    record[1 + 64 : 1 + 68] = bytes(4)  # agent 0 has placed all 21 kinds
    record[1 + 68] = 101
    game = PyTegulo.from_bytes(bytes(record))
    assert game.ply == 21
    assert game.agent_selection == 3
    assert game.terminations[0] is True
    assert game.scores[0] == 15
    assert game.to_bytes() == bytes(record)


def record(remaining=(0x1FFFFF,) * 4, last=(0,) * 4, cells=(), turn=0):
    """A state record: each agent's remaining kinds and last kind, cells as (agent, row, col)."""
    data = bytearray(fresh_record())
    for agent in range(4):
        base = 1 + 69 * agent
        data[base + 64 : base + 68] = remaining[agent].to_bytes(4, "little")
        data[base + 68] = last[agent]
    for agent, row, col in cells:
        p = 21 * row + col
        data[1 + 69 * agent + 16 * (3 - p // 128) + (p % 128) // 8] |= 1 << (p % 8)
    data[277] = turn
    return bytes(data)


@pytest.mark.parametrize(
    "last, rank, share",
    [
        ((1, 1, 101, 101), [0.8333333730697632] * 2 + [0.1666666716337204] * 2, [0.5, 0.5, 0.0, 0.0]),
        ((101, 1, 101, 101), [0.3333333432674408, 1.0] + [0.3333333432674408] * 2, [0.0, 1.0, 0.0, 0.0]),
    ],
)
def test_final_scores_and_single_precision_rewards(last, rank, share):
    game = PyTegulo.from_bytes(record(remaining=(0,) * 4, last=last))
    assert game.is_over and game.ply == 84
    assert game.scores == [20 if code == 1 else 15 for code in last]
    assert game.outcome("rank") == rank
    assert game.outcome("win_share") == share


def test_a_read_game_whose_agent_to_move_is_done_passes():
    game = PyTegulo.from_bytes(
        record(remaining=(0x1FFFFE,) + (0x1FFFFF,) * 3, last=(1, 0, 0, 0), cells=[(0, 0, 19)], turn=1)
    )
    assert game.terminations == [False, True, False, False]
    assert game.rewards == [None, -89, None, None]
    assert game.step(None) is None and game.agent_selection == 2


def test_reading_takes_bytes_only(game):
    class Record(bytes):
        pass

    assert PyTegulo.from_bytes(Record(fresh_record())).ply == 0
    assert game.from_bytes(data=fresh_record()).ply == 0  # static: also through an instance
    for other, name in [
        (bytearray(fresh_record()), "bytearray"),
        (memoryview(fresh_record()), "memoryview"),
        (None, None),
    ]:
        with pytest.raises(TypeError) as raised:
            PyTegulo.from_bytes(other)
        assert raised.value.__notes__ == ["while processing 'data'"]
        if name:
            assert str(raised.value) == f"'{name}' object is not an instance of 'bytes'"
        with pytest.raises(TypeError) as raised:
            game.__setstate__(other)
        assert raised.value.__notes__ == ["while processing 'state'"]
    with pytest.raises(TypeError) as raised:
        PyTegulo.from_bytes()
    assert str(raised.value) == "PyTegulo.from_bytes() missing 1 required positional argument: 'data'"


def test_setstate_replaces_the_game_or_leaves_it(game):
    game.step(0)
    before = state_of(game)
    for bad in [b"\x01", fresh_record()[:-1] + b"\x09"]:
        with pytest.raises(ValueError) as raised:
            game.__setstate__(bad)
        assert str(raised.value) == MESSAGE
        assert state_of(game) == before
    assert game.__setstate__(state=fresh_record()) is None
    assert game.ply == 0 and game.to_bytes() == fresh_record()


def test_every_position_of_random_games_round_trips():
    for seed in range(3):
        game = PyTegulo()
        for action in play_to_end(PyTegulo(), seed):
            read = PyTegulo.from_bytes(game.to_bytes())
            assert state_of(read) == state_of(game)
            game.step(action)
        assert state_of(PyTegulo.from_bytes(game.to_bytes())) == state_of(game)


@pytest.mark.parametrize(
    "duplicate",
    [
        lambda g: g.copy(),
        lambda g: g.__copy__(),
        lambda g: g.__deepcopy__({}),
        copy.copy,
        copy.deepcopy,
        *[lambda g, p=p: pickle.loads(pickle.dumps(g, protocol=p)) for p in range(2, 6)],
    ],
)
def test_copies_are_equal_and_independent(duplicate):
    game = PyTegulo()
    for _ in range(3):
        game.step(0)
    twin = duplicate(game)
    assert type(twin) is PyTegulo and twin is not game
    assert state_of(twin) == state_of(game)
    twin.step(0)
    assert twin.ply == 4 and game.ply == 3
    game.reset()
    assert twin.ply == 4


def test_deepcopy_keeps_shared_games_shared():
    game = PyTegulo()
    pair = copy.deepcopy([game, game])
    assert pair[0] is pair[1] and pair[0] is not game


def test_copying_members_docs():
    docs = {name: getattr(PyTegulo, name).__doc__ for name in ("copy", "__getstate__", "to_bytes")}
    assert docs == {
        "copy": "An independent copy of the game.",
        "__getstate__": "Pickles the game as its `to_bytes` state.",
        "to_bytes": "The game state as bytes, restore it with `from_bytes`.",
    }
    assert PyTegulo.from_bytes.__text_signature__ == "(data)"
    assert PyTegulo.__deepcopy__.__text_signature__ == "($self, _memo)"
    assert PyTegulo.__setstate__.__text_signature__ == "($self, state)"
