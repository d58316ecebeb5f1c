"""One run's trading: set up with the run (rules, prices, portfolio, broker, strategy id), finished
into the results the runner returns."""
import math
from dataclasses import asdict

import numpy as np
import pandas as pd

from telvar.run import record
from telvar.run.broker import Broker
from telvar.run.costs import check_overrides
from telvar.run.curves import daily_equity, daily_positions, equity_per_bar, to_timestamps
from telvar.run.portfolio import Portfolio
from telvar.run.prices import BarPrices
from telvar.run.results import RunResult
from telvar.run.rules import load_rules
from telvar.run.stats import compute_stats

TRADE_COLUMNS = ["bar", "target", "contract", "side", "quantity", "price", "commission", "tax", "order_id", "roll"]
FILLS = ("next_open", "close")


def own_price_reader(frequency, freq_num, bar_times, bar_days):
    """(contract key, pos) -> the contract's own price at the open of bar ``pos``: that bar's open when
    the contract traded in it, else its last close before (NaN when it has none)."""
    def price(key, pos):
        from telvar.api.history import _history

        day, before = int(bar_days[pos]), int(bar_days[pos - 1]) if pos > 0 else int(bar_days[pos])
        bars = np.asarray(_history.get_k_data_independent_target([key], frequency, freq_num, before, day, True,
                                                                 "NA")[0], dtype=np.float64)
        if bars.ndim != 2 or bars.shape[1] == 0:
            return math.nan
        at = float(bar_times[pos])
        i = int(np.searchsorted(bars[0], at + 1e-9)) - 1
        if i >= 0 and abs(bars[0, i] - at) < 1e-7 and bars[5, i] > 0:
            return float(bars[1, i])
        # the last close before the bar
        i = int(np.searchsorted(bars[0], at - 1e-9)) - 1
        return float(bars[4, i]) if i >= 0 else math.nan

    return price


def check_arguments(capital, costs, fill):
    """The runner's trading arguments checked before anything is set up."""
    if isinstance(capital, bool) or not isinstance(capital, (int, float)) or not math.isfinite(capital) \
            or not capital > 0:
        raise ValueError("capital must be a positive amount, got %r" % (capital,))
    if fill not in FILLS:
        raise ValueError("fill must be one of %s, got %r" % (", ".join(FILLS), fill))
    check_overrides(costs)


