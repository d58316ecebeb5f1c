"""One target's bars with its fills, for the report's candlestick chart.

The bars are read from the host when the report is written (the bars in
which the target traded, at the run's bar size and price adjustment), so a
result keeps no copy of them; ``bars=`` gives them instead. Beyond
``MAX_CANDLES`` bars, consecutive bars of one trading day are merged for
display (first open, highest high, lowest low, last close, summed volume),
in the smallest group size that brings the count under the limit. Each fill
is placed on the candle holding the bar it is attributed to; its exact time
and price go with it.
"""
import re

import numpy as np
import pandas as pd

from telvar.run.curves import to_timestamps

MAX_CANDLES = 2500
GROUP_SIZES = (2, 3, 5, 10, 15, 20, 30, 60, 120, 240, 480, 1000, 2000, 5000)
BAR_COLUMNS = ["time", "open", "high", "low", "close", "volume"]


def pick_target(target, targets, trades):
    """The run's target the chart shows: ``target`` (a 'MARKET.CODE' key, a {'Market', 'Code'} record or an
    index into the run's targets), by default the one with the most fills (not counting rolls)."""
    targets = list(targets)
    if target is None:
        if trades is None or len(trades) == 0:
            return targets[0]
        counts = trades.loc[~trades["roll"].astype(bool), "target"].value_counts()
        if counts.empty:
            return targets[0]
        best = counts.max()
        return next(t for t in targets if counts.get(t, 0) == best)
    if isinstance(target, (int, np.integer)) and not isinstance(target, bool):
        if not -len(targets) <= target < len(targets):
            raise IndexError("target index %d is outside the run's %d targets" % (target, len(targets)))
        return targets[int(target)]
    if isinstance(target, dict):
        target = "%s.%s" % (target.get("Market"), target.get("Code"))
    if not isinstance(target, str):
        raise TypeError("target must be a 'MARKET.CODE' key, a target record or an index, got %r" % (target,))
    key = target.strip().upper()
    if key not in targets:
        raise ValueError("%s is not a target of the run (its targets: %s)" % (target, ", ".join(targets)))
    return key


def bar_size(inputs, summary_frequency):
    """(frequency, count, price adjustment) of the run's bars."""
    if inputs and inputs.get("frequency"):
        return inputs["frequency"], int(inputs.get("freq_num", 1)), inputs.get("fq", "NA")
    m = re.fullmatch(r"(\d+)([a-z]+)", str(summary_frequency or ""))
    if not m:
        raise ValueError("the run's bar size is not known (%r)" % (summary_frequency,))
    return m.group(2), int(m.group(1)), "NA"


def read_bars(key, frequency, freq_num, begin_date, end_date, fq):
    """The target's traded bars between the dates from the attached host, as a DataFrame."""
    from telvar.api.history import _history

    arrays = _history.get_k_data_independent_target([key], frequency, freq_num, int(begin_date),
                                                    int(end_date), False, fq)
    data = np.asarray(arrays[0], dtype=np.float64)
    if data.ndim != 2 or data.shape[0] < 6:
        raise ValueError("the host answered no bars of %s" % key)
    frame = pd.DataFrame(data[:6].T, columns=BAR_COLUMNS)
    frame["time"] = to_timestamps(frame["time"].to_numpy())
    return frame


def checked_bars(bars):
    """Bars given by the caller: the columns of BAR_COLUMNS, sorted by time, rows without prices dropped."""
    missing = [c for c in BAR_COLUMNS if c not in bars.columns]
    if missing:
        raise ValueError("bars need the columns %s; missing %s" % (", ".join(BAR_COLUMNS), ", ".join(missing)))
    out = bars[BAR_COLUMNS].copy()
    out["time"] = pd.to_datetime(out["time"])
    return out.dropna(subset=["open", "high", "low", "close"]).sort_values("time", kind="stable") \
        .reset_index(drop=True)


def group_bars(bars, days):
    """(candles, group of each bar, bars per candle): consecutive bars of a trading day merged."""
    n = len(bars)
    size = 1
    if n > MAX_CANDLES:
        size = GROUP_SIZES[-1]
        for candidate in GROUP_SIZES:
            if np.ceil(n / candidate) + len(np.unique(days)) <= MAX_CANDLES:
                size = candidate
                break
    days = np.asarray(days)
    new_day = np.r_[True, days[1:] != days[:-1]] if n else np.zeros(0, dtype=bool)
    day_start = np.maximum.accumulate(np.where(new_day, np.arange(n), 0)) if n else np.zeros(0, dtype=np.int64)
    within = np.arange(n) - day_start
    key = np.cumsum(new_day | (within % size == 0)) - 1 if n else np.zeros(0, dtype=np.int64)
    grouped = bars.groupby(key, sort=True)
    candles = pd.DataFrame({"time": grouped["time"].last(), "open": grouped["open"].first(),
                            "high": grouped["high"].max(), "low": grouped["low"].min(),
                            "close": grouped["close"].last(), "volume": grouped["volume"].sum()})
    return candles.reset_index(drop=True), key, size


def trading_days_of(times, equity):
    """The trading day of each time: that of the run's bar at or after it (the run's time line)."""
    run_times = pd.DatetimeIndex(equity["time"]).asi8
    at = np.searchsorted(run_times, pd.DatetimeIndex(times).asi8, side="left")
    days = equity["date"].to_numpy()
    return days[np.clip(at, 0, len(days) - 1)]


def fills_on_candles(trades, bar_times, group):
    """The target's fills with the candle each falls on (-1 when outside the bars read)."""
    if len(trades) == 0 or len(bar_times) == 0:
        return trades.assign(candle=np.zeros(len(trades), dtype=np.int64) - 1)
    at = np.searchsorted(pd.DatetimeIndex(bar_times).asi8, pd.DatetimeIndex(trades["time"]).asi8, side="left")
    inside = at < len(bar_times)
    candle = np.where(inside, np.asarray(group)[np.clip(at, 0, len(bar_times) - 1)], -1)
    return trades.assign(candle=candle)


__all__ = ["pick_target", "bar_size", "read_bars", "checked_bars", "group_bars", "trading_days_of",
           "fills_on_candles", "MAX_CANDLES", "BAR_COLUMNS"]
