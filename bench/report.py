"""What a benchmark file's `run(report)` is given: timing and printing helpers."""
import importlib
import pathlib
import sys
import time

# Modules built for the tests and benchmarks only, never installed (`make test-modules`)
BENCH_ONLY_MODULES = pathlib.Path(__file__).resolve().parent.parent / "build" / "test-modules"


# The clock of best_time: wall time, or this process's CPU time when the
# runner is given --cpu-time (steadier on a machine shared with other work;
# right for single-threaded code only).
clock = time.perf_counter


def best_time(fn, repeat=3, wall=False):
    """Smallest time of `repeat` calls of fn(), in seconds, and its last result. `wall`: by wall
    time even under --cpu-time (for work done partly in another process, such as the host)."""
    timer = time.perf_counter if wall else clock
    best, result = float("inf"), None
    for _ in range(repeat):
        start = timer()
        result = fn()
        best = min(best, timer() - start)
    return best, result


def bench_only_module(name):
    """A module built for the tests and benchmarks only, from build/test-modules."""
    if str(BENCH_ONLY_MODULES) not in sys.path:
        sys.path.insert(0, str(BENCH_ONLY_MODULES))
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise ImportError("%s is built for the benchmarks only: run `make test-modules` (or `make dev`) "
                          "first (%s)" % (name, exc)) from exc


def _ms(seconds):
    return f"{seconds * 1e3:9.1f} ms"


class Report:
    """Collects a benchmark file's results and prints them as it goes.

    quick: True when the runner was asked for a short run (smaller inputs).
    """

    def __init__(self, quick=False):
        self.quick = quick
        self.failures = []
        self.targets = []  # (benchmark, label, value, wanted, "MET" or "MISSED") of every target
        self.benchmark = ""  # the benchmark file running now (set by the runner)

    def section(self, title):
        print(f"\n== {title}")

    def line(self, text):
        print(f"   {text}")

    def compare(self, label, ours, **baselines):
        """Our time against named baseline times (seconds); prints each ratio
        as baseline/ours, so 40x means we are 40 times faster."""
        parts = [f"{label:<28} ours {_ms(ours)}"]
        for name, seconds in baselines.items():
            parts.append(f"{name} {_ms(seconds)} ({seconds / ours:6.1f}x)")
        print("   " + " | ".join(parts))

    def throughput(self, label, items, seconds, unit="items"):
        print(f"   {label:<28} {items / seconds / 1e6:9.1f} M {unit}/s ({_ms(seconds)})")

    def check(self, label, ok, detail=""):
        """An answer check; a failed one makes the run exit with status 1."""
        print(f"   {'ok  ' if ok else 'FAIL'} {label}{': ' + detail if detail else ''}")
        if not ok:
            self.failures.append(label)

    def target(self, label, value, at_least=None, at_most=None):
        """A performance target: ``value`` should be at least ``at_least`` (or at most ``at_most``).
        Printed with MET or MISSED (a missed target is not a failure) and kept for the summary."""
        if (at_least is None) == (at_most is None):
            raise ValueError("a target wants either at_least or at_most")
        met = value >= at_least if at_most is None else value <= at_most
        wanted = f">= {at_least:g}" if at_most is None else f"<= {at_most:g}"
        state = "MET" if met else "MISSED"
        self.targets.append((self.benchmark, label, value, wanted, state))
        print(f"   target {label}: {value:.2f} (want {wanted}) {state}")

    def summary(self):
        """Every target of the run, one line each, so that all are seen at once."""
        print(f"\n##### targets ({sum(t[4] == 'MET' for t in self.targets)} of {len(self.targets)} met)")
        width = max((len(f"{b}: {label}") for b, label, *_ in self.targets), default=0)
        for benchmark, label, value, wanted, state in self.targets:
            name = f"{benchmark}: {label}"
            print(f"   {name:<{width}}  {value:10.2f}  (want {wanted:<8})  {state}")
