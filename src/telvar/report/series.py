"""The run's curves as a report draws them: time labels, down-sampling, drawdown and monthly returns.

Long series are down-sampled for display only: the bars are cut into
buckets and each bucket keeps its lowest and highest point (so peaks and
troughs stay where they are), plus the points the caller must keep (each
trading day's last bar). Tables keep every number.
"""
import numpy as np
import pandas as pd

MAX_POINTS = 4000
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def time_labels(times, daily):
    """Texts of bar times for a category axis: dates for one bar a day, else date and minute."""
    times = pd.DatetimeIndex(pd.to_datetime(times))
    return list(times.strftime("%Y-%m-%d" if daily else "%Y-%m-%d %H:%M"))


def envelope_indices(values, keep=(), max_points=MAX_POINTS):
    """Sorted positions of ``values`` to draw: all of them when few, else each bucket's lowest and
    highest (NaN ignored) with the first, the last and ``keep``."""
    values = np.asarray(values, dtype=np.float64)
    n = values.size
    keep = np.asarray(keep, dtype=np.int64)
    if n <= max_points:
        return np.arange(n)
    buckets = max(1, (max_points - keep.size) // 2)
    edges = np.linspace(0, n, buckets + 1).astype(np.int64)
    chosen = [np.array([0, n - 1]), keep]
    for lo, hi in zip(edges[:-1], edges[1:]):
        part = values[lo:hi]
        if hi <= lo or np.isnan(part).all():
            continue
        chosen.append(np.array([lo + np.nanargmin(part), lo + np.nanargmax(part)]))
    return np.unique(np.concatenate(chosen))


def drawdown(equity, capital):
    """Fall of ``equity`` below its running peak (the capital counts as the first peak), a fraction <= 0."""
    equity = np.asarray(equity, dtype=np.float64)
    peaks = np.maximum.accumulate(np.r_[float(capital), equity])[1:]
    return equity / peaks - 1.0


def monthly_returns(dates, equity, capital):
    """(years, a years x 12 grid of monthly returns with NaN where the run has no day, yearly returns).

    A month's return is its last equity over the previous month's last (the
    capital before the first month), so the months compound to the total.
    """
    dates = np.asarray(dates, dtype=np.int64)
    equity = np.asarray(equity, dtype=np.float64)
    if dates.size == 0:
        return [], np.zeros((0, 12)), []
    frame = pd.DataFrame({"month": dates // 100, "equity": equity})
    month_end = frame.groupby("month", sort=True)["equity"].last()
    before = np.r_[float(capital), month_end.to_numpy()[:-1]]
    returns = month_end.to_numpy() / before - 1.0
    years = sorted({int(m) // 100 for m in month_end.index})
    grid = np.full((len(years), 12), np.nan)
    for month, value in zip(month_end.index, returns):
        grid[years.index(int(month) // 100), int(month) % 100 - 1] = value
    year_end = frame.assign(year=dates // 10000).groupby("year", sort=True)["equity"].last()
    yearly = year_end.to_numpy() / np.r_[float(capital), year_end.to_numpy()[:-1]] - 1.0
    return years, grid, list(yearly)


__all__ = ["time_labels", "envelope_indices", "drawdown", "monthly_returns", "MONTHS", "MAX_POINTS"]
