"""Import a user's CSV or Parquet files into a store: ``python -m telvar.host import``.

    python -m telvar.host import --store my.duckdb [--drop-off-calendar] KIND FILE [FILE ...]

Files are read by extension (``.csv`` with a header row, ``.parquet``);
column names are case-insensitive, extra columns are ignored.  Dates are
integers YYYYMMDD; times are exchange-local clock times
``YYYY-MM-DD HH:MM[:SS[.fff]]`` (a time with a UTC offset is refused: give the
exchange's local time).  Columns per KIND (``?`` marks an optional column and
its default):

    calendar        market, trade_date, night? (is the day's night session held?
                    default: see "Trading days" below)
    sessions        market, variety (empty: the market's default), seq, start_hhmm,
                    end_hhmm, night, night_on? (trading_day | calendar_day; default
                    below).  Times as HHMM, 2400 is midnight; a session whose end is
                    not after its start runs past midnight.  A night session
                    belongs to the next trading day.
    instruments     market, code, name, kind (stock|index|future|continuous), variety?(""),
                    multiplier?(1), price_tick?(0.01), list_date?(19000101), delist_date?(99991231),
                    margin_ratio? (fraction of the contract value held as margin, above 0 and at
                    most 1; default: 0.10 for futures and continuous, 1.0 for stocks and indices),
                    lot_size? (shares or contracts a lot; default: 100 for stocks, else 1)
    bars-min        market, code, time (bar END time, a whole minute), trade_date? (derived),
                    open, high, low, close, volume, turnover, open_interest?(0)
    bars-day        market, code, trade_date, open, high, low, close, volume, turnover,
                    open_interest?(0)
    ticks           market, code, time, trade_date? (derived), price, volume (cumulative
                    over the day), volume_tick, turnover, open_interest?(0),
                    bid_price1..5?, bid_volume1..5?, ask_price1..5?, ask_volume1..5? (NaN)
    main-contracts  market, code (continuous code such as RB0000), trade_date, contract
    adj-factors     market, code, ex_date, ratio (price after / price before the ex-date),
                    split?(1), dividend?(0)
    factors         factor, market, code, trade_date, value
    blocks          block, trade_date, market, code
    costs           market, variety?("": any), kind?("": any; stock|index|future|continuous),
                    commission_rate?(0, of the turnover), commission_per_lot?(0),
                    min_commission?(0, per trade), stamp_tax_rate?(0, of a stock sale's turnover),
                    slippage_ticks?(0).  A target gets the most specific row of its market:
                    its variety's, else its kind's, else the market's own (variety and kind
                    empty); without one, built-in defaults by kind apply
    limits          market, code, trade_date (a trading day), limit_up, limit_down (the
                    exchange's price limits of the day; limit_up >= limit_down > 0)

Trading days.  A bar's trading day comes from the calendar and the sessions of
its instrument (those of its variety, else the market's default, variety "").
A minute bar's time must be a slot of a session held on a trading day (the
end of one of its minutes); a tick belongs to the session it falls in (up to
30 minutes before the open, for call auctions, and 1 minute after the close);
a day bar's trade_date must be a trading day.  Where a night session is held
is declared by ``night_on``:

    trading_day     on the evening of the previous trading day (the Chinese
                    exchanges hold Monday's night session on Friday evening)
    calendar_day    on the evening of the calendar day before (markets trading
                    through midnight hold Monday's session on Sunday evening)

Undeclared, it is calendar_day when a night session closes where another
session of the same sessions opens (e.g. 21:00-24:00 night, 00:00-21:00 day),
else trading_day.  The calendar's ``night`` says whether a day's night
session is held; undeclared it is, for trading_day sessions, when only a
weekend lies between the day and the trading day before (none after a
holiday), and always for calendar_day sessions.

A session closing at midnight (00:00-24:00) closes its trading day: its last
bar and its day bar are stamped 1 ms before midnight in the files the host
writes, so that floor(t) of a day bar is its trading day.

A row on no trading day or outside the sessions would never be read back: it
is refused, or with ``--drop-off-calendar`` dropped and counted.  A trade_date
given in the file must be the one the sessions give.

Bars and ticks need their instruments, the market's calendar and the
instrument's sessions in the store first; limits need their instruments and
the market's calendar.  Rows whose key is already stored
are replaced.  Importing minute bars rebuilds the day bars of every trading day
the imported bars join or leave.  All files of one call are checked before
anything is written and written in one transaction: on any error nothing is
imported, and the error names the file, row (1-based, header not counted),
column and value as written.
"""
from __future__ import annotations

