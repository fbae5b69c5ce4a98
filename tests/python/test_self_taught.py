"""The search's training targets, the fast network path and self-play training."""

import os
import threading

import numpy as np
import pytest

from tegulo_rl import GameBatch, PyTegulo, arena, players
from tegulo_rl.net import SHIPPED, SHIPPED_NET  # paths only: importing them needs no torch


def uniform_logits(observation):
    n = len(observation.current_agent)
    return np.zeros((n, 36400), np.float32), np.full((n, 4), 0.5, np.float32)


uniform_logits.gives_logits = True


def game_after(plies, player="greedy"):
    game = PyTegulo()
    for _ in range(plies):
        game.step(players.choose(game, player, seed=plies))
    return game


@pytest.mark.parametrize("root", ["gumbel", "dirichlet", "none"])
def test_targets_cover_exactly_the_movers_legal_actions_and_sum_to_one(root):
    # Movers 1, 2 and 3 at the roots, and one finished game: the policy's actions are the
    # mover's legal actions in its own frame, as its observation's mask lists them.
    games = [game_after(5), game_after(10), game_after(23), game_after(200, "random")]
    assert [g.agent_selection for g in games[:3]] == [1, 2, 3] and games[3].is_over
    found = players.search_targets(games, uniform_logits, simulations=12, root=root, considered=8, seed=4)
    assert found.actions[3] == -1 and found.legal_offsets[4] == found.legal_offsets[3]
    for i, game in enumerate(games[:3]):
        lo, hi = found.legal_offsets[i], found.legal_offsets[i + 1]
        mask = np.frombuffer(game.observe(game.agent_selection).action_mask, np.uint8)
        np.testing.assert_array_equal(found.legal_actions[lo:hi], np.flatnonzero(mask))
        assert found.policy[lo:hi].sum() == pytest.approx(1.0, abs=1e-5)
        assert (found.policy[lo:hi] >= 0).all() and found.visits[lo:hi].sum() >= 8
        assert found.actions[i] in found.legal_actions[lo:hi]
        game.step(int(found.actions[i]))  # the chosen action is the mover's own
    dense = found.dense_policy()
    assert dense.shape == (4, 36400) and dense[3].sum() == 0
    np.testing.assert_allclose(dense.sum(axis=1)[:3], 1.0, atol=1e-5)


def test_search_parameters_are_checked_before_anything_runs():
    game = game_after(3)
    calls = []

    def counting(observation):
        calls.append(1)
        return uniform_logits(observation)

    counting.gives_logits = True
    bad = [
        (dict(simulations=0), "simulations"),
        (dict(considered=0), "considered"),
        (dict(noise=-0.1, root="dirichlet"), "noise"),
        (dict(alpha=0.0, root="dirichlet"), "alpha"),
        (dict(gumbel_scale=float("nan")), "gumbel_scale"),
        (dict(root="uct"), "root"),
        (dict(playout_weight=1.5), "playout_weight"),
        (dict(simulations=10**9, memory_mb=1), "memory_mb"),
        (dict(evaluated_depth=-1), "evaluated_depth"),
        (dict(threads=0), "threads"),
    ]
    before = game.to_bytes()
    for params, named in bad:
        with pytest.raises(ValueError, match=named):
            players.search_targets(game, counting, **params)
    assert calls == [] and game.to_bytes() == before
    # k above the number of legal actions is cut down to it.
    found = players.search_targets(
        game_after(70, "heuristic"), counting, simulations=4, considered=10_000, root="gumbel"
    )
    assert found.actions[0] >= 0


