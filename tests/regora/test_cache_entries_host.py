"""The registration module's caches and the host's factor files, real ones
damaged by the test: a synthesis cache entry that does not fit the run is
warned about, rebuilt and rewritten, and the registered bars are those of the
undamaged run; a factor file that does not fit is a TvDataError naming it and
the variable."""
import glob
import os
import shutil
import warnings

import numpy as np
import pytest

from content_damage import DamagingChannel, damage_file
from telvar.kestrum import comm, runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.utils.exceptions import TelvarWarning, TvDataError

pytestmark = pytest.mark.host

TARGETS = [{"Market": "SHFE", "Code": "RB0000"}, {"Market": "SSE", "Code": "600000"}]
BEGIN, END = 20251103, 20251114


def run(host):
    """Set up a run and register week, 15-minute and adjusted 15-minute bars; the run state's matrices."""
    from telvar.api.regora import _regora

    cnt.reset(keep_connection=True)
    runner.setup(TARGETS, BEGIN, END, "min", 1, host=host)
    for args in (("week", 1), ("min", 15), ("min", 15, True)):
        _regora.reg_k_data(*args)
    vr = cnt.vr
    out = [vr.g_TelvarDataValueFresh.copy(), np.asarray(vr.g_TelvarDataValueFresh_Adj).copy()]
    for item in vr.g_TelvarKDataList:
        out += [item.Matrix.copy(), np.asarray(item.CurrentBar).copy()]
        out += [np.asarray(a, dtype=float).copy() for a in list(item.UnfilledIdx) + list(item.UnfilledBarRef)]
    return out


def cache_files():
    from telvar.api.regora import _regora

    return sorted(glob.glob(os.path.join(cnt.env.fm.cache_dir(_regora.SYNTHETIC_MATRIX_DIR), "*.mat")))


@pytest.fixture(scope="module")
def first_run(host, tmp_path_factory):
    """The undamaged run, and a copy of the cache files it wrote."""
    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(tmp_path_factory.mktemp("regora-checks") / "root")
    comm.connect(host.address)
    try:
        reference = run(host)
        files = cache_files()
        kinds = sorted(os.path.basename(f).split("_")[-1] for f in files)
        assert kinds == ["AdjFF.mat", "BF.mat", "FF.mat", "FF.mat", "NF.mat"]
        pristine = tmp_path_factory.mktemp("pristine")
        for f in files:
            shutil.copy(f, pristine)
        yield reference, files, pristine
    finally:
        comm.disconnect()
        cnt.reset()
        cnt.env.fm.set_root(old_root)


def holds(path, variable):
    from telvar.kestrum.utils.utilfunc import load_mat

    return variable in load_mat(path)


CASES = [("Matrix", d) for d in ("text", "int8", "logical", "shape", "missing", "misnamed")] + [
    ("bP", "int8"), ("bP", "shape"), ("eP", "text"), ("CurrentBar", "missing"), ("CurrentBar", "shape"),
    ("UnfilledBarRef", "text"), ("UnfilledIdx", "shape"), ("FreComplete", "shape"),
    ("LastSynBaseTimeLinePos", "text"), ("LastSynBaseTimeLinePos", "misnamed")]


@pytest.mark.parametrize("variable,damage", CASES, ids=["%s-%s" % c for c in CASES])
def test_synthesis_cache_entry_that_does_not_fit_is_rebuilt(first_run, host, variable, damage):
    reference, files, pristine = first_run
    for f in files:
        shutil.copy(os.path.join(pristine, os.path.basename(f)), f)
    damaged = [f for f in files if holds(f, variable)]
    assert damaged
    for f in damaged:
        damage_file(f, variable, damage)
    with pytest.warns(TelvarWarning) as warned:
        again = run(host)
    messages = [str(w.message) for w in warned]
    assert len(messages) == len(damaged), messages
    assert all(any(f in m and " %s " % variable in m for m in messages) for f in damaged), messages
    for a, b in zip(reference, again):
        np.testing.assert_array_equal(a, b)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        third = run(host)  # rewritten: read back without a word
    for a, b in zip(reference, third):
        np.testing.assert_array_equal(a, b)


FACTOR_CASES = [("Date", d) for d in ("text", "int8", "logical", "missing", "misnamed")] + [
    ("fv_SSE_600000", d) for d in ("text", "int8", "logical", "shape", "missing", "misnamed")]


@pytest.mark.parametrize("variable,damage", FACTOR_CASES, ids=["%s-%s" % c for c in FACTOR_CASES])
def test_factor_file_that_does_not_fit_names_the_file_and_the_variable(first_run, host, monkeypatch, variable,
                                                                       damage):
    from telvar.api.regora import _regora

    run(host)
    channel = DamagingChannel(comm.tvcmd, "tvSendCmdGetFactorMultiFilePath",
                              lambda path: damage_file(path, variable, damage))
    monkeypatch.setattr(_regora, "tvcmd", channel)
    with pytest.raises(TvDataError) as caught:
        _regora.reg_factor(["pe_ttm"], [TARGETS[1]], BEGIN, END)
    message = str(caught.value)
    assert channel.paths and channel.paths[0] in message and " %s " % variable in message, message
    assert not os.path.exists(channel.paths[0])  # the host's answer is removed once read, usable or not
    monkeypatch.undo()
    rows = _regora.reg_factor(["pe_ttm"], [TARGETS[1]], BEGIN, END)  # the undamaged file is read
    assert rows.tolist() == [[0]]
