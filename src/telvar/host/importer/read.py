"""Reading import files and typing their columns; refusals that name file, row, column and value."""
from __future__ import annotations

import datetime as _dt
import math
import re
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd

S, D, F, T, B, I = "str", "date", "float", "time", "bool", "int"
_ALIASES = {"time": "ts"}
_TIME_TEXT = re.compile(r"^\d{4}-\d{2}-\d{2}(?:[ T]\d{2}:\d{2}(?::\d{2}(?:\.\d{1,9})?)?)?$")
_UTC_OFFSET = re.compile(r"(?:[Zz]|[+-]\d{2}(?::?\d{2})?)$")
_BOOLS = {"1": True, "true": True, "yes": True, "0": False, "false": False, "no": False}


class ImportError_(Exception):
    """An import was refused; nothing was written."""


def column_name(name: str) -> str:
    """The column as the user names it (the store calls bar times ``ts``)."""
    return "time" if name == "ts" else name


def shown(value) -> str:
    """A cell as the user wrote it: text quoted, numbers as numbers."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (pd.Timestamp, _dt.datetime, _dt.date)):
        return repr(str(value))
    return repr(value)


def fail(file, row, column, value, why):
    raise ImportError_(f"{file}: row {row}, column {column_name(column)!r}, value {shown(value)}: {why}")


def read_file(path: Path) -> pd.DataFrame:
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".parquet"):
        raise ImportError_(f"{path}: unsupported file type {suffix!r} (expected .csv or .parquet)")
    if not path.exists():
        raise ImportError_(f"{path}: no such file")
    try:
        if suffix == ".csv":
            df = pd.read_csv(path, dtype=str, keep_default_na=False)
        else:
            with duckdb.connect() as con:  # DuckDB reads Parquet itself: no pyarrow needed
                df = con.execute("SELECT * FROM read_parquet(?)", [str(path)]).df()
    except Exception as exc:
        raise ImportError_(f"{path}: cannot be read: {exc}") from None
    df.columns = [_ALIASES.get(str(c).strip().lower(), str(c).strip().lower()) for c in df.columns]
    return df.reset_index(drop=True)


def _first(mask) -> int | None:
    bad = np.flatnonzero(np.asarray(mask, dtype=bool))
    return int(bad[0]) if bad.size else None


def _empty(raw: pd.Series) -> np.ndarray:
    return (raw.isna() | raw.astype(str).str.strip().eq("")).to_numpy()


def _strings(file, name, raw, required):
    vals = raw.astype(str).str.strip().where(raw.notna(), "")
    if required and (i := _first(_empty(raw))) is not None:
        fail(file, i + 1, name, raw.iloc[i], "must not be empty")
    return vals.str.upper() if name in ("market", "code", "contract") else vals


def _integers(file, name, raw, typ, optional):
    """Integers (int64); an optional column without default keeps empty cells as NaN (float)."""
    num = pd.to_numeric(raw, errors="coerce")
    blank = _empty(raw) if optional else np.zeros(len(raw), bool)
    ok = num.notna() & (num == np.floor(num))
    if typ == D:
        ok &= (num >= 19000101) & (num <= 99991231)
        if ok.any():
            d = num.where(ok, 20000101).astype(np.int64)
            ok &= pd.to_datetime(d.astype(str), format="%Y%m%d", errors="coerce").notna() | (d == 99991231)
    if (i := _first(~ok.to_numpy() & ~blank)) is not None:
        fail(file, i + 1, name, raw.iloc[i], "not a date YYYYMMDD" if typ == D else "not an integer")
    return num.where(~blank).astype(float) if blank.any() else num.astype(np.int64)


def _floats(file, name, raw, default):
    num = pd.to_numeric(raw, errors="coerce")
    if isinstance(default, float) and math.isnan(default):  # optional values: empty cells are NaN
        bad = num.isna().to_numpy() & ~_empty(raw)
    else:
        bad = ~np.isfinite(num.to_numpy(dtype=float, na_value=np.nan))
    if (i := _first(bad)) is not None:
        fail(file, i + 1, name, raw.iloc[i], "not a finite number")
    return num.astype(float)


def _times(file, name, raw) -> pd.Series:
    """Exchange-local times; a UTC offset is refused rather than guessed at."""
    if pd.api.types.is_datetime64_any_dtype(raw):
        if getattr(raw.dtype, "tz", None) is not None:
            fail(file, 1, name, raw.iloc[0], "times are exchange-local clock times: give them without a "
                 "time zone")
        if (i := _first(raw.isna())) is not None:
            fail(file, i + 1, name, raw.iloc[i], "not a time YYYY-MM-DD HH:MM[:SS]")
        return raw.astype("datetime64[us]")
    text = raw.astype(str).str.strip()
    offset = text.str[10:].str.contains(_UTC_OFFSET.pattern, regex=True)  # past the date's own dashes
    if (i := _first(offset)) is not None:
        fail(file, i + 1, name, raw.iloc[i], "times are exchange-local clock times: write them without a "
             "UTC offset")
    if (i := _first(~text.str.match(_TIME_TEXT.pattern))) is not None:
        fail(file, i + 1, name, raw.iloc[i], "not a time YYYY-MM-DD HH:MM[:SS]")
    try:
        values = np.array(text.tolist(), dtype="datetime64[us]")
    except ValueError:
        for i, v in enumerate(text.tolist()):
            try:
                np.datetime64(v, "us")
            except ValueError:
                fail(file, i + 1, name, raw.iloc[i], "not a time YYYY-MM-DD HH:MM[:SS]")
        raise
    return pd.Series(values, index=raw.index)


def _booleans(file, name, raw, required):
    s = raw.astype(str).str.strip().str.lower()
    blank = _empty(raw)
    bad = ~s.isin(list(_BOOLS)).to_numpy() & (required | ~blank)
    if (i := _first(bad)) is not None:
        fail(file, i + 1, name, raw.iloc[i], "not a boolean (true/false/1/0)")
    return pd.Series([None if b else _BOOLS[v] for v, b in zip(s.tolist(), blank)], index=raw.index, dtype=object)


def convert(file, df: pd.DataFrame, columns) -> pd.DataFrame:
    """Typed columns ``[(name, type, default or ... when required)]``; optional booleans keep None."""
    missing = [column_name(n) for n, _, default in columns if default is ... and n not in df.columns]
    if missing:
        raise ImportError_(f"{file}: missing column{'s' if len(missing) > 1 else ''} "
                           f"{', '.join(repr(m) for m in missing)}")
    out = {}
    for name, typ, default in columns:
        if name not in df.columns:
            out[name] = default
            continue
        raw, required = df[name], default is ...
        if typ == S:
            out[name] = _strings(file, name, raw, required)
        elif typ in (D, I):
            out[name] = _integers(file, name, raw, typ, default is None)
        elif typ == F:
            out[name] = _floats(file, name, raw, default)
        elif typ == T:
            out[name] = _times(file, name, raw)
        elif typ == B:
            out[name] = _booleans(file, name, raw, required)
    return pd.DataFrame(out, index=df.index)
