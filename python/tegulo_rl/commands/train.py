"""Train a policy-value network: by distilling a search's moves, or by self-play.

    python -m tegulo_rl train --out DIR [--iterations 24] [--teacher mcts:100] [--plot FILE.png]
    python -m tegulo_rl train --self-play --out DIR [--generations 40] [--init CHECKPOINT] [--plot FILE.png]

With --self-play, each generation the network plays --games games against itself
through a Gumbel search (a share --full-share of the moves with --simulations
simulations, the rest with --fast-simulations), keeps every position with the
search's improved policy and the game's outcome in a replay window of the last
--window generations (DIR/window), and takes --steps Adam steps on it; see
tegulo_rl.net.selfplay.

Each iteration plays --games games with the teacher in every seat, keeps every
decision (DIR/data), takes --steps Adam steps on minibatches of all the data so
far (the policy's masked cross-entropy with the teacher's move, plus the values'
squared error against the final rank rewards), and every --eval-every iterations
plays --eval-games games of the network's policy against three heuristic
players. Metrics go to DIR/metrics.csv, the checkpoint (weights, optimiser and a
JSON of the run) to DIR/checkpoint.safetensors after every iteration, weights at
each evaluation to DIR/snapshots. Killed, the same command resumes from the last
checkpoint; a larger --iterations trains on. --workers/--address play each
iteration's games as Ray tasks. Needs torch: pip install 'tegulo-rl[torch]'.
"""

from __future__ import annotations

import argparse
import shlex
import sys

from tegulo_rl import _cli

HELP = "train a policy-value network from a search's games (needs torch)"
GUIDE = "docs/guides/selfplay.md"


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", required=True, help="the run's directory: data, metrics, checkpoints")
    parser.add_argument("--self-play", action="store_true", help="learn from the network's own searched games")
    parser.add_argument("--iterations", type=_cli.positive, default=24, help="iterations in all (default 24)")
    selfplay = parser.add_argument_group("self-play (with --self-play)")
    selfplay.add_argument("--generations", type=_cli.positive, default=40, help="generations in all (default 40)")
    selfplay.add_argument("--simulations", type=_cli.positive, default=32, help="a full search's simulations (32)")
    selfplay.add_argument("--fast-simulations", type=_cli.positive, default=8, help="a fast search's simulations "
                          "(default 8)")  # fmt: skip
    selfplay.add_argument("--full-share", type=float, default=0.25, help="share of moves searched in full, which "
                          "become policy targets (default 0.25)")  # fmt: skip
    selfplay.add_argument("--considered", type=_cli.positive, default=16, help="root actions the Gumbel search "
                          "samples (default 16)")  # fmt: skip
    selfplay.add_argument("--playout-weight", type=float, default=0.5, help="weight of greedy playouts beside the "
                          "network's value at the search's leaves, 0 to 1 (default 0.5)")  # fmt: skip
    selfplay.add_argument("--evaluated-depth", type=int, default=None, help="the searches' tree levels the network "
                          "values, the root being 0; greedy playouts alone below (default: every level)")  # fmt: skip
    selfplay.add_argument("--compile", action="store_true", help="run the searches' network through "
                          "torch.compile: about 20 s once, then about 1.6 times as fast (local play only)")  # fmt: skip
    selfplay.add_argument("--window", type=_cli.positive, default=6, help="generations in the replay window (6)")
    selfplay.add_argument("--aux-weight", type=float, default=0.25, help="weight of the auxiliary losses (0.25)")
    selfplay.add_argument(
        "--precision",
        choices=("auto", "fp32", "bf16"),
        default="auto",
        help="the network's arithmetic (default auto: bf16 where the CPU has bf16 units)",
    )
    parser.add_argument("--teacher", type=_cli.player, default="mcts:100", help="the player whose moves are learnt "
                        "(default mcts:100)")  # fmt: skip
    parser.add_argument("--games", type=_cli.positive, default=None, help="games played per iteration (default 64; "
                        "self-play 128)")  # fmt: skip
    parser.add_argument("--steps", type=_cli.non_negative, default=None, help="Adam steps per iteration (default "
                        "140; self-play 100)")  # fmt: skip
    parser.add_argument("--batch-size", type=_cli.positive, default=None, help="positions a step (default 128; "
                        "self-play 256)")  # fmt: skip
    parser.add_argument("--learning-rate", type=float, default=None, help="Adam's step size (default 0.002; "
                        "self-play 0.001)")  # fmt: skip
    parser.add_argument("--value-weight", type=float, default=1.0, help="weight of the value loss (default 1)")
    parser.add_argument("--eval-every", type=_cli.positive, default=2, help="iterations between evaluations (2)")
    parser.add_argument("--eval-games", type=_cli.positive, default=64, help="games an evaluation (default 64)")
    parser.add_argument("--channels", type=_cli.positive, default=32, help="the network's channels (default 32)")
    parser.add_argument("--layers", type=_cli.positive, default=6, help="the trunk's 3x3 convolutions (default 6)")
    parser.add_argument("--shape-head", action="store_true", help="add the shape-aware policy term")
    parser.add_argument("--no-aux-heads", action="store_true", help="self-play: without the auxiliary heads")
    parser.add_argument("--init", default=None, metavar="CHECKPOINT",
                        help="start from a checkpoint's weights (one without the shape term fits)")  # fmt: skip
    parser.add_argument("--seed", type=int, default=0, help="the run's seed (default 0)")
    parser.add_argument("--device", default="cpu", help="torch device: cpu (default), cuda, cuda:1 ...")
    parser.add_argument("--threads", type=_cli.positive, default=None, help="torch's and the games' threads "
                        "(default: torch's own choice; 1 on a busy machine)")  # fmt: skip
    parser.add_argument("--workers", type=_cli.positive, default=None, help="play on Ray, in this many tasks an "
                        "iteration (default: in this process)")  # fmt: skip
    parser.add_argument("--address", default=None, help="the Ray cluster to join (default: a local one)")
    parser.add_argument("--plot", type=_cli.output_file, default=None, help="draw the curves to FILE.png at the end")


