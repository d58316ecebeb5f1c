"""Market fundamental data sets of the host: the tables, how they are built
from the store's stock day bars, and how a request for one is answered.

Data sets and their columns (types: date = YYYYMMDD, str, float, int, bool;
prices in yuan, volumes in shares, turnover and money flows in yuan, ``_pct``
values in percent):

``market_limit``  daily price limits of each stock; dated by ``trade_date``.
    trade_date, market, code; prev_close (ex-rights reference close),
    limit_up_price, limit_down_price, high_price, low_price, close_price;
    is_limit_up / is_limit_down (closed at the limit), touched_limit_up /
    touched_limit_down (reached it during the day).
``market_equ_flow``  daily money flow of each stock; trade_date, market, code,
    turnover; inflow_s/m/l/xl and outflow_s/m/l/xl (small, medium, large and
    extra-large orders), inflow, outflow (inflow + outflow = turnover),
    net_inflow, net_inflow_rate (percent of turnover).
``market_industry_flow``  the same summed per industry; trade_date,
    industry_code, industry_name, stock_count, turnover, inflow, outflow,
    net_inflow, net_inflow_rate.
``market_rank_stocks``  stocks standing out on a day; trade_date, market, code,
    abnormal_type_cd (LIMIT_UP, LIMIT_DOWN, UP, DOWN, AMPLITUDE, TURNOVER),
    abnormal_type, rank (1 = most), change_pct, amplitude, close_price,
    turnover, net_inflow.
``market_rank_industry``  industries ranked per day by turnover-weighted
    change; trade_date, industry_code, industry_name, rank, change_pct,
    turnover, up_count, down_count, leading_market, leading_code,
    leading_change_pct.
``ipo_con_traddays``  limit-up run of each new listing; dated by
    ``list_date``; market, code, name, issue_price, con_limit_days,
    first_open_date (first close below the limit; empty while the run lasts),
    last_limit_close, total_change_pct (last limit close against the issue price).
``market_subnew_equd``  daily bars of stocks in their first year; trade_date,
    market, code, name, list_date, days_listed, prev_close, open, high, low,
    close, volume, turnover, change_pct, is_limit_up.
``market_blockd``  block trades; trade_date, market, code, trade_price,
    volume, turnover, close_price, premium_pct (against the close), buyer, seller.

The sample's new listings (``fundamental_derive.SAMPLE_IPOS``) exist only in
``ipo_con_traddays`` and ``market_subnew_equd``; they have no bars in the store.
"""
from __future__ import annotations

from dataclasses import dataclass

import duckdb
import pandas as pd

from . import fundamental_derive as derive
from .commands import CommandError, command, parse_targets

COMMAND = "tvSendCmdGetFundamentalData"

_SQL_TYPES = {"date": "INTEGER", "str": "VARCHAR", "float": "DOUBLE", "int": "BIGINT", "bool": "BOOLEAN"}

_STOCK_KEYS = (("market", "str"), ("code", "str"))
_INDUSTRY_KEYS = (("industry_code", "str"), ("industry_name", "str"))
_FLOWS = tuple((f"{side}_{size}", "float") for side in ("inflow", "outflow") for size in derive.FLOW_SIZES)


@dataclass(frozen=True)
class Dataset:
    name: str
    columns: tuple  # (column, type) in answer order
    date_column: str
    list_param: str  # "target_list" or "industry_list"
    order: tuple
    type_filter: bool = False  # filtered by abnormal_type_cd

    @property
    def table(self) -> str:
        return "fundamental_" + self.name

    @property
    def params(self) -> tuple:
        extra = ("abnormal_type_cd",) if self.type_filter else ()
        return (self.list_param,) + extra + ("begin_date", "end_date", "field")


def _dataset(name, columns, date_column="trade_date", list_param="target_list", order=None, type_filter=False):
    names = [c for c, _ in columns]
    if order is None:
        order = (date_column,) + tuple(k for k in ("market", "code", "industry_code") if k in names)
    return Dataset(name, tuple(columns), date_column, list_param, tuple(order), type_filter)


