"""Parameter sweeps: many back-tests of one strategy over the same data, on Ray.

``run(strategy, grid, targets, begin_date, end_date, ...)`` back-tests
``strategy(**params)`` for every parameter set of ``grid`` (a dict of lists:
every combination, the last key varying fastest; or a list of dicts) with
``telvar.kestrum.runner.run`` and returns a pandas DataFrame with one row per
set: the parameters, every statistic of ``result.stats``, ``strategy_id``
(the host records each run as it does a single one), ``seconds`` (the
back-test's wall time in its worker) and ``error`` (None, or the text of the
exception that back-test raised; a worker that died is run again up to
``max_retries`` times, then reported). The index numbers the back-tests in
grid order. ``dry_run=True`` returns the parameter sets only, without Ray.

Where it runs: ``address=None`` starts a local Ray instance on this
machine's cores (or joins the one already running here); ``address='auto'``
or ``'HOST:PORT'`` joins a cluster. A Ray already initialised in the process
(``ray.init(...)`` with a ``runtime_env``, say) is used as it is, and Ray is
left running after the sweep for the next one (``ray.shutdown()`` ends it).

Data: by default each node runs one host on ``store`` (the sample store when
None; a path that must exist on every node), opened read-only and shared by
the node's workers; workers on the driver's node use the driver's cache root
(``cnt.env.fm.root``), workers elsewhere their own default (``$TELVAR_HOME``
or ``~/.telvar``); ``cache_root=`` sets one for all. These hosts record the
runs in their default results database, or in ``results=`` (a path every
node can reach); ``frame.attrs["hosts"]`` tells, per node, the CPU seconds
and peak memory (MiB) its host used. ``host=`` names one host for every
worker instead: a ``HostHandle`` (its token comes along) or an address with
``host_token=``.

The runner's other keywords (``warmup``, ``fill``, ``benchmark``,
``risk_free``, ``trading``) pass through. ``progress`` shows a bar over the
back-tests; Ctrl-C cancels those not finished and returns the rows of those
that did (``frame.attrs["cancelled"]`` counts the others).

``report(table, path)`` writes the sweep's table as an HTML page (a heat map
of any statistic over any two parameters, the best runs, the failed ones);
see ``telvar.report.sweep_report``.

A strategy class defined in ``__main__``, a notebook or a module of the
user's own reaches the workers by value (see ``telvar.sweep.shipping``).
"""
from telvar.sweep.driver import run
from telvar.sweep.grid import expand_grid

from telvar.report import sweep_report as report  # jinja2 and plotly load only when it writes

__all__ = ["run", "expand_grid", "report"]
