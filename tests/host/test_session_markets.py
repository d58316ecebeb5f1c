"""Markets whose sessions are not the Chinese exchanges': trading days from the declared
sessions, day stamps whose floor is the trading day, and day/week/month bars that
every read (host date range and last N, the history module, the registration
module) groups by trading date, against pandas over the imported rows."""
import contextlib

import numpy as np
import pandas as pd
import pytest

import session_stores as stores
from telvar.host import start_host
from telvar.common.timeconv import datenum_to_minutes, minutes_to_datenum
from telvar.kestrum import comm, runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.utils.utilfunc import load_mat

pytestmark = pytest.mark.host

FX = [{"Market": "FX", "Code": "EURUSD"}]
BTC, ETH = {"Market": "CRYPTO", "Code": "BTC"}, {"Market": "CRYPTO", "Code": "ETH"}
US = [{"Market": "XNYS", "Code": "AAPL"}, {"Market": "XNYS", "Code": "IBM"}]
OHLCV = ["open", "high", "low", "close", "volume"]
MS = 1 / 86_400_000


@pytest.fixture(scope="module")
def fx(tmp_path_factory):
    store, bars = stores.fx(tmp_path_factory.mktemp("fx"))
    # the trading day of a bar ending at t: its start, shifted past the 21:00 evening open
    bars["trade_date"] = (bars["stamp"] - pd.Timedelta(minutes=1) + pd.Timedelta(hours=3)).dt.normalize()
    with start_host(store) as host:
        yield host, bars


@pytest.fixture(scope="module")
def midnight(tmp_path_factory):
    store, bars = stores.midnight(tmp_path_factory.mktemp("midnight"))
    bars["trade_date"] = (bars["stamp"] - pd.Timedelta(minutes=1)).dt.normalize()
    with start_host(store) as host:
        yield host, bars


@pytest.fixture(scope="module")
def equity(tmp_path_factory):
    store, bars = stores.equity(tmp_path_factory.mktemp("equity"))
    bars["trade_date"] = pd.to_datetime(bars["trade_date"].astype(str))
    with start_host(store) as host:
        yield host, bars


@contextlib.contextmanager
def attached(host, tmp_path):
    """The command channel on ``host``, with run state and caches of this test only."""
    old = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "root"))
    cnt.reset()
    comm.connect(host.address)
    try:
        yield comm.tvcmd
    finally:
        comm.disconnect()
        cnt.reset()
        cnt.env.fm.set_root(old)


def read(path):
    return {k: v for k, v in load_mat(path).items() if not k.startswith("__")}


def day_numbers(stamps) -> np.ndarray:
    return minutes_to_datenum(pd.DatetimeIndex(stamps).to_numpy().astype("datetime64[m]").astype(np.int64))


def datenum_of_days(days) -> np.ndarray:
    return day_numbers(pd.DatetimeIndex(days).normalize())


def assert_bars(rows, ref, what):
    """(5+, T) bar rows Open..Volume against a pandas frame of OHLCV columns."""
    np.testing.assert_allclose(np.asarray(rows)[:5], ref[OHLCV].to_numpy().T, rtol=1e-12, err_msg=what)


def registered(targets, host, begin, end, frequency, base="day"):
    """Bars of ``frequency`` registered in a run of ``base`` bars: (times, [(7, T) per target])."""
    from telvar.api.regora import _regora

    runner.setup(targets, begin, end, frequency=base, host=host)
    reg_idx = _regora.reg_k_data(frequency, 1)
    m = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])].Matrix
    first = [gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len for t in range(len(targets))]
    return m[gv.KMatrixPos_TimeLine], [m[f:f + gv.KMatrix_Bar_Len] for f in first]


def test_fx_every_bar_is_returned_on_its_trading_day(fx, tmp_path):
    host, bars = fx
    with attached(host, tmp_path) as tv:
        m = read(tv.tvSendCmdGetKDataMulti(FX, "min", 20170301, 20170531, False, "NA"))
        traded = np.isfinite(m["KArray"][3])
        np.testing.assert_array_equal(m["TimeLine"].ravel()[traded], day_numbers(bars["stamp"]))
        np.testing.assert_array_equal(m["KArray"][3][traded], bars["close"])
        # Monday's day starts with Sunday evening's session
        day_pos = m["DayPos"].ravel()
        sunday_22 = day_numbers([pd.Timestamp("2017-04-23 22:00")])[0]
        at = np.flatnonzero(m["TimeLine"].ravel() == sunday_22)[0]
        assert day_pos[at - 59] == 1 and day_pos[at - 60] == 1440  # Sunday 21:01 follows Friday 21:00
        d = read(tv.tvSendCmdGetKDataMulti(FX, "day", 20170301, 20170531, False, "NA"))
        ref = stores.trading_date_groups(bars, bars["trade_date"], "D")
        assert_bars(d["KArray"], ref, "day bars")
        monday = np.flatnonzero(np.floor(d["TimeLine"].ravel()) == datenum_of_days(["2017-04-24"])[0])[0]
        assert d["KArray"][0, monday] == bars.loc[bars["stamp"] == pd.Timestamp("2017-04-23 22:00"), "open"].item()
        np.testing.assert_array_equal(np.floor(d["TimeLine"].ravel()), datenum_of_days(ref.index.to_timestamp()))


