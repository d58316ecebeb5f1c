"""Bars of many instruments placed straight into the one K matrix an answer is written from.

The matrix holds 7 field rows per target and one column per slot of the
common time line, in column-major order, as a MAT file stores it: the file
writer then takes it as it lies, and no per-target matrix is made and
stacked. The loops over the bars are C++ (``_kmatrix``). A slot without a
close after a target's first close is filled: it repeats that close as open,
high, low and close, with volume and turnover 0 and the open interest carried.
"""
from __future__ import annotations

import numpy as np

from . import _kmatrix
from .bars import N_FIELDS


def k_matrix(targets: int, width: int) -> np.ndarray:
    """A (7 * targets, width) matrix of NaN, column-major."""
    return np.full((N_FIELDS * targets, width), np.nan, order="F")


def place_rows(k: np.ndarray, slots: np.ndarray, keys: np.ndarray, target, values) -> int:
    """Bar rows into the column-major K matrix ``k``: row i (key ``keys[i]``, the 7 field columns
    ``values``) at the slot of its key on the sorted time line ``slots``, in the block of target
    ``target[i]`` (or of the one target ``target``). Rows whose key is no slot lie off the time line
    and are dropped. Returns how many rows were placed."""
    if not isinstance(target, (int, np.integer)):
        target = np.asarray(target, dtype=np.int64)
    return _kmatrix.place(k.T, np.asarray(slots, dtype=np.int64), np.asarray(keys, dtype=np.int64),
                          int(target) if isinstance(target, (int, np.integer)) else target, values)


def fill_blocks(k: np.ndarray) -> None:
    """Fill every target of the column-major K matrix ``k`` in place: an empty slot after a target's
    first bar with a close repeats that target's last close as open, high, low and close, with volume
    and turnover 0 and the open interest carried; slots before it stay as they are."""
    _kmatrix.fill(k.T)
