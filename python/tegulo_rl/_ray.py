"""A Ray instance on this machine alone, for self-play, training and the adapters.

    from tegulo_rl._ray import local_ray

    with local_ray(num_cpus=2):
        ...  # ray.remote tasks run on this machine; every port Ray opens is on 127.0.0.1

Left alone, Ray takes for this node's address the one that reaches the outside and
binds its servers (the GCS, the raylets, the object manager, every worker) to it.
Two settings keep it home: the node address given to `ray.init`, which every server
binds to, and the environment variable that makes a process without a node of its own
(a worker before it connects) take the loopback address for its node's, which Ray
reads once, when it is first imported: so it is set before that import, and the
workers Ray starts inherit it. Without it in the driver too, the servers bind to every
interface whatever the node address.

Two things here are Ray's internals, kept to this module: the node address is an
argument `ray.init` marks as internal (`_node_ip_address`), and when Ray was imported
before `local_ray` (so it read the variable already), the value it read is changed in
its private module for the block (`_cluster_mode`). The tests start Ray both ways and
read the addresses its processes listen on, so they fail when a Ray release changes
either.
"""

from __future__ import annotations

import contextlib
import importlib
import logging
import os
import sys
from collections.abc import Iterator

LOOPBACK = "127.0.0.1"
NODE_ADDRESS_ARGUMENT = "_node_ip_address"
# Read by Ray at import: with "0", a process takes the loopback address for its node's.
CLUSTER_ENV = "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"


@contextlib.contextmanager
def _environment(name: str, value: str) -> Iterator[None]:
    """`name` set to `value` in os.environ for the block, then as it was."""
    saved = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = saved


@contextlib.contextmanager
def _cluster_mode(enabled: bool) -> Iterator[None]:
    """Ray's reading of CLUSTER_ENV set to `enabled` for the block, for a Ray imported before it was set."""
    from ray._private import ray_constants

    saved = ray_constants.ENABLE_RAY_CLUSTER
    ray_constants.ENABLE_RAY_CLUSTER = enabled
    try:
        yield
    finally:
        ray_constants.ENABLE_RAY_CLUSTER = saved


@contextlib.contextmanager
def local_ray(num_cpus: int | None = None, **init: object) -> Iterator[None]:
    """A Ray instance on this machine alone for the block: every server it starts listens on 127.0.0.1,
    without a dashboard; shut down at the end.

    `num_cpus` caps the tasks that run at once (None: one a core); `init` passes
    further arguments to `ray.init` (`runtime_env`, `object_store_memory`, ...).
    Raises RuntimeError if Ray is already initialised in this process, and a clear
    ImportError without Ray."""
    with contextlib.ExitStack() as stack:
        stack.enter_context(_environment(CLUSTER_ENV, "0"))
        imported = "ray" in sys.modules
        try:
            ray = importlib.import_module("ray")  # reads CLUSTER_ENV, unless imported before
        except ImportError as error:
            raise ImportError(f"a local Ray needs ray: pip install 'ray>=2.10' ({error})") from error
        if imported:
            stack.enter_context(_cluster_mode(False))
        if ray.is_initialized():
            raise RuntimeError("Ray is already initialised in this process: shut it down first, or use it as it is")
        ray.init(
            address="local",
            num_cpus=num_cpus,
            include_dashboard=False,
            logging_level=logging.WARNING,
            **{NODE_ADDRESS_ARGUMENT: LOOPBACK},
            **init,
        )
        try:
            yield
        finally:
            ray.shutdown()


@contextlib.contextmanager
def connected(address: str | None) -> Iterator[None]:
    """This process's Ray connection if it has one, else the cluster at `address`, else a local instance."""
    import ray

    if ray.is_initialized():
        yield
    elif address is None:
        with local_ray():
            yield
    else:
        ray.init(address=address, logging_level=logging.WARNING)
        try:
            yield
        finally:
            ray.shutdown()  # disconnects; the cluster goes on
