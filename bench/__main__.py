"""Runs every benchmark: `python -m bench [--quick] [--cpu-time] [name ...]` (or `make bench`).

A benchmark is a file bench/bench_<name>.py with a function `run(report)`;
`report` is a bench.report.Report (timings against baselines printed as
ratios, answer checks, performance targets; `report.quick` asks for smaller
inputs). Time them with bench.report.best_time (wall time; with --cpu-time
the process's CPU time, steadier on a busy machine). Files run in name order;
naming some runs only those. The run ends with a summary of every performance
target (label, value, what is wanted, MET or MISSED). The exit status is 1
when an answer check failed (a missed target is reported, not a failure).
`python -m bench fuzz_mat --files N [--seed S]` is the MAT reader's fuzz run.
"""
import argparse
import importlib
import pathlib
import sys
import time
import traceback

from bench import report as report_module
from bench.report import Report


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="benchmarks to run (bench_<name>.py), default all")
    parser.add_argument("--quick", action="store_true", help="small inputs, for a fast look")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time single-threaded work by CPU time instead of wall time")
    parser.add_argument("--files", type=int, help="fuzz_mat: how many mutated files to read")
    parser.add_argument("--seed", type=int, help="fuzz_mat: the seed of the mutations")
    args = parser.parse_args(argv)
    if args.cpu_time:
        report_module.clock = time.process_time

    found = sorted(p.stem[len("bench_"):] for p in pathlib.Path(__file__).parent.glob("bench_*.py"))
    unknown = set(args.names) - set(found)
    if unknown:
        parser.error(f"no such benchmark: {', '.join(sorted(unknown))} (have: {', '.join(found)})")
    report = Report(quick=args.quick)
    report.files, report.seed = args.files, args.seed
    for name in args.names or found:
        print(f"\n##### bench_{name}")
        report.benchmark = name
        try:
            importlib.import_module(f"bench.bench_{name}").run(report)
        except Exception:  # one broken benchmark must not hide the others
            traceback.print_exc()
            report.failures.append(f"bench_{name} raised")
    report.summary()
    if report.failures:
        print(f"\nFAILED: {', '.join(report.failures)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
