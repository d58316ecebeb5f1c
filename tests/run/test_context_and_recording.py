"""The strategy's order functions, what the host is sent, and the host's own answers (real host)."""
import numpy as np
import pandas as pd
import pytest

from telvar.kestrum import comm, runner
from telvar.run import record

from .conftest import RB, STOCK, Scripted, bars_of, futures_rules, main_contracts, position_at, stock_rules

pytestmark = pytest.mark.host
INDEX = "SSE.000300"


def test_orders_are_checked_and_target_orders_count_open_ones(host, fake_rules):
    fake_rules({RB: futures_rules(RB, contracts=main_contracts(RB, 20251104, 20251104)), STOCK: stock_rules(),
                INDEX: dict(stock_rules(), Kind="index")})
    seen = {}

    class Strategy:
        def init(self, context):
            with pytest.raises(RuntimeError, match="from on_bar"):
                context.order(RB, 1)

        def on_bar(self, context):
            if context.bar_pos != position_at(context, 20251104, 1000):
                return
            for bad, error in [(("SHFE.CU0000", 1), ValueError), ((RB, 1.5), ValueError), ((RB, 0), ValueError),
                               ((7, 1), IndexError), ((3.0, 1), TypeError), ((RB, 1, -2.0), ValueError)]:
                with pytest.raises(error):
                    context.order(*bad)
            seen["index"] = context.order(INDEX, 1)
            seen["limit"] = context.order({"Market": "SHFE", "Code": "RB0000"}, 1, limit_price=1.0)
            seen["first"] = context.order_target(0, 3)  # 3 - 0 held - 1 open
            seen["again"] = context.order_target(RB, 3)  # open orders count as filled: nothing more
            seen["open"] = [o.order_id for o in context.open_orders]
            seen["cancelled"] = (context.cancel(seen["limit"]), context.cancel(seen["limit"]))
            seen["held"] = context.portfolio.positions.get(STOCK)
            seen["now"] = context.now
            seen["value"] = context.order_target_value(STOCK, 25_500)

    result = runner.run(Strategy(), [RB, STOCK, INDEX], 20251104, 20251104, progress=False)
    orders = result.orders.set_index("order_id")
    assert orders.loc[seen["index"], "status"] == "refused" and "index" in orders.loc[seen["index"], "reason"]
    assert orders.loc[seen["first"], "quantity"] == 2 and seen["again"] is None
    assert seen["open"] == [seen["limit"], seen["first"]] and seen["cancelled"] == (True, False)
    assert orders.loc[seen["limit"], "status"] == "cancelled" and seen["held"] is None
    # 25,500 at the stock's last close, rounded down to whole lots of 100
    stock = bars_of(STOCK, 20251104, 20251104)
    close = stock[(stock["time"] <= seen["now"] + 1e-9) & (stock["volume"] > 0)]["close"].iloc[-1]
    value_order = orders.loc[seen["value"]]
    assert value_order["quantity"] == int(25_500 / close / 100) * 100 > 0
    assert value_order["status"] == "filled"

    context = runner.setup([RB], 20251104, 20251104, host=host)
    with pytest.raises(RuntimeError, match="no broker"):
        context.order(RB, 1)
    plain = runner.run(Scripted(lambda c: {}), [RB], 20251104, 20251104, progress=False, trading=False)
    assert plain.stats is None and plain.trades is None and plain["bars"] > 0


def test_the_run_is_sent_to_the_host(host, fake_rules):
    fake = fake_rules({RB: futures_rules(RB, contracts=main_contracts(RB, 20251104, 20251105))})
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: c.order(RB, 1),
                      position_at(c, 20251105, 1000): lambda c: c.order(RB, -1)}
    result = runner.run(Scripted(plan), [RB], 20251104, 20251105, progress=False, costs={"SHFE": {
        "commission_per_lot": 1}}, benchmark=INDEX)
    info = fake.begun[0]
    assert info["Targets"] == [RB] and info["Capital"] == 1_000_000 and info["Fill"] == "next_open"
    assert info["Costs"] == {"SHFE": {"commission_per_lot": 1.0}} and info["Benchmark"] == INDEX
    assert fake.asked == [([RB], 20251104, 20251105)]
    tables = {args[1]: args for args in fake.rows}
    assert set(tables) == {"trades", "orders", "daily_equity"}
    _, _, columns, rows = tables["daily_equity"]
    assert columns[:2] == ["date", "cash"] and [row[0] for row in rows] == [20251104, 20251105]
    assert len(tables["trades"][3]) == 2 and tables["trades"][3][0][columns.index("date")] is not None
    sid, stats = fake.ended[0]
    assert sid == result.strategy_id == "TVS-TEST-0001"
    assert stats == {k: record.json_value(v) for k, v in result.stats.items()}
    assert stats["Commission"] == 2.0 and "Beta" in stats and stats["StrategyID"] == sid


def test_rows_go_in_chunks_and_values_become_json():
    sent = []

    class Host:
        def call(self, *args):
            sent.append(args)

    frame = pd.DataFrame({"a": [1, 2, 3, 4, 5], "b": [np.nan, 1.5, np.inf, 2.0, 3.0],
                          "c": pd.array([1, None, 3, 4, 5], dtype="Int64")})
    record.put_rows("TVS-1", "trades", frame, Host(), chunk=2)
    assert [len(args[4]) for args in sent] == [2, 2, 1]
    assert sent[0][4] == [[1, None, 1], [2, 1.5, None]] and sent[1][4][0] == [3, None, 3]
    assert record.json_value(pd.Timestamp("2025-11-04 09:31")) == "2025-11-04 09:31:00"


