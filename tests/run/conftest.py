"""Helpers of the trading tests: a host side faked for the trading commands, scripted strategies and
the sample store's bars read independently of the strategy's own K data."""
import numpy as np
import pandas as pd
import pytest

from telvar.kestrum import comm

RB, STOCK, CU = "SHFE.RB0000", "SSE.600000", "SHFE.CU0000"
FIELDS = ["time", "open", "high", "low", "close", "volume", "turnover", "oi"]
NO_COSTS = {"CommissionRate": 0.0, "CommissionPerLot": 0.0, "MinCommission": 0.0, "StampTaxRate": 0.0,
            "SlippageTicks": 0.0}


def futures_rules(key, multiplier=10.0, tick=1.0, margin=0.10, costs=None, limits=None, contracts=None):
    return {"Kind": "continuous" if key.endswith("0000") else "future", "Multiplier": multiplier,
            "PriceTick": tick, "MarginRatio": margin, "LotSize": 1, "TPlusOne": False,
            "Costs": dict(NO_COSTS, **(costs or {})), "Limits": limits or {"Date": [], "Up": [], "Down": []},
            "Contracts": contracts or {"Date": [], "Contract": []}}


def stock_rules(costs=None, limits=None):
    return {"Kind": "stock", "Multiplier": 1.0, "PriceTick": 0.01, "MarginRatio": 1.0, "LotSize": 100,
            "TPlusOne": True, "Costs": dict(NO_COSTS, **(costs or {})),
            "Limits": limits or {"Date": [], "Up": [], "Down": []}, "Contracts": {"Date": [], "Contract": []}}


def main_contracts(key, begin, end):
    from telvar.api.history import _history

    dates, codes = _history.get_main_contract([key], begin, end)[key]
    return {"Date": list(dates), "Contract": list(codes)}


class FakeTradingHost:
    """The trading commands answered from a dict and recorded; everything else goes to the real host."""

    def __init__(self, real, rules):
        self.real, self.rules = real, rules
        self.asked, self.begun, self.rows, self.ended = [], [], [], []

    def call(self, name, *args, **kwargs):
        if name == "tvSendCmdGetTradingRules":
            self.asked.append(args)
            return {k: self.rules[k] for k in args[0]}
        if name == "tvSendCmdBeginRun":
            self.begun.append(args[0])
            return "TVS-TEST-%04d" % len(self.begun)
        if name == "tvSendCmdPutRunRows":
            self.rows.append(args)
            return None
        if name == "tvSendCmdEndRun":
            self.ended.append(args)
            return None
        return self.real.call(name, *args, **kwargs)

    def __getattr__(self, name):
        return getattr(self.real, name)


@pytest.fixture
def fake_rules(monkeypatch, connected_host, run_root):
    """Install a fake trading host in front of the attached sample host; returns a function taking
    the rules dict (and giving the fake)."""
    def install(rules):
        fake = FakeTradingHost(comm.tvcmd, rules)
        monkeypatch.setattr(comm, "tvcmd", fake)
        return fake
    return install


class Scripted:
    """A strategy whose ``plan(context)`` (called in init) gives {bar position: action(context)}."""

    def __init__(self, plan, every_bar=None):
        self.plan, self.every_bar, self.seen = plan, every_bar, {}

    def init(self, context):
        self.actions = self.plan(context)

    def on_bar(self, context):
        if self.every_bar is not None:
            self.every_bar(self, context)
        action = self.actions.get(context.bar_pos)
        if action is not None:
            self.seen[context.bar_pos] = action(context)


def bars_of(key, begin, end, frequency="min", freq_num=1):
    """The target's filled bars from the host (not the strategy's K data), as a DataFrame."""
    from telvar.api.history import _history

    a = _history.get_k_data_independent_target([key], frequency, freq_num, begin, end, True, "NA")[0]
    return pd.DataFrame(np.asarray(a, dtype=float).T, columns=FIELDS)


def position_at(context, day, hhmm):
    """The bar position of trading day ``day`` whose bar ends at clock ``hhmm``."""
    from telvar.kestrum.utils.datetimefunc import mft_to_int_format

    clock = np.asarray(mft_to_int_format(context.bar_times, "%H%M"))
    hits = np.flatnonzero((context.bar_days == day) & (clock == hhmm))
    assert hits.size, "no bar at %04d on %d" % (hhmm, day)
    return int(hits[0])


def next_traded(bars, after_time):
    """The first bar after ``after_time`` in which the target traded (a row of ``bars``)."""
    later = bars[(bars["time"] > after_time + 1e-9) & (bars["volume"] > 0)]
    return later.iloc[0]
