"""Back-test runner: sets up the run state for a strategy and drives it bar by bar.

``setup(...)`` prepares a clean run state (run inputs, the strategy's bar time
line, the fresh-bar store's time row, the strategy's own K-data registered as
the refresh item, the user context) and returns the context; tests and
notebooks then call the module functions directly. ``run(strategy, ...)``
does the same, calls ``strategy.init(context)`` once and
``strategy.on_bar(context)`` at every bar position, and returns a summary.

``host=None`` starts an embedded host on the sample store (once per process;
later set-ups reuse it). A ``HostHandle`` or an address such as
``'unix:/tmp/host.sock'`` selects another host.

No look-ahead: while ``run`` calls ``on_bar``, a read of a bar position after
the current one (after a negative position is counted from the end, or NaN
taken as the latest) raises IndexError naming the position and the current
bar, in ``get_reg_k_data``, ``get_reg_k_data_adj``, ``get_reg_user_indicator``,
``get_reg_user_data``, ``get_reg_factor``, ``_history.get_bar`` (a positive
offset) and ``_history.get_bar_tick_data``. The current bar is kept in
``cnt.vr.g_TelvarReadLimit``, -1 (no limit) outside the bar loop: in ``init``,
after the run or after ``on_bar`` raised, and after ``setup`` alone.
"""
import time

import numpy as np

from telvar.kestrum import globalvars as gv
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.uclass import UserContext
from telvar.kestrum.ufuncs import begin_date_checking_rule, end_date_checking_rule, todictmc, todotmc

_embedded_host = None
_connected_address = None


class Context(UserContext):
    """What a strategy sees: its run inputs, the current bar and a place for its own state.

    ``bar_pos`` is the current strategy bar position (``bar_num`` too), ``now``
    its bar time; ``reg_idx`` is the registration index of the strategy's own
    bars. Strategies may set any further attribute.
    """

    def __init__(self, targets, begin_date, end_date, frequency, freq_num, fq, bar_times, reg_idx, host_address):
        super().__init__()
        self.targets = targets
        self.target_names = todotmc(targets)
        self.begin_date = begin_date
        self.end_date = end_date
        self.frequency = frequency
        self.freq_num = freq_num
        self.fq = fq
        self.bar_times = bar_times
        self.reg_idx = reg_idx
        self.host_address = host_address

    @property
    def bar_pos(self):
        return self._internal_bar_num

    @property
    def now(self):
        """Time of the current strategy bar (serial days)."""
        return float(self.bar_times[self._internal_bar_num])

    def __repr__(self):
        return "Context(%d targets, %s..%s, %d %s bars, at bar %d)" % (
            len(self.targets), self.begin_date, self.end_date, len(self.bar_times), self.frequency,
            self._internal_bar_num)


def _host_address(host):
    global _embedded_host
    if host is None:
        if _embedded_host is None or not _embedded_host.alive():
            from telvar.host import start_host

            _embedded_host = start_host()
        return _embedded_host.address
    if isinstance(host, str):
        return host
    address = getattr(host, "address", None)
    if not isinstance(address, str):
        raise TypeError("host must be None, a host handle or an address text, got %r" % (host,))
    return address


def _clean_state(address):
    """A clean run state attached to the host at ``address``."""
    global _connected_address
    from telvar.kestrum import comm

    same_host = address == _connected_address and cnt.vr.g_TelvarSocket is not None
    cnt.reset(keep_connection=same_host)
    if not same_host:
        comm.connect(address)
        _connected_address = address


def _freq_num(freq_num):
    if isinstance(freq_num, (bool, np.bool_)) or not isinstance(freq_num, (int, np.integer)) or freq_num < 1:
        raise ValueError("freq_num must be a positive integer, got %r" % (freq_num,))
    return int(freq_num)


