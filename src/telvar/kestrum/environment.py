"""The framework's environment (``cnt.env``): file manager and K-matrix helpers."""
import os

import numpy as np

from telvar.kestrum import globalvars as gv

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
    """

    def __init__(self, root=None):
        self._root = None
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
        """Forget per-run settings (the file manager root and the cache switch stay)."""
        self._fresh_bar_timeline = None

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
