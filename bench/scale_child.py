"""One measured step of the scale benchmark, run in a process of its own (`python -m bench.scale_child`).

`build PATH STOCKS BEGIN END` writes a store; `run STORE STOCKS BEGIN END CHUNK` runs the scale
strategy (5/15/60-minute and daily registrations, one window read per bar) on the first STOCKS extra
stocks. Either prints one JSON line: seconds, the process's peak resident memory and, for runs, the
host's, the target-bars and the run's summary numbers.
"""
import json
import resource
import sys
import time


def _peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def proc_status_bytes(pid, field):
    """A memory figure of /proc/PID/status (``VmRSS``, ``VmHWM``) in bytes; None once the process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


class ScaleStrategy:
    """Registers 5, 15 and 60-minute and daily bars and reads one window per bar."""

    def init(self, context):
        from telvar.api.regora import _regora

        context.regs = [_regora.reg_k_data("min", n) for n in (5, 15, 60)] + [_regora.reg_k_data("day", 1)]
        context.checksum = 0.0

    def on_bar(self, context):
        from telvar.api.regora import _regora

        reg = context.regs[context.run_bar_pos % len(context.regs)]
        window = _regora.get_reg_k_data(reg, context.bar_pos, 3, True)
        close = window[-1, 5]
        if close == close:
            context.checksum += close

    def summary(self, context):
        return context.checksum


def build(path, stocks, begin, end):
    from telvar.host.sample import build_store

    started = time.perf_counter()
    build_store(path, begin=int(begin), end=int(end), extra_stocks=int(stocks))
    return {"seconds": time.perf_counter() - started, "peak": _peak_bytes()}


def run(store, stocks, begin, end, chunk):
    from telvar.host import start_host
    from telvar.kestrum import runner

    targets = ["SSE.%d" % (601000 + k) for k in range(int(stocks))]
    chunk = int(chunk) if chunk.isdigit() else chunk
    with start_host(store) as host:
        started = time.perf_counter()
        result = runner.run(ScaleStrategy(), targets, int(begin), int(end), host=host, progress=False,
                            chunk=chunk, trading=False)
        seconds = time.perf_counter() - started
        host_peak = proc_status_bytes(host.pid, "VmHWM")
    return {"seconds": seconds, "peak": _peak_bytes(), "host_peak": host_peak, "bars": result["bars"],
            "target_bars": result["bars"] * len(targets), "chunks": result["chunks"],
            "setup_seconds": result["setup_seconds"], "run_seconds": result["run_seconds"],
            "checksum": result["strategy"]}


if __name__ == "__main__":
    step, args = sys.argv[1], sys.argv[2:]
    out = build(*args) if step == "build" else run(*args)
    print(json.dumps(out))
