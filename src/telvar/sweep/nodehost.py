"""One embedded host per Ray node, shared by the node's workers.

The driver creates a ``NodeHost`` actor on every node that can run
back-tests, pinned there with Ray's node-affinity scheduling and named after
the sweep and the node; nodes that join later (autoscaling) get theirs when
the driver next looks. A back-test task finds its own node's actor by name
and asks it for the host's address and token. The actor starts the host at
once (and again if it died), on the node's copy of the store, which the host
opens read-only, so any number of hosts may serve one store file.

The actor takes no CPU: it must be placeable on a node whose CPUs are all
busy with back-tests that wait for it. It is owned by the driver: when the
driver ends, the actor ends, and the host stops with its starter.
"""
import time

NAME_PREFIX = "telvar-sweep-host"
LOOKUP_SECONDS = 120.0  # how long a task on a node that just joined waits for its host


def actor_name(sweep_id, node_id):
    return "%s-%s-%s" % (NAME_PREFIX, sweep_id, node_id)


class NodeHost:
    """The host of one node (a Ray actor class: see ``actor_class``)."""

    def __init__(self, store, results=None):
        self._store, self._results = store, results
        self._handle = None
        self._failure = None  # why the host could not start: told to every task, not tried again

    def connection(self):
        """(address, token) of the node's host, started when it is not running (again after it died)."""
        from telvar.host import start_host

        if self._failure is not None:
            raise RuntimeError(self._failure)
        if self._handle is None or not self._handle.alive():
            if self._handle is not None:
                self._handle.stop()
                self._handle = None
            try:
                self._handle = start_host(self._store, results=self._results)
            except Exception as exc:
                self._failure = "the host of this node did not start: %s" % _short(exc)
                raise RuntimeError(self._failure) from None
        return self._handle.address, self._handle.token

    def warm(self):
        """Start the host now, while the node's workers are still getting ready; a failure is kept for
        ``connection`` to tell."""
        try:
            self.connection()
        except Exception:
            pass

    def stop(self):
        """Stop the host; returns what the node's hosts used: CPU seconds and peak memory (MiB)."""
        import resource

        if self._handle is not None:
            self._handle.stop()
            self._handle = None
        # the hosts are this actor's only children, waited for by stop()
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        return {"cpu_seconds": used.ru_utime + used.ru_stime, "peak_mib": used.ru_maxrss / 1024.0}


def _short(exc):
    """An error in a line: the host's start-up error ends with its own traceback, whose last line says it."""
    lines = [line.strip() for line in str(exc).strip().splitlines() if line.strip()]
    text = lines[0] if len(lines) < 2 else "%s %s" % (lines[0], lines[-1])
    return "%s: %s" % (type(exc).__name__, text)


def actor_class():
    import ray

    # a restarted actor starts its host again when next asked
    return ray.remote(num_cpus=0, max_restarts=2, max_task_retries=2)(NodeHost)


def start_node_hosts(sweep_id, store, node_ids, known, results=None):
    """Create the actors of the nodes in ``node_ids`` that have none yet; ``known`` maps node -> actor
    and is updated."""
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    cls = None
    for node_id in node_ids:
        if node_id in known:
            continue
        cls = cls or actor_class()
        known[node_id] = cls.options(
            name=actor_name(sweep_id, node_id),
            scheduling_strategy=NodeAffinitySchedulingStrategy(node_id, soft=False),
        ).remote(store, results)
        known[node_id].warm.remote()
    return known


def stop_node_hosts(actors, timeout=15.0):
    """Stop every node's host, then its actor; a node that is gone is skipped. Returns, per node
    that answered, what its hosts used (see ``NodeHost.stop``)."""
    import ray

    stops = {node: actor.stop.remote() for node, actor in actors.items()}
    used = {}
    try:
        ready, _ = ray.wait(list(stops.values()), num_returns=len(stops), timeout=timeout)
        for node, ref in stops.items():
            if ref in ready:
                try:
                    used[node] = ray.get(ref)
                except ray.exceptions.RayError:  # the node or its actor died
                    pass
    finally:
        for actor in actors.values():
            try:
                ray.kill(actor)
            except Exception:  # the node died with its actor
                pass
    actors.clear()
    return used


def find_node_host(sweep_id, node_id, wait=LOOKUP_SECONDS):
    """The actor of this node, waiting for the driver to create it on a node that just joined."""
    import ray

    name = actor_name(sweep_id, node_id)
    deadline = time.monotonic() + wait
    while True:
        try:
            return ray.get_actor(name)
        except ValueError:
            if time.monotonic() > deadline:
                raise RuntimeError("no host for node %s after %.0f s: did the sweep's driver end?"
                                   % (node_id, wait)) from None
            time.sleep(0.5)


__all__ = ["NodeHost", "start_node_hosts", "stop_node_hosts", "find_node_host", "actor_name"]
