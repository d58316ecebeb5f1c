"""Registration indices, preconditions and instrument look-up."""
from collections import OrderedDict

import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.uclass import AdjRegKDataItem, KDataItem, RegKDataItem


def test_empty_indices(bare_world):
    r = bare_world.regora
    plain = r.gen_empty_reg_k_data_idx(3)
    assert plain.dtype == np.float64 and plain.shape == (3, 4)
    assert np.isnan(plain[:, [0, 2]]).all() and (plain[:, 1] == 0).all() and plain[:, 3].tolist() == [0, 1, 2]
    adjusted = r.gen_empty_reg_k_data_idx(targets_len=2, adjust=True)
    assert adjusted.shape == (2, 7) and np.isnan(adjusted[:, [4, 6]]).all() and (adjusted[:, 5] == 0).all()
    assert r.gen_empty_reg_k_data_idx(0).shape == (0, 4)
    with pytest.raises(TypeError):
        r.gen_empty_reg_k_data_idx(2.5)


def test_construct_from_the_registries(bare_world):
    r = bare_world.regora
    vr = cnt.vr
    empty = r.construct_k_data_reg_idx(gv.KFreq_Min, 5, False)
    np.testing.assert_array_equal(empty, r.gen_empty_reg_k_data_idx(2))
    assert r.construct_k_data_reg_idx(gv.KFreq_Min, 5, True).shape == (2, 7)

    vr.g_TelvarKDataList.append(KDataItem(KFrequency="day", KFreqNum=1))
    vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=5))
    vr.g_TelvarRegKDataInfo.append(RegKDataItem(KFrequency="min", KFreNum=5, KMatrixPos=1))
    idx = r.construct_k_data_reg_idx(gv.KFreq_Min, 5, False)
    assert idx[:, 0].tolist() == [1, 1] and np.isnan(idx[:, 2]).all()  # RowBegin -1: no rows

    vr.g_TelvarRegKDataInfo.append(RegKDataItem(KFrequency="day", KFreNum=1, KMatrixPos=0, RowBegin=8, RowEnd=22))
    vr.g_TelvarRegKDataInfo_Adj.append(AdjRegKDataItem(KFrequency="day", KFreNum=1, RowBegin=0, RowEnd=8))
    idx = r.construct_k_data_reg_idx(gv.KFreq_Day, 1, True)
    assert idx[:, 2].tolist() == [8, 15] and idx[:, 6].tolist() == [0, 4]
    assert np.isnan(idx[:, 4]).all()  # no adjusted K-data item yet
    with pytest.raises(TypeError, match="adjust"):
        r.construct_k_data_reg_idx(gv.KFreq_Day, 1, 1)


def test_get_reg_idx(bare_world):
    r = bare_world.regora
    vr = cnt.vr
    stored = np.array([[3.0, 0, 1, 0], [3.0, 1, 8, 1]])
    vr.g_TelvarRegKDataInfo.append(RegKDataItem(KFrequency="min", KFreNum=5, RegIdx=stored))
    adj = np.arange(14.0).reshape(2, 7)
    adj[:, 3] = [0, 1]
    vr.g_TelvarRegKDataInfo_Adj.append(AdjRegKDataItem(KFrequency="min", KFreNum=5, RegIdx=adj))
    assert r.get_reg_idx(510, np.array([1, 0])).tolist() == stored[[1, 0]].tolist()
    assert r.get_reg_idx(512, np.array([1])).tolist() == adj[[1]].tolist()
    assert r.get_reg_idx(520, np.array([0])) is None
    assert r.get_reg_idx(stored, np.array([1])).tolist() == stored[[1]].tolist()


def test_preconditions(bare_world):
    r = bare_world.regora
    info = cnt.vr.g_TelvarInputInfo
    with pytest.raises(ValueError) as err:
        r.check_reg_k_data_precondition(gv.KFreq_Tick, 1)
    assert err.value.args == (r.text.ERROR_FREQ_TOO_HIGH,)
    assert r.check_reg_k_data_precondition(gv.KFreq_Min, 5) is None
    info.KFrequency = "tick"
    assert r.check_reg_k_data_precondition(gv.KFreq_Tick, 1) is None
    assert r.check_reg_k_data_precondition(gv.KFreq_Week, 3) is None
    with pytest.raises(ValueError) as err:
        r.check_reg_k_data_precondition(gv.KFreq_Tick, 2)
    assert err.value.args == (r.text.ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM,)
    info.KFrequency = "day"
    with pytest.raises(ValueError) as err:
        r.check_reg_k_data_precondition(gv.KFreq_Min, 1)
    assert err.value.args == (r.text.ERROR_FREQ_NEED_GT_DAY,)
    with pytest.raises(TypeError, match="exactly 2 positional arguments"):
        r.check_reg_k_data_precondition(1)
    with pytest.raises(TypeError):
        r.check_reg_k_data_precondition(1.5, 1)


def test_get_instruments(bare_world, monkeypatch):
    r = bare_world.regora
    calls = []

    class Instruments:
        def get_by_offset(self, *args, **kwargs):
            calls.append((args, kwargs))
            return OrderedDict(found=True)

    monkeypatch.setattr(cnt.vr, "g_TelvarInstrument", Instruments())
    assert r.get_instruments([0], float("nan")) == OrderedDict()
    assert r.get_instruments([0], -1) == OrderedDict()
    assert calls == []
    assert r.get_instruments([1, 0], 120, 3) == OrderedDict(found=True)
    assert calls == [((["SSE.600000", "SHFE.RB0000"], 20250923),
                      {"past_len": 3, "reference": True, "fill": True})]
