import collections
from collections.abc import Callable, Sequence

import numpy
import numpy.typing


SYNTHETIC_MATRIX_DIR: str = 'TelvarSyntheticMatrix'

def get_instruments(target_idxs: numpy.typing.ArrayLike, bar_pos: float, length: int = 1) -> collections.OrderedDict:
    """
    Instrument records of targets at a strategy bar.

    target_idxs: target indices (positions in the run's target list).
    bar_pos: strategy bar position; NaN or a negative value gives an empty result.
    length: number of trading days back from the bar's date.
    Returns an OrderedDict keyed by target, from the framework's instrument table.
    """

def check_reg_k_data_precondition(frequency_i: int, freq_num: int) -> None:
    """
    Raise ValueError when bars of this frequency cannot be registered in this run.

    frequency_i: frequency code (tick 0, min 1, day 2, week 3, month 4, year 5).
    freq_num: units per bar.
    A strategy on daily or coarser bars may register only daily or coarser bars; an
    intraday strategy no frequency finer than its own; ticks only one unit per bar.
    """

def gen_empty_reg_k_data_idx(targets_len: int, adjust: bool = False) -> numpy.ndarray:
    """
    An empty registration index: targets_len rows, 4 columns (7 with adjust).

    Item columns (0, 2, 4, 6) are NaN, block columns (1, 5) 0, column 3 the target
    index 0, 1, 2, ...; float64.
    """

def construct_k_data_reg_idx(frequency_i: int, freq_num: int, adjust: bool) -> numpy.ndarray:
    """
    The registration index of the registered bars of (frequency_i, freq_num).

    One float row per target; columns: 0 K-data item position, 1 block, 2 first row of
    the target's forming bar in the fresh-bar store (NaN if none), 3 target index; with
    adjust True also 4 adjusted item position, 5 block, 6 first adjusted forming-bar row.
    Positions of items not registered yet are NaN.
    """

def get_reg_idx(reg_id: numpy.ndarray | int, target_indices: numpy.typing.ArrayLike) -> numpy.ndarray | None:
    """
    Rows of a registration index for some targets.

    reg_id: a registration index (its rows are selected) or a registration id
    freq_num * 100 + frequency_i * 10 + (0 plain, 1 adjusted).
    target_indices: the target indices wanted, in the order wanted.
    Returns the index rows, or None when the id names no registration.
    """

def fetch_1_freq_k_data(frequency: str, date_span: int, filled_up: bool) -> int:
    """
    Fetch one-unit minute or day bars of every run target into the K-data registry.

    frequency: 'min' or 'day'.
    date_span: trading days by which the request starts earlier (0 for none).
    filled_up: passed to the host; True fills untraded slots.
    Returns the position of the new item in cnt.vr.g_TelvarKDataList.
    """

def synthetic_1_freq_k_data(frequency_i: int) -> int:
    """
    Make sure one-unit bars of frequency code frequency_i are in the K-data registry.

    Minute and day bars are fetched, coarser ones combined from their base.
    Returns the item's position in cnt.vr.g_TelvarKDataList.
    """

def synthetic_n_freq_k_data(frequency_i: int, freq_num: int) -> int:
    """
    Make sure completed freq_num-unit bars of frequency code frequency_i are registered.

    Returns the item's position in cnt.vr.g_TelvarKDataList.
    """

def synthetic_fresh_matrix(frequency_i: int, freq_num: int) -> int:
    """
    Compute the bar of (frequency_i, freq_num) still forming at every strategy bar.

    The bars go into rows of the fresh-bar store cnt.vr.g_TelvarDataValueFresh.
    Returns the position of the registration item in cnt.vr.g_TelvarRegKDataInfo.
    """

def reg_k_data(frequency: str, freq_num: int, adjust: bool = False) -> numpy.ndarray:
    """
    Register bars a strategy will read on every bar; call once, in init.

    frequency: 'min', 'day', 'week', 'month' or 'year' (or 'tick' with freq_num 1).
    freq_num: units per bar, e.g. 15 for 15-minute bars.
    adjust: True also registers prices adjusted across main-contract rolls.
    Returns the registration index, one float row per target: 4 columns, 7 with
    adjust. Pass it to get_reg_k_data (raw prices) or, for adjusted prices, to
    get_reg_k_data_adj.
    """

def find_exchange_day(date_tl: numpy.typing.ArrayLike, day_pos: numpy.typing.ArrayLike, target_dict: object, begin_date: int, end_date: int) -> numpy.ndarray:
    """
    Column stretches of a target served by one underlying contract.

    date_tl: the base time line's days (floored); day_pos: its day-position row;
    target_dict: one target; begin_date, end_date: integer dates YYYYMMDD.
    Returns [b0, e0, b1, e1, ...]: stretch k covers columns b_k (inclusive) to e_k;
    empty when the target has no main-contract history.
    """

