"""A parameter sweep on Ray against the same back-tests one after another in one process.

32 back-tests of the example moving-average cross (fast x slow windows) on 4
targets (two continuous futures with night sessions, two stocks) from
8 September to December 2025 with 5 warm-up days (the store's first week),
on a local Ray with 2 CPUs.
The baseline runs them with ``runner.run`` in this process against a host
already running, after one warm-up run (disk caches filled for both). The
sweep is timed from the call to the table, its per-node host start included;
starting Ray is measured apart (a cluster is usually up already). The two
are run in turn, twice, and the best time of each counts (Ray idles in the
background during the second baseline). Every row is checked equal to the
baseline's stats.

Ray's own costs, measured apart: starting the per-node host (actor and host
process), a no-op task's round trip and the throughput of no-op tasks, the
per-back-test overhead inside the sweep (2 x wall time less the back-tests'
own seconds, per back-test), the first back-test of a fresh worker against
the others (imports, connection, in-memory caches), and the peak memory of
a worker and of a host.
"""
import importlib.util
import os
import pathlib
import resource
import shutil
import statistics
import sys
import tempfile
import time

# the local cluster of this benchmark listens on the loopback address only; read when Ray is imported
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "ma_cross_strategy.py"
TARGETS = ["SHFE.RB0000", "SHFE.CU0000", "SSE.600000", "SZSE.000001"]
CPUS = 2
WANT = 1.7
ROUNDS = {False: 2, True: 1}  # by report.quick


