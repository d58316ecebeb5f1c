"""MAT file reading and writing against scipy.io, on the host's answer for 50
targets x 3 months of one-minute bars (a ~64 MB K-data file).

Reading: _matio.read and the framework's load_mat against scipy.io.loadmat.
Writing: the host's atomic save_mat and a bare _matio.write against
scipy.io.savemat, for the matrix as the host holds it (column-major) and as a
C-ordered copy (written by a strided loop, where savemat first makes a
column-major copy). Every answer is checked against scipy's.
"""
import os
import tempfile
from pathlib import Path

import numpy as np
import scipy.io

from bench import report as report_module
from bench.report import best_time


def k_data_file(folder, quick):
    """The host's multi-target K-data answer, copied into `folder`."""
    import shutil

    from bench.bench_history_multi import bench_store, targets_of
    from telvar.host import start_host
    from telvar.kestrum import comm
    from telvar.kestrum.comm import tvcmd

    extra, end = (6, 20250930) if quick else (46, 20251130)
    with start_host(store=bench_store(extra)) as host:
        comm.connect(host.address)
        try:
            path = tvcmd.tvSendCmdGetKDataMulti(targets_of(extra), "min", 20250901, end, True, "NA")
            return Path(shutil.copy(path, Path(folder) / "k_multi.mat"))
        finally:
            comm.disconnect()


def same_variables(ours, theirs):
    names = [k for k in theirs if not k.startswith("__")]
    if [k for k in ours if not k.startswith("__")] != names:
        return False
    return all(ours[k].dtype == theirs[k].dtype and ours[k].shape == theirs[k].shape
               and np.array_equal(ours[k], theirs[k], equal_nan=True) for k in names)


def best_write_time(write, path, repeat):
    """Smallest time of `write(path)` into a new file (as the host writes each answer to a new
    name); removing the previous file is not timed."""
    best = float("inf")
    for _ in range(repeat):
        if path.exists():
            path.unlink()
        started = report_module.clock()
        write(path)
        best = min(best, report_module.clock() - started)
    return best


def run(report):
    from telvar.host.commands.writers import save_mat as host_save_mat
    from telvar.kestrum import _matio
    from telvar.kestrum.utils.utilfunc import load_mat

    repeat = 3 if report.quick else 7
    with tempfile.TemporaryDirectory() as folder:
        path = k_data_file(folder, report.quick)
        size_mb = os.path.getsize(path) / 1e6
        t_scipy, reference = best_time(lambda: scipy.io.loadmat(str(path)), repeat=repeat)
        report.section(f"reading the K-data file of {reference['KArray'].shape[0] // 7} targets x "
                       f"{reference['TimeLine'].size} bars ({size_mb:.0f} MB)")
        t_read, ours = best_time(lambda: _matio.read(str(path)), repeat=repeat)
        t_load, loaded = best_time(lambda: load_mat(str(path)), repeat=repeat)
        report.check("_matio.read gives scipy's arrays", same_variables(ours, reference))
        report.check("load_mat gives scipy's arrays", same_variables(loaded, reference))
        report.compare("_matio.read", t_read, scipy_loadmat=t_scipy)
        report.compare("load_mat", t_load, scipy_loadmat=t_scipy)
        report.line(f"_matio.read {size_mb / t_read:8.0f} MB/s, scipy.io.loadmat {size_mb / t_scipy:8.0f} MB/s")
        report.target("reading, times faster than scipy.io.loadmat", t_scipy / t_load, 3)

        data = {k: v for k, v in reference.items() if not k.startswith("__")}
        c_ordered = dict(data, KArray=np.ascontiguousarray(data["KArray"]))
        out_ours, out_scipy = Path(folder) / "ours.mat", Path(folder) / "scipy.mat"
        for label, variables in (("column-major", data), ("C-ordered", c_ordered)):
            report.section(f"writing it ({label} KArray)")
            t_savemat = best_write_time(lambda p: scipy.io.savemat(str(p), variables), out_scipy, repeat)
            t_host = best_write_time(lambda p: host_save_mat(p, variables), out_ours, repeat)
            report.check("scipy reads our file as the data written",
                         same_variables(scipy.io.loadmat(str(out_ours)), reference))
            report.check("the file is byte for byte scipy's (past the header's date)",
                         out_ours.read_bytes()[116:] == out_scipy.read_bytes()[116:])
            t_bare = best_write_time(lambda p: _matio.write(str(p), variables), out_ours, repeat)
            report.compare("host save_mat (atomic)", t_host, scipy_savemat=t_savemat)
            report.compare("_matio.write", t_bare, scipy_savemat=t_savemat)
            report.target(f"writing ({label}), times faster than scipy.io.savemat", t_savemat / t_host, 2)
