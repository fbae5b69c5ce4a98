"""Self-play training: the network plays itself through a Gumbel search and learns the policy
that the search improves, generation after generation.

    python -m tegulo_rl train --self-play --out DIR [--generations 40] [--init CHECKPOINT] ...

or `tegulo_rl.net.selfplay.train(Settings(out=DIR, ...))`. Each generation g:

1. plays `games` games on a GameBatch seeded by (seed, g), the current network with
   a Gumbel search in every seat, the searches of all games batched together. By
   playout-cap randomisation, a share `full_share` of the moves is searched with
   `simulations` simulations and becomes a policy target; the others are searched
   with `fast_simulations`, to play on quickly. Every position is kept with the game's
   outcome (the rank rewards by seat), its final scores and who covers each cell at
   the end, all in the mover's frame; written to DIR/window/NNNNN.npz (under a
   temporary name, then renamed);
2. takes `steps` Adam steps on minibatches drawn from the replay window, the last
   `window` generations: the cross-entropy of the policy with the search's improved
   policy (on fully searched positions), the squared error of the values against the
   outcome, and with `aux_weight` the auxiliary targets (cell owners, scores);
3. every `eval_every` generations plays `eval_games` games of the network's policy
   (argmax) against three `heuristic` players, seats rotated, and records its mean
   rank reward; the generation is recorded, not gated;
4. appends a row to DIR/metrics.csv, with where the generation's time went, and writes
   DIR/checkpoint.safetensors (weights, optimiser, the run's JSON), and at an
   evaluation DIR/snapshots/NNNNN.safetensors.

Killed at any point, the same command continues from the last checkpoint: the games of
a generation that finished playing are kept, and everything follows from the seed and
the generation's number. A rerun with other settings than those recorded is refused.
With `workers`, each generation's games are played as Ray tasks.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import sys
import time
import zipfile
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch.nn import functional as F

from tegulo_rl import __version__
from tegulo_rl._batch import GameBatch
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.net import checkpoint
from tegulo_rl.net.inference import Inference, precision
from tegulo_rl.net.model import ACTIONS, SCORE_UNIT, SIDE, Architecture, PolicyValueNet, features, masked
from tegulo_rl.net.train import RunMismatch, _metrics_rows, _seed, _write_metrics, evaluate_vs_heuristic
from tegulo_rl.players import Player, search_targets

CHECKPOINT = "checkpoint.safetensors"
METRICS = "metrics.csv"
WINDOW = "window"
FORMAT = "tegulo-rl self-play window 1"
RECORD = 278
SEATS = 4
CELLS = SIDE * SIDE
# Policy entries below this share of a position's policy are not kept: they carry almost
# no weight and most of the size.
KEEP = 1e-4
COLUMNS = (
    "generation", "step", "seconds", "positions", "policy_targets", "policy_loss", "value_loss", "owner_loss",
    "score_loss", "reward_vs_heuristic", "reward_interval", "play_seconds", "network_seconds", "train_seconds",
    "data_seconds", "eval_seconds",
)  # fmt: skip


class WindowFileError(ValueError):
    """A replay-window file that cannot be read as one; the message names the file and the fault."""


@dataclass(frozen=True)
class Settings:
    """A self-play run; everything but `out`, `generations`, `device`, `precision`, `threads` and
    `workers`/`address` (and `compiled`) must match the run recorded in `out` to resume it."""

    out: str
    generations: int = 40
    games: int = 128  # per generation
    simulations: int = 32  # of a full search
    fast_simulations: int = 8
    full_share: float = 0.25
    considered: int = 16
    playout_weight: float = 0.5  # of greedy playouts in the searches' leaf values
    evaluated_depth: int | None = None  # the searches' levels the network values (None: all); playouts below
    window: int = 6  # generations
    steps: int = 100  # per generation
    batch_size: int = 256
    learning_rate: float = 1e-3
    value_weight: float = 1.0
    aux_weight: float = 0.25
    eval_every: int = 2
    eval_games: int = 64
    seed: int = 0
    arch: Architecture = field(default_factory=lambda: Architecture(aux_heads=True))
    init: str | None = None
    device: str = "cpu"
    precision: str = "auto"
    threads: int | None = None
    compiled: bool = False  # the searches' network through torch.compile (local play only)
    workers: int | None = None
    address: str | None = None

    def __post_init__(self) -> None:
        for name in ("generations", "games", "simulations", "fast_simulations", "considered", "window", "batch_size",
                     "eval_every", "eval_games"):  # fmt: skip
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1, got {getattr(self, name)}")
        if not 0 <= self.full_share <= 1:
            raise ValueError(f"full_share must be from 0 to 1, got {self.full_share}")
        if not 0 <= self.playout_weight <= 1:
            raise ValueError(f"playout_weight must be from 0 to 1, got {self.playout_weight}")
        if self.steps < 0:
            raise ValueError(f"steps must be at least 0, got {self.steps}")
        if self.evaluated_depth is not None and self.evaluated_depth < 0:
            raise ValueError(f"evaluated_depth must be at least 0 or None, got {self.evaluated_depth}")

    def recipe(self) -> dict[str, Any]:
        """The settings that decide the result, as the checkpoint records them."""
        keep = {
            "games", "simulations", "fast_simulations", "full_share", "considered", "playout_weight", "evaluated_depth",
            "window", "steps", "batch_size", "learning_rate", "value_weight", "aux_weight", "eval_every", "eval_games",
            "seed", "init",
        }  # fmt: skip
        return {k: v for k, v in dataclasses.asdict(self).items() if k in keep}


class Timer:
    """Seconds spent in the network, added up across calls."""

    def __init__(self) -> None:
        self.seconds = 0.0

    def wrap(self, evaluate: Any) -> Any:
        def timed(observation: Any) -> Any:
            started = time.perf_counter()
            try:
                return evaluate(observation)
            finally:
                self.seconds += time.perf_counter() - started

        timed.gives_logits = True  # type: ignore[attr-defined]
        return timed


def play(
    net: PolicyValueNet,
    settings: Settings,
    games: int,
    seed: int,
    asked_precision: str = "auto",
    inference: Inference | None = None,
) -> tuple[dict[str, npt.NDArray[Any]], float]:
    """Plays `games` self-play games; returns their positions with their targets, and the
    seconds spent in the network. A pure function of the weights, the settings and `seed`
    (up to the arithmetic of bfloat16 on other hardware). `inference`, if given, is `net`
    ready to evaluate (kept across generations, so that a compiled one compiles once)."""
    if inference is None:
        inference = Inference(net, asked_precision)
    timer = Timer()
    evaluator = timer.wrap(inference.evaluator())
    batch = GameBatch(games, seed=seed, threads=1)
    rng = np.random.default_rng(seed)
    random_player = Player("random")
    live = np.ones(games, bool)
    slots: list[list[int]] = [[] for _ in range(games)]  # positions of each slot's first game
    records: list[npt.NDArray[np.uint8]] = []
    full_flags: list[bool] = []
    policies: list[tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]] = []
    outcome = {}
    final_scores = {}
    owners = {}
    ply = 0
    while live.any():
        before = batch.to_bytes()
        actions = np.array(batch.choose(random_player).actions)  # finished slots play on at random
        playing = np.flatnonzero(live)
        full = rng.random(len(playing)) < settings.full_share
        for group, simulations, is_full in (
            (playing[full], settings.simulations, True),
            (playing[~full], settings.fast_simulations, False),
        ):
            if len(group) == 0:
                continue
            found = search_targets(
                [PyTegulo.from_bytes(before[i].tobytes()) for i in group], evaluator, simulations=simulations,
                root="gumbel", considered=min(settings.considered, simulations), leaves=settings.considered,
                seed=_seed(seed, ply, int(is_full)), threads=settings.threads, playout_weight=settings.playout_weight,
                evaluated_depth=settings.evaluated_depth,
            )  # fmt: skip
            actions[group] = found.actions
            for k, i in enumerate(group):
                slots[i].append(len(records))
                records.append(before[i])
                full_flags.append(is_full)
                if is_full:
                    lo, hi = found.legal_offsets[k], found.legal_offsets[k + 1]
                    policies.append((found.legal_actions[lo:hi], found.policy[lo:hi]))
        step = batch.step(actions)
        ply += 1
        for i in np.flatnonzero(step.terminated & live):
            live[i] = False
            end = PyTegulo.from_bytes(step.final_records[i].tobytes())
            for position in slots[i]:
                mover = int(records[position][RECORD - 1])
                outcome[position] = np.roll(step.rewards[i], -mover)
                final_scores[position] = np.roll(step.scores[i], -mover)
                owners[position] = _owners(end, mover)
    n = len(records)
    data = {
        "format": np.array(FORMAT),
        "records": np.array(records, np.uint8).reshape(n, RECORD),
        "full": np.array(full_flags, bool),
        "outcome": np.array([outcome[p] for p in range(n)], np.float32).reshape(n, SEATS),
        "score": np.array([final_scores[p] for p in range(n)], np.float32).reshape(n, SEATS),
        "owner": np.array([owners[p] for p in range(n)], np.uint8).reshape(n, CELLS),
        **_packed_policies(policies),
    }
    return data, timer.seconds


def _owners(end: PyTegulo, mover: int) -> npt.NDArray[np.uint8]:
    """Who covers each cell at the end, seen by `mover`: 0 nobody, 1 + s seat s."""
    cells = np.frombuffer(end.observe(mover).observation, np.uint8).reshape(SEATS, CELLS)
    return np.asarray(np.where(cells.any(axis=0), cells.argmax(axis=0) + 1, 0), np.uint8)


def _packed_policies(policies: list[tuple[Any, Any]]) -> dict[str, npt.NDArray[Any]]:
    """The fully searched positions' policies, pruned to the entries that matter, as flat arrays."""
    offsets = [0]
    actions, probs = [], []
    for legal, policy in policies:
        keep = policy >= KEEP * policy.max()
        kept = policy[keep] / policy[keep].sum()
        actions.append(legal[keep].astype(np.uint16))
        probs.append(kept.astype(np.float16))
        offsets.append(offsets[-1] + int(keep.sum()))
    return {
        "policy_offsets": np.array(offsets, np.int64),
        "policy_actions": np.concatenate(actions) if actions else np.zeros(0, np.uint16),
        "policy_probs": np.concatenate(probs) if probs else np.zeros(0, np.float16),
    }


