"""The broker on hand-made bars: which bars fill an order."""
import math
from types import SimpleNamespace

import numpy as np
import pytest

from telvar.run.broker import Broker
from telvar.run.orders import FILLED, OPEN
from telvar.run.portfolio import Portfolio
from telvar.run.rules import TargetRules

NAN = math.nan


def bars(volume, close=(10.0, 10.5, 11.0, 11.5)):
    """One futures target, four bars on one day; open = close - 0.25."""
    close = np.array([close], dtype=float)
    return SimpleNamespace(open=close - 0.25, high=close + 1, low=close - 1, close=close,
                           volume=np.array([volume], dtype=float), cols=np.arange(4),
                           bar_days=np.full(4, 20240102), refresh=lambda: None)


def buy_at_first_bar(prices):
    rules = [TargetRules(key="SHFE.RB2405", kind="future", multiplier=10.0, price_tick=1.0,
                         margin_ratio=0.1)]
    broker = Broker(rules, prices, Portfolio(1_000_000, rules), 0, 3)
    broker.accepting = True
    order_id = broker.place("SHFE.RB2405", 1)
    broker.accepting = False
    for pos in range(1, 4):
        broker.pos = pos
        broker.open_bar(pos)
    return broker.orders[order_id - 1]


@pytest.mark.parametrize("volume, fill_pos", [
    ((5, 0, 0, 7), 3),            # untraded bars wait for the next trade
    ((5, NAN, NAN, NAN), 1),      # data without volumes: a priced bar traded
    ((5, 3, 0, 0), 1),
])
def test_an_order_fills_at_the_open_of_the_next_traded_bar(volume, fill_pos):
    order = buy_at_first_bar(bars(volume))
    assert order.status == FILLED
    assert order.fill_pos == fill_pos
    assert order.fill_price == pytest.approx(bars(volume).open[0, fill_pos])


def test_bars_without_volume_or_price_never_fill():
    order = buy_at_first_bar(bars((5, NAN, 0, NAN), close=(10.0, NAN, 11.0, NAN)))
    assert order.status == OPEN
