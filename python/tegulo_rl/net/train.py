"""Training a policy-value network: distil a search's moves from games it plays, resumably.

    python -m tegulo_rl train --out DIR [--iterations N] [--teacher mcts:100] ...

or `tegulo_rl.net.train.train(Settings(out=DIR, ...))`. Each iteration k:

1. plays `games` games on a GameBatch seeded by (seed, k), the teacher in every
   seat, and keeps every decision: the state record before it, the teacher's
   action (in the mover's frame) and the game's final rank rewards by seat (seat 0
   the mover); written to DIR/data/NNNNN.npz (under a temporary name, then renamed);
2. takes `steps` Adam steps on minibatches drawn uniformly from all the data so far
   (its observations and legal masks rebuilt from the records in native code):
   the loss is the cross-entropy of the policy, masked to the legal actions, with
   the teacher's action, plus `value_weight` times the squared error of the values
   against the final rank rewards;
3. every `eval_every` iterations, plays `eval_games` games of the network's
   policy (argmax) in one seat against three `heuristic` players, seats rotated,
   from fixed seeds, and logs its mean rank reward (0.5 is the heuristic's level);
4. appends a row to DIR/metrics.csv and writes DIR/checkpoint.safetensors (the
   weights, the optimiser, the JSON of the run) and, at an evaluation,
   DIR/snapshots/NNNNN.safetensors (weights only).

Killed at any point, the same command continues from DIR/checkpoint.safetensors:
the data of an iteration that finished playing is kept, and everything follows
from the seed and the iteration number, so a resumed run makes the same data.
A rerun with other settings than those recorded is refused (but --iterations
may grow, to train on).

Data generation can run on Ray (`workers`, `address`): each iteration's games are
then split into `workers` tasks of tegulo_rl.selfplay's shards.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import json
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch.nn import functional as F

from tegulo_rl import __version__
from tegulo_rl._batch import GameBatch
from tegulo_rl.net import checkpoint
from tegulo_rl.net.model import Architecture, PolicyValueNet, features, masked
from tegulo_rl.players import parse

CHECKPOINT = "checkpoint.safetensors"
METRICS = "metrics.csv"
COLUMNS = (
    "iteration", "step", "seconds", "positions", "policy_loss", "value_loss", "accuracy",
    "reward_vs_heuristic", "reward_interval", "generate_seconds", "train_seconds", "eval_seconds",
)  # fmt: skip
SEATS = 4
RECORD = 278


@dataclass(frozen=True)
class Settings:
    """A training run; everything but `out`, `iterations`, `device`, `threads` and `workers`/`address`
    must match the run recorded in `out` to resume it."""

    out: str
    iterations: int = 30
    teacher: str = "mcts:100"
    games: int = 32  # per iteration
    steps: int = 40  # Adam steps per iteration
    batch_size: int = 128
    learning_rate: float = 2e-3
    value_weight: float = 1.0
    eval_every: int = 2
    eval_games: int = 64
    seed: int = 0
    arch: Architecture = field(default_factory=Architecture)
    device: str = "cpu"
    threads: int | None = None  # torch's and the batch's threads; None: torch's default
    workers: int | None = None  # Ray tasks per iteration's games; None: play in this process
    address: str | None = None
    init: str | None = None  # a checkpoint to start from: its weights, where the architectures share them

    def recipe(self) -> dict[str, Any]:
        """The settings that decide the result, as the checkpoint records them."""
        keep = {
            "teacher", "games", "steps", "batch_size", "learning_rate", "value_weight", "eval_every", "eval_games",
            "seed", "init",
        }  # fmt: skip
        # A run from scratch records no "init", as runs did before there was one.
        return {k: v for k, v in dataclasses.asdict(self).items() if k in keep and (k != "init" or v is not None)}


def _seed(seed: int, *key: int) -> int:
    return int(np.random.SeedSequence(seed, spawn_key=key).generate_state(1, np.uint32)[0])


def play_teacher(teacher: str, games: int, seed: int, threads: int | None = None) -> dict[str, npt.NDArray[Any]]:
    """Every decision of `games` games played by `teacher` in every seat: the records before the
    moves (n, 278), the actions (n,) in the mover's frame, the final rank rewards by seat (n, 4),
    seat 0 the mover. A game that ends restarts; only each slot's first game is kept."""
    player = parse(teacher)
    batch = GameBatch(games, seed=seed, threads=threads)
    pending: list[list[tuple[bytes, int, int]]] = [[] for _ in range(games)]
    records: list[bytes] = []
    actions: list[int] = []
    targets: list[npt.NDArray[np.float32]] = []
    live = np.ones(games, bool)
    while live.any():
        before = batch.to_bytes()
        movers = before[:, RECORD - 1].astype(np.int64)  # the record's last byte is the agent to move
        chosen = np.asarray(batch.choose(player).actions)
        step = batch.step(chosen)
        for i in np.flatnonzero(live):
            pending[i].append((before[i].tobytes(), int(chosen[i]), int(movers[i])))
        for i in np.flatnonzero(step.terminated & live):
            rewards = step.rewards[i]
            for record, action, mover in pending[i]:
                records.append(record)
                actions.append(action)
                targets.append(np.roll(rewards, -mover))
            live[i] = False
    return {
        "records": np.frombuffer(b"".join(records), np.uint8).reshape(-1, RECORD),
        "actions": np.array(actions, np.int64),
        "targets": np.array(targets, np.float32).reshape(-1, SEATS),
    }


