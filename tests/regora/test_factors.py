"""Factors: registration from host factor files and from the local factor
store into the shared factor matrix, the bar-to-column map, and the windows
read back at strategy bars, checked against the series that were served."""
import math
import os
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.io

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.language import text
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.uclass import KDataItem
from telvar.kestrum.utils.exceptions import TvDataError

from regora_market import BEGIN, END, TARGETS

KEYS = ["SHFE.RB0000", "SSE.600000"]


class FakeHost:
    """Answers the factor-file request with .mat files for the factors it holds."""

    def __init__(self, folder, series, dates):
        self.folder, self.series, self.dates, self.calls = folder, series, dates, []

    def tvSendCmdGetFactorMultiFilePath(self, factors, targets, begin, end, kind):
        self.calls.append((list(factors), begin, end, kind))
        paths = []
        for factor in factors:
            if factor not in self.series:
                paths.append("")
                continue
            path = self.folder / ("factor_%s_%d.mat" % (factor, len(self.calls)))
            variables = {"Date": self.dates[factor]}
            for key, values in zip(KEYS, self.series[factor]):
                market, code = key.split(".")
                variables["fv_%s_%s" % (market, code)] = values
            variables["Note"] = np.array([1.0])  # other variables are ignored
            scipy.io.savemat(path, variables)
            paths.append(str(path))
        return paths


class FakeStore:
    """The local factor store: serves the factors it holds, records every request."""

    def __init__(self, series, dates):
        self.series, self.dates, self.calls = series, dates, []

    def __call__(self, factor, targets, begin, end, mode):
        self.calls.append((factor, begin, end, mode))
        out = {key: values.copy() for key, values in zip(KEYS, self.series[factor])}
        out["date"] = self.dates[factor]
        return out


def refresh_item(times, day_pos):
    """A refresh K-data item with the head rows the factor map reads."""
    matrix = cnt.env.generate_kmatrix_array(len(TARGETS), times.size)
    matrix[gv.KMatrixPos_TimeLine] = times
    matrix[gv.KMatrixPos_DayPos] = day_pos
    cnt.vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=1, Matrix=matrix))
    cnt.vr.g_TelvarInputInfo.RefreshKDataIdx = len(cnt.vr.g_TelvarKDataList) - 1


@pytest.fixture
def fx(bare_world, monkeypatch, tmp_path):
    """Minute strategy bars over 20 trading days; host factors alpha, gamma, short_a,
    short_b, short_c; store factors beta, delta (short_*: one day short)."""
    market = bare_world.market
    day_index = np.unique(market.tday, return_inverse=True)[1]
    n_days = day_index.max() + 1
    day_numbers = np.floor(market.frame(0).groupby("tday")["time"].last().to_numpy())
    rng = np.random.default_rng(11)
    names = ["alpha", "beta", "gamma", "delta", "short_a", "short_b", "short_c"]
    series = {n: np.round(rng.normal(size=(len(KEYS), n_days)), 6) for n in names}
    dates = {n: day_numbers.copy() for n in names}
    for n in names[4:]:
        series[n], dates[n] = series[n][:, :-1], dates[n][:-1]
    host = FakeHost(tmp_path, {n: series[n] for n in names if n not in ("beta", "delta")}, dates)
    store = FakeStore(series, dates)
    monkeypatch.setattr(bare_world.regora, "tvcmd", host)
    monkeypatch.setattr(bare_world.regora, "get_factor_by_factor", store)
    refresh_item(market.times, market.day_pos)
    return SimpleNamespace(regora=bare_world.regora, market=market, host=host, store=store, series=series,
                           dates=day_numbers, day_index=day_index, n_bars=market.times.size)


def expected_window(fx, rows_series, end, length, dates=None):
    """Right-aligned window of factor columns [end - length, end), NaN where uncovered."""
    dates = fx.dates if dates is None else dates
    begin = max(end - length, 0)
    dt, value = np.full(length, np.nan), np.full((len(rows_series), length), np.nan)
    for k, col in enumerate(range(begin, end)):
        slot = length - (end - begin) + k
        if col < len(dates):
            dt[slot] = dates[col]
            value[:, slot] = [s[col] if col < len(s) else np.nan for s in rows_series]
    return dt, value


