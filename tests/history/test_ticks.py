"""Ticks: one day of five-level ticks from the host through the tick map,
and the ticks of one strategy bar."""
import os

import numpy as np
import pytest
import scipy.io

from bar_files import datenum, host_bars, host_channel, run_state  # noqa: F401  (fixtures)
from telvar.kestrum.uclass import KDataItem
from telvar.kestrum.utils.exceptions import TvDataError
from telvar.kestrum.utils.datetimefunc import mft_to_datetime

RB = {"Market": "SHFE", "Code": "RB0000"}
QUOTES = ["BidPrice", "BidVolume", "AskPrice", "AskVolume"]
BASE = ["Time", "Price", "Volume", "VolumeTick", "TurnOver", "OpenInterest"]


def tick_file(path, times):
    """A host tick file: column vectors, quote level n of quote q = price * 10 * (q + 1) + n."""
    times = np.asarray(times, float)
    price = 100 + np.arange(times.size, dtype=float)
    data = {"Time": times, "Price": price, "Volume": price * 2, "VolumeTick": price * 3, "TurnOver": price * 4,
            "OpenInterest": price * 5}
    for q, quote in enumerate(QUOTES):
        for n in range(1, 6):
            data["%s%d" % (quote, n)] = price * 10 * (q + 1) + n
    scipy.io.savemat(str(path), data, oned_as="column")
    return str(path)


@pytest.fixture
def tick_host(owned_dir, channel):
    """tvSendCmdGetTDPData writing `tick_host.days[day]` (tick times) into a new file
    (in the cache root, a folder whose files the readers may remove)."""

    class Host:
        days = {}
        paths = []

        def __call__(self, market, code, day, fq, no_return=None, check_permission=None):
            path = tick_file(owned_dir / ("tick_%s_%d_%d.mat" % (code, day, len(self.paths))), self.days.get(day, []))
            self.paths.append(path)
            return path

    host = Host()
    channel.answers["tvSendCmdGetTDPData"] = host
    return host


class TestLoadTicks:
    @pytest.mark.parametrize("count, word", [(3, "at least 4"), (7, "at most 6")])
    def test_argument_count(self, history, count, word):
        with pytest.raises(TypeError, match=r"^load_tick_data_from_pro\(\) takes %s positional arguments \(%d "
                                            r"given\)$" % (word, count)):
            history.load_tick_data_from_pro(*range(count))

    def test_past_day_is_fetched_once_and_never_shared(self, history, channel, run_state, tick_host):
        tick_host.days[20251105] = datenum(20251105, 9, 30) + np.arange(4) / 86400
        first = history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA")
        assert list(run_state.vr.g_TelvarTickMap) == ["SHFE_RB0000_20251105_NA_True"]
        assert channel.sent("tvSendCmdGetTDPData") == [
            (("SHFE", "RB0000", 20251105, "NA"), {"no_return": False, "check_permission": True})]
        first.Price[:] = -1
        first.BidPrice[:] = -1
        second = history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA", True, False)
        assert len(channel.sent("tvSendCmdGetTDPData")) == 1
        assert type(second).__name__ == "DotDict"
        np.testing.assert_array_equal(second.Price, 100 + np.arange(4))
        assert second.BidPrice.shape == (4, 5)

    def test_today_is_always_fetched(self, history, channel, run_state, tick_host, monkeypatch):
        monkeypatch.setattr(history, "to_int_now_date", lambda: 20251105)
        tick_host.days[20251105] = [datenum(20251105, 9, 30)]
        for _ in range(2):
            history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA")
        assert len(channel.sent("tvSendCmdGetTDPData")) == 2

    def test_quote_levels(self, history, run_state, tick_host):
        tick_host.days[20251105] = datenum(20251105, 9, 30) + np.arange(3) / 86400
        combined = history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA")
        assert list(combined) == BASE + QUOTES
        price = 100 + np.arange(3)
        for q, quote in enumerate(QUOTES):
            np.testing.assert_array_equal(combined[quote], price[:, None] * 10 * (q + 1) + np.arange(1, 6))
        levels = history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA", combine_5th=False)
        assert list(levels) == BASE + ["%s%d" % (q, n) for n in range(1, 6) for q in QUOTES]
        np.testing.assert_array_equal(levels.AskVolume5, price * 40 + 5)
        assert len(run_state.vr.g_TelvarTickMap) == 2

    def test_quote_level_of_another_length_is_kept_out(self, history, channel, run_state, tmp_path):
        path = tick_file(tmp_path / "ticks.mat", datenum(20251105, 9, 30) + np.arange(3) / 86400)
        data = {k: v for k, v in scipy.io.loadmat(path).items() if not k.startswith("__")}
        data["AskPrice3"] = data["AskPrice3"][:2]
        scipy.io.savemat(path, data, oned_as="column")
        channel.answers["tvSendCmdGetTDPData"] = lambda *args, **kwargs: path
        with pytest.raises(TvDataError, match="AskPrice3"):
            history.load_tick_data_from_pro("SHFE", "RB0000", 20251105, "NA")
        assert run_state.vr.g_TelvarTickMap == {}

    def test_day_without_ticks(self, history, run_state, tick_host):
        empty = history.load_tick_data_from_pro("SHFE", "RB0000", 20251108, "NA")
        assert list(empty) == BASE and all(v.size == 0 for v in empty.values())
        assert not os.path.exists(tick_host.paths[0])
        assert run_state.vr.g_TelvarTickMap == {}


