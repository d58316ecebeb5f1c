"""Run state, layout constants, frequency rules, environment and run phases."""
import os

import numpy as np
import pandas as pd
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import adjust_topmost_rule_map, gv, smm, synthetic_k_data_rule_map
from telvar.kestrum.uclass import KDataItem
from telvar.kestrum.utils.datetimefunc import datetime_to_mft


@pytest.fixture
def fresh_state(tmp_path):
    old_root = cnt.env.fm.root
    cnt.reset()
    cnt.env.fm.set_root(tmp_path / "root")
    yield cnt
    cnt.reset()
    cnt.env.fm.set_root(old_root)


class TestLayout:
    def test_kmatrix_layout(self):
        heads = [gv.KMatrixPos_TimeLine, gv.KMatrixPos_DayPos, gv.KMatrixPos_FreshIdx, gv.KMatrixPos_End]
        assert heads == [0, 1, 2, 3] and gv.KMatrixPos_Head_len == 4
        fields = [gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close,
                  gv.KMatrix_Volume, gv.KMatrix_TurnOver, gv.KMatrix_OpenInterest]
        assert fields == list(range(7)) == list(range(gv.KMatrix_Bar_Begin, gv.KMatrix_Bar_End + 1))
        assert gv.KMatrix_Bar_Len == 7
        adj = [gv.Adj_KMatrix_Open, gv.Adj_KMatrix_High, gv.Adj_KMatrix_Low, gv.Adj_KMatrix_Close]
        assert adj == list(range(gv.Adj_KMatrix_Bar_Begin, gv.Adj_KMatrix_Bar_End + 1)) == [0, 1, 2, 3]
        assert gv.Adj_KMatrix_Bar_Len == 4

    def test_bar_item_pos(self):
        assert gv.bar_item_pos(gv.KMatrix_Open, 0) == 4
        assert gv.bar_item_pos(gv.KMatrix_Volume, 2) == 4 + 14 + 4
        assert gv.bar_item_pos(gv.Adj_KMatrix_Close, 3, bar_len=gv.Adj_KMatrix_Bar_Len, head_len=0) == 15
        rows = gv.bar_item_pos(gv.KMatrix_Close, np.array([0, 1, 5]))
        np.testing.assert_array_equal(rows, [7, 14, 42])
        with pytest.raises(ValueError):
            gv.bar_item_pos(gv.KMatrix_Close, np.array([0.5]))
        # every (target, field) row of a matrix is hit exactly once
        m = cnt.env.generate_kmatrix_array(3, 2)
        hit = sorted(gv.bar_item_pos(f, t) for t in range(3) for f in range(7))
        assert hit == list(range(gv.KMatrixPos_Head_len, m.shape[0]))

    @pytest.mark.parametrize("field, target", [(7, 0), (-1, 0), (0, -1), (0, 1.5)])
    def test_bar_item_pos_rejects_out_of_block(self, field, target):
        with pytest.raises(ValueError):
            gv.bar_item_pos(field, target)

    def test_generate_kmatrix_array(self):
        m = cnt.env.generate_kmatrix_array(2, 5)
        assert m.shape == (4 + 14, 5) and m.dtype == np.float64 and np.isnan(m).all()
        assert cnt.env.generate_kmatrix_array(0, 0).shape == (4, 0)
        with pytest.raises(ValueError, match="bars_len"):
            cnt.env.generate_kmatrix_array(1, -1)
        with pytest.raises(TypeError, match="targets_len"):
            cnt.env.generate_kmatrix_array("2", 3)


