"""Trading in a back-test: the broker, portfolio, costs, market rules, statistics and results.

``telvar.kestrum.runner.run`` is the entry point; this package is what it
trades with. Files: ``rules`` (market rules from the host), ``costs``,
``prices`` (the strategy's bars as views), ``orders``, ``broker`` (fills and
rolls), ``portfolio`` (cash, positions, round trips), ``curves`` (equity and
positions per bar and day), ``stats``, ``benchmark``, ``record`` (what the
host stores), ``results`` (what ``run`` returns), ``plot``, ``trading`` (one
run's trading, set up and finished).
"""
from telvar.run.costs import Costs
from telvar.run.results import RunResult
from telvar.run.stats import compute_stats

__all__ = ["Costs", "RunResult", "compute_stats"]
