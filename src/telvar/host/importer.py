"""Import a user's CSV or Parquet files into a store: ``python -m telvar.host import``.

    python -m telvar.host import --store my.duckdb KIND FILE [FILE ...]

Files are read by extension (``.csv`` with a header row, ``.parquet``);
column names are case-insensitive, extra columns are ignored.  Dates are
integers YYYYMMDD; times are exchange-local ``YYYY-MM-DD HH:MM[:SS[.fff]]``.
Columns per KIND (``?`` marks an optional column and its default):

    calendar        market, trade_date, night? (default: a night session is held
                    when only a weekend lies between the day and the trading day before)
    sessions        market, variety (empty: the market's default), seq, start_hhmm,
                    end_hhmm, night   (times as HHMM; a night session may end after midnight)
    instruments     market, code, name, kind (stock|index|future|continuous), variety?(""),
                    multiplier?(1), price_tick?(0.01), list_date?(19000101), delist_date?(99991231)
    bars-min        market, code, time (bar END time), trade_date? (derived: bars from 18:00
                    belong to the next trading day, bars before 06:00 to the first trading day
                    on or after their date), open, high, low, close, volume, turnover,
                    open_interest?(0)
    bars-day        market, code, trade_date, open, high, low, close, volume, turnover,
                    open_interest?(0)
    ticks           market, code, time, trade_date?(derived as for bars), price, volume
                    (cumulative over the day), volume_tick, turnover, open_interest?(0),
                    bid_price1..5?, bid_volume1..5?, ask_price1..5?, ask_volume1..5? (NaN)
    main-contracts  market, code (continuous code such as RB0000), trade_date, contract
    adj-factors     market, code, ex_date, ratio (price after / price before the ex-date),
                    split?(1), dividend?(0)
    factors         factor, market, code, trade_date, value
    blocks          block, trade_date, market, code

Bars and ticks need their instruments (and, for derived trading days, the
market's calendar) in the store first.  Rows whose key is already stored are
replaced.  Importing minute bars rebuilds the day bars of the imported days.
All files of one call are checked before anything is written and written in one
transaction: on any error nothing is imported, and the error names the file,
row (1-based, header not counted), column and value.
"""
from __future__ import annotations

import math
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd

from .daybars import day_bars
from .schema import QUOTE_COLUMNS, create_schema
from .storeinfo import new_data_version
from .timeutil import MINUTES_PER_DAY, datetime64_to_minutes, epoch_day_to_int_date
from .tradingtime import night_is_open


class ImportError_(Exception):
    """An import was refused; nothing was written."""


S, D, F, T, B = "str", "date", "float", "time", "bool"
_OHLC = [("open", F), ("high", F), ("low", F), ("close", F), ("volume", F), ("turnover", F)]

