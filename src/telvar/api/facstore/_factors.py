"""Local factor store: factor series the host has no file for.

``reg_factor`` of the registration module asks the host for one factor file per
factor; for every factor the host does not hold it calls
``get_factor_by_factor(factor, targets, begin_date, end_date, 0)`` here. The
answer covers the trading days from ``begin_date`` to ``end_date`` (the days a
host factor file covers): one float series per distinct target, keyed by the
target's "MARKET.CODE" key, and the days themselves under ``"date"`` as serial
day numbers, the scale of bar times.

Factors served
--------------
Stored factors are looked up first: a file ``<name>.csv`` or ``<name>.parquet``
in one of the factor folders (``factor_dirs()``: folders added with
``add_factor_dir``, then ``<file manager root>/factors``, by default
``~/.telvar/factors``). The file has a column ``date`` (YYYYMMDD) and one
column per target named by its key, in any case::

    date,SSE.600000,SZSE.000001
    20250901,0.12,0.08
    20250902,0.13,0.07

Days missing from the file and targets without a column are NaN.

Computed factors are derived from the targets' day bars, fetched from the host;
a day's value uses bars up to that day's close:

==================  =================================================  ================
name                value                                              prices
==================  =================================================  ================
``close``           the close                                          as traded
``return_1``        close / previous close - 1                         forward-adjusted
``return_5``        close / close five trading days earlier - 1        forward-adjusted
``volatility_20``   sample standard deviation of the last 20 daily     forward-adjusted
                    log returns
``volume_ma_5``     mean volume of the last five trading days          as traded
==================  =================================================  ================

Adding a factor
---------------
Put a file into a factor folder, or register a function of the day bars::

    from telvar.api.facstore._factors import register_factor

    @register_factor("range_10", lookback=10)
    def range_10(bars):
        high = bars.high.rolling(10).max()
        low = bars.low.rolling(10).min()
        return (high - low) / bars.close

``bars`` has one DataFrame per field (``open``, ``high``, ``low``, ``close``,
``volume``, ``turnover``, ``open_interest``), indexed by trading day
(YYYYMMDD) with one column per target key. ``lookback`` trading days before
``begin_date`` are included, so rolling windows are full from the first day;
``fq`` picks the price adjustment ("NA", "FWard", "BWard"). The function
returns a DataFrame of the same layout; the days from ``begin_date`` on are
kept. A later registration under the same name replaces the earlier one.
"""
import os
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pandas as pd

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.language import text
from telvar.kestrum.ufuncs import todotmc
from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal, mft_to_int_format
from telvar.kestrum.utils.exceptions import TvDataError

BAR_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
STORED_SUFFIXES = (".csv", ".parquet")
FQ_MODES = ("NA", "FWard", "BWard")


@dataclass(frozen=True)
class ComputedFactor:
    func: Callable
    lookback: int
    fq: str


@dataclass(frozen=True)
class DayBars:
    """Day bars of the targets: one DataFrame per field, trading days x target keys."""

    open: pd.DataFrame
    high: pd.DataFrame
    low: pd.DataFrame
    close: pd.DataFrame
    volume: pd.DataFrame
    turnover: pd.DataFrame
    open_interest: pd.DataFrame


_computed = {}
_extra_dirs = []


def register_factor(name, lookback=0, fq="NA"):
    """Decorator: serve factor ``name`` computed by ``func(bars) -> DataFrame``."""
    if not isinstance(name, str) or not name:
        raise ValueError("a factor name must be a non-empty string, got %r" % (name,))
    if int(lookback) < 0:
        raise ValueError("lookback must not be negative, got %r" % (lookback,))
    if fq not in FQ_MODES:
        raise ValueError("fq must be one of %s, got %r" % (", ".join(FQ_MODES), fq))

    def decorator(func):
        _computed[name] = ComputedFactor(func, int(lookback), fq)
        return func

    return decorator


def add_factor_dir(path):
    """Look for stored factor files in ``path`` too (before the folders added earlier)."""
    path = os.path.abspath(os.path.expanduser(os.fspath(path)))
    if path in _extra_dirs:
        _extra_dirs.remove(path)
    _extra_dirs.insert(0, path)


def factor_dirs():
    """The folders searched for stored factor files, in search order."""
    return list(_extra_dirs) + [os.path.join(cnt.env.fm.root, "factors")]


def _stored_path(factor):
    # A factor name is a file name, never a path into another folder.
    if not isinstance(factor, str) or not factor or os.path.basename(factor) != factor:
        return None
    for folder in factor_dirs():
        for suffix in STORED_SUFFIXES:
            path = os.path.join(folder, factor + suffix)
            if os.path.isfile(path):
                return path
    return None


def available_factors():
    """Names of the factors this store can serve: stored files and computed factors."""
    names = set(_computed)
    for folder in factor_dirs():
        if os.path.isdir(folder):
            names.update(os.path.splitext(f)[0] for f in os.listdir(folder)
                         if f.endswith(STORED_SUFFIXES))
    return sorted(names)


def _history():
    # Imported on use: the history module is loaded after this store by the
    # registration module.
    from telvar.api.history import _history
    return _history


def _class_error(path, column, values, expected):
    found = "text" if values.dtype == object else str(values.dtype)
    reason = "%s %s" % (column, text.TEXT_CONTENT_CLASS.format(FOUND=found, EXPECTED=expected))
    return TvDataError(text.ERROR_FACTOR_FILE.format(PATH=path, REASON=reason))


