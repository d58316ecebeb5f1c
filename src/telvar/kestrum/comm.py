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
After either, the next command opens a fresh connection, and so does a
command after the host closed an idle connection.  The time-out bounds the
whole answer, however slowly the host sends it; a host that writes its answer
in part files tells of each one as it is written (the request asks for it),
and the time-out then bounds the wait for each part.

A TCP host requires a token: ``connect(address, token=...)``, or
``token_file=PATH``, or ``$TELVAR_HOST_TOKEN_FILE``; without any, the token
file a host started by this user left for its port is used (see
``telvar.wire.tokens``).  A host that turns the connection away (no or a wrong
token, too many connections) raises ``HostConnectionError`` with its reason.

Every new connection of the process's channel first asks the host which store
and data version it serves (``tvSendCmdGetStoreInfo``) and scopes the on-disk
caches to them (``cnt.env.attach_store``): a host restarted at the same
address may serve another store. Before a cache is used, a connection the
host has closed is opened again (``TelvarSocket.confirm_store``), so a read
served entirely from caches notices the restart too. ``disconnect()`` moves
the caches back to the "no store" folder.

The host answers where it writes its answer files (``answer_dir`` in the
store information); readers remove an answer file of that folder once they
have read it (``telvar.kestrum.ufuncs.release_host_answer``).
"""
from __future__ import annotations

import atexit
import socket
import threading
import uuid

from telvar.kestrum.utils.exceptions import TvReturnError
from telvar.kestrum.utils.utilcls import OrderedDict
from telvar.kestrum.utils.utilfunc import stable_digest
from telvar.wire.frames import Deadline, ProtocolError, encode, format_address, parse_address, read_frame
from telvar.wire.tokens import TokenFileError, client_token

DEFAULT_TIMEOUT_MS = 60000
STORE_INFO_COMMAND = "tvSendCmdGetStoreInfo"


class HostConnectionError(ConnectionError):
    """The host cannot be reached, or it closed the connection during a command."""


class HostTimeoutError(TimeoutError):
    """The host did not answer within the socket's time-out."""


