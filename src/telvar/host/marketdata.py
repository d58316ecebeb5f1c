"""Reading the store: instruments, calendars, sessions, bars.

Dimension tables are small and the store is read-only while the host serves,
so they are loaded once per host and shared by all requests.
"""
from __future__ import annotations

import threading
from dataclasses import dataclass

import numpy as np

from . import bars as B
from .commands import TARGET_FORMS, CommandError, Context, label
from .schema import table_columns
from .timeutil import datetime64_to_minutes
from .tradingtime import Calendar, Session

_lock = threading.Lock()


@dataclass(frozen=True)
class Instrument:
    market: str
    code: str
    name: str
    kind: str
    variety: str
    multiplier: float
    price_tick: float
    list_date: int
    delist_date: int

    @property
    def is_continuous(self) -> bool:
        return self.kind == "continuous"


class Dimensions:
    def __init__(self, con):
        rows = con.execute("SELECT market, code, name, kind, variety, multiplier, price_tick, list_date, "
                           "delist_date FROM instruments").fetchall()
        self.instruments = {(r[0], r[1]): Instrument(*r) for r in rows}
        self.calendars = {}
        cal = con.execute("SELECT market, trade_date, night FROM calendar ORDER BY market, trade_date").fetchnumpy()
        for market in np.unique(cal["market"]):
            sel = cal["market"] == market
            self.calendars[str(market)] = Calendar(cal["trade_date"][sel], cal["night"][sel])
        all_days = np.unique(cal["trade_date"]) if len(cal["trade_date"]) else np.zeros(0, np.int64)
        self.all_days = all_days.astype(np.int64)
        self.sessions: dict[tuple[str, str], list[Session]] = {}
        # stores written before sessions declared where night sessions are held lack the column
        night_on = "night_on" if "night_on" in table_columns(con, "sessions") else "NULL"
        for m, v, s, e, n, on in con.execute(f"SELECT market, variety, start_hhmm, end_hhmm, night, {night_on} "
                                             "FROM sessions ORDER BY market, variety, seq").fetchall():
            self.sessions.setdefault((m, v), []).append(Session(s, e, bool(n), on or None))
        # continuous codes whose bars are stitched from their main contracts (others keep stored bars)
        self.stitched = set(con.execute("SELECT DISTINCT market, code FROM main_contracts").fetchall())
        self.adj = {}
        for m, c, d, r in con.execute("SELECT market, code, ex_date, ratio FROM adj_factors ORDER BY ex_date").fetchall():
            self.adj.setdefault((m, c), []).append((d, r))

    def instrument(self, market: str, code: str) -> Instrument:
        inst = self.instruments.get((market, code))
        if inst is None:
            hint = f"; did you mean '{label(code, market)}'?" if (code, market) in self.instruments else ""
            raise CommandError(f"unknown instrument {label(market, code)} (market {market!r}, code {code!r}: "
                               f"{TARGET_FORMS}){hint}")
        return inst

    def calendar(self, market: str) -> Calendar:
        cal = self.calendars.get(market)
        if cal is None:
            raise CommandError(f"no trading calendar for market {market!r}")
        return cal

    def declared_sessions(self, inst: Instrument) -> list[Session] | None:
        """The sessions of the instrument's variety, else the market's default (variety "")."""
        return self.sessions.get((inst.market, inst.variety)) or self.sessions.get((inst.market, ""))

    def sessions_of(self, inst: Instrument) -> list[Session]:
        s = self.declared_sessions(inst)
        if not s:
            raise CommandError(f"no trading sessions for {label(inst.market, inst.code)}")
        return s


def dims(ctx: Context) -> Dimensions:
    d = ctx.cache.get("dims")
    if d is None:
        with _lock:
            d = ctx.cache.get("dims")
            if d is None:
                d = ctx.cache["dims"] = Dimensions(ctx.con)
    return d


def resolve(ctx: Context, pairs) -> list[Instrument]:
    d = dims(ctx)
    return [d.instrument(m, c) for m, c in pairs]


# ------------------------------------------------------------------ time lines
def minute_slots(ctx: Context, insts: list[Instrument], begin: int, end: int):
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


def day_slots(ctx: Context, insts: list[Instrument], begin: int, end: int):
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
_FIELD_SQL = "open, high, low, close, volume, turnover, open_interest"


def stitched(ctx: Context, inst: Instrument) -> bool:
    """True when the instrument's data are those of its main contract of each day."""
    return inst.is_continuous and (inst.market, inst.code) in dims(ctx).stitched


