"""The equity curve of a target-position strategy against a vectorised pandas computation over the host's
bars and the run's fills, and the fills against the bars: no fill uses a bar after the one it is
attributed to."""
import numpy as np
import pandas as pd
import pytest

from telvar.kestrum import runner
from telvar.kestrum import sysmodel as cnt

from .conftest import RB, STOCK, bars_of, futures_rules, main_contracts, stock_rules

pytestmark = pytest.mark.host
BEGIN, END = 20251205, 20251209  # RB0000 rolls from RB2601 to RB2605 on 20251208
MULTIPLIER = {RB: 10.0, STOCK: 1.0}
SCHEDULE = {RB: [2, -1, 0, 3, 1], STOCK: [0, 200, 500, 300, 0]}


class TargetPositions:
    """Every 97 bars, moves each target to the next position of its schedule."""

    def __init__(self):
        self.step, self.marks = 0, {}

    def init(self, context):
        pass

    def on_bar(self, context):
        if (context.bar_pos - context.first_bar_pos) % 97 == 5:
            for key, positions in SCHEDULE.items():
                context.order_target(key, positions[self.step % len(positions)])
            self.step += 1
        if context.bar_pos % 50 == 0:
            self.marks[context.bar_pos] = context.portfolio.equity


def pandas_equity(times, fills, capital):
    """capital + held quantity x multiplier x change of close, + each fill's quantity x multiplier x
    (close of its bar - its price), - costs; closes carried through bars without a trade."""
    total = pd.Series(0.0, index=range(len(times)))
    for key in (RB, STOCK):
        own = bars_of(key, BEGIN, END).set_index("time")["close"]
        close = own.reindex(own.index.union(times)).ffill().reindex(times).to_numpy()
        mine = fills[fills["target"] == key]
        signed = np.where(mine["side"] == "buy", 1, -1) * mine["quantity"]
        flow = pd.Series(signed.to_numpy(), index=mine["bar"].to_numpy()).groupby(level=0).sum()
        held_after = flow.reindex(range(len(times)), fill_value=0).cumsum()
        held_before = held_after.shift(1, fill_value=0)
        m = MULTIPLIER[key]
        change = pd.Series(close).diff().fillna(0.0)
        hold = (held_before * m * change).where(held_before != 0, 0.0)
        at_fill = (signed * m * (close[mine["bar"].to_numpy()] - mine["price"].to_numpy()))
        at_fill = pd.Series(at_fill.to_numpy(), index=mine["bar"].to_numpy()).groupby(level=0).sum()
        total += hold + at_fill.reindex(total.index, fill_value=0.0)
    costs = (fills["commission"] + fills["tax"]).groupby(fills["bar"]).sum().reindex(total.index, fill_value=0.0)
    return capital + (total - costs).cumsum()


def test_equity_equals_pandas_over_the_same_bars_and_fills(host, fake_rules):
    fake_rules({RB: futures_rules(RB, costs={"CommissionRate": 0.0001, "SlippageTicks": 1.0},
                                  contracts=main_contracts(RB, BEGIN, END)),
                STOCK: stock_rules(costs={"CommissionRate": 0.00025, "MinCommission": 5.0,
                                          "StampTaxRate": 0.0005})})
    strategy = TargetPositions()
    result = runner.run(strategy, [RB, STOCK], BEGIN, END, progress=False, capital=500_000)
    trades = result.trades
    assert trades["roll"].sum() == 2 and (trades["target"] == STOCK).any() and len(trades) > 8
    times = cnt.vr.g_TelvarUserContext.bar_times
    expected = pandas_equity(times, trades, 500_000)
    np.testing.assert_allclose(result.equity["equity"].to_numpy(), expected.to_numpy(), rtol=1e-12)
    # the portfolio read inside on_bar is the curve at that bar
    for pos, equity in strategy.marks.items():
        assert equity == pytest.approx(result.equity.loc[pos, "equity"], rel=1e-12)
    daily = result.daily_equity
    last_of_day = result.equity.groupby("date")["equity"].last()
    np.testing.assert_allclose(daily["equity"], last_of_day.to_numpy())
    np.testing.assert_allclose(daily["return"], last_of_day / last_of_day.shift(1, fill_value=500_000) - 1)


def test_market_orders_fill_at_the_next_traded_open_and_never_later_data(host, fake_rules):
    """A strategy that orders on every tenth bar in the direction of the bar after it (known to it
    only through the host's bars) gets the next traded bar's open, never a later bar's price."""
    fake_rules({RB: futures_rules(RB, contracts=main_contracts(RB, 20251104, 20251104)), STOCK: stock_rules()})
    future = {key: bars_of(key, 20251104, 20251104) for key in (RB, STOCK)}

    class Oracle:
        def init(self, context):
            pass

        def on_bar(self, context):
            if context.bar_pos % 10:
                return
            now = context.now
            for key, bars in future.items():
                ahead = bars[bars["time"] > now + 1e-9]
                if len(ahead) > 1 and ahead["close"].iloc[1] != ahead["open"].iloc[0]:
                    up = ahead["close"].iloc[1] > ahead["open"].iloc[0]
                    lot = 1 if key == RB else 100
                    context.order(key, lot if up else -lot)

    result = runner.run(Oracle(), [RB, STOCK], 20251104, 20251104, progress=False)
    times = cnt.vr.g_TelvarUserContext.bar_times
    filled = result.orders[result.orders["status"] == "filled"]
    assert len(filled) > 20
    for _, order in filled.iterrows():
        bars = future[order["target"]]
        traded = bars[(bars["volume"] > 0) & (bars["time"] > times[order["bar"]] + 1e-9)].iloc[0]
        assert order["fill_bar"] > order["bar"]
        assert times[order["fill_bar"]] == traded["time"] and order["fill_price"] == traded["open"]