def _save_npz(path: str, data: dict[str, npt.NDArray[Any]]) -> None:
    tmp = f"{path}.tmp{os.getpid()}.npz"
    np.savez(tmp, **data)  # type: ignore[arg-type]
    os.replace(tmp, path)


def _play_remote(settings: Settings, iteration: int) -> dict[str, npt.NDArray[Any]]:
    """One iteration's games split into `workers` Ray tasks, each a pure function of its part."""
    import ray

    parts = settings.workers or 1
    sizes = [settings.games // parts + (1 if p < settings.games % parts else 0) for p in range(parts)]
    task = ray.remote(play_teacher)
    futures = [
        task.remote(settings.teacher, size, _seed(settings.seed, iteration, part), 1)
        for part, size in enumerate(sizes)
        if size
    ]
    results = ray.get(futures)
    return {k: np.concatenate([r[k] for r in results]) for k in results[0]}


def iteration_data(settings: Settings, iteration: int) -> dict[str, npt.NDArray[Any]]:
    """The data of an iteration: read back if it was played before, else played and written."""
    path = os.path.join(settings.out, "data", f"{iteration:05d}.npz")
    if os.path.exists(path):
        with np.load(path) as f:
            return {k: f[k] for k in f.files}
    if settings.workers:
        data = _play_remote(settings, iteration)
    else:
        data = play_teacher(settings.teacher, settings.games, _seed(settings.seed, iteration), settings.threads)
    _save_npz(path, data)
    return data


def losses(
    net: PolicyValueNet, records: npt.NDArray[np.uint8], actions: npt.NDArray[np.int64], targets: Any, device: str
) -> tuple[torch.Tensor, torch.Tensor, float]:
    """The policy's masked cross-entropy with the actions, the values' squared error, and the
    share of positions whose argmax is the action."""
    observation = GameBatch.from_bytes(records, seed=0, threads=1).observe(legal="mask")
    planes, vector = features(observation, device)
    logits, values = net(planes, vector)
    mask = torch.from_numpy(np.array(observation.action_mask)).to(device)
    log_p = F.log_softmax(masked(logits, mask), dim=1)
    wanted = torch.from_numpy(actions).to(device)
    policy = -log_p.gather(1, wanted[:, None]).mean()
    value = F.mse_loss(values, torch.as_tensor(targets, device=device))
    accuracy = float((log_p.argmax(dim=1) == wanted).float().mean())
    return policy, value, accuracy


def evaluate_vs_heuristic(net: PolicyValueNet, games: int, seed: int) -> tuple[float, float]:
    """The policy's (argmax) mean rank reward over `games` games against three heuristic
    players, its seat rotating game by game, with its 95% interval's half width."""
    from tegulo_rl.net import player as net_player

    net.eval()
    batch = GameBatch(games, seed=seed, threads=1)
    seats = np.ones((games, SEATS), np.int64)
    seats[np.arange(games), np.arange(games) % SEATS] = 0
    rewards = np.full(games, np.nan)
    heuristic = parse("heuristic")
    while np.isnan(rewards).any():
        observation = batch.observe(legal="mask")
        ours = seats[np.arange(games), observation.current_agent] == 0
        actions = np.array(batch.choose(heuristic).actions)
        if ours.any():
            logits, _ = net_player.evaluate(net, net_player.Rows(observation, np.flatnonzero(ours)))
            actions[ours] = logits.argmax(axis=1)
        step = batch.step(actions)
        for i in np.flatnonzero(step.terminated):
            if np.isnan(rewards[i]):
                rewards[i] = step.rewards[i, i % SEATS]
    net.train()
    return float(rewards.mean()), float(1.96 * rewards.std(ddof=1) / np.sqrt(games))


class RunMismatch(ValueError):
    """DIR holds a run of other settings."""


def _start(settings: Settings) -> tuple[PolicyValueNet, torch.optim.Optimizer, dict[str, Any]]:
    """The network, optimiser and state of the run: resumed from DIR's checkpoint, or new."""
    torch.manual_seed(settings.seed)
    path = os.path.join(settings.out, CHECKPOINT)
    if os.path.exists(path):
        info = checkpoint.read_info(path)
        if info.get("recipe") != settings.recipe():
            raise RunMismatch(f"{settings.out} holds a run of other settings: {info.get('recipe')}; "
                              f"this one is {settings.recipe()}")  # fmt: skip
        net, _ = checkpoint.load(path, settings.arch)
        net.to(settings.device)
        optimizer = torch.optim.Adam(net.parameters(), lr=settings.learning_rate)
        checkpoint.load_optimizer(path, optimizer)
        return net, optimizer, info
    net = PolicyValueNet(settings.arch)
    start: dict[str, Any] = {"iteration": 0, "step": 0, "seconds": 0.0, "positions": 0}
    if settings.init:
        source, info = checkpoint.load(settings.init)
        missing, unexpected = net.load_state_dict(source.state_dict(), strict=False)
        if unexpected or any(not name.startswith("shape.") for name in missing):
            raise checkpoint.CheckpointError(
                f"{settings.init}: its network does not fit this one (missing {missing}, unknown {unexpected})"
            )
        start["init"] = {k: info.get(k) for k in ("architecture", "step", "iteration", "command", "recipe")}
    net.to(settings.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=settings.learning_rate)
    return net, optimizer, start


def _metrics_rows(path: str, upto: int, key: str = "iteration") -> list[dict[str, str]]:
    """The metrics rows whose `key` (iteration, or generation) is up to `upto` (a resumed run
    drops those the checkpoint lost)."""
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return [row for row in csv.DictReader(f) if int(row[key]) <= upto]


def _write_metrics(path: str, rows: list[dict[str, Any]], columns: tuple[str, ...] = COLUMNS) -> None:
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=columns)
        writer.writeheader()
        writer.writerows(rows)
    os.replace(tmp, path)


