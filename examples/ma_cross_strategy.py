"""A moving-average cross on 15-minute bars, filtered by the daily trend.

The strategy runs on 1-minute bars and registers 5-minute, 15-minute and
daily bars. On every bar it reads:

- the last 20 fifteen-minute bars, filled (the newest is the bar still
  forming at this minute): fast and slow averages of the close;
- the last 5 daily bars, filled: the trend is up when today's forming close
  is above the average of the previous closes;
- the last 3 five-minute bars in which the target traded (real bars): the
  strategy only acts on a target that is trading right now.

It goes long when the fast average crosses above the slow one in an up
trend, short on the opposite cross in a down trend, and flat on a cross
against the trend, through the runner's broker: one lot of a future, about
200,000 worth of a stock in whole lots (never short: a short signal is flat).
Orders fill at the next minute's open with the host's costs and market rules
(a stock bought today is sold tomorrow at the earliest).

The window lengths are parameters (``MaCrossStrategy(fast=5, slow=20,
days=5)``), so a parameter sweep can vary them.
"""
import math

import numpy as np

from telvar.api.regora import _regora

OPEN, HIGH, LOW, CLOSE, VOLUME = 2, 3, 4, 5, 6  # columns of a window: target, time, then the fields
FAST, SLOW, DAYS, RECENT = 5, 20, 5, 3
STOCK_MARKETS = ("SSE", "SZSE")
STOCK_VALUE, LOTS = 200_000, 1  # one position: the value of a stock, lots of a future


class MaCrossStrategy:
    def __init__(self, fast=FAST, slow=SLOW, days=DAYS):
        if not 0 < fast <= slow:
            raise ValueError("need 0 < fast <= slow, got fast=%r, slow=%r" % (fast, slow))
        if days < 2:
            raise ValueError("the daily trend needs at least 2 days, got %r" % (days,))
        self.fast, self.slow, self.days = int(fast), int(slow), int(days)

    def init(self, context):
        context.reg_5min = _regora.reg_k_data("min", 5)
        context.reg_15min = _regora.reg_k_data("min", 15)
        context.reg_day = _regora.reg_k_data("day", 1)
        # price-adjusted across main-contract rolls (read by the demo's roll chart)
        context.reg_15min_adj = _regora.reg_k_data("min", 15, True)
        context.reg_day_adj = _regora.reg_k_data("day", 1, True)
        n = len(context.targets)
        self.is_stock = [name.split(".")[0] in STOCK_MARKETS for name in context.target_names]
        self.wanted = np.zeros(n, dtype=int)
        self.signals = np.zeros(n, dtype=int)
        self.last_close = np.full(n, np.nan)
        self.last_fast_above = [None] * n
        self.windows_read = 0

    def on_bar(self, context):
        pos, slow, n_days = context.bar_pos, self.slow, self.days
        bars15 = _regora.get_reg_k_data(context.reg_15min, pos, slow, True)
        days = _regora.get_reg_k_data(context.reg_day, pos, n_days, True)
        recent = _regora.get_reg_k_data(context.reg_5min, pos, RECENT, False)
        self.windows_read += 3
        for t in range(len(context.targets)):
            close15 = bars15[t * slow:(t + 1) * slow, CLOSE].astype(float)
            if np.isnan(close15).any():
                continue
            last = close15[-1]
            self.last_close[t] = last
            traded_now = not math.isnan(recent[(t + 1) * RECENT - 1, 1]) and \
                recent[(t + 1) * RECENT - 1, 1] == context.now
            fast_above = close15[-self.fast:].mean() > close15.mean()
            crossed = self.last_fast_above[t] is not None and fast_above != self.last_fast_above[t]
            self.last_fast_above[t] = fast_above
            if not (crossed and traded_now):
                continue
            day_close = days[t * n_days:(t + 1) * n_days, CLOSE].astype(float)
            previous = day_close[:-1][~np.isnan(day_close[:-1])]
            trend_up = previous.size == 0 or day_close[-1] > previous.mean()
            wanted = (1 if trend_up else 0) if fast_above else (-1 if not trend_up else 0)
            self._move_to(context, t, wanted)

    def _move_to(self, context, t, wanted):
        if self.is_stock[t]:
            wanted = max(wanted, 0)
        if wanted == self.wanted[t]:
            return
        self.wanted[t] = wanted
        self.signals[t] += 1
        # both count open orders as filled: a signal reversing an unfilled one orders the difference
        if self.is_stock[t]:
            context.order_target_value(t, wanted * STOCK_VALUE)
        else:
            context.order_target(t, wanted * LOTS)

    def summary(self, context):
        """Per target: signals acted on, the position held at the end and the last close."""
        held = context.portfolio.positions
        rows = []
        for t, name in enumerate(context.target_names):
            position = held[name].quantity if name in held else 0
            rows.append({"target": name, "signals": int(self.signals[t]), "position": int(position),
                         "last": float(self.last_close[t])})
        return {"per_target": rows, "windows_read": self.windows_read}