@pytest.mark.parametrize("freq", ["W", "M"])
def test_fx_week_and_month_bars_are_grouped_by_trading_date_in_every_read(fx, tmp_path, freq):
    from telvar.api.history import _history

    host, bars = fx
    frequency = {"W": "week", "M": "month"}[freq]
    ref = stores.trading_date_groups(bars, bars["trade_date"], freq)
    last_days = bars.groupby(bars["trade_date"].dt.to_period(freq))["trade_date"].max()
    stamps = datenum_of_days(last_days) + 21 / 24  # the last trading day's close
    with attached(host, tmp_path) as tv:
        m = read(tv.tvSendCmdGetKDataMulti(FX, frequency, 20170301, 20170531, False, "NA"))
        assert_bars(m["KArray"], ref, "host date range")
        np.testing.assert_allclose(m["TimeLine"].ravel(), stamps, rtol=0, atol=1e-9)
        (k,) = _history.get_k_data_independent_target(FX, frequency, 1, 20170301, 20170531, False, "NA")
        assert_bars(k[1:], ref, "history date range")
        times, _ = _history.get_trading_time(FX, frequency, 20170301, 20170531)
        np.testing.assert_allclose(times, stamps, rtol=0, atol=1e-9)
        n = 2 if freq == "M" else 4
        (rec,) = read(tv.tvSendCmdGetNKDataMulti(FX, frequency, 1, n, 20170531, False, "NA"))["KArray"].ravel()
        assert_bars([rec[f].ravel() for f in ("Open", "High", "Low", "Close", "Volume")], ref.tail(n), "last N")
        _, (reg,) = registered(FX, host, 20170301, 20170531, frequency)
        assert_bars(reg, ref, "registration")


def test_midnight_close_stamps_floor_to_the_trading_day(midnight, tmp_path):
    from telvar.api.history import _history

    host, bars = midnight
    btc = bars[bars["code"] == "BTC"]
    ref = stores.trading_date_groups(btc, btc["trade_date"], "D")
    with attached(host, tmp_path) as tv:
        d = read(tv.tvSendCmdGetKDataMulti([BTC], "day", 20170301, 20170531, False, "NA"))
        traded = np.isfinite(d["KArray"][3])
        assert_bars(d["KArray"][:, traded], ref, "day bars")
        # the session closes at midnight: its day bar is stamped 1 ms before, on its trading day
        closes = datenum_of_days(stores.MIDNIGHT_DAYS) + 1 - MS
        np.testing.assert_array_equal(d["TimeLine"].ravel(), closes)
        np.testing.assert_array_equal(np.floor(d["TimeLine"].ravel()[traded]),
                                      datenum_of_days(ref.index.to_timestamp()))
        times, _ = _history.get_trading_time([BTC], "day", 20170301, 20170531)
        np.testing.assert_array_equal(times, closes)
        # every minute bar of a day lies after the previous day bar and at or before its own
        m = read(tv.tvSendCmdGetKDataMulti([BTC], "min", 20170306, 20170308, True, "NA"))
        t, day_pos = m["TimeLine"].ravel(), m["DayPos"].ravel()
        np.testing.assert_array_equal(np.flatnonzero(day_pos == 1), [0, 1440, 2880])
        np.testing.assert_array_equal(t[1439::1440], closes[:3])
        assert np.all(np.diff(t) > 0) and t[0] == closes[0] - 1 + MS + 1 / 1440
        assert [tv.tvSendCmdTransTradeTimeToTradeDate(x) for x in (closes[0], closes[0] + MS + 1 / 1440)] == [
            20170306, 20170307]


