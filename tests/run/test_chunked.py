"""Chunked back-tests against the same run in one piece, on the sample store (real host).

The sample store's rolls in the range: CU0000 on 2025-09-22 and 10-21, M0000 on 10-09 (the first
trading day after the National Day holiday 10-01..08). Three-day chunks start on 09-23 (a
Tuesday, the day after a roll), on 10-09 (after the month end and the holiday, on a roll) and on
10-22 (after a roll). One day of minute warm-up per chunk, so the carried closes (the stock has
no bar in the futures' night session that starts a trading day) and roll factors are what keeps
the chunks equal.
"""
import numpy as np
import pandas as pd
import pytest

from telvar.api.regora import _regora
from telvar.kestrum import comm, runner
from telvar.kestrum import sysmodel as cnt
from telvar.run import chunk_plan

pytestmark = pytest.mark.host
TARGETS = ["SHFE.CU0000", "SSE.600000", "DCE.M0000"]
REGISTRATIONS = [("min", 5, False), ("min", 15, True), ("day", 1, True), ("week", 1, True), ("month", 1, True),
                 ("day", 2, False)]
BEGIN, END = 20250918, 20251022


class Recorder:
    """Reads every registered window (filled and real bars, plain and adjusted) at every bar, and trades."""

    def __init__(self):
        self.windows, self.inits, self.chunks = {}, 0, set()

    def init(self, context):
        self.inits += 1
        context.regs = [(_regora.reg_k_data(f, n, adjust), adjust) for f, n, adjust in REGISTRATIONS]
        context.count = 0

    def on_bar(self, context):
        context.count += 1  # context attributes carry over
        pos = context.bar_pos
        seen = []
        day_start = pos == 0 or context.bar_days[pos - 1] != context.bar_days[pos]
        if context.run_bar_pos % 20 == 0 or day_start:  # one-minute bars into the warm-up
            seen.append(_regora.get_reg_k_data(context.reg_idx, pos, 300, True))
        for reg, adjust in context.regs:
            for fill in (True, False):
                seen.append(_regora.get_reg_k_data(reg, pos, 4, fill))
                if adjust:
                    seen.append(_regora.get_reg_k_data_adj(reg, pos, 4, fill))
        self.windows[context.run_bar_pos] = [np.asarray(w, dtype=float) for w in seen]
        self.chunks.add(None if context.chunk is None else context.chunk.index)
        self.trade(context)

    def trade(self, context):
        at = context.run_bar_pos
        last_of_day = context.bar_pos + 1 == len(context.bar_days) or \
            context.bar_days[context.bar_pos + 1] != context.bar_days[context.bar_pos]
        if at % 53 == 0:
            context.order_target(TARGETS[0], 1 if at // 53 % 2 else -1)
            context.order_target(TARGETS[2], -2 if at // 53 % 3 else 1)
        if last_of_day:  # at every chunk's last bar too: fills wait for the next bar (or its close)
            context.order_target(TARGETS[1], 0 if context.count % 2 else 200)
            context.order_target(TARGETS[2], 1 if context.count % 3 else 0)

    def summary(self, context):
        return context.count


def _run(host, chunk, fill):
    strategy = Recorder()
    result = runner.run(strategy, TARGETS, BEGIN, END, warmup=2, host=host, progress=False, chunk=chunk,
                        chunk_warmup=1, fill=fill)
    return strategy, result


def _same_results(a, b):
    for name in ("trades", "orders", "positions", "equity", "daily_equity"):
        pd.testing.assert_frame_equal(getattr(a, name), getattr(b, name), check_exact=True, obj=name)
    assert {k: v for k, v in a.stats.items() if k != "StrategyID"} == \
        {k: v for k, v in b.stats.items() if k != "StrategyID"}
    assert a["bars"] == b["bars"] and a["strategy"] == b["strategy"]


def test_chunked_windows_and_results_equal_the_whole_run(host, run_root, monkeypatch):
    chunk, fill, chunks = 3, "close", 7
    whole, whole_result = _run(host, 0, fill)
    begun = []
    real = comm.tvcmd

    class Counting:
        def call(self, name, *args, **kwargs):
            begun.extend([name] if name == "tvSendCmdBeginRun" else [])
            return real.call(name, *args, **kwargs)

        def __getattr__(self, name):
            return getattr(real, name)

    monkeypatch.setattr(comm, "tvcmd", Counting())
    parts, parts_result = _run(host, chunk, fill)
    assert parts_result["chunks"] == chunks and parts.chunks == set(range(chunks)) and parts.inits == 1
    assert begun == ["tvSendCmdBeginRun"] and parts_result.strategy_id
    assert whole.windows.keys() == parts.windows.keys()
    for at, windows in whole.windows.items():
        for k, (w, p) in enumerate(zip(windows, parts.windows[at])):
            assert np.array_equal(w, p, equal_nan=True), "window %d differs at run position %d" % (k, at)
    _same_results(whole_result, parts_result)
    assert len(whole_result.trades) > 20 and whole_result.trades["roll"].any()


def test_chunks_start_where_forming_bars_and_the_warm_up_need(host, run_root):
    class Monthly:
        starts = {}

        def init(self, context):
            context.reg = _regora.reg_k_data("month", 1)

        def on_bar(self, context):
            c = context.chunk
            self.starts[c.index] = (c.first_day, c.data_day, int(context.bar_days[0]),
                                    int(context.bar_days[context.first_bar_pos]))

    runner.run(Monthly(), ["SSE.600000"], 20251020, 20251120, host=host, progress=False, chunk="week",
               chunk_warmup=3, trading=False)
    # a chunk's minutes start 3 trading days before it, or at its month's first day (the run's first
    # day for October) when that is earlier
    assert Monthly.starts == {0: (20251020, 20251020, 20251020, 20251020),
                              1: (20251027, 20251020, 20251020, 20251027),
                              2: (20251103, 20251029, 20251029, 20251103),
                              3: (20251110, 20251103, 20251103, 20251110),
                              4: (20251117, 20251103, 20251103, 20251117)}
    assert cnt.vr.g_TelvarInputInfo.AccountNameList == []


def test_chunk_plans():
    days = np.array([20250929, 20250930, 20251009, 20251010, 20251013, 20251014, 20251031, 20251103])
    assert chunk_plan.split_days(days, "month") == [(20250929, 20250930), (20251009, 20251031),
                                                    (20251103, 20251103)]
    assert chunk_plan.split_days(days, "week") == [(20250929, 20250930), (20251009, 20251010),
                                                   (20251013, 20251014), (20251031, 20251031), (20251103, 20251103)]
    assert chunk_plan.split_days(days, 3) == [(20250929, 20251009), (20251010, 20251014), (20251031, 20251103)]
    assert chunk_plan.split_days(days, 0) == [(20250929, 20251103)]
    # a forming week bar needs the minutes since the week's first day; the warm-up may reach further
    weeks = np.array([20250930, 20251010, 20251014, 20251031, 20251103])
    assert chunk_plan.period_start(weeks, days, 20251014) == 20251013
    assert chunk_plan.period_start(weeks, days, 20250929) == 20250929
    assert chunk_plan.data_start(days, 20251014, 1, [20251013]) == 20251013
    assert chunk_plan.data_start(days, 20251014, 4, [20251013]) == 20250930
    assert chunk_plan.data_start(days, 20251014, 40) == 20250929
    for bad in (-1, "fortnight", 2.5, True):
        with pytest.raises(ValueError):
            chunk_plan.check_chunk(bad)


def test_automatic_chunks_follow_the_memory_estimate():
    bar_days = np.repeat([20250929, 20250930, 20251009, 20251010, 20251013, 20251103], 240)
    per_target_bar = chunk_plan.BYTES_PER_TARGET_BAR * chunk_plan.PEAK_PER_RAW
    whole = 1000 * bar_days.size * per_target_bar
    assert chunk_plan.auto_chunk(1000, bar_days, budget=whole) == 0
    assert chunk_plan.auto_chunk(1000, bar_days, budget=whole - 1) == "month"  # October holds 3 of 6 days
    assert chunk_plan.auto_chunk(1000, bar_days, budget=1000 * 720 * per_target_bar - 1) == "week"
    # a 15-minute strategy's one-minute data count
    assert chunk_plan.auto_chunk(1000, bar_days[::15], budget=whole - 1, minutes_per_bar=15) == "month"


def test_chunked_runs_refuse_what_they_cannot_repeat(host, run_root):
    class WithUserData:
        def init(self, context):
            _regora.reg_user_data(context.bar_times[:3], np.arange(3.0))

        def on_bar(self, context):
            pass

    with pytest.raises(NotImplementedError, match="user data"):
        runner.run(WithUserData(), ["SSE.600000"], 20251103, 20251110, host=host, progress=False, chunk=2)
    with pytest.raises(ValueError, match="minute strategies"):
        runner.run(WithUserData(), ["SSE.600000"], 20251103, 20251110, frequency="day", host=host,
                   progress=False, chunk="week")


def test_a_run_that_fits_whatever_its_bars_is_not_planned_from_the_host(host, monkeypatch):
    """Two days of one target fit in memory even with a bar at every minute: the automatic choice
    needs no time line from the host; with a budget that small runs exceed, it asks for it."""
    from telvar.api.history import _history
    from telvar.run import chunked

    asked = []
    monkeypatch.setattr(_history, "get_trading_time", lambda *a: asked.append(a) or ([], []))
    args = ([{"Market": "SSE", "Code": "600000"}], 20251103, 20251104, "min", 1, "NA", host, 0, None, None)
    assert chunked.plan(*args) is None and not asked
    monkeypatch.setenv("TELVAR_RUN_MEMORY_BYTES", "1000")
    assert chunked.plan(*args) is None and len(asked) == 1  # no bars: the set-up says what is missing