# kind -> (table, [(column, type, default or ... for required)], key columns)
KINDS = {
    "calendar": ("calendar", [("market", S, ...), ("trade_date", D, ...), ("night", B, None)],
                 ["market", "trade_date"]),
    "sessions": ("sessions", [("market", S, ...), ("variety", S, ""), ("seq", "int", ...), ("start_hhmm", "int", ...),
                              ("end_hhmm", "int", ...), ("night", B, ...)], ["market", "variety", "seq"]),
    "instruments": ("instruments", [("market", S, ...), ("code", S, ...), ("name", S, ...), ("kind", S, ...),
                                    ("variety", S, ""), ("multiplier", F, 1.0), ("price_tick", F, 0.01),
                                    ("list_date", D, 19000101), ("delist_date", D, 99991231)], ["market", "code"]),
    "bars-min": ("minute_bars", [("market", S, ...), ("code", S, ...), ("ts", T, ...), ("trade_date", D, None)]
                 + [(c, t, ...) for c, t in _OHLC] + [("open_interest", F, 0.0)], ["market", "code", "ts"]),
    "bars-day": ("day_bars", [("market", S, ...), ("code", S, ...), ("trade_date", D, ...)]
                 + [(c, t, ...) for c, t in _OHLC] + [("open_interest", F, 0.0)], ["market", "code", "trade_date"]),
    "ticks": ("ticks", [("market", S, ...), ("code", S, ...), ("ts", T, ...), ("trade_date", D, None),
                        ("price", F, ...), ("volume", F, ...), ("volume_tick", F, ...), ("turnover", F, ...),
                        ("open_interest", F, 0.0)] + [(q, F, math.nan) for q in QUOTE_COLUMNS],
              ["market", "code", "ts"]),
    "main-contracts": ("main_contracts", [("market", S, ...), ("code", S, ...), ("trade_date", D, ...),
                                          ("contract", S, ...)], ["market", "code", "trade_date"]),
    "adj-factors": ("adj_factors", [("market", S, ...), ("code", S, ...), ("ex_date", D, ...), ("ratio", F, ...),
                                    ("split", F, 1.0), ("dividend", F, 0.0)], ["market", "code", "ex_date"]),
    "factors": ("factors", [("factor", S, ...), ("market", S, ...), ("code", S, ...), ("trade_date", D, ...),
                            ("value", F, ...)], ["factor", "market", "code", "trade_date"]),
    "blocks": ("blocks", [("block", S, ...), ("trade_date", D, ...), ("market", S, ...), ("code", S, ...)],
               ["block", "trade_date", "market", "code"]),
}
_ALIASES = {"time": "ts"}
_KINDS_OF_INSTRUMENT = ("stock", "index", "future", "continuous")


def _fail(file, row, column, value, why):
    raise ImportError_(f"{file}: row {row}, column {column!r}, value {value!r}: {why}")


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
    return df


def _convert(file, df: pd.DataFrame, columns) -> pd.DataFrame:
    out = {}
    for name, typ, default in columns:
        if name not in df.columns:
            if default is ...:
                raise ImportError_(f"{file}: missing column {('time' if name == 'ts' else name)!r}")
            out[name] = None if default is None else default
            continue
        raw = df[name]
        col = "time" if name == "ts" else name
        if typ == S:
            vals = raw.astype(str).str.strip()
            bad = np.flatnonzero((vals == "") | raw.isna()) if default is ... else np.zeros(0, int)
            if bad.size:
                _fail(file, bad[0] + 1, col, raw.iloc[bad[0]], "must not be empty")
            out[name] = vals.str.upper() if name in ("market", "code", "contract") else vals
        elif typ in (D, "int"):
            num = pd.to_numeric(raw, errors="coerce")
            ok = num.notna() & (num == np.floor(num))
            if typ == D:
                ok &= (num >= 19000101) & (num <= 99991231)
                if ok.any():
                    d = num.where(ok, 20000101).astype(np.int64)
                    ok &= pd.to_datetime(d.astype(str), format="%Y%m%d", errors="coerce").notna() | (d == 99991231)
            bad = np.flatnonzero(~ok.to_numpy())
            if bad.size:
                _fail(file, bad[0] + 1, col, raw.iloc[bad[0]],
                      "not a date YYYYMMDD" if typ == D else "not an integer")
            out[name] = num.astype(np.int64)
        elif typ == F:
            num = pd.to_numeric(raw, errors="coerce")
            if default is not ... and isinstance(default, float) and math.isnan(default):
                bad_mask = num.isna() & raw.astype(str).str.strip().ne("") & raw.notna()
            else:
                bad_mask = ~np.isfinite(num.to_numpy(dtype=float, na_value=np.nan))
            bad = np.flatnonzero(np.asarray(bad_mask))
            if bad.size:
                _fail(file, bad[0] + 1, col, raw.iloc[bad[0]], "not a finite number")
            out[name] = num.astype(float)
        elif typ == T:
            ts = pd.to_datetime(raw, errors="coerce")
            bad = np.flatnonzero(ts.isna().to_numpy())
            if bad.size:
                _fail(file, bad[0] + 1, col, raw.iloc[bad[0]], "not a time YYYY-MM-DD HH:MM[:SS]")
            out[name] = ts
        elif typ == B:
            s = raw.astype(str).str.strip().str.lower()
            mapping = {"1": True, "true": True, "yes": True, "0": False, "false": False, "no": False}
            bad = np.flatnonzero(~s.isin(list(mapping)).to_numpy())
            if bad.size:
                _fail(file, bad[0] + 1, col, raw.iloc[bad[0]], "not a boolean (true/false/1/0)")
            out[name] = s.map(mapping).astype(bool)
    return pd.DataFrame(out, index=df.index)


