"""Results made without a host: a large run (many stocks, months of minute bars) and a sweep's table.

They are shaped like the runner's and the sweep's: trading days on the
exchange's weekdays less a holiday week, 240 one-minute bars a day in two
sessions, prices on a tick grid in lots of 100, T+1 refusals among the orders.
"""
import numpy as np
import pandas as pd

from telvar.run.results import RunResult
from telvar.run.stats import compute_stats

HOLIDAYS = set(range(20251001, 20251009))


def trading_days(first, count):
    days, day = [], pd.Timestamp(str(first))
    while len(days) < count:
        number = int(day.strftime("%Y%m%d"))
        if day.weekday() < 5 and number not in HOLIDAYS:
            days.append(number)
        day += pd.Timedelta(days=1)
    return days


def minute_times(day):
    """The 240 bar end times of a trading day: 09:31-11:30 and 13:01-15:00."""
    base = pd.Timestamp(str(day))
    morning = base + pd.Timedelta(hours=9, minutes=30) + pd.to_timedelta(np.arange(1, 121), unit="min")
    afternoon = base + pd.Timedelta(hours=13) + pd.to_timedelta(np.arange(1, 121), unit="min")
    return morning.append(afternoon)


def large_run(targets=50, days=60, fills_per_day=8, seed=3):
    """A RunResult of ``targets`` stocks over ``days`` trading days, with its inputs; and the minute bars
    of its first target (a DataFrame for ``report(bars=...)``)."""
    rng = np.random.default_rng(seed)
    keys = ["SSE.6%05d" % (100 + k) for k in range(targets)]
    dates = trading_days(20250901, days)
    times = pd.DatetimeIndex(np.concatenate([minute_times(d).to_numpy() for d in dates]))
    bar_days = np.repeat(dates, 240)
    capital = 10_000_000.0
    equity = capital * np.cumprod(1 + 0.0004 * rng.standard_normal(times.size))
    per_bar = pd.DataFrame({"time": times, "date": bar_days, "cash": equity * 0.3,
                            "market_value": equity * 0.7, "margin": 0.0, "equity": equity})
    ends = np.r_[np.flatnonzero(bar_days[1:] != bar_days[:-1]), bar_days.size - 1]
    daily = per_bar.iloc[ends].drop(columns=["time"]).reset_index(drop=True)
    daily["return"] = daily["equity"] / np.r_[capital, daily["equity"].to_numpy()[:-1]] - 1
    prices = np.round(10 * np.cumprod(1 + 0.001 * rng.standard_normal((targets, times.size)), axis=1), 2)

    n = targets * days * fills_per_day
    bar = np.sort(rng.integers(0, times.size, n))
    who = rng.integers(0, targets, n)
    side = np.where(rng.random(n) < 0.5, "buy", "sell")
    quantity = 100 * rng.integers(1, 20, n)
    price = prices[who, bar]
    commission = np.maximum(0.00025 * price * quantity, 5.0)
    trades = pd.DataFrame({"time": times[bar], "date": bar_days[bar], "bar": bar, "target": np.array(keys)[who],
                           "contract": [k.split(".")[1] for k in np.array(keys)[who]], "side": side,
                           "quantity": quantity, "price": price, "commission": commission,
                           "tax": np.where(side == "sell", 0.0005 * price * quantity, 0.0),
                           "order_id": pd.array(np.arange(1, n + 1), dtype="Int64"), "roll": np.zeros(n, bool)})
    refused = rng.choice(n, n // 20, replace=False)
    orders = pd.DataFrame({"order_id": np.arange(1, n + 1), "time": trades["time"], "bar": bar,
                           "target": trades["target"], "quantity": np.where(side == "buy", quantity, -quantity),
                           "limit_price": np.nan, "status": "filled", "reason": None})
    orders.loc[refused, "status"] = "refused"
    orders.loc[refused, "reason"] = ["T+1: %d of %s bought on %d cannot be sold before the next trading day"
                                     % (q, t, d) for q, t, d in zip(quantity[refused], trades["target"][refused],
                                                                    trades["date"][refused])]
    positions = pd.DataFrame({"date": np.repeat(dates, targets), "target": np.tile(keys, days),
                              "contract": [k.split(".")[1] for k in np.tile(keys, days)], "quantity": 1000.0,
                              "avg_cost": 10.0, "close": prices[:, ends].T.ravel(),
                              "market_value": 1000.0 * prices[:, ends].T.ravel(), "unrealised": 0.0})
    bench = pd.Series(np.r_[4000.0, 4000 * np.cumprod(1 + 0.01 * rng.standard_normal(days))],
                      index=np.r_[20250829, dates])
    stats = compute_stats(daily["date"].to_numpy(), daily["equity"].to_numpy(), capital,
                          rng.normal(0, 500, n // 2), n, commission.sum(), trades["tax"].sum(),
                          (price * quantity).sum(), bench.to_numpy()[1:] / bench.to_numpy()[:-1] - 1)
    stats.update({"Name": "LargeSynthetic", "BeginDate": dates[0], "EndDate": dates[-1], "StrategyID": None})
    summary = {"bars": int(times.size), "targets": keys, "begin_date": dates[0], "end_date": dates[-1],
               "warmup": 0, "frequency": "1min", "setup_seconds": 1.0, "run_seconds": 10.0}
    result = RunResult(summary, trades, orders, positions, per_bar, daily, stats, None, bench, capital)
    result.inputs = {"targets": keys, "frequency": "min", "freq_num": 1, "fq": "NA", "capital": capital,
                     "fill": "next_open", "benchmark": "SSE.000300", "risk_free": 0.0, "costs": {},
                     "rules": [dict(target=k, kind="stock", multiplier=1.0, price_tick=0.01, margin_ratio=1.0,
                                    lot_size=100, commission_rate=0.00025, commission_per_lot=0.0,
                                    min_commission=5.0, stamp_tax_rate=0.0005, slippage_ticks=0.0,
                                    slippage=0.0) for k in keys]}
    close = prices[0]
    bars = pd.DataFrame({"time": times, "open": np.r_[close[0], close[:-1]], "close": close,
                         "high": np.maximum(close, np.r_[close[0], close[:-1]]) + 0.01,
                         "low": np.minimum(close, np.r_[close[0], close[:-1]]) - 0.01,
                         "volume": rng.integers(100, 10_000, times.size).astype(float)})
    return result, bars


def sweep_table(seed=11):
    """A sweep over fast x slow x stop (24 runs) with stats from equity curves whose drift depends on the
    parameters; one run failed (its stats None, its error text set)."""
    rng = np.random.default_rng(seed)
    dates = np.array(trading_days(20251103, 20))
    rows = []
    for fast in (3, 5, 8, 13):
        for slow in (20, 30, 60):
            for stop in (0.01, 0.02):
                drift = (slow - 3 * fast) * 1e-4 + stop * 0.02
                equity = 1e6 * np.cumprod(1 + drift + 0.01 * rng.standard_normal(dates.size))
                stats = compute_stats(dates, equity, 1e6, rng.normal(0, 100, 12), 24, 120.0, 30.0, 5e6)
                rows.append(dict(fast=fast, slow=slow, stop=stop, **stats, strategy_id="TVS-%d-%d-%g" % (
                    fast, slow, stop), seconds=float(rng.uniform(1, 3)), error=None))
    failed = rows[7]
    failed.update({k: None for k in stats})
    failed.update(strategy_id=None, error="ValueError: <b>slow</b> must exceed fast & stop")
    return pd.DataFrame(rows)


__all__ = ["large_run", "sweep_table", "trading_days"]
