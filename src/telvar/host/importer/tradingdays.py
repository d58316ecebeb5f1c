"""Trading days of imported bars and ticks, from the calendar and the sessions of their instruments.

- A minute bar's time (its end, a whole minute) must be a slot of its
  instrument's sessions on the market's calendar; the slot gives its trading day.
- A tick belongs to the trading day of the session it falls in; ticks up to
  30 minutes before a session opens (call auctions) or 1 minute after it closes
  belong to that session.
- A day bar's trade_date must be a trading day of the market's calendar.

Rows that lie on no trading day or outside the sessions would never be read
back: they are refused, or dropped and counted when asked to.  A trade_date
given in the file must be the one the sessions give.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

from telvar.common.timeconv import MINUTES_PER_DAY

from ..store.dimensions import Dimensions
from ..store.tradingtime import Calendar, Session, calendar_range, minute_trading_days
from .read import fail

TICK_LEAD_MINUTES = 30
TICK_LAG_MINUTES = 1
_MS_PER_MINUTE = 60_000
_DROP_HINT = " (drop such rows with --drop-off-calendar)"


def _day_text(epoch_day: int) -> str:
    d = np.datetime64(int(epoch_day), "D").astype(object)
    return f"{d.isoformat()} ({d.strftime('%A')})"


def _sessions_text(sessions: list[Session]) -> str:
    return ", ".join(f"{s.start // 100:02d}:{s.start % 100:02d}-{s.end // 100:02d}:{s.end % 100:02d}"
                     f"{' (night)' if s.night else ''}" for s in sessions)


def _clock(ms: int) -> str:
    s = ms // 1000 % 86400
    return f"{s // 3600:02d}:{s // 60 % 60:02d}" + (f":{s % 60:02d}" if ms % 60_000 else "")


def why_not_held(ms: int, market: str, variety: str, sessions: list[Session]) -> str:
    """Why a bar ending (or a tick) at ``ms`` (epoch milliseconds) lies in no held session."""
    minute = -(-ms // _MS_PER_MINUTE)  # the minute slot a tick inside it would fall in
    tod, day = minute % MINUTES_PER_DAY, minute // MINUTES_PER_DAY
    for s in sessions:
        a, b = s.offsets
        for back in (0, 1):  # a session past midnight started the day before
            if a < tod + back * MINUTES_PER_DAY <= b:
                if s.night:
                    return (f"no night session of the {market} calendar is held on the evening of "
                            f"{_day_text(day - back)}")
                return f"{_day_text(day - back)} is not a trading day of the {market} calendar"
    where = f"{market} variety {variety}" if variety else market
    return f"{_clock(ms)} is outside the trading sessions of {where}: {_sessions_text(sessions)}"


def tick_trading_days(cal: Calendar, sessions: list[Session], ms: np.ndarray) -> np.ndarray:
    """Trading day of every tick (epoch milliseconds); 0 where it is near no held session."""
    out = np.zeros(ms.size, np.int64)
    if ms.size == 0 or cal.days.size == 0:
        return out
    opens, closes, tdays = cal.session_spans(sessions, calendar_range(cal, ms // (_MS_PER_MINUTE * MINUTES_PER_DAY)))
    if opens.size == 0:
        return out
    opens, closes = opens * _MS_PER_MINUTE, closes * _MS_PER_MINUTE
    k = np.searchsorted(closes, ms, "left")  # the first session closing at or after the tick
    nxt, prv = np.minimum(k, opens.size - 1), np.maximum(k - 1, 0)
    has_next, has_prev = k < opens.size, k > 0
    inside = has_next & (ms > opens[nxt])
    after_close = ~inside & has_prev & (ms <= closes[prv] + TICK_LAG_MINUTES * _MS_PER_MINUTE)
    # early ticks belong to the next session, but never reach back past the session before it
    lead_from = np.where(has_prev, np.maximum(opens[nxt] - TICK_LEAD_MINUTES * _MS_PER_MINUTE, closes[prv]),
                         opens[nxt] - TICK_LEAD_MINUTES * _MS_PER_MINUTE)
    before_open = ~inside & ~after_close & has_next & (ms > lead_from)
    out[inside | before_open] = tdays[nxt[inside | before_open]]
    out[after_close] = tdays[prv[after_close]]
    return out


def _instrument_rules(file, dims: Dimensions, df: pd.DataFrame, raw: pd.DataFrame):
    """(calendar, sessions, variety) per row group sharing them, as {key: (rules, row positions)}."""
    groups: dict = {}
    for (market, code), rows in df.groupby(["market", "code"], sort=False).indices.items():
        inst = dims.instruments[(market, code)]
        cal = dims.calendars.get(market)
        if cal is None:
            fail(file, rows[0] + 1, "market", raw["market"].iloc[rows[0]], "no trading calendar for this market "
                 "in the store (import the calendar first)")
        sessions = dims.declared_sessions(inst)
        if not sessions:
            fail(file, rows[0] + 1, "code", raw["code"].iloc[rows[0]], f"no trading sessions for market {market} "
                 f"variety {inst.variety!r} in the store (import sessions first)")
        key = (market, tuple(sessions))
        entry = groups.setdefault(key, [(cal, sessions, inst.variety), []])
        entry[1].append(rows)
    return {k: (rules, np.sort(np.concatenate(parts))) for k, (rules, parts) in groups.items()}


def assign_trading_days(file, kind: str, dims: Dimensions, df: pd.DataFrame, raw: pd.DataFrame,
                        drop_off_calendar: bool) -> tuple[pd.DataFrame, int]:
    """``df`` with each row's trading day (``bars-min``, ``ticks``) or checked trade_date (``bars-day``).

    Returns the rows kept and how many were dropped as lying on no trading day.
    """
    if kind == "bars-min":
        whole = df["ts"].to_numpy().astype("datetime64[us]").astype(np.int64) % 60_000_000 == 0
        bad = np.flatnonzero(~whole)
        if bad.size:
            fail(file, bad[0] + 1, "ts", raw["ts"].iloc[bad[0]], "a minute bar's time is the minute it ends: "
                 "seconds must be 0")
    derived = np.zeros(len(df), np.int64)
    rules_of_row = {}
    for (market, _), ((cal, sessions, variety), rows) in _instrument_rules(file, dims, df, raw).items():
        if kind == "bars-day":
            days = df["trade_date"].to_numpy()[rows].astype(np.int64)
            derived[rows] = np.where(np.isin(days, cal.days), days, 0)
            continue
        ts = df["ts"].to_numpy()[rows]
        if kind == "bars-min":
            derived[rows] = minute_trading_days(cal, sessions, ts.astype("datetime64[m]").astype(np.int64))
        else:
            derived[rows] = tick_trading_days(cal, sessions, ts.astype("datetime64[ms]").astype(np.int64))
        missed = rows[derived[rows] == 0]
        if missed.size:
            rules_of_row[int(missed[0])] = (market, variety, sessions)
    off = derived == 0
    if off.any() and not drop_off_calendar:
        r = int(np.flatnonzero(off)[0])
        if kind == "bars-day":
            fail(file, r + 1, "trade_date", raw["trade_date"].iloc[r],
                 f"not a trading day of the {df['market'].iloc[r]} calendar" + _DROP_HINT)
        ms = int(df["ts"].to_numpy()[r].astype("datetime64[ms]").astype(np.int64))
        fail(file, r + 1, "ts", raw["ts"].iloc[r], why_not_held(ms, *rules_of_row[r]) + _DROP_HINT)
    _check_given(file, df, raw, derived, off)
    kept = df.loc[~off].copy()
    kept["trade_date"] = derived[~off]
    return kept, int(off.sum())


def _check_given(file, df, raw, derived, off):
    """A trade_date in the file must be the trading day its time lies in."""
    if "trade_date" not in raw.columns or "ts" not in df.columns:
        return
    given = pd.to_numeric(df["trade_date"], errors="coerce").to_numpy(dtype=float)
    wrong = ~off & ~np.isnan(given) & (given != derived)
    if wrong.any():
        r = int(np.flatnonzero(wrong)[0])
        fail(file, r + 1, "trade_date", raw["trade_date"].iloc[r],
             f"contradicts time {raw['ts'].iloc[r]}, which lies in a session of trading day {derived[r]}")

