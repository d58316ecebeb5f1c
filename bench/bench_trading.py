"""Trading in a back-test: what the broker costs, and a trading run against backtrader.

The store: the sample generator with 47 extra stocks (50 stocks) over
November 2025 (20 trading days x 240 one-minute bars), where minutes without
a trade are filled in as traded at the last close (volume 100), so every bar
fills an order in both frameworks alike. A host serves it.

- the broker's cost with 50 targets and no orders: the same run with and
  without the broker (``trading=False``), best of three; the bar loop alone
  and the whole run (set-up, trading rules, results);
- a moving-average cross (5 and 20 one-minute closes, 100 shares, T+1
  respected by the strategy) on 10 stocks x 4,800 bars, trading through our
  broker against the same strategy in backtrader (market orders filled at the
  next bar's open, commission 0.03% of the value, stamp tax 0.05% on sells),
  with the trades and the final value checked equal; the figure is time per
  target-bar, ours for the whole ``runner.run`` (data fetched from the host
  included) and for its loop and results alone, backtrader's for
  ``cerebro.run()`` on data already in memory.
"""
import time

import numpy as np
import pandas as pd

from bench.hostdata import cached_store

BEGIN, END = 20251103, 20251128
SMALL_END = 20251104  # the small run: two trading days
RATE, TAX = 0.0003, 0.0005
COSTS = {"*": {"commission_rate": RATE, "min_commission": 0.0, "stamp_tax_rate": TAX, "slippage_ticks": 0.0,
               "commission_per_lot": 0.0}}
FAST, SLOW, LOT = 5, 20, 100
# means closer than this fraction of the price count as equal: the two frameworks sum in different
# orders, and a tie must not be decided by the last bit (prices on a 0.01 grid never differ so little)
TIE = 1e-9


def _store():
    """The bench store (built once): 50 stocks, every minute traded."""
    return cached_store("trading", _build)


def _build(tmp):
    import duckdb

    from telvar.host.sample import build_store
    from telvar.host.store.storeinfo import new_data_version

    build_store(tmp, begin=20251020, end=20251205, extra_stocks=47, futures=False, ticks=False)
    con = duckdb.connect(str(tmp))
    try:
        bars = con.execute("SELECT * FROM minute_bars WHERE market IN ('SSE', 'SZSE')").df()
        grid = bars[["ts", "trade_date"]].drop_duplicates().sort_values("ts")
        filled = []
        for (market, code), own in bars.groupby(["market", "code"]):
            full = grid.merge(own, on=["ts", "trade_date"], how="left").sort_values("ts")
            missing = full["close"].isna()
            full["close"] = full["close"].ffill().bfill()
            for field in ("open", "high", "low"):
                full[field] = full[field].where(~missing, full["close"])
            full["volume"] = full["volume"].where(~missing, 100.0)
            full["turnover"] = full["turnover"].where(~missing, 100.0 * full["close"])
            full["open_interest"] = full["open_interest"].fillna(0.0)
            full["market"], full["code"] = market, code
            filled.append(full[bars.columns])
        frame = pd.concat(filled, ignore_index=True)  # noqa: F841 (read by the SQL below)
        con.execute("DELETE FROM minute_bars WHERE market IN ('SSE', 'SZSE')")
        con.execute("INSERT INTO minute_bars SELECT * FROM frame")
        new_data_version(con)
    finally:
        con.close()


def _stocks(host, n):
    import duckdb

    con = duckdb.connect(str(host), read_only=True)
    try:
        rows = con.execute("SELECT market, code FROM instruments WHERE kind = 'stock' ORDER BY code").fetchall()
    finally:
        con.close()
    return ["%s.%s" % r for r in rows[:n]]


class Idle:
    """No orders: reads the current bar's closes of every target (or nothing, ``read=False``)."""

    def __init__(self, read):
        self.read = read

    def init(self, context):
        pass

    def on_bar(self, context):
        if self.read:
            from telvar.api.regora import _regora

            _regora.get_reg_k_data(context.reg_idx, context.bar_pos, 1, True)


