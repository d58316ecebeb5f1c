"""A writer killed while writing a MAT file leaves its temporary file behind;
the next write to that folder removes such leftovers once they are old, and
only files of the writer's own temporary names."""
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import telvar
from telvar.kestrum.utils import utilfunc
from telvar.kestrum.utils.utilfunc import STALE_TEMPORARY_SECONDS, load_mat, save_mat

SRC = str(Path(telvar.__file__).resolve().parents[1])


def killed_writer(folder):
    """Run a process that dies (SIGKILL) halfway through save_mat into ``folder``; returns its leftover."""
    code = textwrap.dedent("""
        import os, signal, sys
        import numpy as np
        from telvar.kestrum import _matio
        from telvar.kestrum.utils.utilfunc import save_mat

        def dies_halfway(path, *args, **kwargs):
            with open(path, "wb") as f:
                f.write(b"MATLAB 5.0 MAT-file, half written")
            os.kill(os.getpid(), signal.SIGKILL)

        _matio.write = dies_halfway
        save_mat(os.path.join(sys.argv[1], "entry.mat"), {"Matrix": np.ones((3, 3))})
    """)
    before = set(os.listdir(folder))
    done = subprocess.run([sys.executable, "-c", code, str(folder)], env=dict(os.environ, PYTHONPATH=SRC),
                          capture_output=True, timeout=120)
    assert done.returncode == -signal.SIGKILL, done.stderr
    (left,) = set(os.listdir(folder)) - before
    assert not (Path(folder) / "entry.mat").exists()
    return Path(folder) / left


def age(path, seconds):
    then = time.time() - seconds
    os.utime(path, (then, then))


def test_an_old_leftover_is_removed_by_the_next_write_and_a_young_one_is_not(tmp_path):
    old, young = killed_writer(tmp_path), killed_writer(tmp_path)
    age(old, STALE_TEMPORARY_SECONDS + 60)
    age(young, STALE_TEMPORARY_SECONDS - 60)  # a writer may still be at it
    save_mat(str(tmp_path / "next.mat"), {"a": np.arange(3.0)})
    assert not old.exists()
    assert young.exists()
    assert sorted(os.listdir(tmp_path)) == sorted(["next.mat", young.name])
    np.testing.assert_array_equal(load_mat(str(tmp_path / "next.mat"))["a"], [[0.0, 1.0, 2.0]])


def test_a_cache_write_cleans_its_folder():
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.ufuncs import save_mat_cache

    folder = Path(cnt.env.fm.cache_dir("stale-temporaries"))
    old = killed_writer(folder)
    age(old, 2 * STALE_TEMPORARY_SECONDS)
    assert save_mat_cache(str(folder), "key_BF", {"Matrix": np.ones((2, 2))})
    assert sorted(os.listdir(folder)) == ["key_BF.mat"]


@pytest.mark.parametrize("name", [
    "notes.mat", ".tmp-notes.mat", "x.telvar-tmp-abcdefgh.mat", ".telvar-tmp-abcdefgh.mat.bak",
    ".telvar-tmp-ABCDEFGH.mat", ".tmp-abcdefgh.mat"])
def test_files_of_other_names_are_left_alone(tmp_path, name):
    # earlier versions' ".tmp-XXXXXXXX.mat" names are common enough to be a user's: outside telvar's
    # own folders they stay too
    other = tmp_path / name
    other.write_bytes(b"a user's file")
    age(other, 10 * STALE_TEMPORARY_SECONDS)
    save_mat(str(tmp_path / "next.mat"), {"a": 1.0})
    assert other.read_bytes() == b"a user's file"


def test_earlier_temporary_names_are_removed_in_telvars_own_folders(owned_dir):
    earlier = owned_dir / ".tmp-k2x_9qaz.mat"
    earlier.write_bytes(b"MATLAB 5.0 MAT-file, half written")
    age(earlier, 2 * STALE_TEMPORARY_SECONDS)
    save_mat(str(owned_dir / "next.mat"), {"a": 1.0})
    assert not earlier.exists()


def test_a_folder_is_looked_through_once_in_a_while(tmp_path, monkeypatch):
    scans = []
    real_scandir = os.scandir
    monkeypatch.setattr(utilfunc.os, "scandir", lambda path: scans.append(path) or real_scandir(path))
    for i in range(5):
        save_mat(str(tmp_path / ("f%d.mat" % i)), {"a": float(i)})
    assert scans == [str(tmp_path)]
    assert utilfunc.remove_stale_temporaries(str(tmp_path), now=time.time() + 3600) == 0
    assert scans == [str(tmp_path)] * 2
