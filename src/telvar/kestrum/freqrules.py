"""Which frequency serves which, and which base bars close a period."""
import numpy as np

from telvar.kestrum import globalvars as gv
from telvar.kestrum.utils.datetimefunc import EPOCH_SERIAL_DAY, int_date_to_ordinal

# bars of the key are combined from one-unit bars of the value; -1: cannot be synthesised
_SYNTHESIS_BASE = {
    gv.KFreq_Tick: -1,
    gv.KFreq_Min: gv.KFreq_Min,
    gv.KFreq_Day: gv.KFreq_Day,
    gv.KFreq_Week: gv.KFreq_Day,
    gv.KFreq_Month: gv.KFreq_Day,
    gv.KFreq_Year: gv.KFreq_Month,
}

# adjusted bars of the key are made from adjusted one-unit bars of the value
_ADJUST_BASE = {
    gv.KFreq_Tick: gv.KFreq_Tick,
    gv.KFreq_Min: gv.KFreq_Min,
    gv.KFreq_Day: gv.KFreq_Day,
    gv.KFreq_Week: gv.KFreq_Day,
    gv.KFreq_Month: gv.KFreq_Day,
    gv.KFreq_Year: gv.KFreq_Day,
}


def _code(frequency_i):
    if isinstance(frequency_i, str):
        return gv.frequency_to_int(frequency_i)
    gv.int_to_frequency(frequency_i)  # raises ValueError for an unknown code
    return int(frequency_i)


def synthetic_k_data_rule_map(frequency_i):
    """Code of the frequency whose one-unit bars make bars of ``frequency_i`` (-1 for ticks)."""
    return _SYNTHESIS_BASE[_code(frequency_i)]


def adjust_topmost_rule_map(frequency_i):
    """Code of the frequency whose adjusted one-unit bars serve ``frequency_i``."""
    return _ADJUST_BASE[_code(frequency_i)]


def _period_keys(days, frequency_i):
    """An integer per day that is equal exactly for days of the same week/month/year."""
    since_epoch = days - EPOCH_SERIAL_DAY
    if frequency_i == gv.KFreq_Week:
        return (since_epoch + 3) // 7          # weeks run Monday..Sunday
    months = since_epoch.astype("datetime64[D]").astype("datetime64[M]").astype(np.int64)
    if frequency_i == gv.KFreq_Month:
        return months
    return months // 12


def calc_base_fre_complete(time_line, frequency_i, last_complete=True):
    """Boolean mask over ``time_line`` (ascending bar times): True at bars that close a period.

    For tick, minute and day every bar closes its own period. For week, month
    and year a bar closes its period when the next bar lies in a later period
    (periods are bounded by the trading dates present). The last bar closes
    its period when ``last_complete``; otherwise only when the trading
    calendar in the run state shows no later trading day in that period.

    For week, month and year the bars are day bars (or one time per trading
    day): the day part of a bar time is its trading day.
    """
    code = _code(frequency_i)
    times = np.asarray(time_line, dtype=np.float64).ravel()
    if not np.all(np.isfinite(times)):
        raise ValueError("time_line holds NaN or infinite bar times")
    if code <= gv.KFreq_Day or times.size == 0:
        return np.ones(times.size, dtype=bool)
    days = np.floor(times).astype(np.int64)
    keys = _period_keys(days, code)
    mask = np.empty(times.size, dtype=bool)
    mask[:-1] = keys[1:] != keys[:-1]
    mask[-1] = bool(last_complete) or _period_closed_by_calendar(days[-1], keys[-1], code)
    return mask


def _period_closed_by_calendar(last_day, last_key, code):
    from telvar.kestrum.sysmodel import vr

    calendar = np.asarray(vr.g_TelvarTradingDays).ravel()
    if calendar.size == 0:
        return False
    later = int_date_to_ordinal(calendar.astype(np.int64))
    later = later[later > last_day]
    if later.size == 0:
        return False  # the calendar ends here: the period may go on
    return bool(_period_keys(later[:1], code)[0] != last_key)


__all__ = ["synthetic_k_data_rule_map", "adjust_topmost_rule_map", "calc_base_fre_complete"]
