"""Costs of a fill, the ``costs=`` overrides, and the host's trading rules read (and refused when malformed)."""
import pytest

from telvar.run.costs import Costs, apply_overrides, check_overrides
from telvar.run.rules import load_rules, rules_from_answer
from telvar.kestrum.utils.exceptions import TvReturnError

from .conftest import futures_rules, stock_rules


def test_commission_tax_and_slippage_of_a_fill():
    stock = Costs(commission_rate=0.00025, min_commission=5.0, stamp_tax_rate=0.0005)
    assert stock.commission(1000, 10_000.0) == 5.0  # 2.50 by rate, the minimum applies
    assert stock.commission(-10_000, -100_000.0) == 25.0
    assert stock.tax(-10_000, -100_000.0, True) == 50.0 and stock.tax(10_000, 100_000.0, True) == 0.0
    lots = Costs(commission_per_lot=1.5, slippage_ticks=2, slippage=0.001)
    assert lots.commission(-3, -9000.0) == 4.5 and lots.tax(-3, -9000.0, False) == 0.0
    assert lots.slipped(3000.0, 1, 1.0) == 3000.0 + 2 + 3.0 and lots.slipped(3000.0, -1, 1.0) == 2995.0


def test_overrides_apply_from_the_general_to_the_instrument():
    given = check_overrides({"*": {"slippage_ticks": 1}, "shfe": {"commission_rate": 0.0002},
                             "SHFE.RB": {"commission_per_lot": 2}, "SHFE.RB0000": {"commission_per_lot": 3},
                             "SSE": {"min_commission": 0}})
    base = Costs(commission_rate=0.0001, min_commission=1.0)
    rb = apply_overrides(base, "SHFE.RB0000", "RB", given)
    assert (rb.commission_rate, rb.commission_per_lot, rb.slippage_ticks, rb.min_commission) == (0.0002, 3.0, 1.0, 1.0)
    cu = apply_overrides(base, "SHFE.CU2601", "CU", given)
    assert (cu.commission_rate, cu.commission_per_lot) == (0.0002, 0.0)
    assert apply_overrides(base, "SSE.600000", "", given).min_commission == 0.0
    for bad, message in [({"SSE": {"commision_rate": 1}}, "unknown fields commision_rate"),
                         ({"SSE": {"min_commission": -1}}, ">= 0"), ({"SSE": 0.1}, "must be a dict"),
                         ({"": {}}, "keys are"), ("SSE", "must be a dict")]:
        with pytest.raises((ValueError, TypeError), match=message):
            check_overrides(bad)


def test_rules_from_the_host_answer():
    answer = futures_rules("SHFE.RB0000", costs={"CommissionRate": 0.0001},
                           limits={"Date": [20251104], "Up": [3500.0], "Down": [3100.0]},
                           contracts={"Date": [20251104, 20251105], "Contract": ["RB2601", "RB2605"]})
    r = rules_from_answer("SHFE.RB0000", answer, check_overrides({"SHFE.RB": {"slippage_ticks": 1}}))
    assert (r.kind, r.variety, r.multiplier, r.margin_ratio, r.margined, r.is_stock) == \
        ("continuous", "RB", 10.0, 0.1, True, False)
    assert r.costs == Costs(commission_rate=0.0001, slippage_ticks=1.0)
    assert r.limit_on(20251104) == (3500.0, 3100.0) and r.limit_on(20251105) is None
    assert r.contract_on(20251105) == "RB2605" and r.contract_on(20251106) is None
    s = rules_from_answer("SSE.600000", stock_rules(), {})
    assert (s.lot_size, s.t_plus_one, s.contract_on(20251104), s.tradable) == (100, True, "600000", True)
    index = rules_from_answer("SSE.000300", dict(stock_rules(), Kind="index"), {})
    assert not index.tradable
    for field, value, message in [("LotSize", 0, "LotSize"), ("Multiplier", -1, "Multiplier"),
                                  ("Limits", {"Date": [1, 2], "Up": [1.0], "Down": [1.0, 2.0]}, "differ"),
                                  ("Costs", {"CommissionRate": "a lot"}, "CommissionRate")]:
        with pytest.raises(ValueError, match=message):
            rules_from_answer("SHFE.RB0000", dict(answer, **{field: value}), {})


class Host:
    def __init__(self, answers=None, error=None):
        self.answers, self.error, self.calls = answers, error, []

    def call(self, name, *args):
        self.calls.append(name)
        if name == "tvSendCmdGetTradingRules":
            if self.error:
                raise TvReturnError(self.error)
            return self.answers
        if name == "tvSendCmdGetMainContracts":
            return {"SHFE.RB0000": ([20251104, 20251105], ["RB2601", "RB2605"])}
        raise AssertionError(name)

    def tvSendCmdGetFutureInfo_20190920(self, keys):
        kinds = {"SHFE.RB0000": ("continuous", 10.0, 1.0), "SSE.600000": ("stock", 1.0, 0.01)}
        return [{"Kind": kinds[k][0], "Multiplier": kinds[k][1], "PriceTick": kinds[k][2]} for k in keys]


def test_a_host_without_trading_rules_gives_defaults_and_other_errors_pass():
    keys = ["SHFE.RB0000", "SSE.600000"]
    old = Host(error="tvSendCmdGetTradingRules: unknown command 'tvSendCmdGetTradingRules'")
    rb, stock = load_rules(keys, 20251104, 20251105, {}, old)
    assert (rb.multiplier, rb.margin_ratio, rb.contract_on(20251105), rb.limits) == (10.0, 0.1, "RB2605", {})
    assert (stock.lot_size, stock.t_plus_one, stock.costs.min_commission) == (100, True, 5.0)
    with pytest.raises(TvReturnError, match="XX.YY"):
        load_rules(keys, 20251104, 20251105, {}, Host(error="unknown instrument XX.YY"))
    with pytest.raises(ValueError, match="miss SSE.600000"):
        load_rules(keys, 20251104, 20251105, {}, Host(answers={"SHFE.RB0000": futures_rules("SHFE.RB0000")}))


@pytest.mark.parametrize("kwargs, message", [
    ({"capital": 0}, "capital"), ({"capital": float("nan")}, "capital"), ({"capital": True}, "capital"),
    ({"fill": "open"}, "fill must be one of next_open, close"),
    ({"costs": {"SSE": {"tax": 0.001}}}, "unknown fields tax")])
def test_bad_trading_arguments_stop_the_run_before_any_set_up(kwargs, message):
    from telvar.kestrum import runner

    class Never:
        def init(self, context):
            raise AssertionError("not reached")

    # an address no host listens at: the arguments are refused before it is tried
    with pytest.raises(ValueError, match=message):
        runner.run(Never(), ["SHFE.RB0000"], 20251104, 20251104, host="unix:/nonexistent/none.sock",
                   progress=False, **kwargs)
