"""The store's small tables as the host reads them: instruments, calendars, sessions,
stitched continuous codes and adjustment factors.

The store is read-only while the host serves, so they are loaded once per host
(``reads.dims``) and shared by all requests; the importer loads them to check
the rows it is given.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .schema import table_columns
from .tradingtime import Calendar, Session

TARGET_FORMS = "targets are 'MARKET.CODE' keys such as 'SHFE.RB0000', or {'Market', 'Code'} records"


class NotInStore(Exception):
    """A request names an instrument, calendar or sessions the store does not hold."""


def label(market: str, code: str) -> str:
    """An instrument as a target key names it: MARKET.CODE."""
    return f"{market}.{code}"


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
            raise NotInStore(f"unknown instrument {label(market, code)} (market {market!r}, code {code!r}: "
                             f"{TARGET_FORMS}){hint}")
        return inst

    def calendar(self, market: str) -> Calendar:
        cal = self.calendars.get(market)
        if cal is None:
            raise NotInStore(f"no trading calendar for market {market!r}")
        return cal

    def declared_sessions(self, inst: Instrument) -> list[Session] | None:
        """The sessions of the instrument's variety, else the market's default (variety "")."""
        return self.sessions.get((inst.market, inst.variety)) or self.sessions.get((inst.market, ""))

    def sessions_of(self, inst: Instrument) -> list[Session]:
        s = self.declared_sessions(inst)
        if not s:
            raise NotInStore(f"no trading sessions for {label(inst.market, inst.code)}")
        return s