def test_two_registrations_from_host_files_and_the_store(fx):
    reg = fx.regora.reg_factor
    rows = reg(["alpha", "beta"], TARGETS, BEGIN, END)
    assert rows.dtype.kind == "i" and rows.tolist() == [[0, 1], [2, 3]]
    rows2 = reg(factors=["beta", "gamma"], targets=TARGETS, begin_date=BEGIN, end_date=END)
    assert rows2.tolist() == [[2, 3], [4, 5]]

    # one host request per call, with the factors as given; the store only for beta, once
    assert [c[0] for c in fx.host.calls] == [["alpha", "beta"], ["beta", "gamma"]]
    assert all(c[1:] == (BEGIN, END, 0) for c in fx.host.calls)
    assert fx.store.calls == [("beta", BEGIN, END, 0)]
    assert cnt.vr.g_TelvarInputInfo.FactorList == ["alpha", "beta", "gamma"]

    data = cnt.vr.g_TelvarFactorValueDict["FactorData"]
    np.testing.assert_array_equal(data[0], fx.dates)
    np.testing.assert_array_equal(data[1:], np.vstack([fx.series["alpha"], fx.series["beta"], fx.series["gamma"]]))
    np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FreshIdx"], fx.day_index)

    rows_series = list(np.vstack([fx.series["gamma"], fx.series["alpha"]]))
    wanted = np.array([4, 5, 0, 1])
    for pos in (0, 5, 95, 300, fx.n_bars - 1):
        dt, value = fx.regora.get_reg_factor(wanted, pos, 4)
        exp_dt, exp_value = expected_window(fx, rows_series, fx.day_index[pos] + 1, 4)
        np.testing.assert_array_equal(dt, exp_dt)
        np.testing.assert_array_equal(value, exp_value)
    as_matrix = fx.regora.get_reg_factor(np.vstack([rows2[1], rows[0]]), 300, 4)  # as registered
    as_view = fx.regora.get_reg_factor(np.vstack([rows[0], rows2[1]])[::-1], 300, 4)  # not contiguous
    as_list = fx.regora.get_reg_factor(wanted.tolist(), 300, 4)
    for a, b in zip(as_matrix + as_view + as_list, fx.regora.get_reg_factor(wanted, 300, 4) * 3):
        np.testing.assert_array_equal(a, b)
    for pos in (-1, -150, -fx.n_bars):  # negative: the window ends before the bar's column
        dt, value = fx.regora.get_reg_factor(wanted, pos, 3)
        exp_dt, exp_value = expected_window(fx, rows_series, fx.day_index[pos + fx.n_bars], 3)
        np.testing.assert_array_equal(dt, exp_dt)
        np.testing.assert_array_equal(value, exp_value)


def test_host_factor_files_are_removed_once_read(fx, monkeypatch, tmp_path):
    from telvar.kestrum import comm

    served, real = [], fx.host.tvSendCmdGetFactorMultiFilePath

    def as_host_answers(*args):  # named and placed as the attached host's answers
        paths = []
        for path in real(*args):
            if path:
                renamed = tmp_path / ("factor_x_%012x.mat" % len(served))
                os.replace(path, renamed)
                served.append(renamed)
                path = str(renamed)
            paths.append(path)
        return paths

    monkeypatch.setattr(fx.host, "tvSendCmdGetFactorMultiFilePath", as_host_answers)
    monkeypatch.setattr(comm, "answer_folder", lambda: str(tmp_path))
    assert fx.regora.reg_factor(["alpha", "beta", "gamma"], TARGETS, BEGIN, END).tolist() == [[0, 1], [2, 3], [4, 5]]
    np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FactorData"][5:], fx.series["gamma"])
    assert len(served) == 2 and not [p for p in served if p.exists()]


def test_nan_position_gives_the_window_ending_at_the_latest_bar(fx):
    rows = fx.regora.reg_factor(["alpha"], TARGETS, BEGIN, END)
    dt, value = fx.regora.get_reg_factor(rows.ravel(), math.nan, 5)
    latest_dt, latest_value = fx.regora.get_reg_factor(rows.ravel(), fx.n_bars - 1, 5)
    np.testing.assert_array_equal(dt, latest_dt)
    np.testing.assert_array_equal(value, latest_value)
    np.testing.assert_array_equal(value, fx.series["alpha"][:, -5:])


