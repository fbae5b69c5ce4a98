"""tegulo_rl._ray.local_ray: a real local Ray whose every process listens on the loopback address alone,
whether Ray was imported before it or not."""

import inspect
import json
import os
import pathlib
import subprocess
import sys

import pytest
from sockets import is_loopback, listening

if os.environ.get("TEGULO_SANITIZED"):
    pytest.skip("Ray's workers do not start under AddressSanitizer", allow_module_level=True)
ray = pytest.importorskip("ray")

from tegulo_rl import _ray  # noqa: E402

# Runs in a fresh interpreter, Ray not imported until local_ray imports it: prints what listens.
FRESH = """
import json, os, sys
sys.path.insert(0, {tests!r})
from sockets import is_loopback, listening
from tegulo_rl._ray import local_ray
assert "ray" not in sys.modules
with local_ray(num_cpus=1):
    import ray
    node = ray.get(ray.remote(lambda: ray.util.get_node_ip_address()).remote())
    print(json.dumps({{"node": node, "listening": [[str(a), p] for a, p in listening(os.getpid())]}}))
"""


def test_ray_still_takes_what_local_ray_relies_on():
    # When one of these fails, a Ray release moved what keeps it on the loopback address: see tegulo_rl._ray.
    # ray.init takes it from **kwargs, and refuses keywords it does not know.
    assert repr(_ray.NODE_ADDRESS_ARGUMENT) in inspect.getsource(ray.init).replace('"', "'"), "ray.init lost it"
    from ray._private import ray_constants

    assert isinstance(ray_constants.ENABLE_RAY_CLUSTER, bool), "Ray no longer reads RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"


def test_a_local_ray_listens_on_loopback_alone_when_ray_was_imported_first():
    assert "ray" in sys.modules and not ray.is_initialized()
    with _ray.local_ray(num_cpus=1):
        assert ray.get(ray.remote(lambda: ray.util.get_node_ip_address()).remote()) == "127.0.0.1"
        sockets = listening(os.getpid())
        with pytest.raises(RuntimeError, match="already initialised"):
            with _ray.local_ray():
                pass
        assert ray.is_initialized()  # the refused second instance left the first alone
    assert not ray.is_initialized()
    # The GCS, the raylet, the driver's and the worker's servers at least: the walk over /proc finds them.
    assert len(sockets) >= 4
    assert [s for s in sockets if not is_loopback(s[0])] == []
    from ray._private import ray_constants

    assert ray_constants.ENABLE_RAY_CLUSTER  # as Ray read it at import, again after the block
    assert _ray.CLUSTER_ENV not in os.environ


def test_a_local_ray_listens_on_loopback_alone_in_a_fresh_interpreter():
    tests = str(pathlib.Path(__file__).parent)
    code = FRESH.format(tests=tests)
    env = {k: v for k, v in os.environ.items() if k != _ray.CLUSTER_ENV}
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    report = json.loads(run.stdout.strip().splitlines()[-1])
    assert report["node"] == "127.0.0.1"
    assert len(report["listening"]) >= 4
    import ipaddress

    assert [s for s in report["listening"] if not is_loopback(ipaddress.ip_address(s[0]))] == []
