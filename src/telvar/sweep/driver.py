"""``telvar.sweep.run``: submit one Ray task per parameter set, gather the rows as they finish."""
import inspect
import os
import time
import uuid

from telvar.kestrum.utils.logger import logger
from telvar.sweep.frame import plan_frame, result_frame, stat_names
from telvar.sweep.grid import check_against_stats, expand_grid, parameter_names

NODE_CHECK_SECONDS = 5.0  # how often the driver looks for nodes that joined (autoscaling)
# runner.run's keywords a sweep sets itself or takes by name
_OWN = {"strategy", "targets", "begin_date", "end_date", "frequency", "freq_num", "fq", "host", "progress",
        "capital", "costs"}
_remote = {}  # max_retries -> the remote back-test function


def _runner_options():
    from telvar.kestrum import runner

    return {name: p.default for name, p in inspect.signature(runner.run).parameters.items() if name not in _OWN}


def _host_target(host, host_token, store):
    """(address, token) of the one host every worker uses, or (None, None) for a host per node."""
    if host is None:
        if host_token is not None:
            raise ValueError("host_token is the token of host=; there is no host=")
        return None, None
    if store is not None:
        raise ValueError("give store= (a host per node on that store) or host= (one host for all), not both")
    if isinstance(host, str):
        return host, host_token
    address = getattr(host, "address", None)
    if not isinstance(address, str) or not address:
        raise TypeError("host must be a host handle or an address text, got %r" % (host,))
    return address, host_token if host_token is not None else getattr(host, "token", None)


def _store_path(store):
    if store is None:
        return None
    path = os.path.abspath(os.fspath(store))
    if not os.path.exists(path):
        raise FileNotFoundError("store not found: %s (every node reads the store at this path)" % path)
    return path


def _checked_run_arguments(targets, begin_date, end_date, frequency, freq_num, fq, capital, costs, run_options):
    """The run's arguments checked once here, so that a mistake is one error, not one per row."""
    from telvar.kestrum import globalvars as gv
    from telvar.kestrum.ufuncs import begin_date_checking_rule, end_date_checking_rule, todotmc

    known = _runner_options()
    unknown = sorted(set(run_options) - set(known))
    if unknown:
        raise TypeError("run() got unexpected keyword arguments %s (runner.run takes %s)"
                        % (", ".join(unknown), ", ".join(sorted(known))))
    targets = todotmc(list(targets))
    if not targets:
        raise ValueError("a run needs at least one target")
    begin_date, end_date = begin_date_checking_rule(begin_date), end_date_checking_rule(end_date)
    if begin_date > end_date:
        raise ValueError("begin_date %s is after end_date %s" % (begin_date, end_date))
    frequency = gv.int_to_frequency(gv.frequency_to_int(frequency))
    if run_options.get("trading", True):
        from telvar.run.trading import check_arguments

        check_arguments(capital, costs, run_options.get("fill", known["fill"]))
    options = dict(run_options, frequency=frequency, freq_num=freq_num, fq=fq, capital=capital, costs=costs)
    return targets, begin_date, end_date, options


def _remote_backtest(max_retries):
    if max_retries not in _remote:
        import ray

        from telvar.sweep.task import run_backtest

        # a back-test that raises answers with its error; only a worker that died is run again
        _remote[max_retries] = ray.remote(run_backtest).options(num_cpus=1, max_retries=max_retries,
                                                                 retry_exceptions=False)
    return _remote[max_retries]


def _failed_row(exc, max_retries):
    import ray

    first_line = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
    if isinstance(exc, (ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError)):
        text = "worker died (run %d times): %s" % (max_retries + 1, first_line)
    else:
        text = "%s: %s" % (type(exc).__name__, first_line)
    return {"stats": None, "strategy_id": None, "seconds": None, "error": text}


