"""The fresh-bar store growing by the rows of each registration: in place
while it has room, earlier arrays never changed, and the rows those of the
forming-bar kernel's whole result at the strategy bars."""
import numpy as np
import pytest

from regora_market import start_run
from telvar.kestrum import numkern
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

REGISTRATIONS = (("min", 5), ("min", 15), ("min", 60), ("day", 1), ("min", 30))


@pytest.fixture(autouse=True)
def cache_switch_restored(monkeypatch):
    """Tests here switch the cache on and off; later tests find it as it was."""
    monkeypatch.setattr(cnt.env, "cache_enabled", cnt.env.cache_enabled)


def expected_rows(item):
    """The registration's rows as the kernel's whole result gives them, at the strategy bars."""
    vr = cnt.vr
    base = vr.g_TelvarKDataList[vr.g_TelvarKDataList.find_pos(gv.KFreq_Min, 1)].Matrix
    whole = numkern.tvCalcDataValueFresh(base, item.BeginPos, item.EndPos, gv.KMatrix_Bar_Len,
                                         len(vr.g_TelvarInputInfo.TargetList))
    return whole[1:, base[gv.KMatrixPos_FreshIdx].astype(bool)]


def register_all(regora, cache):
    cnt.env.cache_enabled = cache
    return [regora.reg_k_data(f, n) for f, n in REGISTRATIONS]


def assert_rows_of_every_registration(vr):
    store = vr.g_TelvarDataValueFresh
    items = [it for it in vr.g_TelvarRegKDataInfo if it.RowBegin is not None and it.RowEnd > it.RowBegin]
    assert len(items) == len(REGISTRATIONS)
    assert items[-1].RowEnd == store.shape[0]
    for item in items:
        want = expected_rows(item)
        assert store[item.RowBegin:item.RowEnd].tobytes() == want.tobytes(), item.KFrequency


@pytest.mark.parametrize("cache", [False, True])
def test_rows_equal_the_kernels_whole_result(world, cache):
    register_all(world.regora, cache)
    assert_rows_of_every_registration(cnt.vr)


def test_cached_entries_fill_the_same_rows(world, market):
    register_all(world.regora, True)
    first = np.array(cnt.vr.g_TelvarDataValueFresh)
    assert any(world.cache_dir.rglob("*.mat"))
    start_run(market)  # a new run over the same data: every forming matrix now comes from the cache
    world.regora.reg_k_data("min", 1)
    register_all(world.regora, True)
    assert np.array(cnt.vr.g_TelvarDataValueFresh).tobytes() == first.tobytes()
    assert_rows_of_every_registration(cnt.vr)


def test_arrays_taken_before_a_registration_keep_their_values(world):
    r = world.regora
    r.reg_k_data("min", 5)
    taken = cnt.vr.g_TelvarDataValueFresh
    time_row = cnt.vr.g_TelvarCache.dvf_tl
    values, times = taken.copy(), time_row.copy()
    for f, n in REGISTRATIONS[1:]:
        r.reg_k_data(f, n)
        assert taken.tobytes() == values.tobytes() and time_row.tobytes() == times.tobytes()
    store = cnt.vr.g_TelvarDataValueFresh
    assert store[:taken.shape[0]].tobytes() == values.tobytes()


def test_the_store_grows_in_place_while_its_buffer_has_room(world):
    r = world.regora
    r.reg_k_data("min", 5)
    buffer = cnt.vr.g_TelvarDataValueFresh.base
    assert buffer is not None and buffer.shape[0] > cnt.vr.g_TelvarDataValueFresh.shape[0]
    for f, n in REGISTRATIONS[1:]:
        r.reg_k_data(f, n)
        store = cnt.vr.g_TelvarDataValueFresh
        assert store.base is buffer and store.flags.c_contiguous
        assert np.shares_memory(store, buffer)


def test_a_store_the_run_state_replaced_gets_a_buffer_of_its_own(world):
    r = world.regora
    r.reg_k_data("min", 5)
    replaced = cnt.vr.g_TelvarDataValueFresh.copy()
    cnt.vr.g_TelvarDataValueFresh = replaced
    r.reg_k_data("min", 15)
    store = cnt.vr.g_TelvarDataValueFresh
    assert not np.shares_memory(store, replaced)
    assert store[:replaced.shape[0]].tobytes() == replaced.tobytes()
    item = cnt.vr.g_TelvarRegKDataInfo[-1]
    assert store[item.RowBegin:item.RowEnd].tobytes() == expected_rows(item).tobytes()


def test_a_failed_registration_leaves_the_store_usable(world):
    """A failure after the store grew (here: the kernel refused) leaves the run
    state's store as it was; the next registration gets its rows right."""
    r = world.regora
    r.reg_k_data("min", 5)
    before = cnt.vr.g_TelvarDataValueFresh
    values = before.copy()

    def refuse(*args, **kwargs):
        raise ValueError("refused")

    kernel = numkern.tvCalcDataValueFresh
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(numkern, "tvCalcDataValueFresh", refuse)
        cnt.env.cache_enabled = False
        with pytest.raises(ValueError, match="refused"):
            r.reg_k_data("min", 15)
    assert numkern.tvCalcDataValueFresh is kernel
    assert cnt.vr.g_TelvarDataValueFresh is before and before.tobytes() == values.tobytes()
    r.reg_k_data("min", 15)
    item = cnt.vr.g_TelvarRegKDataInfo[-1]
    assert cnt.vr.g_TelvarDataValueFresh[item.RowBegin:item.RowEnd].tobytes() == expected_rows(item).tobytes()
