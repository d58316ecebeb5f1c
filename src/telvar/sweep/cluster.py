"""Joining Ray: a local instance on this machine's cores, or a running cluster by address."""
import threading

_init_lock = threading.Lock()  # two sweeps started at once must not both start Ray


def ray_module():
    try:
        import ray
    except ImportError:
        raise ImportError("telvar.sweep runs back-tests on Ray, which is not installed: "
                          "pip install 'telvar[sweep]' (or 'ray>=2.9')") from None
    return ray


def connect(address=None, num_cpus=None):
    """Ray, initialised: ``address=None`` starts a local instance (or joins the one this machine runs,
    see ``ray.init``), ``'auto'`` or ``'HOST:PORT'`` joins a cluster. A Ray already initialised in
    this process is used as it is. Returns (ray, True when this call started or joined it)."""
    ray = ray_module()
    with _init_lock:
        if ray.is_initialized():
            return ray, False
        options = {}
        if num_cpus is not None:
            options["num_cpus"] = num_cpus
        ray.init(address=address, **options)
    return ray, True


def backtest_nodes():
    """Ids of the living nodes that have CPUs to run back-tests."""
    import ray

    return [node["NodeID"] for node in ray.nodes()
            if node.get("Alive") and node.get("Resources", {}).get("CPU", 0) > 0]


def this_node():
    import ray

    return ray.get_runtime_context().get_node_id()


__all__ = ["connect", "backtest_nodes", "this_node", "ray_module"]
