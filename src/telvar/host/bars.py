"""Bar arithmetic of the host: placing bars on slots, filling, combining, adjusting.

Field rows are Open, High, Low, Close, Volume, TurnOver, OpenInterest.
"""
from __future__ import annotations

import numpy as np

FIELDS = ("Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest")
N_FIELDS = len(FIELDS)
OPEN, HIGH, LOW, CLOSE, VOLUME, TURNOVER, OI = range(N_FIELDS)


def place(slots: np.ndarray, bar_keys: np.ndarray, values: np.ndarray) -> np.ndarray:
    """A (7, len(slots)) matrix with each bar in its slot and NaN elsewhere.

    Bars whose key is not a slot are dropped (they lie outside the time line).
    """
    out = np.full((N_FIELDS, slots.size), np.nan)
    if bar_keys.size == 0 or slots.size == 0:
        return out
    pos = np.searchsorted(slots, bar_keys)
    pos_c = np.minimum(pos, slots.size - 1)
    ok = slots[pos_c] == bar_keys
    out[:, pos_c[ok]] = values[:, ok]
    return out


def fill(m: np.ndarray, inplace: bool = False) -> np.ndarray:
    """Filled bars: an empty slot after the first trade repeats the last close with volume 0."""
    if not inplace:
        m = m.copy()
    traded = ~np.isnan(m[CLOSE])
    idx = np.where(traded, np.arange(m.shape[1]), -1)
    last = np.maximum.accumulate(idx) if idx.size else idx
    gap = ~traded & (last >= 0)
    if gap.any():
        src = last[gap]
        for r in (OPEN, HIGH, LOW, CLOSE):
            m[r, gap] = m[CLOSE, src]
        m[VOLUME, gap] = 0.0
        m[TURNOVER, gap] = 0.0
        m[OI, gap] = m[OI, src]
    return m


def combine(m: np.ndarray, group_end: np.ndarray) -> np.ndarray:
    """Combine consecutive columns into bars; ``group_end`` marks the last column of each bar.

    NaN values are skipped: open first, high max, low min, close last, volume and
    turnover sums, open interest last; a bar whose values are all NaN stays NaN.
    """
    n = m.shape[1]
    if n == 0:
        return m.copy()
    ends = np.flatnonzero(group_end)
    if ends.size == 0 or ends[-1] != n - 1:
        ends = np.r_[ends, n - 1]
    starts = np.r_[0, ends[:-1] + 1]
    out = np.full((m.shape[0], ends.size), np.nan)
    for r in range(m.shape[0]):
        v = m[r]
        ok = ~np.isnan(v)
        if r == OPEN:  # the first value of the group: smallest column index holding one
            first = np.minimum.reduceat(np.where(ok, np.arange(n), n), starts)
            has = first < n
            out[r, has] = v[first[has]]
        elif r in (CLOSE, OI):  # the last value: largest column index holding one
            last = np.maximum.reduceat(np.where(ok, np.arange(n), -1), starts)
            has = last >= 0
            out[r, has] = v[last[has]]
        elif r == HIGH:
            out[r] = _reduce(np.fmax, v, starts, ok)
        elif r == LOW:
            out[r] = _reduce(np.fmin, v, starts, ok)
        else:
            s = np.add.reduceat(np.where(ok, v, 0.0), starts)
            cnt = np.add.reduceat(ok.astype(np.int64), starts)
            out[r] = np.where(cnt > 0, s, np.nan)
    return out


def _reduce(ufunc, v, starts, ok):
    r = ufunc.reduceat(v, starts)
    cnt = np.add.reduceat(ok.astype(np.int64), starts)
    return np.where(cnt > 0, r, np.nan)


def adjustment_multipliers(trade_dates: np.ndarray, ex_dates: np.ndarray, ratios: np.ndarray,
                           mode: str) -> np.ndarray:
    """Price multipliers per bar for forward ("FWard") or backward ("BWard") adjustment.

    Forward keeps the latest prices and scales earlier ones by the ratios of the
    later ex-dates; backward keeps the earliest prices and divides later ones by
    the ratios of the ex-dates at or before them.
    """
    if ex_dates.size == 0 or mode == "NA":
        return np.ones(trade_dates.size)
    order = np.argsort(ex_dates)
    ex_dates, ratios = ex_dates[order], ratios[order]
    cum = np.r_[1.0, np.cumprod(ratios)]  # product of ratios of the first k events
    k = np.searchsorted(ex_dates, trade_dates, side="right")  # events at or before the day
    if mode == "FWard":
        return cum[-1] / cum[k]
    return 1.0 / cum[k]
