"""Forming-bar registrations in the fresh-bar store."""
import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv


def prepare(r, frequency_i, freq_num):
    r.synthetic_1_freq_k_data(frequency_i)
    r.synthetic_n_freq_k_data(frequency_i, freq_num)


def test_registration_rows_and_positions(world):
    r = world.regora
    prepare(r, gv.KFreq_Min, 5)
    store_before = cnt.vr.g_TelvarDataValueFresh.copy()
    pos = r.synthetic_fresh_matrix(gv.KFreq_Min, 5)
    item = cnt.vr.g_TelvarRegKDataInfo[pos]
    assert (item.KFrequency, item.KFreNum, item.RowBegin, item.RowEnd) == ("min", 5, 1, 1 + 2 * gv.KMatrix_Bar_Len)
    assert item.KMatrixPos == cnt.vr.g_TelvarKDataList.find_pos(gv.KFreq_Min, 5)
    store = cnt.vr.g_TelvarDataValueFresh
    assert store.flags.c_contiguous and store.shape == (1 + 2 * gv.KMatrix_Bar_Len, store_before.shape[1])
    np.testing.assert_array_equal(store[0], store_before[0])
    np.testing.assert_array_equal(cnt.vr.g_TelvarCache.dvf_tl, store[0])
    # the first forming bar of a 5-minute bar is the 1-minute bar itself
    day_first = np.flatnonzero(world.market.day_pos == 1)[3]
    minute = cnt.vr.g_TelvarKDataList[0].Matrix
    np.testing.assert_array_equal(store[1:8, day_first], minute[4:11, day_first])
    assert len(item.BeginPos) == len(item.EndPos) == minute.shape[1]

    assert r.synthetic_fresh_matrix(gv.KFreq_Min, 5) == pos
    assert cnt.vr.g_TelvarDataValueFresh.shape == store.shape


def test_own_frequency_adds_no_rows(world):
    r = world.regora
    rows = cnt.vr.g_TelvarDataValueFresh.shape
    assert r.synthetic_fresh_matrix(gv.KFreq_Min, 1) == 0
    assert cnt.vr.g_TelvarDataValueFresh.shape == rows and len(cnt.vr.g_TelvarRegKDataInfo) == 1


def test_a_one_dimensional_store_gets_its_first_block_at_row_one(world):
    r = world.regora
    prepare(r, gv.KFreq_Day, 1)
    cnt.vr.g_TelvarDataValueFresh = cnt.vr.g_TelvarDataValueFresh[0].copy()
    pos = r.synthetic_fresh_matrix(gv.KFreq_Day, 1)
    assert cnt.vr.g_TelvarRegKDataInfo[pos].RowBegin == 1
    assert cnt.vr.g_TelvarDataValueFresh.shape[0] == 1 + 2 * gv.KMatrix_Bar_Len


def test_strategy_bars_beyond_the_data_fail_without_registering(bare_world):
    """A strategy bar after the last fetched bar has no base column: the block
    does not fit the store, and nothing is registered."""
    r = bare_world.regora
    times = bare_world.market.times
    cnt.vr.g_TelvarDataValueFresh = np.append(times, times[-1] + 1.0).reshape(1, -1)
    r.reg_k_data("min", 1)
    prepare(r, gv.KFreq_Min, 5)
    with pytest.raises(ValueError):
        r.synthetic_fresh_matrix(gv.KFreq_Min, 5)
    assert len(cnt.vr.g_TelvarRegKDataInfo) == 1 and cnt.vr.g_TelvarDataValueFresh.shape[0] == 1


def test_missing_registered_item_is_a_clear_error(world):
    from telvar.kestrum.utils.exceptions import TvDataError

    with pytest.raises(TvDataError, match="registered"):
        world.regora.synthetic_fresh_matrix(gv.KFreq_Week, 1)


def test_store_grows_in_place_without_changing_what_callers_hold(world):
    """Registrations write their rows into room kept below the store instead
    of copying the whole store; arrays taken from the run state before keep
    showing what they showed, also when the state was set back to an older
    store and the next registration has to start a new buffer."""
    r = world.regora
    stores, copies = [], []
    for freq_num in (5, 15):
        r.reg_k_data("min", freq_num)
        stores.append(cnt.vr.g_TelvarDataValueFresh)
        copies.append(stores[-1].copy())
    first, second = stores
    assert np.shares_memory(first, second)  # the block was written in place
    assert second.flags.c_contiguous and second.dtype == np.float64
    np.testing.assert_array_equal(second[:first.shape[0]], copies[0])

    cnt.vr.g_TelvarDataValueFresh = first  # as if the second registration were undone
    prepare(r, gv.KFreq_Min, 10)
    pos = r.synthetic_fresh_matrix(gv.KFreq_Min, 10)
    grown = cnt.vr.g_TelvarDataValueFresh
    assert cnt.vr.g_TelvarRegKDataInfo[pos].RowBegin == first.shape[0]
    np.testing.assert_array_equal(grown[:first.shape[0]], copies[0])
    for store, copy in zip(stores, copies):
        np.testing.assert_array_equal(store, copy)
