import numpy as np
import pandas as pd
import pytest

from telvar.common.timeconv import datenum_to_minutes, minutes_to_datenum
from telvar.kestrum.utils.exceptions import TvReturnError

pytestmark = pytest.mark.host

RB, CU, STOCK = ({"Market": "SHFE", "Code": "RB0000"}, {"Market": "SHFE", "Code": "CU2511"},
                 {"Market": "SSE", "Code": "600000"})
FIELDS = ["open", "high", "low", "close", "volume", "turnover", "open_interest"]


def _store_minutes(con, market, code, begin, end):
    df = con.execute("SELECT ts, trade_date, " + ", ".join(FIELDS) + " FROM minute_bars WHERE market=? AND "
                     "code=? AND trade_date BETWEEN ? AND ? ORDER BY ts", [market, code, begin, end]).df()
    df["minute"] = df["ts"].to_numpy().astype("datetime64[m]").astype(np.int64)
    return df


@pytest.fixture(scope="module")
def multi(connected_host, mat):
    from telvar.kestrum.comm import tvcmd

    filled = mat(tvcmd.tvSendCmdGetKDataMulti([RB, CU, STOCK], "min", 20251009, 20251014, True, "NA"))
    raw = mat(tvcmd.tvSendCmdGetKDataMulti([RB, CU, STOCK], "min", 20251009, 20251014, False, "NA"))
    return filled, raw


@pytest.fixture(scope="module")
def connected_host(host, tmp_path_factory):
    from telvar.kestrum import comm

    comm.connect(host.address)
    yield host


def test_multi_target_layout_and_day_positions(multi):
    m, _ = multi
    tl, dp = m["TimeLine"].ravel(), m["DayPos"].ravel()
    assert m["KArray"].shape == (7 * 3, tl.size)
    assert np.all(np.diff(tl) > 0)
    mins = datenum_to_minutes(tl)
    starts = pd.to_datetime(mins[dp == 1].astype("datetime64[m]"))
    # 1009 follows the holiday: no night session; 1010 opens the night before; 1013's night is Friday's
    assert [str(s) for s in starts] == ["2025-10-09 09:01:00", "2025-10-09 21:01:00",
                                        "2025-10-10 21:01:00", "2025-10-13 21:01:00"]
    # CU's night runs past midnight: the 00:xx slots belong to the same trading day as 21:01
    sat = np.flatnonzero(mins == np.datetime64("2025-10-11T00:30").astype("datetime64[m]").astype(np.int64))
    fri = np.flatnonzero(mins == np.datetime64("2025-10-10T21:01").astype("datetime64[m]").astype(np.int64))
    assert dp[sat[0]] == dp[fri[0]] + 209
    assert m["TradeFreshPos"].ravel()[0] == tl.size - 1


def test_bars_match_the_store_and_filling(multi, store_con):
    filled, raw = multi
    mins = datenum_to_minutes(filled["TimeLine"].ravel())
    df = _store_minutes(store_con, "SSE", "600000", 20251009, 20251014)
    pos = np.searchsorted(mins, df["minute"].to_numpy())
    block_f = filled["KArray"][14:21]
    block_r = raw["KArray"][14:21]
    np.testing.assert_allclose(block_f[:, pos], df[FIELDS].to_numpy().T)
    np.testing.assert_allclose(block_r[:, pos], df[FIELDS].to_numpy().T)
    empty = np.setdiff1d(np.arange(mins.size), pos)
    assert np.isnan(block_r[:, empty]).all()
    # filled: volume 0, prices equal the last close, open interest carried; NaN before the first trade
    first = pos.min()
    before, after = empty[empty < first], empty[empty > first]
    assert np.isnan(block_f[:, before]).all()
    last_close = pd.Series(block_r[3]).ffill().to_numpy()
    for row in range(4):
        np.testing.assert_allclose(block_f[row, after], last_close[after])
    assert (block_f[4, after] == 0).all() and (block_f[5, after] == 0).all()
    ref = pd.Series(block_r[6]).ffill().to_numpy()
    np.testing.assert_allclose(block_f[6, after], ref[after])


def test_continuous_contract_is_the_main_contract_of_each_day(multi, store_con):
    _, raw = multi
    mins = datenum_to_minutes(raw["TimeLine"].ravel())
    mains = dict(store_con.execute("SELECT trade_date, contract FROM main_contracts WHERE code='RB0000' "
                                   "AND trade_date BETWEEN 20251009 AND 20251014").fetchall())
    for day, contract in mains.items():
        df = _store_minutes(store_con, "SHFE", contract, day, day)
        pos = np.searchsorted(mins, df["minute"].to_numpy())
        np.testing.assert_allclose(raw["KArray"][0:7, pos], df[FIELDS].to_numpy().T)


