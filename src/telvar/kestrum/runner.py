"""Back-test runner: sets up the run state for a strategy and drives it bar by bar.

``setup(...)`` prepares a clean run state (run inputs, the strategy's bar time
line, the fresh-bar store's time row, the strategy's own K-data registered as
the refresh item, the user context) and returns the context; tests and
notebooks then call the module functions directly. ``run(strategy, ...)``
does the same, calls ``strategy.init(context)`` once and
``strategy.on_bar(context)`` at every bar position, and returns a
``telvar.run.RunResult``: the summary as a mapping, and the run's trades,
orders, positions, equity and statistics. The strategy trades through its
context (``order``, ``order_target``, ``order_target_value``,
``order_target_percent``, ``cancel``, ``open_orders``, ``portfolio``) with
the broker of ``telvar.run``, which the runner calls before ``on_bar`` only
at the bars it asked for.

``warmup=N`` starts the run's inputs N trading days before ``begin_date``:
those days' bars are fetched and registered like the others, so windows are
full from the first bar the strategy sees, and ``on_bar`` starts at the first
strategy bar of a trading day on or after ``begin_date``. Bar positions
(``context.bar_pos``) count from the start of the warm-up, because they are
the positions every window function takes; ``context.first_bar_pos`` is the
first position ``on_bar`` sees.

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
from telvar.run.prices import bar_trading_day_numbers, bar_trading_days

_embedded_host = None
_host_tokens = {}  # address -> token of the host handles given to setup (a TCP host requires it)


class Context(UserContext):
    """What a strategy sees: its run inputs, the current bar and a place for its own state.

    ``bar_pos`` is the current strategy bar position (``bar_num`` too), the
    position the window functions take; ``now`` its bar time. ``bar_times``
    holds every strategy bar of the run, warm-up included, so
    ``bar_times[bar_pos]`` is the current bar's time; ``first_bar_pos`` is the
    position of the first bar ``on_bar`` sees (0 without warm-up, else the
    number of warm-up bars). ``begin_date`` and ``end_date`` are the dates the
    strategy trades; ``warmup`` the number of trading days of history before
    ``begin_date`` and ``warmup_begin_date`` the first of them (``begin_date``
    without warm-up). ``reg_idx`` is the registration index of the strategy's
    own bars. Strategies may set any further attribute.
    """

    def __init__(self, targets, begin_date, end_date, frequency, freq_num, fq, bar_times, reg_idx, host_address,
                 warmup=0, warmup_begin_date=None, first_bar_pos=0):
        super().__init__()
        self.targets = targets
        self.target_names = todotmc(targets)
        self.begin_date = begin_date
        self.end_date = end_date
        self.warmup = warmup
        self.warmup_begin_date = begin_date if warmup_begin_date is None else warmup_begin_date
        self.first_bar_pos = first_bar_pos
        self.frequency = frequency
        self.freq_num = freq_num
        self.fq = fq
        self.bar_times = bar_times
        self.reg_idx = reg_idx
        self.host_address = host_address
        self.bar_days = None  # the trading day (YYYYMMDD) of each bar, set by setup
        self._broker = None  # the run's broker while runner.run trades
        self.run_offset = 0  # the run position of bar position 0 (a chunk's first bar in a chunked run)
        self.chunk = None  # telvar.run.chunked.Chunk of a chunked run

    # --- trading (the broker of runner.run) ----------------------------------------------------------
    def _trading(self):
        if self._broker is None:
            raise RuntimeError("orders and the portfolio belong to runner.run (with trading on): "
                               "there is no broker after setup alone")
        return self._broker

    def order(self, target, quantity, limit_price=None):
        """Place an order and return its id: ``quantity`` signed (positive buys, negative sells),
        a market order unless ``limit_price`` is given. ``target``: a target record, a 'MARKET.CODE'
        name or a target index; a continuous code trades the main contract of the moment."""
        return self._trading().place(target, quantity, limit_price)

    def order_target(self, target, position):
        """Order what brings the position to ``position`` units (open orders counted as filled);
        None when nothing is needed."""
        return self._trading().order_target(target, position)

    def order_target_value(self, target, value):
        """Order toward a position worth ``value`` at the current close (whole lots, toward zero)."""
        return self._trading().order_target_value(target, value)

    def order_target_percent(self, target, fraction):
        """Order toward a position worth ``fraction`` of the equity (see ``order_target_value``)."""
        return self._trading().order_target_percent(target, fraction)

    def cancel(self, order_id):
        """Cancel an open order; True when it was open."""
        return self._trading().cancel(order_id)

    @property
    def open_orders(self):
        """The open orders, oldest first (``telvar.run.orders.Order`` objects; read them only)."""
        return list(self._trading().open)

    @property
    def portfolio(self):
        """Cash, equity, margin, available cash and positions, marked at the current bar's close."""
        return self._trading().view()

    @property
    def bar_pos(self):
        return self._internal_bar_num

    @property
    def run_bar_pos(self):
        """The current bar's position in the whole run: ``bar_pos`` as an unchunked run counts it (in a
        chunked run ``bar_pos`` counts from the chunk's data start, as the window functions need)."""
        return self._internal_bar_num + self.run_offset

    @property
    def now(self):
        """Time of the current strategy bar (serial days)."""
        return float(self.bar_times[self._internal_bar_num])

    def __repr__(self):
        warm = ", %d warm-up bars" % self.first_bar_pos if self.first_bar_pos else ""
        return "Context(%d targets, %s..%s, %d %s bars%s, at bar %d)" % (
            len(self.targets), self.begin_date, self.end_date, len(self.bar_times) - self.first_bar_pos,
            self.frequency, warm, self._internal_bar_num)


