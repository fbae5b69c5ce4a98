"""The network, its checkpoints, the players that use it and its training (skipped without torch)."""

import json
import os
import pickle

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="torch is not installed: the network needs pip install 'tegulo-rl[torch]'")
pytest.importorskip("safetensors", reason="safetensors is not installed: pip install 'tegulo-rl[torch]'")

from tegulo_rl import GameBatch, PyTegulo, lineup, players  # noqa: E402
from tegulo_rl.lineup import NetPlayer  # noqa: E402
from tegulo_rl.net import BASELINE, SHIPPED, SHIPPED_NET, baseline, checkpoint  # noqa: E402
from tegulo_rl.net import player as net_player  # noqa: E402
from tegulo_rl.net.model import CENTRE, Architecture, PolicyValueNet  # noqa: E402
from tegulo_rl.net.train import Settings, iteration_data, losses, play_teacher, train  # noqa: E402

TINY = Architecture(channels=8, layers=2, value_hidden=8)


@pytest.fixture
def tiny_path(tmp_path):
    torch.manual_seed(3)
    net = PolicyValueNet(TINY)
    path = str(tmp_path / "tiny.safetensors")
    checkpoint.save(path, net, checkpoint.describe(net, 0))
    return path


def played_batch(games=8, plies=30, seed=0):
    batch = GameBatch(games, seed=seed, threads=1)
    for _ in range(plies):
        batch.step_players("greedy")
    return batch


def test_policy_index_order_is_the_action_grid_in_the_movers_frame():
    # A network whose policy logit is the mover's attach-corner plane at the centre of the
    # action's piece box: if the flattened logits were not (orientation, row, column) in the
    # mover's frame, the logits read back per legal action would not match the engine's planes.
    net = PolicyValueNet(TINY)
    with torch.no_grad():
        for p in net.parameters():
            p.zero_()
        net.stem.weight[0, 4, 1, 1] = 1.0  # input plane 4: seat 0's corners
        net.policy.weight[:, 0, 0, 0] = 1.0
    batch = played_batch(4, plies=13)
    obs = batch.observe(legal="both")
    logits, _ = net_player.evaluate(net, obs)
    hits = 0
    for i in range(4):
        legal = obs.legal_actions[obs.legal_offsets[i] : obs.legal_offsets[i + 1]]
        assert np.isneginf(np.delete(logits[i], legal)).all()
        padded = np.zeros((24, 24), np.float32)
        padded[:20, :20] = obs.corners[i, 0]
        rows, cols = legal % 400 // 20, legal % 20
        np.testing.assert_array_equal(logits[i, legal], padded[rows + CENTRE, cols + CENTRE])
        hits += int((logits[i, legal] == 1.0).sum())
    assert hits > 10  # box centres on attach corners: the check above is not all zeros


@pytest.fixture(autouse=True)
def one_torch_thread():
    # Small batches on a busy machine run many times slower on several threads.
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


