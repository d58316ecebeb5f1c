"""Tables of the host's DuckDB store.

Times of bars and ticks are exchange-local TIMESTAMPs (bar end times); trading
days are integers YYYYMMDD.  Night bars carry the trading day they belong to.
"""
from __future__ import annotations

import duckdb

from .storeinfo import ensure_store_keys

SCHEMA_VERSION = "1"

_QUOTES = ",\n    ".join(
    f"{side}_{kind}{n} DOUBLE" for n in range(1, 6) for side in ("bid", "ask") for kind in ("price", "volume")
)

TABLES = {
    "meta": "key VARCHAR PRIMARY KEY, value VARCHAR",
    "calendar": "market VARCHAR, trade_date INTEGER, night BOOLEAN, PRIMARY KEY (market, trade_date)",
    "sessions": (
        "market VARCHAR, variety VARCHAR, seq INTEGER, start_hhmm INTEGER, end_hhmm INTEGER, night BOOLEAN, "
        "night_on VARCHAR, PRIMARY KEY (market, variety, seq)"
    ),
    "instruments": (
        "market VARCHAR, code VARCHAR, name VARCHAR, kind VARCHAR, variety VARCHAR, multiplier DOUBLE, "
        "price_tick DOUBLE, list_date INTEGER, delist_date INTEGER, margin_ratio DOUBLE, lot_size INTEGER, "
        "PRIMARY KEY (market, code)"
    ),
    "minute_bars": (
        "market VARCHAR, code VARCHAR, ts TIMESTAMP, trade_date INTEGER, open DOUBLE, high DOUBLE, low DOUBLE, "
        "close DOUBLE, volume DOUBLE, turnover DOUBLE, open_interest DOUBLE"
    ),
    "day_bars": (
        "market VARCHAR, code VARCHAR, trade_date INTEGER, open DOUBLE, high DOUBLE, low DOUBLE, close DOUBLE, "
        "volume DOUBLE, turnover DOUBLE, open_interest DOUBLE"
    ),
    "ticks": (
        "market VARCHAR, code VARCHAR, ts TIMESTAMP_MS, trade_date INTEGER, price DOUBLE, volume DOUBLE, "
        "volume_tick DOUBLE, turnover DOUBLE, open_interest DOUBLE,\n    " + _QUOTES
    ),
    "main_contracts": (
        "market VARCHAR, code VARCHAR, trade_date INTEGER, contract VARCHAR, PRIMARY KEY (market, code, trade_date)"
    ),
    "adj_factors": (
        "market VARCHAR, code VARCHAR, ex_date INTEGER, ratio DOUBLE, split DOUBLE, dividend DOUBLE, "
        "PRIMARY KEY (market, code, ex_date)"
    ),
    "factors": "factor VARCHAR, market VARCHAR, code VARCHAR, trade_date INTEGER, value DOUBLE",
    "blocks": "block VARCHAR, trade_date INTEGER, market VARCHAR, code VARCHAR",
    # trading costs: the most specific row of a market applies (variety, then kind, then the market's own)
    "costs": (
        "market VARCHAR, variety VARCHAR, kind VARCHAR, commission_rate DOUBLE, commission_per_lot DOUBLE, "
        "min_commission DOUBLE, stamp_tax_rate DOUBLE, slippage_ticks DOUBLE, PRIMARY KEY (market, variety, kind)"
    ),
    "limits": (
        "market VARCHAR, code VARCHAR, trade_date INTEGER, limit_up DOUBLE, limit_down DOUBLE, "
        "PRIMARY KEY (market, code, trade_date)"
    ),
    "strategies": (
        "strategy_id VARCHAR PRIMARY KEY, name VARCHAR, begin_date INTEGER, end_date INTEGER, "
        "total_return DOUBLE, annual_return DOUBLE, max_drawdown DOUBLE, sharpe DOUBLE, win_rate DOUBLE, "
        "trade_count INTEGER"
    ),
}

QUOTE_COLUMNS = [f"{side}_{kind}{n}" for n in range(1, 6) for side in ("bid", "ask") for kind in ("price", "volume")]


# columns added after stores were first written: (table, column, type); NULL in the rows already there
ADDED_COLUMNS = [("sessions", "night_on", "VARCHAR"), ("instruments", "margin_ratio", "DOUBLE"),
                 ("instruments", "lot_size", "INTEGER")]


def create_schema(con: duckdb.DuckDBPyConnection) -> None:
    """Create the missing tables; a store without a store id and data version gets them."""
    for name, cols in TABLES.items():
        con.execute(f"CREATE TABLE IF NOT EXISTS {name} ({cols})")
    for table, column, typ in ADDED_COLUMNS:
        con.execute(f"ALTER TABLE {table} ADD COLUMN IF NOT EXISTS {column} {typ}")
    con.execute("INSERT OR REPLACE INTO meta VALUES ('schema_version', ?)", [SCHEMA_VERSION])
    ensure_store_keys(con)


def table_columns(con: duckdb.DuckDBPyConnection, table: str) -> list[str]:
    return [r[0] for r in con.execute(f"DESCRIBE {table}").fetchall()]
