"""The trading calendar: trading days cut from the cached calendar, one
market's days, and the bar times of a frequency."""
import numpy as np
import pytest
import scipy.io
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from telvar.kestrum.language.chinese import text
from telvar.kestrum.utils.exceptions import TelvarWarning, TvDataError

CALENDAR = [20251103, 20251104, 20251105, 20251106, 20251107, 20251110, 20251111, 20251112]


@pytest.fixture
def calendar(history, channel, cnt, monkeypatch):
    channel.answers["tvSendCmdGetTradingDays"] = lambda: list(CALENDAR)
    channel.answers["tvSendCmdGetCurTradeDate"] = 20251111
    monkeypatch.setattr(history, "can_cache", lambda end_day: end_day < 20251111)
    return channel


class TestTradingDays:
    def test_calendar_is_fetched_once(self, history, calendar, cnt):
        assert history.get_trading_days(20251104, 20251106).tolist() == [20251104, 20251105, 20251106]
        history.get_trading_days(0, 20251110)
        history.get_trading_days(begin_day=20251105, end_day=20251105)
        assert calendar.names().count("tvSendCmdGetTradingDays") == 1
        assert cnt.vr.g_TelvarTradingDays.tolist() == CALENDAR

    def test_ranges_snap_inwards(self, history, calendar):
        assert history.get_trading_days(20251101, 20251104).tolist() == [20251103, 20251104]
        assert history.get_trading_days(20251108, 20251109).tolist() == []
        assert history.get_trading_days(20251108, 20251110).tolist() == [20251110]
        assert history.get_trading_days(20251106, 20251104).tolist() == []

    def test_open_end_is_the_current_trade_date(self, history, calendar):
        assert history.get_trading_days(0, 99999999).tolist() == CALENDAR[:-1]
        assert calendar.names().count("tvSendCmdGetCurTradeDate") == 1
        history.get_trading_days(20251103, 20251105)
        assert calendar.names().count("tvSendCmdGetCurTradeDate") == 1

    def test_out_of_calendar_bounds(self, history, calendar):
        with pytest.raises(ValueError) as e:
            history.get_trading_days(20251113, 20251001)
        assert e.value.args == (text.ERROR_INPUT_START_DATE,)
        with pytest.raises(ValueError) as e:
            history.get_trading_days(20251001, 20251101)
        assert e.value.args == (text.ERROR_INPUT_END_DATE,)

    def test_result_cannot_change_the_cache(self, history, calendar, cnt):
        days = history.get_trading_days(20251103, 20251110)
        with pytest.raises(ValueError):
            days[0] = 0
        with pytest.raises(ValueError):
            days.flags.writeable = True
        with pytest.raises(ValueError):
            cnt.vr.g_TelvarTradingDays[0] = 0
        assert history.get_trading_days(20251103, 20251103).tolist() == [20251103]

    def test_a_writable_cache_filled_elsewhere_hands_out_read_only_views(self, history, calendar, cnt):
        cnt.vr.g_TelvarTradingDays = np.array(CALENDAR)
        days = history.get_trading_days(20251104, 20251105)
        assert np.shares_memory(days, cnt.vr.g_TelvarTradingDays)
        assert not days.flags.writeable
        assert calendar.names() == []

    def test_argument_count(self, history, calendar):
        with pytest.raises(TypeError, match=r"^get_trading_days\(\) takes exactly 2 positional arguments \(3 given\)$"):
            history.get_trading_days(1, 2, 3)

    # the fixtures hold no per-example state: the calendar is fetched once and kept
    @settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(begin=st.one_of(st.integers(20251030, 20251115), st.floats(20251030, 20251115)),
           end=st.one_of(st.integers(20251030, 20251115), st.floats(20251030, 20251115)),
           as_numpy=st.booleans())
    def test_matches_elementwise_reference(self, history, calendar, begin, end, as_numpy):
        if as_numpy:
            begin, end = np.float64(begin), np.int64(int(end))
        reference = np.array(CALENDAR)
        end_used = end if end < 20251111 else 20251111
        after, before = np.argwhere(reference >= begin).ravel(), np.argwhere(reference <= end_used).ravel()
        if after.size < 1 or before.size < 1:
            with pytest.raises(ValueError):
                history.get_trading_days(begin, end)
            return
        expected = reference[after[0]:before[-1] + 1]
        assert history.get_trading_days(begin, end).tolist() == expected.tolist()


def test_trading_days_of_a_market_are_floats(history, channel):
    channel.answers["tvSendCmdGetTradingDaysCondition"] = [20251103, 20251104]
    days = history.get_trading_days_condition("SHFE", 20251101, 20251104)
    assert days.dtype == np.float64 and days.tolist() == [20251103.0, 20251104.0]
    assert channel.calls == [("tvSendCmdGetTradingDaysCondition", ("SHFE", 20251101, 20251104), {})]


