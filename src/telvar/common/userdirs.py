"""The user's own folders for telvar: the cache folder, the data folder and the folder for host tokens.

``$XDG_CACHE_HOME/telvar`` (else ``~/.cache/telvar``) holds the sample store
and, when ``$XDG_RUNTIME_DIR`` is not set, the token files of TCP hosts;
``$XDG_DATA_HOME/telvar`` (else ``~/.local/share/telvar``) the results of
back-tests.  The folders are created owner-only; a folder that another user
owns is refused rather than used (whoever can write there could hand us a
store or a token of theirs), and write access for others is taken away from
one of our own.
"""
from __future__ import annotations

import os
import secrets
import stat
from pathlib import Path


class UnsafeFolderError(PermissionError):
    """A folder telvar would keep private files in is not the user's own."""


def _base(env_name: str, fallback: Path | None) -> Path | None:
    value = os.environ.get(env_name, "")
    if value and os.path.isabs(value):  # a relative value is ignored, as the XDG rules say
        return Path(value)
    return fallback


def private_folder(path: Path) -> Path:
    """``path`` created owner-only when missing; an existing one must be ours and not writable by others."""
    path = Path(path)
    path.mkdir(mode=0o700, parents=True, exist_ok=True)
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode):
        raise UnsafeFolderError(f"{path} is not a folder")
    if st.st_uid != os.getuid():
        raise UnsafeFolderError(f"{path} belongs to another user (uid {st.st_uid}); telvar keeps private "
                                f"files there and will not use it")
    if st.st_mode & 0o022:
        os.chmod(path, stat.S_IMODE(st.st_mode) & ~0o022)
    return path


def cache_dir() -> Path:
    """``$XDG_CACHE_HOME/telvar`` or ``~/.cache/telvar``, owner-only."""
    return private_folder(_base("XDG_CACHE_HOME", Path.home() / ".cache") / "telvar")


def data_dir(create: bool = True) -> Path:
    """``$XDG_DATA_HOME/telvar`` or ``~/.local/share/telvar`` (the hosts' results databases), owner-only."""
    folder = _base("XDG_DATA_HOME", Path.home() / ".local" / "share") / "telvar"
    return private_folder(folder) if create else folder


def token_dir(create: bool = True) -> Path:
    """Where TCP hosts leave their tokens by default: ``$XDG_RUNTIME_DIR/telvar``, else ``<cache_dir>/hosts``.

    ``create=False`` only names it (a client looking for a token creates nothing).
    """
    runtime = _base("XDG_RUNTIME_DIR", None)
    if runtime is not None and runtime.is_dir():
        folder = runtime / "telvar"
    else:
        folder = _base("XDG_CACHE_HOME", Path.home() / ".cache") / "telvar" / "hosts"
    return private_folder(folder) if create else folder


def write_private_text(path, text: str) -> Path:
    """Write ``text`` to ``path`` owner-only (0600 whatever the umask) through a temporary file and a rename."""
    path = Path(path)
    tmp = path.with_name(f".{path.name}.{secrets.token_hex(8)}.tmp")
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "wb") as fh:
            os.fchmod(fd, 0o600)
            fh.write(text.encode("utf-8"))
            fh.flush()
            os.fsync(fd)
        os.replace(tmp, path)
    except OSError:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return path
