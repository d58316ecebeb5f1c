"""A sweep's HTML report carries the sweep's table and links the runs' own reports (without a browser)."""
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from telvar.report import sweep_report

from .pages import page_data
from .synthetic import sweep_table


def test_the_page_carries_the_table_and_finds_the_parameters(tmp_path):
    table = sweep_table()
    path = sweep_report(table, tmp_path / "sweep.html")
    html = Path(path).read_text(encoding="utf-8")
    data = page_data(html)  # strict JSON: the failed run's missing figures are null, not NaN
    assert data["params"] == ["fast", "slow", "stop"] and data["stat"] == "Sharpe"
    keys = [c["key"] for c in data["columns"]]
    assert keys[:3] == ["fast", "slow", "stop"] and keys[-1] == "report"
    assert "Name" not in keys and "seconds" in keys and "error" in keys
    got = pd.DataFrame(data["rows"], columns=keys)
    assert len(got) == len(table) == 24
    for column in ("fast", "slow", "stop", "Sharpe", "TotalReturn", "MaxDrawdown", "seconds"):
        assert got[column].tolist() == pytest.approx(table[column].tolist(), nan_ok=True)
    assert data["failed"] == [isinstance(e, str) for e in table["error"]] and sum(data["failed"]) == 1
    assert "<b>slow</b>" not in html  # the error text is data, never markup
    stats = {s["key"]: s for s in data["stats"]}
    assert stats["AnnualVolatility"]["lower"] and not stats["Sharpe"]["lower"] and stats["seconds"]["lower"]
    assert stats["MaxDrawdownStart"]["kind"] == "day"


def test_runs_link_to_their_reports_when_those_were_written(tmp_path):
    table = sweep_table().iloc[:4].copy()
    runs = tmp_path / "runs"
    runs.mkdir()
    (runs / "run 0.html").write_text("<html></html>")
    table["report"] = [str(runs / "run 0.html"), str(runs / "never-written.html"), None, np.nan]
    data = page_data(Path(sweep_report(table, tmp_path / "pages" / "sweep.html")).read_text(encoding="utf-8"))
    links = [row[-1] for row in data["rows"]]
    assert links == ["../runs/run%200.html", None, None, None]
    assert (tmp_path / "pages" / "../runs/run 0.html").is_file()


def test_chosen_parameters_and_statistic(tmp_path):
    table = sweep_table()
    data = page_data(Path(sweep_report(table, tmp_path / "s.html", params=["slow", "fast"], stat="TotalReturn",
                                       best=3)).read_text(encoding="utf-8"))
    assert data["params"] == ["slow", "fast"] and data["stat"] == "TotalReturn" and data["best"] == 3
    assert [c["key"] for c in data["columns"]][:2] == ["slow", "fast"]
    with pytest.raises(ValueError, match="'Profit' is not a statistic"):
        sweep_report(table, tmp_path / "x.html", stat="Profit")
    with pytest.raises(ValueError, match="no column window"):
        sweep_report(table, tmp_path / "x.html", params=["window"])
    with pytest.raises(TypeError, match="DataFrame"):
        sweep_report(table.to_dict("records"), tmp_path / "x.html")
    assert not (tmp_path / "x.html").exists()


def test_a_sweep_in_one_parameter_and_a_sweep_that_failed_whole(tmp_path):
    one = sweep_table().drop_duplicates("fast").drop(columns=["slow", "stop"])
    data = page_data(Path(sweep_report(one, tmp_path / "one.html")).read_text(encoding="utf-8"))
    assert data["params"] == ["fast"] and len(data["rows"]) == 4
    failed = pd.DataFrame({"fast": [3, 5], "Sharpe": [None, None], "strategy_id": [None, None], "seconds": [0.1, 0.2],
                           "error": ["boom", "boom"]})
    data = page_data(Path(sweep_report(failed, tmp_path / "failed.html")).read_text(encoding="utf-8"))
    assert data["failed"] == [True, True] and [row[1] for row in data["rows"]] == [None, None]


def test_the_sweep_package_offers_the_report():
    sweep = pytest.importorskip("telvar.sweep")
    assert sweep.report is sweep_report