def broker_cost(report, address, targets, begin, end):
    from telvar.kestrum import runner

    for read in (False, True):
        def once(trading):
            t0 = time.perf_counter()
            summary = runner.run(Idle(read), targets, begin, end, host=address, progress=False, trading=trading)
            return time.perf_counter() - t0, summary["run_seconds"], summary["bars"]

        rounds = [(once(False), once(True)) for _ in range(7)]
        whole_without = min(r[0][0] for r in rounds)
        whole_with = min(r[1][0] for r in rounds)
        loop_without = min(r[0][1] for r in rounds)
        loop_with = min(r[1][1] for r in rounds)
        bars = rounds[0][0][2]
        label = "reading one bar per bar" if read else "an empty on_bar"
        report.line("%d targets x %d bars, %s: loop %.1f ms without the broker, %.1f ms with; whole run "
                    "%.0f ms, %.0f ms" % (len(targets), bars, label, loop_without * 1e3, loop_with * 1e3,
                                          whole_without * 1e3, whole_with * 1e3))
        share = (loop_with - loop_without) / loop_without
        report.target("broker's share of the bar loop, %s (%%)" % label, 100 * share, at_most=10)
        report.line("  broker's share of the whole run (set-up, rules and results included): %+.1f%%"
                    % (100 * (whole_with - whole_without) / whole_without))


def rolling_mean(values, n):
    out = np.full(values.shape, np.nan)
    sums = np.cumsum(np.nan_to_num(values), axis=1)
    out[:, n - 1:] = (sums[:, n - 1:] - np.c_[np.zeros((values.shape[0], 1)), sums[:, :-n]]) / n
    return out


class OurMaCross:
    """Buy 100 shares when the 5-bar mean of closes is above the 20-bar one, sell them when below
    (not on the day they were bought; means within ``TIE`` of each other are equal). The means are
    computed once in init from all the run's bars, as backtrader computes its indicators; each is a
    mean of past closes only."""

    def init(self, context):
        from telvar.api.regora import _regora

        n, bars = len(context.targets), len(context.bar_times)
        window = _regora.get_reg_k_data(context.reg_idx, bars - 1, bars, True)
        close = window[:, 5].astype(float).reshape(n, bars)
        fast, slow = rolling_mean(close, FAST), rolling_mean(close, SLOW)
        gap = self.gap = np.nan_to_num(fast - slow)
        # per bar, per target: 1 the fast mean is above, -1 below, 0 neither
        self.signal = (np.sign(gap) * (np.abs(gap) > TIE * np.nan_to_num(close))).astype(int).T.tolist()
        self.days = context.bar_days.tolist()
        self.targets = range(n)
        self.held, self.ordered, self.bought_day = [False] * n, [False] * n, [0] * n

    def on_bar(self, context):
        pos = context.bar_pos
        today, signal = self.days[pos], self.signal[pos]
        held, ordered, bought_day = self.held, self.ordered, self.bought_day
        for t in self.targets:
            if ordered[t] and not held[t]:  # the buy placed at the last bar filled at this bar's open
                held[t], bought_day[t] = True, today
            s = signal[t]
            if s > 0 and not ordered[t]:
                context.order(t, LOT)
                ordered[t] = True
            elif s < 0 and held[t] and bought_day[t] < today:
                context.order(t, -LOT)
                held[t] = ordered[t] = False


class OurMaCrossReading(OurMaCross):
    """The same cross, reading at every bar the current bar of every target (one window read per bar,
    ``get_reg_k_data`` of one bar), whose close decides whether the means are apart by more than a
    tie, as backtrader's strategy reads ``close[0]`` of each data."""

    def init(self, context):
        super().init(context)
        self.gap = self.gap.T.tolist()

    def on_bar(self, context):
        from telvar.api.regora import _regora

        pos = context.bar_pos
        close = _regora.get_reg_k_data(context.reg_idx, pos, 1, True)[:, 5].astype(float)
        today, gap = self.days[pos], self.gap[pos]
        held, ordered, bought_day = self.held, self.ordered, self.bought_day
        for t in self.targets:
            if ordered[t] and not held[t]:
                held[t], bought_day[t] = True, today
            g, tie = gap[t], TIE * (0.0 if close[t] != close[t] else close[t])
            if g > tie and not ordered[t]:
                context.order(t, LOT)
                ordered[t] = True
            elif g < -tie and held[t] and bought_day[t] < today:
                context.order(t, -LOT)
                held[t] = ordered[t] = False


