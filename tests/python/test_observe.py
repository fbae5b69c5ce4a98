"""observe() and the byte planes of PyObservation."""

import numpy as np
import pytest

from tegulo_rl._tegulo import PyObservation, PyTegulo

from conftest import PLANE_SHAPES

PLANES = list(PLANE_SHAPES)

# Piece indices of the orientations whose top-left bounding-box cell is filled:
# the 58 opening placements, each anchored at (0, 0).
OPENING_PIECES = [
    0, 1, 2, 3, 4, 6, 7, 8, 10, 11, 13, 14, 15, 16, 17, 18, 19, 22, 23, 24, 27, 29, 30,
    37, 38, 39, 41, 43, 44, 45, 48, 49, 52, 53, 55, 57, 59, 61, 62, 63, 65, 67, 68, 69, 70,
    71, 72, 74, 75, 77, 78, 80, 82, 83, 85, 88, 89, 90,
]  # fmt: skip


def planes(obs):
    return {name: np.frombuffer(getattr(obs, name), dtype=np.uint8).reshape(PLANE_SHAPES[name]) for name in PLANES}


def test_class_members_and_docs():
    docs = {name: getattr(PyObservation, name).__doc__ for name in PLANES}
    assert docs == {
        "observation": "The occupied cells in (agent, row, col) order.",
        "corners": "The cells each agent's next piece can attach to, in (agent, row, col) order.",
        "blocked": "The cells each agent can never fill, in (agent, row, col) order.",
        "pieces": "The pieces each agent still has, in (agent, piece) order.",
        "done": "Whether each agent is out of moves.",
        "action_mask": "The action mask over the flattened action grid.",
    }
    own = [name for name in vars(PyObservation) if not name.startswith("__")]
    assert own == PLANES
    assert PyTegulo.observe.__text_signature__ == "($self, agent_idx)"
    assert PyTegulo.observe.__doc__ is None


def test_fresh_game_observed_by_anyone(game):
    obs = game.observe(0)
    assert obs.observation == bytes(1600) and obs.blocked == bytes(1600)
    assert [i for i, b in enumerate(obs.corners) if b] == [0, 419, 1199, 1580]
    assert obs.pieces == b"\x01" * 84
    assert obs.done == bytes(4)
    assert len(OPENING_PIECES) == 58
    assert [i for i, b in enumerate(obs.action_mask) if b] == [400 * k for k in OPENING_PIECES]
    for agent in (1, 2, 3):
        other = game.observe(agent_idx=agent)
        assert all(getattr(other, name) == getattr(obs, name) for name in PLANES)


def test_planes_wrap_without_conversion(game):
    obs = game.observe(0)
    assert len(obs.action_mask) == PyTegulo.num_actions
    assert len(obs.observation) == 4 * 20 * 20
    for name, array in planes(obs).items():
        assert array.dtype == np.uint8 and array.shape == PLANE_SHAPES[name]
        assert set(np.unique(array)) <= {0, 1}
    grid = np.frombuffer(obs.action_mask, np.uint8).reshape(PyTegulo.action_grid_shape)
    assert grid[:, 0, 0].sum() == grid.sum() == 58  # (piece, row, col): every opening at (0, 0)
    corners = planes(obs)["corners"]
    assert corners[1, 0, 19] == corners[2, 19, 19] == corners[3, 19, 0] == 1


def test_after_the_game_every_agent_is_done_and_has_no_move(finished):
    for agent in range(4):
        obs = finished.observe(agent)
        assert obs.done == b"\x01" * 4
        assert obs.action_mask == bytes(36400)


def test_every_read_is_a_new_copy(game):
    obs = game.observe(0)
    first, second = obs.action_mask, obs.action_mask
    assert first == second and first is not second
    with pytest.raises(AttributeError):
        obs.done = b""
    with pytest.raises(AttributeError):
        obs.extra = 1


def test_monomino_seen_from_each_seat(game):
    game.step(0)  # agent 0: the monomino on (0, 0)
    own = planes(game.observe(0))
    assert np.argwhere(own["observation"]).tolist() == [[0, 0, 0]]
    assert np.argwhere(own["corners"][0]).tolist() == [[1, 1]]
    assert np.argwhere(own["blocked"][0]).tolist() == [[0, 0], [0, 1], [1, 0]]
    assert own["pieces"][0, 0] == 0 and own["pieces"][0, 1:].all()
    seen_by_1 = planes(game.observe(1))
    assert np.argwhere(seen_by_1["observation"]).tolist() == [[3, 19, 0]]
    assert np.argwhere(seen_by_1["corners"][3]).tolist() == [[18, 1]]
    assert seen_by_1["pieces"][3, 0] == 0
    # Agent 1 is to move, yet agent 0 still sees its own legal placements.
    assert planes(game.observe(0))["action_mask"].sum() > 0


def test_observation_is_a_snapshot(game):
    before = game.observe(1)
    saved = {name: getattr(before, name) for name in PLANES}
    game.step(0)
    game.step(0)
    assert {name: getattr(before, name) for name in PLANES} == saved
    assert game.observe(1).observation != saved["observation"]


@pytest.mark.parametrize(
    "value, error, message",
    [
        (4, ValueError, "Unknown agent 4"),
        (2**63, ValueError, f"Unknown agent {2**63}"),
        (-1, OverflowError, None),
        ("0", TypeError, None),
        (None, TypeError, None),
    ],
)
def test_observe_refusals(game, value, error, message):
    with pytest.raises(error) as raised:
        game.observe(value)
    if message is not None:
        assert str(raised.value) == message
    else:
        assert raised.value.__notes__ == ["while processing 'agent_idx'"]


def test_observe_binding(game):
    with pytest.raises(TypeError) as raised:
        game.observe()
    assert str(raised.value) == "PyTegulo.observe() missing 1 required positional argument: 'agent_idx'"
    with pytest.raises(TypeError) as raised:
        game.observe(0, agent=1)
    assert str(raised.value) == "PyTegulo.observe() got an unexpected keyword argument 'agent'"
