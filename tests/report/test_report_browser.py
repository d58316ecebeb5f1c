"""Reports opened in a real browser (headless Chromium): drawn without errors, tables that sort and
filter, the numbers shown equal the result's. Screenshots go to build/test-artifacts/ for a person."""
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from telvar.report import sweep_report

from .browsing import (assert_charts_drawn, choose, click_header, column_values, console_errors, open_report,
                       screenshot)
from .conftest import STOCK, start_browser
from .pages import assert_printed_equal
from .synthetic import large_run, sweep_table

RUN_CHARTS = {"chart-equity", "chart-monthly", "chart-profit", "chart-candles"}
OPEN_WITHIN = 10.0  # seconds: generous for a busy machine; a person's browser does it in one or two


@pytest.mark.host
def test_a_run_report_in_the_browser(browser, attached, tmp_path, artifacts):
    result = attached
    path = result.report(tmp_path / "run.html", target=STOCK)
    state = open_report(browser, path)
    assert state["errors"] == [] and console_errors(browser) == []
    assert_charts_drawn(browser, RUN_CHARTS)
    screenshot(browser, artifacts / "run-report.png")

    shown = browser.execute_script("""return Array.from(document.querySelectorAll('#stats tr[data-key]'))
        .map(function (tr) { return [tr.dataset.key, tr.querySelector('td').textContent]; });""")
    assert_printed_equal(result.stats, dict(shown))

    trades = "table-trades"
    choose(browser, "#%s select.page-size" % trades, 0)  # all rows on one page
    assert len(column_values(browser, trades, "price")) == len(result.trades)
    assert column_values(browser, trades, "time") == result.trades["time"].dt.strftime("%Y-%m-%d %H:%M:%S").tolist()
    click_header(browser, trades, "price")
    prices = column_values(browser, trades, "price")
    assert prices == sorted(result.trades["price"]) and prices != result.trades["price"].tolist()
    click_header(browser, trades, "price")
    assert column_values(browser, trades, "price") == sorted(result.trades["price"], reverse=True)
    choose(browser, "#%s select.filter" % trades, STOCK)
    targets = column_values(browser, trades, "target")
    assert targets == [STOCK] * int((result.trades["target"] == STOCK).sum())

    refused = column_values(browser, "table-orders", "reason")
    assert len(refused) == int(result.orders["status"].isin(["refused", "unfilled"]).sum())
    assert console_errors(browser) == []


def test_a_sweep_report_in_the_browser(browser, tmp_path, artifacts):
    table = sweep_table()
    linked = tmp_path / "runs" / "fast5-slow60.html"
    linked.parent.mkdir()
    linked.write_text("<!DOCTYPE html><title>run</title>")
    table["report"] = None
    best = table["Sharpe"].idxmax()
    table.loc[best, "report"] = str(linked)
    path = sweep_report(table, tmp_path / "sweep.html")
    state = open_report(browser, path)
    assert state["errors"] == [] and console_errors(browser) == []
    assert_charts_drawn(browser, {"chart-heatmap"})
    screenshot(browser, artifacts / "sweep-report.png")

    ok = table[table["error"].isna()]
    z = browser.execute_script("return document.getElementById('chart-heatmap').data[0].z")
    mean = ok.pivot_table(values="Sharpe", index="slow", columns="fast", aggfunc="mean")
    np.testing.assert_allclose(np.array(z, dtype=float), mean.to_numpy(), rtol=1e-12)
    choose(browser, "#pick-stat", "MaxDrawdown")
    choose(browser, "#pick-agg", "best")
    time.sleep(0.2)
    z = browser.execute_script("return document.getElementById('chart-heatmap').data[0].z")
    best_cells = ok.pivot_table(values="MaxDrawdown", index="slow", columns="fast", aggfunc="max")
    np.testing.assert_allclose(np.array(z, dtype=float), best_cells.to_numpy(), rtol=1e-12)
    assert column_values(browser, "table-best", "MaxDrawdown") == \
        sorted(ok["MaxDrawdown"], reverse=True)[:10]  # the shallowest drawdowns first

    click_header(browser, "table-all", "Sharpe")
    click_header(browser, "table-all", "Sharpe")
    sharpe = column_values(browser, "table-all", "Sharpe")
    assert sharpe[:len(ok)] == sorted(ok["Sharpe"], reverse=True) and sharpe[-1] == "n/a"  # failed run last
    hrefs = browser.execute_script("""return Array.from(document.querySelectorAll('#table-all a'))
        .map(function (a) { return a.href; });""")
    assert len(hrefs) == 1 and Path(hrefs[0].replace("file://", "")).resolve() == linked.resolve()
    assert "slow</b> must exceed" in browser.find_element("css selector", "#table-failed").text
    assert console_errors(browser) == []


@pytest.mark.slow
def test_a_large_run_opens_within_seconds(tmp_path, artifacts):
    result, bars = large_run()  # 50 stocks x 60 trading days of minute bars, 24,000 fills
    started = time.perf_counter()
    path = result.report(tmp_path / "large.html", target=0, bars=bars)  # the bars are the first target's
    written = time.perf_counter() - started
    driver = start_browser()  # a fresh browser: nothing of plotly.js compiled yet, as for a person
    try:
        cold = open_report(driver, path)["readyAt"] / 1000.0
        warm = open_report(driver, path)["readyAt"] / 1000.0
        assert console_errors(driver) == []
        assert_charts_drawn(driver, RUN_CHARTS)
        assert driver.execute_script("return telvarReport.errors") == []
        shown = driver.find_element("css selector", "#table-trades .shown").text
        assert shown == "{:,d} rows".format(len(result.trades))
        screenshot(driver, artifacts / "large-run-report.png")
    finally:
        driver.quit()
    size = Path(path).stat().st_size / 1e6
    (artifacts / "large-run-report.txt").write_text(
        "50 targets x 60 trading days of 1-minute bars, %d fills, %d equity bars: written in %.2f s, %.1f MB; "
        "loaded and drawn in headless Chromium in %.2f s (first open), %.2f s (again)\n"
        % (len(result.trades), len(result.equity), written, size, cold, warm))
    assert cold < OPEN_WITHIN and warm < OPEN_WITHIN
    data_points = len(result.equity)
    assert data_points == 14_400 and pd.Series(result.trades["target"]).nunique() == 50
