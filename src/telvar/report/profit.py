"""Profit per target: what each instrument made or lost over the run, costs included.

A target's profit is the money its fills moved (sells in, buys out, each
quantity x price x contract multiplier, main-contract rolls included) plus
the value of what it still holds at the last close, less its commission and
stamp tax. Over all targets this adds up to the final equity less the
capital: futures pay no notional, but their profit and loss is the same sum.
"""
import numpy as np
import pandas as pd

PROFIT_COLUMNS = ["target", "fills", "bought", "sold", "traded_value", "commission", "tax", "held_value",
                  "profit"]


def multipliers_of(inputs):
    """{target: contract multiplier} from the run's inputs (None when the run did not keep them)."""
    rules = (inputs or {}).get("rules")
    if not rules:
        return None
    return {r["target"]: float(r["multiplier"]) for r in rules}


def profit_per_target(trades, positions, last_day, targets, multipliers):
    """One row per target of ``targets`` (those without fills too), in the columns of PROFIT_COLUMNS;
    held value is that of the positions at the close of ``last_day``, the run's last trading day."""
    rows = []
    last = positions[positions["date"] == last_day]
    held = last.groupby("target")["market_value"].sum() if len(last) else pd.Series(dtype=float)
    for target in targets:
        mine = trades[trades["target"] == target]
        multiplier = multipliers.get(target, 1.0)
        signed = np.where(mine["side"].to_numpy() == "buy", 1.0, -1.0) * mine["quantity"].to_numpy(dtype=float)
        value = mine["price"].to_numpy(dtype=float) * mine["quantity"].to_numpy(dtype=float) * multiplier
        commission = float(mine["commission"].sum())
        tax = float(mine["tax"].sum())
        held_value = float(held.get(target, 0.0))
        flows = -float(np.sum(signed * mine["price"].to_numpy(dtype=float) * multiplier))
        rows.append((target, len(mine), float(signed[signed > 0].sum()), float(-signed[signed < 0].sum()),
                     float(value.sum()), commission, tax, held_value, flows + held_value - commission - tax))
    return pd.DataFrame(rows, columns=PROFIT_COLUMNS)


__all__ = ["profit_per_target", "multipliers_of", "PROFIT_COLUMNS"]
