"""A run's HTML report carries the run's own numbers (checked without a browser)."""
import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from telvar.report.page import script_json

from .conftest import CU, RB, STOCK
from .pages import assert_printed_equal, page_data, printed_stats

pytestmark = pytest.mark.host


@pytest.fixture(scope="module")
def written(traded_run, host, tmp_path_factory):
    from telvar.kestrum import comm

    if not comm.attached_to(host.address):
        comm.connect(host.address, token=getattr(host, "token", None))
    path = tmp_path_factory.mktemp("run-report") / "run.html"
    assert traded_run.report(path) == str(path)
    html = path.read_text(encoding="utf-8")
    return traded_run, html, page_data(html)


def test_tables_hold_every_trade_and_every_order_that_did_not_fill(written):
    result, html, data = written
    trades = data["tables"]["trades"]
    keys = [c["key"] for c in trades["columns"]]
    got = pd.DataFrame(trades["rows"], columns=keys)
    want = result.trades
    assert len(got) == len(want) > 20
    assert got["time"].tolist() == want["time"].dt.strftime("%Y-%m-%d %H:%M:%S").tolist()
    for column in ("target", "contract", "side", "quantity", "price", "commission", "tax", "roll"):
        assert got[column].tolist() == want[column].tolist(), column  # exact, not rounded
    order_ids = [row[keys.index("order_id")] for row in trades["rows"]]  # the rolls have none
    assert order_ids == [None if pd.isna(v) else int(v) for v in want["order_id"]]
    assert got["roll"].sum() == 2  # CU0000 rolled with a position

    orders = data["tables"]["orders"]
    rows = pd.DataFrame(orders["rows"], columns=[c["key"] for c in orders["columns"]])
    not_filled = result.orders[result.orders["status"].isin(["refused", "unfilled"])]
    assert rows["order_id"].tolist() == not_filled["order_id"].tolist()
    assert rows["reason"].tolist() == not_filled["reason"].tolist()
    assert {"refused", "unfilled"} == set(rows["status"]) and rows["reason"].str.contains("T+1", regex=False).any()
    assert "%d of %d" % (len(not_filled), len(result.orders)) in html


def test_statistics_are_printed_to_their_precision(written):
    result, html, _ = written
    printed = printed_stats(html)
    assert {"TotalReturn", "Sharpe", "MaxDrawdown", "MaxDrawdownStart", "Beta", "Commission"} <= set(printed)
    assert_printed_equal(result.stats, printed)
    assert "MaxDrawdownRecovery" in printed and "Name" not in printed  # who and when are in the header


def test_profit_per_target_adds_up_to_the_equity_gained(written):
    result, _, data = written
    table = data["tables"]["profit"]
    profits = pd.DataFrame(table["rows"], columns=[c["key"] for c in table["columns"]]).set_index("target")
    assert set(profits.index) == {CU, RB, STOCK}
    gained = result.stats["FinalEquity"] - result.capital
    assert profits["profit"].sum() == pytest.approx(gained, abs=1e-6)
    assert profits.loc[CU, "held_value"] != 0  # CU is still held at the end
    costs = result.trades.groupby("target")[["commission", "tax"]].sum()
    assert profits["commission"].to_dict() == pytest.approx(costs["commission"].to_dict())
    bars = data["figures"]["profit"]["data"][0]
    assert dict(zip(bars["y"], bars["x"])) == pytest.approx(profits["profit"].to_dict())


def test_equity_drawdown_benchmark_and_months_follow_the_curves(written):
    result, _, data = written
    equity, bench, drawdown = data["figures"]["equity"]["data"]
    per_bar = result.equity.assign(label=result.equity["time"].dt.strftime("%Y-%m-%d %H:%M"))
    assert len(equity["x"]) == len(per_bar)  # short runs are drawn whole
    assert equity["y"] == per_bar["equity"].tolist() and equity["x"] == per_bar["label"].tolist()
    daily = result.daily_equity["equity"]
    peaks = np.maximum.accumulate(np.r_[result.capital, daily])[1:]
    assert drawdown["y"] == pytest.approx((100 * (daily / peaks - 1)).tolist())
    assert min(drawdown["y"]) == pytest.approx(100 * result.stats["MaxDrawdown"])
    closes = result.benchmark.to_numpy()
    assert bench["y"][-1] == pytest.approx(result.capital * closes[-1] / closes[0])
    assert bench["y"][-1] / result.capital - 1 == pytest.approx(result.stats["BenchmarkReturn"])
    months = data["figures"]["monthly"]["data"]
    november = months[1]["z"][0][10]
    assert november == pytest.approx(100 * result.stats["TotalReturn"], abs=1e-5)  # the run is all November
    assert [v for v in months[1]["z"][0] if v is not None] == [november]


