"""The reference bar arithmetic every test and benchmark compares against, written with pandas.

A combined bar takes its open, high and low from the *traded* bars in its
range only (first / max / min), its close and open interest from the last
bar with a value, its volume and turnover as sums (``sum(min_count=1)``:
all NaN stays NaN). A bar without a traded bar is a filled bar at its last
close. NaN is skipped throughout.

A bar is filled (did not trade) when its volume is exactly 0 and its open,
high, low and close all equal the close of the nearest earlier bar that has
a close (the first priced bar in view: when its four prices are equal);
every other bar with a close traded. Without a volume column every bar with
a close traded, without a close column every bar.

Frames use the columns FIELDS (some may be missing); extra columns can be
aggregated alongside with ``combine(..., name=(column, "last"))``.
"""
import numpy as np
import pandas as pd

FIELDS = ["open", "high", "low", "close", "volume", "turnover", "oi"]
PRICES = FIELDS[:4]
# how the fields of a combined bar are made (open/high/low over traded bars only)
HOW = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum", "turnover": "sum",
       "oi": "last"}


def traded_columns(open_, high, low, close, volume=None) -> np.ndarray:
    """Which bars traded: the four prices (and the volume) of bars in time order along
    the first axis, one series per column (or 1-D arrays for one series)."""
    close = np.asarray(close, dtype=np.float64)
    has_close = ~np.isnan(close)
    if volume is None:
        return has_close
    columns = close if close.ndim == 2 else close[:, None]
    prev = pd.DataFrame(columns).ffill().shift(1).to_numpy().reshape(close.shape)
    ref = np.where(np.isnan(prev), close, prev)  # the nearest earlier close, else the bar's own
    filled = np.asarray(volume) == 0
    for price in (open_, high, low, close):
        filled &= np.asarray(price) == ref
    return has_close & ~filled


def traded_mask(frame: pd.DataFrame) -> np.ndarray:
    """Which rows of ``frame`` (in time order) traded."""
    if "close" not in frame:
        return np.ones(len(frame), dtype=bool)
    if "volume" not in frame:
        return frame["close"].notna().to_numpy()
    return traded_columns(*(frame[c].to_numpy() for c in PRICES), frame["volume"].to_numpy())


def _keys(by):
    """Grouping keys by position: one key per row, a list of such keys (grouped by all), or a pd.Grouper."""
    if isinstance(by, list) and by and isinstance(by[0], (np.ndarray, pd.Series)):
        return [np.asarray(k) for k in by]
    return np.asarray(by) if isinstance(by, (list, np.ndarray, pd.Series)) else by


def combine_series(frame: pd.DataFrame, fields, series, traded, by, sort=False) -> pd.DataFrame:
    """Bars of several series side by side, one aggregation per kind of field over all of them.

    Column j of ``frame`` holds field ``fields[j]`` (a name of FIELDS) of series
    ``series[j]``; ``traded`` holds the rows' traded flags, one column per series.
    Rows are grouped by ``by`` (keys per row, a list of them, or a pd.Grouper on a DatetimeIndex).
    """
    fields, series = list(fields), np.asarray(series)
    traded = np.asarray(traded, dtype=bool)
    traded = traded if traded.ndim == 2 else traded[:, None]
    columns = list(frame.columns)
    opening = [j for j, f in enumerate(fields) if f in ("open", "high", "low")]
    others = [j for j in range(len(columns)) if j not in set(opening)]
    priced = frame.iloc[:, opening].where(traded[:, series[opening]])  # a filled bar lends no price
    by = _keys(by)
    parts = []
    for data, picked in ((priced, opening), (frame, others)):
        g = data.groupby(by, sort=sort)
        for how in dict.fromkeys(HOW[fields[j]] for j in picked):
            names = [columns[j] for j in picked if HOW[fields[j]] == how]
            parts.append(g[names].sum(min_count=1) if how == "sum" else getattr(g[names], how)())
    out = pd.concat(parts, axis=1)[columns]
    close_of = {s: columns[j] for j, (f, s) in enumerate(zip(fields, series)) if f == "close"}
    if close_of:
        any_traded = pd.DataFrame(traded, index=frame.index).groupby(by, sort=sort).any().to_numpy()
        for j in opening:  # a bar without a traded bar is a filled bar at its last close
            if series[j] in close_of:
                out[columns[j]] = out[columns[j]].where(any_traded[:, series[j]], out[close_of[series[j]]])
    return out


