"""K-data registration and windows of the registration module.

Market: 50 instruments, about three months (63 trading days) of filled
1-minute bars with a night session (21:01-23:00, belonging to the next
trading day) and a day session (09:01-10:15, 10:31-11:30, 13:31-15:00),
about 20% of minutes without a trade. The history module's fetch and
calendar are replaced by in-memory fakes, so the figures are the module's own
work (matrix layout, kernels, cache), not the host's.

- registration of 5-, 15-, 60-minute and daily bars: cold (computed, cache
  written) and cached (a second run with the same inputs);
- get_reg_k_data for 50 targets x 20 and x 100 bars, filled and real-bar
  windows, per call, against (a) the same window written with numpy and
  Python (answers compared) and (b) np.full(..., np.nan, dtype=object) of the
  output's shape, the bare cost of the result object; then ours alone at
  random positions, where every window makes its columns afresh;
- the 15-minute x20 real-bar window when every other target trades no night
  session, so the targets' bars differ (futures beside stocks);
- a whole back-test reading three windows per bar: bars per second.

Prices here move in whole ticks, as real prices do, so values repeat across
bars, fields and targets; the windows share one float object per value, which
is part of what is measured. Ours, the numpy/Python window and np.full are
timed in turns, round by round, so a slow phase of a shared machine hits all
three; per-call figures still move by up to a third between runs, the ratios
of one run less.
"""
import contextlib
import math
import shutil
import tempfile

import numpy as np

from bench.report import best_time
from telvar.api.regora import _regora
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

FIRST_DAY = 739900  # 2025-10-10
SESSION = np.r_[np.arange(21 * 60 + 1, 23 * 60 + 1) - 1440, np.arange(9 * 60 + 1, 10 * 60 + 16),
                np.arange(10 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 31, 15 * 60 + 1)]