def test_at_evaluated_depth_0_the_evaluator_sees_only_the_roots_on_any_threads():
    games = [game_after(k) for k in (2, 9, 17)]
    seen = []

    def recording(observation):
        seen.append(len(observation.current_agent))
        return uniform_logits(observation)

    recording.gives_logits = True
    found = [
        players.search_targets(games, recording, simulations=48, root="gumbel", evaluated_depth=0, threads=threads)
        for threads in (1, 2)
    ]
    assert seen == [3, 3]
    np.testing.assert_array_equal(found[0].visits, found[1].visits)
    np.testing.assert_array_equal(found[0].actions, found[1].actions)
    offsets = found[0].legal_offsets
    assert [found[0].visits[offsets[i] : offsets[i + 1]].sum() for i in range(3)] == [48] * 3


def test_reaching_the_memory_cap_raises_memory_error_and_changes_no_game():
    games = [game_after(k % 7 + 1) for k in range(100)]
    before = [g.to_bytes() for g in games]
    with pytest.raises(MemoryError, match="memory cap of 1 MiB"):
        players.search_targets(games, uniform_logits, simulations=64, leaves=64, root="gumbel", memory_mb=1)
    assert [g.to_bytes() for g in games] == before


def test_bad_evaluations_name_the_leaf_and_leave_the_games():
    game = game_after(4)

    def broken(observation):
        logits, values = uniform_logits(observation)
        logits[:, :] = np.nan
        return logits, values

    broken.gives_logits = True
    with pytest.raises(ValueError, match="logit for leaf 0"):
        players.search_targets(game, broken, simulations=4, root="gumbel")
    with pytest.raises(ValueError, match="priors must have shape"):
        players.search_targets(game, lambda o: (np.zeros((1, 5)), np.zeros((1, 4))), simulations=4)


def test_arena_reports_each_players_thinking_time():
    result = arena.play(["random", "mcts:30"], 4, seed=2, batch=4, threads=1)
    thinking = {t.player: t for t in result.thinking}
    assert thinking["random"].moves > 0 and thinking["mcts:30"].moves > 0
    assert thinking["mcts:30"].per_move_ms > thinking["random"].per_move_ms  # 30 simulations cost more than a draw
    data = result.to_dict()
    assert {t["player"] for t in data["thinking"]} == {"random", "mcts:30"}
    assert all(t["per_move_ms"] > 0 for t in data["thinking"])
    assert type(result).from_dict(data).thinking == result.thinking
    assert "Thinking time per move" in result.report()


# --- The network (needs torch) ----------------------------------------------------------------


@pytest.fixture(scope="module")
def torch():
    return pytest.importorskip(
        "torch", reason="torch is not installed: the network needs pip install 'tegulo-rl[torch]'"
    )


def positions(games=96, plies=40, seed=5, every=8):
    batch = GameBatch(games, seed=seed, threads=1)
    observations = []
    for ply in range(plies):
        batch.step_players("heuristic" if ply % 2 else "random")
        if ply % every == every - 1:
            observations.append(batch.to_bytes().copy())
    return np.concatenate(observations)


@pytest.mark.parametrize("shipped", sorted(SHIPPED))
def test_bf16_and_compiled_paths_agree_with_fp32_on_the_argmax(torch, shipped):
    # 1,920 positions: on 480 an agreement of 99.3% may measure under 99% by chance. The
    # compiled path (20 s of compiling) is checked on the network that net and az play.
    from tegulo_rl.net import player as net_player
    from tegulo_rl.net.inference import Inference
    from tegulo_rl.net.model import masked

    net = net_player.network(shipped)
    observation = GameBatch.from_bytes(positions(plies=80, every=4), seed=0, threads=1).observe(legal="mask")
    mask = torch.from_numpy(np.array(observation.action_mask))
    tops = []
    paths = (("fp32", False), ("bf16", False), ("bf16", True))
    for precision, compiled in paths if SHIPPED[shipped] == SHIPPED_NET else paths[:2]:
        logits, values = Inference(net, precision, compiled=compiled)(observation)
        assert np.isfinite(values).all()
        tops.append(masked(torch.from_numpy(logits), mask).argmax(dim=1).numpy())
    live = mask.any(dim=1).numpy()  # positions whose mover has a move
    agree = [float((tops[0] == top)[live].mean()) for top in tops[1:]]
    assert live.sum() >= 1800 and min(agree) >= 0.99, agree


