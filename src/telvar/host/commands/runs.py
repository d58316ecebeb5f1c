"""Back-test runs recorded by the host, and their strategy ids and statistics.

A strategy process opens a run with ``tvSendCmdBeginRun(info)``, sends its
trades, orders and daily equity in chunks with ``tvSendCmdPutRunRows`` and
closes it with ``tvSendCmdEndRun(strategy_id, stats)``; everything goes to
the host's results database (``store.results_db``).  ``tvSendCmdGetStrategyID``
answers the run begun last on the same connection, else the host's own
strategy id (``serve --strategy-id``, else the store's).  Every argument comes
from a client and is checked before anything is written.
"""
from __future__ import annotations

import json
import math

from ..store.results_db import RUN_TABLES, ResultsDB, ResultsError
from .registry import CommandError, Context, as_int_date, command

MAX_ROWS_PER_CALL = 5000
MAX_STATS = 1000
MAX_NAME_CHARS = 200
MAX_TEXT_CHARS = 4096  # a statistic's text value
_INT64 = (-(2 ** 63), 2 ** 63 - 1)
# the keys every performance answer has (None where a run's statistics lack one)
PERFORMANCE_KEYS = ("StrategyID", "Name", "BeginDate", "EndDate", "TotalReturn", "AnnualReturn", "MaxDrawdown",
                    "Sharpe", "WinRate", "TradeCount")
_STORE_COLUMNS = {"strategy_id": "StrategyID", "name": "Name", "begin_date": "BeginDate", "end_date": "EndDate",
                  "total_return": "TotalReturn", "annual_return": "AnnualReturn", "max_drawdown": "MaxDrawdown",
                  "sharpe": "Sharpe", "win_rate": "WinRate", "trade_count": "TradeCount"}
_KIND_TEXT = {"int": "a whole number", "real": "a number", "text": "a text", "any": "a number or a text"}


def _unicode(text: str) -> bool:
    """JSON can carry lone surrogates, which no file can store."""
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _json_text(value, what: str) -> None:
    if not _unicode(json.dumps(value, ensure_ascii=False)):
        raise CommandError(f"{what} holds a text that is not valid Unicode")


def _results(ctx: Context) -> ResultsDB:
    db = ctx.cache.get("results")
    if db is None:
        raise CommandError("this host keeps no results database")
    return db


def _strategy_id_arg(value) -> str:
    if not isinstance(value, str) or not 0 < len(value) <= MAX_NAME_CHARS or not _unicode(value):
        raise CommandError(f"strategy id must be a text of 1 to {MAX_NAME_CHARS} characters, got {value!r:.100}")
    return value


def _run_info(info) -> tuple[str, int, int]:
    if not isinstance(info, dict):
        raise CommandError(f"run info must be a dictionary, got {type(info).__name__}")
    name = info.get("Name")
    if not isinstance(name, str) or len(name) > MAX_NAME_CHARS:
        raise CommandError(f"run info: 'Name' must be a text of at most {MAX_NAME_CHARS} characters, "
                           f"got {name!r:.100}")
    begin = as_int_date(info.get("BeginDate"), "run info: 'BeginDate'")
    end = as_int_date(info.get("EndDate"), "run info: 'EndDate'")
    if begin > end:
        raise CommandError(f"run info: 'BeginDate' {begin} is after 'EndDate' {end}")
    _json_text(info, "run info")
    return name, begin, end


def _cell(value, kind: str):
    """The value as stored, or a ValueError saying what was expected."""
    if value is None:
        return value
    if isinstance(value, str):
        if kind in ("text", "any"):
            if not _unicode(value):
                raise ValueError("a valid Unicode text")
            return value
    elif isinstance(value, bool):
        if kind == "any":
            return int(value)
    elif isinstance(value, int):
        if kind != "text" and _INT64[0] <= value <= _INT64[1]:
            return value
    elif isinstance(value, float):
        if kind in ("real", "any"):
            return value  # NaN is stored as NULL
        if kind == "int" and math.isfinite(value) and value == int(value) and _INT64[0] <= value <= _INT64[1]:
            return int(value)
    raise ValueError(_KIND_TEXT[kind])


def _checked_rows(table, columns, rows) -> tuple[str, list[str], list[list]]:
    if not isinstance(table, str) or table not in RUN_TABLES:
        raise CommandError(f"unknown table {table!r:.100}; expected one of {', '.join(RUN_TABLES)}")
    known = RUN_TABLES[table]
    if not isinstance(columns, list) or not columns or not all(isinstance(c, str) for c in columns):
        raise CommandError(f"columns must be a non-empty list of column names of {table}: {', '.join(known)}")
    unknown = [c for c in columns if c not in known]
    if unknown:
        raise CommandError(f"unknown column {unknown[0]!r:.100} of {table}; its columns are {', '.join(known)}")
    if len(set(columns)) != len(columns):
        twice = next(c for c in columns if columns.count(c) > 1)
        raise CommandError(f"column {twice!r} is named twice")
    if not isinstance(rows, list):
        raise CommandError(f"rows must be a list of lists, got {type(rows).__name__}")
    if len(rows) > MAX_ROWS_PER_CALL:
        raise CommandError(f"{len(rows)} rows in one call; send at most {MAX_ROWS_PER_CALL} rows a call")
    kinds = [known[c] for c in columns]
    out = []
    for i, row in enumerate(rows, 1):
        if not isinstance(row, list) or len(row) != len(columns):
            got = f"{len(row)} values" if isinstance(row, list) else f"a {type(row).__name__}"
            raise CommandError(f"row {i}: expected a list of {len(columns)} values (one per column), got {got}")
        checked = []
        for name, kind, value in zip(columns, kinds, row):
            try:
                checked.append(_cell(value, kind))
            except ValueError as exc:
                raise CommandError(f"row {i}, column {name!r}: expected {exc} or null, got {value!r:.100}") from None
        out.append(checked)
    return table, columns, out


