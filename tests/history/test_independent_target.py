"""Per-target K-data matrices: building bars of every frequency from the
host's base bars, the zero-volume filter, the per-target cache; against
pandas aggregation of the same bars."""
import os

import numpy as np
import pandas as pd
import pytest

from bar_files import (as_matrix, combined, datenum, host_bars, host_channel, minute_times,  # noqa: F401
                       n_bar_reference, period_reference, random_bars, run_state, write_bar_file)
from telvar.kestrum.utils.exceptions import TvDataError
from telvar.kestrum.utils.utilfunc import save_mat

RB = {"Market": "SHFE", "Code": "RB0000"}
CU = {"Market": "SHFE", "Code": "CU0000"}
DAYS = [20251103, 20251104, 20251105]
PAST = 20251231  # closed period: cacheable

class FakeBarHost:
    """Answers tvSendCmdGetKData with one file per target from `bars[code][frequency]`."""

    def __init__(self, tmp_path, bars):
        self.dir = tmp_path
        self.bars = bars
        self.requests = []

    def __call__(self, targets, frequency, units, begin, end, filled, fq, no_return):
        self.requests.append(([t["Code"] for t in targets], frequency, units, filled, no_return))
        paths = []
        for i, target in enumerate(targets):
            frame = self.bars[target["Code"]][frequency]
            paths.append(write_bar_file(self.dir / ("%s_%s_%d.mat" % (target["Code"], frequency, i)), frame))
        return paths


@pytest.fixture
def minute_host(tmp_path, channel):
    times, flags = minute_times(DAYS)
    # the range starts inside a day: two bars before the first day start
    times = np.r_[times[0] - 2 / 1440, times[0] - 1 / 1440, times]
    flags = np.r_[0, 0, flags]
    bars = {"RB0000": {"min": random_bars(times, flags, seed=1, zero_every=5, zero_run=3)},
            "CU0000": {"min": random_bars(times, flags, seed=2)}}
    host = FakeBarHost(tmp_path, bars)
    channel.answers["tvSendCmdGetKData"] = host
    return host


def trading_days(begin, end):
    days = pd.bdate_range(str(begin), str(end))
    return [int(d.strftime("%Y%m%d")) for d in days]


@pytest.fixture
def day_host(tmp_path, channel):
    days = trading_days(20250901, 20251231)
    times = np.array([datenum(d, 15, 0) for d in days])
    day_bars = random_bars(times, np.ones(len(days)), seed=3, zero_every=7)
    months = period_reference(day_bars, "M")
    months["BeginBar"] = 1.0
    host = FakeBarHost(tmp_path, {"RB0000": {"day": day_bars, "month": months}})
    channel.answers["tvSendCmdGetKData"] = host
    return host


def call(history, targets, frequency="min", freq_num=1, filled_up=True, end_date=PAST, fq="NA"):
    return history.get_k_data_independent_target(targets, frequency, freq_num, 20251103, end_date, filled_up, fq)


class TestArguments:
    @pytest.mark.parametrize("count", [6, 8])
    def test_exactly_seven(self, history, count):
        with pytest.raises(TypeError, match=r"^get_k_data_independent_target\(\) takes exactly 7 positional "
                                            r"arguments \(%d given\)$" % count):
            history.get_k_data_independent_target(*range(count))

    def test_no_targets_sends_nothing(self, history, channel, run_state):
        assert call(history, []) == []
        assert channel.calls == []


