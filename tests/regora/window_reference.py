"""The windows a get_reg_k_data call should return, built from the pandas
reference bars of regora_market.py.

A real-bar window (fill_up=False) shows a target's bars that traded, judged
by the shared rule (reference.bars.traded_mask) over the registered bars in
time order; the bar forming at the position counts as traded when it is not
a filled bar after the last completed bar before it.
"""
import math

import numpy as np
import pandas as pd

from reference import bars as ref
from telvar.kestrum.sysmodel import gv

from regora_market import FIELDS, TARGETS, reference_bars, reference_forming


def completed_before(market, frequency, freq_num, t, p):
    """Target t's completed registered bars that end before the bar forming
    at position p (oldest first), and that forming bar."""
    completed, keys = reference_bars(market, frequency, freq_num)
    bars = completed[t]
    first_col_of_current = int(np.argmax(np.asarray(keys) == keys[p]))
    before = bars[bars["last_col"] < first_col_of_current]
    return before, reference_forming(market, keys, t, p)


def forming_traded(before, forming):
    """Whether the forming bar traded, following the completed bars `before`."""
    series = pd.concat([before[FIELDS], forming[FIELDS].to_frame().T], ignore_index=True)
    return bool(ref.traded_mask(series.astype(float))[-1])


def expected_window(market, frequency, freq_num, p, length, fill_up):
    """Per target, the rows (time + fields) a window at position p should hold."""
    blocks = []
    for t in range(len(TARGETS)):
        before, forming = completed_before(market, frequency, freq_num, t, p)
        rows = before[["time"] + FIELDS].to_numpy().tolist()
        forming_row = [market.times[p]] + [forming[f] for f in FIELDS]
        if fill_up:
            rows = rows[-(length - 1):] if length > 1 else []
            rows.append(forming_row)
        else:
            traded = ref.traded_mask(before[FIELDS])
            rows = [r for r, keep in zip(rows, traded) if keep]
            if forming_traded(before, forming):
                rows.append(forming_row)
            rows = rows[-length:]
        blocks.append(rows)
    return blocks


def check_window(out, blocks, length):
    assert out.dtype == object and out.shape == (length * len(blocks), 2 + gv.KMatrix_Bar_Len)
    for t, rows in enumerate(blocks):
        block = out[t * length:(t + 1) * length]
        assert list(block[:, 0]) == [t] * length
        empty = length - len(rows)
        assert all(math.isnan(v) for v in block[:empty, 1:].ravel())
        got = block[empty:, 1:].astype(float)
        np.testing.assert_allclose(got, np.array(rows, dtype=float).reshape(-1, 8), equal_nan=True)