def combine(frame: pd.DataFrame, by, traded=None, sort=False, **extra) -> pd.DataFrame:
    """Bars of ``frame`` grouped by ``by`` (keys per row, or a pd.Grouper on a
    DatetimeIndex), one row per group. ``traded``: the rows' traded flags when
    the rows are a selection of a longer series (default: the frame's column
    ``traded`` if it has one, else worked out from ``frame`` itself).
    ``extra``: more named aggregations over all rows."""
    if traded is None:
        traded = frame["traded"].to_numpy() if "traded" in frame else traded_mask(frame)
    fields = [c for c in FIELDS if c in frame]
    out = combine_series(frame[fields], fields, [0] * len(fields), traded, by, sort)
    if extra:
        by = _keys(by)
        g = frame[list(dict.fromkeys(column for column, _ in extra.values()))].groupby(by, sort=sort)
        for name, (column, how) in extra.items():
            out[name] = getattr(g[column], how)()
    return out


def traded_rows(body: np.ndarray, bar_len: int = 7) -> np.ndarray:
    """Traded flags (targets x columns) of K-matrix target rows ``body``."""
    targets = body.shape[0] // bar_len
    return np.array([traded_mask(block_frame(body, t, bar_len)) for t in range(targets)],
                    dtype=bool).reshape(targets, body.shape[1])


def block_frame(body: np.ndarray, t: int, bar_len: int = 7) -> pd.DataFrame:
    """Target t's rows of ``body`` as a frame of FIELDS (as many as bar_len holds;
    further rows as columns x7, x8, ...)."""
    rows = body[t * bar_len:(t + 1) * bar_len].T
    names = FIELDS[:bar_len] + [f"x{i}" for i in range(7, bar_len)]
    return pd.DataFrame(rows, columns=names)


def combine_columns(body: np.ndarray, columns: np.ndarray, labels: np.ndarray, count: int,
                    bar_len: int = 7, traded=None) -> np.ndarray:
    """Target rows combined: base columns ``columns`` (repeats allowed) grouped by
    ``labels`` into groups 0..count-1 (an empty group is NaN). Whether a base
    column traded is judged on the whole of ``body``, or given as ``traded``."""
    targets = body.shape[0] // bar_len
    traded = traded_rows(body, bar_len) if traded is None else np.asarray(traded, dtype=bool)
    out = np.full((body.shape[0], count), np.nan)
    for t in range(targets):
        frame = block_frame(body, t, bar_len).iloc[columns].reset_index(drop=True)
        extras = {c: (c, "last") for c in frame.columns if c not in FIELDS}
        bars = combine(frame, labels, traded[t][columns], sort=True, **extras)
        bars = bars.reindex(index=range(count), columns=frame.columns)
        out[t * bar_len:(t + 1) * bar_len] = bars.to_numpy(dtype=float).T
    return out


def combine_ranges(body, begin, end, bar_len=7, traded=None):
    """Each output column k combines base columns begin[k]..end[k]."""
    cols = [np.arange(b, e + 1) for b, e in zip(begin, end)]
    labels = np.concatenate([np.full(c.size, k) for k, c in enumerate(cols)] + [np.zeros(0, int)])
    cols = np.concatenate(cols + [np.zeros(0, int)]).astype(int)
    return combine_columns(body, cols, labels, len(begin), bar_len, traded)


def forming_ranges(body, begin, end, bar_len=7, traded=None):
    """Column i: the bar formed from begin[i] up to min(i, end[i])."""
    idx = np.arange(np.size(begin))
    return combine_ranges(body, begin, np.minimum(idx, end), bar_len, traded)


def filled(frame: pd.DataFrame, slots) -> pd.DataFrame:
    """``frame`` (traded bars on a DatetimeIndex or any sorted index) placed on
    ``slots`` and filled as the host fills: an empty slot after the first bar
    repeats the last close with volume and turnover 0, open interest carried;
    slots before the first bar stay NaN."""
    out = frame.reindex(slots)
    gap = out["close"].isna()
    last_close = out["close"].ffill()
    for c in PRICES:
        out.loc[gap, c] = last_close[gap]
    started = last_close.notna()
    for c in ("volume", "turnover"):
        if c in out:
            out.loc[gap & started, c] = 0.0
    if "oi" in out:
        out["oi"] = out["oi"].ffill()
    return out
