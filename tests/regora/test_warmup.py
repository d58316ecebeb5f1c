"""Warm-up: history before begin_date fills the windows from the first traded bar.

A window read at the first bar of a warm-up run must equal the window read at
the same bar time in a run that simply began at the warm-up's first day; the
strategy itself must see exactly the bars of a run without warm-up.
"""
import numpy as np
import pytest

from telvar.kestrum import runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

TARGETS = ["SHFE.RB0000", "SHFE.CU0000", "SSE.600000"]
BEGIN, END, WARMUP = 20251110, 20251111, 5
# window lengths the warm-up fills: 5 days hold dozens of 15-minute bars, 5 days and the
# forming one, one week and the forming one
LENGTHS = {"15min": 12, "1day": WARMUP + 1, "1week": 2}


def _t(date, hhmm, seconds=0.0):
    return float(int_date_to_ordinal(date)) + (hhmm // 100 * 60 + hhmm % 100) / 1440 + seconds / 86400


class TestFirstBarOfTheTradedDates:
    """Hand-made time lines: which bar starts the traded dates."""

    def test_a_night_session_on_friday_evening_belongs_to_monday(self):
        # Friday 2025-10-31: day bars, then Monday's night session that evening, then Monday's day
        times = [_t(20251031, 1458), _t(20251031, 1459), _t(20251031, 1500),
                 _t(20251031, 2101), _t(20251031, 2102), _t(20251103, 901), _t(20251103, 1500)]
        day_pos = [223, 224, 225, 1, 2, 3, 4]
        assert runner.first_bar_on_or_after(times, day_pos, 20251103) == 3
        assert runner.first_bar_on_or_after(times, day_pos, 20251101) == 3  # a Saturday
        assert runner.first_bar_on_or_after(times, day_pos, 20251031) == 0
        assert runner.first_bar_on_or_after(times, day_pos, 20251104) == len(times)

    def test_n_minute_bars_whose_day_positions_do_not_start_at_one(self):
        # 5-minute bars: positions 5, 10, 15 on Monday, then 5, 10 on Tuesday
        times = [_t(20251103, 935), _t(20251103, 940), _t(20251103, 1500),
                 _t(20251104, 935), _t(20251104, 940)]
        assert runner.first_bar_on_or_after(times, [5, 10, 15, 5, 10], 20251104) == 3
        # a day holding a single bar is still its own day
        assert runner.first_bar_on_or_after(times[:4], [5, 10, 15, 15], 20251104) == 3

    def test_day_bars_and_a_session_closing_at_midnight(self):
        days = [20251103, 20251104, 20251105]
        times = [_t(d, 2359, 59.999) for d in days]  # stamped 1 ms before midnight
        assert runner.first_bar_on_or_after(times, [1, 1, 1], 20251104) == 1
        assert runner.first_bar_on_or_after([], [], 20251104) == 0

    def test_warmup_must_be_a_whole_number_of_days(self):
        for bad in (-1, 2.5, True, "5"):
            with pytest.raises(ValueError, match="warmup"):
                runner.setup(TARGETS, BEGIN, END, warmup=bad, host="unix:/nonexistent/never-used.sock")


def _windows(context, pos):
    """Plain and adjusted windows (filled and real-bar) of the registrations made by _register."""
    from telvar.api.regora import _regora

    out = {}
    for name, reg in context.regs.items():
        for fill in (True, False):
            length = LENGTHS[name]
            out[name, "plain", fill] = _regora.get_reg_k_data(reg, pos, length, fill).astype(float)
            out[name, "adjusted", fill] = _regora.get_reg_k_data_adj(reg, pos, length, fill).astype(float)
    return out


def _register(context, registrations):
    from telvar.api.regora import _regora

    context.regs = {"%d%s" % (n, f): _regora.reg_k_data(f, n, True) for f, n in registrations}
    return context


@pytest.mark.host
@pytest.mark.parametrize("frequency,freq_num,registrations", [
    ("min", 1, [("min", 15), ("day", 1)]),
    ("day", 1, [("day", 1), ("week", 1)]),
], ids=["minute-strategy", "daily-strategy"])
def test_first_window_equals_a_run_begun_earlier(host, run_root, frequency, freq_num, registrations):
    warm = _register(runner.setup(TARGETS, BEGIN, END, frequency, freq_num, host=host, warmup=WARMUP),
                     registrations)
    first = warm.first_bar_pos
    first_time = warm.bar_times[first]
    assert cnt.vr.g_TelvarInputInfo.BeginDate == warm.warmup_begin_date < BEGIN == warm.begin_date
    days = np.asarray(cnt.vr.g_TelvarTradingDays)
    assert np.count_nonzero((days >= warm.warmup_begin_date) & (days < BEGIN)) == WARMUP
    warm_windows = _windows(warm, first)

    plain = runner.setup(TARGETS, BEGIN, END, frequency, freq_num, host=host)
    np.testing.assert_array_equal(plain.bar_times, warm.bar_times[first:])

    earlier = _register(runner.setup(TARGETS, warm.warmup_begin_date, END, frequency, freq_num, host=host),
                        registrations)
    pos = int(np.searchsorted(earlier.bar_times, first_time))
    assert earlier.bar_times[pos] == first_time
    earlier_windows = _windows(earlier, pos)
    assert warm_windows.keys() == earlier_windows.keys() and len(warm_windows) == 8
    for key, window in warm_windows.items():
        np.testing.assert_array_equal(window, earlier_windows[key], err_msg=str(key))
        # the window reaches back into the warm-up: full for the targets that trade every day
        # (a real-bar window of the stock lacks its forming day at a night-session bar)
        times = window[:, 1].reshape(len(TARGETS), LENGTHS[key[0]])
        for t in (0, 2) if key[2] else (0,):
            assert not np.isnan(times[t]).any(), key
            assert times[t, 0] < int_date_to_ordinal(BEGIN) - (1 if frequency == "min" else 0), key


@pytest.mark.host
def test_run_with_warmup_trades_the_same_bars_from_full_windows(host, run_root):
    from telvar.api.regora import _regora

    class Strategy:
        def init(self, context):
            self.reg = _regora.reg_k_data("day", 1)
            self.seen, self.first_window = [], None
            self.init_at = (context.bar_pos, cnt.vr.g_TelvarSimCurBarFresh)

        def on_bar(self, context):
            if not self.seen:
                self.first_window = _regora.get_reg_k_data(self.reg, context.bar_pos, WARMUP, True)
            self.seen.append((context.bar_pos, context.now))

    without, with_warmup = Strategy(), Strategy()
    plain = runner.run(without, TARGETS, BEGIN, END, frequency="min", freq_num=15, host=host, progress=False)
    plain_times = [now for _, now in without.seen]
    summary = runner.run(with_warmup, TARGETS, BEGIN, END, frequency="min", freq_num=15, host=host,
                         progress=False, warmup=WARMUP)
    context = cnt.vr.g_TelvarUserContext
    positions = [pos for pos, _ in with_warmup.seen]
    assert positions[0] == context.first_bar_pos > 0
    assert with_warmup.init_at == (context.first_bar_pos,) * 2 and without.init_at == (0, 0)
    assert positions == list(range(context.first_bar_pos, len(context.bar_times)))
    assert [now for _, now in with_warmup.seen] == plain_times
    assert summary["bars"] == plain["bars"] == len(plain_times)
    assert (summary["begin_date"], summary["end_date"], summary["warmup"]) == (BEGIN, END, WARMUP)
    # the first daily window holds the warm-up's days; without warm-up only the forming day
    closes = with_warmup.first_window[:, 5].astype(float).reshape(len(TARGETS), WARMUP)
    assert not np.isnan(closes[[0, 2]]).any()
    closes_plain = without.first_window[:, 5].astype(float).reshape(len(TARGETS), WARMUP)
    # (at the first bar, Friday 21:15, only the night-trading future has a forming day)
    assert np.isnan(closes_plain[:, :-1]).all() and not np.isnan(closes_plain[0, -1])
