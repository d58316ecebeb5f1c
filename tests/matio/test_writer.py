"""The MAT writer: arrays in any layout written from where they lie, memory
(no transposed copy when writing, one copy when reading), atomic writes that
fail without debris, values refused before anything is written."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.io

from telvar.host.commands import writers
from telvar.kestrum import _matio
from telvar.kestrum.utils.utilfunc import save_mat

from matfile_kit import assert_same


def _read_back(path):
    return {k: v for k, v in scipy.io.loadmat(str(path)).items() if not k.startswith("__")}


def test_layouts_the_callers_hand_over(tmp_path):
    k = np.arange(7 * 4 * 50, dtype=float).reshape(28, 50)  # C-ordered, as a framework matrix
    cube = np.arange(29 * 40 * 3, dtype=float).reshape(29, 40, 3)
    k_fortran = np.asfortranarray(k)
    raw = np.frombuffer(b"\0" + np.arange(10, dtype="<i4").tobytes(), dtype="<i4", count=10, offset=1)
    values = {
        "c_ordered": k,
        "row_block": k_fortran[7:21],  # a part file's slice of the host's column-major matrix
        "targets": cube[:, :, 1:3],  # a part file's slice of the tick cube
        "reversed": k[::-1, ::-2],
        "transposed": k.T,
        "big_endian": k.astype(">f8"),
        "unaligned": raw,
        "one_column": k[:, 3],
        "complex_view": (k + 1j * k)[::2],
        "flags": k > 100,
    }
    path = tmp_path / "layouts.mat"
    _matio.write(str(path), values)
    back = _read_back(path)
    for name, value in values.items():
        expected = value.reshape(1, -1) if value.ndim == 1 else value
        assert back[name].shape == expected.shape, name
        np.testing.assert_array_equal(back[name], expected.astype(expected.dtype.newbyteorder("=")), err_msg=name)


def _peak_growth(script, tmp_path):
    """How far resident memory rose above what it was at the script's mark, in MB (a fresh process)."""
    code = textwrap.dedent("""
        import sys
        import numpy as np
        from telvar.kestrum import _matio
        def status(field):  # this process's own figures (ru_maxrss would carry the parent's peak over)
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(field)) / 1024
        def now():
            return status("VmRSS:")
        def peak():
            return status("VmHWM:")
        path = sys.argv[1]
    """) + textwrap.dedent(script)
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "big.mat")], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120)
    assert done.returncode == 0, done.stderr
    return float(done.stdout.split()[-1])


def test_writing_makes_no_copy_and_reading_one(tmp_path):
    # 64 MB in C order: scipy.io.savemat first makes a 64 MB column-major copy
    grown = _peak_growth("""
        k = np.random.default_rng(0).standard_normal((350, 22857))
        before = now()
        _matio.write(path, {"KArray": k})
        print(peak() - before)
    """, tmp_path)
    assert grown < 16, grown
    grown = _peak_growth("""
        before = now()
        data = _matio.read(path)
        assert data["KArray"].shape == (350, 22857)
        print(peak() - before)
    """, tmp_path)
    assert 60 < grown < 64 * 1.25, grown  # the array itself, and little beside it


ATOMIC_FAILURE = """
import os, resource, signal, sys
import numpy as np
from telvar.kestrum.utils.utilfunc import save_mat
from telvar.host.commands.writers import save_mat as host_save_mat
folder = sys.argv[1]
write = {"framework": lambda p, d: save_mat(p, d), "host": host_save_mat}[sys.argv[2]]
path = os.path.join(folder, "answer.mat")
write(path, {"v": np.arange(4.0)})
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # an oversized write fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
try:
    write(path, {"v": np.ones(1 << 20)})
except OSError as e:
    print("failed", e.errno)
"""


@pytest.mark.parametrize("writer", ["framework", "host"])
def test_a_write_that_fails_half_way_leaves_the_old_file_and_no_debris(tmp_path, writer):
    done = subprocess.run([sys.executable, "-c", ATOMIC_FAILURE, str(tmp_path), writer], capture_output=True,
                          text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    assert done.stdout.split() == ["failed", "27"], done.stdout + done.stderr  # EFBIG
    assert os.listdir(tmp_path) == ["answer.mat"]
    np.testing.assert_array_equal(_read_back(tmp_path / "answer.mat")["v"], [[0, 1, 2, 3]])


class TestValuesRefusedBeforeWriting:
    @pytest.mark.parametrize("data, error, match", [
        ({"v": None}, TypeError, "Could not convert None"),
        ({"v": {"inner": None}}, TypeError, "Could not convert None"),
        ({"v": np.array([object()], dtype=object)}, TypeError, "Could not convert"),
        ({"_hidden": 1}, ValueError, "variable name"),
        ({"v": {"_x": 1}}, ValueError, "field name"),
        ({"v": {"x" * 32: 1}}, ValueError, "restricted to 31"),
        ({"v": {"prix_\u00e9": 1}}, ValueError, "ASCII"),
        ({"v": "\ud800"}, ValueError, "surrogate"),
        ({"v": np.empty((2 ** 31, 0))}, ValueError, "too large"),
    ])
    def test_nothing_is_written(self, tmp_path, data, error, match):
        path = tmp_path / "refused.mat"
        with pytest.raises(error, match=match):
            writers.save_mat(path, data)
        assert os.listdir(tmp_path) == []

    def test_long_field_names_when_asked(self, tmp_path):
        path = tmp_path / "long.mat"
        save_mat(str(path), [{"x" * 40: 1.0}], struct_name="cashInfo", long_field_names=True)
        assert _read_back(path)["cashInfo"].dtype.names == ("x" * 40,)

    def test_values_that_contain_themselves(self, tmp_path):
        looped = {}
        looped["self"] = looped
        with pytest.raises(ValueError, match="nested"):
            _matio.write(str(tmp_path / "loop.mat"), {"v": looped})


def test_host_answers_read_back_as_scipy_writes_them(tmp_path):
    records = [{"Time": np.arange(3.0) + 739600, "Close": np.array([10.5, 10.6, np.nan])}, {}]
    k = np.arange(7 * 3 * 10, dtype=float).reshape(21, 10)
    head = {"TimeLine": np.arange(10.0), "DayPos": np.ones((1, 10)), "TradeFreshPos": np.array([[9.0]])}
    for name, data in {
        "kdata_n": {"KArray": writers.record_array(records, ["Time", "Close"])},
        "ticks": {"Time": np.arange(5.0), "BidPrice1": np.ones(5)},
        "tick_fields": {"TickFields": np.array(["Price", "Volume", "BidPrice1"]), "KArray": np.zeros((0, 0))},
        "multi": dict(head, KArray=k),
    }.items():
        for oned_as in ("row", "column"):
            ours, theirs = tmp_path / f"{name}_ours.mat", tmp_path / f"{name}_theirs.mat"
            writers.save_mat(ours, data, oned_as=oned_as)
            scipy.io.savemat(str(theirs), data, oned_as=oned_as)
            assert_same(_read_back(ours), _read_back(theirs))
            assert ours.read_bytes()[116:] == theirs.read_bytes()[116:], name
