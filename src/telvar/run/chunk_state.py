"""What one chunk of a chunked back-test takes over from the chunk before it, and the registrations
every chunk makes again.

A chunk's minute data start some trading days before its first bar, not at the
run's start, and two things in them depend on what came before:

- filled bars: a target that has not traded since the data start shows NaN
  there, where the whole run shows its last close carried on (with its open
  interest). The chunk before holds those values at the bar before the data
  start; they fill the slots before the target's first bar in the chunk
  (``seed_minutes``), as the host's filling would have.
- prices adjusted across main-contract rolls: each contract after the first is
  scaled by the product of the roll ratios since the run's start. The chunk
  before computes the factors in force at the next chunk's data start with the
  rule of the adjusted base (``roll_factors``); the next chunk's adjusted minute
  base starts from them (``cnt.vr.g_TelvarAdjOrigin``).

Registrations made in ``init`` (chunk 1) are replayed in each later chunk in
the order the registration items were made; the registration indices they
give must equal chunk 1's, so the indices the strategy holds stay valid
(``Registrations.verify`` raises otherwise).
"""
import math

import numpy as np

from telvar.kestrum import globalvars as gv
from telvar.run.prices import bar_trading_days

DAY_BASED = ("day", "week", "month", "year")


class ChunkCarry:
    """The last close and open interest of each target before a chunk's data start, and the
    roll factors in force there ({target key: (divisor, dividend)}, None without adjusted data)."""

    def __init__(self, start_day, close, open_interest, factors=None):
        self.start_day, self.close, self.open_interest, self.factors = start_day, close, open_interest, factors


def minute_base(vr):
    pos = vr.g_TelvarKDataList.find_pos(gv.KFreq_Min, 1)
    if pos < 0:
        raise RuntimeError("a chunked run needs the one-minute bars of its targets")
    return vr.g_TelvarKDataList[pos]


def _target_rows(matrix, n_targets, field):
    head, width = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len
    return matrix[head + field:head + width * n_targets:width]


def carry_to(vr, start_day, previous=None):
    """The state a chunk whose minute data start on trading day ``start_day`` takes from the chunk
    set up now (``vr``); ``previous`` is the carry this chunk started with."""
    if previous is not None and start_day <= previous.start_day:
        return previous  # the data start where this chunk's did
    item = minute_base(vr)
    matrix = item.Matrix
    targets = len(vr.g_TelvarInputInfo.TargetList)
    days = bar_trading_days(matrix[gv.KMatrixPos_TimeLine], matrix[gv.KMatrixPos_DayPos])
    before = int(np.searchsorted(days, start_day)) - 1  # the last column before the data start
    if before < 0:
        return None  # the data start where the run's do: nothing came before
    close = _target_rows(matrix, targets, gv.KMatrix_Close)[:, before].copy()
    oi = _target_rows(matrix, targets, gv.KMatrix_OpenInterest)[:, before].copy()
    factors = None
    if len(vr.g_TelvarKDataList_Adj):
        origin = previous.factors if previous is not None else None
        factors = roll_factors(vr, matrix, targets, before + 1, origin or {})
    return ChunkCarry(start_day, close, oi, factors)


def roll_factors(vr, matrix, targets, column, origin):
    """{target key: (divisor, dividend)} of the main-contract roll chain in force at ``column`` of the
    minute base: the chain of the adjusted base (regora's calc_1_freq_matrix_adj), from ``origin``."""
    from telvar.api.regora import _regora
    from telvar.kestrum.utils.datetimefunc import mft_to_int_format

    date_tl = np.floor(matrix[gv.KMatrixPos_TimeLine])
    day_pos = matrix[gv.KMatrixPos_DayPos]
    begin, end = mft_to_int_format(date_tl[0]), mft_to_int_format(date_tl[-1])
    opens = _target_rows(matrix, targets, gv.KMatrix_Open)
    closes = _target_rows(matrix, targets, gv.KMatrix_Close)
    n = matrix.shape[1]
    out = {}
    info = vr.g_TelvarInputInfo
    for t, (target, key) in enumerate(zip(info.TargetList, info.TargetListDot)):
        points = np.asarray(_regora.find_exchange_day(date_tl, day_pos, target, begin, end), dtype=np.int64)
        divisor, dividend = origin.get(key, (1.0, 1.0))
        for i in range(2, points.size - 1, 2):
            prev_end, first = int(points[i - 1]), int(points[i])
            if first > column:
                break
            if prev_end >= 1 and first < n:
                last_close, first_open = float(closes[t, prev_end - 1]), float(opens[t, first])
                if math.isfinite(last_close) and math.isfinite(first_open) and first_open != 0.0:
                    divisor *= last_close
                    dividend *= first_open
        out[key] = (divisor, dividend)
    return out


