"""The command channel to the host terminal.

``connect(address)`` attaches the process to a host (``'unix:PATH'`` or
``'tcp:127.0.0.1:PORT'``) and installs the host-backed framework objects:

- ``cnt.vr.g_TelvarSocket``: the command socket (``get_timeout()`` /
  ``set_timeout(ms)``; time-outs are in milliseconds);
- ``cnt.vr.g_TelvarMainContracts``: ``main_contracts(keys, begin, end)``;
- ``cnt.vr.g_TelvarInstrument``: ``history_instruments(keys, begin, end)`` and
  ``get_by_offset(targets, end_date, past_len=1, reference=True, fill=True)``.

``tvcmd`` has one method per host command.  Each blocks until the host answers
and returns the answer; a host error raises ``TvReturnError`` with the host's
message; a host that does not answer in time raises ``HostTimeoutError`` and a
host that cannot be reached ``HostConnectionError``, both naming the address.
After either, the next command opens a fresh connection.
"""
from __future__ import annotations

import atexit
import socket
import threading

from telvar.host.protocol import ProtocolError, encode, format_address, parse_address, read_frame
from telvar.kestrum.utils.exceptions import TvReturnError
from telvar.kestrum.utils.utilcls import OrderedDict

DEFAULT_TIMEOUT_MS = 60000


class HostConnectionError(ConnectionError):
    """The host cannot be reached, or it closed the connection during a command."""


class HostTimeoutError(TimeoutError):
    """The host did not answer within the socket's time-out."""


class TelvarSocket:
    """The process's command socket to one host; thread-safe, reconnects after a failure."""

    def __init__(self, address, timeout=DEFAULT_TIMEOUT_MS):
        self._kind, self._where = parse_address(address)
        self.address = format_address(self._kind, self._where)
        self._timeout = None
        self._sock = None
        self._lock = threading.Lock()
        self.set_timeout(timeout)

    def get_timeout(self):
        return self._timeout

    def set_timeout(self, value):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
            raise ValueError(f"time-out must be a positive number of milliseconds, got {value!r}")
        self._timeout = value
        if self._sock is not None:
            self._sock.settimeout(value / 1000.0)

    def _open(self):
        fam = socket.AF_UNIX if self._kind == "unix" else socket.AF_INET
        s = socket.socket(fam, socket.SOCK_STREAM)
        s.settimeout(self._timeout / 1000.0)
        try:
            s.connect(self._where)
        except OSError as exc:
            s.close()
            raise HostConnectionError(f"cannot reach the host at {self.address}: {exc}") from None
        self._sock = s

    def close(self):
        if self._sock is not None:
            try:
                self._sock.close()
            finally:
                self._sock = None

    def request(self, cmd: str, args=(), kwargs=None, reply=True):
        frame = encode({"cmd": cmd, "args": list(args), "kwargs": dict(kwargs or {}), "reply": bool(reply)})
        with self._lock:
            if self._sock is None:
                self._open()
            try:
                self._sock.sendall(frame)
                if not reply:
                    return None
                answer = read_frame(self._sock)
            except socket.timeout:
                self.close()  # a late answer would be read by the next command
                raise HostTimeoutError(f"the host at {self.address} did not answer {cmd} within "
                                       f"{self._timeout} ms") from None
            except (OSError, ProtocolError) as exc:
                self.close()
                raise HostConnectionError(f"lost the host at {self.address} during {cmd}: {exc}") from None
            except BaseException:  # e.g. KeyboardInterrupt: the answer would be read by the next command
                self.close()
                raise
            if answer is None:
                self.close()
                raise HostConnectionError(f"the host at {self.address} closed the connection during {cmd}")
        if not isinstance(answer, dict) or "ok" not in answer:
            raise HostConnectionError(f"the host at {self.address} sent a malformed answer to {cmd}")
        if not answer["ok"]:
            raise TvReturnError(answer.get("error", f"{cmd} failed"))
        return answer.get("value")


_channel: TelvarSocket | None = None


def channel() -> TelvarSocket:
    if _channel is None:
        raise HostConnectionError("not connected to a host; call telvar.kestrum.comm.connect(address) first")
    return _channel


def _send(cmd, *args, reply=True, **kwargs):
    return channel().request(cmd, args, kwargs, reply=reply)


