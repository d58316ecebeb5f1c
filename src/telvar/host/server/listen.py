"""The host's Unix socket: claimed without harming what is at its path, and owner-only.

``claim_socket_path`` removes only a stale socket (one nobody answers on) and
refuses anything else at the path.  ``bind_owner_only`` binds the socket
inside a fresh owner-only folder, makes it 0600 and links it to its path, so
it is never reachable by others, whatever the umask, and never replaces a
file that appeared at the path meanwhile.  ``peer_is_trusted`` tells whether
a connected peer runs as this user (or root).
"""
from __future__ import annotations

import os
import socket
import stat
import struct
import tempfile
from pathlib import Path

_SUN_PATH_MAX = 107


class SocketPathError(OSError):
    """The socket path is taken by something the host must not remove."""


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a folder"
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    if stat.S_ISREG(mode):
        return "a regular file"
    return "a file that is not a socket"


def claim_socket_path(path) -> bool:
    """Make ``path`` free for a new socket; True when a stale socket was removed.

    Raises ``SocketPathError`` naming the path for anything else there: a
    file, a folder, a link, another user's socket or a socket someone answers on.
    """
    path = os.fspath(path)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return False
    if not stat.S_ISSOCK(st.st_mode):
        raise SocketPathError(f"cannot serve on {path}: it is {_kind(st.st_mode)}, not a socket "
                              f"(left as it is; choose another socket path)")
    if st.st_uid != os.getuid():
        raise SocketPathError(f"cannot serve on {path}: it is a socket of another user (uid {st.st_uid})")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        probe.settimeout(1.0)
        try:
            probe.connect(path)
        except ConnectionRefusedError:
            os.unlink(path)  # nobody listens: left behind by a host that was killed
            return True
        except OSError as exc:
            raise SocketPathError(f"cannot serve on {path}: the socket there cannot be checked ({exc})") from None
    raise SocketPathError(f"cannot serve on {path}: a live socket is there (another host is serving on it)")


def make_socket_folder(path) -> bool:
    """Create the socket's folder owner-only when it is missing; True when it was created."""
    folder = Path(os.fspath(path)).parent
    if folder.exists():
        return False
    folder.mkdir(mode=0o700, parents=True)
    os.chmod(folder, 0o700)
    return True


def bind_owner_only(sock: socket.socket, path) -> None:
    """Bind ``sock`` at ``path`` as an owner-only (0600) socket with no moment open to others."""
    path = os.fspath(path)
    parent = os.path.dirname(os.path.abspath(path))
    private = tempfile.mkdtemp(prefix=".tv", dir=parent)  # 0700: nobody else can reach what is inside
    inner = os.path.join(private, "s")
    try:
        if len(os.fsencode(inner)) > _SUN_PATH_MAX:
            _bind_under_umask(sock, path)
            return
        sock.bind(inner)
        os.chmod(inner, 0o600)
        try:
            os.link(inner, path)
        except FileExistsError:
            raise SocketPathError(f"cannot serve on {path}: something appeared there while the host started") from None
    finally:
        for leftover in (inner, private):
            try:
                (os.rmdir if leftover == private else os.unlink)(leftover)
            except OSError:
                pass


def _bind_under_umask(sock: socket.socket, path: str) -> None:
    # the private folder's path is too long for a socket: bind at the path itself under a tight umask
    old = os.umask(0o177)
    try:
        sock.bind(path)
    finally:
        os.umask(old)
    os.chmod(path, 0o600)


def peer_is_trusted(sock: socket.socket) -> tuple[bool, int | None]:
    """(trusted, uid) of a Unix-socket peer: this user or root; (True, None) where the system cannot tell."""
    try:
        creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    except (AttributeError, OSError):
        return True, None
    _, uid, _ = struct.unpack("3i", creds)
    return uid in (os.getuid(), 0), uid
