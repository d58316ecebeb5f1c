"""The reference for price-adjusted bars, written with pandas from raw bars.

A bar belongs to the contract that was main on its trading day; a stretch is
a run of bars of one contract. Stretch k is scaled by the product over
stretches 1..k of (last raw close of the stretch before / first raw open of
the stretch). Bars whose trading day has no main contract keep raw prices.
Adjusted bars combine the same traded bars as the raw ones: a raw frame's
``traded`` column (reference.bars.traded_mask of the raw bars) is kept.
"""
import numpy as np
import pandas as pd

from reference import bars as ref

PRICES = ["open", "high", "low", "close"]


def back_adjusted(prices, bar_days, main_days, main_codes):
    """Adjusted copy of ``prices`` (DataFrame with PRICES, one row per bar).

    ``bar_days``: trading day (YYYYMMDD) of every bar; ``main_days`` and
    ``main_codes``: the main-contract history.
    """
    code_of_day = pd.Series(list(main_codes), index=np.asarray(main_days, dtype=np.int64))
    codes = pd.Series(code_of_day.reindex(np.asarray(bar_days, dtype=np.int64)).to_numpy())
    stretch = (codes != codes.shift()).cumsum()
    stretch[codes.isna()] = -1
    df = prices[PRICES].reset_index(drop=True).copy()
    in_history = stretch >= 0
    groups = df[in_history].groupby(stretch[in_history])
    first_open = groups["open"].first()
    last_close = groups["close"].last()
    step = (last_close.shift(1) / first_open).fillna(1.0)
    ratio = step.cumprod()
    factor = stretch.map(ratio).fillna(1.0).to_numpy()
    out = df.copy()
    out[PRICES] = df[PRICES].to_numpy() * factor[:, None]
    if "traded" in prices:
        out["traded"] = prices["traded"].to_numpy()
    return out, stretch.to_numpy()


def aggregate_prices(df, keys):
    """The prices of the bars per key, in key order of appearance (the shared
    reference: open/high/low from the traded bars of the ``traded`` column)."""
    return ref.combine(df, np.asarray(keys))[PRICES]
