"""A seeded, bounded fuzz run of the MAT reader over real host answers and
cache files (`python -m bench fuzz_mat`), in a subprocess: a crash fails
this test instead of ending the test run."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import telvar

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.host
def test_thousands_of_damaged_real_files_never_crash_the_reader():
    # the subprocess imports the same telvar this test run imported: the
    # installed one under `make test`, the working tree's under PYTHONPATH=src
    package_root = str(Path(telvar.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "bench", "fuzz_mat", "--files", "3000", "--seed", "11"],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    summary = re.search(r"files tried (\d+) \| read (\d+) \| refused .*? (\d+) \| crashes (\d+) \| "
                        r"other errors (\d+)", done.stdout)
    assert summary, done.stdout + done.stderr
    tried, read, refused, crashes, other = map(int, summary.groups())
    assert (crashes, other) == (0, 0), done.stdout
    assert tried == 3000 and read + refused == tried
    assert read > 100 and refused > 1000  # the mutations reach both outcomes
    assert done.returncode == 0, done.stdout + done.stderr
