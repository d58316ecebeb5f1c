"""Host throughput: requests/s of a small command from 4 concurrent client
processes, and MB/s of a multi-target one-minute bar file for 50 instruments
x 3 months (host query, bar placement and filling, .mat write; the channel
returns the path).

The store: the sample generator with 46 extra stocks, so 49 stocks and the RB
main contract (whose night session widens the common time line).
"""
import multiprocessing as mp
import os
import time

from bench.bench_history_multi import bench_store
from bench.report import best_time

EXTRA_STOCKS = 46


def _store():
    return bench_store(EXTRA_STOCKS)


def _client(address, n, start, out):
    from telvar.kestrum.comm import TelvarSocket

    sock = TelvarSocket(address)
    sock.request("tvSendCmdPing")
    start.wait()
    t0 = time.perf_counter()
    ok = all(sock.request("tvSendCmdGetCurTradeDate") == 20251231 for _ in range(n))
    out.put((time.perf_counter() - t0, ok))
    sock.close()


def _requests_per_second(report, address, n):
    ctx = mp.get_context("fork")
    start, out = ctx.Event(), ctx.Queue()
    procs = [ctx.Process(target=_client, args=(address, n, start, out)) for _ in range(4)]
    for p in procs:
        p.start()
    time.sleep(0.5)
    t0 = time.perf_counter()
    start.set()
    results = [out.get(timeout=120) for _ in procs]
    wall = time.perf_counter() - t0
    for p in procs:
        p.join()
    report.check("every answer of the 4 clients correct", all(ok for _, ok in results))
    rate = 4 * n / wall
    report.line(f"small command (tvSendCmdGetCurTradeDate), 4 clients x {n}: {rate:,.0f} requests/s")
    return rate


def run(report):
    from telvar.host.sample import catalog
    from telvar.host import start_host
    from telvar.kestrum.comm import TelvarSocket
    from telvar.kestrum.utils.utilfunc import load_mat

    store = _store()
    targets = [{"Market": s.market, "Code": s.code} for s in catalog.STOCKS if s.kind == "stock"]
    targets += [{"Market": "SSE", "Code": f"{601000 + k}"} for k in range(EXTRA_STOCKS)]
    targets.append({"Market": "SHFE", "Code": "RB0000"})
    begin = 20251201 if report.quick else 20251001
    with start_host(store) as host:
        report.section("host: concurrent small requests")
        rate = _requests_per_second(report, host.address, 500 if report.quick else 3000)
        report.target("requests/s, 4 clients", rate, 5000)

        report.section(f"host: multi-target minute bars, {len(targets)} instruments, {begin}..20251231")
        sock = TelvarSocket(host.address, timeout=600000)

        def request():
            return sock.request("tvSendCmdGetKDataMulti", [targets, "min", begin, 20251231, True, "NA"])

        seconds, path = best_time(request, repeat=3, wall=True)
        m = load_mat(path)
        k = m["KArray"]
        report.check("KArray has 7 rows per target and one column per TimeLine entry",
                     k.shape == (7 * len(targets), m["TimeLine"].size), str(k.shape))
        mb = os.path.getsize(path) / 2**20
        report.line(f"file {mb:.1f} MB ({k.shape[1]} bars x {len(targets)} targets) in {seconds * 1e3:.0f} ms")
        report.target("MB/s, multi-target minute-bar file", mb / seconds, 100)
        sock.close()