def seed_minutes(vr, carry):
    """Fill the slots before each target's first bar in the minute base with the carried close (volume
    and turnover 0, the carried open interest), and redo the real-bar bookkeeping."""
    from telvar.kestrum import numkern

    item = minute_base(vr)
    matrix = item.Matrix
    targets = carry.close.size
    close = _target_rows(matrix, targets, gv.KMatrix_Close)
    head, width = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len
    changed = False
    for t in range(targets):
        if not math.isfinite(carry.close[t]):
            continue
        stored = np.flatnonzero(~np.isnan(close[t]))
        lead = stored[0] if stored.size else matrix.shape[1]
        if lead == 0:
            continue
        block = head + width * t
        for field in (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close):
            matrix[block + field, :lead] = carry.close[t]
        matrix[block + gv.KMatrix_Volume, :lead] = 0.0
        matrix[block + gv.KMatrix_TurnOver, :lead] = 0.0
        matrix[block + gv.KMatrix_OpenInterest, :lead] = carry.open_interest[t]
        changed = True
    if changed:
        item.UnfilledBarRef, item.UnfilledIdx = numkern.tvMatrixUnfillComplete(
            matrix, head, width, gv.KMatrix_Volume)


class Registrations:
    """The K-data registrations of chunk 1 (after ``init``), to be made again in every later chunk."""

    def __init__(self, vr):
        if np.size(vr.g_TelvarDataValueFreshUserI) or np.size(vr.g_TelvarDataValueFreshUserD) \
                or vr.g_TelvarFactorValueDict:
            raise NotImplementedError("a chunked run makes again the K-data registrations of init; user "
                                      "indicators, user data and factors are not made again: run unchunked "
                                      "(chunk=0)")
        adjusted = {(gv.frequency_to_int(r.KFrequency), int(r.KFreNum)) for r in vr.g_TelvarRegKDataInfo_Adj}
        self.calls = []
        for n, reg in enumerate(vr.g_TelvarRegKDataInfo):
            key = (gv.frequency_to_int(reg.KFrequency), int(reg.KFreNum))
            if n or key in adjusted:  # the first is the strategy's own bars, made by the set-up
                self.calls.append((key[0], key[1], key in adjusted))
        self.shape = _structure(vr)
        # the trading day of each bar of the day-based items: where their periods start
        self.periods = [bar_trading_days(item.Matrix[gv.KMatrixPos_TimeLine], item.Matrix[gv.KMatrixPos_DayPos])
                        for item in vr.g_TelvarKDataList if item.KFrequency in DAY_BASED and item.KFreqNum
                        and (item.KFrequency != "day" or int(item.KFreqNum) > 1)]

    def replay(self):
        from telvar.api.regora import _regora

        for frequency_i, freq_num, adjust in self.calls:
            _regora.reg_k_data(gv.int_to_frequency(frequency_i), freq_num, adjust)

    def verify(self, vr):
        """Raise when the replay made other registration indices than chunk 1's."""
        if _structure(vr) != self.shape:
            raise RuntimeError("the registrations of init could not be made again in the same order in a later "
                               "chunk, so the registration indices the strategy holds would not fit: register "
                               "a frequency's adjusted bars in the same call as its plain ones "
                               "(reg_k_data(..., True)), or run unchunked (chunk=0)")


def _structure(vr):
    """What registration indices depend on: the items' order and every registration's index."""
    def idx(reg):
        a = getattr(reg, "RegIdx", None)
        return None if a is None else np.asarray(a, dtype=np.float64).tobytes()

    return ([(i.KFrequency, int(i.KFreqNum)) for i in vr.g_TelvarKDataList],
            [(i.KFrequency, int(i.KFreqNum)) for i in vr.g_TelvarKDataList_Adj],
            [(r.KFrequency, int(r.KFreNum), idx(r)) for r in vr.g_TelvarRegKDataInfo],
            [(r.KFrequency, int(r.KFreNum), idx(r)) for r in vr.g_TelvarRegKDataInfo_Adj])


__all__ = ["ChunkCarry", "Registrations", "carry_to", "seed_minutes", "roll_factors", "minute_base"]