def test_a_single_name_is_a_list_of_one(fx):
    assert fx.regora.reg_factor("alpha", TARGETS, BEGIN, END).tolist() == [[0, 1]]
    assert fx.host.calls[0][0] == ["alpha"]


def test_repeated_names_share_rows_and_are_fetched_once(fx):
    rows = fx.regora.reg_factor(["alpha", "alpha", "beta"], TARGETS, BEGIN, END)
    assert rows.tolist() == [[0, 1], [0, 1], [2, 3]]
    assert fx.regora.reg_factor(["beta"], TARGETS, BEGIN, END).tolist() == [[2, 3]]
    assert cnt.vr.g_TelvarFactorValueDict["FactorData"].shape == (5, fx.dates.size)
    assert len(fx.store.calls) == 1 and len(fx.host.calls) == 2


def test_wrong_factor_size_raises_and_leaves_no_trace(fx, monkeypatch):
    fx.regora.reg_factor(["alpha"], TARGETS, BEGIN, END)
    before = {k: v.copy() for k, v in cnt.vr.g_TelvarFactorValueDict.items()}

    def one_target_short(*args):
        out = fx.store(*args)
        del out[KEYS[1]]
        return out

    monkeypatch.setattr(fx.regora, "get_factor_by_factor", one_target_short)
    with pytest.raises(TvDataError) as caught:
        fx.regora.reg_factor(["gamma", "delta"], TARGETS, BEGIN, END)
    assert caught.value.args == (text.ERROR_WRONG_FACTOR_SIZE,)
    # gamma was read before delta failed: it is not left registered without rows
    assert cnt.vr.g_TelvarInputInfo.FactorList == ["alpha"]
    for key, value in before.items():
        np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict[key], value)
    monkeypatch.setattr(fx.regora, "get_factor_by_factor", fx.store)
    assert fx.regora.reg_factor(["gamma"], TARGETS, BEGIN, END).tolist() == [[2, 3]]


def test_factor_dates_one_day_short_gain_a_nan_column_sized_by_the_new_rows(fx):
    rows = fx.regora.reg_factor(["short_a"], TARGETS, BEGIN, END)
    data = cnt.vr.g_TelvarFactorValueDict["FactorData"]
    assert data.shape == (3, fx.dates.size)
    last_day = np.floor(cnt.vr.g_TelvarDataValueFresh[gv.KMatrixPos_TimeLine, -1])
    assert data[0, -1] == last_day == fx.dates[-1]
    assert np.isnan(data[1:, -1]).all()

    # two new factors (four rows) after one (two rows): the column follows the new rows
    rows2 = fx.regora.reg_factor(["short_b", "short_c"], TARGETS, BEGIN, END)
    assert rows2.tolist() == [[2, 3], [4, 5]]
    data = cnt.vr.g_TelvarFactorValueDict["FactorData"]
    assert data.shape == (7, fx.dates.size)
    np.testing.assert_array_equal(data[3:, :-1], np.vstack([fx.series["short_b"], fx.series["short_c"]]))
    assert np.isnan(data[1:, -1]).all()

    dt, value = fx.regora.get_reg_factor(np.r_[rows.ravel(), rows2[1]], fx.n_bars - 1, 2)
    np.testing.assert_array_equal(dt, fx.dates[-2:])
    np.testing.assert_array_equal(value[:, 0], np.r_[fx.series["short_a"][:, -1], fx.series["short_c"][:, -1]])
    assert np.isnan(value[:, 1]).all()