def _example():
    spec = importlib.util.spec_from_file_location("ma_cross_strategy", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module.MaCrossStrategy


def _same(a, b):
    if a is None or b is None or a != a or b != b:
        return (a is None or a != a) and (b is None or b != b)
    return a == b


def _peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _sequential(strategy, sets, host, dates):
    from telvar.kestrum import runner

    stats, seconds = [], []
    started = time.perf_counter()
    for params in sets:
        t0 = time.perf_counter()
        stats.append(runner.run(strategy(**params), TARGETS, *dates, host=host, progress=False, warmup=5).stats)
        seconds.append(time.perf_counter() - t0)
    return time.perf_counter() - started, stats, seconds


def _ray_costs(report, ray):
    from telvar.sweep.cluster import backtest_nodes
    from telvar.sweep.nodehost import start_node_hosts, stop_node_hosts

    @ray.remote
    def noop():
        return 0

    ray.get([noop.remote() for _ in range(4)])
    t0 = time.perf_counter()
    for _ in range(200):
        ray.get(noop.remote())
    round_trip = (time.perf_counter() - t0) / 200
    t0 = time.perf_counter()
    ray.get([noop.remote() for _ in range(2000)])
    rate = 2000 / (time.perf_counter() - t0)
    report.line("no-op task: %.2f ms round trip; %.0f tasks/s submitted together" % (round_trip * 1e3, rate))
    t0 = time.perf_counter()
    actors = start_node_hosts("bench", None, backtest_nodes(), {})
    ray.get([a.connection.remote() for a in actors.values()])
    host_start = time.perf_counter() - t0
    t0 = time.perf_counter()
    stop_node_hosts(actors)
    report.line("per-node host: %.2f s to start (actor and host process), %.2f s to stop"
                % (host_start, time.perf_counter() - t0))
    return host_start


def _worker_memory(ray):
    @ray.remote(num_cpus=1)
    def peak():
        time.sleep(0.5)  # both workers at once
        return os.getpid(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0

    return dict(ray.get([peak.remote() for _ in range(CPUS)]))


def _host_memory(host):
    with open("/proc/%d/status" % host.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def _proc_cpu(pid):
    """CPU seconds (user + system) a living process has used."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:  # it ended
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _ray_workers_cpu():
    """CPU seconds of every Ray worker process (their names start with 'ray::')."""
    total = 0.0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    if not f.read().startswith(b"ray::"):
                        continue
            except OSError:
                continue
            total += _proc_cpu(int(entry))
    return total


def _baseline(report, strategy, sets, dates):
    """The back-tests one after another in this process: (wall, stats, seconds each, CPU per back-test)."""
    from telvar.host import start_host
    from telvar.kestrum import comm

    host = start_host()
    try:
        _sequential(strategy, sets[:1], host, dates)  # disk caches filled for both sides
        cpu, host_cpu = time.process_time(), _proc_cpu(host.pid)
        wall, stats, seconds = _sequential(strategy, sets, host, dates)
        cpu, host_cpu = time.process_time() - cpu, _proc_cpu(host.pid) - host_cpu
        memory = (_peak_rss_mib(), _host_memory(host))
    finally:
        comm.disconnect()
        host.stop()
    report.line("one after another: %.1f s (%.3f s per back-test, median %.3f s; load average %.1f)"
                % (wall, wall / len(sets), statistics.median(seconds), os.getloadavg()[0]))
    return wall, stats, seconds, (cpu / len(sets), host_cpu / len(sets)), memory


def _sweep(report, ray, strategy, grid, dates):
    from telvar import sweep

    workers_cpu, cpu = _ray_workers_cpu(), time.process_time()
    t0 = time.perf_counter()
    table = sweep.run(strategy, grid, TARGETS, *dates, warmup=5, progress=False)
    wall = time.perf_counter() - t0
    n = len(table)
    workers_cpu, cpu = _ray_workers_cpu() - workers_cpu, time.process_time() - cpu
    host_cpu = sum(h["cpu_seconds"] for h in table.attrs["hosts"].values())
    report.line("sweep on %d CPUs:   %.1f s (%.3f s per back-test; load average %.1f)"
                % (CPUS, wall, wall / n, os.getloadavg()[0]))
    return wall, table, (workers_cpu / n, host_cpu / n, cpu / n)


def _report_overhead(report, table, sweep_wall, seq_seconds, seq_cpu, sweep_cpu, host_start):
    n = len(table)
    inside = table["seconds"].to_numpy()
    report.line("CPU per back-test: one process %.3f s + its host %.3f s; sweep workers %.3f s + node host "
                "%.3f s (+ driver %.3f s)" % (seq_cpu[0], seq_cpu[1], *sweep_cpu))
    report.line("  Ray's and the fresh host's CPU cost per back-test: %+.3f s (%+.0f%%)"
                % (sum(sweep_cpu) - sum(seq_cpu), 100 * (sum(sweep_cpu) / sum(seq_cpu) - 1)))
    # on idle cores one process takes its CPU time and its host's (they take turns); the sweep its
    # CPU time spread over the cores, after waiting for the node's host
    estimate = n * sum(seq_cpu) / (n * sum(sweep_cpu) / CPUS + host_start)
    report.line("  throughput ratio on idle cores, estimated from these CPU times: %.2fx" % estimate)
    report.line("wall time of the %d CPUs not spent inside back-tests: %.3f s per back-test (host start, "
                "idle tail)" % (CPUS, (CPUS * sweep_wall - inside.sum()) / n))
    report.line("a back-test in its worker: median %.3f s against %.3f s in one process; the first ones of "
                "fresh workers %s s (imports, host start, connection, in-memory caches)"
                % (statistics.median(inside), statistics.median(seq_seconds),
                   " and ".join("%.2f" % s for s in sorted(inside[:CPUS]))))


def run(report):
    import ray

    from telvar import sweep
    from telvar.kestrum import sysmodel as cnt

    strategy = _example()
    fast, slow = [3, 4, 5, 6, 8, 10, 12, 15], [20, 30, 40, 60]
    if report.quick:
        fast, dates = fast[:2], (20251103, 20251114)
    else:
        dates = (20250908, 20251231)
    grid = {"fast": fast, "slow": slow}
    sets = sweep.expand_grid(grid)
    old_root, root = cnt.env.fm.root, tempfile.mkdtemp(prefix="telvar-bench-sweep-")
    cnt.env.fm.set_root(root)  # workers on this node use it too
    report.section("throughput: %d back-tests of the example strategy, %d targets, %s..%s, %d CPUs, best of %d"
                   % (len(sets), len(TARGETS), dates[0], dates[1], CPUS, ROUNDS[report.quick]))
    try:
        baselines, sweeps, init_seconds = [], [], None
        for _ in range(ROUNDS[report.quick]):  # interleaved: load from other work hits both sides
            baselines.append(_baseline(report, strategy, sets, dates))
            if init_seconds is None:
                t0 = time.perf_counter()
                ray.init(num_cpus=CPUS, include_dashboard=False, object_store_memory=200 * 1024 * 1024,
                         configure_logging=False)
                init_seconds = time.perf_counter() - t0
            sweeps.append(_sweep(report, ray, strategy, grid, dates))
        seq_wall, sweep_wall = min(b[0] for b in baselines), min(w[0] for w in sweeps)
        ratio = seq_wall / sweep_wall
        report.target("throughput ratio on %d cores" % CPUS, ratio, WANT)
        report.section("answers")
        rows_equal = all(_same(row[k], v) for _, table, _ in sweeps for (_, row), stats in
                         zip(table.iterrows(), baselines[0][1]) for k, v in stats.items() if k != "StrategyID")
        report.check("every sweep row equals the back-test run in one process",
                     rows_equal and all(table["error"].isna().all() for _, table, _ in sweeps))
        report.section("Ray's overhead (the first round: fresh workers)")
        report.line("Ray %s started in %.1f s (once per session; not counted above)" % (ray.__version__, init_seconds))
        host_start = _ray_costs(report, ray)
        (_, _, seq_seconds, seq_cpu, (driver_peak, host_peak)), (first_wall, table, sweep_cpu) = baselines[0], sweeps[0]
        _report_overhead(report, table, first_wall, seq_seconds, seq_cpu, sweep_cpu, host_start)
        workers = _worker_memory(ray)
        report.section("memory (peak resident)")
        node_hosts = [h["peak_mib"] for h in table.attrs["hosts"].values()]
        report.line("workers: %s MiB; the node's host: %s MiB; the baseline process: %.0f MiB and its host %.0f MiB"
                    % (", ".join("%.0f" % m for m in sorted(workers.values())),
                       ", ".join("%.0f" % m for m in node_hosts), driver_peak, host_peak))
    finally:
        ray.shutdown()
        cnt.env.fm.set_root(old_root)
        shutil.rmtree(root, ignore_errors=True)