def test_day_bars_are_stamped_with_the_session_close(tv, mat, store_con):
    m = mat(tv.tvSendCmdGetKDataMulti([RB, STOCK], "day", 20251009, 20251031, False, "NA"))
    tl = m["TimeLine"].ravel()
    stamps = pd.to_datetime(datenum_to_minutes(tl).astype("datetime64[m]"))
    assert all(s.hour == 15 and s.minute == 0 for s in stamps)
    assert (m["DayPos"] == 1).all()
    # the day bar aggregates its trading day's minute bars, night included
    mins = _store_minutes(store_con, "SHFE", "RB2601", 20251013, 20251013)
    day_col = np.flatnonzero(stamps.strftime("%Y%m%d") == "20251013")[0]
    bar = m["KArray"][0:7, day_col]
    assert bar[0] == mins["open"].iloc[0] and bar[3] == mins["close"].iloc[-1]
    assert bar[1] == mins["high"].max() and bar[2] == mins["low"].min()
    assert bar[4] == pytest.approx(mins["volume"].sum())
    assert mins["ts"].iloc[0] < pd.Timestamp("2025-10-11")  # the Friday night is part of Monday's bar
    tt = mat(tv.tvSendCmdGetTradingTime([RB, STOCK], "day", 20251009, 20251031))
    np.testing.assert_array_equal(tt["Time"].ravel(), tl)


def test_trading_time_is_the_bar_time_line(tv, mat, multi):
    m, _ = multi
    tt = mat(tv.tvSendCmdGetTradingTime([RB, CU, STOCK], "min", 20251009, 20251014))
    np.testing.assert_array_equal(tt["Time"].ravel(), m["TimeLine"].ravel())
    np.testing.assert_array_equal(tt["DayPos"].ravel(), m["DayPos"].ravel())


def test_per_target_files_use_each_target_own_sessions(tv, mat):
    paths = tv.tvSendCmdGetKData([STOCK, CU], "min", 1, 20251013, 20251014, True, "NA", False)
    stock, cu = mat(paths[0]), mat(paths[1])
    assert stock["Time"].size == 2 * 240 and cu["Time"].size == 2 * 465
    assert stock["BeginBar"].ravel().sum() == 2 and stock["BeginBar"].ravel()[0] == 1
    assert set(stock) >= {"Time", "BeginBar", "Open", "High", "Low", "Close", "Volume", "TurnOver",
                          "OpenInterest"}

def test_announcements_write_no_files(tv, connected_host):
    before = set(connected_host.output_dir.iterdir())
    assert tv.tvSendCmdGetKData([STOCK], "min", 1, 20251013, 20251014, True, "NA", noReturn=True) is None
    assert tv.tvSendCmdGetTDPData("SSE", "600000", 20251231, "NA", no_return=True) is None
    assert tv.tvSendCmdGetCurTradeDate() == 20251231  # answered after the announcements were served
    assert set(connected_host.output_dir.iterdir()) == before


def test_price_adjustment_of_splits_and_dividends(tv, mat, store_con):
    t = [{"Market": "SZSE", "Code": "000001"}]
    raw, fw, bw = (mat(tv.tvSendCmdGetKDataMulti(t, "day", 20250901, 20251231, False, fq))["KArray"]
                   for fq in ("NA", "FWard", "BWard"))
    ratios = dict(store_con.execute("SELECT ex_date, ratio FROM adj_factors WHERE code='000001'").fetchall())
    days = tv.tvSendCmdGetTradingDays()
    total = np.prod(list(ratios.values()))
    i_first_ex = days.index(20251015)
    np.testing.assert_allclose(fw[:4, -1], raw[:4, -1])          # forward keeps the latest prices
    np.testing.assert_allclose(fw[:4, 0], raw[:4, 0] * total)      # and scales the earliest by all ratios
    np.testing.assert_allclose(bw[:4, 0], raw[:4, 0])              # backward keeps the earliest
    np.testing.assert_allclose(bw[:4, i_first_ex], raw[:4, i_first_ex] / ratios[20251015])
    np.testing.assert_array_equal(fw[4:], raw[4:])                 # volumes are not adjusted
    # the adjusted series has no jump at the split: raw close falls by ~1/1.2, forward-adjusted does not
    k = days.index(20251110)
    assert raw[0, k] / raw[3, k - 1] < 0.9 and 0.9 < fw[0, k] / fw[3, k - 1] < 1.1


