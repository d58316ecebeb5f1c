"""Fundamental-data converter: asks the host for a named data set and turns
its answer into a typed pandas DataFrame.

The host answers a data-set request with a columnar table::

    {"Name": "market_limit",
     "Columns": ["TradeDate", "Market", "Code", ...],
     "Types": ["date", "str", "str", ...],
     "Data": [[20250901, ...], ["SSE", ...], ...]}

Column types: ``date`` (YYYYMMDD integers, returned as ``datetime64[ns]``
dates), ``str`` (codes and names, returned as strings), ``float``, ``int`` and
``bool``. Because the types travel with the answer, an empty result is an empty
DataFrame that still has the data set's columns and dtypes. The columns of each
data set are documented in ``telvar.host.store.fundamentals``.
"""
import datetime

import numpy as np
import pandas as pd

from telvar.kestrum.ufuncs import todictmc

FUNDAMENTAL_COMMAND = "tvSendCmdGetFundamentalData"

_DTYPES = {
    "float": "float64",
    "int": "int64",
    "bool": "bool",
    "str": "str",
    "date": "datetime64[ns]",
}


def get_fundamental_info(params, func_name):
    """Asks the host for the data set ``func_name`` with the query parameters
    ``params`` and returns the host's raw answer (see the module docstring)."""
    from telvar.kestrum.comm import tvcmd

    return tvcmd.call(FUNDAMENTAL_COMMAND, func_name, to_wire_params(params))


def to_wire_params(params):
    """Plain, transport-safe form of a parameter dictionary: tuples become
    lists, targets become ``{"Market", "Code"}`` dictionaries and dates
    become YYYYMMDD integers (an empty date stays ``""``)."""
    wire = {}
    for key, value in params.items():
        if key in ("begin_date", "end_date"):
            wire[key] = _wire_date(value)
        elif key == "target_list":
            wire[key] = todictmc(list(value))
        elif isinstance(value, (list, tuple)):
            wire[key] = list(value)
        else:
            wire[key] = value
    return wire


def _wire_date(value):
    if value is None or (isinstance(value, str) and value.strip() == ""):
        return ""
    if isinstance(value, (datetime.date, np.datetime64)):
        return int(pd.Timestamp(value).strftime("%Y%m%d"))
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return int(value)
    if isinstance(value, str):
        digits = value.strip().replace("-", "").replace("/", "")
        if len(digits) == 8 and digits.isdigit():
            return int(digits)
    raise ValueError("not a date: {!r}".format(value))


def convert_fundamental_to_df(result):
    """The host's answer for a data set as a DataFrame with typed columns."""
    try:
        columns = list(result["Columns"])
        types = list(result["Types"])
        data = list(result["Data"])
    except (KeyError, TypeError):
        raise ValueError(
            "fundamental answer must be a mapping with Columns, Types and Data, "
            "got {!r}".format(type(result).__name__)
        ) from None
    if not (len(columns) == len(types) == len(data)):
        raise ValueError(
            "fundamental answer is malformed: {} columns, {} types, {} data columns".format(
                len(columns), len(types), len(data)
            )
        )
    lengths = {len(values) for values in data}
    if len(lengths) > 1:
        raise ValueError("fundamental answer is malformed: columns differ in length")
    frame = {}
    for name, kind, values in zip(columns, types, data):
        frame[name] = _typed_column(name, kind, values)
    return pd.DataFrame(frame, columns=columns)


def _typed_column(name, kind, values):
    """One column of the answer with its documented dtype; None is a missing
    value (NaT, NaN or a missing string)."""
    if kind not in _DTYPES:
        raise ValueError("column {!r} has unknown type {!r}".format(name, kind))
    if kind == "date":
        as_text = pd.Series(values, dtype="Int64").astype("string")
        try:
            dates = pd.to_datetime(as_text, format="%Y%m%d")
        except ValueError:
            raise ValueError("column {!r} holds a value that is not a date YYYYMMDD".format(name)) from None
        return dates.astype(_DTYPES["date"])
    if kind == "str":
        return pd.Series([None if v is None else str(v) for v in values], dtype=_DTYPES["str"])
    return pd.Series(np.asarray(values, dtype=_DTYPES[kind]))
