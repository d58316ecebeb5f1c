"""Multi-target K-data fetch: get_k_data_multi for 50 instruments x 3 months
of one-minute bars, end to end (host request, host query and .mat write,
file read), in MB/s of bars delivered.

Beside it, the parts: the host command alone (query + file write, as the
channel returns its path), the module's reading of that file
(load_k_data_from_local) against a bare scipy.io.loadmat of the same file,
and the module's own work with the file reader taken out.

The store: the sample generator with 46 extra stocks, so 49 stocks and the
RB main contract (its night session widens the common time line).
"""
import tempfile

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
            t_total, result = best_time(lambda: _history.get_k_data_multi(params), repeat=3)
            k_array = result["KArray"]
            megabytes = (k_array.nbytes + result["TimeLine"].nbytes + result["DayPos"].nbytes) / 1e6
            report.section(f"get_k_data_multi: {len(targets)} targets x {result['TimeLine'].size} minute bars "
                           f"({megabytes:.0f} MB of bars)")
            report.check("one block of 7 field rows per target, one column per bar",
                         k_array.shape == (7 * len(targets), result["TimeLine"].size))
            report.check("every target has bars", bool(np.all(np.isfinite(k_array[3::7]).any(axis=1))))
            report.line(f"end to end            {t_total * 1e3:9.1f} ms  {megabytes / t_total:8.1f} MB/s")

            quiet = dict(params, need_show_ui_tip=False)
            t_quiet, _ = best_time(lambda: _history.get_k_data_multi(quiet), repeat=3)
            report.line(f"  without announcement {t_quiet * 1e3:8.1f} ms  {megabytes / t_quiet:8.1f} MB/s "
                        f"(the announcement's log line and prepare request cost the host "
                        f"{(t_total - t_quiet) * 1e3:.0f} ms)")

            def host_only():
                return _history.tvcmd.tvSendCmdGetKDataMulti(targets, "min", 20250901, end_date, True, "NA")

            t_host, path = best_time(host_only, repeat=3)
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
