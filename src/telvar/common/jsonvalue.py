"""One value as JSON carries it, shared by the host's run records and the reports."""
from __future__ import annotations

import datetime as _dt
import math

import numpy as np
import pandas as pd


def json_scalar(value):
    """Numbers as Python numbers, NaN, NA, NaT and infinities as None, times as
    ``YYYY-mm-dd HH:MM:SS`` text, anything else as its text."""
    if value is None or value is pd.NaT or value is pd.NA:
        return None
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, (pd.Timestamp, _dt.datetime)):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)
