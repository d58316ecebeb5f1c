"""Hand-worked broker cases on the sample store's bars, with the market rules given by a fake host side.

Expected prices are read from the host's own bars of the target
(``get_k_data_independent_target``), not from the strategy's K data.
"""
import pytest

from telvar.kestrum import runner

from .conftest import (CU, RB, STOCK, Scripted, bars_of, futures_rules, main_contracts, next_traded,
                       position_at, stock_rules)

pytestmark = pytest.mark.host
CAPITAL = 1_000_000


def run(strategy, targets, begin, end, **kw):
    kw.setdefault("capital", CAPITAL)
    return runner.run(strategy, targets, begin, end, progress=False, **kw)


def test_a_futures_round_trip_earns_the_price_change_times_lots_times_multiplier_less_costs(host, fake_rules):
    fake_rules({RB: futures_rules(RB, costs={"CommissionPerLot": 2.0}, contracts=main_contracts(RB, 20251104, 20251105))})
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: c.order(RB, 2),
                      position_at(c, 20251105, 1400): lambda c: c.order(RB, -2)}
    strategy = Scripted(plan)
    result = run(strategy, [RB], 20251104, 20251105)
    bars = bars_of(RB, 20251104, 20251105)
    (buy_at, _), (sell_at, _) = sorted(strategy.seen.items())
    ctx_times = result_times(result)
    buy = next_traded(bars, ctx_times[buy_at])
    sell = next_traded(bars, ctx_times[sell_at])
    profit = (sell.open - buy.open) * 2 * 10 - 2.0 * 2 * 2
    trades = result.trades
    assert list(trades["side"]) == ["buy", "sell"] and list(trades["quantity"]) == [2, 2]
    assert list(trades["price"]) == [buy.open, sell.open]
    assert list(trades["commission"]) == [4.0, 4.0]
    assert trades["contract"].iloc[0] == "RB2601" and not trades["roll"].any()
    assert result.equity["equity"].iloc[-1] == pytest.approx(CAPITAL + profit)
    assert result.stats["TotalReturn"] == pytest.approx(profit / CAPITAL)
    assert result.stats["RoundTrips"] == 1 and result.stats["TradeCount"] == 2
    assert result.stats["WinRate"] == (1.0 if profit > 0 else 0.0)
    assert result.stats["Commission"] == 8.0
    assert result["bars"] == len(result.equity) and result.strategy_id == "TVS-TEST-0001"


def result_times(result):
    from telvar.kestrum import sysmodel as cnt

    return cnt.vr.g_TelvarUserContext.bar_times


def test_shares_bought_today_are_sold_tomorrow_and_a_stock_sell_pays_stamp_tax(host, fake_rules):
    fake_rules({STOCK: stock_rules(costs={"CommissionRate": 0.00025, "MinCommission": 5.0,
                                          "StampTaxRate": 0.0005})})
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: (c.order(STOCK, 1000), c.order(STOCK, 150)),
                      position_at(c, 20251104, 1400): lambda c: c.order(STOCK, -1000),
                      position_at(c, 20251105, 1000): lambda c: c.order(STOCK, -1000)}
    strategy = Scripted(plan)
    result = run(strategy, [STOCK], 20251104, 20251105)
    orders = result.orders.set_index("order_id")
    assert orders.loc[2, "status"] == "refused" and "lots of 100" in orders.loc[2, "reason"]
    assert orders.loc[3, "status"] == "refused" and orders.loc[3, "reason"].startswith("T+1")
    assert orders.loc[1, "status"] == orders.loc[4, "status"] == "filled"
    bars = bars_of(STOCK, 20251104, 20251105)
    times = result_times(result)
    sell_day_after = next_traded(bars, times[sorted(strategy.seen)[2]])
    sell = result.trades[result.trades["side"] == "sell"].iloc[0]
    value = 1000 * sell_day_after.open
    assert sell.price == sell_day_after.open
    assert sell.tax == pytest.approx(0.0005 * value)
    assert sell.commission == pytest.approx(max(5.0, 0.00025 * value))
    assert result.trades[result.trades["side"] == "buy"].iloc[0].tax == 0.0
    assert result.stats["Tax"] == pytest.approx(0.0005 * value)