class TvCmd:
    """One method per host command, with the host's argument order."""

    def call(self, command_name, *args, **kwargs):
        """Send any command by name (commands added to the host beyond the named methods)."""
        return _send(command_name, *args, **kwargs)

    def tvSendCmdPutLog(self, task_id, message):
        return _send("tvSendCmdPutLog", task_id, message)

    def tvSendCmdGetKData(self, targets, frequency, units, begin_date, end_date, filled_up, fq, noReturn=False):
        return _send("tvSendCmdGetKData", targets, frequency, units, begin_date, end_date, filled_up, fq,
                     noReturn=bool(noReturn), reply=not noReturn)

    def tvSendCmdGetKDataMulti(self, targets, frequency, begin_date, end_date, filled_up, fq):
        return _send("tvSendCmdGetKDataMulti", targets, frequency, begin_date, end_date, filled_up, fq)

    def tvSendCmdGetNKDataMulti(self, targets, frequency, units, count, end_date, filled_up, fq):
        return _send("tvSendCmdGetNKDataMulti", targets, frequency, units, count, end_date, filled_up, fq)

    def tvSendCmdGetTDPData(self, market, code, day, fq, no_return=False, check_permission=True):
        return _send("tvSendCmdGetTDPData", market, code, day, fq, no_return=bool(no_return),
                     check_permission=check_permission, reply=not no_return)

    def tvSendCmdGetTDPDataMulti(self, targets, begin_date, end_date, fq):
        return _send("tvSendCmdGetTDPDataMulti", targets, begin_date, end_date, fq)

    def tvSendCmdTransTradeTimeToTradeDate(self, bar_time):
        return _send("tvSendCmdTransTradeTimeToTradeDate", bar_time)

    def tvSendCmdGetTradingDays(self):
        return _send("tvSendCmdGetTradingDays")

    def tvSendCmdGetCurTradeDate(self):
        return _send("tvSendCmdGetCurTradeDate")

    def tvSendCmdGetTradingDaysCondition(self, market, begin_date, end_date):
        return _send("tvSendCmdGetTradingDaysCondition", market, begin_date, end_date)

    def tvSendCmdGetTradingTime(self, targets, frequency, begin_date, end_date):
        return _send("tvSendCmdGetTradingTime", targets, frequency, begin_date, end_date)

    def tvSendCmdGetFutureInfoExculusively_20190918(self, targets):
        return _send("tvSendCmdGetFutureInfoExculusively_20190918", targets)

    def tvSendCmdGetStockInfoExculusively(self, targets):
        return _send("tvSendCmdGetStockInfoExculusively", targets)

    def tvSendCmdGetFutureInfo_20190920(self, targets):
        return _send("tvSendCmdGetFutureInfo_20190920", targets)

    def tvSendCmdGetCodeList(self, block, day):
        return _send("tvSendCmdGetCodeList", block, day)

    def tvSendCmdGetCodeListSet(self, block, begin_date, end_date):
        return _send("tvSendCmdGetCodeListSet", block, begin_date, end_date)

    def tvSendCmdGetFutureContracts(self, date, market, varieties):
        return _send("tvSendCmdGetFutureContracts", date, market, varieties)

    def tvSendCmdGetStrategyID(self):
        return _send("tvSendCmdGetStrategyID")

    def tvSendCmdGetBackTestPerformance(self, strategy_id):
        return _send("tvSendCmdGetBackTestPerformance", strategy_id)

    def tvSendCmdGetFactorMultiFilePath(self, factors, targets, begin_date, end_date, kind):
        return _send("tvSendCmdGetFactorMultiFilePath", factors, targets, begin_date, end_date, kind)


tvcmd = TvCmd()


class MainContracts:
    """Main-contract histories from the host."""

    def main_contracts(self, targets, begin_date, end_date):
        """{key: (dates, contract codes)} for the continuous targets; empty when none has a history."""
        answer = _send("tvSendCmdGetMainContracts", targets, begin_date, end_date)
        return {k: (list(v[0]), list(v[1])) for k, v in answer.items()}


class Instruments:
    """Instrument histories from the host."""

    def history_instruments(self, targets, begin_date, end_date):
        """{key: (dates, instrument codes)}: the instrument each target stood for on each trading day."""
        answer = _send("tvSendCmdGetHistoryInstruments", targets, begin_date, end_date)
        return {k: (list(v[0]), list(v[1])) for k, v in answer.items()}

    def get_by_offset(self, targets, end_date, past_len=1, reference=True, fill=True):
        """OrderedDict key -> instrument codes of the ``past_len`` trading days up to ``end_date``."""
        answer = _send("tvSendCmdGetInstrumentsByOffset", targets, end_date, past_len=past_len,
                       reference=bool(reference), fill=bool(fill))
        return OrderedDict((k, answer[k]) for k in answer)


def connect(address, timeout=DEFAULT_TIMEOUT_MS) -> TelvarSocket:
    """Attach the process to the host at ``address`` and install the host-backed objects."""
    global _channel
    from telvar.kestrum import sysmodel as cnt

    sock = TelvarSocket(address, timeout)
    sock.request("tvSendCmdPing")  # fails here, naming the address, when no host answers
    if _channel is not None:
        _channel.close()
    _channel = sock
    cnt.vr.g_TelvarSocket = sock
    cnt.vr.g_TelvarMainContracts = MainContracts()
    cnt.vr.g_TelvarInstrument = Instruments()
    return sock


def disconnect() -> None:
    global _channel
    if _channel is not None:
        _channel.close()
        _channel = None


# A process that ends while attached says goodbye to the host by closing its
# socket instead of leaving it to the garbage collector.
atexit.register(disconnect)


__all__ = ["tvcmd", "connect", "disconnect", "channel", "TelvarSocket", "HostConnectionError",
           "HostTimeoutError", "TvReturnError", "DEFAULT_TIMEOUT_MS"]
