"""Chunked back-tests: one run over consecutive sub-ranges of its trading days, in bounded memory.

``runner.run(..., chunk='month')`` (or ``'week'``, or a number of trading
days; ``None`` chooses by the run's size, see ``chunk_plan.auto_chunk``) sets
up one chunk at a time: its minute data start ``chunk_warmup`` trading days
before its first bar (earlier where a forming week, month, year or N-day bar
needs its period's minutes), its day and coarser data cover the whole run, so
memory grows with the chunk, not with the range. What a chunk cannot see in
its own data it takes from the chunk before (``chunk_state``): the last close
of targets that have not traded since its data start, and the factors of the
main-contract roll chain. ``init`` runs once, in chunk 1; its K-data
registrations are made again in every later chunk, with the same indices.

The strategy object, the context (its attributes), the broker and portfolio
carry over; the results, the statistics and the progress bar cover the run as
one, and the host records one run. In a chunked run ``context.bar_pos`` (what
the window functions take) counts from the chunk's data start and
``context.bar_times`` holds the chunk's bars; ``context.run_bar_pos`` is the
position an unchunked run would show, and results count in run positions.

Exact as the unchunked run: every window of day-based registrations; every
window of minute-based registrations whose bars lie within ``chunk_warmup``
trading days before the chunk's first bar (a real-bar window, ``fill_up``
False, must find its bars there); reads at the current bar or later. User
indicators, user data and factors are not made again: such runs are refused.
"""
import time

import numpy as np

from telvar.common.timeconv import int_to_date
from telvar.kestrum import globalvars as gv
from telvar.kestrum import sysmodel as cnt
from telvar.run import chunk_plan as plan_
from telvar.run.chunk_state import Registrations, carry_to, seed_minutes
from telvar.run.prices import bar_trading_days

DEFAULT_CHUNK_WARMUP = 5


class Chunk:
    """One chunk: its trading days, the first day of its minute data, its bars in run positions
    (``start`` the first of its data, ``first``..``last`` those on_bar sees)."""

    def __init__(self, index, count, first_day, last_day, data_day, start, first, last):
        self.index, self.count = index, count
        self.first_day, self.last_day, self.data_day = first_day, last_day, data_day
        self.start, self.first, self.last = start, first, last

    def __repr__(self):
        return "Chunk(%d of %d: %d..%d, data from %d)" % (self.index + 1, self.count, self.first_day,
                                                          self.last_day, self.data_day)


class RunPlan:
    """The whole run's bars and trading days, and its chunks (data starts filled in once init is done)."""

    def __init__(self, inputs, times, day_pos, first, size, chunk_warmup):
        self.inputs = inputs  # (targets, begin_date, end_date, frequency, freq_num, fq, address, warmup, run_begin)
        self.times, self.day_pos, self.first = times, day_pos, first
        self.days = bar_trading_days(times, day_pos)
        self.all_days = np.unique(self.days)
        self.size, self.chunk_warmup = size, chunk_warmup
        self.pieces = plan_.split_days(np.unique(self.days[first:]), size)

    def chunk(self, k, periods=()):
        first_day, last_day = self.pieces[k]
        if k == 0:
            data_day, first = int(self.all_days[0]), self.first
        else:
            starts = [plan_.period_start(p, self.all_days, first_day) for p in periods]
            data_day = plan_.data_start(self.all_days, first_day, self.chunk_warmup, starts)
            first = int(np.searchsorted(self.days, first_day))
        start = int(np.searchsorted(self.days, data_day))
        last = int(np.searchsorted(self.days, last_day, side="right")) - 1
        return Chunk(k, len(self.pieces), first_day, last_day, data_day, start, first, last)


def _fits_at_most(targets, begin_date, end_date):
    """True when the run fits in memory in one piece with a one-minute bar at every minute of every
    calendar day from ``begin_date`` to ``end_date`` (more bars than any market has)."""
    days = (int_to_date(end_date) - int_to_date(begin_date)).days + 1
    return plan_.estimated_peak(targets, days * 24 * 60) <= plan_.memory_budget()