import math
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd

from ..store.daybars import day_bars
from ..store.dimensions import Dimensions
from ..store.rule_defaults import COST_FIELDS, INSTRUMENT_KINDS, default_lot_size, default_margin_ratio
from ..store.schema import QUOTE_COLUMNS, create_schema
from ..store.storeinfo import new_data_version
from ..store.tradingtime import NIGHT_ON, Session, night_mode
from .read import B, D, F, I, S, T, ImportError_, convert, fail, read_file
from .tradingdays import assign_trading_days

_OHLC = [("open", F), ("high", F), ("low", F), ("close", F), ("volume", F), ("turnover", F)]

# kind -> (table, [(column, type, default or ... for required)], key columns)
KINDS = {
    "calendar": ("calendar", [("market", S, ...), ("trade_date", D, ...), ("night", B, None)],
                 ["market", "trade_date"]),
    "sessions": ("sessions", [("market", S, ...), ("variety", S, ""), ("seq", I, ...), ("start_hhmm", I, ...),
                              ("end_hhmm", I, ...), ("night", B, ...), ("night_on", S, "")],
                 ["market", "variety", "seq"]),
    "instruments": ("instruments", [("market", S, ...), ("code", S, ...), ("name", S, ...), ("kind", S, ...),
                                    ("variety", S, ""), ("multiplier", F, 1.0), ("price_tick", F, 0.01),
                                    ("list_date", D, 19000101), ("delist_date", D, 99991231),
                                    ("margin_ratio", F, math.nan), ("lot_size", I, None)], ["market", "code"]),
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
    "costs": ("costs", [("market", S, ...), ("variety", S, ""), ("kind", S, "")] + [(c, F, 0.0) for c in COST_FIELDS],
              ["market", "variety", "kind"]),
    "limits": ("limits", [("market", S, ...), ("code", S, ...), ("trade_date", D, ...), ("limit_up", F, ...),
                          ("limit_down", F, ...)], ["market", "code", "trade_date"]),
}
_KINDS_OF_INSTRUMENT = INSTRUMENT_KINDS
_TIMED_KINDS = ("bars-min", "bars-day", "ticks")
# Bars are stored in the order of their key (instrument, then time): a read of some instruments then
# skips the row groups of the others, and gets each one's rows in time order.
_ORDERED_TABLES = {"minute_bars": ("market", "code", "ts"), "day_bars": ("market", "code", "trade_date")}


def _check_rows(file, kind, df, raw):
    checks = []
    if kind in ("bars-min", "bars-day"):
        checks = [("high", df.high < df[["open", "close", "low"]].max(axis=1), "high below open, close or low"),
                  ("low", df.low > df[["open", "close", "high"]].min(axis=1), "low above open, close or high"),
                  ("volume", df.volume < 0, "negative volume")]
    if kind == "instruments":
        margin, lot = pd.to_numeric(df.margin_ratio), pd.to_numeric(df.lot_size)
        checks = [("kind", ~df.kind.isin(_KINDS_OF_INSTRUMENT), f"expected one of {', '.join(_KINDS_OF_INSTRUMENT)}"),
                  ("margin_ratio", margin.notna() & ~((margin > 0) & (margin <= 1)),
                   "a margin ratio is the fraction of the contract value held: above 0, at most 1"),
                  ("lot_size", lot.notna() & (lot < 1), "a lot is a positive whole number of shares or contracts")]
    if kind == "costs":
        checks = [("kind", ~df.kind.isin(("",) + _KINDS_OF_INSTRUMENT),
                   f"expected one of {', '.join(_KINDS_OF_INSTRUMENT)} (or empty: any kind)")]
        checks += [(c, df[c] < 0, "must not be negative") for c in COST_FIELDS]
        checks += [(c, df[c] >= 1, "a rate is a fraction of the turnover: below 1")
                   for c in ("commission_rate", "stamp_tax_rate")]
    if kind == "limits":
        checks = [("limit_down", df.limit_down <= 0, "must be positive"),
                  ("limit_up", df.limit_up < df.limit_down, "below limit_down")]
    if kind == "sessions":
        def bad_hhmm(v, top):
            return (v < 0) | (v > top) | (v % 100 >= 60)
        checks = [("start_hhmm", bad_hhmm(df.start_hhmm, 2359), "not a time of day HHMM"),
                  ("end_hhmm", bad_hhmm(df.end_hhmm, 2400), "not a time of day HHMM (2400 is midnight)"),
                  ("night_on", ~df.night_on.isin(("",) + NIGHT_ON), f"expected {' or '.join(NIGHT_ON)} (or empty)")]
    for col, mask, why in checks:
        bad = np.flatnonzero(mask.to_numpy())
        if bad.size:
            fail(file, bad[0] + 1, col, raw[col].iloc[bad[0]], why)


