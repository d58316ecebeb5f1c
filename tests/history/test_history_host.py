"""The history module against a real host on the sample store: calendar,
trading times, multi-target K-data (whole and split into part files),
instruments and code lists."""
import os
import warnings

import numpy as np
import pytest

from bar_files import CountingChannel
from telvar.kestrum import comm
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.utils.datetimefunc import mft_to_str_format
from telvar.kestrum.utils.utilcls import OrderedDict

pytestmark = pytest.mark.host

RB = {"Market": "SHFE", "Code": "RB0000"}
CU = {"Market": "SHFE", "Code": "CU0000"}
IF = {"Market": "CFFEX", "Code": "IF0000"}
PUFA = {"Market": "SSE", "Code": "600000"}


@pytest.fixture
def counted(history, connected_host, monkeypatch):
    channel = CountingChannel(comm.tvcmd)
    monkeypatch.setattr(history, "tvcmd", channel)
    return channel


def clock(times):
    return [mft_to_str_format(t) for t in times]


class TestCalendar:
    def test_whole_calendar_is_the_exchange_calendar_fetched_once(self, history, counted):
        import exchange_calendars

        cnt.vr.g_TelvarTradingDays = np.array([], dtype=np.int64)
        with warnings.catch_warnings():  # the calendar library's own pandas deprecations
            warnings.simplefilter("ignore")
            sessions = exchange_calendars.get_calendar("XSHG").sessions_in_range("2025-09-01", "2025-12-31")
        expected = [int(s.strftime("%Y%m%d")) for s in sessions]
        assert history.get_trading_days(0, 99999999).tolist() == expected
        assert history.get_trading_days(20251001, 20251012).tolist() == [20251009, 20251010]
        assert history.get_trading_days(20251004, 20251008).tolist() == []
        assert history.get_trading_days(20251225, 20260301).tolist() == [20251225, 20251226, 20251229, 20251230,
                                                                         20251231]
        with pytest.raises(ValueError):
            history.get_trading_days(20260105, 20260301)
        assert counted.sent.count("tvSendCmdGetTradingDays") == 1

    def test_market_trading_days(self, history, connected_host):
        days = history.get_trading_days_condition("SHFE", 20251001, 20251010)
        assert days.dtype == np.float64 and days.tolist() == [20251009.0, 20251010.0]


class TestTradingTime:
    def test_night_session_minutes_start_the_next_trading_day(self, history, connected_host):
        times, day_pos = history.get_trading_time([RB], "min", 20251103, 20251104)
        starts = np.flatnonzero(day_pos == 1)
        assert clock(times[starts]) == ["2025-10-31 21:01:00", "2025-11-03 21:01:00"]
        assert clock(times[starts[1:] - 1]) == ["2025-11-03 15:00:00"]
        assert len(times) == 2 * 345 and day_pos.max() == 345
        assert np.all(np.diff(times) > 0)
        copper, _ = history.get_trading_time([CU], "min", 20251103, 20251103)
        assert len(copper) == 465 and clock(copper[[0, 239]]) == ["2025-10-31 21:01:00", "2025-11-01 01:00:00"]

    def test_no_night_session_before_a_holiday(self, history, connected_host):
        times, day_pos = history.get_trading_time([RB], "min", 20251009, 20251009)
        assert clock(times[[0, -1]]) == ["2025-10-09 09:01:00", "2025-10-09 15:00:00"]
        assert day_pos.tolist() == list(range(1, 226))

    def test_five_minute_bars(self, history, connected_host):
        times, day_pos = history.get_trading_time([IF], "min", 20251103, 20251104, 5)
        assert len(times) == 2 * 48
        assert clock(times[:2]) == ["2025-11-03 09:35:00", "2025-11-03 09:40:00"]
        assert clock(times[[23, 24, 47]]) == ["2025-11-03 11:30:00", "2025-11-03 13:05:00", "2025-11-03 15:00:00"]
        assert day_pos[:3].tolist() == [5, 10, 15] and day_pos[47] == 240

    def test_day_week_and_multi_day_time_lines(self, history, connected_host):
        days, day_pos = history.get_trading_time([PUFA], "day", 20251103, 20251107)
        assert clock(days) == ["2025-11-%02d 15:00:00" % d for d in range(3, 8)]
        assert day_pos.tolist() == [1] * 5
        weeks, day_pos = history.get_trading_time([PUFA], "week", 20251101, 20251130)
        assert clock(weeks) == ["2025-11-%02d 15:00:00" % d for d in (7, 14, 21, 28)]
        assert day_pos.tolist() == [1] * 4
        months, _ = history.get_trading_time([RB], "month", 20250901, 20251231)
        assert clock(months) == ["2025-09-30 15:00:00", "2025-10-31 15:00:00", "2025-11-28 15:00:00",
                                 "2025-12-31 15:00:00"]
        pairs, _ = history.get_trading_time([PUFA], "day", 20251103, 20251107, 2)
        assert clock(pairs) == ["2025-11-04 15:00:00", "2025-11-06 15:00:00"]