def _checked_stats(stats) -> dict:
    if not isinstance(stats, dict):
        raise CommandError(f"statistics must be a dictionary, got {type(stats).__name__}")
    if len(stats) > MAX_STATS:
        raise CommandError(f"{len(stats)} statistics; at most {MAX_STATS} are kept")
    for key, value in stats.items():
        if not 0 < len(key) <= MAX_NAME_CHARS:
            raise CommandError(f"statistic name {key!r:.100} must have 1 to {MAX_NAME_CHARS} characters")
        if isinstance(value, str) and len(value) > MAX_TEXT_CHARS:
            raise CommandError(f"statistic {key!r}: a text of at most {MAX_TEXT_CHARS} characters, "
                               f"got {len(value)}")
        if value is not None and not isinstance(value, (bool, int, float, str)):
            raise CommandError(f"statistic {key!r}: expected a number, a text or null (a flat dictionary), "
                               f"got {type(value).__name__}")
    _json_text(stats, "statistics")
    return stats


def _recorded(work):
    try:
        return work()
    except ResultsError as exc:
        raise CommandError(str(exc)) from None


@command("tvSendCmdBeginRun")
def begin_run(ctx: Context, info):
    """Open a run; its new strategy id is answered and becomes this connection's (``tvSendCmdGetStrategyID``)."""
    name, begin, end = _run_info(info)
    store_id = (ctx.cache.get("store_info") or {}).get("store_id")
    sid = _recorded(lambda: _results(ctx).begin_run(name, begin, end, info, store_id))
    ctx.connection["strategy_id"] = sid
    ctx.log.info("run %s begun: %r, %d..%d", sid, name[:100], begin, end)
    return sid


@command("tvSendCmdPutRunRows")
def put_run_rows(ctx: Context, strategy_id, table, columns, rows):
    """Append rows to a table of a running run (``trades``, ``orders``, ``daily_equity``); answers how many."""
    sid = _strategy_id_arg(strategy_id)
    table, columns, rows = _checked_rows(table, columns, rows)
    return _recorded(lambda: _results(ctx).put_rows(sid, table, columns, rows))


@command("tvSendCmdEndRun")
def end_run(ctx: Context, strategy_id, stats):
    """Store a run's statistics and mark it complete."""
    sid = _strategy_id_arg(strategy_id)
    stats = _checked_stats(stats)
    _recorded(lambda: _results(ctx).end_run(sid, stats))
    ctx.log.info("run %s ended", sid)
    return True


def _host_strategy_id(ctx: Context) -> str:
    if ctx.options.strategy_id:
        return ctx.options.strategy_id
    row = ctx.con.execute("SELECT value FROM meta WHERE key = 'strategy_id'").fetchone()
    return row[0] if row else ""


@command("tvSendCmdGetStrategyID")
def get_strategy_id(ctx: Context):
    return ctx.connection.get("strategy_id") or _host_strategy_id(ctx)


def _run_performance(run: dict) -> dict:
    if run["status"] != "complete":
        raise CommandError(f"run {run['strategy_id']} has not ended: it has no statistics yet")
    answer = dict.fromkeys(PERFORMANCE_KEYS)
    answer.update(Name=run["name"], BeginDate=run["begin_date"], EndDate=run["end_date"])
    answer.update(run["stats"])
    answer["StrategyID"] = run["strategy_id"]
    return answer


@command("tvSendCmdGetBackTestPerformance")
def get_back_test_performance(ctx: Context, strategy_id):
    """A recorded run's statistics (the shared keys, then every statistic it was sent), else the store's record."""
    sid = str(strategy_id)
    if not _unicode(sid):
        raise CommandError(f"unknown strategy id {strategy_id!r}")
    db = ctx.cache.get("results")
    run = _recorded(lambda: db.run(sid)) if db is not None and 0 < len(sid) <= MAX_NAME_CHARS else None
    if run is not None:
        return _run_performance(run)
    df = ctx.con.execute("SELECT * FROM strategies WHERE strategy_id = ?", [sid]).df()
    if df.empty:
        raise CommandError(f"unknown strategy id {strategy_id!r}")
    rec = df.iloc[0].to_dict()
    return {_STORE_COLUMNS.get(k, k): (v.item() if hasattr(v, "item") else v) for k, v in rec.items()}