DATASETS = {
    d.name: d
    for d in (
        _dataset("market_limit", (("trade_date", "date"),) + _STOCK_KEYS + tuple(
            (c, "float") for c in ("prev_close", "limit_up_price", "limit_down_price", "high_price", "low_price",
                                   "close_price")
        ) + tuple((c, "bool") for c in ("is_limit_up", "is_limit_down", "touched_limit_up", "touched_limit_down"))),
        _dataset("market_equ_flow", (("trade_date", "date"),) + _STOCK_KEYS + (("turnover", "float"),) + _FLOWS + tuple(
            (c, "float") for c in ("inflow", "outflow", "net_inflow", "net_inflow_rate")
        )),
        _dataset("market_industry_flow", (("trade_date", "date"),) + _INDUSTRY_KEYS + (("stock_count", "int"),) + tuple(
            (c, "float") for c in ("turnover", "inflow", "outflow", "net_inflow", "net_inflow_rate")
        ), list_param="industry_list"),
        _dataset("market_rank_stocks", (("trade_date", "date"),) + _STOCK_KEYS + (
            ("abnormal_type_cd", "str"), ("abnormal_type", "str"), ("rank", "int"), ("change_pct", "float"),
            ("amplitude", "float"), ("close_price", "float"), ("turnover", "float"), ("net_inflow", "float"),
        ), order=("trade_date", "abnormal_type_cd", "rank"), type_filter=True),
        _dataset("market_rank_industry", (("trade_date", "date"),) + _INDUSTRY_KEYS + (
            ("rank", "int"), ("change_pct", "float"), ("turnover", "float"), ("up_count", "int"),
            ("down_count", "int"), ("leading_market", "str"), ("leading_code", "str"), ("leading_change_pct", "float"),
        ), list_param="industry_list", order=("trade_date", "rank")),
        _dataset("ipo_con_traddays", (("list_date", "date"),) + _STOCK_KEYS + (
            ("name", "str"), ("issue_price", "float"), ("con_limit_days", "int"), ("first_open_date", "date"),
            ("last_limit_close", "float"), ("total_change_pct", "float"),
        ), date_column="list_date"),
        _dataset("market_subnew_equd", (("trade_date", "date"),) + _STOCK_KEYS + (
            ("name", "str"), ("list_date", "date"), ("days_listed", "int"),
        ) + tuple((c, "float") for c in ("prev_close", "open", "high", "low", "close", "volume", "turnover",
                                         "change_pct")) + (("is_limit_up", "bool"),)),
        _dataset("market_blockd", (("trade_date", "date"),) + _STOCK_KEYS + tuple(
            (c, "float") for c in ("trade_price", "volume", "turnover", "close_price", "premium_pct")
        ) + (("buyer", "str"), ("seller", "str"))),
    )
}


# ---------------------------------------------------------------- building

def create_fundamental_tables(con: duckdb.DuckDBPyConnection) -> None:
    for d in DATASETS.values():
        cols = ", ".join(f"{c} {_SQL_TYPES[t]}" for c, t in d.columns)
        con.execute(f"CREATE TABLE IF NOT EXISTS {d.table} ({cols})")


def store_dataset(con: duckdb.DuckDBPyConnection, name: str, rows: pd.DataFrame) -> None:
    """Replaces the rows of a data set; ``rows`` must have its columns."""
    d = DATASETS[name]
    names = [c for c, _ in d.columns]
    missing = [c for c in names if c not in rows.columns]
    if missing:
        raise ValueError(f"{name}: rows lack columns {missing}")
    con.execute(f"DELETE FROM {d.table}")
    select = ", ".join(f"CAST({c} AS {_SQL_TYPES[t]})" for c, t in d.columns)
    con.register("fundamental_rows", rows[names])
    try:
        con.execute(f"INSERT INTO {d.table} SELECT {select} FROM fundamental_rows")
    finally:
        con.unregister("fundamental_rows")


def _stock_day_bars(con: duckdb.DuckDBPyConnection) -> tuple[pd.DataFrame, dict]:
    bars = con.execute(
        "SELECT b.market, b.code, b.trade_date, b.open, b.high, b.low, b.close, b.volume, b.turnover, i.name "
        "FROM day_bars b JOIN instruments i ON i.market = b.market AND i.code = b.code "
        "WHERE i.kind = 'stock' AND b.close IS NOT NULL ORDER BY b.market, b.code, b.trade_date"
    ).df()
    names = {(m, c): n for m, c, n in zip(bars["market"], bars["code"], bars["name"])}
    return bars.drop(columns=["name"]), names


def _ex_rights(con: duckdb.DuckDBPyConnection) -> pd.DataFrame:
    return con.execute("SELECT market, code, ex_date, split, dividend FROM adj_factors").df()


