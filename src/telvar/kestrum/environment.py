"""The framework's environment (``cnt.env``): file manager and K-matrix helpers."""
import os

import numpy as np

from telvar.kestrum import globalvars as gv
from telvar.kestrum.cachescope import CACHES_DIR, StoreScope, is_inside, remove_stale, scope_folders

ROOT_ENV_VAR = "TELVAR_HOME"


def _default_root():
    return os.environ.get(ROOT_ENV_VAR) or os.path.join(os.path.expanduser("~"), ".telvar")


def _check_part(part):
    if not isinstance(part, str) or not part or part in (".", "..") or "/" in part or os.sep in part:
        raise ValueError("sub-directory names must be plain names, got %r" % (part,))
    if os.altsep and os.altsep in part:
        raise ValueError("sub-directory names must be plain names, got %r" % (part,))
    return part


class FileManager:
    """Directories for caches and files, all under one root.

    The root is ``$TELVAR_HOME`` if set, else ``~/.telvar``; ``set_root``
    changes it. Directories are created when handed out.

    Caches live in a folder per store identity and data version
    (``cache_dir``, see ``telvar.kestrum.cachescope``): the command channel
    sets the scope when it attaches to a host (``set_store_scope``); entries
    of another data version are never read and are removed. ``get_sub_dir``
    hands out folders outside any scope, for files that are not caches.
    """

    def __init__(self, root=None):
        self._root = None
        self._scope = None
        self._pruned = None  # (root, store folder, version folder) whose stale siblings are gone
        # called before a cache is handed out; the command channel installs one that
        # reconnects a lost connection, so that the scope follows a restarted host
        self.store_guard = None
        self.set_root(root)

    @property
    def root(self):
        return self._root

    def set_root(self, path=None):
        """Use ``path`` as the root (None: the default root). Returns the absolute root."""
        path = _default_root() if path is None else os.fspath(path)
        self._root = os.path.abspath(os.path.expanduser(path))
        return self._root

    def root_sub_dir(self, name):
        """Directory ``<root>/<name>``, created if missing."""
        return self.get_sub_dir(name)

    def get_sub_dir(self, *names):
        """Directory ``<root>/<names[0]>/<names[1]>/...``, created if missing."""
        if not names:
            raise TypeError("get_sub_dir() needs at least one directory name")
        path = os.path.join(self._root, *(_check_part(n) for n in names))
        os.makedirs(path, exist_ok=True)
        return path

    @property
    def store_scope(self):
        """The ``StoreScope`` the caches belong to; None when no host is attached."""
        return self._scope

    def set_store_scope(self, scope):
        """Scope the caches to ``scope`` (a ``StoreScope``; None: no store). True when it changed.

        Attaching to a store removes the folders of its other data versions at once.
        """
        if scope is not None and not isinstance(scope, StoreScope):
            raise TypeError("scope must be a StoreScope or None, got %r" % (scope,))
        changed = scope != self._scope
        self._scope = scope
        if scope is not None:
            self.scope_dir()
        return changed

    @property
    def cache_root(self):
        """``<root>/caches``: the scope folders of every store."""
        return os.path.join(self._root, CACHES_DIR)

    def _scope_path(self):
        store_folder, version_folder = scope_folders(self._scope)
        return os.path.join(self._root, CACHES_DIR, store_folder, version_folder), store_folder, version_folder

    def scope_dir(self):
        """The folder of the current store scope (not created); stale siblings are removed on first use."""
        path, store_folder, version_folder = self._scope_path()
        if self._pruned != (self._root, store_folder, version_folder):
            remove_stale(self._root, store_folder, version_folder)
            self._pruned = (self._root, store_folder, version_folder)
        return path

    def confirm_store(self):
        """Make sure the scope is the attached host's current store (see ``store_guard``)."""
        guard = self.store_guard
        if guard is not None:
            guard()

    def cache_dir(self, *names):
        """Cache directory ``<scope folder>/<names[0]>/...`` of the current store scope, created if missing."""
        self.confirm_store()
        path = os.path.join(self.scope_dir(), *(_check_part(n) for n in names))
        os.makedirs(path, exist_ok=True)
        return path

    def is_current_cache_path(self, path):
        """False when ``path`` lies among the caches of another store scope than the current one.

        A reader or writer that picked its folder before the process attached
        to another store (or data version) must neither read nor write there.
        Paths outside ``cache_root`` are the caller's own business: True.
        """
        if not is_inside(path, self.cache_root):
            return True
        return is_inside(path, self._scope_path()[0])

    def __repr__(self):
        return "FileManager(root=%r)" % self._root