def _play_remote(net: PolicyValueNet, settings: Settings, generation: int) -> tuple[dict[str, Any], float]:
    """A generation's games split into `workers` Ray tasks, each a pure function of its part."""
    import ray

    parts = settings.workers or 1
    sizes = [settings.games // parts + (1 if p < settings.games % parts else 0) for p in range(parts)]
    weights = {k: v.detach().cpu().float().contiguous().numpy() for k, v in net.state_dict().items()}
    task = ray.remote(_play_part)
    futures = [
        task.remote(weights, net.arch.to_dict(), settings, size, _seed(settings.seed, generation, part))
        for part, size in enumerate(sizes)
        if size
    ]
    results = ray.get(futures)
    return merge([r[0] for r in results]), sum(r[1] for r in results)


def _play_part(
    weights: dict[str, Any], arch: dict[str, Any], settings: Settings, games: int, seed: int
) -> tuple[dict[str, Any], float]:
    torch.set_num_threads(1)
    net = PolicyValueNet(Architecture.from_dict(arch))
    net.load_state_dict({k: torch.from_numpy(v) for k, v in weights.items()})
    return play(net, settings, games, seed, settings.precision)


def merge(parts: list[dict[str, Any]]) -> dict[str, Any]:
    """Several generations' (or tasks') data as one."""
    out: dict[str, Any] = {"format": np.array(FORMAT)}
    for key in ("records", "full", "outcome", "score", "owner", "policy_actions", "policy_probs"):
        out[key] = np.concatenate([p[key] for p in parts])
    starts = np.cumsum([0] + [len(p["policy_actions"]) for p in parts[:-1]])
    out["policy_offsets"] = np.concatenate(
        [[0]] + [p["policy_offsets"][1:] + s for p, s in zip(parts, starts, strict=True)]
    ).astype(np.int64)
    return out


# What each array of a window file must be: its dtype and its shape, by position count n,
# fully searched count f and policy entry count m.
_LAYOUT = {
    "records": (np.uint8, lambda n, f, m: (n, RECORD)),
    "full": (np.bool_, lambda n, f, m: (n,)),
    "outcome": (np.float32, lambda n, f, m: (n, SEATS)),
    "score": (np.float32, lambda n, f, m: (n, SEATS)),
    "owner": (np.uint8, lambda n, f, m: (n, CELLS)),
    "policy_offsets": (np.int64, lambda n, f, m: (f + 1,)),
    "policy_actions": (np.uint16, lambda n, f, m: (m,)),
    "policy_probs": (np.float16, lambda n, f, m: (m,)),
}


def save_window_file(path: str, data: dict[str, Any]) -> None:
    """Writes a generation's data under a temporary name, renamed into place."""
    tmp = f"{path}.tmp{os.getpid()}.npz"
    np.savez(tmp, **data)
    os.replace(tmp, path)


def load_window_file(path: str) -> dict[str, npt.NDArray[Any]]:
    """A generation's data, checked: WindowFileError naming the file for a truncated, foreign
    or inconsistent one."""
    try:
        with np.load(path, allow_pickle=False) as f:
            data = {k: f[k] for k in f.files}
    except (OSError, ValueError, EOFError, zipfile.BadZipFile, KeyError) as error:
        raise WindowFileError(f"{path}: not a readable replay-window file ({error})") from None
    if "format" not in data or str(data["format"]) != FORMAT:
        raise WindowFileError(f"{path}: not a replay-window file of this version (format "
                              f"{str(data.get('format', 'missing'))!r}, expected {FORMAT!r})")  # fmt: skip
    missing = sorted(set(_LAYOUT) - set(data))
    if missing:
        raise WindowFileError(f"{path}: the replay-window file lacks {', '.join(missing)}")
    n, f, m = len(data["records"]), int(data["full"].sum()) if data["full"].dtype == np.bool_ else -1, 0
    m = len(data["policy_actions"])
    for key, (dtype, shape) in _LAYOUT.items():
        if data[key].dtype != dtype or data[key].shape != shape(n, f, m):
            raise WindowFileError(f"{path}: {key} is {data[key].dtype} {data[key].shape}, expected "
                                  f"{np.dtype(dtype)} {shape(n, f, m)}")  # fmt: skip
    offsets = data["policy_offsets"]
    if offsets[0] != 0 or offsets[-1] != m or (np.diff(offsets) < 0).any():
        raise WindowFileError(f"{path}: its policy offsets do not index its policy entries")
    if m and int(data["policy_actions"].max()) >= ACTIONS:
        raise WindowFileError(f"{path}: a policy names an action beyond {ACTIONS - 1}")
    if not all(np.isfinite(data[k]).all() for k in ("outcome", "score", "policy_probs")):
        raise WindowFileError(f"{path}: it holds numbers that are not finite")
    return data


def _window_path(settings: Settings, generation: int) -> str:
    return os.path.join(settings.out, WINDOW, f"{generation:05d}.npz")


class Window:
    """The replay window's positions, with the index of each fully searched one's policy."""

    def __init__(self, parts: list[dict[str, Any]]):
        data = merge(parts)
        self.records = data["records"]
        self.full = data["full"]
        self.outcome = data["outcome"]
        self.score = data["score"]
        self.owner = data["owner"]
        self.offsets = data["policy_offsets"]
        self.actions = data["policy_actions"].astype(np.int64)
        self.probs = data["policy_probs"].astype(np.float32)
        self.policy_row = np.full(len(self.records), -1, np.int64)
        self.policy_row[self.full] = np.arange(int(self.full.sum()))

    def __len__(self) -> int:
        return len(self.records)


def losses(
    net: PolicyValueNet, window: Window, pick: npt.NDArray[np.int64], device: str, bf16: bool
) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]:
    """The policy's cross-entropy with the search's policy (fully searched positions only), the
    values' squared error against the outcome, and the auxiliary losses (owners, scores)."""
    observation = GameBatch.from_bytes(window.records[pick], seed=0, threads=1).observe(legal="mask")
    planes, vector = features(observation, device)
    if bf16:
        planes = planes.contiguous(memory_format=torch.channels_last)
    with torch.autocast(torch.device(device).type, dtype=torch.bfloat16, enabled=bf16):
        logits, values, extra = net.outputs(planes, vector)
    mask = torch.from_numpy(np.array(observation.action_mask)).to(device)
    rows = window.policy_row[pick]
    searched = np.flatnonzero(rows >= 0)
    zero = torch.zeros((), device=device)
    policy = zero
    if len(searched):
        starts, ends = window.offsets[rows[searched]], window.offsets[rows[searched] + 1]
        counts = ends - starts
        entry = np.concatenate([np.arange(s, e) for s, e in zip(starts, ends, strict=True)])
        target = torch.zeros((len(searched), ACTIONS), device=device)
        target[
            torch.from_numpy(np.repeat(np.arange(len(searched)), counts)), torch.from_numpy(window.actions[entry])
        ] = torch.from_numpy(window.probs[entry]).to(device)
        chosen = torch.from_numpy(searched).to(device)
        log_p = F.log_softmax(masked(logits.float()[chosen], mask[chosen]), dim=1)
        policy = -(target * log_p.masked_fill(~mask[chosen], 0.0)).sum(dim=1).mean()
    value = F.mse_loss(values.float(), torch.from_numpy(window.outcome[pick]).to(device))
    owner_loss, score_loss = zero, zero
    if extra is not None:
        owner_logits, score = extra
        owners = torch.from_numpy(window.owner[pick].astype(np.int64).reshape(-1, SIDE, SIDE)).to(device)
        owner_loss = F.cross_entropy(owner_logits.float(), owners)
        score_loss = F.mse_loss(score.float(), torch.from_numpy(window.score[pick] / SCORE_UNIT).to(device))
    return policy, value, owner_loss, score_loss


