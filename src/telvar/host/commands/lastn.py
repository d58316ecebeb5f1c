"""How far back a last-N bar read starts: whole bars from the calendar and sessions.

The window holds exactly the trading days of the ``count`` newest bars when
every slot has a bar: whole trading days for intraday bars (N-unit bars are
counted per trading day, a day's last bar closes a bar), ``count * units``
trading days for day bars, and the whole weeks, months or years of the
``count * units`` newest periods.  So the oldest bar of the window is complete.
"""
from __future__ import annotations

import numpy as np

from ..store.tradingtime import Calendar, Session, night_mode, period_keys


def last_position(cal: Calendar, end: int) -> int:
    """Calendar position of the last trading day on or before ``end`` (-1: none)."""
    return int(np.searchsorted(cal.days, end, side="right")) - 1


def _bars_per_day(cal: Calendar, sessions: list[Session], units: int, upto: int) -> np.ndarray:
    day_slots = sum(b - a for a, b in (s.offsets for s in sessions if not s.night))
    night_slots = sum(b - a for a, b in (s.offsets for s in sessions if s.night))
    held = cal.held_nights(night_mode(sessions))[:upto + 1] if night_slots else np.zeros(upto + 1, bool)
    slots = day_slots + night_slots * held.astype(np.int64)
    return -(-slots // units)  # a day's last bar closes a bar


def window_start(cal: Calendar, sessions: list[Session], freq: str, units: int, count: int, last: int) -> int:
    """Calendar position of the first trading day of the window of ``count`` bars ending at ``last``."""
    if freq == "min":
        per_day = _bars_per_day(cal, sessions, units, last)
        # newest days first: the first day at which the bars counted back reach ``count``
        reached = np.flatnonzero(np.cumsum(per_day[::-1]) >= count)
        return max(0, last - int(reached[0])) if reached.size else 0
    periods = count * units
    if freq == "day":
        return max(0, last - periods + 1)
    keys = period_keys(cal.days[:last + 1], freq)
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])  # first day of each period
    return int(starts[-periods]) if starts.size >= periods else 0
