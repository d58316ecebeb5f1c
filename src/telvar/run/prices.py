"""The strategy's own bars as target x bar views, taken once at set-up.

Prices come from the refresh K-data item (the strategy's frequency): its
``Matrix`` holds one block of field rows per target and ``CurrentBar`` maps a
strategy bar position to its column. The views share the matrix's memory, so
a read is array indexing and a bar changed in place is seen as it is.
"""
import numpy as np

from telvar.kestrum import globalvars as gv


def bar_trading_day_numbers(bar_times, day_pos):
    """The trading day of each bar as a serial day number: the day of its trading day's last bar.

    Intraday day positions restart (drop) at each trading day's first bar, so
    night bars, which carry the evening's clock time, get the next trading
    day; bars of a day or coarser are each their own trading day's last.
    """
    times = np.asarray(bar_times, dtype=np.float64).ravel()
    day_pos = np.asarray(day_pos).ravel()
    if times.size == 0:
        return np.zeros(0)
    if day_pos.size == times.size:
        new_day = np.r_[True, day_pos[1:] <= day_pos[:-1]]
    else:
        new_day = np.ones(times.size, dtype=bool)
    starts = np.flatnonzero(new_day)
    last_of_day = np.r_[starts[1:] - 1, times.size - 1]
    return np.floor(times[last_of_day])[np.cumsum(new_day) - 1]


def bar_trading_days(bar_times, day_pos):
    """The trading day (YYYYMMDD) of each bar (see ``bar_trading_day_numbers``)."""
    from telvar.kestrum.utils.datetimefunc import mft_to_int_format

    days = bar_trading_day_numbers(bar_times, day_pos)
    if days.size == 0:
        return np.zeros(0, dtype=np.int64)
    return np.asarray(mft_to_int_format(days), dtype=np.int64)


class BarPrices:
    """open/high/low/close/volume[target, column] views and the column of each bar position.

    ``bar_times`` and ``bar_days`` cover every bar of the run; in a chunked run the K-data item holds
    only the chunk's bars, strategy position 0 of the item being run position ``offset``, and
    ``cols`` maps the chunk's run positions (-1 elsewhere). ``attach`` takes the next chunk's item.
    """

    def __init__(self, item, n_targets, bar_times, bar_days, offset=0, n_local=None):
        self.n_targets = n_targets
        self.bar_times = np.asarray(bar_times, dtype=np.float64)
        self.bar_days = np.asarray(bar_days, dtype=np.int64)
        self.attach(item, offset, n_local)

    def attach(self, item, offset=0, n_local=None):
        """Read prices from ``item``, whose strategy positions 0..n_local-1 are run positions from ``offset``."""
        self.item, self.offset = item, int(offset)
        self.n_local = self.bar_times.size - self.offset if n_local is None else int(n_local)
        self.take_views()

    def release(self):
        """Let go of the item's matrix (a chunk's data are freed before the next chunk is set up)."""
        self.item = self.matrix = self.open = self.high = self.low = self.close = self.volume = None

    def take_views(self):
        matrix = self.item.Matrix
        if not isinstance(matrix, np.ndarray) or matrix.ndim != 2 or matrix.dtype != np.float64:
            raise TypeError("the strategy's K matrix must be a 2-D float64 array")
        head, width, n = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len, self.n_targets
        if matrix.shape[0] < head + width * n:
            raise ValueError("the strategy's K matrix has %d rows, fewer than %d targets need"
                             % (matrix.shape[0], n))

        def rows(offset):
            return matrix[head + offset:head + width * n:width]

        self.matrix = matrix
        self.open, self.high, self.low = rows(gv.KMatrix_Open), rows(gv.KMatrix_High), rows(gv.KMatrix_Low)
        self.close, self.volume = rows(gv.KMatrix_Close), rows(gv.KMatrix_Volume)
        cols = np.asarray(self.item.CurrentBar)
        if cols.size < self.n_local or self.offset + self.n_local > self.bar_times.size:
            raise ValueError("the strategy's K data maps %d bars, the run has %d" % (cols.size, self.n_local))
        cols = cols[:self.n_local]
        if cols.dtype.kind == "f":
            if not np.isfinite(cols).all():
                raise ValueError("the strategy's K data has bars without a column")
            cols = cols.astype(np.int64)
        if cols.size and (cols.min() < 0 or cols.max() >= matrix.shape[1]):
            raise ValueError("the strategy's K data maps bars outside its matrix")
        if self.offset == 0 and self.n_local == self.bar_times.size:
            self.cols = cols.astype(np.intp)
            return
        self.cols = np.full(self.bar_times.size, -1, dtype=np.intp)
        self.cols[self.offset:self.offset + self.n_local] = cols

    def refresh(self):
        """Take the views again when the K-data item got a new matrix."""
        if self.item.Matrix is not self.matrix:
            self.take_views()

    def closes(self, targets, first, last):
        """close[targets, bars first..last] as a float array (targets x bars)."""
        return self.close[np.asarray(targets, dtype=np.intp)[:, None], self.cols[first:last + 1][None, :]]


__all__ = ["BarPrices", "bar_trading_day_numbers", "bar_trading_days"]
