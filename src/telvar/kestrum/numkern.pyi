"""
Bar kernels: positions, combining, forming bars and bookkeeping over K matrices.
"""

import numpy
import numpy.typing


def tvCalcKDataBeginEndPos(base_time_line: numpy.typing.ArrayLike, time_line: numpy.typing.ArrayLike) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    (begin_pos, end_pos): for every bar k of time_line, the first and last column of
    base_time_line in (time_line[k-1], time_line[k]] (the first bar takes all
    earlier columns); a bar with no base column has begin_pos = end_pos + 1.
    """

def tvCalcRegKDataBeginEndPos(base_time_line: numpy.typing.ArrayLike, time_line: numpy.typing.ArrayLike, offset: int = 0) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    (begin_pos, end_pos), one entry per base column: the first and last base column
    of the bar of time_line it belongs to. Columns after the last bar form an open
    trailing bar ending at the last column. `offset` is added to every position.
    base_time_line, time_line: ascending bar end times (serial days).
    """

def tvCalcKDataCurrentBar(time_line: numpy.typing.ArrayLike, fresh_time_line: numpy.typing.ArrayLike) -> numpy.ndarray:
    """
    For every strategy bar time, the column of time_line whose bar contains it (the
    first at or after it; len(time_line) when there is none), int64.
    time_line: the item's bar times; fresh_time_line: the strategy's bar times.
    """

def tvCalculateFreshMask(day_pos: numpy.typing.ArrayLike, frequency_i: int, freq_num: int) -> numpy.ndarray:
    """
    Boolean mask, true at the bars that close an N-unit bar. Intraday frequencies
    count per trading day from day_pos (a day's last bar always closes a bar; the
    series' last bar only on a multiple of N); day and coarser count over the series.
    frequency_i: frequency code (min 1, day 2, ...); freq_num: N, units per bar.
    """

def tvCalcCombineMatrixHtoL(base_matrix: numpy.typing.ArrayLike, matrix: numpy.typing.ArrayLike, begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, bar_len: int, offset: int = 0, head_len: int = 4, traded: numpy.typing.ArrayLike | None = None) -> numpy.ndarray:
    """
    The head rows of `matrix` (which may be those rows alone) over target rows that
    hold, for every column k, the base bars begin_pos[k]..end_pos[k] of `base_matrix`
    combined, NaN skipped: open first, high max and low min over the traded bars,
    close last, volume and turnover summed, open interest last. A bar without a
    traded base bar is a filled bar at its last close; an empty or all-NaN range
    gives NaN. A bar is filled when its volume is exactly 0 and its four prices
    equal the previous close (see tvCalcTradedMask); `traded` (targets x base
    columns) overrides that, for adjusted prices. Positions are absolute base
    columns; `offset` is the column of base_matrix's first column.
    bar_len: rows per target; head_len: head rows of both matrices; traded: see above.
    """

def tvCalcCombineMatrix1toN(matrix: numpy.typing.ArrayLike, begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, bar_len: int, offset: int = 0, head_len: int = 4) -> numpy.ndarray:
    """
    A matrix shaped like `matrix`, head rows copied, whose target rows hold at every
    column i the bar formed from begin_pos[i] up to min(i, end_pos[i]) (the whole
    N-unit bar where i closes it), combined as tvCalcCombineMatrixHtoL does.
    Positions as tvCalcRegKDataBeginEndPos makes them.
    bar_len: rows per target; offset: the absolute column of matrix's first column;
    head_len: head rows.
    """

def tvCalcDataValueFresh(matrix: numpy.typing.ArrayLike, begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, bar_len: int, targets_len: int, offset: int = 0, *, out: numpy.ndarray | None = None, keep: numpy.typing.ArrayLike | None = None) -> numpy.ndarray:
    """
    Row 0: the base time row; then bar_len rows per target (the matrix's last
    targets_len blocks): the bar formed from begin_pos[i] up to base column i,
    combined as tvCalcCombineMatrixHtoL does (filled bars lend no price).
    begin_pos, end_pos: base-column positions as tvCalcRegKDataBeginEndPos makes them;
    offset: the absolute column of matrix's first column.
    keep: one flag per base column; only the flagged columns are in the result.
    out: a writable C-contiguous float64 matrix of the result's shape (or without
    the time row, which is then not written), sharing no memory with matrix; the
    result is written into it and it is returned.
    """

def tvCalcDataValueFresh_Adj(matrix: numpy.typing.ArrayLike, begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, bar_len: int, targets_len: int, offset: int = 0, traded: numpy.typing.ArrayLike | None = None, *, out: numpy.ndarray | None = None, keep: numpy.typing.ArrayLike | None = None) -> numpy.ndarray:
    """
    Like tvCalcDataValueFresh for an adjusted price matrix (targets_len blocks of
    bar_len rows, no head rows); no time row in the result. Adjusted prices carry
    no volume: pass `traded`, tvCalcTradedMask of the unadjusted base K matrix, or
    every bar with a close counts as traded. matrix, begin_pos, end_pos, offset,
    keep as for tvCalcDataValueFresh; out: the result's shape, as there.
    """

def tvCalcTradedMask(matrix: numpy.typing.ArrayLike, head_len: int = 4, bar_len: int = 7) -> numpy.ndarray:
    """
    Which bars traded, one row per target (bool, targets x columns). A bar is
    filled when its volume is exactly 0 and its open, high, low and close all equal
    the close of the nearest earlier bar that has one (the first bar with a close in
    view: when its four prices are equal); every other bar with a close traded. So
    data without volumes (NaN, or 0 with moving prices) keeps its prices.
    matrix: a K matrix; head_len: its head rows; bar_len: rows per target.
    """

def tvMatrixUnfillComplete(matrix: numpy.typing.ArrayLike, head_len: int, bar_len: int, volume_offset: int) -> tuple[list[numpy.ndarray], list[numpy.ndarray]]:
    """
    (UnfilledBarRef, UnfilledIdx), one array per target: UnfilledIdx[t] the columns
    where target t traded (see tvCalcTradedMask; prices are the block's first four
    fields, the volume at volume_offset); UnfilledBarRef[t][c] the index into
    UnfilledIdx[t] of its last real bar at or before column c, NaN before the first.
    matrix: a filled K matrix; head_len: its head rows; bar_len: rows per target;
    volume_offset: the volume row within a target's block.
    """

def ismember(a: numpy.typing.ArrayLike, b: numpy.typing.ArrayLike) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    (found, loc), shaped like a: whether each element of a occurs in b, and its
    lowest index in b (flattened), -1 where absent. NaN is never a member.
    """
