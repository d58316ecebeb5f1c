"""Market fundamental data sets of the store: their tables and columns.

The sample store builds them from its stock day bars
(``telvar.host.sample.fundamentals``); ``tvSendCmdGetFundamentalData``
answers them (``telvar.host.commands.fundamental``).

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

The sample's new listings (``sample.fundamentals.SAMPLE_IPOS``) exist only in
``ipo_con_traddays`` and ``market_subnew_equd``; they have no bars in the store.
"""
from __future__ import annotations

from dataclasses import dataclass

import duckdb
import pandas as pd

_SQL_TYPES = {"date": "INTEGER", "str": "VARCHAR", "float": "DOUBLE", "int": "BIGINT", "bool": "BOOLEAN"}

_STOCK_KEYS = (("market", "str"), ("code", "str"))
_INDUSTRY_KEYS = (("industry_code", "str"), ("industry_name", "str"))
FLOW_SIZES = ("s", "m", "l", "xl")  # small, medium, large and extra-large orders
_FLOWS = tuple((f"{side}_{size}", "float") for side in ("inflow", "outflow") for size in FLOW_SIZES)


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