class TestFrequencies:
    def test_codes_are_ordered_and_round_trip(self):
        assert gv.KFreq_Tick < gv.KFreq_Min < gv.KFreq_Day < gv.KFreq_Week < gv.KFreq_Month < gv.KFreq_Year
        for code, name in enumerate(["tick", "min", "day", "week", "month", "year"]):
            assert gv.frequency_to_int(name) == code
            assert gv.int_to_frequency(code) == name
            assert gv.int_to_frequency(np.int64(code)) == name
        assert gv.frequency_to_int("Day") == gv.KFreq_Day

    def test_unknown_names_and_codes(self):
        with pytest.raises(ValueError, match="fortnight"):
            gv.frequency_to_int("fortnight")
        with pytest.raises(ValueError, match="9"):
            gv.int_to_frequency(9)
        with pytest.raises(ValueError):
            gv.int_to_frequency(1.5)
        with pytest.raises(TypeError):
            gv.frequency_to_int(None)

    def test_rule_maps(self):
        base = {n: synthetic_k_data_rule_map(gv.frequency_to_int(n)) for n in gv.FREQUENCY_NAMES}
        assert base == {"tick": -1, "min": 1, "day": 2, "week": 2, "month": 2, "year": 4}
        adj = {n: adjust_topmost_rule_map(gv.frequency_to_int(n)) for n in gv.FREQUENCY_NAMES}
        assert adj == {"tick": 0, "min": 1, "day": 2, "week": 2, "month": 2, "year": 2}
        with pytest.raises(ValueError):
            synthetic_k_data_rule_map(7)


def _trading_day_closes(start, end):
    days = pd.bdate_range(start, end)
    days = days[~days.isin(pd.to_datetime(["2025-10-01", "2025-10-02", "2025-10-03", "2026-01-01"]))]
    return days, np.array([datetime_to_mft(d.to_pydatetime().replace(hour=15)) for d in days])


class TestBaseFrequencyComplete:
    @pytest.mark.parametrize("freq, rule", [("week", "W-SUN"), ("month", "ME"), ("year", "YE")])
    def test_matches_pandas_period_ends(self, freq, rule):
        days, times = _trading_day_closes("2024-11-20", "2026-02-10")
        mask = cnt.calc_base_fre_complete(times, gv.frequency_to_int(freq), True)
        if tuple(int(x) for x in pd.__version__.split(".")[:2]) < (2, 2):
            rule = {"ME": "M", "YE": "Y"}.get(rule, rule)  # older spelling of the period ends
        last_per_period = pd.Series(np.arange(days.size), index=days).resample(rule).last().dropna()
        assert np.flatnonzero(mask).tolist() == last_per_period.astype(int).tolist()

    def test_day_and_finer_close_every_bar(self):
        _, times = _trading_day_closes("2025-09-01", "2025-09-30")
        for code in (gv.KFreq_Tick, gv.KFreq_Min, gv.KFreq_Day):
            assert cnt.calc_base_fre_complete(times, code, True).all()
        assert cnt.calc_base_fre_complete(np.array([]), gv.KFreq_Week).shape == (0,)

    def test_open_last_period_uses_the_calendar(self, fresh_state):
        # Tuesday 2025-09-09 is the last bar; the calendar still has that week's Wednesday
        _, times = _trading_day_closes("2025-09-01", "2025-09-09")
        assert not cnt.calc_base_fre_complete(times, gv.KFreq_Week, False)[-1]
        cnt.vr.g_TelvarTradingDays = np.array([20250908, 20250909, 20250910])
        assert not cnt.calc_base_fre_complete(times, gv.KFreq_Week, False)[-1]
        cnt.vr.g_TelvarTradingDays = np.array([20250908, 20250909, 20250915])
        assert cnt.calc_base_fre_complete(times, gv.KFreq_Week, False)[-1]

    def test_nan_times_are_rejected(self):
        with pytest.raises(ValueError, match="time_line"):
            cnt.calc_base_fre_complete(np.array([739000.5, np.nan]), gv.KFreq_Week)