def _host_address(host):
    """The address of ``host``; a handle's token is kept for ``_clean_state`` to present."""
    global _embedded_host
    if host is None:
        if _embedded_host is None or not _embedded_host.alive():
            from telvar.host import start_host

            _embedded_host = start_host()
        host = _embedded_host
    if isinstance(host, str):
        return host
    address = getattr(host, "address", None)
    if not isinstance(address, str):
        raise TypeError("host must be None, a host handle or an address text, got %r" % (host,))
    token = getattr(host, "token", None)
    if token is not None:
        _host_tokens[address] = token
    return address


def _clean_state(address):
    """A clean run state attached to the host at ``address``."""
    from telvar.kestrum import comm

    # the live channel decides: comm.connect may have attached the process elsewhere since
    same_host = comm.attached_to(address)
    cnt.reset(keep_connection=same_host)
    if not same_host:
        comm.connect(address, token=_host_tokens.get(address))


def _freq_num(freq_num):
    if isinstance(freq_num, (bool, np.bool_)) or not isinstance(freq_num, (int, np.integer)) or freq_num < 1:
        raise ValueError("freq_num must be a positive integer, got %r" % (freq_num,))
    return int(freq_num)


def _warmup_days(warmup):
    if isinstance(warmup, (bool, np.bool_)) or not isinstance(warmup, (int, np.integer)) or warmup < 0:
        raise ValueError("warmup must be a number of trading days (an integer >= 0), got %r" % (warmup,))
    return int(warmup)


def _warmup_begin_date(begin_date, warmup):
    """The trading day ``warmup`` trading days before the first one on or after ``begin_date``."""
    from telvar.api.history import _history
    from telvar.kestrum.utils.logger import user_warning

    days = np.asarray(_history.get_trading_days(0, 99999999), dtype=np.int64)
    before = days[days < begin_date]
    if before.size >= warmup:
        return int(before[before.size - warmup])
    if days.size:
        user_warning("warm-up of %d trading days asked, but the calendar holds only %d before %s; "
                     "the run starts at %s" % (warmup, before.size, begin_date, days[0]))
        return int(min(days[0], begin_date))
    return begin_date


def first_bar_on_or_after(bar_times, day_pos, begin_date):
    """Position of the first bar whose trading day is ``begin_date`` or later (len(bar_times) if none).

    A bar's trading day is the day of the last bar of its trading day: night
    bars carry the previous evening's clock time but belong to the next
    trading day. Intraday day positions restart (drop) at each trading day's
    first bar; bars of a day or coarser are each their own trading day's last.
    """
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

    trading_day = bar_trading_day_numbers(bar_times, day_pos)
    if trading_day.size == 0:
        return 0
    return int(np.searchsorted(trading_day, int_date_to_ordinal(begin_date), side="left"))


