"""Synthesised bars against the pandas reference, and the synthesis cache."""
from pathlib import Path

import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.utils.exceptions import TelvarWarning

from regora_market import TARGETS, reference_bars, reference_forming, registry_sizes

CASES = [("min", 5), ("min", 7), ("min", 15), ("day", 1), ("day", 3), ("week", 1), ("month", 1)]
FIELD_COLUMNS = ["open", "high", "low", "close", "volume", "turnover", "oi"]


def target_rows(matrix, t):
    first = gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len
    return matrix[first:first + gv.KMatrix_Bar_Len]


@pytest.mark.parametrize("frequency,freq_num", CASES)
def test_completed_bars_equal_pandas_aggregation(world, frequency, freq_num):
    reg_idx = world.regora.reg_k_data(frequency, freq_num)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    expected, _ = reference_bars(world.market, frequency, freq_num)
    for t in range(len(TARGETS)):
        ref = expected[t]
        assert item.Matrix.shape[1] == len(ref)
        np.testing.assert_allclose(item.Matrix[gv.KMatrixPos_TimeLine], ref["time"].to_numpy())
        np.testing.assert_allclose(target_rows(item.Matrix, t), ref[FIELD_COLUMNS].to_numpy().T,
                                   equal_nan=True)


@pytest.mark.parametrize("frequency,freq_num", CASES)
def test_forming_bar_aggregates_from_the_bar_start(world, frequency, freq_num):
    market = world.market
    reg_idx = world.regora.reg_k_data(frequency, freq_num)
    _, keys = reference_bars(market, frequency, freq_num)
    store = cnt.vr.g_TelvarDataValueFresh
    positions = list(range(0, market.times.size, 97)) + [market.times.size - 1]
    for t in range(len(TARGETS)):
        row = int(reg_idx[t, 2])
        for p in positions:
            ref = reference_forming(market, keys, t, p)
            np.testing.assert_allclose(store[row:row + gv.KMatrix_Bar_Len, p],
                                       ref[FIELD_COLUMNS].to_numpy(dtype=float), equal_nan=True,
                                       err_msg="target %d position %d" % (t, p))


def test_year_bars_come_through_the_month_chain(world):
    world.regora.reg_k_data("year", 1)
    vr = cnt.vr
    month_pos = vr.g_TelvarKDataList.find_pos(gv.KFreq_Month, 1)
    year_pos = vr.g_TelvarKDataList.find_pos(gv.KFreq_Year, 1)
    assert -1 < vr.g_TelvarKDataList.find_pos(gv.KFreq_Day, 1) < month_pos < year_pos
    year = vr.g_TelvarKDataList[year_pos]
    assert year.BaseKDataPos == month_pos
    expected, _ = reference_bars(world.market, "year", 1)
    np.testing.assert_allclose(target_rows(year.Matrix, 0), expected[0][FIELD_COLUMNS].to_numpy().T)


def test_synthesis_functions_are_idempotent(world):
    r = world.regora
    r.synthetic_1_freq_k_data(gv.KFreq_Min)
    week = r.synthetic_1_freq_k_data(gv.KFreq_Week)
    n5 = r.synthetic_n_freq_k_data(gv.KFreq_Min, 5)
    before = registry_sizes()
    assert r.synthetic_1_freq_k_data(gv.KFreq_Week) == week
    assert r.synthetic_n_freq_k_data(gv.KFreq_Min, 5) == n5
    assert registry_sizes() == before


def test_tick_cannot_be_synthesised(world):
    with pytest.raises(ValueError) as err:
        world.regora.synthetic_1_freq_k_data(gv.KFreq_Tick)
    assert err.value.args[0] == world.regora.text.ERROR_INPUT_FREQUENCY


def cache_files(world):
    folder = Path(cnt.env.fm.cache_dir(world.regora.SYNTHETIC_MATRIX_DIR))
    return sorted(folder.glob("*.mat"))


class KernelCounter:
    def __init__(self, monkeypatch, regora):
        self.calls = []
        real = regora.numkern

        class Counting:
            def __getattr__(_, name):
                def call(*args, **kwargs):
                    self.calls.append(name)
                    return getattr(real, name)(*args, **kwargs)
                return call

        monkeypatch.setattr(regora, "numkern", Counting())


def register_all(regora):
    return [regora.reg_k_data("min", 15).copy(), regora.reg_k_data("week", 1).copy()]


