"""Sweeps on a local Ray (two CPUs) against the same back-tests run one by one in this process.

The strategy classes here live in a test module that Ray's workers cannot
import: they reach them by value. The example strategy is loaded from its
file the way a user's script would be.
"""
import importlib.util
import math
import os
import pathlib
import threading

import numpy as np
import pytest

from telvar.api.regora import _regora
from telvar.kestrum import runner

pytestmark = pytest.mark.host
RB, STOCK = "SHFE.RB0000", "SSE.600000"
BEGIN, END = 20251103, 20251104  # a Monday and a Tuesday, with the Monday's night session
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "ma_cross_strategy.py"
TARGETS = [RB, STOCK]


class Crossing:
    """Every 15 bars: one lot of the future while its close is above the mean of the last ``window``
    5-minute closes, 100,000 worth of the stock on the same rule. ``fail`` makes it raise in init,
    raise in on_bar, or kill its process in on_bar (noting each attempt in ``marker``)."""

    def __init__(self, window, fail=None, marker=None):
        self.window, self.fail, self.marker = window, fail, marker

    def init(self, context):
        if self.fail == "init":
            raise RuntimeError("no data for window %d" % self.window)
        self.reg = _regora.reg_k_data("min", 5)
        self.bars = 0

    def on_bar(self, context):
        self.bars += 1
        if self.bars == 30 and self.fail == "on_bar":
            raise ZeroDivisionError("bar 30")
        if self.bars == 30 and self.fail == "exit":
            with open(self.marker, "a") as f:
                f.write("attempt\n")
            os._exit(3)
        if self.bars % 15:
            return
        window = _regora.get_reg_k_data(self.reg, context.bar_pos, self.window, True)
        close = window[:, 5].astype(float).reshape(len(context.targets), self.window)
        if np.isnan(close).any():
            return
        up = close[:, -1] > close.mean(axis=1)
        context.order_target(0, 1 if up[0] else 0)
        context.order_target_value(1, 100_000 if up[1] else 0)