@pytest.mark.parametrize("freq", ["W", "M"])
def test_midnight_weeks_and_months_are_grouped_by_trading_date_in_every_read(midnight, tmp_path, freq):
    from telvar.api.history import _history

    host, bars = midnight
    btc = bars[bars["code"] == "BTC"]
    frequency = {"W": "week", "M": "month"}[freq]
    ref = stores.trading_date_groups(btc, btc["trade_date"], freq)
    days = pd.Series(stores.MIDNIGHT_DAYS)
    stamps = datenum_of_days(days.groupby(days.dt.to_period(freq).to_numpy()).max()) + 1 - MS
    with attached(host, tmp_path) as tv:
        m = read(tv.tvSendCmdGetKDataMulti([BTC], frequency, 20170301, 20170531, False, "NA"))
        np.testing.assert_array_equal(m["TimeLine"].ravel(), stamps)
        traded = np.isfinite(m["KArray"][3])
        assert_bars(m["KArray"][:, traded], ref, "host date range")
        (k,) = _history.get_k_data_independent_target([BTC], frequency, 1, 20170301, 20170531, False, "NA")
        np.testing.assert_array_equal(k[0], stamps[traded])
        assert_bars(k[1:], ref, "history date range")
        times, _ = _history.get_trading_time([BTC], frequency, 20170301, 20170531)
        np.testing.assert_array_equal(times, stamps)
        reg_times, (reg,) = registered([BTC], host, 20170301, 20170531, frequency)
        np.testing.assert_array_equal(reg_times, stamps)
        assert_bars(reg[:, reg[4] > 0], ref, "registration")


def test_forming_daily_bar_at_every_minute(midnight, tmp_path):
    host, bars = midnight
    eth = bars[bars["code"] == "ETH"].reset_index(drop=True)
    with attached(host, tmp_path):
        from telvar.api.regora import _regora

        runner.setup([ETH], 20170404, 20170406, host=host)
        reg_idx = _regora.reg_k_data("day", 1)
        store = cnt.vr.g_TelvarDataValueFresh
        row = int(reg_idx[0, 2])
        forming = store[row:row + 5]
        times = store[0]
    np.testing.assert_array_equal(times, day_numbers(eth["stamp"]) - np.where(eth["stamp"].dt.hour.eq(0) &
                                                                                eth["stamp"].dt.minute.eq(0), MS, 0))
    g = eth.groupby("trade_date")
    ref = np.vstack([g["open"].transform("first"), g["high"].cummax(), g["low"].cummin(), eth["close"],
                     g["volume"].cumsum()])
    np.testing.assert_allclose(forming, ref, rtol=1e-12)


@pytest.mark.parametrize("frequency, units, count, filled", [
    ("week", 1, 8, False), ("week", 1, 9, True), ("week", 2, 4, False), ("day", 3, 12, False),
    ("min", 30, 100, False), ("min", 1, 300, True)])
def test_last_n_returns_n_whole_bars_over_gaps(midnight, tmp_path, frequency, units, count, filled):
    """Six trading days a week, a holiday, a week without trades, untraded minutes."""
    host, bars = midnight
    btc = bars[bars["code"] == "BTC"].reset_index(drop=True)
    with attached(host, tmp_path) as tv:
        (rec,) = read(tv.tvSendCmdGetNKDataMulti([BTC], frequency, units, count, 20170513, filled,
                                                 "NA"))["KArray"].ravel()
    got = pd.DataFrame({f: rec[f.capitalize()].ravel() for f in OHLCV})
    assert len(got) == count
    ref = last_n_reference(btc, frequency, units)
    ref = (ref if filled else ref.dropna()).tail(count)
    traded = got["volume"].to_numpy() > 0
    np.testing.assert_array_equal(traded, ref["volume"].notna())  # periods without a trade are filled bars
    assert_bars(got[traded].to_numpy().T, ref.dropna(), f"last {count} {units}-{frequency}")


