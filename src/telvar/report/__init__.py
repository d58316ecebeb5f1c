"""HTML reports of back-tests: one run (``RunResult.report``) and a parameter sweep (``sweep_report``).

Each report is one self-contained file (plotly.js, scripts and styles
inlined; no network needed to open it) built with jinja2 and plotly, the
``report`` extra: ``pip install 'telvar[report]'``.
"""


def run_report(result, path, target=None, style="local", bars=None):
    """Write the report of ``result`` (a ``telvar.run.RunResult``) to ``path``; see ``RunResult.report``."""
    from telvar.report.run_html import run_report as write

    return write(result, path, target=target, style=style, bars=bars)


def sweep_report(table, path, params=None, stat="Sharpe", best=10):
    """Write the report of a sweep's table to ``path``; see ``telvar.report.sweep_html``."""
    from telvar.report.sweep_html import sweep_report as write

    return write(table, path, params=params, stat=stat, best=best)


__all__ = ["run_report", "sweep_report"]
