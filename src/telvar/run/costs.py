"""Trading costs: commission, stamp tax and slippage of one instrument.

The host gives each target its default costs (the most specific row of its
store's ``costs`` table). ``runner.run(..., costs=...)`` overrides them per
market, variety or instrument::

    costs={"*": {"slippage_ticks": 1},                 # every target
           "SSE": {"commission_rate": 0.0003},         # a market
           "SHFE.RB": {"commission_per_lot": 2.0},     # a variety of a market
           "SHFE.RB2601": {"commission_per_lot": 3.0}} # one instrument (or a continuous code)

Every matching entry applies, the more general first: "*", then the market,
then the variety, then the instrument. Fields (each optional):

- ``commission_rate``: fraction of the traded value (price x quantity x multiplier);
- ``commission_per_lot``: money per unit traded (a futures lot; a share for stocks);
- ``min_commission``: the least commission of one fill;
- ``stamp_tax_rate``: fraction of the traded value, charged on stock sells only;
- ``slippage_ticks``: market orders fill this many price ticks worse;
- ``slippage``: market orders fill this fraction of the price worse (added to the ticks).
"""
from dataclasses import dataclass, fields, replace
import math
import re

COST_FIELDS = ("commission_rate", "commission_per_lot", "min_commission", "stamp_tax_rate",
               "slippage_ticks", "slippage")
# the host's names for the same fields
HOST_NAMES = {"CommissionRate": "commission_rate", "CommissionPerLot": "commission_per_lot",
              "MinCommission": "min_commission", "StampTaxRate": "stamp_tax_rate",
              "SlippageTicks": "slippage_ticks"}


@dataclass(frozen=True)
class Costs:
    commission_rate: float = 0.0
    commission_per_lot: float = 0.0
    min_commission: float = 0.0
    stamp_tax_rate: float = 0.0
    slippage_ticks: float = 0.0
    slippage: float = 0.0

    def commission(self, quantity, value):
        """Commission of one fill of ``quantity`` units (any sign) worth ``value`` (any sign)."""
        if quantity == 0:
            return 0.0
        fee = self.commission_rate * abs(value) + self.commission_per_lot * abs(quantity)
        return max(fee, self.min_commission)

    def tax(self, quantity, value, is_stock):
        """Stamp tax: stock sells only (``quantity`` < 0)."""
        return self.stamp_tax_rate * abs(value) if is_stock and quantity < 0 else 0.0

    def slipped(self, price, quantity, tick):
        """The price a market order of ``quantity`` fills at: worse by the slippage."""
        worse = self.slippage_ticks * tick + self.slippage * price
        return price + worse if quantity > 0 else price - worse


def _number(where, name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
        raise ValueError("%s: %s must be a number >= 0, got %r" % (where, name, value))
    return float(value)


def costs_from_host(key, answer):
    """Costs from the host's ``Costs`` record of ``key`` (missing fields are 0)."""
    if not isinstance(answer, dict):
        raise ValueError("trading rules of %s: Costs must be a record, got %r" % (key, answer))
    values = {}
    for host_name, name in HOST_NAMES.items():
        if answer.get(host_name) is not None:
            values[name] = _number("trading rules of %s" % key, host_name, answer[host_name])
    return Costs(**values)


def check_overrides(overrides):
    """The ``costs=`` argument checked: {selector: {field: number}} (None means no overrides)."""
    if overrides is None:
        return {}
    if not isinstance(overrides, dict):
        raise TypeError("costs must be a dict such as {'SHFE.RB': {'commission_per_lot': 2}}, got %r"
                        % (overrides,))
    checked = {}
    for selector, values in overrides.items():
        if not isinstance(selector, str) or not selector.strip():
            raise ValueError("costs: keys are '*', 'MARKET', 'MARKET.VARIETY' or 'MARKET.CODE', got %r"
                             % (selector,))
        if not isinstance(values, dict):
            raise TypeError("costs[%r] must be a dict of cost fields, got %r" % (selector, values))
        unknown = sorted(set(values) - set(COST_FIELDS))
        if unknown:
            raise ValueError("costs[%r]: unknown fields %s; known: %s"
                             % (selector, ", ".join(unknown), ", ".join(COST_FIELDS)))
        checked[selector.strip().upper()] = {k: _number("costs[%r]" % selector, k, v) for k, v in values.items()}
    return checked


def variety_of(code):
    """The variety of a futures code: its leading letters ('RB2601' -> 'RB')."""
    m = re.match(r"[A-Za-z]+", code)
    return m.group(0).upper() if m else ""


def apply_overrides(base, key, variety, overrides):
    """``base`` with the matching entries of ``overrides`` (checked) applied, general first."""
    market = key.split(".", 1)[0]
    selectors = ["*", market]
    if variety:
        selectors.append("%s.%s" % (market, variety))
    selectors.append(key)
    for selector in selectors:
        if selector in overrides:
            base = replace(base, **overrides[selector])
    return base


def as_dict(costs):
    return {f.name: getattr(costs, f.name) for f in fields(costs)}


__all__ = ["Costs", "COST_FIELDS", "costs_from_host", "check_overrides", "apply_overrides", "variety_of",
           "as_dict"]
