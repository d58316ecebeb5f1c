"""Day bars from minute bars: the one aggregation the sample generator and the
importer both use, so a stored day bar is always its trading day's minute bars
combined (night session included, as its bars carry the next trading day).

The combining is that of the host's bar arithmetic (``bars.combine``, the bar
kernels): open first, high max and low min over the traded minutes, close last,
volume and turnover sums, open interest last. A minute bar with volume 0 whose
prices repeat the last close (imported data may hold such filled minutes) lends
the day bar no price; which minutes traded is judged per instrument, so one
instrument's last close never decides about the next one's first minute.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

from . import bars as B

KEY = ["market", "code", "trade_date"]
VALUES = ["open", "high", "low", "close", "volume", "turnover", "open_interest"]


def day_bars(minutes: pd.DataFrame) -> pd.DataFrame:
    """One row per (market, code, trade_date) of ``minutes`` (columns ``market,
    code, ts, trade_date`` and the seven value columns), in key order."""
    if minutes.empty:
        return pd.DataFrame(columns=KEY + VALUES)
    m = minutes.sort_values(KEY + ["ts"], kind="stable")
    keys = m[KEY]
    changed = np.zeros(len(m), dtype=bool)
    for c in KEY:
        v = keys[c].to_numpy()
        changed[:-1] |= v[1:] != v[:-1]
    changed[-1] = True  # the last bar of each group closes its day bar
    values = np.vstack([m[c].to_numpy(dtype=np.float64) for c in VALUES])
    combined = np.empty((len(VALUES), int(changed.sum())))
    done = 0
    for a, b in _instrument_runs(keys):
        part = B.combine(values[:, a:b], changed[a:b])
        combined[:, done:done + part.shape[1]] = part
        done += part.shape[1]
    out = keys[changed].reset_index(drop=True)
    for i, c in enumerate(VALUES):
        out[c] = combined[i]
    return out


def _instrument_runs(keys: pd.DataFrame):
    """(start, stop) of each instrument's rows in ``keys`` (sorted by instrument)."""
    new = np.zeros(len(keys), dtype=bool)
    new[0] = True
    for c in ("market", "code"):
        v = keys[c].to_numpy()
        new[1:] |= v[1:] != v[:-1]
    starts = np.flatnonzero(new)
    return zip(starts, np.r_[starts[1:], len(keys)])