def _check_rows(file, kind, df):
    if kind in ("bars-min", "bars-day"):
        checks = [("high", df.high < df[["open", "close", "low"]].max(axis=1), "high below open, close or low"),
                  ("low", df.low > df[["open", "close", "high"]].min(axis=1), "low above open, close or high"),
                  ("volume", df.volume < 0, "negative volume")]
        for col, mask, why in checks:
            bad = np.flatnonzero(mask.to_numpy())
            if bad.size:
                _fail(file, bad[0] + 1, col, df[col].iloc[bad[0]], why)
    if kind == "instruments":
        bad = np.flatnonzero(~df.kind.isin(_KINDS_OF_INSTRUMENT).to_numpy())
        if bad.size:
            _fail(file, bad[0] + 1, "kind", df.kind.iloc[bad[0]], f"expected one of {', '.join(_KINDS_OF_INSTRUMENT)}")


def _derive_trade_dates(file, con, df, col="ts"):
    cals = {}
    for m in df.market.unique():
        days = np.array([r[0] for r in con.execute("SELECT trade_date FROM calendar WHERE market = ? "
                                                   "ORDER BY trade_date", [m]).fetchall()], dtype=np.int64)
        cals[m] = days
    minutes = datetime64_to_minutes(df[col].to_numpy())
    date = epoch_day_to_int_date(minutes // MINUTES_PER_DAY)
    tod = minutes % MINUTES_PER_DAY
    out = np.zeros(len(df), np.int64)
    for m, days in cals.items():
        sel = np.flatnonzero((df.market == m).to_numpy())
        if days.size == 0:
            _fail(file, sel[0] + 1, "market", m, "no trading calendar for this market in the store")
        d, t = date[sel], tod[sel]
        pos = np.where(t >= 18 * 60, np.searchsorted(days, d, "right"), np.searchsorted(days, d, "left"))
        exact_needed = (t >= 6 * 60) & (t < 18 * 60)
        ok = pos < days.size
        ok &= ~exact_needed | (days[np.minimum(pos, days.size - 1)] == d)
        bad = np.flatnonzero(~ok)
        if bad.size:
            _fail(file, sel[bad[0]] + 1, "time", str(df[col].iloc[sel[bad[0]]]), "not in a trading day of the calendar")
        out[sel] = days[pos]
    return out


def _check_instruments(file, con, df, codes_col="code"):
    known = set(con.execute("SELECT market || '.' || code FROM instruments").fetchall())
    known = {k[0] for k in known}
    keys = (df.market + "." + df[codes_col]).to_numpy()
    bad = np.flatnonzero(~np.isin(keys, list(known)))
    if bad.size:
        _fail(file, bad[0] + 1, codes_col, df[codes_col].iloc[bad[0]],
              f"unknown instrument {df[codes_col].iloc[bad[0]]}.{df.market.iloc[bad[0]]} (import instruments first)")


def _prepare(con, kind, path) -> pd.DataFrame:
    table, columns, key = KINDS[kind]
    raw = read_file(path)
    df = _convert(path, raw, columns)
    _check_rows(path, kind, df)
    if kind in ("bars-min", "bars-day", "ticks", "adj-factors", "factors", "main-contracts"):
        _check_instruments(path, con, df)
    if kind in ("bars-min", "ticks") and df["trade_date"].isna().any():
        df["trade_date"] = _derive_trade_dates(path, con, df)
    if kind == "calendar" and df["night"].isna().any():
        df = df.sort_values(["market", "trade_date"])
        prev = df.groupby("market").trade_date.shift(1)
        df["night"] = [bool(p == p and night_is_open(int(p), int(d))) for p, d in zip(prev, df.trade_date)]
    dup = df.duplicated(key, keep="first").to_numpy()
    if dup.any():
        i = np.flatnonzero(dup)[0]
        _fail(path, i + 1, key[-1], str(df[key[-1]].iloc[i]), f"duplicate row for key {', '.join(key)}")
    if kind in ("bars-min", "ticks"):
        df["ts"] = df["ts"].astype("datetime64[us]" if kind == "bars-min" else "datetime64[ms]")
    df["trade_date"] = df["trade_date"].astype(np.int64) if "trade_date" in df else None
    return df[[c for c, _, _ in columns]] if kind != "calendar" else df[["market", "trade_date", "night"]]


def import_files(store, kind: str, files, create: bool = True) -> dict:
    """Import ``files`` of ``kind`` into ``store`` in one transaction; returns {table: rows}."""
    if kind not in KINDS:
        raise ImportError_(f"unknown kind {kind!r}; expected one of {', '.join(KINDS)}")
    store = Path(store)
    if not store.exists() and not create:
        raise ImportError_(f"store not found: {store}")
    try:
        con = duckdb.connect(str(store))
    except duckdb.Error as exc:
        raise ImportError_(f"cannot open the store {store} for writing (is a host serving it?): {exc}") from None
    table, columns, key = KINDS[kind]
    counts = {table: 0}
    try:
        create_schema(con)
        frames = [_prepare(con, kind, Path(f)) for f in files]
        df = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame()
        if len(frames) > 1:
            dup = df.duplicated(key).to_numpy()
            if dup.any():
                raise ImportError_(f"row key {df.loc[np.flatnonzero(dup)[0], key].tolist()} appears in two files")
        con.execute("BEGIN TRANSACTION")
        try:
            con.register("incoming", df)
            cond = " AND ".join(f"t.{k} = i.{k}" for k in key)
            con.execute(f"DELETE FROM {table} t WHERE EXISTS (SELECT 1 FROM incoming i WHERE {cond})")
            con.execute(f"INSERT INTO {table} ({', '.join(df.columns)}) SELECT * FROM incoming")
            counts[table] = len(df)
            if kind == "bars-min" and len(df):
                con.execute("DELETE FROM day_bars t WHERE EXISTS (SELECT 1 FROM incoming i WHERE i.market = t.market "
                            "AND i.code = t.code AND i.trade_date = t.trade_date)")
                minutes = con.execute("""SELECT * FROM minute_bars m WHERE EXISTS (SELECT 1 FROM incoming i
                    WHERE i.market = m.market AND i.code = m.code AND i.trade_date = m.trade_date)""").df()
                rebuilt = day_bars(minutes)
                con.register("rebuilt", rebuilt)
                con.execute(f"INSERT INTO day_bars ({', '.join(rebuilt.columns)}) SELECT * FROM rebuilt")
                counts["day_bars (rebuilt)"] = con.execute(
                    "SELECT count(*) FROM (SELECT DISTINCT market, code, trade_date FROM incoming)").fetchone()[0]
            new_data_version(con)  # caches built from the old data are never read again
            con.execute("COMMIT")
        except Exception:
            con.execute("ROLLBACK")
            raise
    except ImportError_:
        raise
    except Exception as exc:
        raise ImportError_(f"import failed: {exc}") from None
    finally:
        con.close()
    return counts