def run(strategy, grid, targets, begin_date, end_date, frequency="min", freq_num=1, fq="NA", store=None,
        host=None, address=None, capital=1_000_000, costs=None, progress=True, max_retries=1, *,
        host_token=None, cache_root=None, results=None, num_cpus=None, dry_run=False, **run_options):
    """Back-test ``strategy(**params)`` for every parameter set of ``grid`` on Ray; one row per set.

    See the package's description for the arguments and the result.
    """
    sets = expand_grid(grid)
    if dry_run:
        return plan_frame(sets)
    if isinstance(max_retries, bool) or not isinstance(max_retries, int) or max_retries < 0:
        raise ValueError("max_retries must be an integer >= 0, got %r" % (max_retries,))
    host_address, token = _host_target(host, host_token, store)
    if host_address is not None and results is not None:
        raise ValueError("results= is where the sweep's own hosts record runs; host= records where it was told")
    store = _store_path(store)
    results = None if results is None else os.path.abspath(os.fspath(results))
    targets, begin_date, end_date, options = _checked_run_arguments(
        targets, begin_date, end_date, frequency, freq_num, fq, capital, costs, run_options)
    stats = stat_names(options.get("trading", True), options.get("benchmark"))
    check_against_stats(parameter_names(sets), stats)

    from telvar.kestrum import sysmodel as cnt
    from telvar.sweep import cluster
    from telvar.sweep.shipping import pack
    from telvar.sweep.task import SweepConfig

    ray, _ = cluster.connect(address, num_cpus)
    config = SweepConfig(sweep_id=uuid.uuid4().hex[:12], targets=targets, begin_date=begin_date,
                         end_date=end_date, run_options=options, host_address=host_address, host_token=token,
                         cache_root=None if cache_root is None else os.path.abspath(os.fspath(cache_root)),
                         driver_node=cluster.this_node(), driver_root=cnt.env.fm.root)
    blob_ref, config_ref = ray.put(pack(strategy)), ray.put(config)
    actors, hosts = {}, {}
    try:
        if host_address is None:
            from telvar.sweep.nodehost import start_node_hosts

            start_node_hosts(config.sweep_id, store, cluster.backtest_nodes(), actors, results)
        rows, cancelled = _gather(sets, blob_ref, config_ref, max_retries, progress,
                                  None if host_address is not None else (config.sweep_id, store, actors, results))
    finally:
        if actors:
            from telvar.sweep.nodehost import stop_node_hosts

            hosts = stop_node_hosts(actors)
    frame = result_frame(sets, rows, stats)
    frame.attrs["cancelled"] = cancelled
    frame.attrs["hosts"] = hosts
    return frame


def _gather(sets, blob_ref, config_ref, max_retries, progress, node_hosts):
    """Submit every back-test and collect the rows; Ctrl-C cancels the rest (returns rows, cancelled)."""
    import ray
    from tqdm import tqdm

    from telvar.sweep import cluster

    backtest = _remote_backtest(max_retries)
    pending, rows, errors = {}, {}, 0
    next_node_check = time.monotonic() + NODE_CHECK_SECONDS
    with tqdm(total=len(sets), unit="back-test", desc="sweep", disable=not progress) as bar:
        try:
            for i, params in enumerate(sets):  # inside: Ctrl-C while submitting cancels what was submitted
                pending[backtest.remote(blob_ref, params, config_ref)] = i
            while pending:
                ready, _ = ray.wait(list(pending), num_returns=1, timeout=1.0)
                if ready:
                    ready, _ = ray.wait(list(pending), num_returns=len(pending), timeout=0)
                for ref in ready:
                    i = pending.pop(ref)
                    try:
                        rows[i] = ray.get(ref)
                    except ray.exceptions.RayError as exc:
                        rows[i] = _failed_row(exc, max_retries)
                    errors += rows[i]["error"] is not None
                    bar.update(1)
                if ready and errors:
                    bar.set_postfix(errors=errors)
                if node_hosts is not None and time.monotonic() > next_node_check:
                    from telvar.sweep.nodehost import start_node_hosts

                    sweep_id, store, actors, results = node_hosts
                    start_node_hosts(sweep_id, store, cluster.backtest_nodes(), actors, results)
                    next_node_check = time.monotonic() + NODE_CHECK_SECONDS
        except KeyboardInterrupt:
            for ref in pending:
                ray.cancel(ref)
            cancelled = len(sets) - len(rows)
            logger.warning("sweep interrupted: %d back-tests cancelled, %d finished", cancelled, len(rows))
            return rows, cancelled
    return rows, 0


__all__ = ["run"]
