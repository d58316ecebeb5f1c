"""Parameter sets, dry runs, the arguments checked before Ray starts, and which classes travel by value.

None of these start Ray: ``cluster.connect`` is replaced by one that fails the test.
"""
import importlib.util
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from telvar import sweep
from telvar.sweep import cluster
from telvar.sweep.frame import result_frame, stat_names
from telvar.sweep.shipping import needs_by_value, pack

TARGETS = ["SHFE.RB0000"]


@pytest.fixture
def no_ray(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("Ray was started")

    monkeypatch.setattr(cluster, "connect", refuse)


class Anything:
    def __init__(self, **params):
        self.params = params


def test_a_dict_of_lists_gives_every_combination_as_a_product_would(no_ray):
    grid = {"fast": [3, 5, 8], "slow": np.array([20, 40]), "mode": ("long", "both")}
    plan = sweep.run(Anything, grid, TARGETS, 20251103, 20251104, dry_run=True)
    # the reference: pandas' own product of the levels, the last varying fastest
    expected = pd.MultiIndex.from_product([[3, 5, 8], [20, 40], ["long", "both"]],
                                          names=["fast", "slow", "mode"]).to_frame(index=False)
    assert len(plan) == 12 and list(plan.index) == list(range(12)) and plan.index.name == "backtest"
    assert plan.astype(object).values.tolist() == expected.astype(object).values.tolist()
    assert list(plan.columns) == ["fast", "slow", "mode"]
    assert sweep.expand_grid(grid)[5] == {"fast": 5, "slow": 20, "mode": "both"}
    assert type(sweep.expand_grid(grid)[0]["slow"]) is int  # numpy values come as plain numbers


def test_a_list_of_dicts_is_taken_as_given_with_missing_parameters_left_empty(no_ray):
    grid = [{"fast": 3}, {"fast": 5, "slow": 40}, {"stop": 0.02}]
    plan = sweep.run(Anything, grid, TARGETS, 20251103, 20251104, dry_run=True)
    assert list(plan.columns) == ["fast", "slow", "stop"]
    assert plan["fast"].tolist()[:2] == [3, 5] and pd.isna(plan["fast"][2])
    assert plan["stop"].isna().tolist() == [True, True, False]
    assert sweep.expand_grid(grid) == grid and sweep.expand_grid(grid)[0] is not grid[0]


@pytest.mark.parametrize("grid, error, words", [
    ({"fast": 5}, TypeError, "write [5] for one value"),
    ({"mode": "long"}, TypeError, "must be a list of values"),
    ({"fast": []}, ValueError, "empty"),
    ([], ValueError, "no parameter sets"),
    ([{"fast": 3}, 5], TypeError, "grid[1] must be a dict"),
    ({"not a name": [1]}, TypeError, "keyword names"),
    ([{1: 2}], TypeError, "keyword names"),
    ({"error": [1]}, ValueError, "result column"),
    ("fast", TypeError, "dict of lists or a list of dicts"),
])
def test_a_grid_that_cannot_be_meant_is_refused_with_what_is_wrong(grid, error, words):
    with pytest.raises(error) as caught:
        sweep.expand_grid(grid)
    assert words in str(caught.value)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(grid={"Sharpe": [1]}), ValueError, "names of statistics"),
    (dict(store="/no/such/store.duckdb"), FileNotFoundError, "/no/such/store.duckdb"),
    (dict(store="x.duckdb", host="unix:/tmp/h.sock"), ValueError, "not both"),
    (dict(host_token="t"), ValueError, "there is no host="),
    (dict(host=42), TypeError, "host handle or an address"),
    (dict(warmpu=5), TypeError, "warmpu"),
    (dict(capital=-1), ValueError, "capital"),
    (dict(fill="tomorrow"), ValueError, "fill"),
    (dict(begin_date=20251105), ValueError, "after end_date"),
    (dict(max_retries=-1), ValueError, "max_retries"),
    (dict(frequency="fortnight"), ValueError, "fortnight"),
])
def test_wrong_arguments_fail_once_before_ray_starts(no_ray, kwargs, error, words):
    args = dict(grid={"fast": [1]}, targets=TARGETS, begin_date=20251103, end_date=20251104, progress=False)
    args.update(kwargs)
    with pytest.raises(error) as caught:
        sweep.run(Anything, **args)
    assert words in str(caught.value)


def test_the_result_keeps_rows_in_grid_order_with_none_for_what_a_failed_back_test_lacks():
    sets = [{"fast": 3, "mode": "a"}, {"fast": 5, "mode": "b"}, {"fast": 8, "mode": "c"}]
    stats = stat_names()
    ran = {"TotalReturn": 0.125, "RoundTrips": 3, "MaxDrawdownRecovery": None, "Name": "S", "StrategyID": "TVS-1"}
    rows = {2: {"stats": None, "strategy_id": None, "seconds": 0.5, "error": "ValueError: no"},
            0: {"stats": ran, "strategy_id": "TVS-1", "seconds": 1.5, "error": None}}  # 1: cancelled
    frame = result_frame(sets, rows, stats)
    assert list(frame.index) == [0, 2]
    assert list(frame.columns) == ["fast", "mode"] + stats + ["strategy_id", "seconds", "error"]
    assert frame["error"].tolist() == [None, "ValueError: no"]
    assert frame["strategy_id"].tolist() == ["TVS-1", None] and frame["Name"].tolist() == ["S", None]
    assert frame["TotalReturn"][0] == 0.125 and np.isnan(frame["TotalReturn"][2])
    assert frame["RoundTrips"][0] == 3 and frame["seconds"].tolist() == [1.5, 0.5]
    assert frame["mode"].tolist() == ["a", "c"]
    assert stat_names(trading=False) == []
    assert {"Beta", "Alpha"} <= set(stat_names(benchmark="SSE.000300")) - set(stats)


def test_classes_of_the_users_own_files_travel_by_value_installed_ones_by_reference(tmp_path):
    import json

    import telvar.kestrum.runner

    own = tmp_path / "my_strategy.py"
    own.write_text(textwrap.dedent('''
        import json

        SCALE = 3

        def scaled(x):
            return x * SCALE

        class Mine:
            def __init__(self, x):
                self.x = x

            def value(self):
                return scaled(self.x), json.dumps(self.x)
    '''))
    spec = importlib.util.spec_from_file_location("my_strategy", own)
    module = importlib.util.module_from_spec(spec)
    sys.modules["my_strategy"] = module
    try:
        spec.loader.exec_module(module)
        assert needs_by_value(module)
        assert not needs_by_value(np) and not needs_by_value(json) and not needs_by_value(telvar.kestrum.runner)
        blob = pack(module.Mine)
    finally:
        del sys.modules["my_strategy"]
    # a process that cannot import my_strategy builds and runs the class from the bytes alone
    code = "import pickle, sys; cls = pickle.loads(sys.stdin.buffer.read()); print(cls(14).value())"
    done = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True, cwd="/", timeout=60)
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    assert done.stdout.decode().strip() == "(42, '14')"
    with pytest.raises(TypeError, match="must be a class"):
        pack(42)
