"""Getting the strategy class to the workers.

Ray pickles with cloudpickle, which sends a class by reference (module and
name, imported again on the worker) unless it was defined in ``__main__`` or
inside a function. A class of a script, a notebook or a test module next to
the user's code is importable here but usually not on a worker (another
working folder, another node): its module is pickled by value instead, with
cloudpickle's ``register_pickle_by_value``. Classes of installed packages
(site-packages, the standard library) and of telvar itself stay by reference,
since every node has them. Helper modules of the user's that the strategy
imports are still sent by reference: ship them with Ray's
``runtime_env={"py_modules": [...]}`` (see ``ray.init``).
"""
import hashlib
import os
import pickle
import sys
import sysconfig
import threading

_register_lock = threading.Lock()  # the by-value registry of cloudpickle is process-wide
_loaded = {}  # digest -> class, per worker process


def _installed_roots():
    roots = set()
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        path = sysconfig.get_paths().get(key)
        if path:
            roots.add(os.path.realpath(path))
    for path in sys.path:
        if path and os.path.basename(path) in ("site-packages", "dist-packages"):
            roots.add(os.path.realpath(path))
    return roots


def _inside(path, root):
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def needs_by_value(module):
    """True when ``module`` is the user's own code rather than something installed on every node."""
    name = getattr(module, "__name__", "")
    if name == "__main__" or name == "telvar" or name.startswith("telvar."):
        return name == "__main__"
    path = getattr(module, "__file__", None)
    if not path:
        return name not in sys.builtin_module_names
    path = os.path.realpath(path)
    return not any(_inside(path, root) for root in _installed_roots())


def pack(strategy):
    """The strategy class as bytes a worker can load (see the module's description)."""
    from ray import cloudpickle

    if not callable(strategy):
        raise TypeError("strategy must be a class (each back-test builds strategy(**params)), got %r" % (strategy,))
    module = sys.modules.get(getattr(strategy, "__module__", None) or "")
    with _register_lock:
        by_value = module is not None and module.__name__ != "__main__" and needs_by_value(module)
        registered = by_value and module.__name__ in cloudpickle.list_registry_pickle_by_value()
        if by_value and not registered:
            cloudpickle.register_pickle_by_value(module)
        try:
            return cloudpickle.dumps(strategy)
        finally:
            if by_value and not registered:
                cloudpickle.unregister_pickle_by_value(module)


def unpack(blob):
    """The class packed by ``pack``; loaded once per worker process."""
    digest = hashlib.sha256(blob).hexdigest()
    strategy = _loaded.get(digest)
    if strategy is None:
        strategy = _loaded[digest] = pickle.loads(blob)
    return strategy


__all__ = ["pack", "unpack", "needs_by_value"]
