"""Market rules of targets for a back-test's broker: ``tvSendCmdGetTradingRules``.

Per target: kind, multiplier, price tick, margin ratio, lot size, whether
shares bought today can be sold only from the next trading day (A-shares),
the costs that apply, the day's price limits and, for a continuous target, its
main contract of each trading day (whose limits it has).

Costs come from the most specific row of the store's ``costs`` table for the
target's market: variety and kind, then variety, then kind, then the market's
own row (variety and kind empty); a continuous target trades futures, so rows
for futures apply to it after its own kind's.  Without a row the defaults of
``rule_defaults`` apply.  Stores written before these rules existed hold no
``costs`` or ``limits`` tables and no margin or lot columns: defaults by kind
and no limits.
"""
from __future__ import annotations

import numpy as np

from ..store import reads as md
from ..store.dimensions import Instrument, label
from ..store.rule_defaults import (COST_FIELDS, cost_kinds, default_costs, default_lot_size, default_margin_ratio,
                                   t_plus_one)
from ..store.schema import table_columns
from .registry import Context, command, date_range, parse_targets

_COST_KEYS = {"commission_rate": "CommissionRate", "commission_per_lot": "CommissionPerLot",
              "min_commission": "MinCommission", "stamp_tax_rate": "StampTaxRate", "slippage_ticks": "SlippageTicks"}


class StoreRules:
    """The store's margins, lots and costs (small tables: read once per host)."""

    def __init__(self, con):
        tables = {r[0] for r in con.execute("SELECT table_name FROM information_schema.tables").fetchall()}
        self.has_limits = "limits" in tables
        columns = table_columns(con, "instruments")
        margin = "margin_ratio" if "margin_ratio" in columns else "NULL"
        lot = "lot_size" if "lot_size" in columns else "NULL"
        self.sizes = {(m, c): (r, n) for m, c, r, n in
                      con.execute(f"SELECT market, code, {margin}, {lot} FROM instruments").fetchall()}
        self.costs: dict[tuple[str, str, str], dict] = {}
        if "costs" in tables:
            rows = con.execute(f"SELECT market, variety, kind, {', '.join(COST_FIELDS)} FROM costs").fetchall()
            for m, v, k, *values in rows:
                self.costs[(m, v or "", k or "")] = dict(zip(COST_FIELDS, values))

    def margin_and_lot(self, inst: Instrument) -> tuple[float, int]:
        margin, lot = self.sizes.get((inst.market, inst.code), (None, None))
        margin = default_margin_ratio(inst.kind) if margin is None or not np.isfinite(margin) else float(margin)
        return margin, default_lot_size(inst.kind) if lot is None else int(lot)

    def costs_of(self, inst: Instrument) -> dict:
        kinds = cost_kinds(inst.kind)
        order = ([(inst.variety, k) for k in kinds] + [(inst.variety, "")] if inst.variety else [])
        order += [("", k) for k in kinds] + [("", "")]
        for variety, kind in order:
            row = self.costs.get((inst.market, variety, kind))
            if row is not None:
                return row
        return default_costs(inst.kind)


def store_rules(ctx: Context) -> StoreRules:
    return ctx.shared("trading_rules", lambda: StoreRules(ctx.con))


def _pairs_table(insts) -> tuple[list[str], list[str]]:
    return [i.market for i in insts], [i.code for i in insts]


def _grouped(r: dict, value_keys) -> dict:
    """Rows ordered by market, code and day, as {(market, code): (days, *values)}."""
    out = {}
    markets, codes = r["market"], r["code"]
    if len(markets) == 0:
        return out
    changes = (markets[1:] != markets[:-1]) | (codes[1:] != codes[:-1])
    bounds = np.flatnonzero(np.r_[True, changes, True])
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        out[(str(markets[lo]), str(codes[lo]))] = tuple(np.asarray(r[k])[lo:hi] for k in ("trade_date", *value_keys))
    return out


