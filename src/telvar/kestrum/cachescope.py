"""Where on-disk caches live: one folder per store identity, one sub-folder per data version.

Every cache file the framework and the modules write is kept under

    <file manager root>/caches/store-<store id>/f<CACHE_FORMAT>-<data version>/

for the store the process is attached to (``telvar.kestrum.comm.connect``
asks the host for both values). Entries made from another data version of the
store, or under another cache format, sit in sibling folders: they are never
read, and they are removed when the process attaches to the store. With no
host attached (code that fakes ``tvcmd``), caches go to
``caches/no-store/f<CACHE_FORMAT>``; nothing there belongs to any store.

``CACHE_FORMAT`` names how cache entries are built; it changes whenever an
entry built by older code must not be read again (e.g. a new rule for
combining bars).
"""
import hashlib
import os
import re
import shutil
from dataclasses import dataclass

CACHE_FORMAT = 2
CACHES_DIR = "caches"
NO_STORE_DIR = "no-store"
# the folder of caches written before they were scoped: its store is unknown
LEGACY_CACHE_DIR = "mat"

_PLAIN = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")


@dataclass(frozen=True)
class StoreScope:
    """The store identity and data version a process's caches belong to."""

    store_id: str
    data_version: str

    def __post_init__(self):
        for name in ("store_id", "data_version"):
            value = getattr(self, name)
            if not isinstance(value, str) or not value:
                raise ValueError("%s must be a non-empty text, got %r" % (name, value))


def _plain(value):
    """``value`` itself when it is a safe folder name, else a digest of it."""
    if _PLAIN.fullmatch(value):
        return value
    return "h" + hashlib.sha256(value.encode("utf-8", "surrogateescape")).hexdigest()[:32]


def scope_folders(scope):
    """(store folder, version folder) names of ``scope`` (None: no store)."""
    if scope is None:
        return NO_STORE_DIR, "f%d" % CACHE_FORMAT
    return "store-" + _plain(scope.store_id), "f%d-%s" % (CACHE_FORMAT, _plain(scope.data_version))


def remove_stale(root, store_folder, version_folder):
    """Remove every entry of ``<root>/caches/<store_folder>`` except ``version_folder``,
    and the unscoped cache folder of earlier versions.

    Removal is best effort: another process may be writing there (its write
    then fails and is reported as a failed cache write, never read back).
    """
    store_dir = os.path.join(root, CACHES_DIR, store_folder)
    try:
        entries = os.listdir(store_dir)
    except OSError:
        entries = []
    for name in entries:
        if name != version_folder:
            _remove_entry(os.path.join(store_dir, name))
    legacy = os.path.join(root, LEGACY_CACHE_DIR)
    if os.path.isdir(legacy) and not os.path.islink(legacy):
        shutil.rmtree(legacy, ignore_errors=True)


def _remove_entry(path):
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.remove(path)
    except OSError:
        pass


def is_inside(path, folder):
    """True when ``path`` is ``folder`` or lies below it (both made absolute, links not followed)."""
    path, folder = os.path.abspath(os.fspath(path)), os.path.abspath(os.fspath(folder))
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


__all__ = ["CACHE_FORMAT", "CACHES_DIR", "NO_STORE_DIR", "StoreScope", "scope_folders", "remove_stale",
           "is_inside"]