class TestRunState:
    def test_fresh_state_is_empty(self, fresh_state):
        vr = cnt.vr
        for reg in (vr.g_TelvarKDataList, vr.g_TelvarKDataList_Adj, vr.g_TelvarRegKDataInfo, vr.g_TelvarRegKDataInfo_Adj):
            assert len(reg) == 0 and reg.find_pos(gv.KFreq_Min, 1) == -1
        assert len(vr.g_TelvarTradingDays) == 0
        assert vr.g_TelvarDataValueFresh.shape == (1, 0)
        assert vr.g_TelvarDataValueFresh_Adj.ndim != 2
        assert vr.g_TelvarDataValueFreshUserI.shape[0] == 0 and vr.g_TelvarDataValueFreshUserD.size == 0
        assert vr.g_TelvarTickMap == {} and len(vr.g_TelvarTargetsInfo) == 0 and vr.g_TelvarFactorValueDict == {}
        assert vr.g_TelvarSocket is None and vr.g_TelvarMainContracts is None and vr.g_TelvarInstrument is None
        assert vr.g_TelvarCache.dvf_tl.size == 0
        assert vr.g_TelvarInputInfo.FactorList == [] and vr.g_TelvarInputInfo.TargetList == []

    def test_reset_cleans_in_place(self, fresh_state):
        vr = cnt.vr
        vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=1))
        vr.g_TelvarTickMap["k"] = 1
        vr.g_TelvarInputInfo.FactorList.append("f")
        vr.g_TelvarSocket = sock = object()
        vr.g_TelvarInstrument = inst = object()
        vr.some_run_attribute = 5
        smm.set_phase(gv.RUMMODE_PHASE_ONBAR)
        cnt.reset(keep_connection=True)
        assert cnt.vr is vr and len(vr.g_TelvarKDataList) == 0 and vr.g_TelvarTickMap == {}
        assert vr.g_TelvarInputInfo.FactorList == [] and not hasattr(vr, "some_run_attribute")
        assert vr.g_TelvarSocket is sock and vr.g_TelvarInstrument is inst
        assert smm.phase == gv.RUMMODE_PHASE_NONE
        cnt.reset()
        assert vr.g_TelvarSocket is None and vr.g_TelvarInstrument is None

    def test_input_info(self, fresh_state):
        info = cnt.vr.g_TelvarInputInfo
        info.TargetList = [{"Market": "shfe", "Code": "rb0000"}, {"Market": "SSE", "Code": "600000"}]
        assert info.TargetListDot == ["SHFE.RB0000", "SSE.600000"]
        held = info.TargetList
        held.append({"Market": "szse", "Code": "000001"})
        assert info.TargetListDot[-1] == "SZSE.000001" and info.TargetList is held
        info.KFrequency = "day"
        assert info.KFrequencyI == gv.KFreq_Day
        info.KFrequencyI = gv.KFreq_Min
        info.KFreNum = 5
        assert info.KFrequency == "min"
        assert info.same_freq(gv.KFreq_Min, 5) and not info.same_freq(gv.KFreq_Min, 1)
        assert not info.same_freq(gv.KFreq_Day, 5)
        with pytest.raises(ValueError):
            info.KFrequency = "hourly"

    def test_strategy_time_line(self, fresh_state):
        vr = cnt.vr
        vr.set_strategy_time_line([739900.4, 739900.5, 739901.4])
        assert vr.g_TelvarDataValueFresh.shape == (1, 3)
        np.testing.assert_array_equal(vr.g_TelvarCache.dvf_tl, vr.g_TelvarDataValueFresh[0])
        np.testing.assert_array_equal(cnt.env.fresh_bar_timeline, vr.g_TelvarCache.dvf_tl)
        with pytest.raises(ValueError, match="increasing"):
            vr.set_strategy_time_line([2.0, 1.0])
        vr.g_TelvarDataValueFresh = np.zeros((8, 3))
        with pytest.raises(RuntimeError):
            vr.set_strategy_time_line([1.0, 2.0, 3.0])

    def test_time_line_cache(self, fresh_state):
        cache = cnt.vr.g_TelvarCache
        row = np.array([[1.0, 2.0, 3.0]])
        cache.set_history_k_data_time_line_cache(row[0], 0)
        row[0, 0] = 99.0  # later changes of the source do not leak in
        np.testing.assert_array_equal(cache.get_history_k_data_time_line_cache(0), [1.0, 2.0, 3.0])
        with pytest.raises(KeyError, match="1"):
            cache.get_history_k_data_time_line_cache(1)
        cache.set_dvf_time_line_cache(np.array([5.0, 6.0]))
        np.testing.assert_array_equal(cache.dvf_tl, [5.0, 6.0])

    def test_targets_and_fresh_time_line(self, fresh_state):
        cnt.vr.g_TelvarInputInfo.TargetList = [{"Market": "A", "Code": "x"}, {"Market": "B", "Code": "y"}]
        assert cnt.env.get_target_name(1) == ["B.Y"]
        assert cnt.env.get_target_name(np.array([1, 0])) == ["B.Y", "A.X"]
        with pytest.raises(IndexError):
            cnt.env.get_target_name([2])
        with pytest.raises(IndexError):
            cnt.env.get_target_name(-1)  # never the last target by accident
        assert cnt.env.get_target_name(np.array([1.0])) == ["B.Y"]
        cnt.vr.g_TelvarDataValueFresh = np.array([[10.0, 11.0, 12.0], [0, 0, 0]])
        np.testing.assert_array_equal(cnt.env.fresh_bar_timeline, [10.0, 11.0, 12.0])
        cnt.env.fresh_bar_timeline = [1.0, 2.0]
        np.testing.assert_array_equal(cnt.env.fresh_bar_timeline, [1.0, 2.0])
        cnt.reset()
        assert cnt.env.fresh_bar_timeline.size == 0