def _main_contracts(ctx: Context, insts, begin: int, end: int) -> dict:
    if not insts:
        return {}
    r = ctx.con.execute("""SELECT mc.market, mc.code, mc.trade_date, mc.contract
        FROM (SELECT unnest(?::VARCHAR[]) AS market, unnest(?::VARCHAR[]) AS code) t
        JOIN main_contracts mc ON mc.market = t.market AND mc.code = t.code
        WHERE mc.trade_date BETWEEN ? AND ? ORDER BY mc.market, mc.code, mc.trade_date""",
                        [*_pairs_table(insts), begin, end]).fetchnumpy()
    return _grouped(r, ("contract",))


def _limits(ctx: Context, own, stitched, begin: int, end: int) -> dict:
    """Limits of the targets' own codes, and of the main contract of each day for stitched continuous ones."""
    out = {}
    if own:
        r = ctx.con.execute("""SELECT l.market, l.code, l.trade_date, l.limit_up, l.limit_down
            FROM (SELECT unnest(?::VARCHAR[]) AS market, unnest(?::VARCHAR[]) AS code) t
            JOIN limits l ON l.market = t.market AND l.code = t.code
            WHERE l.trade_date BETWEEN ? AND ? ORDER BY l.market, l.code, l.trade_date""",
                            [*_pairs_table(own), begin, end]).fetchnumpy()
        out.update(_grouped(r, ("limit_up", "limit_down")))
    if stitched:
        r = ctx.con.execute("""SELECT mc.market, mc.code, mc.trade_date, l.limit_up, l.limit_down
            FROM (SELECT unnest(?::VARCHAR[]) AS market, unnest(?::VARCHAR[]) AS code) t
            JOIN main_contracts mc ON mc.market = t.market AND mc.code = t.code
            JOIN limits l ON l.market = mc.market AND l.code = mc.contract AND l.trade_date = mc.trade_date
            WHERE mc.trade_date BETWEEN ? AND ? ORDER BY mc.market, mc.code, mc.trade_date""",
                            [*_pairs_table(stitched), begin, end]).fetchnumpy()
        out.update(_grouped(r, ("limit_up", "limit_down")))
    return out


def _ints(a) -> list[int]:
    return [int(x) for x in a]


def _floats(a) -> list[float]:
    return [float(x) for x in a]


@command("tvSendCmdGetTradingRules")
def get_trading_rules(ctx: Context, targets, begin, end):
    """``{"MARKET.CODE": {"Kind", "Multiplier", "PriceTick", "MarginRatio", "LotSize", "TPlusOne", "Costs",
    "Limits": {"Date", "Up", "Down"}, "Contracts": {"Date", "Contract"}}}`` over the trading days begin..end."""
    begin, end = date_range(begin, end)
    insts = list({(i.market, i.code): i for i in md.resolve(ctx, parse_targets(targets))}.values())
    rules = store_rules(ctx)
    stitched = [i for i in insts if md.stitched(ctx, i)]
    own = [i for i in insts if not md.stitched(ctx, i)]
    limits = _limits(ctx, own, stitched, begin, end) if rules.has_limits else {}
    mains = _main_contracts(ctx, stitched, begin, end)
    answer = {}
    for inst in insts:
        key = (inst.market, inst.code)
        margin, lot = rules.margin_and_lot(inst)
        costs = rules.costs_of(inst)
        days, up, down = limits.get(key, ((), (), ()))
        main_days, contracts = mains.get(key, ((), ()))
        answer[label(*key)] = {
            "Kind": inst.kind, "Multiplier": float(inst.multiplier), "PriceTick": float(inst.price_tick),
            "MarginRatio": margin, "LotSize": lot, "TPlusOne": t_plus_one(inst.market, inst.kind),
            "Costs": {_COST_KEYS[k]: float(costs[k] or 0.0) for k in COST_FIELDS},
            "Limits": {"Date": _ints(days), "Up": _floats(up), "Down": _floats(down)},
            "Contracts": {"Date": _ints(main_days), "Contract": [str(c) for c in contracts]},
        }
    return answer