def test_no_buy_at_the_limit_up_price_nor_sell_at_limit_down(host, fake_rules, run_root):
    # the fill bar's open is the day's limit-up: the buy is refused; the next day it is not
    setup_bars = bars_of(STOCK, 20251104, 20251105)
    context = runner.setup([STOCK], 20251104, 20251105, host=host)
    buy_at = position_at(context, 20251104, 1000)
    fill_bar = next_traded(setup_bars, context.bar_times[buy_at])
    sell_at = position_at(context, 20251105, 1000)
    sell_bar = next_traded(setup_bars, context.bar_times[sell_at])
    limits = {"Date": [20251104, 20251105], "Up": [fill_bar.open, 99.0], "Down": [1.0, sell_bar.open]}
    fake_rules({STOCK: stock_rules(limits=limits)})
    plan = lambda c: {buy_at: lambda c: c.order(STOCK, 100),
                      buy_at + 1: lambda c: c.order(STOCK, 100, limit_price=fill_bar.open + 1),
                      position_at(c, 20251105, 930 + 1): lambda c: c.order(STOCK, 100),
                      sell_at: lambda c: c.order(STOCK, -100)}
    result = run(Scripted(plan), [STOCK], 20251104, 20251105)
    orders = result.orders.set_index("order_id")
    assert orders.loc[1, "status"] == "refused" and "limit-up" in orders.loc[1, "reason"]
    # a limit order is not refused: it waits for a bar below the limit-up price
    assert orders.loc[2, "status"] == "filled" and orders.loc[2, "fill_price"] < fill_bar.open
    assert orders.loc[3, "status"] == "filled"
    assert orders.loc[4, "status"] == "refused" and "limit-down" in orders.loc[4, "reason"]


def test_an_order_beyond_the_margin_is_refused(host, fake_rules):
    fake_rules({RB: futures_rules(RB, margin=0.10, contracts=main_contracts(RB, 20251104, 20251104))})
    at = {}
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: (c.order(RB, 20), c.order(RB, 10)),
                      position_at(c, 20251104, 1100): lambda c: at.setdefault("pf", c.portfolio)}
    result = run(Scripted(plan), [RB], 20251104, 20251104, capital=50_000)
    orders = result.orders.set_index("order_id")
    price = orders.loc[2, "fill_price"]
    # 20 lots need 20 x 10 x price x 10% (about 66,000) > 50,000; 10 lots about 33,000
    assert 20 * 10 * price * 0.1 > 50_000 > 10 * 10 * price * 0.1
    assert orders.loc[1, "status"] == "refused" and "not enough margin" in orders.loc[1, "reason"]
    assert orders.loc[2, "status"] == "filled"
    pf = at["pf"]
    position = pf.positions[RB]
    assert position.quantity == 10 and position.avg_cost == price
    assert pf.margin == pytest.approx(10 * 10 * position.price * 0.1)
    assert pf.equity == pytest.approx(50_000 + 10 * 10 * (position.price - price))
    assert pf.available == pytest.approx(pf.equity - pf.margin)


def test_limit_orders_fill_at_the_limit_or_at_an_open_through_it(host, fake_rules, run_root):
    fake_rules({RB: futures_rules(RB, contracts=main_contracts(RB, 20251104, 20251105))})
    bars = bars_of(RB, 20251104, 20251105)
    context = runner.setup([RB], 20251104, 20251105, host=host)
    placed = position_at(context, 20251104, 1000)
    t0 = context.bar_times[placed]
    first = next_traded(bars, t0)
    later = bars[(bars["time"] > t0 + 1e-9) & (bars["volume"] > 0)].iloc[:60]
    # a buy limit above the next open fills at that open; one at the lowest low of the next hour
    # fills at the limit, at the first bar reaching it
    through = first.open + 3
    low_limit = later["low"].min()
    reached = later[later["low"] <= low_limit].iloc[0]
    assert reached.open > low_limit  # the case is the one named: reached within the bar
    sell_limit = later["high"].max()
    sold = later[later["high"] >= sell_limit].iloc[0]
    plan = lambda c: {placed: lambda c: (c.order(RB, 1, limit_price=through),
                                         c.order(RB, 1, limit_price=low_limit),
                                         c.order(RB, -1, limit_price=sell_limit))}
    result = run(Scripted(plan), [RB], 20251104, 20251105)
    orders = result.orders.set_index("order_id")
    times = result_times(result)
    assert orders.loc[1, "fill_price"] == first.open and times[orders.loc[1, "fill_bar"]] == first.time
    assert orders.loc[2, "fill_price"] == low_limit and times[orders.loc[2, "fill_bar"]] == reached.time
    expected_sell = sold.open if sold.open >= sell_limit else sell_limit
    assert orders.loc[3, "fill_price"] == expected_sell and times[orders.loc[3, "fill_bar"]] == sold.time


