"""Pieces of ``python -m telvar.host serve``: option types, the token file and the ready file."""
from __future__ import annotations

import argparse
import json
import os
from pathlib import Path

from telvar.common.userdirs import write_private_text
from telvar.wire.tokens import TokenFileError, new_token, read_token, write_token

SERVE_DESCRIPTION = """\
Serve a store to strategy processes on a Unix socket or on 127.0.0.1.

A Unix socket is owner-only and serves only the user who started the host.
A TCP host answers only connections that present its token (see --token-file).
Answer files go to a folder of the host's own inside --output and are removed
after a client has read them, when older than --keep-seconds, or (oldest
first) when the folder holds more than --max-output-bytes.
"""


def _number(kind, text: str, least, strict: bool):
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if value < least or (strict and value == least) or value != value:
        raise argparse.ArgumentTypeError(f"expected a {'positive' if strict else 'non-negative'} number, got {text}")
    return value


def positive_int(text: str) -> int:
    return _number(int, text, 0, True)


def nonnegative_int(text: str) -> int:
    return _number(int, text, 0, False)


def positive_float(text: str) -> float:
    return _number(float, text, 0.0, True)


def nonnegative_float(text: str) -> float:
    return _number(float, text, 0.0, False)


def token_from_file(token_file):
    """(token, written): the token in ``token_file``, or a new one written there when it does not exist."""
    if not token_file:
        return None, False
    if os.path.lexists(token_file):
        return read_token(token_file), False
    token = new_token()
    write_token(token_file, token)
    return token, True


def remove_token(path: Path, token: str) -> None:
    try:
        if read_token(path) == token:  # not one a later host wrote there
            path.unlink()
    except (OSError, TokenFileError):
        pass


def write_ready_file(path, host) -> None:
    """Tell the starter where the host listens and writes its answers (owner-only JSON)."""
    write_private_text(path, json.dumps({"address": host.address, "answer_dir": str(host.out_dir),
                                         "pid": os.getpid()}))
