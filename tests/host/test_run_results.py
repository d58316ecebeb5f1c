"""Back-test runs recorded by the host: strategy ids per connection, statistics answered as sent, rows
appended in chunks, results kept across restarts and shared by several hosts, and every malformed
request refused before anything is written."""
import json
import multiprocessing
import os
import socket
import sqlite3
import stat
import threading

import pytest

from attached import attached_to
from telvar.host import start_host
from telvar.host.store.results_db import ResultsDB
from telvar.wire.frames import HEADER, Deadline, read_frame
from telvar.kestrum.comm import TelvarSocket, TvReturnError

pytestmark = pytest.mark.host

INFO = {"Name": "双均线", "BeginDate": 20251103, "EndDate": 20251128, "Targets": ["SHFE.RB0000", "SSE.600000"],
        "Frequency": "min", "FreqNum": 5, "Capital": 1_000_000.0, "Fill": "next_open",
        "Costs": {"SHFE.RB0000": {"CommissionRate": 0.0001}}, "Benchmark": "SSE.000300"}
STATS = {"TotalReturn": 0.0412, "AnnualReturn": 0.61, "AnnualVolatility": 0.18, "Sharpe": 2.1, "Sortino": 3.3,
         "MaxDrawdown": -0.021, "MaxDrawdownStart": 20251110, "MaxDrawdownTrough": 20251112,
         "MaxDrawdownRecovery": None, "Calmar": 29.0, "WinRate": 0.55, "ProfitFactor": 1.7, "TradeCount": 12000,
         "Turnover": 3.2e7, "Commission": 3200.5, "Tax": 0.0, "FinalEquity": 1_041_200.0,
         "BenchmarkReturn": 0.01, "ExcessReturn": 0.0312, "Alpha": 0.3, "Beta": 0.4, "InformationRatio": 1.1}
TRADE_COLUMNS = ["date", "time", "target", "contract", "side", "quantity", "price", "commission"]


def trade_rows(n, start=0):
    return [[20251103 + i % 20, f"2025-11-03 09:{i % 60:02d}", "SHFE.RB0000", "RB2601", "buy" if i % 2 else "sell",
             float(i + start), 3100.0 + i % 7, 0.31] for i in range(n)]


@pytest.fixture
def results(tmp_path):
    return tmp_path / "results" / "runs.sqlite"


@pytest.fixture
def private_host(results):
    handle = start_host(results=results)
    yield handle
    handle.stop()


@pytest.fixture
def channel_to(private_host, tmp_path):
    """``comm`` and ``_history`` attached to the private host."""
    yield from attached_to(private_host, tmp_path / "telvar-root")


def stored(results, sql, args=()):
    con = sqlite3.connect(str(results))
    try:
        return con.execute(sql, args).fetchall()
    finally:
        con.close()


