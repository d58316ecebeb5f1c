"""The host's answer folder: files it writes for clients, removed when old or when over a size bound.

Each host writes into a folder of its own, created owner-only inside the
``--output`` folder (``telvar-answers-<random>``) and locked while the host
runs.  The host sweeps only there, and only names its writers give (the
answer names of ``telvar.wire.answer_files``: ``<stem>_<12 hex>.mat`` and part
files ``<stem>_<12 hex>_partN.mat``; the atomic writer's temporaries
``.telvar-tmp-XXXXXXXX.mat``, and ``.<name>.<32 hex>.tmp`` left by hosts of
earlier versions), so a user's own files in the output folder are never
touched, and hosts sharing one output folder keep out of each other's files.
A folder left by a host that was killed (its lock is free) is swept by
age by the next host that starts there, and removed once empty.

Answers are read once.  Files older than the keep time are removed; when the
folder holds more than its size bound, the oldest answers go first, but never
one younger than ``RECENT_SECONDS`` (a client may be about to read it): a
request whose answer finds the folder full of recent answers is refused. An
answer larger than the bound on its own is kept when no other is left.
"""
from __future__ import annotations

import fcntl
import os
import re
import tempfile
import threading
import time
from pathlib import Path

from telvar.kestrum.utils.atomicmat import is_temporary_name
from telvar.wire.answer_files import is_answer_name, part_paths

FOLDER_PREFIX = "telvar-answers-"
LOCK_NAME = ".host.lock"
RECENT_SECONDS = 60.0
# the temporaries of hosts of earlier versions, which named them after their answer
_EARLIER_TEMPORARY = re.compile(r"\.[0-9A-Za-z_-]{1,80}_[0-9a-f]{12}(?:_part[0-9]+)?\.mat\.[0-9a-f]{32}\.tmp")


class AnswerFolderFull(Exception):
    """Recent answers fill the folder up to its size bound."""


def is_host_file(name: str) -> bool:
    """True for the names the host's writers give answers, part files and temporaries."""
    return is_answer_name(name) or is_temporary_name(name) or bool(_EARLIER_TEMPORARY.fullmatch(name))


def _host_files(folder: Path) -> list[tuple[float, int, str]]:
    """(modification time, size, path) of the host's files in ``folder``, oldest first."""
    found = []
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return found
    for entry in entries:
        if not is_host_file(entry.name):
            continue
        try:
            st = entry.stat(follow_symlinks=False)
        except OSError:  # removed meanwhile (a client read it)
            continue
        found.append((st.st_mtime, st.st_size, entry.path))
    found.sort()
    return found


def _unlink(path: str) -> bool:
    try:
        os.unlink(path)
        return True
    except OSError:
        return False


def answer_paths(value, folder: Path) -> list[str]:
    """Paths of files in ``folder`` that an answer value names, with their part files."""
    names = []

    def walk(v, depth=0):
        if isinstance(v, str):
            if v.endswith(".mat") and os.path.dirname(v) == str(folder) and is_answer_name(os.path.basename(v)):
                names.append(v)
        elif isinstance(v, (list, tuple)) and depth < 3:
            for x in v:
                walk(x, depth + 1)
        elif isinstance(v, dict) and depth < 3:
            for x in v.values():
                walk(x, depth + 1)

    walk(value)
    paths = list(names)
    for p in names:
        paths += part_paths(folder, os.path.basename(p))
    return paths


