"""Whole-market scale: a store of 1,000 extra stocks x 6 months of 1-minute bars, built in bounded
memory, and a back-test over all of them (5/15/60-minute and daily registrations, one window read per
bar) chunked monthly, then over 1 and 3 months, and unchunked for comparison.

Every step runs in a process of its own (bench/scale_child.py), so each peak is its own; the
unchunked run is stopped when the strategy process passes MEMORY_CAP (the machine is shared). Peaks
are resident memory (the strategy process and, apart, its host). --quick: 100 stocks, 2 months.
"""
import json
import os
import subprocess
import sys
import threading
import time

import telvar
from bench.hostdata import cached_store
from bench.scale_child import proc_status_bytes

GIB = 1 << 30
MEMORY_CAP = 12 * GIB
STOCKS, BEGIN, ENDS = 1000, 20250701, {1: 20250731, 3: 20250930, 6: 20251231}
QUICK_STOCKS, QUICK_ENDS = 100, {1: 20250731, 2: 20250829}


def _child(*args, cap=MEMORY_CAP):
    """Run one step; (result dict or None, the largest resident memory seen, what stopped it)."""
    # the child imports the telvar this process imported (installed, or the working tree's)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(telvar.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen([sys.executable, "-m", "bench.scale_child", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    seen, stopped = [0], [None]

    def watch():
        while proc.poll() is None:
            seen[0] = max(seen[0], (proc_status_bytes(proc.pid, "VmRSS") or 0))
            if seen[0] > cap:
                stopped[0] = "stopped at %.1f GiB resident" % (seen[0] / GIB)
                proc.kill()
            time.sleep(0.2)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    out, err = proc.communicate()
    watcher.join()
    if proc.returncode != 0:
        return None, seen[0], stopped[0] or (err.strip().splitlines() or ["exit %d" % proc.returncode])[-1]
    return json.loads(out.strip().splitlines()[-1]), seen[0], None


def run(report):
    stocks, ends = (QUICK_STOCKS, QUICK_ENDS) if report.quick else (STOCKS, ENDS)
    longest = max(ends)
    report.section("store of %d extra stocks, %d months of minutes" % (stocks, longest))
    built = {}

    def build(path):
        result, _, failed = _child("build", path, stocks, BEGIN, ends[longest])
        if result is None:
            raise RuntimeError("the store could not be built: %s" % failed)
        built.update(result)

    store = cached_store("scale-%d-%d-%d" % (stocks, BEGIN, ends[longest]), build)
    if built:
        report.line("built in %.0f s, peak %.2f GiB" % (built["seconds"], built["peak"] / GIB))
    runs = {}
    for months in sorted(ends, reverse=True):
        result, seen, failed = _child("run", store, stocks, BEGIN, ends[months], "month")
        runs[months] = result
        if result is None:
            report.check("%d months chunked monthly" % months, False, failed)
            continue
        rate = result["target_bars"] / result["seconds"]
        report.line("%d month(s) chunked monthly (%d chunks): %.1f M target-bars in %.0f s (set-up %.0f s, bars "
                    "%.0f s), %.2f M target-bars/s; peak %.2f GiB, host %.2f GiB" % (
                        months, result["chunks"], result["target_bars"] / 1e6, result["seconds"],
                        result["setup_seconds"], result["run_seconds"], rate / 1e6, result["peak"] / GIB,
                        (result["host_peak"] or 0) / GIB))
    top = runs.get(longest)
    if top is not None:
        report.target("chunked run, peak GiB", top["peak"] / GIB, at_most=6)
        report.target("M target-bars/s end to end", top["target_bars"] / top["seconds"] / 1e6, 0.5)
    result, seen, failed = _child("run", store, stocks, BEGIN, ends[longest], 0)
    if result is None:
        report.line("unchunked: failed (%s); largest resident memory seen %.2f GiB" % (failed, seen / GIB))
    else:
        report.line("unchunked: %.0f s, %.2f M target-bars/s, peak %.2f GiB, host %.2f GiB" % (
            result["seconds"], result["target_bars"] / result["seconds"] / 1e6, result["peak"] / GIB,
            (result["host_peak"] or 0) / GIB))
        if top is not None:
            report.check("the chunked run reads what the unchunked one reads", result["checksum"] == top["checksum"],
                         "%r vs %r" % (result["checksum"], top["checksum"]))
