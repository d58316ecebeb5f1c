"""One back-test of a sweep, run in a Ray worker.

The task connects the worker to its node's host (or the host the sweep
names), sets the cache root, builds ``strategy(**params)`` and calls
``runner.run``. A back-test that raises is a result too: its row carries the
exception text, and the worker goes on with the next one. Workers are reused
across tasks, so a worker that stays on one host keeps its connection and
its in-memory caches (calendar, target information) from one back-test to
the next.
"""
import time
from dataclasses import dataclass


@dataclass(frozen=True)
class SweepConfig:
    """What every back-test of a sweep shares (put once into Ray's object store)."""

    sweep_id: str
    targets: list
    begin_date: int
    end_date: int
    run_options: dict  # frequency, freq_num, fq, capital, costs and the runner's other keywords
    host_address: str = None  # None: the node's own host
    host_token: str = None
    cache_root: str = None  # None: the driver's root on the driver's node, the worker's default elsewhere
    driver_node: str = None
    driver_root: str = None


@dataclass(frozen=True)
class HostRef:
    """What ``runner.run(host=...)`` takes: an address and the token a TCP host requires."""

    address: str
    token: str = None


_node_hosts = {}  # sweep id -> HostRef of this worker's node


def _node_id():
    import ray

    return ray.get_runtime_context().get_node_id()


def host_for(config):
    if config.host_address is not None:
        return HostRef(config.host_address, config.host_token)
    ref = _node_hosts.get(config.sweep_id)
    if ref is None:
        import ray

        from telvar.sweep.nodehost import find_node_host

        try:
            address, token = ray.get(find_node_host(config.sweep_id, _node_id()).connection.remote())
        except ray.exceptions.RayTaskError as exc:  # the actor's own error, without Ray's traceback
            raise RuntimeError(str(getattr(exc, "cause", None) or exc)) from None
        ref = _node_hosts[config.sweep_id] = HostRef(address, token)
    return ref


def use_cache_root(config):
    from telvar.kestrum import sysmodel as cnt

    root = config.cache_root
    if root is None and config.driver_root is not None and _node_id() == config.driver_node:
        root = config.driver_root
    if root is not None and cnt.env.fm.root != root:
        cnt.env.fm.set_root(root)


def error_text(exc):
    """``Type: message`` of a back-test's exception; Ray's own errors (an actor that died, say) by
    their first line, without the traceback they carry."""
    text = str(exc)
    if type(exc).__module__.startswith("ray."):
        text = (text.strip().splitlines() or [""])[0]
    return "%s: %s" % (type(exc).__name__, text)


def run_backtest(strategy_blob, params, config):
    """The row of one parameter set: stats, strategy id, seconds and error (None when it ran)."""
    from telvar.kestrum import runner
    from telvar.sweep.shipping import unpack

    started = time.perf_counter()
    row = {"stats": None, "strategy_id": None, "error": None}
    try:
        strategy = unpack(strategy_blob)
        host = host_for(config)
        use_cache_root(config)
        result = runner.run(strategy(**params), config.targets, config.begin_date, config.end_date, host=host,
                            progress=False, **config.run_options)
        row["stats"], row["strategy_id"] = result.stats, result.strategy_id
    except Exception as exc:  # one failing back-test never stops the sweep
        row["error"] = error_text(exc)
        # the host may be what failed: the next task asks the node's actor again (it restarts a dead host)
        _node_hosts.pop(config.sweep_id, None)
    row["seconds"] = time.perf_counter() - started
    return row


__all__ = ["SweepConfig", "HostRef", "run_backtest", "host_for", "error_text"]