def train(
    settings: Settings,
    progress: Callable[[int, int, str], None] | None = None,
    command: str | None = None,
) -> dict[str, Any]:
    """Runs (or resumes) the training that `settings` describe; returns the last checkpoint's JSON.
    `progress(iteration, iterations, detail)` hears of every iteration. With `workers`, the
    games are played on Ray: this process's connection, the cluster at `address`, or a local
    instance bound to 127.0.0.1 for the run."""
    with contextlib.ExitStack() as stack:
        if settings.workers:
            from tegulo_rl._ray import connected

            stack.enter_context(connected(settings.address))
        return _train(settings, progress, command)


def _train(settings: Settings, progress: Callable[[int, int, str], None] | None, command: str | None) -> dict[str, Any]:
    if settings.device.startswith("cuda") and not torch.cuda.is_available():
        raise ValueError(f"device {settings.device!r}: no CUDA device here")
    try:
        torch.device(settings.device)
    except RuntimeError:
        raise ValueError(f"unknown device {settings.device!r}") from None
    if settings.threads:
        torch.set_num_threads(settings.threads)
    os.makedirs(os.path.join(settings.out, "data"), exist_ok=True)
    os.makedirs(os.path.join(settings.out, "snapshots"), exist_ok=True)
    net, optimizer, info = _start(settings)
    first = int(info["iteration"])
    metrics_path = os.path.join(settings.out, METRICS)
    rows: list[dict[str, Any]] = list(_metrics_rows(metrics_path, first))
    data: dict[str, list[npt.NDArray[Any]]] = {"records": [], "actions": [], "targets": []}
    for k in range(first):
        for key, part in iteration_data(settings, k).items():
            data[key].append(part)
    step, seconds, positions = int(info["step"]), float(info["seconds"]), int(info["positions"])
    for iteration in range(first, settings.iterations):
        started = time.perf_counter()
        # Each iteration's minibatches follow from the seed and its number: a resumed run draws
        # what the uninterrupted one would have.
        rng = np.random.default_rng(_seed(settings.seed, iteration, 1))
        new = iteration_data(settings, iteration)
        for key, part in new.items():
            data[key].append(part)
        positions += len(new["actions"])
        generated = time.perf_counter()
        records = np.concatenate(data["records"])
        actions = np.concatenate(data["actions"])
        targets = np.concatenate(data["targets"])
        sums = np.zeros(3)
        net.train()
        for _ in range(settings.steps):
            pick = rng.integers(len(actions), size=settings.batch_size)
            policy, value, accuracy = losses(net, records[pick], actions[pick], targets[pick], settings.device)
            loss = policy + settings.value_weight * value
            if not torch.isfinite(loss):
                raise FloatingPointError(f"the loss is {float(loss)} at step {step}: the run diverged")
            optimizer.zero_grad()
            loss.backward()  # type: ignore[no-untyped-call]
            optimizer.step()
            sums += (policy.item(), value.item(), accuracy)
            step += 1
        trained = time.perf_counter()
        reward, interval = float("nan"), float("nan")
        evaluated = (iteration + 1) % settings.eval_every == 0 or iteration + 1 == settings.iterations
        if evaluated:
            reward, interval = evaluate_vs_heuristic(net, settings.eval_games, _seed(settings.seed, 1_000_000))
        done = time.perf_counter()
        seconds += done - started
        means = sums / max(settings.steps, 1)
        row = {
            "iteration": iteration + 1, "step": step, "seconds": round(seconds, 1), "positions": positions,
            "policy_loss": round(means[0], 5), "value_loss": round(means[1], 5), "accuracy": round(means[2], 4),
            "reward_vs_heuristic": "" if not evaluated else round(reward, 4),
            "reward_interval": "" if not evaluated else round(interval, 4),
            "generate_seconds": round(generated - started, 1), "train_seconds": round(trained - generated, 1),
            "eval_seconds": round(done - trained, 1),
        }  # fmt: skip
        rows.append(row)
        info = checkpoint.describe(
            net,
            step,
            iteration=iteration + 1,
            seconds=round(seconds, 1),
            positions=positions,
            recipe=settings.recipe(),
            command=command,
            init=info.get("init"),
            torch=torch.__version__,
            engine_package=__version__,
        )
        if evaluated:
            snapshot = os.path.join(settings.out, "snapshots", f"{iteration + 1:05d}.safetensors")
            checkpoint.save(snapshot, net, {**info, "reward_vs_heuristic": reward})
        checkpoint.save(os.path.join(settings.out, CHECKPOINT), net, info, optimizer)
        _write_metrics(metrics_path, rows)
        if progress:
            detail = f"policy loss {means[0]:.3f}, accuracy {means[2]:.3f}"
            if evaluated:
                detail += f", vs heuristic {reward:.3f} ± {interval:.3f}"
            progress(iteration + 1, settings.iterations, detail)
    return info


