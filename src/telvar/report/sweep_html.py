"""The HTML report of a parameter sweep: which region of the parameters works, at a glance.

``sweep_report(table, path)`` takes the sweep's table (one row per
parameter set: the parameter columns, the statistics of ``result.stats``,
``strategy_id``, ``seconds``, ``error``) and writes one self-contained page:
a heat map of any statistic over any two parameters (chosen in the page;
runs that differ in the other parameters are combined by the mean, best,
worst or median), the best runs by that statistic, the whole table
(sortable) and the runs that failed with their errors. A ``report`` column
holding the path of a run's own report (``RunResult.report``) links the
run's row to it when that file exists; relative paths are read from the
current folder, and links are written relative to the sweep's page.
"""
import datetime as _dt
import os
from urllib.parse import quote

import numpy as np
import pandas as pd

from telvar.report.page import render, table_rows, write_page
from telvar.report.statfmt import IDENTITY_KEYS, LOWER_IS_BETTER, STAT_KINDS, STAT_LABELS

SWEEP_COLUMNS = ("strategy_id", "seconds", "error", "report")
SUMMARY_STATS = ("TotalReturn", "Sharpe", "MaxDrawdown", "TradeCount")


def parameter_columns(table):
    """The columns that are neither statistics nor the sweep's own bookkeeping."""
    skip = set(STAT_KINDS) | set(IDENTITY_KEYS) | set(SWEEP_COLUMNS)
    return [c for c in table.columns if c not in skip]


def stat_columns(table):
    """The statistics the page can map: known statistics first, then ``seconds``."""
    known = [c for c in STAT_KINDS if c in table.columns and _numeric(table[c])]
    return known + (["seconds"] if "seconds" in table.columns and _numeric(table["seconds"]) else [])


def _numeric(column):
    return pd.to_numeric(column, errors="coerce").notna().any() or column.isna().all()


def _stat_spec(key):
    if key == "seconds":
        return {"key": key, "label": "run time (s)", "kind": "num", "lower": True}
    return {"key": key, "label": STAT_LABELS[key], "kind": STAT_KINDS[key], "lower": key in LOWER_IS_BETTER}


def report_links(table, page_path):
    """Per row the link to the run's own report (relative to the page), or None when none was written."""
    if "report" not in table.columns:
        return [None] * len(table)
    folder = os.path.dirname(os.path.abspath(page_path))
    links = []
    for value in table["report"].tolist():
        if not isinstance(value, (str, os.PathLike)) or not os.path.isfile(value):
            links.append(None)
            continue
        relative = os.path.relpath(os.path.abspath(value), folder)
        links.append(quote(relative.replace(os.sep, "/")))
    return links


def _errors(table):
    if "error" not in table.columns:
        return np.zeros(len(table), dtype=bool)
    return table["error"].map(lambda e: isinstance(e, str) and e != "").to_numpy(dtype=bool)


def _checked(table, params, stat):
    if not isinstance(table, pd.DataFrame):
        raise TypeError("a sweep report takes the sweep's table (a pandas DataFrame), got %s"
                        % type(table).__name__)
    params = parameter_columns(table) if params is None else list(params)
    missing = [p for p in params if p not in table.columns]
    if missing:
        raise ValueError("no column %s in the sweep's table (its columns: %s)"
                         % (", ".join(map(str, missing)), ", ".join(map(str, table.columns))))
    stats = stat_columns(table)
    if stat not in stats:
        raise ValueError("%r is not a statistic of the sweep's table (it has %s)"
                         % (stat, ", ".join(stats) or "none"))
    return params, stats


def sweep_report(table, path, params=None, stat="Sharpe", best=10):
    """Write the sweep's report to ``path`` and return the path.

    ``params``: the parameter columns (by default every column that is not a
    statistic, ``strategy_id``, ``seconds``, ``error`` or ``report``);
    ``stat``: the statistic the heat map and the best runs open with;
    ``best``: how many best runs to list.
    """
    params, stats = _checked(table, params, stat)
    table = table.reset_index(drop=True)
    failed = _errors(table)
    shown = list(params) + stats + [c for c in ("strategy_id", "error") if c in table.columns]
    frame = table[shown].copy()
    for c in stats:
        frame[c] = pd.to_numeric(frame[c], errors="coerce")
    links = report_links(table, path)
    frame["report"] = links
    columns = ([{"key": p, "label": str(p), "kind": "param"} for p in params] +
               [_stat_spec(s) for s in stats] +
               [{"key": c, "label": c.replace("_", " "), "kind": "text", "wrap": c == "error"}
                for c in ("strategy_id", "error") if c in table.columns] +
               [{"key": "report", "label": "report", "kind": "link", "linkText": "open"}])
    data = {"params": [str(p) for p in params], "stats": [_stat_spec(s) for s in stats], "stat": stat,
            "best": int(best), "columns": columns, "rows": table_rows(frame, list(frame.columns)),
            "failed": failed.tolist()}
    seconds = pd.to_numeric(table["seconds"], errors="coerce").sum() if "seconds" in table.columns else None
    html = render("sweep.html.j2", title="Parameter sweep", runs=len(table), failed=int(failed.sum()),
                  params=[str(p) for p in params], seconds=seconds, linked=sum(v is not None for v in links),
                  written=_dt.datetime.now().strftime("%Y-%m-%d %H:%M"), data=data, sign_style="local")
    return write_page(path, html)


__all__ = ["sweep_report", "parameter_columns", "stat_columns", "report_links"]
