"""A small synthetic market and the pandas reference for the registration module's tests.

Two targets over four weeks of weekdays: a future that trades a night
session (21:01-21:20, belonging to the next trading day) and the day session,
and a stock that trades the day session only and starts trading on the
second day. Bars are filled as the host delivers them (no trade: volume 0 and
prices at the last close; before the first trade: NaN). The history module's
functions are replaced in the module namespace by fakes serving this data,
so the tests need no host.
"""
import datetime as dt
from types import SimpleNamespace

import numpy as np
import pandas as pd

from reference import bars as ref
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

FIELDS = ["open", "high", "low", "close", "volume", "turnover", "oi"]
TARGETS = [{"Market": "SHFE", "Code": "RB0000"}, {"Market": "SSE", "Code": "600000"}]
BEGIN, END = 20250922, 20251017


def serial(day, hour, minute):
    return day.toordinal() + 366 + (hour * 60 + minute) / 1440.0


def trading_days():
    days, d = [], dt.date(2025, 9, 22)
    while d <= dt.date(2025, 10, 17):
        if d.weekday() < 5:
            days.append(d)
        d += dt.timedelta(days=1)
    return days


def minute_bars():
    """(times, day_pos, trading_day, is_night) of the common minute time line."""
    days = trading_days()
    times, day_pos, tday, night = [], [], [], []
    for i, d in enumerate(days):
        session = []
        if i > 0:  # the night session of d runs on the evening of the previous trading day
            session += [(serial(days[i - 1], 21, m), True) for m in range(1, 21)]
        session += [(serial(d, 9, 30 + m), False) for m in range(1, 61)]
        session += [(serial(d, 13, m), False) for m in range(1, 31)]
        for k, (t, is_night) in enumerate(session, start=1):
            times.append(t)
            day_pos.append(k)
            tday.append(int(d.strftime("%Y%m%d")))
            night.append(is_night)
    return np.array(times), np.array(day_pos, dtype=np.int64), np.array(tday), np.array(night)


def filled_target(rng, n, trades, start):
    """Filled bars of one target: (n, 7) with NaN before `start`."""
    out = np.full((n, 7), np.nan)
    last_close, oi = 100.0 + rng.integers(0, 50), 1000.0
    for i in range(start, n):
        if trades[i]:
            o = last_close + rng.integers(-3, 4)
            c = o + rng.integers(-3, 4)
            h = max(o, c) + rng.integers(0, 3)
            low = min(o, c) - rng.integers(0, 3)
            v = float(rng.integers(1, 100))
            oi += rng.integers(-5, 6)
            out[i] = [o, h, low, c, v, v * c * 10, oi]
            last_close = c
        else:
            out[i] = [last_close] * 4 + [0.0, 0.0, oi]
    return out


class Market:
    """The synthetic data and the fakes of the history module built on it."""

    def __init__(self):
        rng = np.random.default_rng(7)
        self.times, self.day_pos, self.tday, self.night = minute_bars()
        n = self.times.size
        fut_trades = rng.random(n) < 0.8
        stock_trades = (rng.random(n) < 0.7) & ~self.night
        first_stock_day = self.tday > self.tday[0]
        stock_start = int(np.argmax(first_stock_day & ~self.night))
        self.bars = [filled_target(rng, n, fut_trades, 0),
                     filled_target(rng, n, stock_trades, stock_start)]
        self.requests = []
        self.reference_cache = {}
        self.frames = [self._frame(t) for t in range(len(TARGETS))]

    def frame(self, target):
        return self.frames[target].copy()

    def _frame(self, target):
        df = pd.DataFrame(self.bars[target], columns=FIELDS)
        df["time"] = self.times
        df["tday"] = self.tday
        df["day_pos"] = self.day_pos
        df["traded"] = ref.traded_mask(df)  # judged on the whole series
        return df

    def k_array(self, bars):
        return np.vstack([b.T for b in bars])

    def day_bars(self):
        """Day bars stamped with the session close, aggregated from the minutes."""
        out = []
        for t in range(len(TARGETS)):
            agg = aggregate(self.frame(t), "tday")
            out.append(agg[FIELDS].to_numpy())
        stamps = self.frame(0).groupby("tday")["time"].last().to_numpy()
        return stamps, out

    # --- fakes of the history functions -------------------------------
    def get_k_data_multi(self, params):
        self.requests.append(dict(params))
        if params["frequency"] == "min":
            return {"TimeLine": self.times.copy(), "DayPos": self.day_pos.astype(float),
                    "KArray": self.k_array(self.bars), "TradeFreshPos": self.times.size - 1,
                    "TickPriceData": np.array([])}
        if params["frequency"] == "day":
            stamps, bars = self.day_bars()
            return {"TimeLine": stamps, "DayPos": np.ones(stamps.size), "KArray": self.k_array(bars),
                    "TradeFreshPos": stamps.size - 1, "TickPriceData": np.array([])}
        raise AssertionError("the host delivers minute and day bars only")

    def get_trading_time(self, targets, frequency, begin_day, end_day, freq_num=1):
        if frequency == "min":
            return self.times.copy(), self.day_pos.copy()
        stamps = self.frame(0).groupby("tday")["time"].last()
        days = pd.to_datetime(stamps.index.astype(str))
        key = {"day": days.strftime("%Y%m%d"), "week": days.to_period("W").astype(str),
               "month": days.to_period("M").astype(str), "year": days.to_period("Y").astype(str)}[frequency]
        times = stamps.groupby(np.asarray(key)).last().sort_values().to_numpy()
        return times, np.ones(times.size, dtype=np.int64)

    def get_trading_days(self, begin_day, end_day):
        days = np.unique(self.tday)
        return days[(days >= begin_day) & (days <= end_day)]


