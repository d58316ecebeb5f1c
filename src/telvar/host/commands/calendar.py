"""Calendar commands: trading days, the current trading day, trading day of a bar time."""
from __future__ import annotations

import datetime as _dt

import numpy as np

from telvar.common.timeconv import MINUTES_PER_DAY, date_to_int, datenum_to_minutes, epoch_day_to_int_date

from ..store import reads as md
from ..store.tradingtime import minute_trading_days
from .registry import CommandError, Context, command, date_range


@command("tvSendCmdGetTradingDays")
def get_trading_days(ctx: Context):
    return md.dims(ctx).all_days.tolist()


@command("tvSendCmdGetCurTradeDate")
def get_cur_trade_date(ctx: Context):
    days = md.dims(ctx).all_days
    if days.size == 0:
        raise CommandError("the store holds no trading calendar")
    today = date_to_int(_dt.date.today())
    pos = np.searchsorted(days, today, side="right") - 1
    return int(days[max(pos, 0)])


@command("tvSendCmdGetTradingDaysCondition")
def get_trading_days_condition(ctx: Context, market, begin, end):
    begin, end = date_range(begin, end)
    cal = md.dims(ctx).calendar(str(market).upper())
    return [float(d) for d in cal.days[cal.between(begin, end)]]


@command("tvSendCmdTransTradeTimeToTradeDate")
def trans_trade_time_to_trade_date(ctx: Context, bar_time):
    try:
        t = float(np.asarray(bar_time, dtype=np.float64).ravel()[0])
    except (TypeError, ValueError, IndexError):
        raise CommandError(f"bar time must be a serial day number, got {bar_time!r}") from None
    if not np.isfinite(t):
        raise CommandError(f"bar time must be finite, got {bar_time!r}")
    minutes = int(datenum_to_minutes(t))  # a close just before midnight rounds to the midnight slot
    d = md.dims(ctx)
    # the first market whose sessions hold a bar ending then (by market name, so the answer is stable)
    for (market, _), sessions in sorted(d.sessions.items()):
        cal = d.calendars.get(market)
        day = int(minute_trading_days(cal, sessions, np.array([minutes]))[0]) if cal is not None else 0
        if day:
            return day
    # no session holds it: evening times belong to the next trading day, others to the first on or after them
    day = int(epoch_day_to_int_date(minutes // MINUTES_PER_DAY))
    tod = minutes % MINUTES_PER_DAY
    days = d.all_days
    side = "right" if tod >= 18 * 60 else "left"
    pos = np.searchsorted(days, day, side=side)
    if pos >= days.size:
        raise CommandError(f"bar time {t!r} lies after the last trading day {int(days[-1]) if days.size else ''}")
    return int(days[pos])