def calc_1_freq_matrix_adj(frequency_i: int) -> int:
    """
    Build the adjusted one-unit bars of a base frequency code (min or day).

    Every contract stretch after the first is scaled so that its first open continues
    from the previous stretch's last close. Returns the item's position in
    cnt.vr.g_TelvarKDataList_Adj.
    """

def synthetic_matrix_adj(frequency_i: int, freq_num: int) -> int:
    """
    Make sure adjusted completed bars of (frequency_i, freq_num) are registered.

    Returns the item's position in cnt.vr.g_TelvarKDataList_Adj.
    """

def synthetic_fresh_matrix_adj(frequency_i: int, freq_num: int) -> int:
    """
    Compute the adjusted bar of (frequency_i, freq_num) forming at every strategy bar.

    Returns the position of the item in cnt.vr.g_TelvarRegKDataInfo_Adj.
    """

def reg_user_indices(indices_func: Callable[[object], object]) -> list[int]:
    """
    Register an indicator computed by indices_func(context) at every strategy bar.

    indices_func gets the user context with context.bar_num set and returns a
    number or a 1-D array of the same length on every bar.
    Returns the row numbers of its values, for get_reg_user_indicator.
    """

def reg_user_data(time_line: numpy.typing.ArrayLike, data: numpy.typing.ArrayLike) -> numpy.ndarray:
    """
    Register a time-stamped series, aligned to the strategy's bars.

    time_line: 1-D serial day numbers; data: one value per time (1-D) or one row
    per time (2-D). Each strategy bar gets the latest value stamped strictly before it.
    Returns the row numbers of the series, for get_reg_user_data.
    """

def reg_factor(factors: str | Sequence[str], targets: Sequence, begin_date: int | str, end_date: int | str) -> numpy.ndarray:
    """
    Register daily factor values of targets.

    factors: list of factor names; targets: the targets; begin_date, end_date: YYYYMMDD.
    Returns an integer array, one row per factor and one column per target: the factor
    rows to pass to get_reg_factor.
    """

def get_reg_user_indicator(reg_idx: numpy.typing.ArrayLike, bar_pos: float, length: int) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    The last length values of registered user indicators at a strategy bar.

    reg_idx: rows from reg_user_indices; bar_pos: strategy bar (NaN for the last,
    negative from the end); length: window length.
    Returns (times, values): values has one row per row asked and one column per bar
    of the window, which is shorter near the start of the run (no padding).
    """

def get_reg_user_data(reg_idx: numpy.typing.ArrayLike, bar_pos: float, length: int) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    The last length values of registered user data at a strategy bar.

    reg_idx: rows from reg_user_data; bar_pos and length as for
    get_reg_user_indicator. Returns (times, values), unpadded.
    """

def get_reg_k_data(reg_idx: numpy.ndarray, bar_pos: float, length: int, fill_up: bool) -> numpy.ndarray:
    """
    The last length bars of every registered target at a strategy bar, raw prices.

    reg_idx: the index from reg_k_data; bar_pos: strategy bar position
    (context.bar_pos; NaN for the last, negative from the end); length: bars per
    target; fill_up: True for every bar of the time line, False for the bars in
    which the target traded (numkern.tvCalcTradedMask: filled bars left out).
    Returns an object array of length * targets rows (target-major blocks, oldest
    first, the newest being the bar still forming) and 9 columns: target index, bar
    time, open, high, low, close, volume, turnover, open interest; NaN where there is
    no bar. Use .astype(float) for arithmetic.
    An adjusted registration read here gives raw prices: use get_reg_k_data_adj.
    """

def get_reg_k_data_adj(reg_idx: numpy.ndarray, bar_pos: float, length: int, fill_up: bool) -> numpy.ndarray:
    """
    The window of get_reg_k_data with prices adjusted across main-contract rolls.

    reg_idx: the 7-column index from reg_k_data(..., adjust=True); bar_pos, length,
    fill_up as for get_reg_k_data. Columns 2-5 (open, high, low, close) are
    adjusted, volume, turnover and open interest raw. The plain window
    get_reg_k_data given the same index returns raw prices.
    """

def get_reg_factor(reg_idx: numpy.typing.ArrayLike, pos: float, length: int) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    The last length daily values of registered factors at a strategy bar.

    reg_idx: factor rows from reg_factor; pos: strategy bar (NaN for the last,
    negative from the end); length: days.
    Returns (dates, values): values has one row per factor row asked and length
    columns, right-aligned and NaN-padded.
    """