def load_minutes(ctx: Context, inst: Instrument, begin: int, end: int):
    """Stored minute bars: (epoch minutes, trading days, (7, n) values), in time order."""
    if stitched(ctx, inst):
        sql = (f"SELECT b.ts, b.trade_date, {', '.join('b.' + f.strip() for f in _FIELD_SQL.split(','))} "
               "FROM main_contracts mc JOIN minute_bars b ON b.market = mc.market AND b.code = mc.contract "
               "AND b.trade_date = mc.trade_date WHERE mc.market = ? AND mc.code = ? "
               "AND mc.trade_date BETWEEN ? AND ? ORDER BY b.ts")
    else:
        sql = (f"SELECT ts, trade_date, {_FIELD_SQL} FROM minute_bars WHERE market = ? AND code = ? "
               "AND trade_date BETWEEN ? AND ? ORDER BY ts")
    r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
    values = np.vstack([np.asarray(r[k], dtype=np.float64) for k in list(r)[2:]]) if len(r["ts"]) else \
        np.zeros((B.N_FIELDS, 0))
    return datetime64_to_minutes(r["ts"]), np.asarray(r["trade_date"], np.int64), values


def load_minutes_many(ctx: Context, insts: list[Instrument], begin: int, end: int) -> dict:
    """``load_minutes`` of several instruments: one query per market for the plain ones."""
    out = {}
    by_market: dict[str, list[str]] = {}
    for inst in insts:
        if stitched(ctx, inst):
            out[(inst.market, inst.code)] = load_minutes(ctx, inst, begin, end)
        else:
            by_market.setdefault(inst.market, []).append(inst.code)
    empty = (np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((B.N_FIELDS, 0)))
    for market, codes in by_market.items():
        codes = sorted(set(codes))
        for code in codes:
            out[(market, code)] = empty
        marks = ", ".join("?" * len(codes))
        # unordered scan plus a numpy sort: much cheaper than ORDER BY code, ts in the database
        r = ctx.con.execute(f"SELECT list_position(?::VARCHAR[], code)::BIGINT AS k, ts, trade_date, {_FIELD_SQL} "
                            f"FROM minute_bars WHERE market = ? AND code IN ({marks}) AND trade_date BETWEEN ? AND ?",
                            [codes, market, *codes, begin, end]).fetchnumpy()
        if len(r["ts"]) == 0:
            continue
        minutes = datetime64_to_minutes(r["ts"])
        key = (np.asarray(r["k"], np.int64) << 32) | (minutes - minutes.min())
        order = None if np.all(key[1:] >= key[:-1]) else np.argsort(key, kind="stable")
        cols = [np.asarray(r[c], np.float64) for c in list(r)[3:]]
        if order is not None:
            key, minutes = key[order], minutes[order]
            cols = [c[order] for c in cols]
        tdays = np.asarray(r["trade_date"], np.int64) if order is None else np.asarray(r["trade_date"], np.int64)[order]
        values = np.vstack(cols)
        ks = key >> 32
        bounds = np.flatnonzero(np.r_[True, ks[1:] != ks[:-1], True])
        for lo, hi in zip(bounds[:-1], bounds[1:]):
            out[(market, codes[int(ks[lo]) - 1])] = (minutes[lo:hi], tdays[lo:hi], values[:, lo:hi])
    return out


def load_days(ctx: Context, inst: Instrument, begin: int, end: int):
    """Stored day bars: (trading days, (7, n) values), in date order."""
    if stitched(ctx, inst):
        sql = (f"SELECT b.trade_date, {', '.join('b.' + f.strip() for f in _FIELD_SQL.split(','))} "
               "FROM main_contracts mc JOIN day_bars b ON b.market = mc.market AND b.code = mc.contract "
               "AND b.trade_date = mc.trade_date WHERE mc.market = ? AND mc.code = ? "
               "AND mc.trade_date BETWEEN ? AND ? ORDER BY b.trade_date")
    else:
        sql = (f"SELECT trade_date, {_FIELD_SQL} FROM day_bars WHERE market = ? AND code = ? "
               "AND trade_date BETWEEN ? AND ? ORDER BY trade_date")
    r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
    values = np.vstack([np.asarray(r[k], dtype=np.float64) for k in list(r)[1:]]) if len(r["trade_date"]) else \
        np.zeros((B.N_FIELDS, 0))
    return np.asarray(r["trade_date"], np.int64), values


FQ_MODES = ("NA", "FWard", "BWard")


def check_fq(fq) -> str:
    if fq not in FQ_MODES:
        raise CommandError(f"unknown price adjustment {fq!r}; expected one of {', '.join(FQ_MODES)}")
    return fq


def adjust(ctx: Context, inst: Instrument, trade_days: np.ndarray, values: np.ndarray, fq: str) -> np.ndarray:
    """Scale open, high, low, close of a stock for splits and dividends."""
    events = dims(ctx).adj.get((inst.market, inst.code))
    if fq == "NA" or not events:
        return values
    ex = np.array([e[0] for e in events], dtype=np.int64)
    ratio = np.array([e[1] for e in events], dtype=np.float64)
    mult = B.adjustment_multipliers(trade_days, ex, ratio, fq)
    out = values.copy()
    out[:4] *= mult
    return out
