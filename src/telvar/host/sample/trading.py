"""The sample store's trading rules: margins and lots, costs, and each day's price limits.

Limits come from the day bars the store holds, so a price the bars show is a
price the exchange allowed:

- stocks: the previous close (made ex-rights on an ex-date:
  ``(close - dividend) / split``) times one plus or minus the board's limit
  ratio, rounded to the 0.01 tick as the fundamental tables round it;
- futures contracts: the previous close times one plus or minus the variety's
  limit, rounded to the contract's price tick (halves up);
- on a first day without a previous close in the store, the price the
  generator started from stands in for it.  Indices have no limits.
"""
from __future__ import annotations

import numpy as np
import pandas as pd

from . import catalog as S
from .fundamentals import limit_ratio, round_price

LIMIT_COLUMNS = ["market", "code", "trade_date", "limit_up", "limit_down"]
COST_COLUMNS = ["market", "variety", "kind", "commission_rate", "commission_per_lot", "min_commission",
                "stamp_tax_rate", "slippage_ticks"]


def round_to_tick(x, tick: float) -> np.ndarray:
    """Nearest multiple of ``tick`` (halves up), as the decimal number it is."""
    x = np.asarray(x, dtype=np.float64)
    steps = np.floor(x / tick + 0.5 + 1e-9)
    return np.round(steps * tick, 10)


def with_trading_columns(inst_df: pd.DataFrame, varieties) -> pd.DataFrame:
    """Instruments with their margin ratio (futures: the variety's) and lot size (stocks 100, else 1)."""
    margins = {(v.market, v.variety): v.margin for v in varieties}
    out = inst_df.copy()
    futures = out["kind"].isin(("future", "continuous"))
    out["margin_ratio"] = [margins.get((m, v), 0.10) if f else 1.0
                           for m, v, f in zip(out["market"], out["variety"], futures)]
    out["lot_size"] = np.where(out["kind"] == "stock", 100, 1).astype(np.int32)
    return out


def costs_frame() -> pd.DataFrame:
    return pd.DataFrame(S.COSTS, columns=COST_COLUMNS)


def _limits(market, code, days, ref, up_ratio, down_ratio, rounder) -> pd.DataFrame:
    return pd.DataFrame({"market": market, "code": code, "trade_date": days.astype(np.int32),
                         "limit_up": rounder(ref * (1.0 + up_ratio)), "limit_down": rounder(ref * (1.0 - down_ratio))})


def stock_limits(day_bars: pd.DataFrame, stocks, adj_df: pd.DataFrame) -> list[pd.DataFrame]:
    frames = []
    bars = dict(iter(day_bars.sort_values("trade_date").groupby(["market", "code"], sort=False)))
    for s in stocks:
        d = bars.get((s.market, s.code))
        if s.kind != "stock" or d is None:
            continue
        days = d["trade_date"].to_numpy(np.int64)
        ref = np.r_[s.price, d["close"].to_numpy(np.float64)[:-1]]
        ex = adj_df[(adj_df.market == s.market) & (adj_df.code == s.code)]
        for ex_date, split, dividend in zip(ex["ex_date"], ex["split"], ex["dividend"]):
            on = days == int(ex_date)
            ref[on] = (ref[on] - dividend) / (split if split > 0 else 1.0)
        ratio = limit_ratio(s.market, s.code, s.name)
        frames.append(_limits(s.market, s.code, days, ref, ratio, ratio, round_price))
    return frames


def future_limits(day_bars: pd.DataFrame, contracts: dict) -> list[pd.DataFrame]:
    """Limits of every contract on the days it trades.

    ``contracts``: {(market, code): (price before its first bar, its variety's spec)}.
    """
    frames = []
    bars = dict(iter(day_bars.sort_values("trade_date").groupby(["market", "code"], sort=False)))
    for (market, code), (first_ref, v) in sorted(contracts.items()):
        d = bars[(market, code)]
        ref = np.r_[first_ref, d["close"].to_numpy(np.float64)[:-1]]
        frames.append(_limits(market, code, d["trade_date"].to_numpy(np.int64), ref, v.limit, v.limit,
                              lambda x, t=v.tick: round_to_tick(x, t)))
    return frames


def limits_frame(day_bars: pd.DataFrame, stocks, adj_df: pd.DataFrame, contracts: dict) -> pd.DataFrame:
    frames = stock_limits(day_bars, stocks, adj_df) + future_limits(day_bars, contracts)
    if not frames:
        return pd.DataFrame({c: pd.Series(dtype=t) for c, t in zip(LIMIT_COLUMNS, ["object", "object", np.int32,
                                                                               np.float64, np.float64])})
    return pd.concat(frames, ignore_index=True)[LIMIT_COLUMNS]