def test_strategy_above_a_day_maps_bars_through_the_factor_date_row(fx):
    """Week bars: each bar's date is looked up in the factor dates, on every registration."""
    weeks = fx.market.frame(0).groupby("tday")["time"].last()
    week_of = np.array([np.datetime64(f"{d // 10000:04d}-{d // 100 % 100:02d}-{d % 100:02d}").astype(
        "datetime64[W]") for d in weeks.index])
    week_stamps = weeks.groupby(week_of).last().to_numpy()
    cnt.vr.g_TelvarInputInfo.KFrequency = "week"
    cnt.vr.g_TelvarDataValueFresh = week_stamps.reshape(1, -1).copy()
    refresh_item(week_stamps, np.ones(week_stamps.size))
    expected_idx = np.searchsorted(fx.dates, np.floor(week_stamps))

    assert fx.regora.reg_factor(["alpha"], TARGETS, BEGIN, END).tolist() == [[0, 1]]
    np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FreshIdx"], expected_idx)
    assert fx.regora.reg_factor(["beta", "alpha"], TARGETS, BEGIN, END).tolist() == [[2, 3], [0, 1]]
    np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FreshIdx"], expected_idx)
    assert fx.regora.reg_factor(["beta"], TARGETS, BEGIN, END).tolist() == [[2, 3]]  # nothing new
    np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FreshIdx"], expected_idx)

    for pos in range(week_stamps.size):
        dt, value = fx.regora.get_reg_factor(np.array([2, 3]), pos, 6)
        exp_dt, exp_value = expected_window(fx, list(fx.series["beta"]), expected_idx[pos] + 1, 6)
        np.testing.assert_array_equal(dt, exp_dt)
        np.testing.assert_array_equal(value, exp_value)


def test_window_positions_outside_the_bars_raise_index_error(fx):
    fx.regora.reg_factor(["alpha"], TARGETS, BEGIN, END)
    for pos in (fx.n_bars, -fx.n_bars - 1):
        with pytest.raises(IndexError):
            fx.regora.get_reg_factor(np.array([0]), pos, 3)
    with pytest.raises(IndexError):
        fx.regora.get_reg_factor(np.array([2]), 0, 3)  # only rows 0 and 1 exist
    with pytest.raises(ValueError, match="pos must be an integer value"):
        fx.regora.get_reg_factor(np.array([0]), 1.5, 3)
    dt, value = fx.regora.get_reg_factor(np.array([0, 1]), 10, 0)
    assert dt.shape == (0,) and value.shape == (2, 0)


def test_unknown_factor_errors_of_the_store_pass_through(fx, monkeypatch):
    missing = KeyError("no such factor")

    def store(*args):
        raise missing

    monkeypatch.setattr(fx.regora, "get_factor_by_factor", store)
    with pytest.raises(KeyError) as caught:
        fx.regora.reg_factor(["nope"], TARGETS, BEGIN, END)
    assert caught.value is missing
    assert cnt.vr.g_TelvarInputInfo.FactorList == [] and cnt.vr.g_TelvarFactorValueDict == {}


def test_argument_count_is_checked(fx):
    with pytest.raises(TypeError, match=r"reg_factor\(\) takes exactly 4 positional arguments \(3 given\)"):
        fx.regora.reg_factor(["alpha"], TARGETS, BEGIN)


def test_later_registrations_must_match_the_targets_count_and_the_dates(fx, monkeypatch):
    fx.regora.reg_factor(["alpha"], TARGETS, BEGIN, END)
    before = {k: v.copy() for k, v in cnt.vr.g_TelvarFactorValueDict.items()}
    with pytest.raises(ValueError) as caught:  # rows are numbered per target count
        fx.regora.reg_factor(["beta"], TARGETS[:1], BEGIN, END)
    assert caught.value.args == (text.ERROR_FACTOR_TARGETS.format(TARGETLEN=1, REGISTERED=2),)
    assert len(fx.host.calls) == 1  # refused before asking the host

    shifted = dict(fx.store.dates, delta=fx.store.dates["delta"] + 1)
    monkeypatch.setattr(fx.store, "dates", shifted)
    with pytest.raises(ValueError) as caught:  # same length, other days
        fx.regora.reg_factor(["delta"], TARGETS, BEGIN, END)
    assert caught.value.args == (text.ERROR_FACTOR_DATES.format(FACTOR="delta"),)
    shifted["delta"] = fx.store.dates["alpha"][:-3]
    with pytest.raises(TvDataError):  # fewer dates than values
        fx.regora.reg_factor(["delta"], TARGETS, BEGIN, END)
    monkeypatch.setitem(fx.store.series, "delta", fx.series["delta"][:, :-3])
    with pytest.raises(ValueError, match="dimension"):  # another range: the row concatenation refuses it
        fx.regora.reg_factor(["delta"], TARGETS, BEGIN, END)

    assert cnt.vr.g_TelvarInputInfo.FactorList == ["alpha"]
    for key, value in before.items():
        np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict[key], value)


