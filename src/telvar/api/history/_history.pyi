import numpy

import telvar.kestrum.utils.utilcls


HISTORY_DATA_CACHE: str = 'TelvarHistoryDataCache'

def ask_get_k_data(**kwargs) -> None:
    """
    Announce a bar download in the host's log and ask the host to prepare it.

    Keywords (all required): targets, begin_date, end_date, frequency, freq_num, fq.
    """

def ask_get_tick_data(**kwargs) -> None:
    """
    Announce tick downloads in the host's log and ask the host to prepare them.

    Keywords (all required): targets, begin_date, end_date, fq.
    """

def load_mat_from_split_file(file_paths: list[str]) -> tuple:
    """
    Read the part files of one multi-target bar answer.

    file_paths: the parts' paths, in order.
    Returns (prices, tick_prices): the parts' KArray and TickPriceData joined.
    """

def load_k_data_from_local(mat_path: str) -> tuple:
    """
    Read a multi-target bar file the host wrote.

    mat_path: the path the host answered (may be empty).
    Returns (error, result): error None or the exception (not raised); result the
    dict TimeLine, DayPos, TradeFreshPos, KArray, TickPriceData.
    """

def load_k_data_from_pro(params: dict) -> tuple:
    """
    Ask the host for bars of many targets and wait for its file.

    params: dict with targets, frequency, freq_num, begin_date, end_date, filled_up,
    fq_type, need_show_ui_tip.
    Returns (error, path): error None or the host's TvReturnError (not raised).
    """

def load_tick_data_from_pro(market: str, code: str, date: int, fq_type: str, combine_5th: bool = True, check_permission: bool = True) -> telvar.kestrum.utils.utilcls.DotDict:
    """
    Ticks of one instrument on one trading day, with five quote levels.

    market, code: the instrument; date: trading day YYYYMMDD; fq_type: 'NA', 'FWard'
    or 'BWard'; combine_5th: keep the five quote levels as 1-D arrays;
    check_permission: passed to the host. Returns a DotDict of 1-D arrays (Time, Price, Volume, VolumeTick,
    TurnOver, OpenInterest, BidPrice1..5, BidVolume1..5, AskPrice1..5, AskVolume1..5),
    empty when the day has no ticks.
    """

def get_k_data_multi(params: dict) -> dict:
    """
    Bars of many targets on one common time line.

    params: dict as for load_k_data_from_pro.
    Returns dict: TimeLine (bar times), DayPos (position within the trading day, 1
    first), KArray (7 field rows per target: open, high, low, close, volume,
    turnover, open interest; one column per bar), TradeFreshPos, TickPriceData.
    Raises the host's or the file's error.
    """

def get_k_data_independent_target(targets: list, frequency: str, freq_num: int, begin_date, end_date, filled_up: bool, fq: str) -> list[numpy.ndarray]:
    """
    Each target's bars on its own time line.

    targets: list of 'MARKET.CODE' keys or {'Market', 'Code'} records; frequency:
    'min', 'day', 'week', 'month' or 'year'; freq_num: units per bar; begin_date,
    end_date: YYYYMMDD; filled_up: False drops bars without trades; fq: 'NA', 'FWard'
    or 'BWard'.
    Returns one 8 x bars float array per target (rows: bar time, open, high, low,
    close, volume, turnover, open interest; oldest bar first), np.array([]) for a
    target without bars.
    """

def get_k_data_n(targets: list, frequency: str, fre_num: int, n_count: int, end_date, filled_up: bool, fq: str) -> list:
    """
    The last n_count bars of each target up to end_date.

    targets, frequency, filled_up, fq as for get_k_data_independent_target;
    fre_num: units per bar; n_count: bars per target; end_date: YYYYMMDD.
    Returns one dict per target of 1-D arrays Time, Open, High, Low, Close, Volume,
    TurnOver, OpenInterest, BeginBar (oldest first), np.array([]) for a target
    without bars.
    """

