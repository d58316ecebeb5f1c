"""Price-adjusted K-data of the sample store's main contracts, through a real host.

The raw bars are the plain registrations' bars as the host delivered them; the
rolls come from the history module's main-contract history. The adjusted bars
must equal a pandas back-adjustment of the raw bars over those rolls.
"""
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

from adjusted_reference import PRICES, aggregate_prices, back_adjusted

pytestmark = pytest.mark.host

MAINS = [("SHFE", "RB0000"), ("SHFE", "CU0000"), ("DCE", "M0000"), ("CFFEX", "IF0000")]
TARGETS = [{"Market": m, "Code": c} for m, c in MAINS] + [{"Market": "SSE", "Code": "600000"}]
BEGIN, END = 20250901, 20251231


@pytest.fixture(scope="module")
def run(host, tmp_path_factory):
    from telvar.api.history import _history
    from telvar.api.regora import _regora
    from telvar.kestrum import runner

    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(tmp_path_factory.mktemp("adjusted") / "root")
    try:
        context = runner.setup(TARGETS, BEGIN, END, "min", 1, host=host)
        reg15 = _regora.reg_k_data("min", 15, True)
        reg_day = _regora.reg_k_data("day", 1, True)
        history = _history.get_main_contract(TARGETS, BEGIN, END)
        days = np.asarray(_history.get_trading_days(BEGIN, END), dtype=np.int64).ravel()
        yield SimpleNamespace(r=_regora, context=context, reg15=reg15, reg_day=reg_day, history=history,
                              days=days, vr=cnt.vr)
    finally:
        cnt.reset()
        cnt.env.fm.set_root(old_root)


def plain_item(run, frequency_i, freq_num):
    return run.vr.g_TelvarKDataList[run.vr.g_TelvarKDataList.find_pos(frequency_i, freq_num)]


def adj_item(run, frequency_i, freq_num):
    return run.vr.g_TelvarKDataList_Adj[run.vr.g_TelvarKDataList_Adj.find_pos(frequency_i, freq_num)]


def raw_prices(matrix, t):
    """The raw prices of target t and whether each bar traded (judged on all its fields)."""
    rows = [gv.bar_item_pos(f, t) for f in (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close)]
    prices = pd.DataFrame(matrix[rows].T, columns=PRICES)
    first = gv.bar_item_pos(0, t)
    prices["traded"] = ref.traded_rows(matrix[first:first + gv.KMatrix_Bar_Len])[0]
    return prices


def adj_prices(matrix, t):
    return matrix[t * gv.Adj_KMatrix_Bar_Len:(t + 1) * gv.Adj_KMatrix_Bar_Len]


def minute_days(run):
    """Trading day of every minute bar, from the day starts of the minute time line."""
    day_pos = plain_item(run, gv.KFreq_Min, 1).Matrix[gv.KMatrixPos_DayPos]
    starts = day_pos == 1
    assert starts[0] and starts.sum() == run.days.size
    return run.days[np.cumsum(starts) - 1]


def reference_minutes(run, t):
    raw = raw_prices(plain_item(run, gv.KFreq_Min, 1).Matrix, t)
    key = "%s.%s" % MAINS[t] if t < len(MAINS) else None
    if key not in run.history:
        return raw, np.zeros(len(raw), dtype=int)
    dates, codes = run.history[key]
    return back_adjusted(raw, minute_days(run), dates, codes)


def test_sample_mains_roll_at_least_twice(run):
    for market, code in MAINS:
        dates, codes = run.history["%s.%s" % (market, code)]
        assert sum(a != b for a, b in zip(codes, codes[1:])) >= 2
    assert "SSE.600000" not in run.history


@pytest.mark.parametrize("t", range(len(TARGETS)))
def test_adjusted_minutes_equal_the_back_adjusted_series(run, t):
    item = adj_item(run, gv.KFreq_Min, 1)
    expected, stretch = reference_minutes(run, t)
    np.testing.assert_allclose(adj_prices(item.Matrix, t), expected[PRICES].to_numpy().T, rtol=1e-11,
                               equal_nan=True)
    record = item.AdjCalcPos["%s.%s" % tuple(TARGETS[t].values())]
    if t == len(MAINS):
        assert record == [-1, 1, 1]
        return
    # Every roll continues the adjusted series: first open == previous close.
    close = adj_prices(item.Matrix, t)[gv.Adj_KMatrix_Close]
    open_ = adj_prices(item.Matrix, t)[gv.Adj_KMatrix_Open]
    starts = np.flatnonzero(np.diff(stretch)) + 1
    assert starts.size >= 2
    np.testing.assert_allclose(open_[starts], close[starts - 1], rtol=1e-11)
    assert record[0] == item.Matrix.shape[1]


def test_the_raw_series_jumps_at_the_rolls(run):
    """Without a price jump the comparison above could not tell adjusted from raw."""
    jumps = 0
    for t in range(len(MAINS)):
        raw = raw_prices(plain_item(run, gv.KFreq_Min, 1).Matrix, t)
        _, stretch = reference_minutes(run, t)
        starts = np.flatnonzero(np.diff(stretch)) + 1
        jumps += int(np.sum(raw["open"].to_numpy()[starts] != raw["close"].to_numpy()[starts - 1]))
    assert jumps >= 4


