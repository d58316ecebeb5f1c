"""``telvar run``: load a strategy class from a file, back-test it, print the summary."""
import argparse
import os
import re
import sys
import traceback

FQ_MODES = ("NA", "FWard", "BWard")
FREQUENCY = re.compile(r"^\s*(\d*)\s*(min|day|week|month|year)s?\s*$", re.IGNORECASE)
TARGET = re.compile(r"^[A-Za-z0-9_]+\.[A-Za-z0-9_]+$")


class BadInput(Exception):
    """Input the command refuses before anything runs (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, not argparse's usage block
        raise BadInput("%s (see telvar run --help)" % message)


def _parser():
    p = _Parser(prog="telvar run", description="Back-test a strategy class from a Python file.")
    p.add_argument("strategy_file", help="Python file defining the strategy class (init and on_bar)")
    p.add_argument("--targets", required=True,
                   help="comma-separated MARKET.CODE keys, e.g. SHFE.RB0000,SSE.600000")
    p.add_argument("--begin", required=True, help="first traded date, YYYYMMDD")
    p.add_argument("--end", required=True, help="last date, YYYYMMDD")
    p.add_argument("--freq", default="1min",
                   help="strategy bars: a unit count and min, day, week, month or year "
                        "(1min, 15min, day, ...; default 1min)")
    p.add_argument("--fq", default="NA", help="stock price adjustment: NA, FWard or BWard (default NA)")
    p.add_argument("--warmup", default="0",
                   help="trading days of history before --begin that fill the windows (default 0)")
    p.add_argument("--chunk", default="auto",
                   help="run in consecutive chunks of month, week or N trading days, in bounded memory; 0 never; "
                        "auto (default) when the run would not fit in half the memory")
    p.add_argument("--strategy", help="the class to run, when the file defines several")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--store", help="start a host on this DuckDB store (default: the sample store)")
    where.add_argument("--host", help="address of a running host, e.g. unix:/tmp/telvar.sock")
    p.add_argument("--plot", help="write a chart of the run to this image file (needs matplotlib)")
    p.add_argument("--report", help="write the run's report to this HTML file (needs jinja2 and plotly)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    return p


def parse_frequency(text):
    """'15min' -> ('min', 15); 'day' -> ('day', 1)."""
    m = FREQUENCY.match(text)
    if not m or (m.group(1) and int(m.group(1)) < 1):
        raise BadInput("unknown bar frequency %r: use a unit count and min, day, week, month or year, "
                       "e.g. 1min, 15min, day, 2week" % text)
    return m.group(2).lower(), int(m.group(1) or 1)


def parse_targets(text):
    targets = [t.strip() for t in text.split(",") if t.strip()]
    if not targets:
        raise BadInput("no targets given: use MARKET.CODE keys such as SHFE.RB0000,SSE.600000")
    for t in targets:
        if not TARGET.match(t):
            raise BadInput("bad target %r: targets are MARKET.CODE keys such as SHFE.RB0000" % t)
    return [t.upper() for t in targets]


def parse_date(text, option):
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

    if not re.fullmatch(r"\d{8}", text.strip()):
        raise BadInput("bad date %r for %s: dates are YYYYMMDD, e.g. 20251103" % (text, option))
    try:
        int_date_to_ordinal(int(text))
    except ValueError:
        raise BadInput("bad date %r for %s: no such day" % (text, option)) from None
    return int(text)


def parse_fq(text):
    for mode in FQ_MODES:
        if text.lower() == mode.lower():
            return mode
    raise BadInput("unknown price adjustment %r: use NA, FWard or BWard" % text)


def parse_chunk(text):
    text = text.strip()
    if text == "auto":
        return None
    if text in ("month", "week"):
        return text
    if re.fullmatch(r"\d+", text):
        return int(text)
    raise BadInput("bad --chunk %r: month, week, a number of trading days, 0 or auto" % text)


def parse_warmup(text):
    if not re.fullmatch(r"\s*\d+\s*", text):
        raise BadInput("bad --warmup %r: a number of trading days (0 or more)" % text)
    return int(text)


def _is_strategy_class(obj):
    return isinstance(obj, type) and callable(getattr(obj, "init", None)) and \
        callable(getattr(obj, "on_bar", None))


def load_strategy(path, name=None):
    """An instance of the strategy class in ``path`` (the only one, or the one called ``name``)."""
    import importlib.util

    if not os.path.isfile(path):
        raise BadInput("strategy file not found: %s" % path)
    folder = os.path.dirname(os.path.abspath(path))
    module_name = "telvar_strategy_" + re.sub(r"\W", "_", os.path.splitext(os.path.basename(path))[0])
    spec = importlib.util.spec_from_file_location(module_name, path)
    if spec is None or spec.loader is None:
        raise BadInput("not a Python file: %s" % path)
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, folder)  # the strategy may import its neighbours
    sys.modules[module_name] = module
    spec.loader.exec_module(module)
    if name is not None:
        cls = getattr(module, name, None)
        if not _is_strategy_class(cls):
            raise BadInput("%s has no strategy class %r (a class with init and on_bar)" % (path, name))
    else:
        found = [obj for obj in vars(module).values()
                 if _is_strategy_class(obj) and obj.__module__ == module_name]
        if not found:
            raise BadInput("no strategy class in %s: define a class with init(self, context) and "
                           "on_bar(self, context)" % path)
        if len(found) > 1:
            raise BadInput("several strategy classes in %s (%s): choose one with --strategy"
                           % (path, ", ".join(sorted(c.__name__ for c in found))))
        cls = found[0]
    return cls()


def _validated(args):
    inputs = {
        "targets": parse_targets(args.targets),
        "begin_date": parse_date(args.begin, "--begin"),
        "end_date": parse_date(args.end, "--end"),
        "fq": parse_fq(args.fq),
        "warmup": parse_warmup(args.warmup),
        "chunk": parse_chunk(args.chunk),
    }
    inputs["frequency"], inputs["freq_num"] = parse_frequency(args.freq)
    if inputs["begin_date"] > inputs["end_date"]:
        raise BadInput("--begin %s is after --end %s" % (args.begin, args.end))
    if args.store is not None and not os.path.isfile(args.store):
        raise BadInput("store not found: %s" % args.store)
    if args.plot is not None:
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:
            raise BadInput("--plot needs matplotlib: pip install 'telvar[demo]'")
    if args.report is not None:
        import importlib.util

        if any(importlib.util.find_spec(name) is None for name in ("jinja2", "plotly")):
            raise BadInput("--report needs jinja2 and plotly: pip install 'telvar[report]'")
    return inputs


def _in_user_code(exc, path):
    """Whether the traceback of ``exc`` passes through the strategy file."""
    path = os.path.abspath(path)
    return any(os.path.abspath(frame.filename) == path for frame in traceback.extract_tb(exc.__traceback__))


def _fail(message, status):
    first_line = str(message).strip().splitlines()[0] if str(message).strip() else type(message).__name__
    print("telvar run: error: %s" % first_line, file=sys.stderr)
    return status


def run_command(argv):
    from telvar.cli.report import format_summary, plot_run

    try:
        args = _parser().parse_args(argv)
        inputs = _validated(args)
    except BadInput as exc:
        return _fail(exc, 2)
    try:
        strategy = load_strategy(args.strategy_file, args.strategy)
    except BadInput as exc:
        return _fail(exc, 2)
    except Exception:  # the strategy file's own error: its traceback helps its author
        traceback.print_exc()
        return _fail("could not load %s" % args.strategy_file, 1)

    from telvar.kestrum import runner

    handle = None
    try:
        if args.store is not None:
            from telvar.host import start_host

            handle = start_host(args.store)
        host = handle if handle is not None else args.host
        summary = runner.run(strategy, inputs.pop("targets"), host=host, progress=not args.no_progress,
                             **inputs)
        print(format_summary(summary))
        if args.plot:
            plot_run(args.plot, strategy)
            print("chart written to %s" % args.plot)
        if args.report:
            summary.report(args.report)
            print("report written to %s" % args.report)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except Exception as exc:
        if _in_user_code(exc, args.strategy_file):
            traceback.print_exc()
            return _fail("the strategy failed: %s: %s" % (type(exc).__name__, exc), 1)
        return _fail(exc, 1)
    finally:
        if handle is not None:
            handle.stop()
    return 0


__all__ = ["run_command", "load_strategy", "parse_frequency", "parse_targets", "BadInput"]