class Market:
    def __init__(self, targets, days, seed=11, day_only_every=0):
        """day_only_every=k: every k-th target trades no night session (a
        stock beside futures): no volume there, prices carried over."""
        weekdays = np.flatnonzero(np.arange(days * 7 // 5 + 7) % 7 < 5)[:days]
        self.days = FIRST_DAY + weekdays
        self.times = ((self.days[:, None] + SESSION[None, :] / 1440.0)).ravel()
        self.day_pos = np.tile(np.arange(1, SESSION.size + 1), days).astype(float)
        n = self.times.size
        rng = np.random.default_rng(seed)
        traded = rng.random((targets, n)) < 0.8
        if day_only_every:
            traded[::day_only_every, np.tile(SESSION < 0, days)] = False
        close = 3000 + np.cumsum(rng.integers(-2, 3, (targets, n)), axis=1).astype(float)
        close = np.where(traded, close, np.nan)
        idx = np.where(traded, np.arange(n), 0)
        np.maximum.accumulate(idx, axis=1, out=idx)
        filled_close = np.take_along_axis(close, idx, axis=1)
        opened = filled_close + rng.integers(-2, 3, (targets, n))
        high = np.maximum(opened, filled_close) + rng.integers(0, 3, (targets, n))
        low = np.minimum(opened, filled_close) - rng.integers(0, 3, (targets, n))
        vol = rng.integers(1, 200, (targets, n)).astype(float)
        oi = 10000 + np.cumsum(rng.integers(-3, 4, (targets, n)), axis=1).astype(float)
        k = np.empty((targets, 7, n))
        k[:, 0] = np.where(traded, opened, filled_close)
        k[:, 1] = np.where(traded, high, filled_close)
        k[:, 2] = np.where(traded, low, filled_close)
        k[:, 3] = filled_close
        k[:, 4] = np.where(traded, vol, 0.0)
        k[:, 5] = k[:, 4] * filled_close * 10
        k[:, 6] = oi
        self.minutes = k.reshape(targets * 7, n)
        last = np.r_[np.flatnonzero(np.diff(self.day_pos) < 0), n - 1]
        first = np.r_[0, last[:-1] + 1]
        day_k = np.empty((targets, 7, last.size))
        day_k[:, 0] = k[:, 0, first]
        day_k[:, 1] = np.maximum.reduceat(k[:, 1], first, axis=1)
        day_k[:, 2] = np.minimum.reduceat(k[:, 2], first, axis=1)
        day_k[:, 3] = k[:, 3, last]
        day_k[:, 4] = np.add.reduceat(k[:, 4], first, axis=1)
        day_k[:, 5] = np.add.reduceat(k[:, 5], first, axis=1)
        day_k[:, 6] = k[:, 6, last]
        self.day_times = self.times[last]
        self.day_bars = day_k.reshape(targets * 7, last.size)
        self.targets = [{"Market": "SIM", "Code": "T%02d" % i} for i in range(targets)]

    def get_k_data_multi(self, params):
        if params["frequency"] == "min":
            return {"TimeLine": self.times, "DayPos": self.day_pos, "KArray": self.minutes,
                    "TradeFreshPos": self.times.size - 1}
        return {"TimeLine": self.day_times, "DayPos": np.ones(self.day_times.size), "KArray": self.day_bars,
                "TradeFreshPos": self.day_times.size - 1}

    def get_trading_time(self, targets, frequency, begin_day, end_day, freq_num=1):
        if frequency == "min":
            return self.times, self.day_pos.astype(np.int64)
        return self.day_times, np.ones(self.day_times.size, dtype=np.int64)

    def get_trading_days(self, begin_day, end_day):
        return self.days


def new_run(market):
    cnt.reset()
    info = cnt.vr.g_TelvarInputInfo
    info.TargetList = market.targets
    info.BeginDate, info.EndDate = 20251010, 20260109
    info.KFrequency, info.KFreNum = "min", 1
    cnt.vr.set_strategy_time_line(market.times)
    info.RefreshKDataIdx = _regora.reg_k_data("min", 1)


REGISTRATIONS = [("min", 5), ("min", 15), ("min", 60), ("day", 1)]


def register_all():
    return [_regora.reg_k_data(f, n) for f, n in REGISTRATIONS]


def python_window(reg_idx, bar_pos, length, fill_up):
    """The same window written with numpy and Python, as a plain implementation would."""
    k_data_s = cnt.vr.g_TelvarKDataList
    dvf = cnt.vr.g_TelvarDataValueFresh
    bar_len, head = gv.KMatrix_Bar_Len, gv.KMatrixPos_Head_len
    target_len = reg_idx.shape[0]
    out = np.full((length * target_len, 2 + bar_len), np.nan, dtype=object)
    if math.isnan(bar_pos):
        bar_pos = dvf.shape[-1] - 1
    if bar_pos < 0:
        bar_pos += dvf.shape[-1]
    dvf_tl = cnt.vr.g_TelvarCache.dvf_tl
    item0 = k_data_s[int(reg_idx[0, 0])]
    cols = item0.Matrix.shape[1]
    tl = cnt.vr.g_TelvarCache.get_history_k_data_time_line_cache(int(reg_idx[0, 0]))
    forming = not math.isnan(reg_idx[0, 2])
    for i in range(target_len):
        t = int(reg_idx[i, 3])
        item = k_data_s[int(reg_idx[i, 0])]
        rows = slice(head + t * bar_len, head + (t + 1) * bar_len)
        row_end = (i + 1) * length
        out[i * length:row_end, 0] = t
        cur = int(item.CurrentBar[bar_pos])
        open_tail = forming and cur > cols - 1
        if fill_up:
            completed = length - 1 if open_tail else length
            last = min(cols - 1, cur)
            start = max(0, last - completed + 1)
            n = last - start + 1
            end = row_end - 1 if open_tail else row_end
            out[end - n:end, 1] = tl[start:last + 1]
            out[end - n:end, 2:] = item.Matrix[rows, start:last + 1].T
            if forming:
                out[row_end - 1, 1] = dvf_tl[bar_pos]
                r0 = int(reg_idx[i, 2])
                out[row_end - 1, 2:] = dvf[r0:r0 + bar_len, bar_pos]
            continue
        end_bar = min(item.UnfilledBarRef[t].shape[0] - 1, cur)
        ref = item.UnfilledBarRef[t][end_bar]
        if math.isnan(ref):
            continue
        start = int(item.UnfilledIdx[t][max(0, int(ref) - length)])
        tmp = np.full((end_bar - start + 1, 2 + bar_len), np.nan, dtype=object)
        tmp[:, 1] = tl[start:end_bar + 1]
        tmp[:, 2:] = item.Matrix[rows, start:end_bar + 1].T
        if forming:
            r0 = int(reg_idx[i, 2])
            fresh = np.r_[dvf_tl[bar_pos], dvf[r0:r0 + bar_len, bar_pos]]
            if open_tail:
                tmp = np.vstack([tmp, np.r_[np.nan, fresh][None, :].astype(object)])
            else:
                tmp[-1, 1:] = fresh
        tmp[:, 0] = t
        tmp = tmp[tmp[:, 2 + gv.KMatrix_Volume] > 0]
        n = min(length, tmp.shape[0])
        out[row_end - n:row_end] = tmp[tmp.shape[0] - n:]
    return out


def same_window(a, b):
    return a.shape == b.shape and np.array_equal(a.astype(float), b.astype(float), equal_nan=True)


def per_call(fn, positions, repeat=5):
    return per_call_each([fn], positions, repeat)[0]


def per_call_each(fns, positions, repeat=5):
    """Best time per call of each fn over `positions`, the fns taking turns
    round by round, so that a slow phase of the machine hits them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            def calls(fn=fn):
                for p in positions:
                    fn(p)
            seconds, _ = best_time(calls, 1)
            best[k] = min(best[k], seconds / len(positions))
    return best


def window_cases(regs):
    """(label, reg_idx, length, fill_up) of each window measured."""
    for reg_name, reg_idx in (("15-minute", regs[1]), ("daily", regs[3])):
        for length in (20, 100):
            for fill_up in (True, False):
                yield ("%s x%d %s" % (reg_name, length, "filled" if fill_up else "real"),
                       reg_idx, length, fill_up)


HISTORY_FUNCTIONS = ("get_k_data_multi", "get_trading_time", "get_trading_days")


@contextlib.contextmanager
def serving(market):
    """The module's history functions replaced by the market's fakes."""
    saved = {name: getattr(_regora, name) for name in HISTORY_FUNCTIONS}
    try:
        for name in saved:
            setattr(_regora, name, getattr(market, name))
        yield
    finally:
        for name, value in saved.items():
            setattr(_regora, name, value)


def compare_window(report, label, reg_idx, length, fill_up, positions):
    """Checks the window against the numpy/Python one, prints the per-call
    times of ours, that and np.full, and returns them."""
    checks = all(same_window(_regora.get_reg_k_data(reg_idx, int(p), length, fill_up),
                             python_window(reg_idx, int(p), length, fill_up))
                 for p in positions[:20])
    report.check("%s equals the numpy/Python window" % label, checks)
    shape = (length * reg_idx.shape[0], 2 + gv.KMatrix_Bar_Len)
    ours, plain, bare = per_call_each(
        [lambda p: _regora.get_reg_k_data(reg_idx, int(p), length, fill_up),
         lambda p: python_window(reg_idx, int(p), length, fill_up),
         lambda p: np.full(shape, np.nan, dtype=object)], positions)
    report.line("%-22s ours %7.1f us | numpy/Python %7.1f us | np.full %6.1f us" % (
        label, ours * 1e6, plain * 1e6, bare * 1e6))
    return ours, plain, bare


def mixed_window(report, targets, days, positions):
    """The 15-minute x20 real-bar window over a market where every other target
    trades no night session (a new run: the main market's is gone after)."""
    market = Market(targets, days, day_only_every=2)
    cache_enabled = cnt.env.cache_enabled
    # the synthesis cache is keyed by targets and dates, which this market shares
    cnt.env.cache_enabled = False
    try:
        with serving(market):
            new_run(market)
            reg_idx = register_all()[1]
            report.section("get_reg_k_data, every other target without night session, %d targets"
                           % targets)
            ours, _, bare = compare_window(report, "15-minute x20 real", reg_idx, 20, False,
                                           positions)
            report.line("np.full over ours: %.2f" % (bare / ours))
    finally:
        cnt.env.cache_enabled = cache_enabled


def run(report):
    targets = 10 if report.quick else 50
    days = 10 if report.quick else 63
    market = Market(targets, days)
    root = tempfile.mkdtemp(prefix="telvar-bench-regora-")
    old_root = cnt.env.fm.root
    try:
        cnt.env.fm.set_root(root)
        with serving(market):
            run_market(report, market, targets, days)
    finally:
        cnt.env.fm.set_root(old_root)
        cnt.reset()
        shutil.rmtree(root, ignore_errors=True)


def run_market(report, market, targets, days):
    """The benchmark's sections, with the market's fakes installed."""
    report.section("registration: %d instruments x %d days of 1-minute bars (%d bars)" % (
        targets, days, market.times.size))
    for label in ("cold", "cached"):
        new_run(market)
        seconds, _ = best_time(register_all, repeat=1)
        report.line("register 5/15/60-minute and daily bars, %-6s %8.1f ms" % (label, seconds * 1e3))
    regs = register_all()
    n_bars = market.times.size

    report.section("get_reg_k_data per call, %d targets" % targets)
    # consecutive bar positions, as a back-test reads them (windows of
    # neighbouring bars overlap); random positions for comparison below
    count = 60 if report.quick else 300
    positions = np.arange(n_bars // 2, n_bars // 2 + count)
    rng = np.random.default_rng(3)
    random_positions = rng.integers(0, n_bars, count)
    for label, reg_idx, length, fill_up in window_cases(regs):
        ours, plain, bare = compare_window(report, label, reg_idx, length, fill_up, positions)
        report.target("%s: numpy/Python over ours" % label, plain / ours, 10)
        report.target("%s: np.full over ours (>= 0.67 is within 1.5x)" % label,
                      bare / ours, 1 / 1.5)

    # Random positions make columns afresh and churn the table of shared
    # floats; measured after all the above so as not to leave the next
    # window's objects scattered through memory.
    report.section("get_reg_k_data per call at random positions (columns made afresh)")
    for label, reg_idx, length, fill_up in window_cases(regs):
        scattered = per_call(lambda p: _regora.get_reg_k_data(reg_idx, int(p), length, fill_up),
                             random_positions)
        report.line("%-22s ours %7.1f us" % (label, scattered * 1e6))

    report.section("back-test reading three windows per bar")
    bars = min(n_bars, 2000 if report.quick else 20000)

    def backtest():
        for p in range(bars):
            _regora.get_reg_k_data(regs[0], p, 20, True)
            _regora.get_reg_k_data(regs[1], p, 20, False)
            _regora.get_reg_k_data(regs[3], p, 5, True)

    seconds, _ = best_time(backtest, repeat=1)
    report.line("%d bars x %d targets: %.0f bars/s" % (bars, targets, bars / seconds))

    mixed_window(report, targets, days, positions)