def test_a_continuous_position_rolls_to_the_new_main_contract_at_its_own_prices(host, fake_rules):
    rate = 0.0001
    fake_rules({RB: futures_rules(RB, costs={"CommissionRate": rate},
                                  contracts=main_contracts(RB, 20251205, 20251209))})
    plan = lambda c: {position_at(c, 20251205, 1000): lambda c: c.order(RB, 2)}
    strategy = Scripted(plan)
    result = run(strategy, [RB], 20251205, 20251209)
    trades = result.trades
    assert list(trades["roll"]) == [False, True, True]
    assert list(trades["contract"]) == ["RB2601", "RB2601", "RB2605"]
    assert list(trades["side"]) == ["buy", "sell", "buy"]
    times = result_times(result)
    roll_bar = trades["bar"].iloc[1]
    roll_time = times[roll_bar]
    assert result.equity.loc[roll_bar, "date"] == 20251208 and result.equity.loc[roll_bar - 1, "date"] == 20251205

    def own_price(contract):
        own = bars_of("SHFE." + contract, 20251205, 20251208)
        at = own[abs(own["time"] - roll_time) < 1e-7]
        if len(at) and at["volume"].iloc[0] > 0:
            return at["open"].iloc[0]
        return own[own["time"] < roll_time - 1e-9]["close"].iloc[-1]

    old_price, new_price = own_price("RB2601"), own_price("RB2605")
    assert trades["price"].iloc[1] == old_price and trades["price"].iloc[2] == new_price
    entry = trades["price"].iloc[0]
    last_close = bars_of(RB, 20251209, 20251209)["close"].iloc[-1]
    costs = rate * 2 * 10 * (entry + old_price + new_price)
    assert trades["commission"].sum() == pytest.approx(costs)
    expected = CAPITAL + 2 * 10 * (old_price - entry) + 2 * 10 * (last_close - new_price) - costs
    assert result.equity["equity"].iloc[-1] == pytest.approx(expected)
    held = result.positions.set_index("date")
    assert held.loc[20251205, "contract"] == "RB2601" and held.loc[20251209, "contract"] == "RB2605"
    assert result.stats["TradeCount"] == 1  # rolls are trades of no order


def test_orders_fill_on_traded_bars_only_and_the_last_bar_fills_nothing(host, fake_rules):
    """A stock placed at night waits for its first traded bar; an order at the run's last bar is
    reported unfilled; with fill="close" a market order fills at its own bar's close."""
    fake_rules({RB: futures_rules(RB, contracts=main_contracts(RB, 20251104, 20251104)), STOCK: stock_rules(),
                CU: futures_rules(CU, multiplier=5.0, tick=10.0, contracts=main_contracts(CU, 20251104, 20251104))})
    plan = lambda c: {position_at(c, 20251104, 2130): lambda c: c.order(STOCK, 100),
                      len(c.bar_times) - 1: lambda c: c.order(RB, 1)}
    result = run(Scripted(plan), [RB, STOCK], 20251104, 20251104)
    orders = result.orders.set_index("order_id")
    stock = bars_of(STOCK, 20251104, 20251104)
    first_stock = stock[stock["volume"] > 0].iloc[0]
    assert orders.loc[1, "fill_price"] == first_stock.open
    assert result_times(result)[orders.loc[1, "fill_bar"]] == first_stock.time
    assert orders.loc[2, "status"] == "unfilled" and len(result.trades) == 1

    placed = {}
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: placed.setdefault("id", c.order(CU, -1))}
    result = run(Scripted(plan), [CU], 20251104, 20251104, fill="close")
    cu = bars_of(CU, 20251104, 20251104)
    bar = result.orders["fill_bar"].iloc[0]
    times = result_times(result)
    assert result.orders["bar"].iloc[0] == bar
    assert result.trades["price"].iloc[0] == cu[abs(cu["time"] - times[bar]) < 1e-7]["close"].iloc[0]


def test_fills_on_coarser_strategy_bars_use_those_bars(host, fake_rules):
    """On 15-minute strategy bars a market order fills at the next 15-minute bar's open, and a warm-up
    leaves the first traded bar where on_bar starts."""
    fake_rules({CU: futures_rules(CU, multiplier=5.0, tick=10.0, contracts=main_contracts(CU, 20251104, 20251105))})
    plan = lambda c: {c.first_bar_pos + 3: lambda c: c.order(CU, 1)}
    strategy = Scripted(plan)
    result = run(strategy, [CU], 20251104, 20251105, frequency="min", freq_num=15, warmup=2)
    bars = bars_of(CU, 20251104, 20251105, "min", 15)
    placed = next(iter(strategy.seen))
    times = result_times(result)
    expected = next_traded(bars, times[placed])
    assert result.trades["price"].iloc[0] == expected.open
    assert times[result.trades["bar"].iloc[0]] == expected.time
    assert result.equity.index[0] > 0 and result.daily_equity["date"].iloc[0] == 20251104