def _check_instruments(file, dims: Dimensions, df, raw):
    keys = list(zip(df.market, df.code))
    bad = [i for i, k in enumerate(keys) if k not in dims.instruments]
    if bad:
        i = bad[0]
        market, code = keys[i]
        hint = f"; did you mean market {code}, code {market}?" if (code, market) in dims.instruments else ""
        fail(file, i + 1, "code", raw["code"].iloc[i],
             f"unknown instrument {market}.{code} (market {market!r}, code {code!r}; import instruments first){hint}")


def _check_trading_days(file, dims: Dimensions, df, raw):
    """Every trade_date is a trading day of its market's calendar."""
    for market, rows in df.groupby("market", sort=False).indices.items():
        cal = dims.calendars.get(market)
        if cal is None:
            fail(file, rows[0] + 1, "market", raw["market"].iloc[rows[0]], "no trading calendar for this market "
                 "in the store (import the calendar first)")
        off = rows[~np.isin(df["trade_date"].to_numpy()[rows], cal.days)]
        if off.size:
            fail(file, off[0] + 1, "trade_date", raw["trade_date"].iloc[off[0]],
                 f"not a trading day of the {market} calendar")


def _fill_instrument_defaults(df):
    """Margin ratio and lot size by kind where the file gives none."""
    margin, lot = pd.to_numeric(df["margin_ratio"]), pd.to_numeric(df["lot_size"])
    df["margin_ratio"] = margin.where(margin.notna(), df["kind"].map(default_margin_ratio)).astype(float)
    df["lot_size"] = lot.where(lot.notna(), df["kind"].map(default_lot_size)).astype(np.int64)


def _prepare(dims, kind, path, drop_off_calendar) -> tuple[pd.DataFrame, int]:
    table, columns, key = KINDS[kind]
    raw = read_file(path)
    df = convert(path, raw, columns)
    _check_rows(path, kind, df, raw)
    if kind in ("bars-min", "bars-day", "ticks", "adj-factors", "factors", "main-contracts", "limits"):
        _check_instruments(path, dims, df, raw)
    if kind == "limits":
        _check_trading_days(path, dims, df, raw)
    if kind == "instruments":
        _fill_instrument_defaults(df)
    dropped = 0
    if kind in _TIMED_KINDS:
        df, dropped = assign_trading_days(path, kind, dims, df, raw, drop_off_calendar)
    dup = df.duplicated(key, keep="first").to_numpy()
    if dup.any():
        i = int(df.index[np.flatnonzero(dup)[0]])
        fail(path, i + 1, key[-1], raw[key[-1]].iloc[i], f"duplicate row for key {', '.join(key)}")
    if kind in ("bars-min", "ticks"):
        df["ts"] = df["ts"].astype("datetime64[us]" if kind == "bars-min" else "datetime64[ms]")
    if "trade_date" in df:
        df["trade_date"] = df["trade_date"].astype(np.int64)
    if kind == "calendar":
        df["night"] = df["night"].astype(object)  # None: the default of the sessions applies
    if kind == "sessions":
        df["night_on"] = df["night_on"].where(df["night_on"] != "", None)
    return df[[c for c, _, _ in columns]].reset_index(drop=True), dropped


def _check_night_on(con):
    """Every set of sessions declares at most one place for its night sessions."""
    rows = con.execute("SELECT market, variety, start_hhmm, end_hhmm, night, night_on FROM sessions "
                       "ORDER BY market, variety, seq").fetchall()
    sets: dict = {}
    for m, v, s, e, n, on in rows:
        sets.setdefault((m, v), []).append(Session(s, e, bool(n), on or None))
    for (m, v), sessions in sets.items():
        try:
            night_mode(sessions)
        except ValueError as exc:
            raise ImportError_(f"sessions of market {m} variety {v!r}: {exc}") from None


def _note_affected_days(con):
    """The trading days that imported minute bars join, and those the bars they replace leave."""
    con.execute("""CREATE TEMP TABLE affected AS
        SELECT DISTINCT market, code, trade_date FROM incoming
        UNION SELECT DISTINCT t.market, t.code, t.trade_date FROM minute_bars t
              JOIN incoming i ON t.market = i.market AND t.code = i.code AND t.ts = i.ts""")


