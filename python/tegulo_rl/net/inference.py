"""The network's forward pass at play time, as fast as this CPU allows.

Where the CPU has bfloat16 matrix units (AMX, or AVX-512 BF16), the trunk's
convolutions run in bfloat16 under autocast on channels-last tensors, the first
layer, the residual sum and the heads in float32: measured 1.6 times the positions
per second of float32 for inference on one thread (all in bfloat16 about 3 times, but
the argmax then agreed with float32's on 95.6% of positions, against 99.3% so).
Elsewhere, or when asked, float32. The choice is made at run time, once per process
(`precision()`).

An `Inference` holds its own copy of the network, so that training the original
goes on unhindered; `refresh` copies the weights again. `compiled=True` runs that
copy through `torch.compile` with a dynamic batch size: about 20 s of compiling on
the first call, then about twice the positions per second of the same path
uncompiled (3.4 times float32's; this machine's CPU, bf16, batches of 64 to 512),
which pays in long runs such as self-play and not in a short session.
"""

from __future__ import annotations

import concurrent.futures
import copy
import ctypes
import functools
import threading
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
import torch

from tegulo_rl.net.model import ACTIONS, PolicyValueNet, features

PRECISIONS = ("auto", "fp32", "bf16")
# Positions a forward pass takes at most: bounds the memory of the (N, 36400) logits.
CHUNK = 512


@functools.cache
def cpu_flags() -> frozenset[str]:
    """The CPU's feature flags as Linux lists them (empty where it does not)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return frozenset(line.split(":", 1)[1].split())
    except OSError:
        pass
    return frozenset()


def has_bf16_units() -> bool:
    """Whether this CPU multiplies bfloat16 matrices in hardware (AMX or AVX-512 BF16)."""
    return bool({"amx_bf16", "avx512_bf16"} & cpu_flags()) and torch.backends.mkldnn.is_available()


def precision(asked: str = "auto", device: str = "cpu") -> str:
    """The precision a forward pass uses: "bf16" or "fp32"; "auto" takes bf16 where the CPU has
    bfloat16 units (and on CUDA devices, which all have them), fp32 elsewhere."""
    if asked not in PRECISIONS:
        raise ValueError(f"Unknown precision {asked!r}: expected one of {', '.join(PRECISIONS)}")
    if asked != "auto":
        return asked
    if str(device).startswith("cuda"):
        return "bf16"
    return "bf16" if has_bf16_units() else "fp32"


class Inference:
    """A network ready to evaluate positions: `(logits, values) = inference(observation)` with
    logits (N, 36400) float32 over the whole action grid (unmasked) and values (N, 4) float32."""

    def __init__(self, net: PolicyValueNet, asked: str = "auto", device: str = "cpu", compiled: bool = False):
        self.device = torch.device(device)
        self.precision = precision(asked, str(self.device))
        self.net = copy.deepcopy(net).to(self.device).eval()
        if self.precision == "bf16":
            self.net = self.net.to(memory_format=torch.channels_last)  # type: ignore[call-overload]
        # The compiled module reads the copy's parameters, so `refresh` reaches it too.
        self.forward: Callable[..., Any] = torch.compile(self.net, dynamic=True) if compiled else self.net

    def refresh(self, net: PolicyValueNet) -> None:
        """Takes `net`'s current weights."""
        self.net.load_state_dict(net.state_dict())

    def __call__(self, observation: Any) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
        n = len(observation.current_agent)
        logits = np.empty((n, ACTIONS), np.float32)
        values = np.empty((n, 4), np.float32)
        bf16 = self.precision == "bf16"
        with torch.inference_mode(), torch.autocast(self.device.type, dtype=torch.bfloat16, enabled=bf16):
            for start in range(0, n, CHUNK):
                part = _Rows(observation, slice(start, start + CHUNK)) if n > CHUNK else observation
                planes, vector = features(part, self.device)
                if bf16:
                    planes = planes.contiguous(memory_format=torch.channels_last)
                out, value = self.forward(planes, vector)
                logits[start : start + len(planes)] = out.float().cpu().numpy()
                values[start : start + len(planes)] = value.float().cpu().numpy()
        return logits, values

    def evaluator(self) -> Any:
        """This network as a search's evaluator: it gives logits, which the search turns into
        priors over the legal actions itself."""

        def evaluate_leaves(observation: Any) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
            return self(observation)

        evaluate_leaves.gives_logits = True  # type: ignore[attr-defined]
        return evaluate_leaves


T = TypeVar("T")
_one_thread: concurrent.futures.ThreadPoolExecutor | None = None
_one_thread_lock = threading.Lock()


def _openmp() -> Any:
    """The OpenMP runtime torch runs its threads with, or None where it cannot be found."""
    try:
        with open("/proc/self/maps") as f:
            paths = {line.split()[-1] for line in f if "libgomp" in line or "libiomp" in line}
    except OSError:
        return None
    for path in sorted(paths):
        try:
            return ctypes.CDLL(path)
        except OSError:
            continue
    return None


def _single_core() -> None:
    """Makes the calling thread's own parallel regions use one thread. OpenMP keeps the
    thread count per thread: torch's process-wide setter would also change every thread
    started later, and race with the threads already running."""
    torch.ones(2).add_(1)  # torch sets each thread's count on its first operation: after that
    runtime = _openmp()
    if runtime is not None:
        runtime.omp_set_num_threads(1)


def one_thread(function: Callable[..., T], *args: Any) -> T:
    """`function(*args)` on a thread of its own whose torch operations use one core: how small
    batches run, where threads waiting for each other cost more than they gain. Calls from
    several threads take turns."""
    global _one_thread
    with _one_thread_lock:
        if _one_thread is None:
            _one_thread = concurrent.futures.ThreadPoolExecutor(
                1, thread_name_prefix="tegulo-net", initializer=_single_core
            )
        pool = _one_thread
    return pool.submit(function, *args).result()


class _Rows:
    """Some rows of a BatchObservation's planes."""

    def __init__(self, observation: Any, rows: slice):
        for name in ("observation", "corners", "blocked", "pieces", "done", "current_agent"):
            setattr(self, name, getattr(observation, name)[rows])
