"""Trading rules where a store states none: defaults by instrument kind, and the markets' settlement rule.

These apply to instruments imported without a margin ratio or lot size (the
importer stores the default), to stores written before those columns existed
(their rows hold NULL), and to targets no ``costs`` row covers.
"""
from __future__ import annotations

INSTRUMENT_KINDS = ("stock", "index", "future", "continuous")
COST_FIELDS = ("commission_rate", "commission_per_lot", "min_commission", "stamp_tax_rate", "slippage_ticks")

# A-shares bought on a day can be sold from the next trading day on
T_PLUS_ONE_MARKETS = ("SSE", "SZSE", "BSE")

_FUTURES = ("future", "continuous")

# Costs when no row of the store's ``costs`` table covers a target:
# - stocks: the A-share rules of 2023 onwards, a commission of 0.03% of the
#   turnover (at least 5.0 a trade) and stamp tax of 0.05% on sells;
# - futures: 0.01% of the turnover, a common exchange-plus-broker rate;
# - indices are not traded: no costs.
DEFAULT_COSTS = {
    "stock": dict(commission_rate=0.0003, commission_per_lot=0.0, min_commission=5.0, stamp_tax_rate=0.0005,
                  slippage_ticks=0.0),
    "future": dict(commission_rate=0.0001, commission_per_lot=0.0, min_commission=0.0, stamp_tax_rate=0.0,
                   slippage_ticks=0.0),
    "index": dict.fromkeys(COST_FIELDS, 0.0),
}


def default_margin_ratio(kind: str) -> float:
    """Futures need 10% of the contract value as margin; anything else is bought with cash (1.0)."""
    return 0.10 if kind in _FUTURES else 1.0


def default_lot_size(kind: str) -> int:
    """Stocks trade in lots of 100 shares, futures and indices in single contracts."""
    return 100 if kind == "stock" else 1


def default_costs(kind: str) -> dict:
    return dict(DEFAULT_COSTS["future" if kind in _FUTURES else kind if kind in DEFAULT_COSTS else "index"])


def t_plus_one(market: str, kind: str) -> bool:
    return kind == "stock" and market in T_PLUS_ONE_MARKETS


def cost_kinds(kind: str) -> tuple[str, ...]:
    """The ``costs`` kinds that apply to an instrument kind, most specific first: a continuous
    target trades futures contracts, so the rows for futures apply to it too."""
    return ("continuous", "future") if kind == "continuous" else (kind,)