def test_shape_head_sums_over_each_orientations_cells_where_the_engine_places_them():
    from tegulo_rl.net.shapes import orientation_cells, relation_masks

    cells = orientation_cells()
    assert sorted(set(cells.sum(axis=(1, 2)).tolist())) == [1, 2, 3, 4, 5]
    assert cells[:, 0, :].any(axis=1).all() and cells[:, :, 0].any(axis=1).all()  # the box's top row, left column
    masks = relation_masks()
    assert (masks.sum(axis=1) <= 1).all()  # a cell is in one relation to a piece at most
    # Every map 1 on the board: the term counts the cells of each relation that lie on the board.
    net = PolicyValueNet(Architecture(channels=8, layers=2, value_hidden=8, shape_head=True))
    with torch.no_grad():
        for p in net.parameters():
            p.zero_()
        net.shape.maps.bias[:] = torch.tensor([1.0, 0.0, 0.0])
        net.shape.scale[:, 0] = 1.0
    obs = played_batch(3, plies=6).observe(legal="both")
    logits, _ = net_player.evaluate(net, obs)
    legal = obs.legal_actions[obs.legal_offsets[0] : obs.legal_offsets[1]]
    # A legal placement lies on the board: the count is its size.
    np.testing.assert_array_equal(logits[0, legal], cells.sum(axis=(1, 2))[legal // 400])
    with torch.no_grad():
        net.shape.maps.bias[:] = torch.tensor([0.0, 1.0, 0.0])
        net.shape.scale[:, 0], net.shape.scale[:, 1] = 0.0, 1.0
    logits, _ = net_player.evaluate(net, obs)
    frame = np.zeros((26, 26))
    frame[1:21, 1:21] = 1  # the board within the frame of every top-left cell
    for action in legal[:40]:
        o, r, c = action // 400, action % 400 // 20, action % 20
        assert logits[0, action] == (masks[o, 1] * frame[r : r + 7, c : c + 7]).sum()


@pytest.mark.parametrize("temperature", [0.0, 3.0])
def test_network_players_play_only_legal_moves_whole_games(tiny_path, temperature):
    batch = GameBatch(4, seed=1, threads=1)
    player = lineup.NetPlayer("net", path=tiny_path, temperature=temperature, seed=7)
    ended = 0
    while ended < 4:
        obs = batch.observe(legal="mask")
        actions = lineup.choose(batch, [player])
        assert obs.action_mask[np.arange(4), actions].all()
        ended += int(batch.step(actions).terminated.sum())  # step refuses any illegal action


def test_net_player_is_deterministic_given_seed_and_temperature(tiny_path):
    batch = played_batch(16, plies=9)
    argmax = [lineup.choose(batch, [lineup.NetPlayer(path=tiny_path, seed=s)]) for s in (1, 2)]
    np.testing.assert_array_equal(*argmax)  # temperature 0: the seed does not matter
    sample = lineup.NetPlayer(path=tiny_path, temperature=2.0, seed=5)
    np.testing.assert_array_equal(lineup.choose(batch, [sample]), lineup.choose(batch, [sample]))
    other = lineup.NetPlayer(path=tiny_path, temperature=2.0, seed=6)
    assert (lineup.choose(batch, [sample]) != lineup.choose(batch, [other])).any()
    records = batch.to_bytes().copy()
    lineup.choose(batch, [sample, "mcts:20"], [[0, 1, 0, 1]] * 16)
    np.testing.assert_array_equal(batch.to_bytes(), records)  # choosing changes no game


def test_mixed_lineup_leaves_native_choices_alone_and_routes_the_network(tiny_path):
    batch = played_batch(12, plies=10, seed=3)
    seats = np.array([[0, 1, 1, 1], [1, 0, 1, 1], [1, 1, 0, 1], [1, 1, 1, 0]] * 3)
    net = lineup.NetPlayer(path=tiny_path)
    twin = pickle.loads(pickle.dumps(batch))  # the same games and random streams
    mixed = lineup.choose(batch, [net, "heuristic"], seats)
    native = np.asarray(twin.choose("heuristic").actions)
    obs = batch.observe(legal="mask")
    ours = seats[np.arange(12), obs.current_agent] == 0
    assert ours.any() and not ours.all()
    np.testing.assert_array_equal(mixed[~ours], native[~ours])
    logits, _ = net_player.evaluate(net_player.network(tiny_path), obs)
    np.testing.assert_array_equal(mixed[ours], logits.argmax(axis=1)[ours])
    # Built-in line-ups are the native call itself.
    np.testing.assert_array_equal(lineup.choose(batch, ["heuristic"]), np.asarray(twin.choose("heuristic").actions))
    game = batch.game(0)
    assert lineup.choose_one(game, net) == mixed[0] if ours[0] else lineup.choose_one(game, net) is not None


def test_guided_search_player_and_arena_take_network_players(tiny_path):
    from tegulo_rl import arena

    game = PyTegulo()
    az = lineup.parse(f"az:8:{tiny_path}")
    assert az.simulations == 8 and az.path == tiny_path and str(az) == f"az:8:{tiny_path}"
    action = lineup.choose_one(game, az)
    legal = np.flatnonzero(np.frombuffer(game.observe(0).action_mask, bool))
    assert action in legal
    # lineup.choose_one plays every player, with its fields as keywords; players.choose the built-in ones,
    # and it says where the others are.
    net = f"net:{tiny_path}"
    assert lineup.choose_one(game, net) == lineup.choose_one(game, NetPlayer(path=tiny_path)) in legal
    assert lineup.choose_one(game, net, temperature=3.0) == lineup.choose_one(
        game, NetPlayer(path=tiny_path, temperature=3.0)
    )
    with pytest.raises(TypeError, match="unknown player parameter 'playout'"):
        lineup.choose_one(game, net, playout="random")
    with pytest.raises(ValueError, match="Unknown player 'net'.*tegulo_rl.lineup names every player"):
        players.choose(game, "net")
    result = arena.play([f"net:{tiny_path}", "random"], 2, seed=0, threads=1)
    assert len(result.results) == 2 and result.players == (f"net:{tiny_path}", "random")


def test_checkpoint_round_trips_bit_for_bit(tmp_path):
    torch.manual_seed(0)
    net = PolicyValueNet(TINY)
    optimizer = torch.optim.Adam(net.parameters())
    net(*[torch.rand(2, 13, 22, 22), torch.rand(2, 88)])[0].sum().backward()
    optimizer.step()
    first, second = str(tmp_path / "a.safetensors"), str(tmp_path / "b.safetensors")
    checkpoint.save(first, net, checkpoint.describe(net, 1, note="x"), optimizer)
    loaded, info = checkpoint.load(first)
    assert info["step"] == 1 and info["note"] == "x" and loaded.arch == TINY
    again = torch.optim.Adam(loaded.parameters())
    assert checkpoint.load_optimizer(first, again)
    for name, tensor in net.state_dict().items():
        assert torch.equal(tensor, loaded.state_dict()[name])
    checkpoint.save(second, loaded, info, again)
    with open(first, "rb") as a, open(second, "rb") as b:
        assert a.read() == b.read()
    assert json.load(open(tmp_path / "a.json")) == info
    assert not [f for f in os.listdir(tmp_path) if ".tmp" in f]


def test_bad_checkpoints_are_refused_naming_the_file_and_the_fault(tmp_path, tiny_path):
    from safetensors.torch import save_file

    from tegulo_rl.net.checkpoint import KEY, CheckpointError

    with pytest.raises(CheckpointError, match="no such checkpoint"):
        checkpoint.load(str(tmp_path / "missing.safetensors"))
    data = open(tiny_path, "rb").read()
    cut = tmp_path / "cut.safetensors"
    cut.write_bytes(data[: len(data) // 2])
    with pytest.raises(CheckpointError, match="cut.safetensors"):
        checkpoint.load(str(cut))
    foreign = tmp_path / "foreign.safetensors"
    save_file({"w": torch.zeros(2)}, str(foreign))
    with pytest.raises(CheckpointError, match="not a tegulo-rl checkpoint"):
        checkpoint.load(str(foreign))
    with pytest.raises(CheckpointError, match="architecture"):
        checkpoint.load(tiny_path, Architecture())
    net, info = checkpoint.load(tiny_path)
    tensors = {k: v.contiguous() for k, v in net.state_dict().items()}

    def written(name, info, tensors=tensors):
        path = str(tmp_path / name)
        save_file(tensors, path, metadata={KEY: json.dumps(info)})
        return path

    # Another package version loads, with a warning; another encoding or action count is refused.
    with pytest.warns(checkpoint.CheckpointVersionWarning, match="tegulo-rl 0.0.1"):
        old, _ = checkpoint.load(written("old.safetensors", {**info, "engine": {"version": "0.0.1", "actions": 36400}}))
    assert all(torch.equal(t, old.state_dict()[k]) for k, t in tensors.items())
    for name, changed, fault in (
        ("next.safetensors", {"encoding": checkpoint.ENCODING + 1}, "encoding version 2"),
        ("grid.safetensors", {"engine": {**info["engine"], "actions": 40000}}, "36400 actions"),
    ):
        with pytest.raises(CheckpointError, match=fault):
            checkpoint.load(written(name, {**info, **changed}))
    assert info["encoding"] == checkpoint.ENCODING == 1  # and one without the field is of the first encoding
    del info["encoding"]
    assert checkpoint.load(written("first.safetensors", info))[1]["step"] == info["step"]
    with pytest.raises(CheckpointError, match="missing"):
        checkpoint.load(written("few.safetensors", info, {k: v for k, v in tensors.items() if "stem" not in k}))
    broken = dict(tensors, **{"stem.bias": torch.full_like(tensors["stem.bias"], float("nan"))})
    with pytest.raises(CheckpointError, match="non-finite"):
        checkpoint.load(written("nan.safetensors", info, broken))
    with torch.no_grad():
        net.value[2].bias.fill_(float("nan"))
    with pytest.raises(FloatingPointError, match="NaN"):
        net_player.evaluate(net, played_batch(2, plies=1).observe(legal="mask"))
    with pytest.raises(ValueError, match="device"):
        train(Settings(out=str(tmp_path / "run"), device="nonsense"))


def tiny_settings(out, **changes):
    settings = dict(
        out=str(out), iterations=2, teacher="greedy", games=4, steps=4, batch_size=32, eval_every=2, eval_games=4,
        arch=TINY, threads=1,
    )  # fmt: skip
    return Settings(**{**settings, **changes})


def test_resumed_training_continues_from_its_checkpoint(tmp_path):
    whole = train(tiny_settings(tmp_path / "whole"))
    assert whole["iteration"] == 2 and whole["step"] == 8
    train(tiny_settings(tmp_path / "parts", iterations=1))
    # A run killed after playing its second iteration's games, before its checkpoint.
    iteration_data(tiny_settings(tmp_path / "parts"), 1)
    resumed = train(tiny_settings(tmp_path / "parts"))
    assert resumed["step"] == 8 and resumed["positions"] == whole["positions"]
    a, _ = checkpoint.load(str(tmp_path / "whole" / "checkpoint.safetensors"))
    b, _ = checkpoint.load(str(tmp_path / "parts" / "checkpoint.safetensors"))
    for name, tensor in a.state_dict().items():
        assert torch.equal(tensor, b.state_dict()[name]), name
    rows = open(tmp_path / "parts" / "metrics.csv").read().splitlines()
    assert [r.split(",")[0] for r in rows[1:]] == ["1", "2"] and rows[2].split(",")[7] != ""
    from tegulo_rl.net.train import RunMismatch

    with pytest.raises(RunMismatch, match="other settings"):
        train(tiny_settings(tmp_path / "parts", teacher="random"))


def test_short_training_lowers_the_loss():
    data = play_teacher("heuristic", 4, seed=2, threads=1)
    assert len(data["actions"]) == len(data["records"]) == len(data["targets"]) > 100
    np.testing.assert_allclose(data["targets"].sum(axis=1), 2.0, rtol=1e-6)  # rank rewards of a game sum to 2
    torch.manual_seed(0)
    net = PolicyValueNet(TINY)
    optimizer = torch.optim.Adam(net.parameters(), lr=3e-3)
    pick = slice(0, 64)
    args = (data["records"][pick], data["actions"][pick], data["targets"][pick], "cpu")
    before = [float(x) for x in losses(net, *args)[:2]]
    for _ in range(30):
        policy, value, _ = losses(net, *args)
        optimizer.zero_grad()
        (policy + value).backward()
        optimizer.step()
    after = [float(x) for x in losses(net, *args)[:2]]
    assert after[0] < before[0] - 0.3 and after[1] < before[1]


def test_teacher_data_holds_the_teachers_moves_from_the_movers_frame():
    data = play_teacher("greedy", 2, seed=4, threads=1)
    for record, action in zip(data["records"][:20], data["actions"][:20], strict=True):
        game = PyTegulo.from_bytes(record.tobytes())
        assert np.frombuffer(game.observe(game.agent_selection).action_mask, bool)[action]


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_shipped_networks_load_record_their_recipe_and_fit_the_wheel(name):
    path = SHIPPED[name]
    assert os.path.getsize(path) <= 5 * 2**20
    info = checkpoint.read_info(path)
    assert info["command"].startswith("python -m tegulo_rl train") and "seed" in info["recipe"]
    with open(path.removesuffix(".safetensors") + ".json", encoding="utf-8") as beside:
        assert json.load(beside)["command"] == info["command"]
    net, _ = checkpoint.load(path)
    assert not any(k.startswith("optimizer.") for k in net.state_dict())
    # "net" plays the latest self-taught one; the distilled baseline is where self-play started
    game = PyTegulo()
    assert lineup.choose_one(game, f"net:{name}") is not None
    if path == SHIPPED_NET:
        assert lineup.choose_one(game, "net") == lineup.choose_one(game, f"net:{name}")
    if path == BASELINE:
        assert baseline().training
    else:
        assert info["self_play"] and info["init"]["command"] == checkpoint.read_info(BASELINE)["command"]


def test_self_play_takes_network_players(tiny_path):
    pytest.importorskip("pyarrow", reason="pyarrow is not installed: self-play needs pip install 'tegulo-rl[selfplay]'")
    from tegulo_rl import selfplay

    plan = selfplay.make_plan([f"net:{tiny_path}", "greedy", "random", "greedy"], 2, seed=1, shard_games=2)
    table = selfplay.play_shard(plan, 0)
    records, actions = table.column("record").to_pylist(), table.column("action").to_pylist()
    counts = table.column("legal_count").to_pylist()
    assert len(records) > 40 and plan.arguments()["players"][0]["path"] == tiny_path
    for record, action, count in zip(records, actions, counts, strict=True):
        mask = np.frombuffer(PyTegulo.from_bytes(record).observe(record[-1]).action_mask, bool)
        assert mask[action] and mask.sum() == count