def snapshot():
    """Every item's matrix and bookkeeping, and the fresh-bar store."""
    vr = cnt.vr
    items = []
    for item in vr.g_TelvarKDataList:
        items.append([item.Matrix.copy(), np.asarray(item.CurrentBar).copy()]
                     + [np.asarray(a, dtype=float).copy() for a in item.UnfilledIdx]
                     + [np.asarray(a, dtype=float).copy() for a in item.UnfilledBarRef])
    return items, vr.g_TelvarDataValueFresh.copy()


def assert_same_state(a, b):
    assert len(a[0]) == len(b[0])
    for x, y in zip(a[0], b[0]):
        assert len(x) == len(y)
        for u, v in zip(x, y):
            np.testing.assert_array_equal(u, v)
    np.testing.assert_array_equal(a[1], b[1])


def fresh_run(world):
    market = world.market
    cnt.vr.g_TelvarKDataList.__init__()
    cnt.vr.g_TelvarRegKDataInfo.__init__()
    cnt.vr.g_TelvarDataValueFresh = market.times.reshape(1, -1).copy()


def test_second_run_reads_the_cache(world, monkeypatch):
    first = register_all(world.regora)
    state = snapshot()
    files = cache_files(world)
    assert [f.name[-7:] for f in files].count("_BF.mat") == 1  # the week bars
    assert len(files) == 4  # week, 15-minute bars and two forming-bar blocks
    fresh_run(world)
    counter = KernelCounter(monkeypatch, world.regora)
    second = register_all(world.regora)
    combining = {"tvCalcCombineMatrixHtoL", "tvCalcCombineMatrix1toN", "tvCalcDataValueFresh"}
    assert not combining & set(counter.calls)
    for a, b in zip(first, second):
        np.testing.assert_array_equal(a, b)
    assert_same_state(state, snapshot())


def _drop_key(data):
    data.pop("CurrentBar", None) if "CurrentBar" in data else data.pop("eP")


def _rename_key(data):
    data["CurrentBaR"] = data.pop("CurrentBar") if "CurrentBar" in data else data.pop("eP")


# each damage leaves a readable file whose content the reader cannot use
DAMAGES = {
    "drop_key": _drop_key,
    "rename_key": _rename_key,
    "wrong_shape": lambda d: d.update(Matrix=d["Matrix"][:, :3]),
    "text_matrix": lambda d: d.update(Matrix="hello"),
    "int8_matrix": lambda d: d.update(Matrix=np.nan_to_num(d["Matrix"]).astype(np.int8)),
    "logical_matrix": lambda d: d.update(Matrix=d["Matrix"] > 0),
    "fractional_positions": lambda d: d.update(bP=d["bP"] + 0.5),
    "positions_out_of_range": lambda d: d.update(eP=d["eP"] + 10 ** 6),
}


@pytest.mark.parametrize("damage", ["truncate", *DAMAGES])
def test_damaged_cache_is_ignored_and_rewritten(world, monkeypatch, damage):
    import scipy.io

    register_all(world.regora)
    reference = snapshot()
    for path in cache_files(world):
        if damage == "truncate":
            path.write_bytes(path.read_bytes()[:100])
        else:
            data = {k: v for k, v in scipy.io.loadmat(str(path)).items() if not k.startswith("__")}
            DAMAGES[damage](data)
            scipy.io.savemat(str(path), data)
    fresh_run(world)
    counter = KernelCounter(monkeypatch, world.regora)
    if damage == "truncate":  # unreadable: removed without a word
        register_all(world.regora)
    else:
        with pytest.warns(TelvarWarning) as warned:
            register_all(world.regora)
        messages = [str(w.message) for w in warned]
        assert len(messages) == len(cache_files(world))  # one warning per entry, naming it
        assert all(any(str(p) in m for m in messages) for p in cache_files(world))
    assert {"tvCalcCombineMatrixHtoL", "tvCalcCombineMatrix1toN", "tvCalcDataValueFresh"} <= set(counter.calls)
    assert_same_state(reference, snapshot())
    # rewritten: a third run computes nothing
    fresh_run(world)
    counter.calls.clear()
    register_all(world.regora)
    assert not {"tvCalcCombineMatrixHtoL", "tvCalcCombineMatrix1toN", "tvCalcDataValueFresh"} & set(counter.calls)


def test_no_cache_for_a_period_that_is_not_over(world):
    cnt.vr.g_TelvarInputInfo.EndDate = 29991231
    register_all(world.regora)
    assert cache_files(world) == []