def serial(day, hour, minute):
    """Serial day number of a bar time (days since year 0, as the host writes them)."""
    return float(np.datetime64(day, "D").astype(np.int64) + 719529) + (hour * 60 + minute) / 1440.0


class TestTradingTime:
    @pytest.fixture
    def host_file(self, history, channel, cnt, tmp_path, monkeypatch):
        cleared = []
        monkeypatch.setattr(history, "clear_mat_include_zero_date", lambda *args: cleared.append(args))

        def write(times, day_pos):
            path = str(tmp_path / "time.mat")
            scipy.io.savemat(path, {"Time": np.asarray(times, dtype=float)[None, :],
                                    "DayPos": np.asarray(day_pos, dtype=float)[:, None]})
            channel.answers["tvSendCmdGetTradingTime"] = path
            return path

        write.cleared = cleared
        return write

    def test_minutes_as_the_host_writes_them(self, history, channel, host_file):
        path = host_file([1.0, 2.0, 3.0], [1, 2, 1])
        times, day_pos = history.get_trading_time([{"Market": "SHFE", "Code": "RB0000"}], "min", 20251103, 20251104)
        assert times.tolist() == [1.0, 2.0, 3.0]
        assert day_pos.dtype == np.int64 and day_pos.tolist() == [1, 2, 1]
        assert channel.sent("tvSendCmdGetTradingTime") == [(([{"Market": "SHFE", "Code": "RB0000"}], "min",
                                                              20251103, 20251104), {})]
        assert host_file.cleared == [(path, 20251104)]

    def test_five_minute_bars_keep_their_day_positions(self, history, host_file):
        # a 7-minute day (its last bar closes a short bar), then a 5-minute day
        host_file(np.arange(12.0), [1, 2, 3, 4, 5, 6, 7, 1, 2, 3, 4, 5])
        times, day_pos = history.get_trading_time([], "min", 1, 2, freq_num=5)
        assert times.tolist() == [4.0, 6.0, 11.0]
        assert day_pos.tolist() == [5, 7, 5]

    def test_week_bars_from_the_day_time_line(self, history, channel, host_file):
        days = ["2025-11-06", "2025-11-07", "2025-11-10", "2025-11-11", "2025-11-12"]
        times = [serial(d, 15, m) for d in days for m in (-1, 0)]
        host_file(times, [1, 2] * len(days))
        week_ends, day_pos = history.get_trading_time([], "week", 20251106, 20251112)
        assert channel.sent("tvSendCmdGetTradingTime")[0][0][1] == "day"
        assert week_ends.tolist() == [serial("2025-11-07", 15, 0), serial("2025-11-12", 15, 0)]
        assert day_pos.tolist() == [1, 1]
        two_days, day_pos = history.get_trading_time([], "day", 20251106, 20251112, 2)
        assert two_days.tolist() == [serial("2025-11-07", 15, 0), serial("2025-11-11", 15, 0)]
        assert day_pos.dtype == np.int64 and day_pos.tolist() == [1, 1]

    def test_unreadable_file_gives_empty_time_line(self, history, channel, host_file, tmp_path):
        bad = tmp_path / "bad.mat"
        bad.write_bytes(b"not a mat file" * 20)
        channel.answers["tvSendCmdGetTradingTime"] = str(bad)
        # not telvar's file (outside its cache root and the host's folder): reported and kept
        with pytest.warns(TelvarWarning, match="bad.mat"):
            times, day_pos = history.get_trading_time([], "min", 1, 2)
        assert times.size == 0 and day_pos.size == 0
        with pytest.warns(TelvarWarning, match="bad.mat"):
            times, day_pos = history.get_trading_time([], "day", 1, 2)
        assert times.size == 0 and day_pos.size == 0
        assert bad.exists()

    def test_argument_count(self, history):
        with pytest.raises(TypeError, match=r"^get_trading_time\(\) takes at least 4 positional arguments \(3 given\)$"):
            history.get_trading_time([], "min", 1)


def test_bad_inputs_raise_python_errors(history, calendar, tmp_path):
    with pytest.raises(ValueError):
        history.get_trading_days(float("nan"), 20251105)
    with pytest.raises(TypeError):
        history.get_trading_days("20251103", [1, 2])
    path = str(tmp_path / "time.mat")
    scipy.io.savemat(path, {"Time": np.arange(3.0), "DayPos": np.array([1.0, 2.0, 1.0, 2.0, 3.0])})
    calendar.answers["tvSendCmdGetTradingTime"] = path
    with pytest.raises(TvDataError, match="DayPos"):
        history.get_trading_time([], "day", 1, 2)
    with pytest.raises(ValueError):
        history.get_trading_time([], "fortnight", 1, 2)