class TelvarSocket:
    """The process's command socket to one host; thread-safe, reconnects after a failure.

    ``on_store``, when set, is called with the host's store information
    (``store_info()``) on every new connection, before any command is sent on
    it: a host restarted at the same address may serve another store.
    """

    def __init__(self, address, timeout=DEFAULT_TIMEOUT_MS, token=None, token_file=None):
        self._kind, self._where = parse_address(address)
        self.address = format_address(self._kind, self._where)
        self._timeout = None
        self._sock = None
        self._lock = threading.Lock()
        self._token, self._token_file = token, token_file
        self._present_token = False  # the next frame is the first on its connection
        self.on_store = None
        self.answer_dir = None  # where the host writes answer files (from its store information)
        self.parts_heard = 0  # part files the host told of while writing answers
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
        self._present_token = True
        listener = self.on_store
        if listener is not None:
            try:
                listener(self._store_info_locked())
            except BaseException:  # no command may run on a connection whose store is not known
                self.close()
                raise

    def close(self):
        if self._sock is not None:
            try:
                self._sock.close()
            finally:
                self._sock = None

    def confirm_store(self):
        """Before a cache is used: when the connection was lost (closed by the host,
        or dropped after a failed command), connect again, so that ``on_store``
        hears which store is served now.

        A host that cannot be reached leaves everything as it was (the caches
        stay those of the store last seen). Does nothing while another thread
        is talking to the host: its command notices a lost connection itself.
        """
        if self.on_store is None or not self._lock.acquire(blocking=False):
            return
        try:
            if self._sock is not None and not self._peer_closed():
                return
            self.close()
            try:
                self._open()
            except (HostConnectionError, HostTimeoutError):
                self.close()
        finally:
            self._lock.release()

    def _peer_closed(self):
        """True when the host closed this connection (an idle connection has nothing to read)."""
        sock = self._sock
        try:
            timeout = sock.gettimeout()
            sock.settimeout(0.0)  # a peek that never waits (select() fails on descriptors past 1023)
            try:
                return sock.recv(1, socket.MSG_PEEK) == b""
            finally:
                sock.settimeout(timeout)
        except BlockingIOError:
            return False
        except (OSError, ValueError):
            return True

    def store_info(self):
        """The served store's ``{"store_id", "data_version", ...}`` (see ``telvar.host.store.storeinfo``).

        A host that cannot tell is named by its address, with a new data
        version each time it is asked (once per connection): caches made
        over one connection are never read over a later one.
        """
        with self._lock:
            if self._sock is not None and self._peer_closed():
                self.close()
            if self._sock is None:
                self._open()
            return self._store_info_locked()

    def _store_info_locked(self):
        try:
            info = self._exchange(STORE_INFO_COMMAND, (), None, True)
        except TvReturnError:
            info = None
        if not (isinstance(info, dict) and isinstance(info.get("store_id"), str) and info["store_id"]
                and isinstance(info.get("data_version"), str) and info["data_version"]):
            info = {"store_id": "host-" + stable_digest(self.address, 32),
                    "data_version": "connection-" + uuid.uuid4().hex, "source": "connection"}
        answer_dir = info.get("answer_dir")
        self.answer_dir = answer_dir if isinstance(answer_dir, str) and answer_dir else None
        return info

    def request(self, cmd: str, args=(), kwargs=None, reply=True):
        with self._lock:
            if self._sock is not None and self._peer_closed():
                self.close()  # the host closed an idle connection: open a new one, as after a failure
            if self._sock is None:
                self._open()
            return self._exchange(cmd, args, kwargs, reply)

    def _token_for_host(self):
        try:
            return client_token(self._where[1] if self._kind == "tcp" else None, self._token, self._token_file)
        except TokenFileError as exc:
            self.close()
            raise HostConnectionError(f"cannot present a token to the host at {self.address}: {exc}") from None

    def _exchange(self, cmd, args, kwargs, reply):
        """One command on the open connection; the caller holds the lock."""
        request = {"cmd": cmd, "args": list(args), "kwargs": dict(kwargs or {}), "reply": bool(reply),
                   "stream": True}
        if self._present_token:
            token = self._token_for_host()
            if token is not None:
                request["token"] = token
        frame = encode(request)
        # one deadline for the whole exchange: a host sending its answer a byte at a time cannot stretch it
        deadline = Deadline(self._sock, self._timeout / 1000.0)
        try:
            try:
                self._sock.settimeout(deadline.left())
                self._sock.sendall(frame)
            except OSError as exc:
                if isinstance(exc, socket.timeout):
                    raise
                self._raise_refusal(cmd, exc)
            self._present_token = False
            if not reply:
                return None
            answer = read_frame(deadline)
            while _is_part(answer):  # a part of the answer is written: the time-out starts again
                self.parts_heard += 1
                answer = read_frame(Deadline(self._sock, self._timeout / 1000.0))
        except socket.timeout:
            self.close()  # a late answer would be read by the next command
            raise HostTimeoutError(f"the host at {self.address} did not answer {cmd} within "
                                   f"{self._timeout} ms") from None
        except ProtocolError as exc:
            self.close()
            raise HostConnectionError(f"the host at {self.address} sent an unreadable answer to {cmd}: "
                                      f"{exc}") from None
        except OSError as exc:
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
            if answer.get("refused"):
                self.close()
                raise HostConnectionError(f"the host at {self.address} refused the connection: "
                                          f"{answer.get('error')}")
            raise TvReturnError(answer.get("error", f"{cmd} failed"))
        return answer.get("value")

    def _raise_refusal(self, cmd, send_error):
        """The host broke the connection while a request was sent: raise with its reason when it gave one."""
        try:
            answer = read_frame(Deadline(self._sock, 0.5))
        except (OSError, ProtocolError):
            answer = None
        self.close()
        if isinstance(answer, dict) and answer.get("error"):
            what = "refused the connection" if answer.get("refused") else f"broke off {cmd}"
            raise HostConnectionError(f"the host at {self.address} {what}: {answer['error']}")
        raise HostConnectionError(f"lost the host at {self.address} during {cmd}: {send_error}")