def test_last_n_bars_match_pandas_resampling(tv, mat, store_con):
    m = mat(tv.tvSendCmdGetNKDataMulti([STOCK, {"Market": "SHFE", "Code": "CU0000"}], "min", 5, 30, 20251231,
                                       True, "NA"))
    rec = m["KArray"][0][0]
    t = rec["Time"].ravel()
    assert t.size == 30 and np.all(np.diff(t) > 0)
    df = _store_minutes(store_con, "SSE", "600000", 20251231, 20251231)
    slots = np.r_[np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)]
    day0 = np.datetime64("2025-12-31", "m").astype(np.int64)
    frame = pd.DataFrame(index=day0 + slots).join(df.set_index("minute")[FIELDS])
    frame["close"] = frame["close"].ffill()
    for c in ("open", "high", "low"):
        frame[c] = frame[c].fillna(frame["close"])
    frame[["volume", "turnover"]] = frame[["volume", "turnover"]].fillna(0)
    frame["open_interest"] = frame["open_interest"].ffill()
    g = np.arange(len(frame)) // 5
    ref = frame.groupby(g).agg(open=("open", "first"), high=("high", "max"), low=("low", "min"),
                               close=("close", "last"), volume=("volume", "sum"))
    np.testing.assert_allclose(rec["Close"].ravel(), ref["close"].to_numpy()[-30:])
    np.testing.assert_allclose(rec["Volume"].ravel(), ref["volume"].to_numpy()[-30:])
    np.testing.assert_allclose(rec["High"].ravel(), ref["high"].to_numpy()[-30:])
    np.testing.assert_array_equal(t, minutes_to_datenum(frame.index.to_numpy()[4::5][-30:]))
    assert m["KArray"][1][0]["Time"].size == 30


def test_week_bars_combine_day_bars(tv, mat, store_con):
    m = mat(tv.tvSendCmdGetKDataMulti([STOCK], "week", 20251013, 20251031, False, "NA"))
    days = store_con.execute("SELECT trade_date, close, volume FROM day_bars WHERE code='600000' AND trade_date "
                             "BETWEEN 20251013 AND 20251031 ORDER BY trade_date").df()
    week = pd.to_datetime(days.trade_date.astype(str)).dt.isocalendar().week
    ref = days.groupby(week.to_numpy()).agg(close=("close", "last"), volume=("volume", "sum"))
    np.testing.assert_allclose(m["KArray"][3], ref["close"].to_numpy())
    np.testing.assert_allclose(m["KArray"][4], ref["volume"].to_numpy())


@pytest.mark.parametrize("call, message", [
    (lambda tv: tv.tvSendCmdGetKDataMulti([{"Market": "SSE", "Code": "999999"}], "min", 20251009, 20251010,
                                          True, "NA"), "unknown instrument SSE.999999"),
    (lambda tv: tv.tvSendCmdGetKDataMulti([STOCK], "min", 20251010, 20251009, True, "NA"),
     "begin date 20251010 is after end date 20251009"),
    (lambda tv: tv.tvSendCmdGetKDataMulti([STOCK], "hour", 20251009, 20251010, True, "NA"), "unknown frequency"),
    (lambda tv: tv.tvSendCmdGetKDataMulti([STOCK], "min", 20251009, 20251010, True, "XX"), "price adjustment"),
    (lambda tv: tv.tvSendCmdGetNKDataMulti([STOCK], "min", 0, 5, 20251010, True, "NA"), "bar units"),
    (lambda tv: tv.call("tvSendCmdNoSuchThing", 1), "unknown command"),
    (lambda tv: tv.call("tvSendCmdGetCodeList", "BANK"), "missing a required argument"),
])
def test_bad_requests_name_the_problem_and_the_host_keeps_serving(tv, call, message):
    with pytest.raises(TvReturnError, match=message):
        call(tv)
    assert tv.tvSendCmdGetCurTradeDate() == 20251231


def test_last_n_day_bars_of_several_days_end_with_a_whole_bar(tv, mat, store_con):
    m = mat(tv.tvSendCmdGetNKDataMulti([STOCK], "day", 3, 4, 20251231, False, "NA"))
    rec = m["KArray"][0][0]
    days = store_con.execute("SELECT close, volume FROM day_bars WHERE code='600000' ORDER BY trade_date").df()
    np.testing.assert_allclose(rec["Close"].ravel(), days.close.to_numpy()[-1::-3][:4][::-1])
    np.testing.assert_allclose(rec["Volume"].ravel()[-1], days.volume.to_numpy()[-3:].sum())
    assert (rec["BeginBar"] == 1).all()