def test_a_run_recorded_in_chunks_is_this_connections_strategy_and_survives_a_restart(channel_to, private_host,
                                                                                       results):
    from telvar.api.history import _history

    tv = channel_to
    sid = tv.tvSendCmdBeginRun(INFO)
    assert sid.startswith("TVS-") and _history.get_strategy_id() == sid
    other = TelvarSocket(private_host.address)
    assert other.request("tvSendCmdGetStrategyID") == "TVS-0001"  # the store's, as before
    rows = trade_rows(12_000)
    for lo in range(0, len(rows), 5000):
        assert tv.tvSendCmdPutRunRows(sid, "trades", TRADE_COLUMNS, rows[lo:lo + 5000]) == len(rows[lo:lo + 5000])
    assert tv.tvSendCmdPutRunRows(sid, "daily_equity", ["date", "equity", "cash", "positions"],
                                  [[20251103, 1e6, 5e5, '{"SHFE.RB0000": 3}'], [20251104, 1.01e6, 5e5, None]]) == 2
    assert tv.tvSendCmdPutRunRows(sid, "orders", ["order_id", "date", "status", "reason"],
                                  [[1, 20251103, "filled", None], ["o-2", 20251104, "rejected", "limit up"]]) == 2
    with pytest.raises(TvReturnError, match=f"run {sid} has not ended: it has no statistics yet"):
        _history.get_performance(sid)
    assert tv.tvSendCmdEndRun(sid, dict(STATS, StrategyID="whatever the client thought")) is True

    expected = dict(STATS, StrategyID=sid, Name="双均线", BeginDate=20251103, EndDate=20251128)
    assert _history.get_performance(sid) == expected
    assert other.request("tvSendCmdGetBackTestPerformance", [sid]) == expected
    assert other.request("tvSendCmdGetStrategyID") == "TVS-0001"
    # the rows are kept as sent, in order
    kept = stored(results, f"SELECT {', '.join(TRADE_COLUMNS)} FROM trades WHERE strategy_id = ? ORDER BY rowid",
                  [sid])
    assert [list(r) for r in kept] == rows
    assert stored(results, "SELECT order_id, reason FROM orders ORDER BY rowid") == [(1, None), ("o-2", "limit up")]
    assert stored(results, "SELECT status, name, begin_date FROM runs") == [("complete", "双均线", 20251103)]

    second = tv.tvSendCmdBeginRun(dict(INFO, Name="second"))
    assert second != sid and _history.get_strategy_id() == second
    other.close()

    private_host.stop()
    again = start_host(results=results)
    try:
        sock = TelvarSocket(again.address)
        assert sock.request("tvSendCmdGetBackTestPerformance", [sid]) == expected
        assert sock.request("tvSendCmdGetStrategyID") == "TVS-0001"
        assert stored(results, "SELECT count(*) FROM trades")[0][0] == 12_000
        # the unfinished run takes rows from any connection, after the restart too
        assert sock.request("tvSendCmdPutRunRows", [second, "trades", ["quantity"], [[1.0]]]) == 1
        sock.close()
    finally:
        again.stop()


def test_the_canned_record_and_unknown_ids(host):
    sock = TelvarSocket(host.address)
    try:
        canned = sock.request("tvSendCmdGetBackTestPerformance", ["TVS-0001"])
        assert canned["StrategyID"] == "TVS-0001" and canned["TradeCount"] == 128
        for command, args in (("tvSendCmdGetBackTestPerformance", ["TVS-20251201-00000000"]),
                              ("tvSendCmdPutRunRows", ["TVS-20251201-00000000", "trades", ["date"], [[20251103]]]),
                              ("tvSendCmdEndRun", ["TVS-20251201-00000000", {}])):
            with pytest.raises(TvReturnError, match="unknown strategy id 'TVS-20251201-00000000'"):
                sock.request(command, args)
    finally:
        sock.close()


@pytest.mark.parametrize("table, columns, rows, message", [
    ("positions", ["date"], [[1]], "unknown table 'positions'; expected one of trades, orders, daily_equity"),
    ("trades", ["date", "bogus"], [[1, 2]], "unknown column 'bogus' of trades; its columns are date, time"),
    ("trades", ["date", "date"], [[1, 2]], "column 'date' is named twice"),
    ("trades", [], [], "columns must be a non-empty list of column names of trades"),
    ("trades", "date", [[1]], "columns must be a non-empty list"),
    ("trades", ["date", "price"], [[20251103, 1.0], [20251103]],
     r"row 2: expected a list of 2 values \(one per column\), got 1 values"),
    ("trades", ["date"], {"date": [1]}, "rows must be a list of lists, got dict"),
    ("trades", ["date"], [20251103], "row 1: expected a list of 1 values .*got a int"),
    ("trades", ["date"], [[1]] * 5001, "5001 rows in one call; send at most 5000 rows a call"),
    ("trades", ["price"], [[1.0], ["3100"]], r"row 2, column 'price': expected a number or null, got '3100'"),
    ("trades", ["date"], [[20251103.5]], r"row 1, column 'date': expected a whole number or null, got 20251103.5"),
    ("trades", ["date"], [[True]], "row 1, column 'date': expected a whole number or null, got True"),
    ("trades", ["target"], [[600000]], "row 1, column 'target': expected a text or null, got 600000"),
    ("trades", ["order_id"], [[[1, 2]]], r"row 1, column 'order_id': expected a number or a text or null"),
    ("trades", ["quantity"], [[2 ** 70]], "row 1, column 'quantity': expected a number or null"),
])
def test_malformed_rows_are_refused_and_nothing_is_written(host, table, columns, rows, message):
    sock = TelvarSocket(host.address)
    try:
        sid = sock.request("tvSendCmdBeginRun", [INFO])
        good = [[20251103, 3100.0]] * 3
        assert sock.request("tvSendCmdPutRunRows", [sid, "trades", ["date", "price"], good]) == 3
        with pytest.raises(TvReturnError, match=message):
            sock.request("tvSendCmdPutRunRows", [sid, table, columns, rows])
        assert stored(session_results(sock), "SELECT count(*) FROM trades WHERE strategy_id = ?", [sid]) == [(3,)]
    finally:
        sock.close()