def test_the_candles_show_the_target_with_most_fills_and_its_fills(written, attached, tmp_path):
    result, _, data = written
    opened = result.trades[~result.trades["roll"]]
    busiest = opened["target"].value_counts().idxmax()
    candles, _, buys, sells = data["figures"]["candles"]["data"]
    assert candles["name"] == busiest
    mine = opened[opened["target"] == busiest]
    assert sorted(buys["y"]) == sorted(mine.loc[mine["side"] == "buy", "price"])
    assert sorted(sells["y"]) == sorted(mine.loc[mine["side"] == "sell", "price"])
    # each fill sits on a candle whose range holds its price
    bar_of = {x: (lo, hi) for x, lo, hi in zip(candles["x"], candles["low"], candles["high"])}
    for x, y in zip(buys["x"] + sells["x"], buys["y"] + sells["y"]):
        lo, hi = bar_of[x]
        assert lo - 1e-9 <= y <= hi + 1e-9

    path = result.report(tmp_path / "cu.html", target={"Market": "SHFE", "Code": "CU0000"}, style="western")
    traces = page_data(Path(path).read_text(encoding="utf-8"))["figures"]["candles"]["data"]
    rolls = [t for t in traces if t["name"].startswith("roll")]
    assert traces[0]["name"] == CU and len(rolls) == 1 and len(rolls[0]["y"]) == 2


def test_the_page_is_self_contained_and_escapes_the_runs_texts(written):
    import plotly.graph_objects as go

    _, html, data = written
    for figure in data["figures"].values():  # plotly.js ignores a misspelt attribute; plotly does not
        go.Figure(data=figure["data"], layout=figure["layout"])
    assert "<script src" not in html and "<link" not in html and "http://cdn" not in html
    assert "Plotly" in html and len(html) > 1_000_000  # plotly.js is inlined
    assert "<test>" not in html  # the strategy's name, "Mixed <test> & strategy"
    assert "Mixed &lt;test&gt; &amp; strategy" in html
    assert script_json({"t": "</script><b>&"}) == '{"t":"\\u003c/script\\u003e\\u003cb\\u003e\\u0026"}'


def test_refusals_name_the_problem(written, tmp_path):
    result, _, _ = written
    with pytest.raises(ValueError, match="SSE.600519 is not a target of the run"):
        result.report(tmp_path / "x.html", target="SSE.600519")
    with pytest.raises(IndexError, match="outside the run's 3 targets"):
        result.report(tmp_path / "x.html", target=3)
    with pytest.raises(ValueError, match="style"):
        result.report(tmp_path / "x.html", style="eastern")
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    with pytest.raises(OSError, match="a-file"):
        result.report(blocker / "run.html")
    assert sorted(os.listdir(tmp_path)) == ["a-file"]  # nothing half-written left behind


def test_bars_given_instead_of_the_hosts(written, tmp_path):
    result, _, _ = written
    minutes = result.equity["time"]
    day = minutes[(minutes.dt.hour >= 9) & (minutes.dt.hour <= 15)]  # the stock's sessions
    bars = pd.DataFrame({"time": day, "open": 10.0, "high": 11.0, "low": 9.0, "close": 10.5, "volume": 5.0})
    path = result.report(tmp_path / "given.html", target=STOCK, bars=bars.sample(frac=1, random_state=1))
    candles = page_data(Path(path).read_text(encoding="utf-8"))["figures"]["candles"]["data"][0]
    assert candles["name"] == STOCK and len(candles["x"]) == len(bars)
    assert candles["x"] == sorted(candles["x"])  # put in time order
    path = result.report(tmp_path / "bad.html", target=STOCK, bars=bars.drop(columns=["volume"]))
    html = Path(path).read_text(encoding="utf-8")
    assert "could not be read" in html and "missing volume" in html and "candles" not in page_data(html)["figures"]


def test_a_result_without_its_inputs_still_has_a_report(written, attached, tmp_path):
    import copy

    result = copy.copy(written[0])
    del result.inputs  # a result made before the runner kept them, or by other code
    html = Path(result.report(tmp_path / "bare.html")).read_text(encoding="utf-8")
    data = page_data(html)
    assert set(data["figures"]) == {"equity", "monthly", "candles"}  # profit needs the multipliers
    assert "1min" in html and len(data["tables"]["trades"]["rows"]) == len(result.trades)
