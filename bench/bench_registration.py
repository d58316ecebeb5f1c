"""Peak memory of bar registrations: 5, 15 and 60-minute and daily bars of 50
stocks x 3 months of one-minute bars (--quick: 10 stocks x 1 month), on
one-minute strategy bars.

Each case runs in a process of its own (`python -m bench.bench_registration
CASE STORE STOCKS BEGIN END CACHE_ROOT`): it sets the run up (the one-minute
fetch is not measured), collects garbage, takes its resident memory as the
baseline, resets its peak (/proc/self/clear_refs, where the system allows it)
and registers the four frequencies. It reports

- raw: the one-minute K matrix of the set-up (what the registrations start from),
- kept: the bytes of what the registrations leave behind (the new K matrices
  and their bookkeeping, the rows added to the fresh-bar store),
- peak: the process's peak resident memory above the baseline.

Resident memory counts only written pages, so the target peak/kept <= 1.25
says that a registration holds little beyond what it keeps. Cases: the
synthesis cache off; on and empty (every entry computed and written); on and
filled (every entry read).
"""
import gc
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench.hostdata import cached_store

STOCKS, BEGIN, END = 50, 20250701, 20250930
QUICK_STOCKS, QUICK_END = 10, 20250731
REGISTRATIONS = (("min", 5), ("min", 15), ("min", 60), ("day", 1))
TARGET_RATIO = 1.25
MIB = 1024 * 1024


def _status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def _reset_peak():
    """Makes VmHWM start again from the current resident memory; False where not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _array_bytes(item):
    import numpy as np

    return sum(v.nbytes for v in vars(item).values() if isinstance(v, np.ndarray))


def _store_bytes(store):
    import numpy as np

    return np.asarray(store).nbytes


def measure(store, stocks, begin, end, cache_root, cache):
    """One case in this process; the figures as a dict."""
    import numpy as np

    from telvar.api.regora import _regora
    from telvar.host import start_host
    from telvar.kestrum import runner
    from telvar.kestrum import sysmodel as cnt

    targets = ["SSE.%d" % (601000 + k) for k in range(stocks)]
    with start_host(store) as host:
        cnt.env.fm.set_root(cache_root)
        runner.setup(targets, begin, end, "min", 1, host=host)
        cnt.env.fm.set_root(cache_root)
        cnt.env.cache_enabled = cache
        vr = cnt.vr
        items_before = len(vr.g_TelvarKDataList)
        regs_before = len(vr.g_TelvarRegKDataInfo)
        store_before = _store_bytes(vr.g_TelvarDataValueFresh)
        raw = vr.g_TelvarKDataList[0].Matrix.nbytes
        gc.collect()
        baseline = _status_bytes("VmRSS")
        reset = _reset_peak()
        for frequency, units in REGISTRATIONS:
            _regora.reg_k_data(frequency, units)
        peak = _status_bytes("VmHWM")
        gc.collect()
        after = _status_bytes("VmRSS")
        kept = sum(_array_bytes(vr.g_TelvarKDataList[i]) for i in range(items_before, len(vr.g_TelvarKDataList)))
        kept += sum(_array_bytes(vr.g_TelvarRegKDataInfo[i])
                    for i in range(regs_before, len(vr.g_TelvarRegKDataInfo)))
        kept += _store_bytes(vr.g_TelvarDataValueFresh) - store_before
        checksum = float(np.nansum(np.asarray(vr.g_TelvarDataValueFresh)[1:]))
    return {"raw": raw, "kept": kept, "kept_rss": after - baseline, "peak": peak - baseline,
            "peak_reset": reset, "bars": int(vr.g_TelvarKDataList[0].Matrix.shape[1]), "checksum": checksum}


def _child(case, store, stocks, begin, end, cache_root):
    env = dict(os.environ)
    src = str(Path(__file__).resolve().parent.parent / "src")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (src, str(Path(__file__).resolve().parent.parent),
                                                    env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-m", "bench.bench_registration", case, str(store), str(stocks),
                          str(begin), str(end), cache_root], env=env, capture_output=True, text=True,
                         timeout=600)
    if out.returncode != 0:
        raise RuntimeError("case %s failed:\n%s" % (case, out.stderr[-4000:]))
    return json.loads(out.stdout.strip().splitlines()[-1])


def _store(stocks, begin, end):
    from telvar.host.sample import build_store

    def build(path):
        build_store(path, begin=begin, end=end, extra_stocks=stocks, futures=False, ticks=False)

    return cached_store("registration-%d-%d-%d" % (stocks, begin, end), build)


def run(report):
    stocks, end = (QUICK_STOCKS, QUICK_END) if report.quick else (STOCKS, END)
    store = _store(stocks, BEGIN, end)
    report.section("registration memory: %d stocks, %d..%d, 5/15/60-minute and daily bars" % (stocks, BEGIN, end))
    checksums = {}
    with tempfile.TemporaryDirectory(prefix="telvar-bench-cache-") as cache_root:
        for case, label in (("off", "cache off"), ("cold", "cache on, empty"), ("warm", "cache on, filled")):
            r = _child(case, store, stocks, BEGIN, end, cache_root)
            checksums[case] = r["checksum"]
            if case == "off":
                report.line("raw one-minute K matrix: %.1f MiB (%d bars)" % (r["raw"] / MIB, r["bars"]))
            report.line("%-17s kept %6.1f MiB (resident %6.1f MiB), peak +%6.1f MiB%s"
                        % (label, r["kept"] / MIB, r["kept_rss"] / MIB, r["peak"] / MIB,
                           "" if r["peak_reset"] else " (peak not reset: includes the set-up)"))
            report.target("peak/kept, %s" % label, r["peak"] / r["kept"], at_most=TARGET_RATIO)
    report.check("the three cases fill the fresh-bar store alike", len(set(checksums.values())) == 1,
                 str(checksums))


if __name__ == "__main__":
    case, store, stocks, begin, end, cache_root = sys.argv[1:7]
    result = measure(store, int(stocks), int(begin), int(end), cache_root, case != "off")
    print(json.dumps(result))