def _is_part(frame) -> bool:
    """A frame telling of a part file of the answer under way (not the answer itself)."""
    return isinstance(frame, dict) and frame.get("ok") is True and "part" in frame and "value" not in frame


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

    def tvSendCmdGetStoreInfo(self):
        return _send(STORE_INFO_COMMAND)

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

    def tvSendCmdGetTradingRules(self, targets, begin_date, end_date):
        return _send("tvSendCmdGetTradingRules", targets, begin_date, end_date)

    def tvSendCmdBeginRun(self, info):
        return _send("tvSendCmdBeginRun", info)

    def tvSendCmdPutRunRows(self, strategy_id, table, columns, rows):
        return _send("tvSendCmdPutRunRows", strategy_id, table, columns, rows)

    def tvSendCmdEndRun(self, strategy_id, stats):
        return _send("tvSendCmdEndRun", strategy_id, stats)

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


def _attach_store(sock, info):
    """Scope the caches to the store behind ``sock`` while it is the process's channel."""
    from telvar.kestrum import sysmodel as cnt

    if sock is _channel:
        cnt.env.attach_store(info["store_id"], info["data_version"])


def connect(address, timeout=DEFAULT_TIMEOUT_MS, token=None, token_file=None) -> TelvarSocket:
    """Attach the process to the host at ``address`` and install the host-backed objects.

    ``token`` / ``token_file``: what to present to a TCP host (see the
    module's docstring). The caches are scoped to the host's store and data
    version (see ``telvar.kestrum.cachescope``), again whenever the channel
    reconnects.
    """
    global _channel
    from telvar.kestrum import sysmodel as cnt

    sock = TelvarSocket(address, timeout, token=token, token_file=token_file)
    info = sock.store_info()  # fails here, naming the address, when no host answers
    _release_channel()
    _channel = sock
    cnt.vr.g_TelvarSocket = sock
    cnt.vr.g_TelvarMainContracts = MainContracts()
    cnt.vr.g_TelvarInstrument = Instruments()
    sock.on_store = lambda new_info: _attach_store(sock, new_info)
    cnt.env.fm.store_guard = sock.confirm_store
    _attach_store(sock, info)
    return sock


def answer_folder() -> str | None:
    """The folder the attached host writes its answer files to (None when not attached, or not told)."""
    sock = _channel
    return sock.answer_dir if sock is not None else None


def attached_to(address) -> bool:
    """True when the process's channel (``cnt.vr.g_TelvarSocket``) is attached to ``address``."""
    from telvar.kestrum import sysmodel as cnt

    sock = _channel
    return sock is not None and sock is cnt.vr.g_TelvarSocket and sock.address == format_address(
        *parse_address(address))


def _release_channel():
    global _channel
    from telvar.kestrum import sysmodel as cnt

    if _channel is not None:
        if cnt.env.fm.store_guard == _channel.confirm_store:
            cnt.env.fm.store_guard = None
        _channel.on_store = None
        _channel.close()
        _channel = None


def disconnect() -> None:
    """Detach from the host; caches go back to the "no store" folder."""
    from telvar.kestrum import sysmodel as cnt

    attached = _channel is not None
    _release_channel()
    if attached:
        cnt.env.attach_store(None, None)


# A process that ends while attached says goodbye to the host by closing its
# socket instead of leaving it to the garbage collector.
atexit.register(disconnect)


__all__ = ["tvcmd", "connect", "disconnect", "attached_to", "answer_folder", "channel", "TelvarSocket",
           "HostConnectionError", "HostTimeoutError", "TvReturnError", "DEFAULT_TIMEOUT_MS"]