def build_fundamentals(con, bars: pd.DataFrame, ex_rights: pd.DataFrame, names: dict, trading_days) -> None:
    """Fills every fundamental table from stock day bars (see the module doc)."""
    create_fundamental_tables(con)
    day = derive.with_prev_close(bars, ex_rights, names)
    flow = derive.market_equ_flow(day)
    ipo_bars, listings = derive.sample_ipo_bars(trading_days)
    store_dataset(con, "market_limit", derive.market_limit(day))
    store_dataset(con, "market_equ_flow", flow)
    store_dataset(con, "market_industry_flow", derive.market_industry_flow(flow))
    store_dataset(con, "market_rank_stocks", derive.market_rank_stocks(day, flow))
    store_dataset(con, "market_rank_industry", derive.market_rank_industry(day))
    store_dataset(con, "ipo_con_traddays", derive.ipo_con_traddays(ipo_bars, listings))
    store_dataset(con, "market_subnew_equd", derive.market_subnew_equd(ipo_bars, listings))
    store_dataset(con, "market_blockd", derive.market_blockd(day))


def build_sample_fundamentals(con: duckdb.DuckDBPyConnection) -> None:
    """Builds the fundamental tables of a store whose stock day bars,
    instruments and adjustment factors already exist. The sample's new
    listings fall on trading days of the stock bars."""
    bars, names = _stock_day_bars(con)
    days = sorted(int(d) for d in bars["trade_date"].unique())
    build_fundamentals(con, bars, _ex_rights(con), names, days)


# ---------------------------------------------------------------- answering

def _parse_date(name: str, value):
    if value is None or value == "":
        return None
    if isinstance(value, bool) or not isinstance(value, int) or not 10000101 <= value <= 99991231:
        raise CommandError(f"{name}: expected a date YYYYMMDD or '', got {value!r}")
    return value


def _string_list(name: str, value) -> list[str]:
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise CommandError(f"{name}: expected a list of strings, got {value!r}")
    return list(value)


def query_fundamental(con: duckdb.DuckDBPyConnection, name: str, params: dict) -> dict:
    """Answer for one data-set request: the data set's rows for the targets
    (or industries, or abnormal types) and dates asked, with the fields
    asked (all when ``field`` is empty), as ``{"Name", "Columns", "Types",
    "Data"}`` with one list of values per column."""
    d = DATASETS.get(name)
    if d is None:
        raise CommandError(f"unknown fundamental data set {name!r}; known: {', '.join(DATASETS)}")
    if not isinstance(params, dict):
        raise CommandError(f"{name}: parameters must be a dictionary, got {type(params).__name__}")
    unknown = sorted(set(params) - set(d.params))
    if unknown:
        raise CommandError(f"{name}: unknown parameters {unknown}; accepted: {', '.join(d.params)}")

    types = dict(d.columns)
    fields = _string_list("field", params.get("field", []))
    bad = [f for f in fields if f not in types]
    if bad:
        raise CommandError(f"{name}: unknown fields {bad}; available: {', '.join(types)}")
    columns = list(dict.fromkeys(fields)) or list(types)

    where, args = [], []
    begin = _parse_date("begin_date", params.get("begin_date", ""))
    end = _parse_date("end_date", params.get("end_date", ""))
    if begin is not None:
        where.append(f"{d.date_column} >= ?")
        args.append(begin)
    if end is not None:
        where.append(f"{d.date_column} <= ?")
        args.append(end)
    if d.list_param == "target_list":
        targets = params.get("target_list", [])
        if not isinstance(targets, (list, tuple)):
            raise CommandError(f"target_list: expected a list of targets, got {targets!r}")
        if targets:
            where.append("list_contains(?, market || '|' || code)")
            args.append([f"{m}|{c}" for m, c in parse_targets(targets)])
    elif d.list_param == "industry_list":
        industries = _string_list("industry_list", params.get("industry_list", []))
        if industries:
            where.append("(list_contains(?, industry_code) OR list_contains(?, industry_name))")
            args += [industries, industries]
    if d.type_filter:
        codes = _string_list("abnormal_type_cd", params.get("abnormal_type_cd", []))
        if codes:
            where.append("list_contains(?, abnormal_type_cd)")
            args.append(codes)

    sql = f"SELECT {', '.join(columns)} FROM {d.table}"
    if where:
        sql += " WHERE " + " AND ".join(where)
    sql += " ORDER BY " + ", ".join(d.order)
    try:
        rows = con.execute(sql, args).fetchall()
    except duckdb.CatalogException:
        raise CommandError(f"{name}: this store holds no fundamental data; rebuild it with the current version") from None
    data = [list(col) for col in zip(*rows)] if rows else [[] for _ in columns]
    return {"Name": name, "Columns": columns, "Types": [types[c] for c in columns], "Data": data}


@command(COMMAND)
def get_fundamental_data(ctx, name, params=None):
    """``tvSendCmdGetFundamentalData(name, params)``: rows of one data set."""
    if not isinstance(name, str):
        raise CommandError(f"data set name must be a string, got {name!r}")
    return query_fundamental(ctx.con, name, {} if params is None else params)
