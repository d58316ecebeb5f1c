"""reg_k_data: registration index, idempotence, bad requests, the fetch step."""
import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.utils.exceptions import TvDataError

from regora_market import registry_sizes


def test_own_frequency_has_no_forming_rows(world):
    reg_idx = world.own_reg_idx
    assert reg_idx.shape == (2, 4)
    assert reg_idx[:, 0].tolist() == [0, 0] and np.isnan(reg_idx[:, 2]).all()
    assert cnt.vr.g_TelvarDataValueFresh.shape[0] == 1
    item = cnt.vr.g_TelvarRegKDataInfo[0]
    assert item.RowBegin == -1 and item.RegIdx is reg_idx


def test_coarser_registrations_get_consecutive_row_blocks(world):
    r = world.regora
    five = r.reg_k_data("min", 5)
    day = r.reg_k_data("day", 1)
    assert five[:, 2].tolist() == [1, 1 + gv.KMatrix_Bar_Len]
    assert day[0, 2] == 1 + 2 * gv.KMatrix_Bar_Len
    assert five[:, 3].tolist() == [0, 1] and five[:, 1].tolist() == [0, 1]
    assert cnt.vr.g_TelvarDataValueFresh.shape == (1 + 4 * gv.KMatrix_Bar_Len, world.market.times.size)
    assert r.get_reg_idx(510, np.array([1])).tolist() == five[[1]].tolist()
    assert r.get_reg_idx(120, np.array([0, 1])).tolist() == day.tolist()


def test_second_identical_call_changes_nothing(world):
    r = world.regora
    first = r.reg_k_data("min", 15)
    requests = len(world.market.requests)
    before = registry_sizes()
    again = r.reg_k_data("min", 15)
    assert registry_sizes() == before
    assert len(world.market.requests) == requests
    np.testing.assert_array_equal(first, again)
    assert cnt.vr.g_TelvarRegKDataInfo.get_item(gv.KFreq_Min, 15).RegIdx is again


@pytest.mark.parametrize("own,request_,message", [
    (("day", 1), ("min", 5), "ERROR_FREQ_NEED_GT_DAY"),
    (("min", 1), ("tick", 1), "ERROR_FREQ_TOO_HIGH"),
    (("tick", 1), ("tick", 5), "ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM"),
])
def test_bad_requests_leave_the_registries_unchanged(world, own, request_, message):
    info = cnt.vr.g_TelvarInputInfo
    info.KFrequency, info.KFreNum = own
    before = registry_sizes()
    requests = len(world.market.requests)
    with pytest.raises(ValueError) as err:
        world.regora.reg_k_data(*request_)
    assert err.value.args == (getattr(world.regora.text, message),)
    assert registry_sizes() == before and len(world.market.requests) == requests


def test_unknown_frequency_is_named(world):
    before = registry_sizes()
    with pytest.raises(ValueError, match="fortnight"):
        world.regora.reg_k_data("fortnight", 1)
    assert registry_sizes() == before


def test_adjust_must_be_a_bool(world):
    before = registry_sizes()
    with pytest.raises(TypeError, match="adjust"):
        world.regora.reg_k_data("min", 5, 1)
    assert registry_sizes() == before


def test_argument_count_errors(world):
    r = world.regora
    with pytest.raises(TypeError, match=r"reg_k_data\(\) takes at least 2 positional arguments \(1 given\)"):
        r.reg_k_data("min")
    with pytest.raises(TypeError, match=r"at most 3 positional arguments \(4 given\)"):
        r.reg_k_data("min", 1, False, 4)


def test_fetch_request_and_fresh_marks(bare_world):
    r = bare_world.regora
    market = bare_world.market
    pos = r.fetch_1_freq_k_data("min", 0, True)
    assert pos == 0
    request = market.requests[-1]
    assert request == {"targets": cnt.vr.g_TelvarInputInfo.TargetList, "frequency": "min", "freq_num": 1,
                       "begin_date": 20250922, "end_date": 20251017, "filled_up": True, "fq_type": "NA",
                       "need_show_ui_tip": True}
    matrix = cnt.vr.g_TelvarKDataList[0].Matrix
    assert matrix[gv.KMatrixPos_FreshIdx].all()
    assert cnt.vr.g_TelvarAppendFreshPosition == market.times.size - 1
    # day bars are not the refresh base: no marks
    day = r.fetch_1_freq_k_data("day", 0, True)
    assert not cnt.vr.g_TelvarKDataList[day].Matrix[gv.KMatrixPos_FreshIdx].any()
    np.testing.assert_array_equal(cnt.vr.g_TelvarCache.get_history_k_data_time_line_cache(day),
                                  cnt.vr.g_TelvarKDataList[day].Matrix[gv.KMatrixPos_TimeLine])


def test_fetch_widens_the_begin_date_by_trading_days(bare_world):
    r = bare_world.regora
    r.fetch_1_freq_k_data("day", 3, True)
    assert bare_world.market.requests[-1]["begin_date"] == 20250922  # no earlier day: the calendar's first
    cnt.vr.g_TelvarInputInfo.BeginDate = 20251001
    r.fetch_1_freq_k_data("day", 3, True)
    assert bare_world.market.requests[-1]["begin_date"] == 20250929


def test_fetch_errors_leave_the_registry_unchanged(bare_world, monkeypatch):
    r = bare_world.regora
    market = bare_world.market

    def one_target_missing(params):
        result = market.get_k_data_multi(params)
        result["KArray"] = result["KArray"][:gv.KMatrix_Bar_Len]
        return result

    monkeypatch.setattr(r, "get_k_data_multi", one_target_missing)
    with pytest.raises(TvDataError) as err:
        r.fetch_1_freq_k_data("min", 0, True)
    assert str(err.value).startswith(r.text.ERROR_KDATA_MISS + ", ")
    monkeypatch.setattr(r, "get_k_data_multi", lambda params: {
        "TimeLine": np.array([]), "DayPos": np.array([]), "KArray": np.zeros((14, 0)), "TradeFreshPos": -1})
    with pytest.raises(ValueError) as err:
        r.fetch_1_freq_k_data("min", 0, True)
    assert str(err.value).startswith(r.text.ERROR_EMPTY_TIMELINE + ", ")
    assert len(cnt.vr.g_TelvarKDataList) == 0


def test_strategy_bars_after_the_fetched_bars_are_not_marked(bare_world, monkeypatch):
    r = bare_world.regora
    market = bare_world.market
    times = market.times
    cnt.vr.g_TelvarDataValueFresh = np.append(times, times[-1] + 1.0).reshape(1, -1)
    pos = r.fetch_1_freq_k_data("min", 0, True)
    fresh = cnt.vr.g_TelvarKDataList[pos].Matrix[gv.KMatrixPos_FreshIdx]
    assert fresh.size == times.size and fresh.all()


def test_missing_refresh_item_is_a_clear_error(bare_world):
    r = bare_world.regora
    r.synthetic_1_freq_k_data(gv.KFreq_Day)
    r.synthetic_n_freq_k_data(gv.KFreq_Day, 1)
    with pytest.raises(TvDataError, match="refresh base"):
        r.synthetic_fresh_matrix(gv.KFreq_Day, 1)
    assert len(cnt.vr.g_TelvarRegKDataInfo) == 0