def test_adjusted_daily_bars(run):
    plain = plain_item(run, gv.KFreq_Day, 1)
    item = adj_item(run, gv.KFreq_Day, 1)
    assert plain.Matrix.shape[1] == run.days.size
    assert item.Matrix.shape == (len(TARGETS) * gv.Adj_KMatrix_Bar_Len, run.days.size)
    for t, target in enumerate(TARGETS):
        raw = raw_prices(plain.Matrix, t)
        key = "%s.%s" % (target["Market"], target["Code"])
        expected = back_adjusted(raw, run.days, *run.history[key])[0] if key in run.history else raw
        np.testing.assert_allclose(adj_prices(item.Matrix, t), expected[PRICES].to_numpy().T, rtol=1e-11,
                                   equal_nan=True)


def fifteen_minute_keys(run):
    day_pos = plain_item(run, gv.KFreq_Min, 1).Matrix[gv.KMatrixPos_DayPos]
    return minute_days(run).astype(np.int64) * 1000 + (day_pos.astype(np.int64) - 1) // 15


def test_adjusted_15_minute_bars(run):
    plain = plain_item(run, gv.KFreq_Min, 15)
    item = adj_item(run, gv.KFreq_Min, 15)
    minutes = plain_item(run, gv.KFreq_Min, 1).Matrix
    keys = fifteen_minute_keys(run)
    times = pd.Series(minutes[gv.KMatrixPos_TimeLine]).groupby(keys, sort=False).last().to_numpy()
    completed = np.isin(times, plain.Matrix[gv.KMatrixPos_TimeLine])
    assert completed.sum() == plain.Matrix.shape[1] == item.Matrix.shape[1]
    for t in range(len(TARGETS)):
        expected = aggregate_prices(reference_minutes(run, t)[0], keys)[completed]
        np.testing.assert_allclose(adj_prices(item.Matrix, t), expected.to_numpy().T, rtol=1e-11, equal_nan=True)


@pytest.mark.parametrize("fill_up", [True, False])
def test_windows_around_a_roll(run, fill_up):
    r, vr = run.r, run.vr
    keys = fifteen_minute_keys(run)
    strategy_times = run.context.bar_times
    minutes = plain_item(run, gv.KFreq_Min, 1).Matrix
    assert np.array_equal(minutes[gv.KMatrixPos_TimeLine], strategy_times)
    dates, codes = run.history["SHFE.RB0000"]
    roll_day = next(d for d, prev, cur in zip(dates[1:], codes, codes[1:]) if prev != cur)
    first = int(np.argmax(minute_days(run) == roll_day))
    adj15 = adj_item(run, gv.KFreq_Min, 15)
    plain15 = plain_item(run, gv.KFreq_Min, 15)
    tl15 = plain15.Matrix[gv.KMatrixPos_TimeLine]
    length = 8
    for pos in (first - 1, first, first + 7, first + 15, first + 200):
        w = r.get_reg_k_data_adj(run.reg15, pos, length, fill_up).astype(float)
        p = r.get_reg_k_data(run.reg15[:, :4].copy(), pos, length, fill_up).astype(float)
        np.testing.assert_array_equal(w[:, [0, 1, 6, 7, 8]], p[:, [0, 1, 6, 7, 8]])
        stock = slice(len(MAINS) * length, None)
        np.testing.assert_array_equal(w[stock, 2:6], p[stock, 2:6])
        for t in range(len(TARGETS)):
            block = w[t * length:(t + 1) * length]
            adjusted_minutes = reference_minutes(run, t)[0]
            for k, row in enumerate(block):
                if np.isnan(row[1]):
                    continue
                if k == length - 1 and row[1] == strategy_times[pos]:
                    same = keys[:pos + 1] == keys[pos]      # the forming bar, up to pos
                    expected = aggregate_prices(adjusted_minutes.iloc[:pos + 1][same],
                                                np.zeros(same.sum())).iloc[0].to_numpy()
                else:
                    col = int(np.searchsorted(tl15, row[1]))
                    expected = adj_prices(adj15.Matrix, t)[:, col]
                np.testing.assert_allclose(row[2:6], expected, rtol=1e-11,
                                           err_msg="target %d position %d row %d" % (t, pos, k))
    # The adjusted daily window: adjusted prices, raw volumes.
    mid = strategy_times.size // 2              # inside RB's second contract
    w = r.get_reg_k_data_adj(run.reg_day, mid, 5, fill_up).astype(float)
    p = r.get_reg_k_data(run.reg_day[:, :4].copy(), mid, 5, fill_up).astype(float)
    np.testing.assert_array_equal(w[:, [0, 1, 6, 7, 8]], p[:, [0, 1, 6, 7, 8]])
    day_item = adj_item(run, gv.KFreq_Day, 1)
    day_tl = plain_item(run, gv.KFreq_Day, 1).Matrix[gv.KMatrixPos_TimeLine]
    for k in range(4):                      # the completed days before the forming one
        col = int(np.searchsorted(day_tl, w[k, 1]))
        np.testing.assert_array_equal(w[k, 2:6], adj_prices(day_item.Matrix, 0)[:, col])
    assert not np.allclose(w[:4, 2:6], p[:4, 2:6])   # RB after its first roll: scaled prices
