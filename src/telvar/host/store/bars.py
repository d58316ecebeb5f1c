"""Bar arithmetic of the host: combining, adjusting (placing and filling: placement.py).

Field rows are Open, High, Low, Close, Volume, TurnOver, OpenInterest.
"""
from __future__ import annotations

import numpy as np

from telvar.kestrum import numkern

FIELDS = ("Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest")
N_FIELDS = len(FIELDS)
OPEN, HIGH, LOW, CLOSE, VOLUME, TURNOVER, OI = range(N_FIELDS)


def combine(m: np.ndarray, group_end: np.ndarray) -> np.ndarray:
    """Combine consecutive columns into bars; ``group_end`` marks the last column of each bar.

    The bar kernels' arithmetic (``numkern.tvCalcCombineMatrixHtoL``): NaN skipped,
    open, high and low from the traded bars only (first, max, min), close last, volume
    and turnover sums, open interest last; a bar without a traded bar is a filled bar
    at its last close, and a bar whose values are all NaN stays NaN. Which bars traded
    is judged over the whole of ``m`` (see ``traded``).
    """
    n = m.shape[1]
    if n == 0:
        return m.copy()
    ends = np.flatnonzero(group_end)
    if ends.size == 0 or ends[-1] != n - 1:
        ends = np.r_[ends, n - 1]
    starts = np.r_[0, ends[:-1] + 1]
    return numkern.tvCalcCombineMatrixHtoL(m, np.empty((0, ends.size)), starts, ends, N_FIELDS, 0, 0)


def traded(m: np.ndarray) -> np.ndarray:
    """Which columns of ``m`` (7 field rows, in time order) traded.

    A bar did not trade (it is a filled bar) when its volume is exactly 0 and its
    four prices equal the close of the nearest earlier bar that has one (for the
    first priced bar: when its four prices are equal); every other bar with a close
    traded, so data without volumes keeps its prices (``numkern.tvCalcTradedMask``).
    """
    return numkern.tvCalcTradedMask(m, 0, N_FIELDS)[0] if m.shape[1] else np.zeros(0, dtype=bool)


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