def session_results(sock):
    """Where a host started without ``results`` records runs (tests keep their data folder apart)."""
    store_id = sock.request("tvSendCmdGetStoreInfo")["store_id"]
    return os.path.join(os.environ["XDG_DATA_HOME"], "telvar", "results", f"{store_id}.sqlite")


def test_results_of_the_session_host_lie_owner_only_in_the_data_folder(host):
    sock = TelvarSocket(host.address)
    try:
        sid = sock.request("tvSendCmdBeginRun", [INFO])
        path = session_results(sock)
        assert stored(path, "SELECT count(*) FROM runs WHERE strategy_id = ?", [sid]) == [(1,)]
        for p in (path, path + "-wal"):
            assert stat.S_IMODE(os.stat(p).st_mode) == 0o600, p
        assert stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode) == 0o700
        assert stored(path, "PRAGMA journal_mode") == [("wal",)]
    finally:
        sock.close()


@pytest.mark.parametrize("info, message", [
    ([1, 2], "run info must be a dictionary, got list"),
    ({"Name": "x", "EndDate": 20251128}, r"run info: 'BeginDate' must be an integer date YYYYMMDD, got None"),
    ({"Name": "x", "BeginDate": 20251128, "EndDate": 20251103}, "'BeginDate' 20251128 is after 'EndDate' 20251103"),
    ({"Name": 7, "BeginDate": 20251103, "EndDate": 20251128}, "'Name' must be a text"),
])
def test_malformed_run_info_and_statistics_are_refused(host, info, message):
    sock = TelvarSocket(host.address)
    try:
        with pytest.raises(TvReturnError, match=message):
            sock.request("tvSendCmdBeginRun", [info])
        assert sock.request("tvSendCmdGetStrategyID") == "TVS-0001"
        sid = sock.request("tvSendCmdBeginRun", [INFO])
        with pytest.raises(TvReturnError, match="statistic 'Returns': expected a number, a text or null"):
            sock.request("tvSendCmdEndRun", [sid, {"Sharpe": 1.0, "Returns": [0.01, 0.02]}])
        with pytest.raises(TvReturnError, match="statistics must be a dictionary, got list"):
            sock.request("tvSendCmdEndRun", [sid, [1]])
        sock.request("tvSendCmdEndRun", [sid, {"Sharpe": 1.0}])
        with pytest.raises(TvReturnError, match=f"run {sid} has ended: it takes no more rows or statistics"):
            sock.request("tvSendCmdEndRun", [sid, {"Sharpe": 2.0}])
        with pytest.raises(TvReturnError, match=f"run {sid} has ended"):
            sock.request("tvSendCmdPutRunRows", [sid, "trades", ["date"], [[20251103]]])
        assert sock.request("tvSendCmdGetBackTestPerformance", [sid])["Sharpe"] == 1.0
    finally:
        sock.close()


def raw_request(address, cmd, args):
    """A request as a client of any language may send it: JSON escapes, lone surrogates among them."""
    body = json.dumps({"cmd": cmd, "args": args}, ensure_ascii=True).encode("ascii")
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(address[len("unix:"):])
        s.sendall(HEADER.pack(len(body)) + body)
        return read_frame(Deadline(s, 10.0))