def check_inputs(targets, begin_date, end_date, frequency, freq_num):
    """(targets as records, begin date, end date, frequency name, freq_num), checked."""
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
    return targets, begin_date, end_date, frequency, freq_num


def setup(targets, begin_date, end_date, frequency="min", freq_num=1, fq="NA", host=None, warmup=0):
    """Prepare a clean run state for a strategy and return its context.

    ``warmup`` trading days of history before ``begin_date`` are fetched and
    registered too (see the module's description); ``context.first_bar_pos``
    is the first bar position on or after ``begin_date``.
    """
    from telvar.api.history import _history
    from telvar.api.regora import _regora

    targets, begin_date, end_date, frequency, freq_num = check_inputs(targets, begin_date, end_date, frequency,
                                                                      freq_num)
    warmup = _warmup_days(warmup)

    address = _host_address(host)
    _clean_state(address)
    cnt.smm.set_phase(gv.RUMMODE_PHASE_SETUP)
    # the run's inputs start with the warm-up: every registration covers it
    run_begin = _warmup_begin_date(begin_date, warmup) if warmup else begin_date
    info = cnt.vr.g_TelvarInputInfo
    info.TargetList = targets
    info.BeginDate, info.EndDate = run_begin, end_date
    info.KFrequency, info.KFreNum, info.FQ = frequency, freq_num, fq

    bar_times, day_pos = _history.get_trading_time(targets, frequency, run_begin, end_date, freq_num)
    bar_times = np.asarray(bar_times, dtype=np.float64).ravel()
    first_bar_pos = first_bar_on_or_after(bar_times, day_pos, begin_date) if warmup else 0
    if bar_times.size == first_bar_pos:
        raise ValueError("no %d-%s bars between %s and %s for %s" % (
            freq_num, frequency, begin_date, end_date, ", ".join(todotmc(targets))))
    cnt.vr.set_strategy_time_line(bar_times)
    reg_idx = _regora.reg_k_data(frequency, freq_num)
    # the refresh item is named by its position in the K-data registry (the
    # same in every row of the registration index)
    info.RefreshKDataIdx = int(reg_idx[0, 0])

    context = Context(targets, begin_date, end_date, frequency, freq_num, fq, bar_times,
                      reg_idx, address, warmup=warmup, warmup_begin_date=run_begin,
                      first_bar_pos=first_bar_pos)
    # until on_bar starts, the current bar is the first one the strategy trades
    context._internal_bar_num = first_bar_pos
    context.bar_days = bar_trading_days(bar_times, day_pos)
    cnt.vr.g_TelvarSimCurBarFresh = first_bar_pos
    cnt.vr.g_TelvarUserContext = context
    return context