def backtrader_run(frames):
    """backtrader's run of the cross on ``frames``, with its SMA indicators."""
    import backtrader as bt

    class AShares(bt.CommInfoBase):
        params = (("stocklike", True), ("commtype", bt.CommInfoBase.COMM_PERC), ("percabs", True))

        def _getcommission(self, size, price, pseudoexec):
            value = abs(size) * price
            return value * RATE + (value * TAX if size < 0 else 0.0)

    class Cross(bt.Strategy):
        def __init__(self):
            n = len(self.datas)
            self.held, self.ordered, self.bought_day = [False] * n, [False] * n, [None] * n
            self.fills = []

        def notify_order(self, order):
            if order.status == order.Completed:
                self.fills.append((bt.num2date(order.executed.dt), order.data._name, order.executed.size,
                                   order.executed.price, order.executed.comm))

    class MaCross(Cross):
        def __init__(self):
            super().__init__()
            self.fast = [bt.indicators.SMA(d.close, period=FAST) for d in self.datas]
            self.slow = [bt.indicators.SMA(d.close, period=SLOW) for d in self.datas]

        def next(self):
            today = self.datas[0].datetime.date(0)
            for i, d in enumerate(self.datas):
                if self.ordered[i] and not self.held[i]:  # the buy placed at the last bar has filled
                    self.held[i], self.bought_day[i] = True, today
                gap, tie = self.fast[i][0] - self.slow[i][0], TIE * d.close[0]
                if not self.ordered[i] and gap > tie:
                    self.buy(data=d, size=LOT)
                    self.ordered[i] = True
                elif self.held[i] and gap < -tie and self.bought_day[i] < today:
                    self.sell(data=d, size=LOT)
                    self.held[i] = self.ordered[i] = False

    cerebro = bt.Cerebro(stdstats=False)
    for name, frame in frames.items():
        cerebro.adddata(bt.feeds.PandasData(dataname=frame), name=name)
    cerebro.addstrategy(MaCross)
    cerebro.broker.setcash(1_000_000.0)
    cerebro.broker.addcommissioninfo(AShares())
    t0 = time.perf_counter()
    strategy = cerebro.run()[0]
    return time.perf_counter() - t0, strategy.fills, cerebro.broker.getvalue()


def frames_for_backtrader(targets, bar_times, begin=BEGIN, end=END):
    """Each target's bars from the host, indexed by bar end time, as backtrader reads them."""
    from telvar.api.history import _history
    from telvar.run.curves import to_timestamps

    frames = {}
    arrays = _history.get_k_data_independent_target(targets, "min", 1, begin, end, True, "NA")
    for key, a in zip(targets, arrays):
        a = np.asarray(a, dtype=float)
        assert np.array_equal(a[0], bar_times), "every target trades every minute of the bench store"
        frames[key] = pd.DataFrame({"open": a[1], "high": a[2], "low": a[3], "close": a[4], "volume": a[5]},
                                   index=to_timestamps(a[0]))
    return frames