def test_texts_no_file_can_hold_are_refused(host):
    sock = TelvarSocket(host.address)
    sid = sock.request("tvSendCmdBeginRun", [INFO])
    sock.close()
    for cmd, args, message in (
            ("tvSendCmdPutRunRows", [sid, "trades", ["note"], [["\ud800"]]],
             "row 1, column 'note': expected a valid Unicode text or null"),
            ("tvSendCmdEndRun", [sid, {"Note": "\udc80"}], "statistics holds a text that is not valid Unicode"),
            ("tvSendCmdBeginRun", [dict(INFO, Name="\udc80")], "run info holds a text that is not valid Unicode"),
            ("tvSendCmdGetBackTestPerformance", ["\udc80"], "unknown strategy id")):
        answer = raw_request(host.address, cmd, args)
        assert answer["ok"] is False and message in answer["error"], answer


def test_two_hosts_record_runs_into_one_file_at_once(results):
    hosts = [start_host(results=results) for _ in range(2)]
    runs, errors = {}, []

    def record(address, worker):
        sock = None
        try:
            sock = TelvarSocket(address)
            for k in range(4):
                sid = sock.request("tvSendCmdBeginRun", [dict(INFO, Name=f"w{worker}-{k}")])
                for chunk in range(3):
                    rows = [[20251103, float(chunk * 2000 + i)] for i in range(2000)]
                    sock.request("tvSendCmdPutRunRows", [sid, "daily_equity", ["date", "equity"], rows])
                sock.request("tvSendCmdEndRun", [sid, {"FinalEquity": float(worker * 10 + k)}])
                runs[sid] = worker * 10 + k
        except Exception as exc:  # reported below
            errors.append(exc)
        finally:
            if sock is not None:
                sock.close()

    try:
        threads = [threading.Thread(target=record, args=(hosts[w % 2].address, w)) for w in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert errors == [] and len(runs) == 16
        for sid, final in runs.items():
            equity = stored(results, "SELECT equity FROM daily_equity WHERE strategy_id = ? ORDER BY rowid", [sid])
            assert [e for e, in equity] == [float(i) for i in range(6000)]
            sock = TelvarSocket(hosts[final % 2].address)
            assert sock.request("tvSendCmdGetBackTestPerformance", [sid])["FinalEquity"] == float(final)
            sock.close()
        assert stored(results, "SELECT count(*), count(DISTINCT strategy_id) FROM runs WHERE status = 'complete'") \
            == [(16, 16)]
    finally:
        for h in hosts:
            h.stop()


@pytest.mark.skipif(os.getuid() != 0, reason="needs to hand a file to another user")
def test_a_results_file_of_another_user_is_refused(results):
    results.parent.mkdir(parents=True)
    results.write_bytes(b"")
    os.chown(results, 65534, 65534)
    with start_host(results=results) as h:
        sock = TelvarSocket(h.address)
        with pytest.raises(TvReturnError, match=f"results database {results} belongs to another user"):
            sock.request("tvSendCmdBeginRun", [INFO])
        sock.close()


def _begin_one_run(path, barrier, answers):
    db = ResultsDB(path)
    barrier.wait()
    try:
        db.begin_run("w", 20251103, 20251104, {}, None)
        answers.put(None)
    except Exception as exc:  # reported by the test
        answers.put(str(exc))


# forked from a process that may run host threads: nothing in the child touches them
@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_processes_opening_a_new_results_file_at_once_all_record(tmp_path):
    """The first opening switches the file to write-ahead logging; SQLite answers a second
    process that asks at the same moment "database is locked" without waiting, so it asks again."""
    context = multiprocessing.get_context("fork")
    for trial in range(20):
        path = tmp_path / f"t{trial}" / "runs.sqlite"
        path.parent.mkdir()
        barrier, answers = context.Barrier(6), context.Queue()
        workers = [context.Process(target=_begin_one_run, args=(path, barrier, answers)) for _ in range(6)]
        for w in workers:
            w.start()
        errors = [e for e in (answers.get(timeout=60) for _ in workers) if e]
        for w in workers:
            w.join(60)
        assert errors == []
        assert stored(path, "SELECT count(*) FROM runs")[0][0] == 6
