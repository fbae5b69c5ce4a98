"""The network's forward and training paths on this CPU, side by side in one run: float32,
the path `tegulo_rl.net.inference` chooses (bfloat16 autocast on channels-last tensors where
the CPU has bf16 matrix units), ONNX Runtime, and torch.compile.

    python benchmarks/net_paths.py [--checkpoint PATH] [--batch 256] [--rounds 5] [--threads 1]
                                   [--no-onnx] [--no-compile] [--json FILE]

Each round times every path once, in turn, so that a machine whose load changes during the
run slows them alike; the figure is each path's best round, in positions per second.
"""

import argparse
import io
import json
import os
import time

import numpy as np
import torch
from torch.nn import functional as F

from tegulo_rl import GameBatch
from tegulo_rl.net import player as net_player
from tegulo_rl.net.checkpoint import load
from tegulo_rl.net.inference import Inference, has_bf16_units, precision
from tegulo_rl.net.model import PolicyValueNet, features, masked


def sample(batch: int):
    games = GameBatch(max(8, batch // 40), seed=3, threads=1)
    records = []
    while sum(len(r) for r in records) < batch:
        games.step_players("heuristic")
        records.append(games.to_bytes().copy())
    return np.concatenate(records)[:batch]


def onnx_session(net, planes, vector, threads):
    import onnxruntime as ort

    buffer = io.BytesIO()
    torch.onnx.export(net, (planes, vector), buffer, input_names=["planes", "vector"],
                      output_names=["logits", "values"], dynamic_axes={"planes": {0: "n"}, "vector": {0: "n"}},
                      dynamo=False)  # fmt: skip
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    session = ort.InferenceSession(buffer.getvalue(), options, providers=["CPUExecutionProvider"])
    feed = {"planes": planes.numpy(), "vector": vector.numpy()}
    return lambda: session.run(None, feed)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--checkpoint", default=None, help="a checkpoint (default: the shipped network)")
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--no-onnx", action="store_true")
    parser.add_argument("--no-compile", action="store_true")
    parser.add_argument("--json", default=None)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    net = load(args.checkpoint or net_player.SHIPPED_NET)[0].eval()
    records = sample(args.batch)
    observation = GameBatch.from_bytes(records, seed=0, threads=1).observe(legal="mask")
    planes, vector = features(observation)
    mask = torch.from_numpy(np.array(observation.action_mask))
    chosen = precision()
    print(f"network {net.arch}; batch {args.batch}; {args.threads} thread(s); torch {torch.__version__}; "
          f"bf16 units: {has_bf16_units()}; chosen path: {chosen}; load average {os.getloadavg()[0]:.2f}")  # fmt: skip

    inference = {
        "fp32": (lambda f=Inference(net, "fp32"): f(observation)),
        f"chosen ({chosen})": (lambda f=Inference(net, "auto"): f(observation)),
    }
    if not args.no_onnx:
        try:
            inference["onnxruntime fp32"] = onnx_session(net, planes, vector, args.threads)
        except Exception as error:  # a missing wheel or an export the runtime refuses: say so, go on
            print(f"onnxruntime: skipped ({type(error).__name__}: {error})")
    if not args.no_compile:
        for mode in ("fp32", "bf16"):
            model = PolicyValueNet(net.arch)
            model.load_state_dict(net.state_dict())
            model.eval()
            x = planes
            if mode == "bf16":
                model = model.to(memory_format=torch.channels_last)
                x = planes.contiguous(memory_format=torch.channels_last)
            compiled = torch.compile(model)

            def run(compiled=compiled, x=x, bf16=mode == "bf16"):
                with torch.inference_mode(), torch.autocast("cpu", dtype=torch.bfloat16, enabled=bf16):
                    return compiled(x, vector)

            try:
                run()  # compiles
                inference[f"torch.compile {mode}"] = run
            except Exception as error:
                print(f"torch.compile {mode}: skipped ({type(error).__name__}: {error})")

    def trainer(bf16: bool, compiled: bool = False):
        model = PolicyValueNet(net.arch)
        model.load_state_dict(net.state_dict())
        x = planes
        if bf16:
            model = model.to(memory_format=torch.channels_last)
            x = planes.contiguous(memory_format=torch.channels_last)
        optimizer = torch.optim.Adam(model.parameters(), lr=1e-5)
        wanted = mask.float().argmax(dim=1)
        forward = torch.compile(model) if compiled else model

        def step():
            with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bf16):
                logits, values = forward(x, vector)
            loss = F.cross_entropy(masked(logits.float(), mask), wanted) + F.mse_loss(values.float(), values.detach() * 0)
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()

        return step

    training = {"fp32": trainer(False), f"chosen ({chosen})": trainer(chosen == "bf16")}
    if not args.no_compile:
        for mode in ("fp32", "bf16"):
            step = trainer(mode == "bf16", compiled=True)
            try:
                step()  # compiles the forward and backward passes
                training[f"torch.compile {mode}"] = step
            except Exception as error:
                print(f"training torch.compile {mode}: skipped ({type(error).__name__}: {error})")
    best: dict[str, float] = {}
    for _ in range(args.rounds):
        for group, paths in (("inference", inference), ("training", training)):
            for name, fn in paths.items():
                fn()
                start = time.perf_counter()
                fn()
                seconds = time.perf_counter() - start
                key = f"{group}: {name}"
                best[key] = max(best.get(key, 0.0), args.batch / seconds)
    for key, rate in best.items():
        group = key.split(":")[0]
        ratio = rate / best[f"{group}: fp32"]
        print(f"  {key:<32} {rate:8.0f} positions/s  ({ratio:.2f}x fp32)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"batch": args.batch, "threads": args.threads, "load_average": os.getloadavg()[0],
                       "positions_per_second": best}, f, indent=2)  # fmt: skip


if __name__ == "__main__":
    main()