def last_n_reference(rows, frequency, units):
    """Bars of every period from the calendar, newest last (NaN where nothing traded).

    N-minute bars are counted per trading day from its first slot; N-day and
    N-week bars are counted back from the newest day or week.
    """
    days = pd.DatetimeIndex(stores.MIDNIGHT_DAYS)
    day_number = pd.Series(days.strftime("%Y%m%d").astype(int), index=days)
    if frequency == "min":
        slot = ((rows["stamp"] - rows["trade_date"]) / pd.Timedelta(minutes=1)).astype(int)
        key = day_number.reindex(rows["trade_date"]).to_numpy() * 1000 + (slot.to_numpy() - 1) // units
        every = [d * 1000 + g for d in day_number for g in range(-(-1440 // units))]
    else:
        period = pd.Series(np.arange(len(days)), index=days)
        if frequency == "week":
            weeks = days.to_period("W")
            period[:] = weeks.map({w: i for i, w in enumerate(weeks.unique())})
        newest_first = period.iloc[-1] - period  # groups of N counted back from the newest period
        group = -(newest_first // units)
        key = group.reindex(rows["trade_date"]).to_numpy()
        every = sorted(group.unique())
    ref = stores.trading_date_groups(rows, pd.Series(key, index=rows.index))
    return ref.reindex(every)


@pytest.mark.parametrize("freq", ["D", "W", "M"])
def test_equity_day_bars_agree_in_every_read(equity, tmp_path, freq):
    """Day bars only (no minute bars), a 09:30-16:00 session, US holidays."""
    from telvar.api.history import _history

    host, bars = equity
    frequency = {"D": "day", "W": "week", "M": "month"}[freq]
    refs = [stores.trading_date_groups(b, b["trade_date"], freq) for _, b in bars.groupby("code", sort=True)]
    stamps = datenum_of_days(refs[0].index.to_timestamp(how="end").map(
        lambda end: max(d for d in stores.US_DAYS if d <= end))) + 16 / 24
    n = {"D": 30, "W": 20, "M": 5}[freq]
    with attached(host, tmp_path) as tv:
        m = read(tv.tvSendCmdGetKDataMulti(US, frequency, 20170101, 20170630, False, "NA"))
        np.testing.assert_allclose(m["TimeLine"].ravel(), stamps, rtol=0, atol=1e-9)
        k_host = _history.get_k_data_independent_target(US, frequency, 1, 20170101, 20170630, False, "NA")
        last_host = read(tv.tvSendCmdGetNKDataMulti(US, frequency, 1, n, 20170630, False, "NA"))["KArray"].ravel()
        last_history = _history.get_k_data_n(US, frequency, 1, n, 20170630, False, "NA")
        reg_times, reg = registered(US, host, 20170101, 20170630, frequency)
    np.testing.assert_allclose(reg_times, stamps, rtol=0, atol=1e-9)
    for t, ref in enumerate(refs):
        assert_bars(m["KArray"][7 * t:7 * t + 7], ref, "host date range")
        assert_bars(k_host[t][1:], ref, "history date range")
        for what, rec in (("host last N", last_host[t]), ("history last N", last_history[t])):
            assert_bars([np.ravel(rec[f]) for f in ("Open", "High", "Low", "Close", "Volume")], ref.tail(n), what)
        assert_bars(reg[t], ref, "registration")


def test_sample_store_keeps_its_night_sessions_and_answers(tv, mat, store_con):
    """The Chinese exchanges hold Monday's night session on Friday evening and none after a holiday."""
    rb = [{"Market": "SHFE", "Code": "RB0000"}]
    line = mat(tv.tvSendCmdGetTradingTime(rb, "min", 20250930, 20251013))
    t = pd.to_datetime(datenum_to_minutes(line["Time"].ravel()).astype("datetime64[m]"))
    starts = t[line["DayPos"].ravel() == 1]
    assert [str(s) for s in starts] == ["2025-09-29 21:01:00", "2025-10-09 09:01:00", "2025-10-09 21:01:00",
                                        "2025-10-10 21:01:00"]
    days = store_con.execute("SELECT b.trade_date, b.open, b.high, b.low, b.close, b.volume FROM main_contracts mc "
                             "JOIN day_bars b ON b.market = mc.market AND b.code = mc.contract AND b.trade_date = "
                             "mc.trade_date WHERE mc.code = 'RB0000' ORDER BY b.trade_date").df()
    days["date"] = pd.to_datetime(days["trade_date"].astype(str))
    for freq, n in (("day", 40), ("week", 10), ("month", 3)):
        key = days["date"].dt.to_period({"day": "D", "week": "W", "month": "M"}[freq])
        ref = stores.trading_date_groups(days, days["date"], {"day": "D", "week": "W", "month": "M"}[freq])
        last_day = days.groupby(key.to_numpy())["date"].max()
        m = mat(tv.tvSendCmdGetKDataMulti(rb, freq, 20250901, 20251231, False, "NA"))
        assert_bars(m["KArray"], ref, f"{freq} bars")
        np.testing.assert_allclose(m["TimeLine"].ravel(), datenum_of_days(last_day) + 15 / 24, rtol=0, atol=1e-9)
        (rec,) = mat(tv.tvSendCmdGetNKDataMulti(rb, freq, 1, n, 20251231, False, "NA"))["KArray"].ravel()
        np.testing.assert_array_equal(rec["Time"].ravel(), m["TimeLine"].ravel()[-n:])
        assert_bars([rec[f].ravel() for f in ("Open", "High", "Low", "Close", "Volume")], ref.tail(n), f"last {freq}")