class TestMinuteBars:
    def test_one_unit_bars_from_the_first_day_start(self, history, run_state, minute_host):
        rb, cu = call(history, [RB, CU])
        assert minute_host.requests == [(["RB0000", "CU0000"], "min", 1, True, False)]
        expected = as_matrix(minute_host.bars["RB0000"]["min"].iloc[2:])
        assert rb.shape == (8, len(DAYS) * 9)
        np.testing.assert_array_equal(rb, expected)
        np.testing.assert_array_equal(cu, as_matrix(minute_host.bars["CU0000"]["min"].iloc[2:]))

    @pytest.mark.parametrize("n", [2, 3, 4, 9, 10])
    def test_n_unit_bars_match_pandas_per_trading_day(self, history, run_state, minute_host, n):
        (rb,) = call(history, [RB], freq_num=n)
        reference = n_bar_reference(minute_host.bars["RB0000"]["min"].iloc[2:].reset_index(drop=True), n)
        np.testing.assert_allclose(rb, as_matrix(reference), rtol=1e-12)

    @pytest.mark.parametrize("n", [1, 2])
    def test_bars_without_trades_are_dropped_unless_filled(self, history, run_state, minute_host, n):
        (filled,) = call(history, [RB], freq_num=n)
        (traded,) = call(history, [RB], freq_num=n, filled_up=False, fq="FWard")
        volume = filled[1 + 4]
        assert (volume == 0).any() and (traded[1 + 4] > 0).all()
        np.testing.assert_array_equal(traded, filled[:, volume > 0])

    def test_a_feed_without_volumes_keeps_its_bars_unfilled(self, history, run_state, channel, tmp_path):
        times, flags = minute_times(DAYS)
        index = random_bars(times, flags, seed=5, zero_every=4)
        index[["Volume", "TurnOver"]] = np.nan
        channel.answers["tvSendCmdGetKData"] = FakeBarHost(tmp_path, {"RB0000": {"min": index}})
        (kept,) = call(history, [RB], freq_num=3, filled_up=False)
        np.testing.assert_allclose(kept, as_matrix(n_bar_reference(index, 3)), rtol=1e-12)

    def test_bars_before_any_day_start_are_kept(self, history, run_state, channel, tmp_path):
        times = datenum(20251103, 9, 1) + np.arange(5) / 1440
        host = FakeBarHost(tmp_path, {"RB0000": {"min": random_bars(times, np.zeros(5), seed=4)}})
        channel.answers["tvSendCmdGetKData"] = host
        (rb,) = call(history, [RB])
        np.testing.assert_array_equal(rb[0], times)


