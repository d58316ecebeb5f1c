"""Type stubs (.pyi) of the compiled modules, written by nanobind's stub generator.

The stubs are checked in next to their modules in src/ and shipped in the
wheel. `make stubs` rewrites them from a development build
(``PYTHONPATH=src python -m tools.stubs``); tests/test_stubs.py regenerates
them from the modules it imports and compares.

A stub describes a module's own names: its functions, constants and
exception types. The framework names a module binds at import (numpy as np,
the run state, the message catalog...) are left out, so a stub does not
depend on which catalog or run state the generating process had.
"""
import importlib
import inspect
import os
import re
import sys
import tempfile
from pathlib import Path

from nanobind import stubgen

ROOT = Path(__file__).resolve().parent.parent

# module -> its stub, relative to the repository's root
STUBS = {
    "telvar.api.history._history": "src/telvar/api/history/_history.pyi",
    "telvar.api.regora._regora": "src/telvar/api/regora/_regora.pyi",
    "telvar.api.fundamental.mkt.mkt": "src/telvar/api/fundamental/mkt/mkt.pyi",
    "telvar.kestrum.numkern": "src/telvar/kestrum/numkern.pyi",
    "telvar.kestrum._matio": "src/telvar/kestrum/_matio.pyi",
    "telvar.host.store._kmatrix": "src/telvar/host/store/_kmatrix.pyi",
}


def _is_own(module, value):
    if inspect.ismodule(value):
        return False
    if callable(value):  # functions and classes name the module that defines them
        return getattr(value, "__module__", None) == module.__name__
    return type(value).__module__ == "builtins"  # a constant such as a folder name


def imported_names(module):
    """The names in a module's namespace that other modules define."""
    return sorted(name for name, value in vars(module).items()
                  if not name.startswith("__") and not _is_own(module, value))


def _pattern_file(module, folder):
    """A stub generator pattern file that drops the module's imported names."""
    path = Path(folder) / "imported-names.txt"
    lines = []
    for name in imported_names(module):
        lines.append("^%s$:" % re.escape("%s.%s" % (module.__name__, name)))
        lines.append("")  # an empty replacement removes the entry
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def generate(module_name):
    """The stub text of one module, as nanobind's stub generator writes it."""
    module = importlib.import_module(module_name)
    old_flag = os.environ.get("NB_STUBGEN")
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "stub.pyi"
        args = ["-q", "-m", module_name, "-o", str(out)]
        if imported_names(module):
            args += ["-p", str(_pattern_file(module, folder))]
        old_path = list(sys.path)
        try:
            stubgen.main(args)
        finally:  # the generator marks the process as generating stubs and adds '' to the path
            sys.path[:] = old_path
            if old_flag is None:
                os.environ.pop("NB_STUBGEN", None)
            else:
                os.environ["NB_STUBGEN"] = old_flag
        return out.read_text(encoding="utf-8")


def main():
    changed = 0
    for module_name, rel in STUBS.items():
        path = ROOT / rel
        text = generate(module_name)
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")
            print("wrote %s" % rel)
            changed += 1
    print("%d of %d stubs rewritten" % (changed, len(STUBS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