def export(source: str, target: str, **extra: Any) -> dict[str, Any]:
    """Writes the weights of checkpoint `source` alone (no optimiser) to `target`, with its JSON
    and `extra` added: how a snapshot becomes a shipped network."""
    net, info = checkpoint.load(source)
    info = {**info, **extra}
    checkpoint.save(target, net, info)
    return info


def plot(out: str, path: str) -> None:
    """Draws DIR/metrics.csv: the losses and the rank reward against the heuristic over training time."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = _metrics_rows(os.path.join(out, METRICS), sys.maxsize)
    minutes = [float(r["seconds"]) / 60 for r in rows]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 6), sharex=True)
    top.plot(minutes, [float(r["policy_loss"]) for r in rows], label="policy loss")
    top.plot(minutes, [10 * float(r["value_loss"]) for r in rows], label="value loss x 10")
    top.set_ylabel("loss")
    top.legend()
    rated = [
        (m, float(r["reward_vs_heuristic"]), float(r["reward_interval"]))
        for m, r in zip(minutes, rows, strict=True)
        if r["reward_vs_heuristic"]
    ]
    if rated:
        xs, ys, es = zip(*rated, strict=True)
        bottom.errorbar(xs, ys, yerr=es, marker="o", capsize=3, label="network (argmax) vs 3 heuristic")
    bottom.axhline(0.5, color="grey", linestyle="--", label="heuristic's level")
    bottom.set_ylabel("mean rank reward")
    bottom.set_xlabel("training time (minutes)")
    bottom.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def settings_json(settings: Settings) -> str:
    return json.dumps({**dataclasses.asdict(settings), "arch": settings.arch.to_dict()}, sort_keys=True)