def test_small_batches_run_on_one_thread_leaving_torchs_count(torch):
    from tegulo_rl.net.inference import one_thread

    before = torch.get_num_threads()
    inside = one_thread(torch.get_num_threads)
    seen = []
    worker = threading.Thread(target=lambda: seen.append(torch.get_num_threads()))
    worker.start()
    worker.join()
    assert inside == 1
    assert torch.get_num_threads() == before and seen == [before]


def tiny_settings(out, **changes):
    from tegulo_rl.net.model import Architecture
    from tegulo_rl.net.selfplay import Settings

    base = dict(out=str(out), generations=1, games=3, simulations=4, fast_simulations=2, considered=4, window=2,
                steps=2, batch_size=16, eval_every=1, eval_games=4, seed=1, precision="fp32",
                arch=Architecture(channels=8, layers=2, value_hidden=8, aux_heads=True))  # fmt: skip
    return Settings(**{**base, **changes})


@pytest.mark.parametrize("depth", [None, 0])
def test_self_play_resumes_from_its_checkpoint_and_keeps_played_generations(torch, tmp_path, depth):
    from tegulo_rl.net import checkpoint
    from tegulo_rl.net.selfplay import load_window_file, train

    info = train(tiny_settings(tmp_path, evaluated_depth=depth))
    assert info["generation"] == 1 and info["step"] == 2
    first = tmp_path / "window" / "00000.npz"
    stamp = os.stat(first).st_mtime_ns
    data = load_window_file(str(first))
    n = len(data["records"])
    assert n > 20 and data["full"].any()
    assert np.isin(data["outcome"].sum(axis=1), [2.0]).all()  # rank rewards of a game sum to 2
    # A generation's policy targets lie on the legal actions of their positions' movers.
    searched = np.flatnonzero(data["full"])[0]
    mask = GameBatch.from_bytes(data["records"][searched : searched + 1], seed=0).observe(legal="mask").action_mask[0]
    assert mask[data["policy_actions"][data["policy_offsets"][0] : data["policy_offsets"][1]]].all()

    resumed = train(tiny_settings(tmp_path, generations=2, evaluated_depth=depth))
    assert resumed["generation"] == 2 and resumed["step"] == 4 and resumed["positions"] > n
    assert os.stat(first).st_mtime_ns == stamp  # played once, read back
    rows = (tmp_path / "metrics.csv").read_text().splitlines()
    assert len(rows) == 3
    net, saved = checkpoint.load(str(tmp_path / "checkpoint.safetensors"))
    assert saved["generation"] == 2 and net.arch.aux_heads
    from tegulo_rl.net.train import RunMismatch

    with pytest.raises(RunMismatch):
        train(tiny_settings(tmp_path, generations=3, games=4, evaluated_depth=depth))
    with pytest.raises(RunMismatch):
        train(tiny_settings(tmp_path, generations=3, evaluated_depth=1))


def test_bad_window_files_are_refused_naming_the_file(torch, tmp_path):
    from tegulo_rl.net.selfplay import WindowFileError, load_window_file, save_window_file

    truncated = tmp_path / "truncated.npz"
    save_window_file(str(tmp_path / "whole.npz"), {"format": np.array("x"), "records": np.zeros((1, 278), np.uint8)})
    truncated.write_bytes((tmp_path / "whole.npz").read_bytes()[:100])
    foreign = tmp_path / "foreign.npz"
    np.savez(foreign, a=np.arange(3))
    for path, fault in ((truncated, "not a readable"), (foreign, "not a replay-window file"),
                        (tmp_path / "whole.npz", "not a replay-window file")):  # fmt: skip
        with pytest.raises(WindowFileError, match=fault) as refused:
            load_window_file(str(path))
        assert str(path) in str(refused.value)