def _checked_days(path, values):
    """The date column as YYYYMMDD integers; text, logical values, fractions or gaps are refused."""
    kind = values.dtype.kind
    if kind in "iu":
        return values.to_numpy(dtype=np.int64)
    numbers = values.to_numpy(dtype=np.float64) if kind == "f" else None
    if numbers is None or not np.all(np.isfinite(numbers) & (numbers == np.floor(numbers))):
        raise _class_error(path, "date", values, "YYYYMMDD")
    return numbers.astype(np.int64)


def _read_stored(path, days, keys):
    frame = pd.read_parquet(path) if path.endswith(".parquet") else pd.read_csv(path)
    frame.columns = [str(c).strip().upper() for c in frame.columns]
    if "DATE" not in frame.columns:
        raise TvDataError(text.ERROR_FACTOR_FILE.format(PATH=path, REASON="no 'date' column"))
    if frame.columns.duplicated().any():
        raise TvDataError(text.ERROR_FACTOR_FILE.format(PATH=path, REASON="repeated column names"))
    for key in keys:  # values of the targets asked for: numbers (a logical or text column misleads)
        if key in frame.columns and frame[key].dtype.kind not in "iuf":
            raise _class_error(path, key, frame[key], "float64/int")
    frame["DATE"] = _checked_days(path, frame["DATE"])
    frame = frame.drop_duplicates("DATE", keep="last").set_index("DATE")
    return frame.reindex(index=days, columns=keys).astype(np.float64)


def _day_bars(records, keys, begin_date, end_date, lookback, fq):
    history = _history()
    calendar = np.asarray(history.get_trading_days(0, 99999999)).ravel()
    first = int(np.searchsorted(calendar, begin_date))
    start = int(calendar[max(first - lookback, 0)]) if calendar.size else begin_date
    result = history.get_k_data_multi({
        "targets": records, "frequency": "day", "freq_num": 1, "begin_date": start,
        "end_date": end_date, "filled_up": True, "fq_type": fq, "need_show_ui_tip": False,
    })
    karray = np.asarray(result["KArray"], dtype=np.float64)
    bar_len = cnt.gv.KMatrix_Bar_Len
    if karray.ndim != 2 or karray.shape[0] // bar_len != len(records):
        raise TvDataError(text.ERROR_KDATA_MISS)
    days = np.asarray(mft_to_int_format(np.ravel(result["TimeLine"]), fmt="%Y%m%d"), dtype=np.int64)
    fields = {
        name: pd.DataFrame(karray[offset::bar_len][:len(records)].T, index=days, columns=keys)
        for offset, name in zip(
            (cnt.gv.KMatrix_Open, cnt.gv.KMatrix_High, cnt.gv.KMatrix_Low, cnt.gv.KMatrix_Close,
             cnt.gv.KMatrix_Volume, cnt.gv.KMatrix_TurnOver, cnt.gv.KMatrix_OpenInterest),
            BAR_FIELDS)
    }
    return DayBars(**fields)


def _compute(spec, records, keys, days, begin_date, end_date):
    bars = _day_bars(records, keys, begin_date, end_date, spec.lookback, spec.fq)
    values = pd.DataFrame(spec.func(bars))
    return values.reindex(index=days, columns=keys).astype(np.float64)


def get_factor_by_factor(factor, targets, begin_date, end_date, mode=0):
    """Values of one factor for ``targets`` on the trading days from ``begin_date`` to ``end_date``.

    Returns a dict: one 1-D float array per distinct target key (in target
    order) and ``"date"``, the trading days as serial day numbers. ``mode`` 0
    (the only one) means values as of each day's close.
    """
    if mode != 0:
        raise ValueError("get_factor_by_factor supports mode 0 only, got %r" % (mode,))
    distinct = {}
    for target in targets:
        distinct.setdefault(todotmc(target), target)
    keys, records = list(distinct), list(distinct.values())
    days = np.asarray(_history().get_trading_days(begin_date, end_date), dtype=np.int64).ravel()

    path = _stored_path(factor)
    if path is not None:
        values = _read_stored(path, days, keys)
    elif factor in _computed:
        values = _compute(_computed[factor], records, keys, days, begin_date, end_date)
    else:
        raise KeyError(text.ERROR_UNKNOWN_FACTOR.format(FACTOR=factor, KNOWN=", ".join(available_factors())))

    result = {key: values[key].to_numpy(dtype=np.float64, copy=True) for key in keys}
    result["date"] = np.asarray(int_date_to_ordinal(days), dtype=np.float64).ravel()
    return result


def _log_returns(close):
    ratio = close / close.shift(1)
    return np.log(ratio.where(ratio > 0))  # no log return across a non-positive price


register_factor("close")(lambda bars: bars.close)
register_factor("return_1", lookback=1, fq="FWard")(lambda bars: bars.close / bars.close.shift(1) - 1)
register_factor("return_5", lookback=5, fq="FWard")(lambda bars: bars.close / bars.close.shift(5) - 1)
register_factor("volatility_20", lookback=20, fq="FWard")(
    lambda bars: _log_returns(bars.close).rolling(20).std(ddof=1))
register_factor("volume_ma_5", lookback=4)(lambda bars: bars.volume.rolling(5).mean())
