"""What ``runner.run`` returns: the summary as a mapping, and the run's trading results.

``result["bars"]`` and the other summary keys work as before (also
``result["stats"]`` and ``result["strategy_id"]``); the trading results are
attributes:

- ``trades``: one row per fill: time (of the bar the fill is attributed to),
  date, bar, target, contract, side, quantity (positive), price, commission,
  tax, order_id and roll (True for the two trades of a main-contract roll,
  which have no order);
- ``orders``: every order: order_id, time and bar placed, target, quantity
  (signed), limit_price, status (filled, cancelled, refused, unfilled),
  reason (why refused or unfilled), fill_time, fill_price, contract;
- ``positions``: positions held at each trading day's close;
- ``equity``: per bar of begin_date..end_date: time, date, cash,
  market_value (signed notional of the positions), margin, equity;
  ``daily_equity``: the same at each trading day's last bar, with its return;
- ``stats``: the statistics (see ``telvar.run.stats``); ``strategy_id``: the
  host's id of the run (None when the host does not record runs);
- ``benchmark``: the benchmark's closes by date (None without one);
- ``plot(path=None)``: equity, drawdown and benchmark in one figure;
  ``report(path)``: the run in one HTML file (see ``report``).
"""
from collections.abc import Mapping


class RunResult(Mapping):
    def __init__(self, summary, trades=None, orders=None, positions=None, equity=None, daily_equity=None,
                 stats=None, strategy_id=None, benchmark=None, capital=None):
        self._summary = dict(summary)
        self._summary["strategy_id"] = strategy_id
        self._summary["stats"] = stats
        self.trades, self.orders, self.positions = trades, orders, positions
        self.equity, self.daily_equity = equity, daily_equity
        self.stats, self.strategy_id, self.benchmark, self.capital = stats, strategy_id, benchmark, capital

    def __getitem__(self, key):
        return self._summary[key]

    def __iter__(self):
        return iter(self._summary)

    def __len__(self):
        return len(self._summary)

    def plot(self, path=None):
        """Equity (with the benchmark scaled to the capital) over drawdown; written as PNG to ``path``
        when given. Returns the matplotlib figure."""
        from telvar.run.plot import plot_result

        return plot_result(self, path)

    def report(self, path, target=None, style="local", bars=None):
        """Write the run's report to ``path``: one self-contained HTML file (needs the ``report`` extra).

        It shows the run's inputs, the statistics, equity and drawdown against
        the benchmark, monthly returns, profit per target, the trades, the
        orders that did not fill and one target's candles with its fills.
        ``target`` chooses that target: a 'MARKET.CODE' key, a target record or
        an index into the run's targets; by default the one with the most
        fills. Its bars are read from the host the run used when the report is
        written (so the process must still be attached to it), or given as
        ``bars``: a DataFrame with time, open, high, low, close and volume.
        ``style`` colours rises red and falls green ("local") or the other way
        ("western"). Returns the path.
        """
        from telvar.report import run_report

        return run_report(self, path, target=target, style=style, bars=bars)

    def __repr__(self):
        if self.stats is None:
            return "RunResult(%d bars, no trading)" % self._summary.get("bars", 0)
        return "RunResult(%d bars, %d trades, total return %.2f%%)" % (
            self._summary.get("bars", 0), len(self.trades), 100 * (self.stats["TotalReturn"] or 0))


__all__ = ["RunResult"]