def get_main_contract(targets: list, begin_date, end_date) -> dict:
    """
    The main contract of continuous futures targets on each trading day.

    targets: list of targets; begin_date, end_date: YYYYMMDD.
    Returns {'MARKET.CODE': (dates, contract codes)}, empty when none applies.
    """

def get_trading_days(begin_day: int, end_day: int) -> numpy.ndarray:
    """
    The trading days from begin_day to end_day (YYYYMMDD), as a read-only int64 array.

    Raises ValueError when no trading day lies on or after begin_day, or on or
    before end_day.
    """

def get_trading_days_condition(market: str, begin_day: int, end_day: int) -> numpy.ndarray:
    """
    One market's trading days from begin_day to end_day, as serial day numbers (float).
    """

def get_trading_time(targets: list, frequency: str, begin_day, end_day, freq_num: int = 1) -> tuple[numpy.ndarray, numpy.ndarray]:
    """
    The bar times of a frequency over the targets' sessions.

    targets: list of targets; frequency: 'min', 'day', 'week', 'month' or 'year';
    begin_day, end_day: YYYYMMDD; freq_num: units per bar.
    Returns (times, day_pos): bar end times (serial days) and each bar's position
    within its trading day.
    """

def get_history_instruments(targets: list, begin_date, end_date) -> dict:
    """
    The instrument (contract) behind each target on each trading day.

    targets: list of targets; begin_date, end_date: YYYYMMDD.
    Returns {'MARKET.CODE': (dates, codes)}.
    """

def get_future_info_ex(target_list) -> list[dict]:
    """
    Information records of futures targets (name, variety, multiplier, price tick,
    list and delist dates, main contract...), a list of dicts.
    """

def get_stock_info_ex(target_list) -> list[dict]:
    """Information records of stock targets, a list of dicts."""

def get_target_info(targets: list) -> list[dict]:
    """
    Information records of targets, a list of dicts (kept for get_target_info_v2).
    """

def get_code_list(blocks: list, int_date) -> list:
    """
    The members of code lists on a date.

    blocks: list of code-list (block) names; int_date: YYYYMMDD.
    Returns one flat list of {'Market', 'Code'} records, block after block.
    """

def get_code_list_set(blocks: str, begin_date, end_date) -> list:
    """
    The membership records of code lists over a date range.

    blocks: code-list (block) names; begin_date, end_date: YYYYMMDD (end_date 0:
    up to now, not cached).
    Returns one flat list of records, block after block.
    """

def get_bar_tick_data(target_idx: int, bar_pos: int, fq_type: str = 'NA') -> telvar.kestrum.utils.utilcls.DotDict:
    """
    The ticks inside one strategy bar of a target.

    target_idx: index into the run's targets; bar_pos: strategy bar position;
    fq_type: 'NA', 'FWard' or 'BWard'. Returns a DotDict of tick arrays as
    load_tick_data_from_pro does, cut to the bar.
    """

def get_target_info_v2(target_idx) -> dict | list[dict]:
    """
    The information record kept by get_target_info for a run target index, or a
    list of records for a sequence of indices.
    """

def get_bar(target_idx: numpy.ndarray, offset: int = 0) -> dict | None:
    """
    The strategy's own bar at the current position (plus offset) for some targets.

    target_idx: integer array of run target indices; offset: bars from the current one.
    Returns a dict of arrays, one value per target: code, number_bar, time_bar, open,
    high, low, close, volume, amount, open_interest; None past the last bar.
    """

def get_future_contracts(date, market: str, varieties: list[str]) -> dict:
    """
    The listed contracts of futures varieties on a date.

    date: YYYYMMDD; market: e.g. 'SHFE'; varieties: variety codes, e.g. ['RB'].
    Returns {variety: [contract codes]}.
    """

def get_strategy_id():
    """The host's id of the running strategy."""

def get_performance(strategy_id):
    """The host's back-test performance record of a strategy id."""
