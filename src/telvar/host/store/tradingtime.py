"""Trading calendars, trading sessions and minute slots.

A trading day's minute slots are the bar end times of its sessions: a session
09:30-11:30 has slots 09:31 ... 11:30.  A night session belongs to the next
trading day.  Where it is held is a property of the sessions (``night_on``):

- ``trading_day``: on the evening of the previous *trading* day (past midnight
  for sessions ending after 24:00), as the Chinese exchanges hold Monday's
  night session on Friday evening;
- ``calendar_day``: on the evening of the calendar day before, as markets that
  trade through midnight hold Monday's session on Sunday evening.

Undeclared, it is ``calendar_day`` when a night session closes where another
session of the same sessions opens (trading runs on through the night, e.g.
21:00-24:00 followed by 00:00-21:00), else ``trading_day``.

The calendar's ``night`` flag says whether a day's night session is held.
Undeclared (NULL), it is held for ``trading_day`` sessions when only a weekend
lies between the day and the trading day before (none after a holiday), and
always for ``calendar_day`` sessions.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from telvar.common.timeconv import MINUTES_PER_DAY, epoch_day_weekday, int_date_to_epoch_day, minutes_to_datenum

TRADING_DAY, CALENDAR_DAY = "trading_day", "calendar_day"
NIGHT_ON = (TRADING_DAY, CALENDAR_DAY)
_CHUNK_DAYS = 512  # trading days per slot line when matching times, so that long files need little memory


@dataclass(frozen=True)
class Session:
    start: int  # HHMM
    end: int    # HHMM; not after start when the session runs past midnight (2400 is midnight)
    night: bool
    night_on: str | None = None  # where night sessions are held; None: the default rule

    @property
    def offsets(self) -> tuple[int, int]:
        """Open and close in minutes after the midnight the session starts from."""
        a, b = _hhmm_to_minutes(self.start), _hhmm_to_minutes(self.end)
        return a, b + MINUTES_PER_DAY if b <= a else b


def _hhmm_to_minutes(v: int) -> int:
    return (v // 100) * 60 + v % 100


def night_mode(sessions: list[Session]) -> str:
    """Where the night sessions of ``sessions`` are held: ``trading_day`` or ``calendar_day``."""
    declared = {s.night_on for s in sessions if s.night_on}
    if len(declared) > 1:
        raise ValueError(f"sessions declare night_on both {' and '.join(sorted(declared))}")
    if declared:
        return declared.pop()
    opens = {s.offsets[0] % MINUTES_PER_DAY for s in sessions}
    for s in sessions:
        if s.night and s.offsets[1] % MINUTES_PER_DAY in opens:
            return CALENDAR_DAY
    return TRADING_DAY


def closes_at_midnight(minutes: np.ndarray, trade_days: np.ndarray) -> np.ndarray:
    """Slots at midnight that close a session of the day before (a session 00:00-24:00).

    Their bars are stamped just before midnight, so that ``floor`` of a day
    bar's time is its trading day.
    """
    minutes = np.asarray(minutes, np.int64)
    out = np.zeros(minutes.size, bool)
    at = np.flatnonzero(minutes % MINUTES_PER_DAY == 0)
    if at.size:
        out[at] = int_date_to_epoch_day(np.asarray(trade_days)[at]) < minutes[at] // MINUTES_PER_DAY
    return out


MIDNIGHT_CLOSE_BEFORE = 1.0 / 86_400_000  # 1 ms in days


def bar_datenums(minutes: np.ndarray, trade_days: np.ndarray) -> np.ndarray:
    """Serial day numbers of bar times: clock times, a session close at midnight 1 ms before it."""
    t = minutes_to_datenum(minutes)
    t[closes_at_midnight(minutes, trade_days)] -= MIDNIGHT_CLOSE_BEFORE
    return t


def night_is_open(prev_day: int, day: int) -> bool:
    """A night session is held for ``day`` when only a weekend lies between it and the day before."""
    a, b = int_date_to_epoch_day([prev_day, day])
    gap = np.arange(a + 1, b)
    return bool(np.all(epoch_day_weekday(gap) >= 5))


def _night_flags(values, n: int) -> tuple[np.ndarray, np.ndarray]:
    """(flag, declared) arrays from booleans that may hold None, NaN or masked entries."""
    if values is None:
        return np.zeros(n, bool), np.zeros(n, bool)
    if np.ma.isMaskedArray(values):
        raw, declared = np.ma.getdata(values), ~np.ma.getmaskarray(values)
    else:
        raw = np.asarray(values, dtype=object)
        declared = ~pd.isna(raw)
    flags = np.zeros(n, bool)
    flags[declared] = np.asarray(raw)[declared].astype(bool)
    return flags, np.asarray(declared, bool).reshape(n)


class Calendar:
    """The trading days of one market with their night flags (declared, or None for the default)."""

    def __init__(self, days, nights=None):
        days = np.asarray(days, dtype=np.int64)
        order = np.argsort(days, kind="stable")
        flags, declared = _night_flags(nights, days.size)
        self.days = days[order]
        self.night_flags, self.night_declared = flags[order], declared[order]
        self.epoch_days = int_date_to_epoch_day(self.days) if self.days.size else np.zeros(0, np.int64)
        self._held: dict[str, np.ndarray] = {}

    @property
    def nights(self) -> np.ndarray:
        """Whether each day's night session is held on the evening of the trading day before."""
        return self.held_nights(TRADING_DAY)

    def held_nights(self, mode: str) -> np.ndarray:
        held = self._held.get(mode)
        if held is None:
            if mode == CALENDAR_DAY:
                default = np.ones(self.days.size, bool)
            else:
                gap_workdays = np.ones(self.days.size, np.int64)  # the first day has no day before
                if self.days.size > 1:
                    d = self.epoch_days.astype("datetime64[D]")
                    gap_workdays[1:] = np.busday_count(d[:-1] + 1, d[1:])
                default = gap_workdays == 0
            held = self._held[mode] = np.where(self.night_declared, self.night_flags, default)
            if mode == TRADING_DAY and held.size:
                held[0] = False  # no trading day before the first one to hold it on
        return held

    def between(self, begin: int, end: int) -> np.ndarray:
        lo = np.searchsorted(self.days, begin, side="left")
        hi = np.searchsorted(self.days, end, side="right")
        return np.arange(lo, hi)

    def night_base(self, mode: str, i: int) -> int | None:
        """Epoch day whose evening holds the night session of calendar position ``i`` (None: not held)."""
        if not self.held_nights(mode)[i]:
            return None
        return int(self.epoch_days[i] - 1 if mode == CALENDAR_DAY else self.epoch_days[i - 1])

    def slots(self, sessions: list[Session], idx: np.ndarray):
        """Minute slots (epoch minutes) and their trading days for calendar positions ``idx``."""
        day_parts, night_parts = [], []
        for s in sessions:
            a, b = s.offsets
            offs = np.arange(a + 1, b + 1, dtype=np.int64)
            (night_parts if s.night else day_parts).append(offs)
        day_offs = np.concatenate(day_parts) if day_parts else np.zeros(0, np.int64)
        night_offs = np.concatenate(night_parts) if night_parts else np.zeros(0, np.int64)
        mode = night_mode(sessions)
        times, tdays = [], []
        for i in idx:
            night = self.night_base(mode, i) if night_offs.size else None
            if night is not None:
                times.append(night * MINUTES_PER_DAY + night_offs)
                tdays.append(np.full(night_offs.size, self.days[i]))
            base = self.epoch_days[i] * MINUTES_PER_DAY
            times.append(base + day_offs)
            tdays.append(np.full(day_offs.size, self.days[i]))
        if not times:
            return np.zeros(0, np.int64), np.zeros(0, np.int64)
        return np.concatenate(times), np.concatenate(tdays)

    def session_spans(self, sessions: list[Session], idx: np.ndarray):
        """(open, close, trading day) of every session held on calendar positions ``idx``, by open time."""
        mode = night_mode(sessions)
        opens, closes, tdays = [], [], []
        for i in idx:
            night = self.night_base(mode, i)
            for s in sessions:
                base = self.epoch_days[i] if not s.night else night
                if base is None:
                    continue
                a, b = s.offsets
                opens.append(base * MINUTES_PER_DAY + a)
                closes.append(base * MINUTES_PER_DAY + b)
                tdays.append(self.days[i])
        order = np.argsort(np.asarray(opens, np.int64), kind="stable")
        return (np.asarray(opens, np.int64)[order], np.asarray(closes, np.int64)[order],
                np.asarray(tdays, np.int64)[order])

    def close_minutes(self, sessions: list[Session], idx: np.ndarray) -> np.ndarray:
        """The last slot of each trading day: the stamp of its day bar."""
        day_sessions = [s for s in sessions if not s.night]
        last = max(s.offsets[1] for s in day_sessions) if day_sessions else MINUTES_PER_DAY - 1
        return self.epoch_days[idx] * MINUTES_PER_DAY + last


