"""Multi-target K-data fetch: get_k_data_multi for 50 instruments x 3 months
of one-minute bars, end to end (host request, host query and .mat write,
file read), in MB/s of bars delivered.

Beside it, the parts: the host command alone (query + file write, as the
channel returns its path), the module's reading of that file
(load_k_data_from_local) against a bare scipy.io.loadmat of the same file,
and the module's own work with the file reader taken out.

The target: the whole fetch (the module's call as a strategy makes it: the
host's announcement, query, placement and file, the file read) within twice
the time of the bare DuckDB queries that return the same stored rows as numpy
arrays (one query for the stocks, the stitched query of the main contract),
run on the same store in the same run; the answer is checked against those
rows. Both read a store already in memory and are timed by wall time (the
host's work is in another process, so --cpu-time would not see it); nothing of the answer is cached
anywhere, so every fetch is made afresh.

The store: the sample generator with 46 extra stocks, so 49 stocks and the
RB main contract (its night session widens the common time line).
"""
import tempfile

import duckdb
import numpy as np
import scipy.io

from bench.report import best_time
from bench.hostdata import answered_again, cached_store


def bench_store(extra_stocks):
    from telvar.host.sample import build_store

    return cached_store(f"history-multi-{extra_stocks}",
                        lambda path: build_store(path, extra_stocks=extra_stocks, ticks=False))


def targets_of(extra_stocks):
    from telvar.host.sample import catalog

    stocks = [{"Market": s.market, "Code": s.code} for s in catalog.STOCKS if s.kind == "stock"]
    stocks += [{"Market": "SSE", "Code": f"{601000 + k}"} for k in range(extra_stocks)]
    return stocks + [{"Market": "SHFE", "Code": "RB0000"}]


FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


def bare_queries(con, targets, begin, end):
    """The stored rows of ``targets`` (stocks, and the main contract SHFE.RB0000 stitched from its
    contracts), as DuckDB hands them out as numpy arrays: one query per market of stocks, one for
    the main contract. Returns [(target of each row's k, rows)]."""
    fields = ", ".join(f"t.{f}" for f in FIELDS)
    out, by_market = [], {}
    for i, t in enumerate(targets):
        if (t["Market"], t["Code"]) != ("SHFE", "RB0000"):
            by_market.setdefault(t["Market"], []).append(i)
    for market, members in by_market.items():
        codes = [targets[i]["Code"] for i in members]
        marks = ", ".join("?" * len(codes))
        rows = con.execute(f"SELECT list_position(?::VARCHAR[], code)::INTEGER - 1 AS k, t.ts, {fields} "
                           f"FROM minute_bars t WHERE market = ? AND code IN ({marks}) "
                           f"AND trade_date BETWEEN ? AND ?", [codes, market, *codes, begin, end]).fetchnumpy()
        out.append((np.asarray(members), rows))
    main = con.execute(f"SELECT 0 AS k, t.ts, {fields} FROM main_contracts mc JOIN minute_bars t "
                       "ON t.market = mc.market AND t.code = mc.contract AND t.trade_date = mc.trade_date "
                       "WHERE mc.market = 'SHFE' AND mc.code = 'RB0000' AND mc.trade_date BETWEEN ? AND ?",
                       [begin, end]).fetchnumpy()
    out.append((np.array([targets.index({"Market": "SHFE", "Code": "RB0000"})]), main))
    return out