def load_example():
    spec = importlib.util.spec_from_file_location("ma_cross_strategy", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    import sys

    sys.modules[spec.name] = module  # as an import of the user's own file would
    spec.loader.exec_module(module)
    return module.MaCrossStrategy


def reference(strategy, params, host, **options):
    return runner.run(strategy(**params), TARGETS, BEGIN, END, host=host, progress=False, **options).stats


def same(a, b):
    missing = [v is None or (isinstance(v, float) and math.isnan(v)) for v in (a, b)]
    if any(missing):
        return all(missing)
    return a == b


def assert_row_is(row, stats):
    """Every statistic of ``stats`` equal in ``row``, bit for bit (the run's own id aside)."""
    assert row["error"] is None
    assert isinstance(row["strategy_id"], str) and row["strategy_id"] == row["StrategyID"]
    differ = {k: (row[k], v) for k, v in stats.items() if k != "StrategyID" and not same(row[k], v)}
    assert differ == {}


def test_every_row_equals_the_run_in_one_process_and_is_recorded_by_a_host(ray_cluster, host):
    from telvar import sweep
    from telvar.kestrum.comm import TelvarSocket

    strategy = load_example()
    options = dict(warmup=5, capital=500_000, costs={"SHFE.RB": {"commission_per_lot": 3}}, benchmark="SSE.000300")
    grid = {"fast": [3, 5], "slow": [10, 20]}
    frame = sweep.run(strategy, grid, TARGETS, BEGIN, END, progress=False, **options)

    assert list(frame[["fast", "slow"]].itertuples(index=False, name=None)) == [(3, 10), (3, 20), (5, 10), (5, 20)]
    assert list(frame.columns[-3:]) == ["strategy_id", "seconds", "error"]
    assert {"Beta", "InformationRatio", "Sharpe", "MaxDrawdownTrough"} <= set(frame.columns)
    for params, (_, row) in zip(sweep.expand_grid(grid), frame.iterrows()):
        assert_row_is(row, reference(strategy, params, host, **options))
        assert row["seconds"] > 0
    assert frame["TotalReturn"].nunique() == 4  # the parameters matter: a mix-up would show
    (node_host,) = frame.attrs["hosts"].values()  # one node, one host
    assert node_host["cpu_seconds"] > 0 and node_host["peak_mib"] > 20
    assert frame["strategy_id"].is_unique
    # the run was recorded in the store's results database, which every host of that store shares
    channel = TelvarSocket(host.address)
    try:
        recorded = channel.request("tvSendCmdGetBackTestPerformance", [frame["strategy_id"][2]])
    finally:
        channel.close()
    assert recorded["StrategyID"] == frame["strategy_id"][2]
    assert recorded["TotalReturn"] == frame["TotalReturn"][2] and recorded["Name"] == "MaCrossStrategy"


def test_a_back_test_that_raises_fills_its_row_with_the_error_and_the_rest_complete(ray_cluster, host, tmp_path):
    import sqlite3

    from telvar import sweep

    grid = [{"window": 6}, {"window": 6, "fail": "init"}, {"window": 12, "fail": "on_bar"}, {"window": 12}]
    runs = tmp_path / "runs.sqlite"
    frame = sweep.run(Crossing, grid, TARGETS, BEGIN, END, warmup=1, progress=False, results=runs)

    assert frame["error"][1] == "RuntimeError: no data for window 6"
    assert frame["error"][2] == "ZeroDivisionError: bar 30"
    assert frame.loc[[1, 2], "TotalReturn"].isna().all() and frame.loc[[1, 2], "strategy_id"].isna().all()
    for i in (0, 3):
        assert_row_is(frame.loc[i], reference(Crossing, grid[i], host, warmup=1))
    assert frame["fail"].tolist()[1:3] == ["init", "on_bar"]
    # the node's host recorded the runs where it was told: the two that ended complete, the two that
    # failed begun (the runner begins a run before init) and never ended
    con = sqlite3.connect(str(runs))
    try:
        recorded = dict(con.execute("SELECT strategy_id, status FROM runs").fetchall())
    finally:
        con.close()
    assert {recorded[frame["strategy_id"][i]] for i in (0, 3)} == {"complete"}
    assert sorted(recorded.values()) == ["complete", "complete", "running", "running"]


def test_a_worker_that_dies_is_run_again_then_reported(ray_cluster, host, tmp_path):
    from telvar import sweep

    marker = tmp_path / "attempts"
    grid = [{"window": 6}, {"window": 9, "fail": "exit", "marker": str(marker)}, {"window": 12}]
    frame = sweep.run(Crossing, grid, TARGETS, BEGIN, END, warmup=1, progress=False, max_retries=1)

    assert marker.read_text().count("attempt") == 2  # the first run and one retry
    assert frame["error"][1].startswith("worker died (run 2 times)")
    for i in (0, 2):
        assert_row_is(frame.loc[i], reference(Crossing, grid[i], host, warmup=1))


def test_two_sweeps_at_once_on_one_node_each_get_their_own_results(ray_cluster, host):
    from telvar import sweep

    grids = {"a": {"window": [6, 9]}, "b": {"window": [12, 15], "fail": [None]}}
    frames, failures = {}, []

    def one(name):
        try:
            frames[name] = sweep.run(Crossing, grids[name], TARGETS, BEGIN, END, warmup=1, progress=False)
        except Exception as exc:  # reported below: an exception in a thread would go unseen
            failures.append(exc)

    threads = [threading.Thread(target=one, args=(name,)) for name in grids]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert failures == [] and sorted(frames) == ["a", "b"]
    for name, grid in grids.items():
        for params, (_, row) in zip(sweep.expand_grid(grid), frames[name].iterrows()):
            assert row["window"] == params["window"]
            assert_row_is(row, reference(Crossing, params, host, warmup=1))


def test_one_tcp_host_named_for_every_worker_with_its_token(ray_cluster, host):
    from telvar import sweep
    from telvar.host import start_host

    expected = reference(Crossing, {"window": 9}, host, warmup=1)
    with start_host(port=0) as tcp:
        by_handle = sweep.run(Crossing, {"window": [9]}, TARGETS, BEGIN, END, host=tcp, warmup=1, progress=False)
        assert_row_is(by_handle.loc[0], expected)
        by_address = sweep.run(Crossing, {"window": [9]}, TARGETS, BEGIN, END, host=tcp.address,
                               host_token=tcp.token, warmup=1, progress=False)
        assert_row_is(by_address.loc[0], expected)
        refused = sweep.run(Crossing, {"window": [9, 12]}, TARGETS, BEGIN, END, host=tcp.address,
                            host_token="not-the-token", warmup=1, progress=False)
    assert refused["error"].str.startswith("HostConnectionError").all()
    assert refused["error"].str.contains("token").all()


def test_a_store_the_node_host_cannot_serve_is_every_rows_error(ray_cluster, tmp_path):
    from telvar import sweep

    broken = tmp_path / "broken.duckdb"
    broken.write_bytes(b"not a database" * 100)
    frame = sweep.run(Crossing, {"window": [6, 9, 12]}, TARGETS, BEGIN, END, store=broken, progress=False)
    errors = frame["error"].tolist()
    assert len(set(errors)) == 1 and errors[0].startswith("RuntimeError: the host of this node did not start: ")
    assert str(broken) in errors[0] and frame["TotalReturn"].isna().all()
