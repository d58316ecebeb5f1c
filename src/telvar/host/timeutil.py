"""Time values of the host: integer dates, epoch minutes and serial day numbers.

Bar times travel as MATLAB-style serial day numbers (float days, ``floor`` is
the calendar day, datenum = proleptic ordinal + 366).  Inside the host, times
are kept as integer minutes since 1970-01-01 so that slots and stored bars
match exactly; they are turned into day numbers only when written out.
"""
from __future__ import annotations

import datetime as _dt

import numpy as np

EPOCH_DATENUM = 719529  # datenum of 1970-01-01
MINUTES_PER_DAY = 1440


def int_to_date(d: int) -> _dt.date:
    d = int(d)
    return _dt.date(d // 10000, d // 100 % 100, d % 100)


def date_to_int(d: _dt.date) -> int:
    return d.year * 10000 + d.month * 100 + d.day


def int_date_to_datenum(d) -> np.ndarray | float:
    """YYYYMMDD (scalar or array) -> serial day number of the day's midnight."""
    arr = np.asarray(d, dtype=np.int64)
    days = int_date_to_epoch_day(arr)
    out = days.astype(np.float64) + EPOCH_DATENUM
    return float(out) if out.ndim == 0 else out


def int_date_to_epoch_day(d) -> np.ndarray:
    arr = np.asarray(d, dtype=np.int64)
    y, m, dd = arr // 10000, arr // 100 % 100, arr % 100
    # datetime64 arithmetic keeps this vectorised and exact.
    base = (y - 1970).astype("datetime64[Y]").astype("datetime64[M]") + (m - 1).astype("timedelta64[M]")
    return (base.astype("datetime64[D]") + (dd - 1).astype("timedelta64[D]")).astype(np.int64)


def epoch_day_to_int_date(days) -> np.ndarray:
    d64 = np.asarray(days, dtype=np.int64).astype("datetime64[D]")
    y = d64.astype("datetime64[Y]").astype(np.int64) + 1970
    m = d64.astype("datetime64[M]").astype(np.int64) % 12 + 1
    dd = (d64 - d64.astype("datetime64[M]").astype("datetime64[D]")).astype(np.int64) + 1
    return y * 10000 + m * 100 + dd


def minutes_to_datenum(minutes) -> np.ndarray:
    """Epoch minutes (int64) -> serial day numbers (float64)."""
    m = np.asarray(minutes, dtype=np.int64)
    return (m // MINUTES_PER_DAY + EPOCH_DATENUM).astype(np.float64) + (m % MINUTES_PER_DAY) / MINUTES_PER_DAY


def datenum_to_minutes(t) -> np.ndarray:
    """Serial day numbers -> epoch minutes, rounded to the nearest minute."""
    t = np.asarray(t, dtype=np.float64)
    return np.rint((t - EPOCH_DATENUM) * MINUTES_PER_DAY).astype(np.int64)


def seconds_to_datenum(seconds) -> np.ndarray:
    s = np.asarray(seconds, dtype=np.int64)
    return (s // 86400 + EPOCH_DATENUM).astype(np.float64) + (s % 86400) / 86400.0


def datetime64_to_minutes(ts) -> np.ndarray:
    return np.asarray(ts).astype("datetime64[m]").astype(np.int64)


def datetime64_to_seconds(ts) -> np.ndarray:
    return np.asarray(ts).astype("datetime64[s]").astype(np.int64)