def run(strategy, targets, begin_date, end_date, frequency="min", freq_num=1, fq="NA", host=None,
        progress=True, warmup=0, capital=1_000_000, costs=None, fill="next_open", benchmark=None,
        risk_free=0.0, trading=True, chunk=None, chunk_warmup=None):
    """Set up, call ``strategy.init(context)`` once and ``strategy.on_bar(context)`` at every bar.

    With ``warmup`` N, N trading days of history before ``begin_date`` fill the
    windows and ``on_bar`` starts at ``context.first_bar_pos``. The strategy
    trades through its context (``context.order`` ...) with a broker that
    starts with ``capital``, fills market orders at the next bar's open
    (``fill="next_open"``) or at the current bar's close (``fill="close"``),
    charges the host's default costs overridden by ``costs`` (see
    ``telvar.run.costs``) and applies the host's market rules; ``benchmark``
    (e.g. 'SSE.000300') adds benchmark statistics, ``risk_free`` (annual) enters
    Sharpe, Sortino and alpha. ``trading=False`` runs without a broker.

    ``chunk`` runs a minute strategy as consecutive sub-ranges in bounded
    memory ('month', 'week' or a number of trading days; 0 never; None, the
    default, chunks monthly only when the whole run would not fit in half the
    memory): see ``telvar.run.chunked``, which also says what ``chunk_warmup``
    (trading days of minute history before each chunk, default the larger of
    ``warmup`` and 5) must cover.

    Returns a ``telvar.run.RunResult``: a mapping with the summary (bars from
    ``begin_date`` on, targets, dates, warm-up days, set-up and run seconds,
    bars per second, the strategy's ``summary(context)`` result when it has
    one, ``strategy_id`` and ``stats``, ``chunks``) whose attributes hold the
    trades, orders, positions, equity, stats and ``plot()``.
    """
    from telvar.run import chunked

    if trading:
        from telvar.run.trading import TradingSession, check_arguments

        check_arguments(capital, costs, fill)
    warmup = _warmup_days(warmup)
    chunks = chunked.plan(targets, begin_date, end_date, frequency, freq_num, fq, host, warmup, chunk, chunk_warmup)
    if chunks is not None:
        trading_args = dict(capital=capital, costs=costs, fill=fill, benchmark=benchmark,
                            risk_free=risk_free) if trading else None
        context, session, set_up, loop = chunked.run(chunks, strategy, progress, trading_args)
        return _finish(strategy, context, session, len(chunks.times) - chunks.first, set_up, loop,
                       len(chunks.pieces))
    started = time.perf_counter()
    context = setup(targets, begin_date, end_date, frequency, freq_num, fq, host, warmup)
    session = None
    if trading:
        session = TradingSession(context, getattr(strategy, "name", None) or type(strategy).__name__,
                                 capital=capital, costs=costs, fill=fill, benchmark=benchmark, risk_free=risk_free)
        context._broker = session.broker
    set_up = time.perf_counter() - started
    first = context.first_bar_pos
    bars = len(context.bar_times) - first
    try:
        cnt.smm.set_phase(gv.RUMMODE_PHASE_INIT)
        strategy.init(context)
        cnt.smm.set_phase(gv.RUMMODE_PHASE_ONBAR)
        loop_start = time.perf_counter()
        _bar_loop(strategy, context, first, bars, None if session is None else session.broker, progress)
        loop = time.perf_counter() - loop_start
    finally:
        cnt.vr.g_TelvarReadLimit = -1
        cnt.smm.set_phase(gv.RUMMODE_PHASE_FINISHED)
        if session is not None:
            session.broker.accepting = False
    return _finish(strategy, context, session, bars, set_up, loop, 1)


def _finish(strategy, context, session, bars, set_up, loop, chunks):
    from telvar.run.results import RunResult

    summary = {
        "bars": bars,
        "targets": list(context.target_names),
        "begin_date": context.begin_date,
        "end_date": context.end_date,
        "warmup": context.warmup,
        "frequency": "%d%s" % (context.freq_num, context.frequency),
        "setup_seconds": set_up,
        "run_seconds": loop,
        "bars_per_second": bars / loop if loop > 0 else float("inf"),
        "chunks": chunks,
    }
    if hasattr(strategy, "summary"):
        summary["strategy"] = strategy.summary(context)
    if session is None:
        return RunResult(summary)
    return session.finish(summary)


def progress_bar(bars, progress):
    from tqdm import tqdm

    return tqdm(total=bars, unit="bar", desc="back-test", disable=not progress, leave=False)


def _bar_loop(strategy, context, first, bars, broker, progress):
    """on_bar at every bar; the broker acts before it at the bars it asked for (the fills of the
    previous bar's close included), after the last bar in ``finish``."""
    with progress_bar(bars, progress) as bar:
        bar_loop(strategy, context, first, bars, broker, bar)


def bar_loop(strategy, context, first, bars, broker, bar):
    """on_bar at bar positions first..first+bars-1; the broker works in run positions
    (``context.run_offset`` added); ``bar`` is the progress bar."""
    vr = cnt.vr
    if broker is None:
        for pos in range(first, first + bars):
            context._internal_bar_num = pos
            vr.g_TelvarSimCurBarFresh = pos
            vr.g_TelvarReadLimit = pos  # reads of later bars raise
            strategy.on_bar(context)
            bar.update(1)
        return
    broker.follow(context)
    offset = context.run_offset
    for pos in range(first, first + bars):
        context._internal_bar_num = pos
        vr.g_TelvarSimCurBarFresh = pos
        vr.g_TelvarReadLimit = pos
        if pos >= broker.next_local:
            broker.open_bar(pos + offset)
        strategy.on_bar(context)
        bar.update(1)


__all__ = ["setup", "run", "Context"]
