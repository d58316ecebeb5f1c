import datetime as dt
import warnings

import exchange_calendars as xc
import numpy as np
import pytest

from telvar.common.timeconv import int_date_to_datenum
from telvar.kestrum.utils.exceptions import TvReturnError

pytestmark = pytest.mark.host


def _t(day, hh, mm):
    return int_date_to_datenum(day) + (hh * 60 + mm) / 1440


def test_calendar_is_the_xshg_calendar(tv):
    days = tv.tvSendCmdGetTradingDays()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cal = xc.get_calendar("XSHG", start="2025-08-01", end="2026-01-31")
        expected = [int(d.strftime("%Y%m%d")) for d in cal.sessions_in_range("2025-09-01", "2025-12-31")]
    assert days == expected
    assert 20251001 not in days and 20251009 in days
    cond = tv.tvSendCmdGetTradingDaysCondition("SHFE", 20251001, 20251010)
    assert cond == [20251009.0, 20251010.0]
    assert tv.tvSendCmdGetCurTradeDate() == days[-1]  # today lies after the sample period


@pytest.mark.parametrize("time, day", [
    (_t(20251010, 21, 30), 20251013),   # Friday night -> Monday
    (_t(20251011, 0, 30), 20251013),    # after midnight on Saturday -> Monday
    (_t(20251014, 0, 30), 20251014),    # Monday night after midnight -> Tuesday
    (_t(20251014, 10, 0), 20251014),
    (_t(20250930, 21, 5), 20251009),    # before the National Day holiday
])
def test_bar_time_maps_to_trading_day(tv, time, day):
    assert tv.tvSendCmdTransTradeTimeToTradeDate(time) == day


def test_main_contracts_roll_on_stored_days(connected_host, store_con):
    from telvar.kestrum import sysmodel as cnt

    got = cnt.vr.g_TelvarMainContracts.main_contracts(
        ["SHFE.RB0000", "SHFE.CU0000", "DCE.M0000", "CFFEX.IF0000", "SSE.600000"], 20250901, 20251231)
    assert set(got) == {"SHFE.RB0000", "SHFE.CU0000", "DCE.M0000", "CFFEX.IF0000"}  # a stock has no history
    for key, (dates, codes) in got.items():
        market, code = key.split(".")
        rows = store_con.execute("SELECT trade_date, contract FROM main_contracts WHERE market=? AND code=? "
                                 "ORDER BY trade_date", [market, code]).fetchall()
        assert dates == [r[0] for r in rows] and codes == [r[1] for r in rows]
        rolls = sum(a != b for a, b in zip(codes[:-1], codes[1:]))
        assert rolls >= 2, key
    assert cnt.vr.g_TelvarMainContracts.main_contracts(["SSE.600000"], 20250901, 20251231) == {}


def test_instrument_histories_and_offsets(connected_host):
    from telvar.kestrum import sysmodel as cnt

    inst = cnt.vr.g_TelvarInstrument
    hist = inst.history_instruments(["SHFE.RB0000", "SSE.600000"], 20250901, 20250910)
    assert hist["SSE.600000"][1] == ["600000"] * len(hist["SSE.600000"][0])
    assert hist["SHFE.RB0000"][1][:5] == ["RB2510"] * 4 + ["RB2601"]
    off = inst.get_by_offset(["SHFE.RB0000", "SSE.600000"], 20250907, past_len=3)
    assert list(off) == ["SHFE.RB0000", "SSE.600000"]
    assert off["SHFE.RB0000"] == ["RB2510", "RB2510", "RB2601"]  # 0903, 0904, 0905 (0907 is a Sunday)
    assert inst.get_by_offset(["SHFE.RB0000"], 20250905, past_len=2, reference=False)["SHFE.RB0000"] == \
        ["RB0000", "RB0000"]


def test_information_records_code_lists_and_contracts(tv):
    recs = tv.tvSendCmdGetFutureInfo_20190920([{"Market": "SHFE", "Code": "RB2601"},
                                              {"Market": "SSE", "Code": "600519"}])
    assert [(r["Market"], r["Code"]) for r in recs] == [("SHFE", "RB2601"), ("SSE", "600519")]
    assert recs[0]["Multiplier"] == 10
    fut = tv.tvSendCmdGetFutureInfoExculusively_20190918({"Market": ["SHFE"], "Code": ["CU0000"]})
    assert fut[0]["Kind"] == "continuous" and fut[0]["MainContract"].startswith("CU")
    with pytest.raises(TvReturnError, match="SSE.600519 is not a futures contract"):
        tv.tvSendCmdGetFutureInfoExculusively_20190918([{"Market": "SSE", "Code": "600519"}])
    assert tv.tvSendCmdGetStockInfoExculusively([{"Market": "SZSE", "Code": "000001"}])[0]["Name"] == "平安银行"
    bank_oct = tv.tvSendCmdGetCodeList("BANK", 20251031)
    bank_nov = tv.tvSendCmdGetCodeList("BANK", 20251103)
    assert bank_oct == [{"Market": "SSE", "Code": "600000"}]
    assert {"Market": "SZSE", "Code": "000001"} in bank_nov
    rows = tv.tvSendCmdGetCodeListSet("BANK", 20251031, 20251104)
    assert [r["Date"] for r in rows] == [20251031, 20251103, 20251103, 20251104, 20251104]
    contracts = tv.tvSendCmdGetFutureContracts(20251010, "SHFE", ["RB", "CU"])
    assert "RB2510" in contracts["RB"] and "CU2510" in contracts["CU"]
    assert "RB2510" not in tv.tvSendCmdGetFutureContracts(20251016, "SHFE", "RB")["RB"]


def test_strategy_records_and_log(tv, connected_host):
    sid = tv.tvSendCmdGetStrategyID()
    perf = tv.tvSendCmdGetBackTestPerformance(sid)
    assert perf["StrategyID"] == sid and isinstance(perf["Sharpe"], float)
    with pytest.raises(TvReturnError, match="unknown strategy"):
        tv.tvSendCmdGetBackTestPerformance("nope")
    marker = f"log line {dt.datetime.now().timestamp()}"
    assert tv.tvSendCmdPutLog("task-7", marker) is True
    assert f"[task-7] {marker}" in connected_host.log_path.read_text(encoding="utf-8")


def test_factor_files(tv, mat, store_con):
    targets = [{"Market": "SSE", "Code": "600000"}, {"Market": "SZSE", "Code": "000001"},
               {"Market": "SSE", "Code": "600000"}]
    paths = tv.tvSendCmdGetFactorMultiFilePath(["pe_ttm", "momentum_20", "unknown"], targets, 20251001, 20251031, 0)
    assert paths[2] == ""
    m = mat(paths[0])
    assert sorted(k for k in m if k.startswith("fv_")) == ["fv_SSE_600000", "fv_SZSE_000001"]
    days = [d for d in tv.tvSendCmdGetTradingDays() if 20251001 <= d <= 20251031]
    np.testing.assert_array_equal(m["Date"].ravel(), int_date_to_datenum(days))
    ref = store_con.execute("SELECT value FROM factors WHERE factor='pe_ttm' AND code='000001' AND trade_date "
                            "BETWEEN 20251001 AND 20251031 ORDER BY trade_date").fetchnumpy()["value"]
    np.testing.assert_allclose(m["fv_SZSE_000001"].ravel(), ref)
