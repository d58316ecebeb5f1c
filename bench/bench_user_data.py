"""User data and user indicators of the registration module.

reg_user_data: 1,000,000 time-stamped records (two values each) resampled onto
60,000 minute bars (250 days of 09:31-11:30 and 13:01-15:00): every bar takes
the latest record stamped strictly before it, 0 before the first record.
Against pandas merge_asof(..., allow_exact_matches=False) on the same data
(answers compared): with records already in time order (merge_asof alone) and
shuffled (pandas must sort first; merge_asof refuses unsorted keys).

reg_user_indices: the cost per bar beyond the user's function, measured as
the registration's time minus a plain Python loop that sets the bar number on
the context and calls the same function for every bar.

get_reg_user_data and get_reg_factor: the cost of one window (20 bars of two
user-data rows; 5 days of three factor rows), against the same written in
Python with numpy.
"""
import numpy as np
import pandas as pd

from bench.report import best_time
from telvar.api.regora import _regora
from telvar.kestrum import sysmodel as cnt

FIRST_DAY = 739861  # 2025-09-01 as a serial day number
SESSION_MINUTES = np.r_[np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)]


def bar_times(days):
    weekdays = np.flatnonzero(np.arange(days * 7 // 5 + 7) % 7 < 5)[:days]
    return ((FIRST_DAY + weekdays)[:, None] + SESSION_MINUTES[None, :] / 1440.0).ravel()


def set_bars(bars):
    cnt.reset()
    cnt.vr.g_TelvarDataValueFresh = bars.reshape(1, -1).copy()
    cnt.vr.g_TelvarCache.set_dvf_time_line_cache(bars)


def ours(times, values):
    cnt.vr.g_TelvarDataValueFreshUserD = np.array([])
    _regora.reg_user_data(times, values)
    return cnt.vr.g_TelvarDataValueFreshUserD


def pandas_asof(bars, times, values, presorted):
    right = pd.DataFrame({"t": times, "a": values[:, 0], "b": values[:, 1]})
    if not presorted:
        right = right.sort_values("t", kind="stable")
    merged = pd.merge_asof(pd.DataFrame({"t": bars}), right, on="t", allow_exact_matches=False)
    return merged[["a", "b"]].fillna(0.0).to_numpy().T


def run(report):
    days = 25 if report.quick else 250
    n_records = 100_000 if report.quick else 1_000_000
    bars = bar_times(days)
    set_bars(bars)
    rng = np.random.default_rng(5)
    # stamps on a 1-second grid, so many fall exactly on bar times
    times = np.round(rng.uniform(bars[0] - 1, bars[-1] + 1, n_records) * 86400) / 86400
    values = rng.normal(size=(n_records, 2))
    order = np.argsort(times, kind="stable")
    sorted_times, sorted_values = times[order], values[order]

    report.section(f"reg_user_data: {n_records:,} records onto {bars.size:,} bars")
    for label, t, v, presorted in (("records in time order", sorted_times, sorted_values, True),
                                   ("records shuffled", times, values, False)):
        ours_s, got = best_time(lambda: ours(t, v))
        base_s, expected = best_time(lambda: pandas_asof(bars, t, v, presorted))
        report.check(f"{label}: equals merge_asof", np.array_equal(got, expected))
        report.compare(label, ours_s, **{"pandas merge_asof": base_s})
        report.target(f"{label}: speed-up over pandas", base_s / ours_s, 1.0)

    report.section(f"reg_user_indices: cost per bar beyond the user's function ({bars.size:,} bars)")
    context = cnt.vr.g_TelvarUserContext
    for label, func in (("scalar result", lambda ctx: ctx._internal_bar_num * 0.5),
                        ("three values", lambda ctx: (ctx._internal_bar_num, 1.0, 2.0))):
        def plain_loop():
            out = []
            for pos in range(bars.size):
                context._internal_bar_num = pos
                out.append(func(context))
            return out

        def register():
            cnt.vr.g_TelvarDataValueFreshUserI = np.array([])
            return _regora.reg_user_indices(func)

        reg_s, rows = best_time(register)
        loop_s, _ = best_time(plain_loop)
        report.check(f"{label}: one row per value", len(rows) == np.size(func(context)))
        report.line(f"{label:<16} registration {reg_s * 1e3:7.1f} ms, plain loop {loop_s * 1e3:7.1f} ms, "
                    f"overhead {(reg_s - loop_s) / bars.size * 1e6:5.2f} us/bar")

    report.section("windows read at every bar (cost per call)")
    calls = 2_000 if report.quick else 20_000
    rows = _regora.reg_user_data(sorted_times, sorted_values)
    store = cnt.vr.g_TelvarDataValueFreshUserD
    dvf_tl = cnt.vr.g_TelvarCache.dvf_tl

    def windows():
        for pos in range(calls):
            _regora.get_reg_user_data(rows, pos, 20)

    def numpy_slices():
        for pos in range(calls):
            lo = max(pos - 19, 0)
            dvf_tl[lo:pos + 1], store[rows, lo:pos + 1]

    ours_s, _ = best_time(windows)
    base_s, _ = best_time(numpy_slices)
    got, want = _regora.get_reg_user_data(rows, 700, 20)[1], store[rows, 681:701]
    report.check("get_reg_user_data equals the slice", np.array_equal(got, want))
    report.line(f"get_reg_user_data  {ours_s / calls * 1e6:5.2f} us/call; the same slicing in Python "
                f"{base_s / calls * 1e6:5.2f} us/call")

    # factor windows: 3 factor rows of 250 daily columns, 240 bars a day
    cnt.vr.g_TelvarFactorValueDict = {"FreshIdx": np.arange(bars.size) // 240,
                                      "FactorData": rng.normal(size=(7, days))}
    factor_data, factor_rows = cnt.vr.g_TelvarFactorValueDict["FactorData"], np.array([0, 1, 4])

    def factor_windows():
        for pos in range(calls):
            _regora.get_reg_factor(factor_rows, pos, 5)

    def python_factor_windows():
        for pos in range(calls):
            end = pos // 240 + 1
            begin = max(end - 5, 0)
            dt, value = np.full(5, np.nan), np.full((3, 5), np.nan)
            dt[5 - (end - begin):] = factor_data[0, begin:end]
            value[:, 5 - (end - begin):] = factor_data[1:][factor_rows, begin:end]

    ours_s, _ = best_time(factor_windows)
    base_s, _ = best_time(python_factor_windows)
    _, got = _regora.get_reg_factor(factor_rows, 1000, 5)
    report.check("get_reg_factor equals the slice", np.array_equal(got, factor_data[1:][factor_rows, 0:5]))
    report.line(f"get_reg_factor     {ours_s / calls * 1e6:5.2f} us/call; the same window in Python "
                f"{base_s / calls * 1e6:5.2f} us/call")
    cnt.reset()
