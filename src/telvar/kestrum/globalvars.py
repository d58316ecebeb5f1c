"""Constants of the K-matrix layout, frequency codes and run phases (``gv``).

K matrix: head rows, then one block of ``KMatrix_Bar_Len`` field rows per
target; one column per bar. Adjusted price matrices have no head rows and
``Adj_KMatrix_Bar_Len`` rows per target (open, high, low, close).
"""
import numpy as np

from telvar.common.frequencies import FREQUENCY_CODES, FREQUENCY_NAMES
from telvar.kestrum.language import text

# --- head rows of a K matrix ---
KMatrixPos_TimeLine = 0   # bar (end) time, serial days
KMatrixPos_DayPos = 1     # position of the bar within its trading day, 1 = first bar
KMatrixPos_FreshIdx = 2   # 1 where the bar time is a strategy bar time
KMatrixPos_End = 3        # bar-end time (last head row)
KMatrixPos_Head_len = 4

# --- field offsets within a target's block ---
KMatrix_Open = 0
KMatrix_High = 1
KMatrix_Low = 2
KMatrix_Close = 3
KMatrix_Volume = 4
KMatrix_TurnOver = 5
KMatrix_OpenInterest = 6
KMatrix_Bar_Begin = KMatrix_Open
KMatrix_Bar_End = KMatrix_OpenInterest   # inclusive
KMatrix_Bar_Len = 7

# --- adjusted blocks: the four prices ---
Adj_KMatrix_Open = 0
Adj_KMatrix_High = 1
Adj_KMatrix_Low = 2
Adj_KMatrix_Close = 3
Adj_KMatrix_Bar_Begin = Adj_KMatrix_Open
Adj_KMatrix_Bar_End = Adj_KMatrix_Close  # inclusive
Adj_KMatrix_Bar_Len = 4

# --- frequency codes, fine to coarse (the table: telvar.common.frequencies) ---
KFreq_Tick = FREQUENCY_CODES["tick"]
KFreq_Min = FREQUENCY_CODES["min"]
KFreq_Day = FREQUENCY_CODES["day"]
KFreq_Week = FREQUENCY_CODES["week"]
KFreq_Month = FREQUENCY_CODES["month"]
KFreq_Year = FREQUENCY_CODES["year"]

# --- run phases ---
RUMMODE_PHASE_NONE = 0       # outside a run
RUMMODE_PHASE_SETUP = 1      # the runner prepares the run state
RUMMODE_PHASE_INIT = 2       # strategy.init
RUMMODE_PHASE_ONBAR = 3      # strategy.on_bar
RUMMODE_PHASE_USERINDI = 4   # a registered user indicator function runs
RUMMODE_PHASE_FINISHED = 5   # the run is over
RUN_PHASES = (
    RUMMODE_PHASE_NONE,
    RUMMODE_PHASE_SETUP,
    RUMMODE_PHASE_INIT,
    RUMMODE_PHASE_ONBAR,
    RUMMODE_PHASE_USERINDI,
    RUMMODE_PHASE_FINISHED,
)


def frequency_to_int(frequency):
    """Frequency name ("tick", "min", "day", "week", "month", "year") -> code.

    Names are matched case-insensitively; an integer code is returned as is
    when valid. An unknown name raises ValueError naming it.
    """
    if isinstance(frequency, str):
        code = FREQUENCY_CODES.get(frequency.strip().lower())
        if code is None:
            raise ValueError(text.ERROR_UNKNOWN_FREQUENCY.format(FREQUENCY=frequency))
        return code
    if isinstance(frequency, (int, np.integer)) and not isinstance(frequency, (bool, np.bool_)):
        int_to_frequency(frequency)  # validates the code
        return int(frequency)
    raise TypeError("frequency must be a frequency name such as 'min' or 'day', got %r" % (frequency,))


def int_to_frequency(frequency_i):
    """Frequency code -> name. An unknown code raises ValueError naming it."""
    code = _as_code(frequency_i)
    if code is None or not 0 <= code < len(FREQUENCY_NAMES):
        raise ValueError(text.ERROR_UNKNOWN_FREQUENCY_CODE.format(CODE=frequency_i))
    return FREQUENCY_NAMES[code]


def _as_code(value):
    """An integral number -> int; anything else -> None."""
    if isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return int(value)
    return None


def bar_item_pos(field, target_idx, bar_len=KMatrix_Bar_Len, head_len=KMatrixPos_Head_len):
    """Row of field ``field`` of target ``target_idx``: ``head_len + target_idx * bar_len + field``.

    ``target_idx`` may be an integer array (an array of rows is returned).
    """
    if not 0 <= field < bar_len:
        raise ValueError("field offset %r is outside a block of %d rows" % (field, bar_len))
    if isinstance(target_idx, np.ndarray):
        idx = target_idx.astype(np.int64)
        if np.any(idx != target_idx) or (idx.size and idx.min() < 0):
            raise ValueError("target_idx must hold non-negative integers")
        return head_len + idx * bar_len + field
    idx = _as_code(target_idx)
    if idx is None or idx < 0:
        raise ValueError("target_idx must be a non-negative integer, got %r" % (target_idx,))
    return head_len + idx * bar_len + field


__all__ = [name for name in dir() if name[:1].isupper() or name in (
    "frequency_to_int", "int_to_frequency", "bar_item_pos")]
