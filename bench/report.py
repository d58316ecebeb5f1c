"""What a benchmark file's `run(report)` is given: timing and printing helpers."""
import time


# The clock of best_time: wall time, or this process's CPU time when the
# runner is given --cpu-time (steadier on a machine shared with other work;
# right for single-threaded code only).
clock = time.perf_counter


def best_time(fn, repeat=3):
    """Smallest time of `repeat` calls of fn(), in seconds, and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = clock()
        result = fn()
        best = min(best, clock() - start)
    return best, result


def _ms(seconds):
    return f"{seconds * 1e3:9.1f} ms"


class Report:
    """Collects a benchmark file's results and prints them as it goes.

    quick: True when the runner was asked for a short run (smaller inputs).
    """

    def __init__(self, quick=False):
        self.quick = quick
        self.failures = []

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

    def target(self, label, value, at_least):
        """A performance target: printed with 'met' or 'missed' (not a failure)."""
        state = "met" if value >= at_least else "MISSED"
        print(f"   target {label}: {value:.2f} (want >= {at_least:g}) {state}")
