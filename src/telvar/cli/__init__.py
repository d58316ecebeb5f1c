"""The ``telvar`` command line.

    telvar run STRATEGY_FILE --targets SHFE.RB0000,SSE.600000 --begin 20251103 --end 20251128
               [--freq 1min] [--fq NA] [--warmup N] [--chunk auto|month|week|N|0]
               [--strategy CLASS] [--store PATH | --host ADDRESS] [--plot PATH] [--report PATH]
               [--no-progress]
    telvar host serve|import|build-sample ...     (the host's own commands)

Bad input ends the command with a one-line message on standard error and
exit status 2; a failure while running, 1.
"""
import sys

USAGE = ("usage: telvar run STRATEGY_FILE --targets ... --begin YYYYMMDD --end YYYYMMDD [options]\n"
         "       telvar host serve|import|build-sample ...\n"
         "'telvar run --help' and 'telvar host --help' tell more.")


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__.strip() if argv else USAGE)
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command == "run":
        from telvar.cli.run_command import run_command

        return run_command(rest)
    if command == "host":
        from telvar.host.__main__ import main as host_main

        return host_main(rest)
    print("telvar: error: unknown command %r (commands: run, host)" % command, file=sys.stderr)
    return 2


__all__ = ["main"]
