"""``tvSendCmdGetFundamentalData(name, params)``: the rows of one fundamental data set
(the data sets: ``telvar.host.store.fundamentals``)."""
from __future__ import annotations

import duckdb

from ..store.fundamentals import DATASETS
from .registry import CommandError, command, parse_targets

COMMAND = "tvSendCmdGetFundamentalData"


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