class TestCoarserBars:
    @pytest.mark.parametrize("frequency, period", [("week", "W"), ("month", "M"), ("year", "Y")])
    def test_periods_match_pandas(self, history, run_state, day_host, frequency, period):
        (rb,) = call(history, [RB], frequency=frequency)
        base = "month" if frequency == "year" else "day"
        assert day_host.requests[0][1] == base
        reference = period_reference(day_host.bars["RB0000"]["day"], period)
        np.testing.assert_allclose(rb, as_matrix(reference), rtol=1e-12)

    def test_day_bars_and_n_days(self, history, run_state, day_host):
        day_bars = day_host.bars["RB0000"]["day"]
        (days,) = call(history, [RB], frequency="day")
        np.testing.assert_array_equal(days, as_matrix(day_bars))
        (threes,) = call(history, [RB], frequency="day", freq_num=3)
        reference = combined(day_bars, np.arange(len(day_bars)) // 3)
        np.testing.assert_allclose(threes, as_matrix(reference), rtol=1e-12)

    def test_two_week_bars_without_quiet_weeks(self, history, run_state, day_host):
        (rb,) = call(history, [RB], frequency="week", freq_num=2, filled_up=False)
        weeks = period_reference(day_host.bars["RB0000"]["day"], "W")
        reference = combined(weeks, np.arange(len(weeks)) // 2)
        np.testing.assert_allclose(rb, as_matrix(reference[reference.Volume > 0]), rtol=1e-12)


class TestCache:
    def test_repeat_is_served_from_the_cache(self, history, run_state, minute_host, channel):
        first = call(history, [RB, CU], freq_num=3)
        again = call(history, [RB, CU], freq_num=3)
        assert len(minute_host.requests) == 1
        for a, b in zip(first, again):
            np.testing.assert_array_equal(a, b)
        # a changed ingredient is another entry; only the missing target is asked for
        call(history, [RB], freq_num=3, fq="BWard")
        call(history, [CU, RB], freq_num=3, fq="BWard")
        assert [r[0] for r in minute_host.requests] == [["RB0000", "CU0000"], ["RB0000"], ["CU0000"]]

    def test_key_has_nine_ingredients(self, history, run_state, minute_host, monkeypatch):
        seen = []
        real = history.calc_hash_value
        monkeypatch.setattr(history, "calc_hash_value", lambda items, suffix: seen.append((items, suffix))
                            or real(items, suffix=suffix))
        run_state.vr.g_TelvarInputInfo.AccountNameList = ["acc1"]
        history.get_k_data_independent_target([RB], "min", 5, 20251103, PAST, False, "NA")
        assert seen == [([{"AccountNameList": "['acc1']"}, {"Target": "SHFE.RB0000"}, {"KFrequency": "min"},
                          {"KFreqNum": 5}, {"BeginDate": 20251103}, {"EndDate": PAST}, {"FilledUp": False},
                          {"FQ": "NA"}, {"CatType": "get_k_data_independent_target"}], "_kdata")]

    def test_open_period_is_neither_read_nor_written(self, history, run_state, minute_host):
        call(history, [RB], end_date=29991231)
        call(history, [RB], end_date=29991231)
        assert len(minute_host.requests) == 2
        assert os.listdir(run_state.env.fm.cache_dir(history.HISTORY_DATA_CACHE)) == []

    def test_empty_result_is_not_cached(self, history, run_state, channel, tmp_path):
        empty = random_bars([], [], seed=5)
        host = FakeBarHost(tmp_path, {"RB0000": {"min": empty}})
        channel.answers["tvSendCmdGetKData"] = host
        for _ in range(2):
            (rb,) = call(history, [RB])
            assert rb.size == 0
        assert len(host.requests) == 2


class TestTargets:
    def test_repeated_target_fills_every_position(self, history, run_state, minute_host):
        a, b, c = call(history, [RB, CU, RB])
        assert minute_host.requests[0][0] == ["RB0000", "CU0000"]
        np.testing.assert_array_equal(a, c)
        assert a.size and not np.shares_memory(a, c)
        cached = call(history, [RB, CU, RB])
        np.testing.assert_array_equal(cached[0], cached[2])
        assert len(minute_host.requests) == 1

    def test_host_file_missing_a_field(self, history, run_state, channel, tmp_path):
        times, flags = minute_times(DAYS[:1])
        frame = random_bars(times, flags, seed=6)
        data = {name: frame[name].to_numpy() for name in frame.columns}
        data["TurnOver"] = data["TurnOver"][:3]
        save_mat(str(tmp_path / "short.mat"), data)
        del data["TurnOver"]
        save_mat(str(tmp_path / "missing.mat"), data)
        for name in ["short.mat", "missing.mat"]:
            channel.answers["tvSendCmdGetKData"] = [str(tmp_path / name)]
            with pytest.raises(TvDataError, match="TurnOver"):
                call(history, [RB])


@pytest.mark.host
class TestSampleHost:
    def test_week_month_year_bars_aggregate_the_hosts_day_bars(self, history, host_channel):
        day_bars = host_bars(host_channel, RB, "day", 20250901, 20251231)
        for frequency, period in [("week", "W"), ("month", "M"), ("year", "Y")]:
            (rb,) = history.get_k_data_independent_target([RB], frequency, 1, 20250901, 20251231, True, "NA")
            np.testing.assert_allclose(rb, as_matrix(period_reference(day_bars, period)), rtol=1e-12)

    def test_15_minute_bars_aggregate_the_minute_bars_per_trading_day(self, history, host_channel):
        # CU's night session runs past midnight into the next calendar day
        minutes = host_bars(host_channel, CU, "min", 20251103, 20251114)
        assert (np.floor(minutes.Time) != np.floor(minutes.Time.shift())).sum() > (minutes.BeginBar == 1).sum()
        (cu,) = history.get_k_data_independent_target([CU], "min", 15, 20251103, 20251114, True, "NA")
        np.testing.assert_allclose(cu, as_matrix(n_bar_reference(minutes, 15)), rtol=1e-12)

    def test_repeat_comes_from_the_cache(self, history, host_channel):
        first = history.get_k_data_independent_target([RB, CU], "min", 30, 20251201, 20251205, False, "NA")
        again = history.get_k_data_independent_target([RB, CU], "min", 30, 20251201, 20251205, False, "NA")
        assert host_channel.names().count("tvSendCmdGetKData") == 1
        for a, b in zip(first, again):
            assert a.shape[1] > 0
            np.testing.assert_array_equal(a, b)
