"""Tokens of TCP hosts.

Anyone on the machine can connect to 127.0.0.1, so a TCP host answers only
connections whose first request carries its token (see ``frames``).  The
token lives in an owner-only file: ``serve --token-file PATH`` reads it from
PATH (or writes a new one there when PATH does not exist); without the option
the host writes a new token to ``default_token_path(port)``, where a client
of the same user finds it by the address alone.

A client takes its token from, in this order: the ``token`` argument of
``comm.connect``; the file named by its ``token_file`` argument; the token of
a host this process started on that port (``start_host``); the file named by
``$TELVAR_HOST_TOKEN_FILE``; the default file of the address.

Unix-socket hosts need no token: their socket is owner-only and the host
also checks the peer's user id, and whoever could read a token file could
connect to the socket anyway.  ``serve --socket ... --token-file PATH`` asks
for one all the same; a host without a token ignores a token it is sent.
"""
from __future__ import annotations

import hmac
import os
import secrets
import stat
from pathlib import Path

from telvar.common.userdirs import token_dir, write_private_text

TOKEN_FILE_ENV = "TELVAR_HOST_TOKEN_FILE"
_MAX_TOKEN = 1024
_started_here: dict[int, str] = {}  # port -> token of the TCP hosts this process started


class TokenFileError(PermissionError):
    """A token file that cannot be used: missing, unreadable, empty, or open to other users."""


def new_token() -> str:
    return secrets.token_hex(32)


def default_token_path(port: int, create_folder: bool = True) -> Path:
    return token_dir(create_folder) / f"host-127.0.0.1-{int(port)}.token"


def write_token(path, token: str) -> Path:
    """Write ``token`` to ``path`` owner-only (0600 whatever the umask) through a temporary file and a rename."""
    try:
        return write_private_text(path, token + "\n")
    except OSError as exc:
        raise TokenFileError(f"cannot write the token file {path}: {exc.strerror or exc}") from None


def read_token(path) -> str:
    """The token in ``path``; the file must be the user's own and closed to others."""
    path = Path(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError as exc:
        raise TokenFileError(f"cannot read the token file {path}: {exc.strerror}") from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise TokenFileError(f"the token file {path} is not a regular file")
        if st.st_uid != os.getuid():
            raise TokenFileError(f"the token file {path} belongs to another user (uid {st.st_uid})")
        if st.st_mode & 0o077:
            raise TokenFileError(f"the token file {path} is open to other users (mode "
                                 f"{stat.S_IMODE(st.st_mode):04o}); make it owner-only: chmod 600 {path}")
        data = os.read(fd, _MAX_TOKEN + 2)
    finally:
        os.close(fd)
    token = data.decode("ascii", "replace").strip()
    if not token or len(token) > _MAX_TOKEN or not token.isprintable():
        raise TokenFileError(f"the token file {path} holds no usable token (one line of at most "
                             f"{_MAX_TOKEN} printable characters)")
    return token


def tokens_match(given, expected: str) -> bool:
    """Compare in constant time, so the answer's timing tells nothing about the token."""
    if not isinstance(given, str):
        return False
    return hmac.compare_digest(given.encode("utf-8", "replace"), expected.encode("utf-8"))


def client_token(port: int | None, token=None, token_file=None) -> str | None:
    """The token a client presents (see the module's docstring); None when none is found.

    ``port`` is the TCP host's port, None for a Unix socket (which has no default token file).
    """
    if token is not None:
        return str(token)
    if token_file:
        return read_token(token_file)
    if port is not None and int(port) in _started_here:
        return _started_here[int(port)]
    if os.environ.get(TOKEN_FILE_ENV):
        return read_token(os.environ[TOKEN_FILE_ENV])
    if port is None:
        return None
    path = default_token_path(port, create_folder=False)
    return read_token(path) if path.exists() else None


def remember_token(port: int, token: str | None) -> None:
    """Let clients in this process find the token of a TCP host it started (None forgets it)."""
    if token is None:
        _started_here.pop(int(port), None)
    else:
        _started_here[int(port)] = token
