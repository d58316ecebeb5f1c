"""Atomic MATLAB v5 writes, for the framework's caches and the host's answers alike.

A file is written under a temporary name in its own folder and renamed into
place, so a reader never sees half a file.  The temporary names are
``.telvar-tmp-`` + mkstemp's eight letters, digits or '_' + ``.mat``; a writer
that was killed leaves its temporary behind, and the next write into that
folder removes such leftovers once they are old.
"""
import os
import re
import tempfile
import time

from telvar.kestrum import _matio

_TEMP_PREFIX = ".telvar-tmp-"
_TEMP_NAME = re.compile(r"\.telvar-tmp-[a-z0-9_]{8}\.mat")
# Earlier versions named them ".tmp-XXXXXXXX.mat"; those are removed only in
# telvar's own folders, where no other program writes.
_EARLIER_TEMP_NAME = re.compile(r"\.tmp-[a-z0-9_]{8}\.mat")
# A temporary file older than this was left by a writer that was killed
# (writing one cache file takes seconds); a younger one may be in use.
STALE_TEMPORARY_SECONDS = 3600.0
# Each folder is looked through at most this often by one process.
_SWEEP_INTERVAL_SECONDS = 600.0
_last_sweep = {}


def is_temporary_name(name):
    """True for the names ``write_mat_atomic`` gives its temporary files."""
    return bool(_TEMP_NAME.fullmatch(name))


def remove_stale_temporaries(directory, now=None):
    """Remove the temporary files that killed writers left in ``directory``.

    Only files of the writer's own temporary names that were last modified
    more than ``STALE_TEMPORARY_SECONDS`` ago are removed; a folder is looked
    through at most once every ten minutes per process. Returns how many
    files were removed.
    """
    now = time.time() if now is None else now
    key = os.path.realpath(directory)
    last = _last_sweep.get(key)
    if last is not None and 0 <= now - last < _SWEEP_INTERVAL_SECONDS:
        return 0
    _last_sweep[key] = now
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return 0
    earlier_names_too = None
    removed = 0
    for entry in entries:
        if not _TEMP_NAME.fullmatch(entry.name):
            if not _EARLIER_TEMP_NAME.fullmatch(entry.name):
                continue
            if earlier_names_too is None:
                from telvar.kestrum.ownership import is_owned

                earlier_names_too = is_owned(os.path.join(directory, "x"))
            if not earlier_names_too:
                continue
        try:
            st = entry.stat(follow_symlinks=False)
            if entry.is_file(follow_symlinks=False) and now - st.st_mtime > STALE_TEMPORARY_SECONDS:
                os.remove(entry.path)
                removed += 1
        except OSError:  # removed meanwhile by another writer
            continue
    return removed


def write_mat_atomic(path, mdict, oned_as="row", long_field_names=False, do_compression=False, sync=True):
    """Write the variables ``mdict`` to ``path`` (an existing folder) through a temporary file and a rename.

    The file is what ``scipy.io.savemat`` writes with the same options; arrays
    are written from where they lie. ``sync`` waits until the file is on disk
    before it is renamed into place. Leftover temporaries in the folder are
    removed first (``remove_stale_temporaries``). Returns ``path``.
    """
    directory = os.path.dirname(os.path.abspath(path))
    remove_stale_temporaries(directory)
    fd, tmp = tempfile.mkstemp(prefix=_TEMP_PREFIX, suffix=".mat", dir=directory)
    os.close(fd)
    try:
        _matio.write(tmp, mdict, oned_as=oned_as, long_field_names=long_field_names,
                     do_compression=do_compression, sync=sync)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise
    return path


__all__ = ["STALE_TEMPORARY_SECONDS", "is_temporary_name", "remove_stale_temporaries", "write_mat_atomic"]
