"""A local Ray on two CPUs for the sweep tests, started once and shut down at the end.

Ray is told to use the loopback address: the test cluster is this machine's
alone. Set before Ray is first imported, which reads it once.
"""
import os
import subprocess
import time

import pytest

os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")


def _ray_processes():
    """Pids of Ray's own daemons started under this process (raylet, GCS and the like)."""
    out = subprocess.run(["ps", "-o", "pid=,ppid=,args=", "-e"], capture_output=True, text=True).stdout
    children, mine = {}, {os.getpid()}
    for line in out.splitlines():
        parts = line.split(None, 2)
        children.setdefault(int(parts[1]), []).append((int(parts[0]), parts[2] if len(parts) > 2 else ""))
    pending, found = [os.getpid()], []
    while pending:
        for pid, args in children.get(pending.pop(), []):
            if pid not in mine:
                mine.add(pid)
                pending.append(pid)
                if "ray" in args:
                    found.append(pid)
    return found


@pytest.fixture(scope="session")
def ray_cluster():
    """Ray on two CPUs; after the last sweep test, shut down and checked gone."""
    import ray

    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=100 * 1024 * 1024,
             configure_logging=False)
    yield ray
    ray.shutdown()
    deadline = time.monotonic() + 15
    while _ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _ray_processes() == [], "Ray processes left after shutdown"