def host_has_trading(tvcmd):
    try:
        tvcmd.call("tvSendCmdGetTradingRules", [RB], 20251104, 20251104)
    except comm.TvReturnError as exc:
        if "unknown command" in str(exc):
            return False
        raise
    return True


def test_the_real_host_records_the_run_and_answers_its_stats(host, connected_host, tmp_path):
    """Needs the host's trading commands: skipped on a host that answers them with "unknown command"."""
    from telvar.api.history import _history

    if not host_has_trading(comm.tvcmd):
        pytest.skip("the host has no trading commands yet (tvSendCmdGetTradingRules: unknown command)")
    seen = {}
    plan = lambda c: {position_at(c, 20251104, 1000): lambda c: (c.order(RB, 2), c.order(STOCK, 1000),
                                                                 seen.setdefault("id", _history.get_strategy_id())),
                      position_at(c, 20251105, 1400): lambda c: (c.order_target(RB, 0), c.order_target(STOCK, 0))}
    result = runner.run(Scripted(plan), [RB, STOCK], 20251104, 20251105, progress=False, host=host,
                        benchmark=INDEX)
    assert result.strategy_id and seen["id"] == result.strategy_id == _history.get_strategy_id()
    performance = _history.get_performance(result.strategy_id)
    for key, value in result.stats.items():
        expected = record.json_value(value)
        if isinstance(expected, float):
            assert performance[key] == pytest.approx(expected, rel=1e-12), key
        else:
            assert performance[key] == expected, key
    stock = result.trades[result.trades["target"] == STOCK]
    assert stock["tax"].iloc[-1] > 0 and (stock["quantity"] % 100 == 0).all()
    # the host keeps every trade, order and day of the run in its results database
    import sqlite3

    from telvar.host.store.results_db import default_results_path

    store_id = comm.tvcmd.call("tvSendCmdGetStoreInfo")["store_id"]
    with sqlite3.connect(default_results_path(store_id)) as db:
        def count(table):
            return db.execute(f"SELECT count(*) FROM {table} WHERE strategy_id = ?",
                              [result.strategy_id]).fetchone()[0]
        assert count("trades") == len(result.trades) > 0
        assert count("orders") == len(result.orders)
        assert count("daily_equity") == len(result.daily_equity)
        prices = [r[0] for r in db.execute("SELECT price FROM trades WHERE strategy_id = ? ORDER BY rowid",
                                           [result.strategy_id])]
    assert prices == pytest.approx(list(result.trades["price"]))


def test_the_real_hosts_trading_rules_drive_the_broker(host, connected_host):
    """Needs the host's trading commands: skipped on a host that answers them with "unknown command"."""
    from telvar.api.history import _history
    from telvar.run.rules import load_rules

    if not host_has_trading(comm.tvcmd):
        pytest.skip("the host has no trading commands yet (tvSendCmdGetTradingRules: unknown command)")
    rb, stock, index = load_rules([RB, STOCK, INDEX], 20251103, 20251128, {})
    assert (rb.kind, rb.multiplier, rb.price_tick, rb.lot_size, rb.t_plus_one) == ("continuous", 10.0, 1.0, 1, False)
    assert 0 < rb.margin_ratio < 1 and rb.costs.commission_rate > 0
    dates, codes = _history.get_main_contract([RB], 20251103, 20251128)[RB]
    assert [rb.contract_on(d) for d in dates] == list(codes)
    assert (stock.kind, stock.lot_size, stock.t_plus_one, stock.margin_ratio) == ("stock", 100, True, 1.0)
    assert stock.costs.stamp_tax_rate > 0 and stock.costs.min_commission > 0
    days = _history.get_trading_days(20251103, 20251128)
    closes = bars_of(STOCK, 20251031, 20251128, "day")
    for day in days:
        up, down = stock.limit_on(day)
        previous = closes[closes["time"] < _ordinal(day)]["close"].iloc[-1]
        # the exchange's 10% band around the previous close, on the price tick
        assert up == pytest.approx(previous * 1.1, abs=0.006) and down == pytest.approx(previous * 0.9, abs=0.006)
    assert not index.tradable


def _ordinal(day):
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

    return int_date_to_ordinal(int(day))


def test_a_benchmark_without_an_earlier_close_starts_from_its_first_open(host, connected_host):
    """A run beginning on the store's first day has no benchmark close before it: the first day's
    return is measured from that day's open instead of the run failing once it is over."""
    class Idle:
        def init(self, context):
            pass

        def on_bar(self, context):
            pass

    result = runner.run(Idle(), [STOCK], 20250901, 20250903, frequency="day", progress=False, host=host,
                        benchmark=INDEX)
    bars = bars_of(INDEX, 20250901, 20250903, "day")
    first_open, closes = bars["open"].iloc[0], bars["close"].to_numpy()
    assert result.stats["BenchmarkReturn"] == pytest.approx(closes[-1] / first_open - 1.0, rel=1e-12)
    from telvar.kestrum.utils.exceptions import TvReturnError

    with pytest.raises(TvReturnError, match="unknown instrument"):  # at set-up, not after the run
        runner.run(Idle(), [STOCK], 20250901, 20250903, frequency="day", progress=False, host=host,
                   benchmark="SSE.600000-not-there")
