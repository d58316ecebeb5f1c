"""Trading calendars, trading sessions and minute slots.

A trading day's minute slots are the bar end times of its sessions: a session
09:30-11:30 has slots 09:31 ... 11:30.  Night sessions (start 21:00 or later)
belong to the next trading day: they run on the evening of the previous trading
day (past midnight for sessions ending after 24:00) and only when that night is
open, which it is not before a holiday.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .timeutil import MINUTES_PER_DAY, int_date_to_epoch_day


@dataclass(frozen=True)
class Session:
    start: int  # HHMM
    end: int    # HHMM; smaller than start when the session runs past midnight
    night: bool


def _hhmm_to_minutes(v: int) -> int:
    return (v // 100) * 60 + v % 100


def night_is_open(prev_day: int, day: int) -> bool:
    """A night session is held for ``day`` when only a weekend lies between it and the day before."""
    a, b = int_date_to_epoch_day([prev_day, day])
    gap = np.arange(a + 1, b)
    weekday = (gap + 3) % 7  # 1970-01-01 was a Thursday (weekday 3)
    return bool(np.all(weekday >= 5))


class Calendar:
    """The trading days of one market with their night flags."""

    def __init__(self, days, nights):
        order = np.argsort(days)
        self.days = np.asarray(days, dtype=np.int64)[order]
        self.nights = np.asarray(nights, dtype=bool)[order]
        self.epoch_days = int_date_to_epoch_day(self.days) if self.days.size else np.zeros(0, np.int64)

    def between(self, begin: int, end: int) -> np.ndarray:
        lo = np.searchsorted(self.days, begin, side="left")
        hi = np.searchsorted(self.days, end, side="right")
        return np.arange(lo, hi)

    def slots(self, sessions: list[Session], idx: np.ndarray):
        """Minute slots (epoch minutes) and their trading days for calendar positions ``idx``."""
        day_parts, night_parts = [], []
        for s in sessions:
            a, b = _hhmm_to_minutes(s.start), _hhmm_to_minutes(s.end)
            if b <= a:
                b += MINUTES_PER_DAY
            offs = np.arange(a + 1, b + 1, dtype=np.int64)
            (night_parts if s.night else day_parts).append(offs)
        day_offs = np.concatenate(day_parts) if day_parts else np.zeros(0, np.int64)
        night_offs = np.concatenate(night_parts) if night_parts else np.zeros(0, np.int64)
        times, tdays = [], []
        for i in idx:
            if night_offs.size and i > 0 and self.nights[i]:
                base = self.epoch_days[i - 1] * MINUTES_PER_DAY
                times.append(base + night_offs)
                tdays.append(np.full(night_offs.size, self.days[i]))
            base = self.epoch_days[i] * MINUTES_PER_DAY
            times.append(base + day_offs)
            tdays.append(np.full(day_offs.size, self.days[i]))
        if not times:
            return np.zeros(0, np.int64), np.zeros(0, np.int64)
        return np.concatenate(times), np.concatenate(tdays)

    def close_minutes(self, sessions: list[Session], idx: np.ndarray) -> np.ndarray:
        """The last slot of each trading day: the stamp of its day bar."""
        day_sessions = [s for s in sessions if not s.night]
        last = max(_hhmm_to_minutes(s.end) for s in day_sessions) if day_sessions else MINUTES_PER_DAY - 1
        return self.epoch_days[idx] * MINUTES_PER_DAY + last


def day_positions(trade_days: np.ndarray) -> np.ndarray:
    """1-based position of every slot within its trading day (slots sorted by time)."""
    n = trade_days.size
    if n == 0:
        return np.zeros(0, np.int64)
    starts = np.flatnonzero(np.r_[True, trade_days[1:] != trade_days[:-1]])
    pos = np.arange(n) - np.repeat(starts, np.diff(np.r_[starts, n])) + 1
    return pos.astype(np.int64)
