"""Every framework name the C++ modules bind at import exists where they look for it."""
import importlib

import pytest

BOUND = {
    "telvar.kestrum.sysmodel": ["gv", "smm", "synthetic_k_data_rule_map", "adjust_topmost_rule_map",
                                "calc_base_fre_complete", "vr", "env"],
    "telvar.kestrum.uclass": ["KDataItem", "AdjKDataItem", "RegKDataItem", "AdjRegKDataItem"],
    "telvar.kestrum.ufuncs": ["todotmc", "todictmc", "toordereddict", "calc_hash_value", "can_cache",
                              "load_mat_cache", "save_mat_cache", "clear_mat_include_cur_trade_date",
                              "clear_mat_include_zero_date", "check_targets_without_change",
                              "begin_date_checking_rule", "end_date_checking_rule"],
    "telvar.kestrum.utils.exceptions": ["TvDataError", "UnExpectError", "TvReturnError", "DataLoadError",
                                        "DeprecatedWarning"],
    "telvar.kestrum.utils.logger": ["user_warning"],
    "telvar.kestrum.utils.utilfunc": ["load_mat", "save_mat", "append_or_assign_2d_array_axis0",
                                      "run_ignore_exception", "random_file_name", "check_expired_file"],
    "telvar.kestrum.utils.datetimefunc": ["mft_to_int_format", "int_date_to_ordinal", "mft_to_datetime",
                                          "mft_to_str_format", "to_int_now_date", "utils_dt_weekday",
                                          "utils_dt_month", "utils_dt_year"],
    "telvar.kestrum.utils.utilcls": ["DotDict", "OrderedDict"],
    "telvar.kestrum.utils.argchecker": ["apply_rule", "verify_that"],
    "telvar.kestrum.language": ["text"],
    "telvar.kestrum.language.chinese": ["text"],
}

RUN_STATE = ["g_TelvarAppendFreshPosition", "g_TelvarCache", "g_TelvarDataValueFresh",
             "g_TelvarDataValueFreshUserD", "g_TelvarDataValueFreshUserI", "g_TelvarDataValueFresh_Adj",
             "g_TelvarFactorValueDict", "g_TelvarInputInfo", "g_TelvarInstrument", "g_TelvarKDataList",
             "g_TelvarKDataList_Adj", "g_TelvarMainContracts", "g_TelvarModeTaskId", "g_TelvarRegKDataInfo",
             "g_TelvarRegKDataInfo_Adj", "g_TelvarSimCurBarFresh", "g_TelvarSocket", "g_TelvarTargetsInfo",
             "g_TelvarTickMap", "g_TelvarTradingDays", "g_TelvarUserContext"]
RUN_INPUTS = ["AccountNameList", "BeginDate", "EndDate", "FQ", "FactorList", "KFrequency", "KFrequencyI",
              "KFreNum", "RefreshKDataIdx", "TargetList", "TargetListDot", "same_freq"]


@pytest.mark.parametrize("module", sorted(BOUND))
def test_module_names(module):
    mod = importlib.import_module(module)
    missing = [n for n in BOUND[module] if not hasattr(mod, n)]
    assert not missing


def test_run_state_names_survive_a_reset():
    from telvar.kestrum import sysmodel as cnt

    cnt.reset()
    assert [n for n in RUN_STATE if not hasattr(cnt.vr, n)] == []
    assert [n for n in RUN_INPUTS if not hasattr(cnt.vr.g_TelvarInputInfo, n)] == []
    for name in ("dvf_tl", "set_dvf_time_line_cache", "set_history_k_data_time_line_cache",
                 "get_history_k_data_time_line_cache"):
        assert hasattr(cnt.vr.g_TelvarCache, name)