def same_as_rows(result, answers):
    """Every stored row is in its target's block of the K matrix at the column of its time, all 7
    fields equal; every other column of a target is a filled bar (volume 0) or empty."""
    from telvar.common.timeconv import datenum_to_minutes

    k, line = result["KArray"], datenum_to_minutes(result["TimeLine"].ravel())
    placed = np.zeros((k.shape[0] // 7, k.shape[1]), bool)
    for members, rows in answers:
        target = members[np.asarray(rows["k"], np.int64)]
        at = np.searchsorted(line, np.asarray(rows["ts"]).astype("datetime64[m]").astype(np.int64))
        if (at >= line.size).any() or (line[np.minimum(at, line.size - 1)] != np.asarray(
                rows["ts"]).astype("datetime64[m]").astype(np.int64)).any():
            return False
        for f, name in enumerate(FIELDS):
            if not np.array_equal(k[7 * target + f, at], np.asarray(rows[name], np.float64), equal_nan=True):
                return False
        placed[target, at] = True
    volume = k[4::7]
    return bool(np.all(placed | (volume == 0) | np.isnan(k[3::7])))


def run(report):
    from telvar.api.history import _history
    from telvar.host import start_host
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel as cnt

    extra, end_date = (6, 20250930) if report.quick else (46, 20251130)
    targets = targets_of(extra)
    params = dict(targets=targets, frequency="min", freq_num=1, begin_date=20250901, end_date=end_date,
                  filled_up=True, fq_type="NA", need_show_ui_tip=True)
    store = bench_store(extra)
    with start_host(store=store) as host, tempfile.TemporaryDirectory() as root:
        comm.connect(host.address)
        cnt.env.fm.set_root(root)
        try:
            _history.get_k_data_multi(params)  # warm the host's store and page cache
            t_total, result = best_time(lambda: _history.get_k_data_multi(params), repeat=3, wall=True)
            k_array = result["KArray"]
            megabytes = (k_array.nbytes + result["TimeLine"].nbytes + result["DayPos"].nbytes) / 1e6
            report.section(f"get_k_data_multi: {len(targets)} targets x {result['TimeLine'].size} minute bars "
                           f"({megabytes:.0f} MB of bars)")
            report.check("one block of 7 field rows per target, one column per bar",
                         k_array.shape == (7 * len(targets), result["TimeLine"].size))
            report.check("every target has bars", bool(np.all(np.isfinite(k_array[3::7]).any(axis=1))))
            report.line(f"end to end            {t_total * 1e3:9.1f} ms  {megabytes / t_total:8.1f} MB/s")

            con = duckdb.connect(str(store), read_only=True)
            try:
                bare = lambda: bare_queries(con, targets, 20250901, end_date)  # noqa: E731
                bare()  # this connection's first read of the store
                t_bare, answers = best_time(bare, repeat=3, wall=True)
            finally:
                con.close()
            rows = sum(len(r["ts"]) for _, r in answers)
            report.check(f"the answer holds the {rows:,} stored rows the bare queries return", same_as_rows(result, answers))
            report.compare("fetch end to end", t_total, bare_duckdb_queries=t_bare)
            report.target("fetch time over the bare DuckDB queries' (50 targets x 3 months)", t_total / t_bare,
                          at_most=2)

            quiet = dict(params, need_show_ui_tip=False)
            t_quiet, _ = best_time(lambda: _history.get_k_data_multi(quiet), repeat=3, wall=True)
            report.line(f"  without announcement {t_quiet * 1e3:8.1f} ms  {megabytes / t_quiet:8.1f} MB/s "
                        f"(the announcement's log line and prepare request cost the host "
                        f"{(t_total - t_quiet) * 1e3:.0f} ms)")

            def host_only():
                return _history.tvcmd.tvSendCmdGetKDataMulti(targets, "min", 20250901, end_date, True, "NA")

            t_host, path = best_time(host_only, repeat=3, wall=True)
            report.line(f"host command          {t_host * 1e3:9.1f} ms  (query + .mat write; "
                        f"{t_host / t_total:5.1%} of end to end)")
            t_read, (error, _) = best_time(lambda: _history.load_k_data_from_local(path), repeat=10)
            report.check("the host's file reads back", error is None)
            t_scipy, _ = best_time(lambda: scipy.io.loadmat(path), repeat=10)
            report.compare("file read (module)", t_read, bare_loadmat=t_scipy)
            report.line(f"file read             {megabytes / t_read:9.1f} MB/s")

            loaded = _history.load_mat(path)
            original = _history.load_mat
            _history.load_mat = lambda *a, **k: dict(loaded)
            try:
                t_own, _ = best_time(lambda: _history.load_k_data_from_local(path), repeat=20)
            finally:
                _history.load_mat = original
            # The same fetch with a channel that answers at once with the host's file:
            # what the module and the file read cost without the host.
            channel = _history.tvcmd
            _history.tvcmd = type("Instant", (), {"tvSendCmdGetKDataMulti":
                                                  lambda self, *a: answered_again(path)})()
            try:
                t_local, _ = best_time(lambda: _history.get_k_data_multi(quiet), repeat=10)
            finally:
                _history.tvcmd = channel
            report.line(f"fetch without the host {t_local * 1e3:8.1f} ms  (module + file read; the host's "
                        f"share of end to end without announcement: {1 - t_local / t_quiet:5.1%})")
            report.line(f"module's own work     {(t_local - t_read) * 1e3:9.2f} ms  (of which {t_own * 1e6:.0f} us "
                        f"in the reader beside scipy)")
        finally:
            comm.disconnect()
