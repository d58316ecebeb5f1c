"""The K-matrix layout is compiled into _history and _regora; importing either
checks it against the framework's gv and refuses a layout that differs."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import telvar

PACKAGE_ROOT = str(Path(telvar.__file__).resolve().parents[1])


def import_with(module, patch):
    """Imports `module` in a fresh interpreter after running `patch` on gv."""
    code = "\n".join([
        "from telvar.kestrum import globalvars as gv",
        patch,
        "import importlib",
        "try:",
        "    importlib.import_module(%r)" % module,
        "    print('imported')",
        "except ImportError as error:",
        "    while error is not None:",  # nanobind wraps the module's own error
        "        print(type(error).__name__ + ': ' + str(error))",
        "        error = error.__cause__",
    ])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)


HISTORY = "telvar.api.history._history"
REGORA = "telvar.api.regora._regora"


@pytest.mark.parametrize("module", [HISTORY, REGORA])
def test_the_framework_layout_imports(module):
    done = import_with(module, "pass")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "imported"


@pytest.mark.parametrize("module, patch, message", [
    (HISTORY, "gv.KMatrix_Close = 5",
     "gv.KMatrix_Close is 5 in the framework but 3 in the compiled module"),
    (REGORA, "gv.KMatrix_Close = 5",
     "gv.KMatrix_Close is 5 in the framework but 3 in the compiled module"),
    (REGORA, "gv.Adj_KMatrix_Bar_Len = 5",
     "gv.Adj_KMatrix_Bar_Len is 5 in the framework but 4 in the compiled module"),
    (HISTORY, "gv.KMatrixPos_Head_len = 4.0",
     "gv.KMatrixPos_Head_len is 4.0 in the framework but 4 in the compiled module"),
    (HISTORY, "del gv.KMatrixPos_TimeLine",
     "gv has no KMatrixPos_TimeLine; the compiled module has it as 0"),
])
def test_a_different_layout_fails_the_import(module, patch, message):
    done = import_with(module, patch)
    assert done.returncode == 0, done.stderr
    chain = done.stdout.splitlines()
    assert "imported" not in chain and chain[0].startswith("ImportError: ")
    assert "ImportError: " + message in chain