def plan(targets, begin_date, end_date, frequency, freq_num, fq, host, warmup, chunk, chunk_warmup):
    """The run's plan when it runs in two chunks or more, else None (an unchunked run)."""
    from telvar.api.history import _history
    from telvar.kestrum import runner

    chunk = plan_.check_chunk(chunk)
    if chunk == 0 or gv.frequency_to_int(frequency) != gv.KFreq_Min:
        if chunk:
            raise ValueError("chunked runs are for minute strategies; a %s strategy's data are small" % frequency)
        return None
    if chunk_warmup is None:
        chunk_warmup = max(warmup, DEFAULT_CHUNK_WARMUP)
    if isinstance(chunk_warmup, bool) or not isinstance(chunk_warmup, (int, np.integer)) or chunk_warmup < 1:
        raise ValueError("chunk_warmup must be a number of trading days >= 1, got %r" % (chunk_warmup,))
    targets, begin_date, end_date, frequency, freq_num = runner.check_inputs(targets, begin_date, end_date,
                                                                             frequency, freq_num)
    if chunk is None and not warmup and _fits_at_most(len(targets), begin_date, end_date):
        return None  # no need to ask the host for the bars: even a minute bar all day and night fits
    address = runner._host_address(host)
    runner._clean_state(address)
    run_begin = runner._warmup_begin_date(begin_date, warmup) if warmup else begin_date
    times, day_pos = _history.get_trading_time(targets, frequency, run_begin, end_date, freq_num)
    times = np.asarray(times, dtype=np.float64).ravel()
    day_pos = np.asarray(day_pos, dtype=np.float64).ravel()
    first = runner.first_bar_on_or_after(times, day_pos, begin_date) if warmup else 0
    if times.size == first:
        return None  # the unchunked set-up says what is missing
    if chunk is None:
        chunk = plan_.auto_chunk(len(targets), bar_trading_days(times[first:], day_pos[first:]),
                                 minutes_per_bar=freq_num)
    inputs = (targets, begin_date, end_date, frequency, freq_num, fq, address, warmup, run_begin)
    result = RunPlan(inputs, times, day_pos, first, chunk, int(chunk_warmup))
    return result if len(result.pieces) > 1 else None


def setup_chunk(p, c, carry, context=None):
    """Set up chunk ``c`` of plan ``p``: a clean run state holding the chunk's bars; the context made
    (chunk 1) or moved on to the chunk."""
    from telvar.api.history import _history
    from telvar.api.regora import _regora
    from telvar.kestrum import runner

    targets, begin_date, end_date, frequency, freq_num, fq, address, warmup, run_begin = p.inputs
    runner._clean_state(address)
    cnt.smm.set_phase(gv.RUMMODE_PHASE_SETUP)
    vr = cnt.vr
    info = vr.g_TelvarInputInfo
    info.TargetList = targets
    info.KFrequency, info.KFreNum, info.FQ = frequency, freq_num, fq
    # every cache key holds the account list: a chunk's entries (minutes of the chunk only) are its own
    info.AccountNameList = ["chunk:%d-%d" % (c.data_day, c.last_day)]
    info.BeginDate = run_begin if c.index == 0 else c.data_day
    info.EndDate = c.last_day
    times, day_pos = p.times[c.start:c.last + 1], p.day_pos[c.start:c.last + 1]
    own = _history.get_trading_time(targets, frequency, info.BeginDate, c.last_day, freq_num)
    if not np.array_equal(np.asarray(own[0], dtype=np.float64).ravel(), times):
        raise RuntimeError("the bars of chunk %r are not those of the whole run" % (c,))
    vr.set_strategy_time_line(times)
    _regora.synthetic_1_freq_k_data(gv.KFreq_Min)
    if carry is not None:
        seed_minutes(vr, carry)
    reg_idx = _regora.reg_k_data(frequency, freq_num)
    info.RefreshKDataIdx = int(reg_idx[0, 0])
    # day and coarser bars cover the whole run in every chunk: their periods and N-day counts are the run's
    info.BeginDate, info.EndDate = run_begin, end_date
    _regora.synthetic_1_freq_k_data(gv.KFreq_Day)
    if carry is not None and carry.factors:
        vr.g_TelvarAdjOrigin = {gv.KFreq_Min: carry.factors}
    if context is None:
        context = runner.Context(targets, begin_date, end_date, frequency, freq_num, fq, times, reg_idx, address,
                                 warmup=warmup, warmup_begin_date=run_begin, first_bar_pos=c.first - c.start)
    context.bar_times, context.bar_days = times, p.days[c.start:c.last + 1]
    context.first_bar_pos, context.run_offset, context.chunk = c.first - c.start, c.start, c
    context._internal_bar_num = context.first_bar_pos
    vr.g_TelvarSimCurBarFresh = context.first_bar_pos
    vr.g_TelvarUserContext = context
    return context