@pytest.fixture
def bars(run_state):
    """The strategy's refreshed K-data: minute bars of a Friday evening and Monday."""
    times = np.array([datenum(20251107, 20, 59), datenum(20251107, 21, 0), datenum(20251107, 21, 1),
                      datenum(20251108, 0, 30), datenum(20251110, 9, 1)])
    matrix = np.full((11, times.size), np.nan)
    matrix[0] = times
    vr = run_state.vr
    vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=1, Matrix=matrix,
                                          CurrentBar=np.arange(times.size)))
    vr.g_TelvarInputInfo.TargetList = [RB]
    vr.g_TelvarInputInfo.RefreshKDataIdx = 0
    return times


class TestBarTicks:
    def test_ticks_strictly_inside_the_bar(self, history, channel, run_state, tick_host, bars):
        channel.answers["tvSendCmdTransTradeTimeToTradeDate"] = 20251110
        s = 1 / 86400
        tick_host.days[20251110] = np.array([bars[1], bars[1] + s, bars[2] - s, bars[2], bars[2] + s])
        cut = history.get_bar_tick_data(0, 2)
        np.testing.assert_array_equal(cut.Time, tick_host.days[20251110][1:3])
        assert cut.BidPrice.shape == (2, 5)
        assert list(cut) == BASE + QUOTES
        # the map keeps the whole day
        assert run_state.vr.g_TelvarTickMap["SHFE_RB0000_20251110_NA_True"].Time.size == 5

    def test_trading_day_of_a_bar(self, history, channel, run_state, tick_host, bars):
        channel.answers["tvSendCmdTransTradeTimeToTradeDate"] = 20251110
        for pos in range(5):
            history.get_bar_tick_data(0, pos, "FWard")
        days = [args[2] for args, _ in channel.sent("tvSendCmdGetTDPData")]
        # 20:59 is its own day; 21:00, 21:01 and Saturday 00:30 belong to
        # Monday (a day without ticks is not kept, so it is asked for again)
        assert days == [20251107] + [20251110] * 4
        assert [args[0] for args, _ in channel.sent("tvSendCmdTransTradeTimeToTradeDate")] == list(bars[1:4])
        assert all(kw == {"no_return": False, "check_permission": False}
                   for _, kw in channel.sent("tvSendCmdGetTDPData"))

    def test_bars_without_ticks_inside(self, history, channel, run_state, tick_host, bars):
        t0, t1 = bars[0], bars[1]
        channel.answers["tvSendCmdTransTradeTimeToTradeDate"] = 20251107
        tick_host.days[20251107] = np.array([t0 - 2e-4, t0 - 1e-4, t0 + 1e-4])
        # the first bar is its own previous bar: nothing lies strictly between
        assert history.get_bar_tick_data(0, 0).Time.size == 0
        # every tick at or after the bar time, or at or before the previous one
        for ticks in ([t1, t1 + 1e-4], [t0 - 1e-4, t0]):
            run_state.vr.g_TelvarTickMap.clear()
            tick_host.days[20251107] = np.array(ticks)
            cut = history.get_bar_tick_data(0, 1)
            assert cut.Time.size == 0 and cut.AskPrice.shape == (0, 5)

    def test_no_ticks_of_a_later_bar_during_a_run(self, history, channel, run_state, tick_host, bars):
        channel.answers["tvSendCmdTransTradeTimeToTradeDate"] = 20251110
        run_state.vr.g_TelvarReadLimit = 1  # as the runner sets it around on_bar
        try:
            with pytest.raises(IndexError, match="2.*1"):
                history.get_bar_tick_data(0, 2)
            assert "tvSendCmdGetTDPData" not in channel.names()
            history.get_bar_tick_data(0, 1)
        finally:
            run_state.vr.g_TelvarReadLimit = -1
        history.get_bar_tick_data(0, 2)

    @pytest.mark.parametrize("target_idx, bar_pos", [(0, 5), (1, 0), (0, -1), (-1, 0)])
    def test_out_of_range(self, history, channel, run_state, bars, target_idx, bar_pos):
        with pytest.raises(IndexError):
            history.get_bar_tick_data(target_idx, bar_pos)
        assert "tvSendCmdGetTDPData" not in channel.names()


