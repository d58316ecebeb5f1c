"""A host log that client text cannot forge lines in.

Every record's message is written on one line with control characters, line
separators and backslashes escaped (``\\n``, ``\\x1b``, ``\\\\``); traceback
lines follow indented by ``    | ``, so no text a client sends can start a
line that looks like a record of its own.
"""
from __future__ import annotations

import logging
import re

_UNSAFE = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\\]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\\": "\\\\"}


def _escape_char(match: re.Match) -> str:
    c = match.group()
    return _NAMED.get(c) or (f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}")


def escape(text) -> str:
    """``text`` on one line, with control characters and backslashes escaped."""
    return _UNSAFE.sub(_escape_char, str(text))


class OneLineFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        msg, args = record.msg, record.args
        record.msg, record.args = escape(record.getMessage()), None
        try:
            return super().format(record)
        finally:
            record.msg, record.args = msg, args

    def formatException(self, ei) -> str:
        return "\n".join("    | " + escape(line) for line in super().formatException(ei).splitlines())

    def formatStack(self, stack_info: str) -> str:
        return "\n".join("    | " + escape(line) for line in stack_info.splitlines())
