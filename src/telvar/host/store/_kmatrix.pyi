"""
The host's loops over every bar of a multi-target answer: placing stored bars into the K matrix and filling it. The matrix is given as its transpose, a C-contiguous (slots, 7 * targets) float64 array.
"""

from collections.abc import Sequence

import numpy.typing


def place(k: numpy.typing.ArrayLike, slots: numpy.typing.ArrayLike, keys: numpy.typing.ArrayLike, target: int | numpy.typing.ArrayLike, values: Sequence[numpy.typing.ArrayLike]) -> int:
    """
    Row i of the bars (`keys[i]`, the 7 field columns `values[f][i]`) into the slot of its key on
    the sorted `slots` for target `target[i]` (or the one target `target`); rows whose key is no
    slot are dropped. Returns how many rows were placed.
    """

def fill(k: numpy.typing.ArrayLike) -> None:
    """
    Filled bars in place: a slot without a close after a target's first close repeats that close
    as open, high, low and close, with volume and turnover 0 and the open interest carried.
    """