HOST_TARGETS = [{"Market": "SSE", "Code": "600000"}, {"Market": "SHFE", "Code": "RB0000"},
                {"Market": "SZSE", "Code": "000001"}]
HOST_BEGIN, HOST_END = 20251103, 20251128


def trading_day_of_bars(times, days):
    """Trading-day index of every bar: night bars (from 18:00) belong to the next trading day."""
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

    day_numbers = int_date_to_ordinal(days).astype(float)
    calendar_day = np.floor(times)
    evening = (times - calendar_day) >= 0.75
    return np.searchsorted(day_numbers, calendar_day + evening, side="left"), day_numbers


@pytest.mark.host
def test_factors_from_a_real_host_and_the_factor_store(host):
    """pe_ttm comes from the host's factor file, return_1 from the local factor store."""
    import duckdb

    from telvar.api.facstore._factors import get_factor_by_factor
    from telvar.api.history import _history
    from telvar.api.regora import _regora
    from telvar.host.sample import sample_store_path
    from telvar.kestrum import runner

    runner.setup(HOST_TARGETS, HOST_BEGIN, HOST_END, "min", 1, host=host)
    try:
        rows = _regora.reg_factor(["pe_ttm"], HOST_TARGETS, HOST_BEGIN, HOST_END)
        rows2 = _regora.reg_factor(["return_1", "pe_ttm"], HOST_TARGETS, HOST_BEGIN, HOST_END)
        assert rows.tolist() == [[0, 1, 2]] and rows2.tolist() == [[3, 4, 5], [0, 1, 2]]
        assert cnt.vr.g_TelvarInputInfo.FactorList == ["pe_ttm", "return_1"]

        days = np.asarray(_history.get_trading_days(HOST_BEGIN, HOST_END))
        with duckdb.connect(str(sample_store_path()), read_only=True) as con:
            stored = con.execute("SELECT market || '.' || code AS key, trade_date, value FROM factors "
                                 "WHERE factor = 'pe_ttm' AND trade_date BETWEEN ? AND ?",
                                 [HOST_BEGIN, HOST_END]).df()
        pe = stored.pivot(index="trade_date", columns="key", values="value").reindex(index=days)
        pe_series = [pe[key].to_numpy() if key in pe else np.full(days.size, np.nan) for key in
                     ["SSE.600000", "SHFE.RB0000", "SZSE.000001"]]
        assert np.isfinite(pe_series[0]).all() and np.isnan(pe_series[1]).all()  # stocks only
        served = get_factor_by_factor("return_1", HOST_TARGETS, HOST_BEGIN, HOST_END, 0)
        ret_series = [served[key] for key in ["SSE.600000", "SHFE.RB0000", "SZSE.000001"]]

        times = cnt.vr.g_TelvarDataValueFresh[gv.KMatrixPos_TimeLine]
        day_of_bar, day_numbers = trading_day_of_bars(times, days)
        np.testing.assert_array_equal(cnt.vr.g_TelvarFactorValueDict["FreshIdx"][:times.size], day_of_bar)
        fx = SimpleNamespace(dates=day_numbers)
        wanted = np.r_[rows2[0], rows[0]]
        for pos in np.linspace(0, times.size - 1, 9).astype(int):
            dt, value = _regora.get_reg_factor(wanted, pos, 4)
            exp_dt, exp_value = expected_window(fx, ret_series + pe_series, day_of_bar[pos] + 1, 4)
            np.testing.assert_array_equal(dt, exp_dt)
            np.testing.assert_allclose(value, exp_value, rtol=0, atol=1e-12, equal_nan=True)
    finally:
        cnt.reset(keep_connection=True)
