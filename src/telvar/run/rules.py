"""The market rules of the run's targets, asked from the host once at set-up.

``tvSendCmdGetTradingRules(targets, begin, end)`` answers per target its kind,
contract multiplier, price tick, margin ratio, lot size, T+1, default costs,
the day's price limits and, for a continuous code, the main contract of each
trading day. A host that does not know the command (an older host) still
runs back-tests: the rules are then made from its instrument records and
main-contract histories with the defaults below, without price limits.
"""
from dataclasses import dataclass, field
import math

from telvar.run.costs import Costs, apply_overrides, costs_from_host, variety_of
from telvar.kestrum.utils.logger import logger

RULES_COMMAND = "tvSendCmdGetTradingRules"
TRADABLE_KINDS = ("stock", "future", "continuous")
A_SHARE_MARKETS = ("SSE", "SZSE")

# defaults for a host without trading rules, by kind
DEFAULT_MARGIN = {"stock": 1.0, "index": 1.0, "future": 0.10, "continuous": 0.10}
DEFAULT_COSTS = {
    "stock": Costs(commission_rate=0.00025, min_commission=5.0, stamp_tax_rate=0.0005),
    "future": Costs(commission_rate=0.0001),
    "continuous": Costs(commission_rate=0.0001),
    "index": Costs(),
}


@dataclass
class TargetRules:
    """What the broker needs to know about one target of the run."""

    key: str
    kind: str
    variety: str = ""
    multiplier: float = 1.0
    price_tick: float = 0.01
    margin_ratio: float = 1.0
    lot_size: int = 1
    t_plus_one: bool = False
    costs: Costs = field(default_factory=Costs)
    limits: dict = field(default_factory=dict)     # YYYYMMDD -> (limit up, limit down)
    contracts: dict = field(default_factory=dict)  # YYYYMMDD -> contract code (continuous targets)

    @property
    def tradable(self):
        return self.kind in TRADABLE_KINDS

    @property
    def margined(self):
        """Futures are bought on margin: only profit and loss move cash, not the notional."""
        return self.kind in ("future", "continuous")

    @property
    def is_stock(self):
        return self.kind == "stock"

    def contract_on(self, day):
        """The contract traded on ``day``: the day's main contract of a continuous code (None when the
        host named none), else the code."""
        if self.kind == "continuous":
            return self.contracts.get(int(day))
        return self.key.split(".", 1)[1]

    def limit_on(self, day):
        return self.limits.get(int(day))


def _positive(key, name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value <= 0:
        raise ValueError("trading rules of %s: %s must be a positive number, got %r" % (key, name, value))
    return float(value)


def _day_map(key, name, record, value_names):
    """{"Date": [...], A: [...], ...} -> {date: tuple of values} (lists of one length)."""
    if not record:
        return {}
    if not isinstance(record, dict) or "Date" not in record:
        raise ValueError("trading rules of %s: %s must be a record with Date, got %r" % (key, name, record))
    columns = [list(record.get(v, [])) for v in value_names]
    dates = list(record["Date"])
    if any(len(c) != len(dates) for c in columns):
        raise ValueError("trading rules of %s: %s lists differ in length" % (key, name))
    return {int(d): (vals if len(vals) > 1 else vals[0]) for d, *vals in zip(dates, *columns)}


def rules_from_answer(key, answer, overrides):
    """TargetRules of ``key`` from the host's record (``overrides``: checked ``costs=``)."""
    if not isinstance(answer, dict):
        raise ValueError("trading rules of %s: expected a record, got %r" % (key, answer))
    kind = str(answer.get("Kind", "")).lower()
    lot = answer.get("LotSize", 1)
    if isinstance(lot, bool) or not isinstance(lot, (int, float)) or lot < 1 or lot != int(lot):
        raise ValueError("trading rules of %s: LotSize must be a positive integer, got %r" % (key, lot))
    code = key.split(".", 1)[1]
    variety = variety_of(code) if kind in ("future", "continuous") else ""
    limits = {d: (float(u) if u is not None else math.nan, float(dn) if dn is not None else math.nan)
              for d, (u, dn) in _day_map(key, "Limits", answer.get("Limits"), ("Up", "Down")).items()}
    contracts = _day_map(key, "Contracts", answer.get("Contracts"), ("Contract",))
    costs = costs_from_host(key, answer.get("Costs") or {})
    return TargetRules(
        key=key, kind=kind, variety=variety,
        multiplier=_positive(key, "Multiplier", answer.get("Multiplier", 1.0)),
        price_tick=_positive(key, "PriceTick", answer.get("PriceTick", 0.01)),
        margin_ratio=_positive(key, "MarginRatio", answer.get("MarginRatio", 1.0)),
        lot_size=int(lot), t_plus_one=bool(answer.get("TPlusOne", False)),
        costs=apply_overrides(costs, key, variety, overrides),
        limits=limits, contracts={d: str(c) for d, c in contracts.items() if c},
    )


def _unknown_command(error):
    return "unknown command" in str(error)


def fallback_answers(tvcmd, keys, begin, end):
    """Rules records made from instrument records and main contracts (hosts without trading rules)."""
    infos = tvcmd.tvSendCmdGetFutureInfo_20190920(keys)
    mains = tvcmd.call("tvSendCmdGetMainContracts", keys, begin, end)
    answers = {}
    for key, info in zip(keys, infos):
        kind = str(info.get("Kind", "")).lower()
        a_share = kind == "stock" and key.split(".", 1)[0] in A_SHARE_MARKETS
        costs = DEFAULT_COSTS.get(kind, Costs())
        dates, codes = mains.get(key, ([], [])) if kind == "continuous" else ([], [])
        answers[key] = {
            "Kind": kind, "Multiplier": info.get("Multiplier", 1.0), "PriceTick": info.get("PriceTick", 0.01),
            "MarginRatio": DEFAULT_MARGIN.get(kind, 1.0), "LotSize": 100 if a_share else 1, "TPlusOne": a_share,
            "Costs": {host: getattr(costs, name) for host, name in
                      (("CommissionRate", "commission_rate"), ("CommissionPerLot", "commission_per_lot"),
                       ("MinCommission", "min_commission"), ("StampTaxRate", "stamp_tax_rate"),
                       ("SlippageTicks", "slippage_ticks"))},
            "Limits": {"Date": [], "Up": [], "Down": []},
            "Contracts": {"Date": list(dates), "Contract": list(codes)},
        }
    return answers


def load_rules(keys, begin, end, overrides, tvcmd=None):
    """TargetRules of each key (dotted), in order, from the host attached to ``tvcmd``."""
    if tvcmd is None:
        from telvar.kestrum.comm import tvcmd
    from telvar.kestrum.utils.exceptions import TvReturnError

    try:
        answers = tvcmd.call(RULES_COMMAND, list(keys), int(begin), int(end))
    except TvReturnError as exc:
        if not _unknown_command(exc):
            raise
        logger.warning("the host has no trading rules (%s); using its instrument records, default margins "
                       "and costs, and no price limits", exc)
        answers = fallback_answers(tvcmd, list(keys), int(begin), int(end))
    if not isinstance(answers, dict):
        raise ValueError("the host answered trading rules that are not a record: %r" % (answers,))
    rules = []
    for key in keys:
        if key not in answers:
            raise ValueError("the host's trading rules miss %s" % key)
        rules.append(rules_from_answer(key, answers[key], overrides))
    return rules


__all__ = ["TargetRules", "load_rules", "rules_from_answer", "fallback_answers", "RULES_COMMAND"]
