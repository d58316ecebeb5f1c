"""Interim demo: synthetic minute bars combined into 5/15/60-minute bars.

Builds two days of one-minute futures bars (a night session 21:01-23:00 that
belongs to the next trading day, then 09:01-10:15, 10:31-11:30, 13:31-15:00),
lays them out as a K matrix and lets the C++ kernels of telvar.kestrum.numkern
combine them, the way the registration module does: N-minute bars counted per
trading day (a day's last bar always closes a bar), and the bar still forming
at every minute. Run with `make demo` or `python examples/demo.py`.
"""
from datetime import datetime, timedelta

import numpy as np

from telvar.kestrum import numkern

HEAD, BAR = 4, 7  # K matrix: TimeLine, DayPos, FreshIdx, End; then 7 field rows per target
OPEN, HIGH, LOW, CLOSE, VOLUME = range(5)
TARGETS = ["RB2601.SHFE", "CU2512.SHFE"]


def session_minutes():
    """Minutes after midnight of one trading day's bars, night first (negative = evening before)."""
    night = np.arange(21 * 60 + 1, 23 * 60 + 1) - 1440
    day = [np.arange(9 * 60 + 1, 10 * 60 + 16), np.arange(10 * 60 + 31, 11 * 60 + 31),
           np.arange(13 * 60 + 31, 15 * 60 + 1)]
    return np.concatenate([night, *day])


def synthetic_minute_bars(trading_days, seed=7):
    """A filled K matrix: random-walk prices, some minutes without trades
    (volume 0, prices carried from the last close)."""
    rng = np.random.default_rng(seed)
    per_day = session_minutes()
    time_line = np.concatenate([day + per_day / 1440.0 for day in trading_days])
    day_pos = np.tile(np.arange(1.0, per_day.size + 1), len(trading_days))
    n = time_line.size
    matrix = np.zeros((HEAD + BAR * len(TARGETS), n))
    matrix[0], matrix[1], matrix[3] = time_line, day_pos, time_line
    for t, start in enumerate([3650.0, 71200.0]):
        walk = start * np.exp(np.cumsum(rng.normal(0, 0.0006, n)))
        traded = rng.random(n) < 0.85
        traded[0] = True
        close = walk[np.maximum.accumulate(np.where(traded, np.arange(n), 0))]  # last traded price
        opened = np.r_[close[0], close[:-1]]
        wiggle = np.where(traded, np.abs(rng.normal(0, 0.0004, n)), 0) * start
        volume = np.where(traded, rng.integers(5, 400, n), 0).astype(float)
        rows = HEAD + t * BAR
        matrix[rows + OPEN] = np.where(traded, opened, close)
        matrix[rows + HIGH] = np.maximum(matrix[rows + OPEN], close) + wiggle
        matrix[rows + LOW] = np.minimum(matrix[rows + OPEN], close) - wiggle
        matrix[rows + CLOSE] = close
        matrix[rows + VOLUME] = volume
        matrix[rows + 5] = volume * close * 10  # turnover, 10 units a lot
        matrix[rows + 6] = 150000 + np.cumsum(rng.integers(-30, 31, n))  # open interest
    return matrix


def n_minute_bars(matrix, n):
    """Complete n-minute bars: which minutes close one, then each closing
    minute's column holds the whole bar."""
    closes = numkern.tvCalculateFreshMask(matrix[1], 1, n)
    begin, end = numkern.tvCalcRegKDataBeginEndPos(matrix[0], matrix[0][closes], 0)
    return numkern.tvCalcCombineMatrix1toN(matrix, begin, end, BAR, 0)[:, closes]


def clock(t):
    moment = datetime.fromordinal(int(t) - 366) + timedelta(minutes=round((t - int(t)) * 1440))
    return moment.strftime("%m-%d %H:%M")


def print_bars(title, matrix, target, last=None, first_row=HEAD):
    rows = first_row + target * BAR
    cols = range(matrix.shape[1])[-last:] if last else range(matrix.shape[1])
    print(f"\n{title}")
    print(f"  {'bar end':<12} {'open':>9} {'high':>9} {'low':>9} {'close':>9} {'volume':>8}")
    for c in cols:
        o, h, l, cl, v = matrix[rows:rows + 5, c]
        print(f"  {clock(matrix[0, c]):<12} {o:9.1f} {h:9.1f} {l:9.1f} {cl:9.1f} {v:8.0f}")


def main():
    first = datetime(2025, 11, 4).toordinal() + 366  # Tuesday; its night session is Monday evening's
    matrix = synthetic_minute_bars([first, first + 1])
    per_day = session_minutes().size
    print(f"{len(TARGETS)} targets x {matrix.shape[1]} one-minute bars over 2 trading days "
          f"({per_day} minutes a day, night session first)")
    for n in (5, 15, 60):
        bars = n_minute_bars(matrix, n)
        print(f"  {n:>2}-minute bars: {bars.shape[1]:3d} ({bars.shape[1] // 2} a day)")

    hourly = n_minute_bars(matrix, 60)
    print_bars(f"{TARGETS[0]}, 60-minute bars of the second day (the last one is {per_day % 60} minutes)",
               hourly, 0, last=hourly.shape[1] // 2)
    print_bars(f"{TARGETS[1]}, last four 15-minute bars", n_minute_bars(matrix, 15), 1, last=4)

    # The bar still forming: what a strategy on 1-minute bars sees of the
    # current 15-minute bar at every minute.
    bar_ends = matrix[0][numkern.tvCalculateFreshMask(matrix[1], 1, 15)]
    begin, end = numkern.tvCalcRegKDataBeginEndPos(matrix[0], bar_ends, 0)
    forming = numkern.tvCalcDataValueFresh(matrix, begin, end, BAR, len(TARGETS), 0)
    print_bars(f"{TARGETS[0]}, the first 15-minute bar of day two as it forms, minute by minute",
               forming[:, per_day:per_day + 15], 0, first_row=1)


if __name__ == "__main__":
    main()