def run(p, strategy, progress, trading_args):
    """Run the strategy over the chunks of plan ``p``; returns (context, session, summary numbers)."""
    from telvar.kestrum import runner

    started = time.perf_counter()
    set_up = loop = 0.0
    c = p.chunk(0)
    context = setup_chunk(p, c, None)
    session = _session(context, strategy, p, trading_args)
    set_up += time.perf_counter() - started
    bars = len(p.times) - p.first
    with runner.progress_bar(bars, progress) as bar:
        try:
            set_up, loop = _chunks(p, strategy, context, session, bar, set_up)
        finally:
            cnt.vr.g_TelvarReadLimit = -1
            cnt.smm.set_phase(gv.RUMMODE_PHASE_FINISHED)
    return context, session, set_up, loop


def _chunks(p, strategy, context, session, bar, set_up):
    """The bar loops of every chunk (chunk 1 set up already), each later chunk set up before its loop."""
    from telvar.kestrum import runner

    registrations = carry = None
    loop = 0.0
    c = p.chunk(0)
    for k in range(len(p.pieces)):
        if k:
            t0 = time.perf_counter()
            c = p.chunk(k, registrations.periods)
            context = setup_chunk(p, c, carry, context)
            registrations.replay()
            registrations.verify(cnt.vr)
            if session is not None:
                session.attach_chunk(context)
            set_up += time.perf_counter() - t0
        else:
            cnt.smm.set_phase(gv.RUMMODE_PHASE_INIT)
            strategy.init(context)
            registrations = Registrations(cnt.vr)
        cnt.vr.g_TelvarInputInfo.AccountNameList = []
        t0 = time.perf_counter()
        try:
            cnt.smm.set_phase(gv.RUMMODE_PHASE_ONBAR)
            runner.bar_loop(strategy, context, c.first - c.start, c.last - c.first + 1,
                            None if session is None else session.broker, bar)
        finally:
            cnt.vr.g_TelvarReadLimit = -1
            if session is not None:
                session.broker.accepting = False
        loop += time.perf_counter() - t0
        if k + 1 < len(p.pieces):
            carry = carry_to(cnt.vr, p.chunk(k + 1, registrations.periods).data_day, carry)
        if session is not None:
            session.close_chunk(c.first, c.last)
    return set_up, loop


def _session(context, strategy, p, trading_args):
    if trading_args is None:
        return None
    from telvar.run.trading import TradingSession

    session = TradingSession(context, getattr(strategy, "name", None) or type(strategy).__name__,
                             timeline=(p.times, p.days, p.first, len(p.times) - 1), **trading_args)
    context._broker = session.broker
    return session


__all__ = ["plan", "run", "setup_chunk", "Chunk", "RunPlan", "DEFAULT_CHUNK_WARMUP"]