def setup(targets, begin_date, end_date, frequency="min", freq_num=1, fq="NA", host=None):
    """Prepare a clean run state for a strategy and return its context."""
    from telvar.api.history import _history
    from telvar.api.regora import _regora

    targets = todictmc(list(targets))
    if not targets:
        raise ValueError("a run needs at least one target")
    begin_date = begin_date_checking_rule(begin_date)
    end_date = end_date_checking_rule(end_date)
    if begin_date > end_date:
        raise ValueError("begin_date %s is after end_date %s" % (begin_date, end_date))
    frequency_i = gv.frequency_to_int(frequency)
    frequency = gv.int_to_frequency(frequency_i)
    freq_num = _freq_num(freq_num)
    if frequency_i == gv.KFreq_Tick:
        raise ValueError("the runner drives bar strategies; tick frequency is not supported")

    address = _host_address(host)
    _clean_state(address)
    cnt.smm.set_phase(gv.RUMMODE_PHASE_SETUP)
    info = cnt.vr.g_TelvarInputInfo
    info.TargetList = targets
    info.BeginDate, info.EndDate = begin_date, end_date
    info.KFrequency, info.KFreNum, info.FQ = frequency, freq_num, fq

    bar_times, _ = _history.get_trading_time(targets, frequency, begin_date, end_date, freq_num)
    bar_times = np.asarray(bar_times, dtype=np.float64).ravel()
    if bar_times.size == 0:
        raise ValueError("no %d-%s bars between %s and %s for %s" % (
            freq_num, frequency, begin_date, end_date, ", ".join(todotmc(targets))))
    cnt.vr.set_strategy_time_line(bar_times)
    reg_idx = _regora.reg_k_data(frequency, freq_num)
    # the refresh item is named by its position in the K-data registry (the
    # same in every row of the registration index)
    info.RefreshKDataIdx = int(reg_idx[0, 0])

    context = Context(targets, begin_date, end_date, frequency, freq_num, fq, bar_times,
                      reg_idx, address)
    cnt.vr.g_TelvarUserContext = context
    return context


def run(strategy, targets, begin_date, end_date, frequency="min", freq_num=1, fq="NA", host=None,
        progress=True):
    """Set up, call ``strategy.init(context)`` once and ``strategy.on_bar(context)`` at every bar.

    Returns a summary dictionary: bars, targets, dates, set-up and run seconds,
    bars per second, and the strategy's ``summary(context)`` result when it has one.
    """
    from tqdm import tqdm

    started = time.perf_counter()
    context = setup(targets, begin_date, end_date, frequency, freq_num, fq, host)
    set_up = time.perf_counter() - started
    vr = cnt.vr
    bars = len(context.bar_times)
    try:
        cnt.smm.set_phase(gv.RUMMODE_PHASE_INIT)
        strategy.init(context)
        cnt.smm.set_phase(gv.RUMMODE_PHASE_ONBAR)
        loop_start = time.perf_counter()
        with tqdm(total=bars, unit="bar", desc="back-test", disable=not progress, leave=False) as bar:
            for pos in range(bars):
                context._internal_bar_num = pos
                vr.g_TelvarSimCurBarFresh = pos
                vr.g_TelvarReadLimit = pos  # reads of later bars raise
                strategy.on_bar(context)
                bar.update(1)
        loop = time.perf_counter() - loop_start
    finally:
        vr.g_TelvarReadLimit = -1
        cnt.smm.set_phase(gv.RUMMODE_PHASE_FINISHED)
    summary = {
        "bars": bars,
        "targets": list(context.target_names),
        "begin_date": context.begin_date,
        "end_date": context.end_date,
        "frequency": "%d%s" % (context.freq_num, context.frequency),
        "setup_seconds": set_up,
        "run_seconds": loop,
        "bars_per_second": bars / loop if loop > 0 else float("inf"),
    }
    if hasattr(strategy, "summary"):
        summary["strategy"] = strategy.summary(context)
    return summary


__all__ = ["setup", "run", "Context"]
