"""Reading the store for requests: instruments, time lines, bars.

``ctx`` is a request's context (``commands.registry.Context``): its read-only
cursor ``con`` and ``shared``, the data shared by the host's requests, where
the store's small tables are kept once loaded (``dims``).
"""
from __future__ import annotations

from typing import NamedTuple

import numpy as np

from telvar.common.timeconv import datetime64_to_minutes

from . import bars as B
from .dimensions import Dimensions, Instrument


def dims(ctx) -> Dimensions:
    return ctx.shared("dims", lambda: Dimensions(ctx.con))


def resolve(ctx, pairs) -> list[Instrument]:
    d = dims(ctx)
    return [d.instrument(m, c) for m, c in pairs]


# ------------------------------------------------------------------ time lines
def minute_slots(ctx, insts: list[Instrument], begin: int, end: int):
    """Union time line of the instruments' minute slots: (epoch minutes, trading days)."""
    d = dims(ctx)
    seen, times, tdays = set(), [], []
    for inst in insts:
        key = (inst.market, tuple(d.sessions_of(inst)))
        if key in seen:
            continue
        seen.add(key)
        cal = d.calendar(inst.market)
        t, td = cal.slots(d.sessions_of(inst), cal.between(begin, end))
        times.append(t)
        tdays.append(td)
    if not times:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    t = np.concatenate(times)
    td = np.concatenate(tdays)
    t, first = np.unique(t, return_index=True)
    return t, td[first]


def day_slots(ctx, insts: list[Instrument], begin: int, end: int):
    """One slot per trading day, stamped with the day's last minute slot: (epoch minutes, days)."""
    d = dims(ctx)
    stamp: dict[int, int] = {}
    for inst in insts:
        cal = d.calendar(inst.market)
        idx = cal.between(begin, end)
        closes = cal.close_minutes(d.sessions_of(inst), idx)
        for day, c in zip(cal.days[idx].tolist(), closes.tolist()):
            stamp[day] = max(stamp.get(day, c), c)
    days = np.array(sorted(stamp), dtype=np.int64)
    return np.array([stamp[x] for x in days.tolist()], dtype=np.int64), days


# ------------------------------------------------------------------ bars
FIELD_COLUMNS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
_FIELD_SQL = ", ".join(FIELD_COLUMNS)


def stitched(ctx, inst: Instrument) -> bool:
    """True when the instrument's data are those of its main contract of each day."""
    return inst.is_continuous and (inst.market, inst.code) in dims(ctx).stitched


def series_sql(table: str, columns, order: str, stitched: bool) -> str:
    """A query of ``columns`` of one instrument's rows of ``table`` on the trading days of a range, by ``order``.

    Its parameters are market, code, first and last trading day. The rows of a
    stitched continuous instrument are those of its main contract of each day.
    """
    picked = ", ".join(f"t.{c}" for c in columns)
    if stitched:
        rows = (f"main_contracts mc JOIN {table} t ON t.market = mc.market AND t.code = mc.contract "
                "AND t.trade_date = mc.trade_date "
                "WHERE mc.market = ? AND mc.code = ? AND mc.trade_date BETWEEN ? AND ?")
    else:
        rows = f"{table} t WHERE t.market = ? AND t.code = ? AND t.trade_date BETWEEN ? AND ?"
    return f"SELECT {picked} FROM {rows} ORDER BY t.{order}"


class Rows(NamedTuple):
    """Stored bars of one or more instruments, in no particular order.

    ``inst``: per row, the position of its instrument in the list asked for (an
    int when all rows are of one); ``keys``: bar keys (epoch minutes of minute
    bars, trading days of day bars); ``tdays``: trading days (None when not
    read); ``values``: the 7 field columns.
    """
    inst: np.ndarray | int
    keys: np.ndarray
    tdays: np.ndarray | None
    values: list


def _columns(r) -> list:
    return [np.asarray(r[c], dtype=np.float64) for c in FIELD_COLUMNS]


def load_minute_rows(ctx, insts: list[Instrument], begin: int, end: int, days: bool = True) -> list[Rows]:
    """Minute bars of ``insts`` (distinct instruments): one query per market for the plain ones,
    one per stitched continuous instrument. Without ``days`` the plain ones' trading days are not
    read (``tdays`` None)."""
    out = []
    by_market: dict[str, list[int]] = {}
    for i, inst in enumerate(insts):
        if stitched(ctx, inst):
            sql = series_sql("minute_bars", ("ts", "trade_date") + FIELD_COLUMNS, "ts", True)
            r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
            out.append(Rows(i, datetime64_to_minutes(r["ts"]), np.asarray(r["trade_date"], np.int64), _columns(r)))
        else:
            by_market.setdefault(inst.market, []).append(i)
    for market, members in by_market.items():
        codes = [insts[i].code for i in members]
        marks = ", ".join("?" * len(codes))
        # no ORDER BY: rows are placed by their keys, and the store's order (instrument, time) lets
        # the scan skip the row groups of other instruments
        day_sql = "trade_date, " if days else ""
        r = ctx.con.execute(f"SELECT list_position(?::VARCHAR[], code)::INTEGER AS k, ts, {day_sql}{_FIELD_SQL} "
                            f"FROM minute_bars WHERE market = ? AND code IN ({marks}) AND trade_date BETWEEN ? AND ?",
                            [codes, market, *codes, begin, end]).fetchnumpy()
        if len(r["ts"]) == 0:
            continue
        inst = np.asarray(members, np.int64)[np.asarray(r["k"], np.int64) - 1]
        tdays = np.asarray(r["trade_date"], np.int64) if days else None
        out.append(Rows(inst, datetime64_to_minutes(r["ts"]), tdays, _columns(r)))
    return out


def load_day_rows(ctx, insts: list[Instrument], begin: int, end: int) -> list[Rows]:
    """Day bars of ``insts`` (keys are trading days), one query per instrument."""
    out = []
    for i, inst in enumerate(insts):
        tdays, values = load_days(ctx, inst, begin, end)
        out.append(Rows(i, tdays, tdays, list(values)))
    return out


def load_days(ctx, inst: Instrument, begin: int, end: int):
    """Stored day bars: (trading days, (7, n) values), in date order."""
    sql = series_sql("day_bars", ("trade_date",) + FIELD_COLUMNS, "trade_date", stitched(ctx, inst))
    r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
    values = np.vstack([np.asarray(r[k], dtype=np.float64) for k in FIELD_COLUMNS]) if len(r["trade_date"]) else \
        np.zeros((B.N_FIELDS, 0))
    return np.asarray(r["trade_date"], np.int64), values


def adjustment(ctx, inst: Instrument, trade_days: np.ndarray, fq: str) -> np.ndarray | None:
    """Multipliers of a stock's prices on ``trade_days`` for splits and dividends (None: no change)."""
    events = dims(ctx).adj.get((inst.market, inst.code))
    if fq == "NA" or not events:
        return None
    ex = np.array([e[0] for e in events], dtype=np.int64)
    ratio = np.array([e[1] for e in events], dtype=np.float64)
    return B.adjustment_multipliers(trade_days, ex, ratio, fq)