class AnswerFolder:
    """The folder one host writes its answers into (see the module's docstring)."""

    def __init__(self, parent=None, keep_seconds: float = 3600.0, max_bytes: int | None = None,
                 recent_seconds: float = RECENT_SECONDS):
        # absolute: clients in other working folders open the paths the host answers
        self.parent = Path(os.path.abspath(parent if parent is not None else tempfile.gettempdir()))
        if not self.parent.exists():
            self.parent.mkdir(mode=0o700, parents=True)
        self.path = Path(tempfile.mkdtemp(prefix=FOLDER_PREFIX, dir=self.parent))  # owner-only
        self._lock_fd = os.open(self.path / LOCK_NAME, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(self._lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:  # a file system without locks: other hosts cannot tell it is alive, and leave it alone
            pass
        self.keep_seconds = float(keep_seconds)
        self.max_bytes = max_bytes
        self.recent_seconds = float(recent_seconds)
        self._mutex = threading.Lock()
        self._estimate = 0  # bytes written since the last scan, on top of what it found

    # ------------------------------------------------------------ sweeping
    def sweep(self, now: float | None = None) -> int:
        """Remove old files and, over the size bound, the oldest answers; returns how many were removed."""
        with self._mutex:
            removed, _ = self._sweep_locked(time.time() if now is None else now)
        return removed

    def _sweep_locked(self, now: float, keep=()) -> tuple[int, int]:
        removed, total, kept = 0, 0, []
        for mtime, size, path in _host_files(self.path):
            if mtime < now - self.keep_seconds and path not in keep:
                removed += _unlink(path)
            else:
                kept.append((mtime, size, path))
                total += size
        if self.max_bytes is not None and total > self.max_bytes:
            for mtime, size, path in kept:
                if total <= self.max_bytes or mtime >= now - self.recent_seconds:
                    break
                if path not in keep and _unlink(path):
                    removed += 1
                    total -= size
        self._estimate = total
        return removed, total

    def admit(self, paths: list[str]) -> None:
        """Account for a new answer's files; over the size bound, make room or raise ``AnswerFolderFull``.

        A refused answer's files are removed before the error is raised.
        """
        if not paths or self.max_bytes is None:
            return
        size = 0
        for p in paths:
            try:
                size += os.stat(p).st_size
            except OSError:
                pass
        with self._mutex:
            self._estimate += size
            if self._estimate <= self.max_bytes:
                return
            _, total = self._sweep_locked(time.time(), keep=set(paths))
            # one answer larger than the bound is let through when nothing else is left: waiting would
            # not make it fit, and a fetch must not fail only because it is large
            if total <= self.max_bytes or total <= size:
                return
            for p in paths:
                _unlink(p)
            self._estimate = total - size
        raise AnswerFolderFull(f"the answer folder {self.path} is full: recent answers hold {total - size} "
                               f"bytes and this one {size} bytes, more than its limit of {self.max_bytes} bytes; "
                               f"try again in a minute (the host's --max-output-bytes sets the limit)")

    def discard(self, paths: list[str]) -> None:
        """Remove files nobody will read (the answer to a request that asked for no reply)."""
        for p in paths:
            _unlink(p)

    def sweep_abandoned(self, now: float | None = None) -> int:
        """Sweep by age the folders that hosts killed before they could remove them; returns files removed."""
        now = time.time() if now is None else now
        removed = 0
        try:
            siblings = [e for e in os.scandir(self.parent) if e.name.startswith(FOLDER_PREFIX)]
        except OSError:
            return 0
        for entry in siblings:
            if entry.path == str(self.path) or not entry.is_dir(follow_symlinks=False):
                continue
            try:
                if entry.stat(follow_symlinks=False).st_uid != os.getuid():
                    continue
            except OSError:
                continue
            if _abandoned(Path(entry.path), now - max(self.recent_seconds, 60.0)):
                removed += _sweep_folder(Path(entry.path), now - self.keep_seconds)
        return removed

    def close(self) -> None:
        """Remove this host's files and its folder (a user's file put there stays, and so does the folder)."""
        for _, _, path in _host_files(self.path):
            _unlink(path)
        _unlink(str(self.path / LOCK_NAME))
        os.close(self._lock_fd)
        try:
            self.path.rmdir()
        except OSError:
            pass


def _abandoned(folder: Path, started_before: float) -> bool:
    """True when no host holds the folder's lock (and it is not one a host is just setting up)."""
    lock = folder / LOCK_NAME
    try:
        st = os.lstat(lock)
    except FileNotFoundError:
        try:
            return os.lstat(folder).st_mtime < started_before
        except OSError:
            return False
    except OSError:
        return False
    if st.st_mtime >= started_before:
        return False
    try:
        fd = os.open(lock, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)  # fails while the host that made the folder runs
    except OSError:
        return False
    finally:
        os.close(fd)
    return True


def _sweep_folder(folder: Path, older_than: float) -> int:
    """Remove the host files older than ``older_than``; the folder too once nothing else is left."""
    removed = 0
    for mtime, _, path in _host_files(folder):
        if mtime < older_than:
            removed += _unlink(path)
    try:
        left = [e.name for e in os.scandir(folder)]
    except OSError:
        return removed
    if left in ([], [LOCK_NAME]):
        _unlink(str(folder / LOCK_NAME))
        try:
            folder.rmdir()
        except OSError:
            pass
    return removed