def run(args: argparse.Namespace) -> int:
    from tegulo_rl.net import MissingTorch, require_torch

    try:
        require_torch()
    except MissingTorch as error:
        raise _cli.CommandError(str(error)) from None
    from tegulo_rl.net import checkpoint
    from tegulo_rl.net.model import Architecture
    from tegulo_rl.net.train import RunMismatch, Settings, plot, train

    if args.self_play:
        return _self_play(args)
    settings = Settings(
        out=args.out,
        iterations=args.iterations,
        teacher=str(args.teacher),
        games=64 if args.games is None else args.games,
        steps=140 if args.steps is None else args.steps,
        batch_size=128 if args.batch_size is None else args.batch_size,
        learning_rate=2e-3 if args.learning_rate is None else args.learning_rate,
        value_weight=args.value_weight,
        eval_every=args.eval_every,
        eval_games=args.eval_games,
        seed=args.seed,
        arch=Architecture(channels=args.channels, layers=args.layers, shape_head=args.shape_head),
        device=args.device,
        threads=args.threads,
        workers=args.workers,
        address=args.address,
        init=args.init,
    )
    command = "python -m tegulo_rl " + shlex.join(sys.argv[1:]) if sys.argv[1:2] == ["train"] else None
    progress = _cli.Progress("iterations", lines=settings.iterations)
    try:
        info = train(settings, progress=progress, command=command)
    except (RunMismatch, checkpoint.CheckpointError, ValueError) as error:
        raise _cli.CommandError(str(error), _cli.EXIT_USAGE if isinstance(error, RunMismatch) else 1) from None
    finally:
        progress.end() if progress.live else None
    print(f"trained {info['iteration']} iterations, {info['step']} steps, {info['positions']} positions "
          f"in {info['seconds'] / 60:.1f} minutes: {args.out}")  # fmt: skip
    if args.plot:
        plot(args.out, args.plot)
        print(f"curves: {args.plot}")
    return _cli.EXIT_OK


def _self_play(args: argparse.Namespace) -> int:
    from tegulo_rl.net import checkpoint, selfplay
    from tegulo_rl.net.model import Architecture
    from tegulo_rl.net.train import RunMismatch

    try:
        settings = selfplay.Settings(
            out=args.out,
            generations=args.generations,
            games=128 if args.games is None else args.games,
            simulations=args.simulations,
            fast_simulations=args.fast_simulations,
            full_share=args.full_share,
            considered=args.considered,
            playout_weight=args.playout_weight,
            evaluated_depth=args.evaluated_depth,
            window=args.window,
            steps=100 if args.steps is None else args.steps,
            batch_size=256 if args.batch_size is None else args.batch_size,
            learning_rate=1e-3 if args.learning_rate is None else args.learning_rate,
            value_weight=args.value_weight,
            aux_weight=args.aux_weight,
            eval_every=args.eval_every,
            eval_games=args.eval_games,
            seed=args.seed,
            arch=Architecture(
                channels=args.channels, layers=args.layers, shape_head=args.shape_head, aux_heads=not args.no_aux_heads
            ),  # fmt: skip
            init=args.init,
            device=args.device,
            precision=args.precision,
            threads=args.threads,
            compiled=args.compile,
            workers=args.workers,
            address=args.address,
        )
    except ValueError as error:
        raise _cli.CommandError(str(error), _cli.EXIT_USAGE) from None
    command = "python -m tegulo_rl " + shlex.join(sys.argv[1:]) if sys.argv[1:2] == ["train"] else None
    progress = _cli.Progress("generations", lines=settings.generations)
    try:
        info = selfplay.train(settings, progress=progress, command=command)
    except (RunMismatch, checkpoint.CheckpointError, selfplay.WindowFileError, ValueError) as error:
        raise _cli.CommandError(str(error), _cli.EXIT_USAGE if isinstance(error, RunMismatch) else 1) from None
    finally:
        progress.end() if progress.live else None
    print(f"trained {info['generation']} generations, {info['step']} steps, {info['positions']} positions "
          f"in {info['seconds'] / 60:.1f} minutes: {args.out}")  # fmt: skip
    if args.plot:
        selfplay.plot(args.out, args.plot)
        print(f"curves: {args.plot}")
    return _cli.EXIT_OK
