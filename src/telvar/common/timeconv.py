"""Time conversions of the host and the framework.

Bar times travel as MATLAB-style serial day numbers (float days, ``floor`` is
the calendar day, day number = proleptic ordinal + 366).  Dates are integers
YYYYMMDD.  Inside the host, times are kept as integer minutes (ticks: seconds)
since 1970-01-01 so that slots and stored bars match exactly; they are turned
into day numbers only when written out.

The conversions are vectorised on numpy's datetime64, which keeps them exact;
they take a scalar or an array and do not check their input (the framework's
``utils.datetimefunc`` checks what users pass).
"""
from __future__ import annotations

import datetime as _dt

import numpy as np

SERIAL_DAY_OFFSET = 366  # serial day number - proleptic ordinal
EPOCH_SERIAL_DAY = 719529  # serial day number of 1970-01-01 (numpy's datetime64 epoch)
MINUTES_PER_DAY = 1440
SECONDS_PER_DAY = 86400


def int_to_date(d: int) -> _dt.date:
    d = int(d)
    return _dt.date(d // 10000, d // 100 % 100, d % 100)


def date_to_int(d: _dt.date) -> int:
    """A ``date`` (or ``datetime``) as the integer YYYYMMDD."""
    return d.year * 10000 + d.month * 100 + d.day


def int_date_to_epoch_day(d) -> np.ndarray:
    """YYYYMMDD (scalar or array) -> days since 1970-01-01 (int64)."""
    arr = np.asarray(d, dtype=np.int64)
    y, m, dd = arr // 10000, arr // 100 % 100, arr % 100
    month = (y - 1970).astype("datetime64[Y]").astype("datetime64[M]") + (m - 1).astype("timedelta64[M]")
    return (month.astype("datetime64[D]") + (dd - 1).astype("timedelta64[D]")).astype(np.int64)


def epoch_day_to_ymd(days) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Days since 1970-01-01 -> (year, month, day) int64 arrays."""
    d64 = np.asarray(days, dtype=np.int64).astype("datetime64[D]")
    m64 = d64.astype("datetime64[M]")
    year = m64.astype("datetime64[Y]").astype(np.int64) + 1970
    month = m64.astype(np.int64) % 12 + 1
    day = (d64 - m64.astype("datetime64[D]")).astype(np.int64) + 1
    return year, month, day


def epoch_day_to_int_date(days) -> np.ndarray:
    y, m, d = epoch_day_to_ymd(days)
    return y * 10000 + m * 100 + d


def epoch_day_weekday(days):
    """Monday 0 ... Sunday 6 (1970-01-01 was a Thursday)."""
    return (np.asarray(days, dtype=np.int64) + 3) % 7


def int_date_to_datenum(d) -> np.ndarray | float:
    """YYYYMMDD (scalar or array) -> serial day number of the day's midnight."""
    out = int_date_to_epoch_day(d).astype(np.float64) + EPOCH_SERIAL_DAY
    return float(out) if out.ndim == 0 else out


def minutes_to_datenum(minutes) -> np.ndarray:
    """Epoch minutes (int64) -> serial day numbers (float64)."""
    m = np.asarray(minutes, dtype=np.int64)
    return (m // MINUTES_PER_DAY + EPOCH_SERIAL_DAY).astype(np.float64) + (m % MINUTES_PER_DAY) / MINUTES_PER_DAY


def datenum_to_minutes(t) -> np.ndarray:
    """Serial day numbers -> epoch minutes, rounded to the nearest minute."""
    t = np.asarray(t, dtype=np.float64)
    return np.rint((t - EPOCH_SERIAL_DAY) * MINUTES_PER_DAY).astype(np.int64)


def seconds_to_datenum(seconds) -> np.ndarray:
    s = np.asarray(seconds, dtype=np.int64)
    return (s // SECONDS_PER_DAY + EPOCH_SERIAL_DAY).astype(np.float64) + (s % SECONDS_PER_DAY) / float(SECONDS_PER_DAY)


def datetime64_to_minutes(ts) -> np.ndarray:
    return np.asarray(ts).astype("datetime64[m]").astype(np.int64)


def datetime64_to_seconds(ts) -> np.ndarray:
    return np.asarray(ts).astype("datetime64[s]").astype(np.int64)