@pytest.mark.host
class TestSampleHost:
    def refresh_item(self, bars):
        from telvar.kestrum import sysmodel

        vr = sysmodel.vr
        matrix = np.full((11, len(bars)), np.nan)
        matrix[0] = bars.Time.to_numpy()
        vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=1, Matrix=matrix,
                                              CurrentBar=np.arange(len(bars))))
        vr.g_TelvarInputInfo.TargetList = [RB, {"Market": "SHFE", "Code": "CU0000"}]
        vr.g_TelvarInputInfo.RefreshKDataIdx = len(vr.g_TelvarKDataList) - 1
        return matrix[0]

    def test_ticks_of_every_bar_lie_strictly_inside_it(self, history, host_channel):
        # the sample holds ticks for its last three trading days; 20251230's
        # night session runs on the evening of 20251229
        bars = host_bars(host_channel, RB, "min", 20251230, 20251230)
        times = self.refresh_item(bars)
        night = mft_to_datetime(list(times))
        counted = night_bars = 0
        for pos in range(1, len(times)):
            cut = history.get_bar_tick_data(0, pos)
            assert np.all((cut.Time > times[pos - 1]) & (cut.Time < times[pos]))
            assert cut.BidPrice.shape == (cut.Time.size, 5)
            if night[pos].hour >= 21 and bars.Volume[pos] > 0:
                # found in the host's trading day, not in the calendar day's file
                assert cut.Time.size > 0
                night_bars += 1
            counted += cut.Time.size
        day = history.load_tick_data_from_pro("SHFE", "RB0000", 20251230, "NA").Time
        inside = (day > times[0]) & (day < times[-1]) & ~np.isin(day, times)
        assert counted == inside.sum() and night_bars > 100
        assert host_channel.names().count("tvSendCmdGetTDPData") == 1

    def test_bar_after_midnight_takes_the_next_trading_day(self, history, host_channel):
        # CU trades on Friday night until 01:00 on Saturday, for Monday
        bars = host_bars(host_channel, {"Market": "SHFE", "Code": "CU0000"}, "min", 20251103, 20251103)
        times = self.refresh_item(bars)
        saturday = [i for i, t in enumerate(mft_to_datetime(list(times))) if t.weekday() == 5]
        assert saturday
        history.get_bar_tick_data(1, saturday[-1])
        (request,) = [args for name, args, _ in host_channel.calls if name == "tvSendCmdGetTDPData"]
        assert request[:3] == ("SHFE", "CU0000", 20251103)
