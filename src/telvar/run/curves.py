"""The equity curve and daily positions of a run, rebuilt at the end from the portfolio's events.

Between two changes a position is constant, so every bar's equity is the
book value of the last change plus each held target's quantity x multiplier
x the bar's close (see ``telvar.run.portfolio``). Filled bars carry the last
close, so a held target is marked at its last traded price.
"""
import numpy as np
import pandas as pd

from telvar.common.timeconv import EPOCH_SERIAL_DAY


def to_timestamps(times):
    """Serial day numbers -> pandas timestamps (to the second)."""
    times = np.asarray(times, dtype=np.float64)
    return pd.to_datetime(np.round((times - EPOCH_SERIAL_DAY) * 86400.0), unit="s")


def _steps(event_pos, bars):
    """For each bar, the index of the last event at or before it (-1: none yet)."""
    return np.searchsorted(event_pos, bars, side="right") - 1


def equity_per_bar(portfolio, prices, rules, first, last):
    """DataFrame per bar first..last: time, date, cash, market_value, margin, equity."""
    bars = np.arange(first, last + 1)
    events = portfolio.events
    capital = portfolio.capital
    ev_pos = np.array([e.pos for e in events], dtype=np.int64)
    step = _steps(ev_pos, bars)
    cash = np.where(step >= 0, np.array([e.cash for e in events] or [0.0])[np.maximum(step, 0)], capital)
    book = np.where(step >= 0, np.array([e.book for e in events] or [0.0])[np.maximum(step, 0)], capital)
    market_value = np.zeros(bars.size)
    margin = np.zeros(bars.size)
    for t, q in held_quantities(events, bars).items():
        r = rules[t]
        close = prices.close[t, prices.cols[first:last + 1]]
        value = np.where(q != 0, q * r.multiplier * np.where(q != 0, close, 0.0), 0.0)
        market_value += value
        if r.margined:
            margin += np.abs(value) * r.margin_ratio
    return pd.DataFrame({
        "time": to_timestamps(prices.bar_times[first:last + 1]),
        "date": prices.bar_days[first:last + 1],
        "cash": cash, "market_value": market_value, "margin": margin, "equity": book + market_value,
    }, index=pd.RangeIndex(first, last + 1, name="bar"))


def held_quantities(events, bars):
    """{target: quantity per bar} for every target that ever held a position."""
    out = {}
    for t in sorted({e.target for e in events}):
        mine = [e for e in events if e.target == t]
        step = _steps(np.array([e.pos for e in mine], dtype=np.int64), bars)
        q = np.array([e.quantity for e in mine], dtype=np.float64)
        out[t] = np.where(step >= 0, q[np.maximum(step, 0)], 0.0)
    return out


def day_ends(bar_days):
    """Positions (0-based within the array) of each trading day's last bar."""
    bar_days = np.asarray(bar_days)
    if bar_days.size == 0:
        return np.zeros(0, dtype=np.intp)
    return np.r_[np.flatnonzero(bar_days[1:] != bar_days[:-1]), bar_days.size - 1]


def daily_equity(per_bar, capital):
    """One row per trading day (its last bar): date, cash, market_value, margin, equity, return."""
    daily = per_bar.iloc[day_ends(per_bar["date"].to_numpy())].reset_index(drop=True)
    daily = daily.drop(columns=["time"])
    equity = daily["equity"].to_numpy()
    daily["return"] = equity / np.r_[capital, equity[:-1]] - 1.0 if equity.size else []
    return daily


def daily_positions(portfolio, prices, rules, first, last):
    """Held positions at each trading day's close: date, target, contract, quantity, avg_cost, close,
    market_value, unrealised."""
    ends = first + day_ends(prices.bar_days[first:last + 1])
    rows = []
    for t in sorted({e.target for e in portfolio.events}):
        mine = [e for e in portfolio.events if e.target == t]
        step = _steps(np.array([e.pos for e in mine], dtype=np.int64), ends)
        r = rules[t]
        for end, s in zip(ends, step):
            if s < 0 or mine[s].quantity == 0:
                continue
            e = mine[s]
            close = float(prices.close[t, prices.cols[end]])
            value = e.quantity * r.multiplier * close
            rows.append((int(prices.bar_days[end]), r.key, e.contract, e.quantity, e.avg_cost, close, value,
                         value - e.quantity * r.multiplier * e.avg_cost))
    columns = ["date", "target", "contract", "quantity", "avg_cost", "close", "market_value", "unrealised"]
    return pd.DataFrame(rows, columns=columns).sort_values(["date", "target"], kind="stable").reset_index(drop=True)


__all__ = ["equity_per_bar", "daily_equity", "daily_positions", "held_quantities", "day_ends", "to_timestamps"]