def calendar_range(cal: Calendar, epoch_days: np.ndarray) -> np.ndarray:
    """Calendar positions whose sessions may hold times on ``epoch_days`` (a night session belongs to a later day)."""
    lo = int(np.searchsorted(cal.epoch_days, epoch_days.min() - 1, "left")) - 1
    hi = int(np.searchsorted(cal.epoch_days, epoch_days.max() + 1, "right")) + 1
    return np.arange(max(lo, 0), min(hi, cal.days.size))


def minute_trading_days(cal: Calendar, sessions: list[Session], minutes: np.ndarray) -> np.ndarray:
    """Trading day of every bar end (epoch minutes); 0 where it is no slot of a held session."""
    out = np.zeros(minutes.size, np.int64)
    if minutes.size == 0 or cal.days.size == 0:
        return out
    idx = calendar_range(cal, minutes // MINUTES_PER_DAY)
    for start in range(0, idx.size, _CHUNK_DAYS):
        slots, tdays = cal.slots(sessions, idx[start:start + _CHUNK_DAYS])
        if slots.size == 0:
            continue
        slots, first = np.unique(slots, return_index=True)
        tdays = tdays[first]
        inside = np.flatnonzero((minutes >= slots[0]) & (minutes <= slots[-1]))
        pos = np.searchsorted(slots, minutes[inside])
        hit = slots[np.minimum(pos, slots.size - 1)] == minutes[inside]
        out[inside[hit]] = tdays[pos[hit]]
    return out


def period_keys(days: np.ndarray, freq: str) -> np.ndarray:
    """An integer per trading day (YYYYMMDD), equal for the days of one week, month or year."""
    if freq == "year":
        return days // 10000
    if freq == "month":
        return days // 100
    # Monday-based week number from the epoch
    return (int_date_to_epoch_day(days) + 3) // 7


def day_positions(trade_days: np.ndarray) -> np.ndarray:
    """1-based position of every slot within its trading day (slots sorted by time)."""
    n = trade_days.size
    if n == 0:
        return np.zeros(0, np.int64)
    starts = np.flatnonzero(np.r_[True, trade_days[1:] != trade_days[:-1]])
    pos = np.arange(n) - np.repeat(starts, np.diff(np.r_[starts, n])) + 1
    return pos.astype(np.int64)