def _start(settings: Settings) -> tuple[PolicyValueNet, torch.optim.Optimizer, dict[str, Any]]:
    """The network, optimiser and state of the run: resumed from DIR's checkpoint, or new."""
    torch.manual_seed(settings.seed)
    path = os.path.join(settings.out, CHECKPOINT)
    if os.path.exists(path):
        info = checkpoint.read_info(path)
        # Runs recorded before playouts, or the evaluated depth, were settings searched without them.
        older = {"playout_weight": 0.0, "evaluated_depth": None}
        recorded = {**older, **info["recipe"]} if isinstance(info.get("recipe"), dict) else None
        if recorded != settings.recipe():
            raise RunMismatch(f"{settings.out} holds a run of other settings: {info.get('recipe')}; "
                              f"this one is {settings.recipe()}")  # fmt: skip
        net, _ = checkpoint.load(path, settings.arch)
        net.to(settings.device)
        optimizer = torch.optim.Adam(net.parameters(), lr=settings.learning_rate)
        checkpoint.load_optimizer(path, optimizer)
        return net, optimizer, info
    net = PolicyValueNet(settings.arch)
    start: dict[str, Any] = {"generation": 0, "step": 0, "seconds": 0.0, "positions": 0}
    if settings.init:
        source, info = checkpoint.load(settings.init)
        missing, unexpected = net.load_state_dict(source.state_dict(), strict=False)
        new_heads = ("shape.", "owner.", "score.")
        if unexpected or any(not name.startswith(new_heads) for name in missing):
            raise checkpoint.CheckpointError(
                f"{settings.init}: its network does not fit this one (missing {missing}, unknown {unexpected})"
            )
        start["init"] = {k: info.get(k) for k in ("architecture", "step", "iteration", "generation", "command")}
    net.to(settings.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=settings.learning_rate)
    return net, optimizer, start


