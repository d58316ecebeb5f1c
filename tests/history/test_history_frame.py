"""The history module's import-time bindings and the download announcements."""
import os
import subprocess
import sys

import numpy as np
import pytest

from telvar.kestrum.language.chinese import text

RB = {"Market": "SHFE", "Code": "RB2601"}
CU = {"Market": "SHFE", "Code": "CU2601"}
IF = {"Market": "CFFEX", "Code": "IF2512"}


def test_bindings_are_made_in_order_before_the_functions(history):
    names = [n for n in vars(history) if not n.startswith("__")]
    framework = ["os", "Iterable", "np", "pd", "numkern", "cnt", "gv", "tvcmd", "user_warning",
                 "TvReturnError", "DataLoadError", "DeprecatedWarning", "load_mat", "save_mat",
                 "run_ignore_exception", "random_file_name", "check_expired_file", "DotDict", "OrderedDict",
                 "utils_dt_weekday", "utils_dt_month", "utils_dt_year", "mft_to_datetime",
                 "mft_to_str_format", "to_int_now_date", "text", "todictmc",
                 "clear_mat_include_cur_trade_date", "clear_mat_include_zero_date", "todotmc",
                 "toordereddict", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache",
                 "reject_mat_cache", "reject_cache_file"]
    assert names[:len(framework) + 1] == framework + ["HISTORY_DATA_CACHE"]
    assert history.HISTORY_DATA_CACHE == "TelvarHistoryDataCache"
    import telvar.kestrum.sysmodel as sysmodel

    assert history.cnt is sysmodel and history.gv is sysmodel.gv
    assert history.text is text

    functions = [n for n in names if callable(getattr(history, n)) and n not in framework]
    mine = ["ask_get_k_data", "ask_get_tick_data", "load_mat_from_split_file", "load_k_data_from_local",
            "load_k_data_from_pro", "get_k_data_multi", "get_main_contract", "get_trading_days",
            "get_trading_days_condition", "get_trading_time", "get_history_instruments", "get_future_info_ex",
            "get_stock_info_ex", "get_target_info", "get_code_list", "get_code_list_set", "get_target_info_v2",
            "get_future_contracts"]
    assert [n for n in functions if n in mine] == mine


def test_a_missing_framework_name_fails_the_import():
    code = ("import telvar.kestrum.ufuncs as u; del u.can_cache\n"
            "import telvar.api.history._history")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode != 0
    assert "cannot import name 'can_cache' from 'telvar.kestrum.ufuncs'" in done.stderr
    assert done.stderr.strip().splitlines()[-1].startswith("ImportError")


def kdata_kwargs(**changes):
    kwargs = dict(targets=[RB], begin_date=20251103, end_date=20251128, frequency="min", freq_num=1, fq="NA")
    kwargs.update(changes)
    return kwargs


class TestAskGetKData:
    def test_one_target_logs_and_requests_one_unit_bars(self, history, channel, cnt):
        assert history.ask_get_k_data(**kdata_kwargs(freq_num=5, extra="ignored")) is None
        message = text.TEXT_PREPARE_KDATA.format(BEGINDATE=20251103, ENDDATE=20251128, KFREQUENCY="min",
                                                 KFRENUM=5, PRETARGET="RB2601.SHFE", LASTTARGET="")
        assert channel.calls == [
            ("tvSendCmdPutLog", ("task-7", message), {}),
            ("tvSendCmdGetKData", ([RB], "min", 1, 20251103, 20251128, True, "NA"), {"noReturn": True}),
        ]

    def test_last_target_label(self, history, channel, cnt):
        history.ask_get_k_data(**kdata_kwargs(targets=[RB, CU, IF]))
        (_, message), = channel.logs()
        assert message == text.TEXT_PREPARE_KDATA.format(BEGINDATE=20251103, ENDDATE=20251128, KFREQUENCY="min",
                                                         KFRENUM=1, PRETARGET="RB2601.SHFE",
                                                         LASTTARGET="IF2512.CFFEX")

    def test_no_targets_sends_nothing(self, history, channel, cnt):
        assert history.ask_get_k_data(**kdata_kwargs(targets=[])) is None
        assert channel.calls == []

    def test_argument_errors_send_nothing(self, history, channel, cnt):
        with pytest.raises(TypeError, match=r"^ask_get_k_data\(\) takes exactly 0 positional arguments \(1 given\)$"):
            history.ask_get_k_data([RB], **kdata_kwargs())
        kwargs = kdata_kwargs()
        del kwargs["fq"]
        with pytest.raises(KeyError) as e:
            history.ask_get_k_data(**kwargs)
        assert e.value.args == ("fq",)
        with pytest.raises(KeyError, match="Code"):
            history.ask_get_k_data(**kdata_kwargs(targets=[{"Market": "SHFE"}]))
        assert channel.calls == []

    def test_host_errors_pass_through(self, history, channel, cnt):
        error = history.TvReturnError("host refused")
        channel.answers["tvSendCmdGetKData"] = error
        with pytest.raises(history.TvReturnError) as e:
            history.ask_get_k_data(**kdata_kwargs())
        assert e.value is error
        assert channel.names() == ["tvSendCmdPutLog", "tvSendCmdGetKData"]


class TestAskGetTickData:
    def test_target_by_target_day_by_day(self, history, channel, cnt, monkeypatch):
        asked = []

        def trading_days(begin, end):
            asked.append((begin, end))
            return np.array([20251103, 20251104, 20251105])

        monkeypatch.setattr(history, "get_trading_days", trading_days)
        assert history.ask_get_tick_data(targets=[RB, IF], begin_date=20251101, end_date=20251105, fq="FWard") is None
        assert asked == [(20251101, 20251105)]
        expected = []
        for target in (RB, IF):
            for day in (20251103, 20251104, 20251105):
                message = text.TEXT_PREPARE_TICKDATA.format(Day=day, Code=target["Code"], Market=target["Market"])
                expected.append(("tvSendCmdPutLog", ("task-7", message), {}))
                expected.append(("tvSendCmdGetTDPData", (target["Market"], target["Code"], day, "FWard"),
                                 {"no_return": True}))
        assert channel.calls == expected
        assert all(type(args[2]) is int for args, _ in channel.sent("tvSendCmdGetTDPData"))

    def test_empty_range_or_targets_send_nothing(self, history, channel, cnt, monkeypatch):
        monkeypatch.setattr(history, "get_trading_days", lambda b, e: np.array([], dtype=np.int64))
        history.ask_get_tick_data(targets=[RB], begin_date=1, end_date=2, fq="NA")
        monkeypatch.setattr(history, "get_trading_days", lambda b, e: np.array([20251103]))
        history.ask_get_tick_data(targets=[], begin_date=1, end_date=2, fq="NA")
        assert channel.calls == []

    def test_missing_keyword(self, history, channel, cnt):
        with pytest.raises(KeyError) as e:
            history.ask_get_tick_data(targets=[RB], begin_date=1, end_date=2)
        assert e.value.args == ("fq",)
        assert channel.calls == []
