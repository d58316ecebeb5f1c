"""A sweep from a script's ``__main__`` that joins a running Ray by address, a node joining during a
sweep, Ctrl-C during a sweep, and the per-node host coming back after it died or saying why it cannot."""
import _thread
import json
import math
import os
import pathlib
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import telvar

pytestmark = pytest.mark.host
# where this session's telvar comes from (the source tree, or the installed package), for scripts
SRC = pathlib.Path(telvar.__file__).resolve().parents[1]

SCRIPT = textwrap.dedent('''
    import json
    import sys

    from telvar import sweep
    from telvar.kestrum import runner


    class Steps:
        """Holds one lot every other ``every`` bars (a class of __main__: it travels by value)."""

        def __init__(self, every):
            self.every = every

        def init(self, context):
            self.n = 0

        def on_bar(self, context):
            self.n += 1
            if self.n % self.every == 0:
                context.order_target(0, 1 if (self.n // self.every) % 2 else 0)


    if __name__ == "__main__":
        address, out = sys.argv[1], sys.argv[2]
        frame = sweep.run(Steps, {"every": [20, 45]}, ["SHFE.RB0000"], 20251103, 20251104, address=address,
                          progress=False)
        refs = [runner.run(Steps(every), ["SHFE.RB0000"], 20251103, 20251104, progress=False).stats
                for every in (20, 45)]
        rows = frame.astype(object).where(frame.notna(), None).to_dict("records")
        with open(out, "w") as f:
            json.dump({"rows": rows, "refs": refs}, f)
''')


def same(a, b):
    if a is None or b is None or (isinstance(a, float) and math.isnan(a)):
        return (a is None or math.isnan(a)) and (b is None or math.isnan(b))
    return a == b