def versus_backtrader(report, address, targets, begin=BEGIN, end=END, window_reads=False, repeat=3, want=50):
    """Our whole run of the cross against backtrader's, fills and final value checked equal; the
    figures are per target-bar and the targets backtrader's time over ours."""
    from telvar.kestrum import runner
    from telvar.kestrum import sysmodel as cnt

    strategy = OurMaCrossReading if window_reads else OurMaCross

    def ours():
        t0 = time.perf_counter()
        result = runner.run(strategy(), targets, begin, end, host=address, progress=False, costs=COSTS)
        return time.perf_counter() - t0, result

    runs = [ours() for _ in range(repeat)]
    whole, result = min(runs, key=lambda r: r[0])
    loop_and_results = min(seconds - r["setup_seconds"] for seconds, r in runs)
    set_up = min(r["setup_seconds"] for _, r in runs)
    bars = result["bars"]
    frames = frames_for_backtrader(targets, cnt.vr.g_TelvarUserContext.bar_times, begin, end)
    bt_runs = [backtrader_run(frames) for _ in range(repeat)]
    bt_seconds, fills, bt_value = min(bt_runs, key=lambda r: r[0])
    trades = result.trades
    ours_fills = list(zip(trades["time"], trades["target"], np.where(trades["side"] == "buy", 1, -1) *
                          trades["quantity"], trades["price"], trades["commission"] + trades["tax"]))
    theirs = sorted((pd.Timestamp(t).round("s"), name, size, price, comm) for t, name, size, price, comm in fills)
    ours_sorted = sorted((pd.Timestamp(t), name, int(q), p, c) for t, name, q, p, c in ours_fills)
    same = len(theirs) == len(ours_sorted) and all(
        a[:3] == b[:3] and abs(a[3] - b[3]) < 1e-9 and abs(a[4] - b[4]) < 1e-6 for a, b in zip(ours_sorted, theirs))
    report.check("the same %d fills as backtrader (time, target, size, price, costs)" % len(ours_sorted), same,
                 "" if same else "ours %d, backtrader %d" % (len(ours_sorted), len(theirs)))
    final = result.equity["equity"].iloc[-1]
    report.check("the same final value", abs(final - bt_value) < 1e-6 * bt_value,
                 "ours %.2f, backtrader %.2f" % (final, bt_value))
    target_bars = len(targets) * bars
    report.line("%d targets x %d bars, %d fills; our set-up %.1f ms" % (len(targets), bars, len(ours_sorted),
                                                                      set_up * 1e3))
    report.compare("whole run (host data incl.)", whole, backtrader=bt_seconds)
    report.compare("loop and results", loop_and_results, backtrader=bt_seconds)
    report.line("per target-bar: ours %.2f us (whole run), %.2f us (loop and results); backtrader %.1f us"
                % (whole / target_bars * 1e6, loop_and_results / target_bars * 1e6, bt_seconds / target_bars * 1e6))
    kind = "window read per bar" if window_reads else "indicators"
    size = "%d x %d bars, %s" % (len(targets), bars, kind)
    if want is not None:
        report.target("%s: whole run, backtrader time over ours" % size, bt_seconds / whole, want)
    else:  # a comparison for the record: the small run carries this case's target
        report.line("%s: whole run, backtrader time over ours %.1f" % (size, bt_seconds / whole))


def run(report):
    from telvar.host import start_host
    from telvar.kestrum import comm

    import importlib.util

    have_backtrader = importlib.util.find_spec("backtrader") is not None
    path = _store()
    handle = start_host(str(path))
    try:
        report.section("the broker's cost with 50 targets and no orders")
        end = 20251107 if report.quick else END
        broker_cost(report, handle, _stocks(path, 50), BEGIN, end)
        report.section("a moving-average cross on 10 stocks x 4,800 one-minute bars against backtrader")
        if not have_backtrader:
            report.line("backtrader is not installed (pip install 'telvar[bench]'): skipped")
            return
        versus_backtrader(report, handle, _stocks(path, 10))
        report.section("the cross reading every target's current bar at every bar (one window read per bar): "
                       "2 stocks x 2 days (480 bars), and 10 stocks x 4,800 bars")
        versus_backtrader(report, handle, _stocks(path, 2), BEGIN, SMALL_END, window_reads=True, repeat=5,
                          want=40)
        versus_backtrader(report, handle, _stocks(path, 10), window_reads=True, want=None)
    finally:
        comm.disconnect()
        handle.stop()