def _rebuild_day_bars(con) -> int:
    """Day bars of the affected days, rebuilt from the minute bars now stored (none where none are left)."""
    con.execute("DELETE FROM day_bars t WHERE EXISTS (SELECT 1 FROM affected a WHERE a.market = t.market "
                "AND a.code = t.code AND a.trade_date = t.trade_date)")
    minutes = con.execute("""SELECT m.* FROM minute_bars m JOIN affected a ON a.market = m.market
        AND a.code = m.code AND a.trade_date = m.trade_date""").df()
    rebuilt = day_bars(minutes)
    con.register("rebuilt", rebuilt)
    _insert_in_order(con, "day_bars", "rebuilt", list(rebuilt.columns), rebuilt)
    con.execute("DROP TABLE affected")
    return len(rebuilt)


def _plain(value):
    """A key value as the database takes it as a parameter."""
    if isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    return value.item() if isinstance(value, np.generic) else value


def _insert_in_order(con, table: str, source: str, columns: list[str], frame) -> None:
    """Insert the rows of ``source`` (the registered ``frame``); a table kept in key order stays in it:
    the rows go in sorted, and when they do not all come after the rows already there the table is
    written again in order."""
    names = ", ".join(columns)
    key = _ORDERED_TABLES.get(table)
    if key is None or len(frame) == 0:
        con.execute(f"INSERT INTO {table} ({names}) SELECT {names} FROM {source}")
        return
    order = ", ".join(key)
    first = [_plain(v) for v in frame.sort_values(list(key)).iloc[0][list(key)]]
    # rows at or after the first new key (the new rows would interleave with them): a row whose key
    # equals it in the first i columns and is greater in the next (or equal, in the last)
    later, params = [], []
    for i, column in enumerate(key):
        same = [f"{k} = ?" for k in key[:i]]
        later.append(" AND ".join(same + [f"{column} {'>=' if i == len(key) - 1 else '>'} ?"]))
        params += first[:i + 1]
    later = " OR ".join(f"({c})" for c in later)
    interleaves = con.execute(f"SELECT EXISTS (SELECT 1 FROM {table} WHERE {later})", params).fetchone()[0]
    con.execute(f"INSERT INTO {table} ({names}) SELECT {names} FROM {source} ORDER BY {order}")
    if interleaves:
        con.execute(f"CREATE OR REPLACE TABLE {table} AS SELECT * FROM {table} ORDER BY {order}")


def import_files(store, kind: str, files, create: bool = True, drop_off_calendar: bool = False) -> dict:
    """Import ``files`` of ``kind`` into ``store`` in one transaction; returns {table: rows}.

    With ``drop_off_calendar``, bars and ticks on no trading day or outside the
    sessions are dropped instead of refused; ``"dropped"`` counts them.
    """
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
        dims = Dimensions(con)
        prepared = [_prepare(dims, kind, Path(f), drop_off_calendar) for f in files]
        frames = [f for f, _ in prepared]
        df = pd.concat(frames, ignore_index=True) if frames else pd.DataFrame(columns=[c for c, _, _ in columns])
        if len(frames) > 1:
            dup = df.duplicated(key).to_numpy()
            if dup.any():
                raise ImportError_(f"row key {df.loc[np.flatnonzero(dup)[0], key].tolist()} appears in two files")
        con.execute("BEGIN TRANSACTION")
        try:
            con.register("incoming", df)
            minutes = kind == "bars-min" and len(df) > 0
            if minutes:
                _note_affected_days(con)
            cond = " AND ".join(f"t.{k} = i.{k}" for k in key)
            con.execute(f"DELETE FROM {table} t WHERE EXISTS (SELECT 1 FROM incoming i WHERE {cond})")
            _insert_in_order(con, table, "incoming", list(df.columns), df)
            counts[table] = len(df)
            if minutes:
                counts["day_bars (rebuilt)"] = _rebuild_day_bars(con)
            if kind == "sessions":
                _check_night_on(con)
            new_data_version(con)  # caches built from the old data are never read again
            con.execute("COMMIT")
        except Exception:
            con.execute("ROLLBACK")
            raise
    except ImportError_:
        raise
    except Exception as exc:
        raise ImportError_(f"{store}: {exc}") from None
    finally:
        con.close()
    if drop_off_calendar and kind in _TIMED_KINDS:
        counts["dropped"] = sum(n for _, n in prepared)
    return counts