class TradingSession:
    def __init__(self, context, strategy_name, capital=1_000_000, costs=None, fill="next_open", benchmark=None,
                 risk_free=0.0, tvcmd=None, own_price=None, timeline=None):
        """``timeline`` (chunked runs): (bar times, trading days, first, last) of the whole run, in run
        positions; the context then holds one chunk's bars, from run position ``context.run_offset``."""
        from telvar.kestrum import sysmodel as cnt
        from telvar.kestrum.ufuncs import todotmc

        if fill not in FILLS:
            raise ValueError("fill must be one of %s, got %r" % (", ".join(FILLS), fill))
        self.context, self.fill, self.risk_free = context, fill, float(risk_free)
        self.benchmark = None if benchmark is None else todotmc(benchmark)
        self.costs_given = check_overrides(costs)
        keys = list(context.target_names)
        self.bench_days = None
        if self.benchmark is not None:  # read now: a benchmark without bars fails before the run
            from telvar.run.benchmark import benchmark_closes, check_benchmark

            self.bench_days = benchmark_closes(self.benchmark, context.begin_date, context.end_date)
            dates = self.bench_days[0]
            in_run = dates[dates >= int(context.begin_date)]
            if not in_run.size:
                raise ValueError("no day bars of the benchmark %s from %s on" % (self.benchmark, context.begin_date))
            check_benchmark(*self.bench_days, int(in_run[0]))
        self.rules = load_rules(keys, context.begin_date, context.end_date, self.costs_given, tvcmd)
        vr = cnt.vr
        item = vr.g_TelvarKDataList[vr.g_TelvarInputInfo.RefreshKDataIdx]
        bar_times, bar_days, self.first, self.last = timeline or (
            context.bar_times, context.bar_days, context.first_bar_pos, len(context.bar_times) - 1)
        self.prices = BarPrices(item, len(keys), bar_times, bar_days, context.run_offset, len(context.bar_times))
        self.chunk_frames = []  # (equity per bar, positions per day) of each chunk run so far
        self.portfolio = Portfolio(capital, self.rules)
        if own_price is None:
            own_price = own_price_reader(context.frequency, context.freq_num, bar_times, bar_days)
        self.broker = Broker(self.rules, self.prices, self.portfolio, self.first, self.last, fill, own_price)
        self.name = strategy_name
        self.tvcmd = tvcmd
        self.strategy_id = record.begin_run({
            "Name": strategy_name, "BeginDate": context.begin_date, "EndDate": context.end_date,
            "Targets": keys, "Frequency": context.frequency, "FreqNum": context.freq_num,
            "Capital": self.portfolio.capital, "Fill": fill, "Costs": self.costs_given,
            "Benchmark": self.benchmark}, tvcmd)

    def attach_chunk(self, context):
        """Read prices from the chunk set up now (``context`` holds its bars)."""
        from telvar.kestrum import sysmodel as cnt

        vr = cnt.vr
        self.prices.attach(vr.g_TelvarKDataList[vr.g_TelvarInputInfo.RefreshKDataIdx], context.run_offset,
                           len(context.bar_times))

    def close_chunk(self, first, last):
        """After a chunk's bars (run positions first..last): market orders waiting for its last close fill
        now, as they would at the next bar's start, and the chunk's equity and positions are kept; then
        its prices are let go."""
        if self.broker.close_pending:
            self.broker.close_bar(last)
        P = self.prices
        self.chunk_frames.append((equity_per_bar(self.portfolio, P, self.rules, first, last),
                                  daily_positions(self.portfolio, P, self.rules, first, last)))
        P.release()

    def _equity_and_positions(self):
        if not self.chunk_frames:
            P = self.prices
            return (equity_per_bar(self.portfolio, P, self.rules, self.first, self.last),
                    daily_positions(self.portfolio, P, self.rules, self.first, self.last))
        equity = pd.concat([e for e, _ in self.chunk_frames])
        positions = [p for _, p in self.chunk_frames]
        positions = pd.concat([p for p in positions if len(p)] or positions[:1], ignore_index=True)
        return equity, positions

    def frames(self):
        """(trades, orders, positions, equity per bar, daily equity) of the run so far."""
        b, P = self.broker, self.prices
        trades = pd.DataFrame(b.trades, columns=TRADE_COLUMNS)
        trades.insert(0, "time", to_timestamps(P.bar_times[trades["bar"].to_numpy(dtype=np.int64)]))
        trades.insert(1, "date", P.bar_days[trades["bar"].to_numpy(dtype=np.int64)])
        trades["order_id"] = trades["order_id"].astype("Int64")
        trades["roll"] = trades["roll"].astype(bool)
        orders = pd.DataFrame([(o.order_id, o.placed_pos, o.key, o.quantity, o.limit_price, o.status, o.reason,
                                o.fill_pos, o.fill_price, o.contract) for o in b.orders],
                              columns=["order_id", "bar", "target", "quantity", "limit_price", "status", "reason",
                                       "fill_bar", "fill_price", "contract"])
        orders.insert(1, "time", to_timestamps(P.bar_times[orders["bar"].to_numpy(dtype=np.int64)]))
        fill_bar = orders["fill_bar"].to_numpy(dtype=np.float64)
        filled = np.isfinite(fill_bar)
        fill_times = np.full(fill_bar.size, np.nan)
        fill_times[filled] = P.bar_times[fill_bar[filled].astype(np.int64)]
        orders["fill_bar"] = orders["fill_bar"].astype("Int64")
        orders.insert(orders.columns.get_loc("fill_price"), "fill_time", to_timestamps(fill_times))
        equity, positions = self._equity_and_positions()
        daily = daily_equity(equity, self.portfolio.capital)
        return trades, orders, positions, equity, daily

    def finish(self, summary):
        """The run's results; the host records them."""
        from telvar.run.benchmark import benchmark_returns

        self.broker.finish()
        trades, orders, positions, equity, daily = self.frames()
        bench_returns = bench_closes = None
        if self.bench_days is not None:
            dates, closes, opens = self.bench_days
            bench_returns, bench_closes = benchmark_returns(dates, closes, daily["date"].to_numpy(), opens)
        pf = self.portfolio
        stats = compute_stats(daily["date"].to_numpy(), daily["equity"].to_numpy(), pf.capital,
                              [trip.profit for trip in pf.round_trips], int((~trades["roll"]).sum()),
                              pf.commission, pf.tax, pf.traded_value, bench_returns, self.risk_free)
        stats.update({"Name": self.name, "BeginDate": int(self.context.begin_date),
                      "EndDate": int(self.context.end_date), "StrategyID": self.strategy_id})
        record.record_run(self.strategy_id, trades, orders, daily, stats, self.tvcmd)
        result = RunResult(summary, trades, orders, positions, equity, daily, stats, self.strategy_id,
                           bench_closes, pf.capital)
        result.inputs = self.inputs()
        return result

    def inputs(self):
        """What the run was asked to do, as its report shows it: dates, bars, capital, fill, the costs
        given and, per target, the contract terms and costs in effect."""
        c = self.context
        return {
            "name": self.name, "targets": list(c.target_names), "begin_date": int(c.begin_date),
            "end_date": int(c.end_date), "warmup": int(c.warmup), "frequency": c.frequency,
            "freq_num": int(c.freq_num), "fq": c.fq, "capital": float(self.portfolio.capital), "fill": self.fill,
            "benchmark": self.benchmark, "risk_free": self.risk_free, "costs": self.costs_given,
            "rules": [dict(target=r.key, kind=r.kind, multiplier=r.multiplier, price_tick=r.price_tick,
                           margin_ratio=r.margin_ratio, lot_size=r.lot_size, **asdict(r.costs))
                      for r in self.rules],
        }


__all__ = ["TradingSession", "own_price_reader", "check_arguments"]
