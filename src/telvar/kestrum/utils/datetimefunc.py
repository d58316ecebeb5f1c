"""Date and time conversions on serial day numbers.

Bar times are serial day numbers: float days whose integer part is the day
(the proleptic ordinal + 366, as MATLAB's ``datenum``) and whose fraction is
the time of day. Conversions round to the nearest millisecond, so a minute bar
stored as 739650.395833333 reads as 09:30:00, not 09:29:59.999.

Functions accept a scalar (and return a scalar) or a sequence / numpy array
(and return a numpy array, or a list for datetimes and strings).
"""
import datetime as _dt

import numpy as np

from telvar.common.timeconv import (EPOCH_SERIAL_DAY, SERIAL_DAY_OFFSET, date_to_int, epoch_day_to_int_date,
                                    epoch_day_to_ymd, epoch_day_weekday, int_date_to_epoch_day)

_MS_PER_DAY = 86_400_000


def _is_scalar(value):
    return np.ndim(value) == 0 and not isinstance(value, (list, tuple))


def _split_ms(t, name):
    """Serial days -> (day numbers, milliseconds of the day) as int64 arrays."""
    arr = np.asarray(t, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise ValueError("%s holds NaN or infinite time values" % name)
    ms = np.round(arr * _MS_PER_DAY).astype(np.int64)
    return ms // _MS_PER_DAY, ms % _MS_PER_DAY


def _ymd(days):
    """Day numbers -> (year, month, day) int64 arrays, vectorised."""
    return epoch_day_to_ymd(np.asarray(days, dtype=np.int64) - EPOCH_SERIAL_DAY)


_INT_FORMATS = {
    "%Y%m%d": lambda Y, m, d, H, M, S: (Y * 100 + m) * 100 + d,
    "%Y%m%d%H%M%S": lambda Y, m, d, H, M, S: ((((Y * 100 + m) * 100 + d) * 100 + H) * 100 + M) * 100 + S,
    "%Y%m%d%H%M": lambda Y, m, d, H, M, S: (((Y * 100 + m) * 100 + d) * 100 + H) * 100 + M,
    "%H%M%S": lambda Y, m, d, H, M, S: (H * 100 + M) * 100 + S,
    "%H%M": lambda Y, m, d, H, M, S: H * 100 + M,
    "%Y%m": lambda Y, m, d, H, M, S: Y * 100 + m,
    "%Y": lambda Y, m, d, H, M, S: Y,
}


def mft_to_datetime(t):
    """Serial day number(s) -> ``datetime`` (scalar) or list of ``datetime``."""
    days, ms = _split_ms(t, "time")
    if days.size and (days.min() < 367 or days.max() > _dt.date.max.toordinal() + SERIAL_DAY_OFFSET):
        raise ValueError("time value out of the datetime range")
    out = [
        _dt.datetime.fromordinal(int(d) - SERIAL_DAY_OFFSET) + _dt.timedelta(milliseconds=int(m))
        for d, m in zip(days.ravel(), ms.ravel())
    ]
    return out[0] if _is_scalar(t) else out


def mft_to_str_format(t, fmt="%Y-%m-%d %H:%M:%S"):
    """Serial day number(s) -> text with ``strftime`` format ``fmt`` (list for arrays)."""
    if _is_scalar(t):
        return mft_to_datetime(t).strftime(fmt)
    return [d.strftime(fmt) for d in mft_to_datetime(t)]


def mft_to_int_format(t, fmt="%Y%m%d"):
    """Serial day number(s) -> integer such as 20251208 (``fmt="%Y%m%d"``).

    Any ``strftime`` format made only of digits works; the common ones are
    computed vectorised. Arrays give an int64 array of the same shape.
    """
    days, ms = _split_ms(t, "time")
    conv = _INT_FORMATS.get(fmt)
    if conv is None:
        texts = mft_to_str_format(t, fmt)
        try:
            if _is_scalar(t):
                return int(texts)
            return np.array([int(s) for s in texts], dtype=np.int64).reshape(days.shape)
        except ValueError:
            raise ValueError("format %r does not give an integer" % (fmt,)) from None
    year, month, day = _ymd(days)
    hour, rest = divmod(ms, 3_600_000)
    minute, rest = divmod(rest, 60_000)
    second = rest // 1000
    out = conv(year, month, day, hour, minute, second).astype(np.int64)
    return int(out) if _is_scalar(t) else out


def int_date_to_ordinal(int_date):
    """Integer date(s) YYYYMMDD -> serial day number(s) (the day part of bar times).

    A value that is not a calendar date raises ValueError naming it.
    """
    arr = np.asarray(int_date)
    if arr.dtype.kind not in "iuf" or arr.dtype == np.bool_:
        raise TypeError("int_date must be an integer date YYYYMMDD, got %r" % (int_date,))
    if arr.dtype.kind == "f":
        if not np.all(np.isfinite(arr)) or np.any(arr != np.floor(arr)):
            raise ValueError("int_date holds a value that is not an integer date: %r" % (int_date,))
    d = arr.astype(np.int64)
    year, month, day = d // 10000, d // 100 % 100, d % 100
    bad = (year < 1) | (year > 9999) | (month < 1) | (month > 12) | (day < 1) | (day > 31)
    epoch_days = int_date_to_epoch_day(d)
    bad |= epoch_day_to_int_date(epoch_days) != d  # a day past its month's end
    if np.any(bad):
        first = d.ravel()[np.argmax(bad.ravel())]
        raise ValueError("%d is not a valid date YYYYMMDD" % first)
    out = epoch_days + EPOCH_SERIAL_DAY
    return int(out) if _is_scalar(int_date) else out


def int_date_to_mft(int_date):
    """Integer date(s) YYYYMMDD -> serial day number(s) at midnight, as float."""
    out = int_date_to_ordinal(int_date)
    return float(out) if _is_scalar(int_date) else out.astype(np.float64)


def datetime_to_mft(value):
    """``datetime``/``date``/``Timestamp``/``datetime64`` (or arrays of them) -> serial days."""
    if isinstance(value, _dt.datetime):
        midnight = value.replace(hour=0, minute=0, second=0, microsecond=0, tzinfo=None)
        frac = (value.replace(tzinfo=None) - midnight) / _dt.timedelta(days=1)
        return float(value.toordinal() + SERIAL_DAY_OFFSET) + frac
    if isinstance(value, _dt.date):
        return float(value.toordinal() + SERIAL_DAY_OFFSET)
    arr = np.asarray(value, dtype="datetime64[ms]")
    out = arr.astype(np.int64) / _MS_PER_DAY + EPOCH_SERIAL_DAY
    return float(out) if _is_scalar(value) else out


def to_int_now_date():
    """Today's local date as an integer YYYYMMDD."""
    return date_to_int(_dt.date.today())


def _field(t, pick):
    days, _ = _split_ms(t, "time")
    out = pick(days)
    return int(out) if _is_scalar(t) else out


def utils_dt_weekday(t):
    """Weekday of serial day number(s): Monday 0 ... Sunday 6 (as ``datetime.weekday``)."""
    return _field(t, lambda days: epoch_day_weekday(days - EPOCH_SERIAL_DAY))


def utils_dt_month(t):
    """Month (1-12) of serial day number(s)."""
    return _field(t, lambda days: _ymd(days)[1])


def utils_dt_year(t):
    """Year of serial day number(s)."""
    return _field(t, lambda days: _ymd(days)[0])


__all__ = [
    "mft_to_datetime",
    "mft_to_str_format",
    "mft_to_int_format",
    "int_date_to_ordinal",
    "int_date_to_mft",
    "datetime_to_mft",
    "to_int_now_date",
    "utils_dt_weekday",
    "utils_dt_month",
    "utils_dt_year",
]
