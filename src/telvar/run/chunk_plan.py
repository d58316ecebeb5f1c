"""Which consecutive sub-ranges a chunked back-test runs, and where each one's data start.

A chunk is a run of whole trading days of the back-test (``begin_date`` ..
``end_date``): a calendar month, a week (Monday to Sunday) or N trading days.
Its minute data start ``warmup`` trading days before its first day, earlier
when a forming bar of a day-based registration needs them: the bar of a week,
month, year or N-day period still forming at the chunk's first bar is combined
from the minutes since the period's first day, so the data start there. Day
and coarser data cover the whole run in every chunk (they are small).

``chunk=None`` picks a size from an estimate of the memory a run needs
(``auto_chunk``): none when the whole run fits the budget, else months, or
weeks when a month does not fit.
"""
import datetime
import os

import numpy as np

# bytes one target's bar of 1-minute data takes (7 float64 fields)
BYTES_PER_TARGET_BAR = 56
# a run's peak as a multiple of its raw minute data: the set-up, four registrations and a window
PEAK_PER_RAW = 8.0
SIZES = ("month", "week")


def memory_budget():
    """Bytes a run may take: $TELVAR_RUN_MEMORY_BYTES, else half the physical memory."""
    given = os.environ.get("TELVAR_RUN_MEMORY_BYTES")
    if given:
        return int(given)
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2
    except (ValueError, OSError, AttributeError):
        return 8 << 30


def estimated_peak(targets, minute_bars):
    """Bytes a run over ``minute_bars`` strategy bars of ``targets`` targets is expected to peak at."""
    return int(targets * minute_bars * BYTES_PER_TARGET_BAR * PEAK_PER_RAW)


def check_chunk(chunk):
    """The chunk size as given, checked: None, 0 (never), 'month', 'week' or a number of trading days."""
    if chunk is None or chunk in SIZES:
        return chunk
    if isinstance(chunk, (bool, np.bool_)) or not isinstance(chunk, (int, np.integer)) or chunk < 0:
        raise ValueError("chunk must be None (chosen by the run's size), 0 (one piece), 'month', 'week' or "
                         "a number of trading days, got %r" % (chunk,))
    return int(chunk)


def auto_chunk(targets, day_of_bar, budget=None, minutes_per_bar=1):
    """The chunk size for ``targets`` targets over strategy bars whose trading days are ``day_of_bar``
    (each ``minutes_per_bar`` one-minute bars): 0 when the whole run fits ``budget`` (see
    ``memory_budget``), else 'month', else 'week'."""
    budget = memory_budget() if budget is None else budget
    if estimated_peak(targets, len(day_of_bar) * minutes_per_bar) <= budget:
        return 0
    days, bars_per_day = np.unique(np.asarray(day_of_bar, dtype=np.int64), return_counts=True)
    for size in SIZES:
        _, chunk_of_day = np.unique(_group_keys(days, size), return_inverse=True)
        largest = int(np.bincount(chunk_of_day, weights=bars_per_day).max()) * minutes_per_bar
        if estimated_peak(targets, largest) <= budget:
            return size
    return "week"


def _group_keys(days, size):
    """A key per trading day (YYYYMMDD) that is equal within one chunk."""
    days = np.asarray(days, dtype=np.int64)
    if size == "month":
        return days // 100
    if size == "week":
        def monday(d):
            day = datetime.date(int(d) // 10000, int(d) // 100 % 100, int(d) % 100)
            return (day - datetime.timedelta(days=day.weekday())).toordinal()
        return np.array([monday(d) for d in days], dtype=np.int64)
    return np.arange(days.size) // size


def split_days(days, chunk):
    """Consecutive (first, last) trading days of each chunk of ``days`` (ascending YYYYMMDD)."""
    days = np.asarray(days, dtype=np.int64)
    if days.size == 0:
        return []
    if not chunk:
        return [(int(days[0]), int(days[-1]))]
    keys = _group_keys(days, chunk)
    starts = np.r_[0, np.flatnonzero(keys[1:] != keys[:-1]) + 1]
    ends = np.r_[starts[1:] - 1, days.size - 1]
    return [(int(days[s]), int(days[e])) for s, e in zip(starts, ends)]


def data_start(all_days, first_day, warmup, period_starts=()):
    """The first trading day of a chunk's minute data: ``warmup`` trading days before ``first_day``, or
    the earliest of ``period_starts`` (days whose minutes a forming bar needs) when earlier; never before
    the run's first day ``all_days[0]``."""
    all_days = np.asarray(all_days, dtype=np.int64)
    at = int(np.searchsorted(all_days, first_day))
    start = int(all_days[max(0, at - warmup)])
    for day in period_starts:
        start = min(start, int(day))
    return max(start, int(all_days[0]))


def period_start(item_days, all_days, day):
    """The first trading day of the bar of a day-based item that holds trading day ``day``.

    ``item_days``: the trading day (YYYYMMDD) each bar of the item is stamped with (its last day),
    ascending; ``all_days``: the run's trading days. A bar starts the trading day after the previous
    bar's last day; the item's first bar starts at the run's first day.
    """
    item_days = np.asarray(item_days, dtype=np.int64)
    all_days = np.asarray(all_days, dtype=np.int64)
    k = int(np.searchsorted(item_days, day))  # the first bar ending on or after the day
    if k == 0:
        return int(all_days[0])
    after = int(np.searchsorted(all_days, item_days[k - 1], side="right"))
    return int(all_days[min(after, all_days.size - 1)])


__all__ = ["check_chunk", "auto_chunk", "split_days", "data_start", "period_start", "memory_budget",
           "estimated_peak"]