def train(
    settings: Settings,
    progress: Callable[[int, int, str], None] | None = None,
    command: str | None = None,
) -> dict[str, Any]:
    """Runs (or resumes) the self-play training that `settings` describe; returns the last
    checkpoint's JSON. `progress(generation, generations, detail)` hears of every generation."""
    with contextlib.ExitStack() as stack:
        if settings.workers:
            from tegulo_rl._ray import connected

            stack.enter_context(connected(settings.address))
        return _train(settings, progress, command)


def _train(settings: Settings, progress: Callable[[int, int, str], None] | None, command: str | None) -> dict[str, Any]:
    if settings.device.startswith("cuda") and not torch.cuda.is_available():
        raise ValueError(f"device {settings.device!r}: no CUDA device here")
    try:
        device = torch.device(settings.device)
    except RuntimeError:
        raise ValueError(f"unknown device {settings.device!r}") from None
    if settings.threads:
        torch.set_num_threads(settings.threads)
    bf16 = precision(settings.precision, str(device)) == "bf16"
    os.makedirs(os.path.join(settings.out, WINDOW), exist_ok=True)
    os.makedirs(os.path.join(settings.out, "snapshots"), exist_ok=True)
    net, optimizer, info = _start(settings)
    if bf16:
        net = net.to(memory_format=torch.channels_last)  # type: ignore[call-overload]
    first = int(info["generation"])
    inference = None if settings.workers else Inference(net, settings.precision, compiled=settings.compiled)
    metrics_path = os.path.join(settings.out, METRICS)
    rows: list[dict[str, Any]] = list(_metrics_rows(metrics_path, first, "generation"))
    step, seconds, positions = int(info["step"]), float(info["seconds"]), int(info["positions"])
    for generation in range(first, settings.generations):
        started = time.perf_counter()
        path = _window_path(settings, generation)
        network_seconds = 0.0
        if os.path.exists(path):
            new = load_window_file(path)
        else:
            if settings.workers:
                new, network_seconds = _play_remote(net, settings, generation)
            else:
                assert inference is not None
                inference.refresh(net)
                new, network_seconds = play(net, settings, settings.games, _seed(settings.seed, generation),
                                            settings.precision, inference)  # fmt: skip
            save_window_file(path, new)
        played = time.perf_counter()
        parts = [new] + [
            load_window_file(_window_path(settings, g))
            for g in range(max(0, generation - settings.window + 1), generation)
        ]
        window = Window(parts)
        positions += len(new["records"])
        loaded = time.perf_counter()
        rng = np.random.default_rng(_seed(settings.seed, generation, 1))
        sums = np.zeros(4)
        net.train()
        for _ in range(settings.steps):
            pick = rng.integers(len(window), size=settings.batch_size)
            parts_loss = losses(net, window, pick, settings.device, bf16)
            loss = (
                parts_loss[0]
                + settings.value_weight * parts_loss[1]
                + settings.aux_weight * (parts_loss[2] + parts_loss[3])
            )
            if not torch.isfinite(loss):
                raise FloatingPointError(f"the loss is {float(loss)} at step {step}: the run diverged")
            optimizer.zero_grad()
            loss.backward()  # type: ignore[no-untyped-call]
            optimizer.step()
            sums += [float(x.detach()) for x in parts_loss]
            step += 1
        trained = time.perf_counter()
        reward, interval = float("nan"), float("nan")
        evaluated = (generation + 1) % settings.eval_every == 0 or generation + 1 == settings.generations
        if evaluated:
            reward, interval = evaluate_vs_heuristic(net, settings.eval_games, _seed(settings.seed, 1_000_000))
        done = time.perf_counter()
        seconds += done - started
        means = sums / max(settings.steps, 1)
        row = {
            "generation": generation + 1, "step": step, "seconds": round(seconds, 1), "positions": positions,
            "policy_targets": int(new["full"].sum()), "policy_loss": round(means[0], 5),
            "value_loss": round(means[1], 5), "owner_loss": round(means[2], 5), "score_loss": round(means[3], 5),
            "reward_vs_heuristic": "" if not evaluated else round(reward, 4),
            "reward_interval": "" if not evaluated else round(interval, 4),
            "play_seconds": round(played - started, 1), "network_seconds": round(network_seconds, 1),
            "train_seconds": round(trained - loaded, 1), "data_seconds": round(loaded - played, 1),
            "eval_seconds": round(done - trained, 1),
        }  # fmt: skip
        rows.append(row)
        info = checkpoint.describe(
            net, step, generation=generation + 1, seconds=round(seconds, 1), positions=positions,
            recipe=settings.recipe(), command=command, init=info.get("init"), torch=torch.__version__,
            engine_package=__version__, self_play=True,
        )  # fmt: skip
        if evaluated:
            snapshot = os.path.join(settings.out, "snapshots", f"{generation + 1:05d}.safetensors")
            checkpoint.save(snapshot, net, {**info, "reward_vs_heuristic": reward})
        checkpoint.save(os.path.join(settings.out, CHECKPOINT), net, info, optimizer)
        _write_metrics(metrics_path, rows, COLUMNS)
        if progress:
            detail = f"policy loss {means[0]:.3f}, value loss {means[1]:.4f}"
            if evaluated:
                detail += f", vs heuristic {reward:.3f} ± {interval:.3f}"
            progress(generation + 1, settings.generations, detail)
    return info


def plot(out: str, path: str) -> None:
    """Draws DIR/metrics.csv: the losses and the rank reward against the heuristic over training time."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = _metrics_rows(os.path.join(out, METRICS), sys.maxsize, "generation")
    hours = [float(r["seconds"]) / 3600 for r in rows]
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 6), sharex=True)
    top.plot(hours, [float(r["policy_loss"]) for r in rows], label="policy loss")
    top.plot(hours, [10 * float(r["value_loss"]) for r in rows], label="value loss x 10")
    top.set_ylabel("loss")
    top.legend()
    rated = [(h, float(r["reward_vs_heuristic"]), float(r["reward_interval"]))
             for h, r in zip(hours, rows, strict=True) if r["reward_vs_heuristic"]]  # fmt: skip
    if rated:
        xs, ys, es = zip(*rated, strict=True)
        bottom.errorbar(xs, ys, yerr=es, marker="o", capsize=3, label="network (argmax) vs 3 heuristic")
    bottom.axhline(0.5, color="grey", linestyle="--", label="heuristic's level")
    bottom.set_ylabel("mean rank reward")
    bottom.set_xlabel("training time (hours)")
    bottom.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
