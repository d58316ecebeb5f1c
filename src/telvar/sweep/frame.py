"""The sweep's result table: one row per parameter set."""
import pandas as pd

from telvar.sweep.grid import RESULT_COLUMNS, parameter_names

# what a trading run adds to the statistics of telvar.run.stats
RUN_FIELDS = ("Name", "BeginDate", "EndDate", "StrategyID")
# columns that hold texts or None; kept as objects so a missing one stays None
TEXT_COLUMNS = ("Name", "StrategyID", "strategy_id", "error")


def stat_names(trading=True, benchmark=None):
    """The statistics a back-test reports, in the order it reports them (none without trading)."""
    if not trading:
        return []
    from telvar.run.stats import compute_stats

    sample = compute_stats([20250102], [1.0], 1.0, benchmark_returns=None if benchmark is None else [0.0])
    return list(sample) + list(RUN_FIELDS)


def plan_frame(sets):
    """The parameter sets as a table (what ``dry_run`` shows): one column per parameter."""
    names = parameter_names(sets)
    frame = pd.DataFrame([[params.get(n) for n in names] for params in sets], columns=names, dtype=object)
    frame.index.name = "backtest"
    return frame.infer_objects()


def result_frame(sets, rows, stats):
    """``rows`` maps a parameter set's position to its task's answer; positions without one (a sweep
    cancelled before them) are left out."""
    names = parameter_names(sets)
    extra = []
    for row in rows.values():
        for key in row.get("stats") or {}:
            if key not in stats and key not in extra:
                extra.append(key)
    stat_columns = list(stats) + extra
    columns = names + stat_columns + list(RESULT_COLUMNS)
    positions = sorted(rows)
    records = []
    for i in positions:
        row, params = rows[i], sets[i]
        got = row.get("stats") or {}
        records.append([params.get(n) for n in names] + [got.get(s) for s in stat_columns]
                       + [row.get("strategy_id"), row.get("seconds"), row.get("error")])
    frame = pd.DataFrame(records, columns=columns, index=pd.Index(positions, name="backtest"), dtype=object)
    texts = [c for c in columns if c in TEXT_COLUMNS]
    numbers = frame.drop(columns=texts).infer_objects()
    for c in numbers.columns:
        frame[c] = numbers[c]
    return frame


__all__ = ["stat_names", "plan_frame", "result_frame", "RUN_FIELDS"]
