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
against the trend. Profit is counted in price points on 1-minute closes.
"""
import math

import numpy as np

from telvar.api.regora import _regora

OPEN, HIGH, LOW, CLOSE, VOLUME = 2, 3, 4, 5, 6  # columns of a window: target, time, then the fields
FAST, SLOW, DAYS, RECENT = 5, 20, 5, 3


class MaCrossStrategy:
    def init(self, context):
        context.reg_5min = _regora.reg_k_data("min", 5)
        context.reg_15min = _regora.reg_k_data("min", 15)
        context.reg_day = _regora.reg_k_data("day", 1)
        # price-adjusted across main-contract rolls (read by the demo's roll chart)
        context.reg_15min_adj = _regora.reg_k_data("min", 15, True)
        context.reg_day_adj = _regora.reg_k_data("day", 1, True)
        n = len(context.targets)
        self.position = np.zeros(n)
        self.entry = np.full(n, np.nan)
        self.pnl = np.zeros(n)
        self.trades = np.zeros(n, dtype=int)
        self.last_close = np.full(n, np.nan)
        self.last_fast_above = [None] * n
        self.windows_read = 0

    def on_bar(self, context):
        pos = context.bar_pos
        bars15 = _regora.get_reg_k_data(context.reg_15min, pos, SLOW, True)
        days = _regora.get_reg_k_data(context.reg_day, pos, DAYS, True)
        recent = _regora.get_reg_k_data(context.reg_5min, pos, RECENT, False)
        self.windows_read += 3
        for t in range(len(context.targets)):
            close15 = bars15[t * SLOW:(t + 1) * SLOW, CLOSE].astype(float)
            if np.isnan(close15).any():
                continue
            last = close15[-1]
            self.last_close[t] = last
            traded_now = not math.isnan(recent[(t + 1) * RECENT - 1, 1]) and \
                recent[(t + 1) * RECENT - 1, 1] == context.now
            fast_above = close15[-FAST:].mean() > close15.mean()
            crossed = self.last_fast_above[t] is not None and fast_above != self.last_fast_above[t]
            self.last_fast_above[t] = fast_above
            if not (crossed and traded_now):
                continue
            day_close = days[t * DAYS:(t + 1) * DAYS, CLOSE].astype(float)
            previous = day_close[:-1][~np.isnan(day_close[:-1])]
            trend_up = previous.size == 0 or day_close[-1] > previous.mean()
            wanted = (1 if trend_up else 0) if fast_above else (-1 if not trend_up else 0)
            self._move_to(t, wanted, last)

    def _move_to(self, t, wanted, price):
        if wanted == self.position[t]:
            return
        if self.position[t] != 0:
            self.pnl[t] += self.position[t] * (price - self.entry[t])
        self.position[t] = wanted
        self.entry[t] = price if wanted else np.nan
        self.trades[t] += 1

    def summary(self, context):
        """Per target: trades, final position, points won (open positions marked to the last close)."""
        rows = []
        for t, name in enumerate(context.target_names):
            open_pnl = 0.0
            if self.position[t] != 0 and not np.isnan(self.last_close[t]):
                open_pnl = self.position[t] * (self.last_close[t] - self.entry[t])
            rows.append({"target": name, "trades": int(self.trades[t]), "position": int(self.position[t]),
                         "points": float(self.pnl[t] + open_pnl), "last": float(self.last_close[t])})
        return {"per_target": rows, "windows_read": self.windows_read}