def aggregate(df, key):
    """The reference bar arithmetic (reference.bars.combine) per value of column
    `key`, with the bars' times; traded flags from the frame's `traded` column."""
    return ref.combine(df, df[key], time=("time", "last"), first=("time", "first"))


def start_run(market):
    """A clean run state: inputs and the strategy's 1-minute time line."""
    cnt.reset()
    info = cnt.vr.g_TelvarInputInfo
    info.TargetList = TARGETS
    info.BeginDate, info.EndDate = BEGIN, END
    info.KFrequency, info.KFreNum, info.FQ = "min", 1, "NA"
    cnt.vr.g_TelvarDataValueFresh = market.times.reshape(1, -1).copy()
    cnt.vr.g_TelvarCache.set_dvf_time_line_cache(market.times)


def registry_sizes():
    vr = cnt.vr
    return (len(vr.g_TelvarKDataList), len(vr.g_TelvarRegKDataInfo), vr.g_TelvarDataValueFresh.shape,
            len(vr.g_TelvarKDataList_Adj), len(vr.g_TelvarRegKDataInfo_Adj))


# --- the reference: bars of a registered frequency from the minute bars ------

def group_keys(market, frequency, freq_num):
    """A key per minute bar, equal exactly for the minutes of one registered bar."""
    if frequency == "min":
        return market.tday * 1000 + (market.day_pos - 1) // freq_num
    days = pd.to_datetime(pd.Series(market.tday).astype(str))
    if frequency == "day":
        day_index = np.unique(market.tday, return_inverse=True)[1]
        return day_index // freq_num
    period = {"week": "W", "month": "M", "year": "Y"}[frequency]
    return days.dt.to_period(period).astype(str).to_numpy()


def reference_bars(market, frequency, freq_num):
    """Per target, the completed bars (pandas aggregation per registered bar).

    A trailing bar that has not reached its size when the data end is still
    forming; week, month and year bars close with the data.
    """
    cached = market.reference_cache.get((frequency, freq_num))
    if cached is not None:
        return cached
    keys = group_keys(market, frequency, freq_num)
    out = []
    for t in range(len(TARGETS)):
        df = market.frame(t)
        df["key"] = keys
        df["col"] = np.arange(len(df))
        agg = aggregate(df, "key")
        agg["last_col"] = df.groupby("key", sort=False)["col"].last()
        agg["size"] = df.groupby("key", sort=False)["col"].size()
        if frequency in ("min", "day") and freq_num > 1:
            if frequency == "min":
                closes = market.day_pos[-1] % freq_num == 0
            else:
                closes = np.unique(market.tday).size % freq_num == 0
            if not closes:
                agg = agg.iloc[:-1]
        out.append(agg.reset_index(drop=True))
    market.reference_cache[(frequency, freq_num)] = (out, keys)
    return out, keys


def reference_forming(market, keys, target, p):
    """The bar of `keys[p]` as formed up to strategy position p."""
    df = market.frame(target).iloc[: p + 1]
    df = df[np.asarray(keys[: p + 1]) == keys[p]].copy()
    df["key"] = 0
    return aggregate(df, "key").iloc[0]