class TestFileManager:
    def test_sub_dirs_live_under_the_root(self, fresh_state, tmp_path):
        fm = cnt.env.fm
        d = fm.get_sub_dir("mat", "TelvarHistoryDataCache")
        assert d == os.path.join(str(tmp_path / "root"), "mat", "TelvarHistoryDataCache") and os.path.isdir(d)
        assert fm.root_sub_dir("mat") == os.path.dirname(d)

    @pytest.mark.parametrize("bad", ["..", "a/b", "", "/etc", "."])
    def test_names_cannot_escape_the_root(self, fresh_state, bad):
        with pytest.raises(ValueError):
            cnt.env.fm.get_sub_dir("mat", bad)

    def test_default_root_follows_environment(self, monkeypatch, tmp_path):
        from telvar.kestrum.environment import FileManager

        monkeypatch.setenv("TELVAR_HOME", str(tmp_path / "th"))
        assert FileManager().root == str(tmp_path / "th")
        monkeypatch.delenv("TELVAR_HOME")
        assert FileManager().root == os.path.join(os.path.expanduser("~"), ".telvar")


class TestPhases:
    def test_enter_phase_runs_inside_and_restores(self, fresh_state):
        seen = []

        def indicator(ctx, scale=1):
            seen.append(smm.phase)
            if ctx == "boom":
                raise RuntimeError("user code failed")
            return ctx * scale

        smm.set_phase(gv.RUMMODE_PHASE_INIT)
        wrapped = smm.enter_phase(gv.RUMMODE_PHASE_USERINDI)(indicator)
        assert wrapped(3, scale=2) == 6 and wrapped.__name__ == "indicator"
        assert seen == [gv.RUMMODE_PHASE_USERINDI] and smm.phase == gv.RUMMODE_PHASE_INIT
        with pytest.raises(RuntimeError):
            wrapped("boom")
        assert smm.phase == gv.RUMMODE_PHASE_INIT

    def test_unknown_phase(self):
        with pytest.raises(ValueError):
            smm.enter_phase(99)