class Environment:
    """``cnt.env``: the file manager plus helpers that read the run state."""

    def __init__(self, vr):
        self._vr = vr
        self.fm = FileManager()
        self.cache_enabled = True  # False: load_mat_cache finds nothing, save_mat_cache writes nothing
        self._fresh_bar_timeline = None

    def reset(self):
        """Forget per-run settings (the file manager root, the store scope and the cache switch stay)."""
        self._fresh_bar_timeline = None

    def confirm_store(self):
        """Before a process-wide in-memory cache is used: follow a host restarted on another store."""
        self.fm.confirm_store()

    def attach_store(self, store_id=None, data_version=None):
        """Scope caches to a store's identity and data version (both None: no store).

        When the scope changes, the process-wide in-memory caches of the run
        state (calendar, target information, ticks) are dropped too: they were
        filled from the other store or version. Returns True when it changed.
        """
        scope = None if store_id is None and data_version is None else StoreScope(store_id, data_version)
        changed = self.fm.set_store_scope(scope)
        if changed:
            self._vr.drop_store_caches()
        return changed

    @property
    def fresh_bar_timeline(self):
        """The strategy's bar times: row 0 of the fresh-bar store unless set explicitly."""
        if self._fresh_bar_timeline is not None:
            return self._fresh_bar_timeline
        store = np.asarray(self._vr.g_TelvarDataValueFresh)
        if store.ndim == 2:
            return store[gv.KMatrixPos_TimeLine]
        return store.ravel()

    @fresh_bar_timeline.setter
    def fresh_bar_timeline(self, time_line):
        self._fresh_bar_timeline = None if time_line is None else np.asarray(time_line, dtype=np.float64).ravel()

    @staticmethod
    def generate_kmatrix_array(targets_len, bars_len, bar_len=gv.KMatrix_Bar_Len):
        """A NaN-filled K matrix: head rows plus ``bar_len`` rows per target, ``bars_len`` columns."""
        targets_len = _count(targets_len, "targets_len")
        bars_len = _count(bars_len, "bars_len")
        return np.full((gv.KMatrixPos_Head_len + targets_len * bar_len, bars_len), np.nan, dtype=np.float64)

    def get_target_name(self, target_idxs):
        """Dotted target keys ("MARKET.CODE") of the strategy's targets at ``target_idxs``.

        A single index or an iterable of indices; always returns a list.
        """
        dotted = self._vr.g_TelvarInputInfo.TargetListDot
        if np.ndim(target_idxs) == 0:
            return [dotted[_index(target_idxs)]]
        return [dotted[_index(i)] for i in np.asarray(target_idxs).ravel()]


def _count(value, name):
    """A non-negative integer count; integral floats (e.g. read from a MAT file) are accepted."""
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError("%s must be an integer count, got %r" % (name, value))
    if value < 0:
        raise ValueError("%s must be a non-negative integer, got %r" % (name, value))
    return int(value)


def _index(value):
    """A target index: a non-negative integer (integral floats accepted)."""
    if isinstance(value, (float, np.floating)):
        if not float(value).is_integer():
            raise ValueError("target index must be an integer, got %r" % (value,))
        value = int(value)
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError("target index must be an integer, got %r" % (value,))
    if value < 0:
        raise IndexError("target index %d is negative" % value)
    return int(value)


__all__ = ["FileManager", "Environment", "ROOT_ENV_VAR"]