def kdata_params(targets, begin=20251103, end=20251107):
    return dict(targets=targets, frequency="min", freq_num=1, begin_date=begin, end_date=end, filled_up=True,
                fq_type="NA", need_show_ui_tip=False)


class TestKData:
    def test_multi_target_minute_bars(self, history, connected_host):
        old_time_out = cnt.vr.g_TelvarSocket.get_timeout()
        result = history.get_k_data_multi(kdata_params([RB, PUFA, IF]))
        assert cnt.vr.g_TelvarSocket.get_timeout() == old_time_out
        k_array, time_line = result["KArray"], result["TimeLine"]
        assert k_array.shape == (3 * 7, time_line.size) and result["DayPos"].shape == time_line.shape
        rebar_times, _ = history.get_trading_time([RB], "min", 20251103, 20251107)
        assert np.isin(rebar_times, time_line).all()
        (at_close,) = np.flatnonzero(time_line == rebar_times[-1])
        assert not np.isnan(k_array[3::7, at_close]).any()

    def test_split_part_files_give_the_same_matrix(self, history, connected_host, tmp_path):
        from telvar.host import start_host

        targets = [RB, CU, IF, PUFA]
        whole = history.get_k_data_multi(kdata_params(targets))
        assert "FilePaths" not in whole or not whole["FilePaths"].size or not whole["FilePaths"].ravel()[0]
        with start_host(part_bytes=64 * 1024) as split_host:
            comm.connect(split_host.address)
            try:
                split = history.get_k_data_multi(kdata_params(targets))
            finally:
                comm.connect(connected_host.address)
        parts = split["FilePaths"].ravel()[0].split("|")
        assert len(parts) >= 2
        np.testing.assert_array_equal(split["KArray"], whole["KArray"])
        np.testing.assert_array_equal(split["TimeLine"], whole["TimeLine"])

    def test_host_error_is_raised(self, history, connected_host):
        with pytest.raises(history.TvReturnError):
            history.get_k_data_multi(kdata_params([{"Market": "SHFE", "Code": "NOPE"}]))

    def test_announced_download(self, history, connected_host):
        params = kdata_params([RB])
        params["need_show_ui_tip"] = True
        error, path = history.load_k_data_from_pro(params)
        assert error is None and os.path.isfile(path)


class TestInstruments:
    def test_main_contract_rolls(self, history, connected_host):
        (dates, codes), = history.get_main_contract([RB], 20250901, 20251231).values()
        assert len(dates) == len(codes) == 82
        rolls = [dates[i] for i in range(1, len(codes)) if codes[i] != codes[i - 1]]
        assert len(rolls) >= 2

    def test_target_information_cache(self, history, counted):
        targets = [RB, CU, IF, PUFA] * 25
        first = history.get_target_info(targets)
        again = history.get_target_info(targets)
        assert counted.sent == ["tvSendCmdGetFutureInfo_20190920"]
        assert all(type(r) is OrderedDict for r in again)
        assert [(r["Market"], r["Code"], r["Name"]) for r in again] == [(r["Market"], r["Code"], r["Name"])
                                                                        for r in first]
        assert cnt.vr.g_TelvarTargetsInfo["SHFE.RB0000"]["Variety"] == "RB"
        history.get_target_info(targets[:4])
        assert counted.sent.count("tvSendCmdGetFutureInfo_20190920") == 2

    def test_code_lists_with_and_without_cache(self, history, counted):
        assert history.get_code_list(["BANK", "SSE_A"], 20251103) == [
            {"Market": "SSE", "Code": "600000"}, {"Market": "SZSE", "Code": "000001"},
            {"Market": "SSE", "Code": "600000"}, {"Market": "SSE", "Code": "600519"}]
        fresh = history.get_code_list_set(["BANK"], 20251030, 20251104)
        cached = history.get_code_list_set(["BANK"], 20251030, 20251104)
        assert [dict(r) for r in cached] == fresh
        assert [(r["Date"], r["Code"]) for r in fresh][2:4] == [(20251103, "600000"), (20251103, "000001")]
        history.get_code_list_set(["BANK"], 20251030, 0)
        assert counted.sent.count("tvSendCmdGetCodeListSet") == 2
        assert history.get_future_contracts(20251103, "SHFE", ["RB"])["RB"][0].startswith("RB")