def test_a_strategy_of_a_scripts_main_joins_the_running_ray_by_address(ray_cluster, tmp_path):
    script, out = tmp_path / "sweep_script.py", tmp_path / "out.json"
    script.write_text(SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SRC)] + [p for p in os.environ.get(
        "PYTHONPATH", "").split(os.pathsep) if p]), TELVAR_HOME=str(tmp_path / "home"))
    address = ray_cluster.get_runtime_context().gcs_address
    done = subprocess.run([sys.executable, str(script), address, str(out)], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    answer = json.loads(out.read_text())
    assert [row["every"] for row in answer["rows"]] == [20, 45]
    for row, ref in zip(answer["rows"], answer["refs"]):
        assert row["error"] is None
        assert {k: (row[k], v) for k, v in ref.items() if k != "StrategyID" and not same(row[k], v)} == {}
    assert answer["rows"][0]["TradeCount"] != answer["rows"][1]["TradeCount"]


GROWING = textwrap.dedent('''
    import json
    import sys
    import threading
    import time

    from ray.cluster_utils import Cluster
    import ray

    import telvar.sweep.driver
    from telvar import sweep


    class Slow:
        def __init__(self, n):
            self.n = n

        def init(self, context):
            time.sleep(1.5)

        def on_bar(self, context):
            pass


    if __name__ == "__main__":
        telvar.sweep.driver.NODE_CHECK_SECONDS = 1.0
        cluster = Cluster(initialize_head=True, head_node_args={
            "num_cpus": 1, "include_dashboard": False, "object_store_memory": 100 * 1024 * 1024})
        try:
            out = {}
            worker = threading.Thread(target=lambda: out.update(table=sweep.run(
                Slow, {"n": list(range(6))}, ["SHFE.RB0000"], 20251103, 20251103, address=cluster.address,
                progress=False)))
            worker.start()
            time.sleep(2)  # the sweep runs on the head's one CPU, then a node joins
            cluster.add_node(num_cpus=1, object_store_memory=100 * 1024 * 1024)
            worker.join(120)
            table = out["table"]
            with open(sys.argv[1], "w") as f:
                json.dump({"errors": table["error"].tolist(), "hosts": table.attrs["hosts"],
                           "nodes": [n["NodeID"] for n in ray.nodes() if n["Alive"]]}, f)
        finally:
            ray.shutdown()
            cluster.shutdown()
''')


def _raylets():
    out = subprocess.run(["ps", "-e", "-o", "pid=,args="], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if "raylet" in line and "ps -e" not in line}


def test_a_node_that_joins_during_a_sweep_gets_its_host_and_takes_back_tests(tmp_path):
    script, out = tmp_path / "growing.py", tmp_path / "out.json"
    script.write_text(GROWING)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SRC)] + [p for p in os.environ.get(
        "PYTHONPATH", "").split(os.pathsep) if p]), TELVAR_HOME=str(tmp_path / "home"))
    before = _raylets()
    done = subprocess.run([sys.executable, str(script), str(out)], env=env, cwd=tmp_path, capture_output=True,
                          text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    answer = json.loads(out.read_text())
    assert answer["errors"] == [None] * 6
    # both nodes had a host, and each host served back-tests: it starts when a task of its node asks
    assert sorted(answer["hosts"]) == sorted(answer["nodes"]) and len(answer["nodes"]) == 2
    assert all(used["cpu_seconds"] > 0 for used in answer["hosts"].values())
    deadline = time.monotonic() + 15
    while _raylets() - before and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _raylets() - before == set()  # the small cluster is gone


class Pausing:
    """Writes ``started-N`` into ``marker`` when it starts; ``pause``: then waits a minute in init,
    else runs and writes ``done-N`` when it ends."""

    def __init__(self, n, pause, marker):
        self.n, self.pause, self.marker = n, pause, pathlib.Path(marker)

    def init(self, context):
        (self.marker / ("started-%d" % self.n)).touch()
        deadline = time.monotonic() + 60
        while self.pause and time.monotonic() < deadline:
            time.sleep(0.05)

    def on_bar(self, context):
        pass

    def summary(self, context):
        (self.marker / ("done-%d" % self.n)).touch()


def _interrupt_when(marker, names, timeout=60):
    """Ctrl-C in the main thread once every file of ``names`` is in ``marker`` (and the driver had a
    moment to take the finished rows)."""
    def wait():
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all((marker / name).exists() for name in names):
                time.sleep(0.5)
                _thread.interrupt_main()
                return
            time.sleep(0.05)

    thread = threading.Thread(target=wait, daemon=True)
    thread.start()
    return thread


def test_ctrl_c_cancels_the_back_tests_not_finished_and_returns_those_that_did(ray_cluster, tmp_path):
    from telvar import sweep

    grid = [{"n": 0, "pause": False}, {"n": 1, "pause": False}, {"n": 2, "pause": True}, {"n": 3, "pause": True}]
    for params in grid:
        params["marker"] = str(tmp_path)
    watcher = _interrupt_when(tmp_path, ["done-0", "done-1", "started-2", "started-3"])
    started = time.monotonic()
    frame = sweep.run(Pausing, grid, ["SHFE.RB0000"], 20251103, 20251103, progress=False)
    watcher.join()
    assert time.monotonic() - started < 45  # the pausing ones did not run their minute out
    assert list(frame.index) == [0, 1] and frame["error"].isna().all()
    assert frame.attrs["cancelled"] == 2
    # both CPUs are free again: a new sweep runs at once
    started = time.monotonic()
    again = sweep.run(Pausing, [{"n": 4, "pause": False, "marker": str(tmp_path)}], ["SHFE.RB0000"], 20251103,
                      20251103, progress=False)
    assert again["error"].isna().all() and time.monotonic() - started < 20


def test_the_node_host_starts_again_when_it_died():
    from telvar.kestrum.comm import TelvarSocket
    from telvar.sweep.nodehost import NodeHost

    node = NodeHost(None)  # the actor's class, used directly
    try:
        first, token = node.connection()
        assert token is None and node.connection() == (first, None)  # one host, asked twice
        node._handle.process.kill()
        node._handle.process.wait()
        second, _ = node.connection()
        assert second != first
        channel = TelvarSocket(second)
        try:
            assert channel.request("tvSendCmdGetStoreInfo")["store_id"]
        finally:
            channel.close()
    finally:
        node.stop()
    assert node._handle is None


def test_a_node_host_that_cannot_start_says_why_to_every_task_without_trying_again(tmp_path):
    from telvar.sweep.nodehost import NodeHost

    broken = tmp_path / "broken.duckdb"
    broken.write_bytes(b"not a database" * 100)
    node = NodeHost(str(broken))
    with pytest.raises(RuntimeError, match="the host of this node did not start: ") as first:
        node.connection()
    assert str(broken) in str(first.value)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as again:
        node.connection()
    assert str(again.value) == str(first.value) and time.monotonic() - started < 0.1
    assert node.stop()["cpu_seconds"] >= 0
