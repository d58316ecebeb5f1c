"""The multi-target download under the long socket time-out, and the fetch
that reads the host's file."""
import numpy as np
import pytest
import scipy.io

from telvar.kestrum.language.chinese import text

RB = {"Market": "SHFE", "Code": "RB2601"}
IF = {"Market": "CFFEX", "Code": "IF2512"}


def params(**changes):
    p = dict(targets=[RB, IF], frequency="min", freq_num=1, begin_date=20251103, end_date=20251128,
             filled_up=True, fq_type="NA")
    p.update(changes)
    return p


@pytest.fixture
def cleared(history, monkeypatch):
    calls = []
    monkeypatch.setattr(history, "clear_mat_include_cur_trade_date", lambda *args: calls.append(args))
    return calls


class TestDownload:
    def test_bar_download_announces_and_restores_the_time_out(self, history, channel, cnt):
        channel.answers["tvSendCmdGetKDataMulti"] = "/host/out/k.mat"
        assert history.load_k_data_from_pro(params(freq_num=5)) == (None, "/host/out/k.mat")
        assert channel.names() == ["tvSendCmdPutLog", "tvSendCmdGetKData", "tvSendCmdGetKDataMulti"]
        (announced, _), = channel.sent("tvSendCmdGetKData")
        assert announced[2] == 1
        assert channel.sent("tvSendCmdGetKDataMulti") == [(([RB, IF], "min", 20251103, 20251128, True, "NA"), {})]
        assert "5" in channel.logs()[0][1]
        assert cnt.vr.g_TelvarSocket.history == [90000, 30]

    def test_ticks_without_announcement(self, history, channel, cnt):
        channel.answers["tvSendCmdGetTDPDataMulti"] = "/host/out/t.mat"
        result = history.load_k_data_from_pro(params(frequency="tick", need_show_ui_tip=False))
        assert result == (None, "/host/out/t.mat")
        assert channel.calls == [("tvSendCmdGetTDPDataMulti", ([RB, IF], 20251103, 20251128, "NA"), {})]

    def test_ticks_announced_through_the_module_function(self, history, channel, cnt, monkeypatch):
        seen = []
        monkeypatch.setattr(history, "ask_get_tick_data", lambda **kw: seen.append(kw))
        history.load_k_data_from_pro(params(frequency="tick"))
        assert seen == [dict(targets=[RB, IF], begin_date=20251103, end_date=20251128, fq="NA")]

    @pytest.mark.parametrize("failing", ["tvSendCmdGetKDataMulti", "tvSendCmdPutLog"])
    def test_host_errors_are_returned(self, history, channel, cnt, failing):
        error = history.TvReturnError("no data")
        channel.answers[failing] = error
        result = history.load_k_data_from_pro(params())
        assert result[0] is error and result[1] == ""
        assert cnt.vr.g_TelvarSocket.timeout == 30
        if failing == "tvSendCmdPutLog":
            assert "tvSendCmdGetKDataMulti" not in channel.names()

    def test_other_errors_propagate_after_restoring(self, history, channel, cnt):
        with pytest.raises(KeyError, match="Code"):
            history.load_k_data_from_pro(params(targets=[{"Market": "SHFE"}]))
        assert cnt.vr.g_TelvarSocket.history == [90000, 30]
        channel.answers["tvSendCmdGetKDataMulti"] = ConnectionResetError("socket closed")
        with pytest.raises(ConnectionResetError):
            history.load_k_data_from_pro(params(need_show_ui_tip=False))
        assert cnt.vr.g_TelvarSocket.timeout == 30

    def test_missing_key_changes_nothing(self, history, channel, cnt):
        p = params()
        del p["fq_type"]
        with pytest.raises(KeyError, match="fq_type"):
            history.load_k_data_from_pro(p)
        assert cnt.vr.g_TelvarSocket.history == [] and channel.calls == []


class TestGetKDataMulti:
    def test_reads_the_host_file(self, history, channel, cnt, cleared, tmp_path):
        path = str(tmp_path / "k.mat")
        scipy.io.savemat(path, dict(KArray=np.ones((14, 5)), TimeLine=np.arange(5.0), DayPos=np.arange(1.0, 6.0),
                                    TradeFreshPos=np.array([[4.0]])))
        channel.answers["tvSendCmdGetKDataMulti"] = path
        result = history.get_k_data_multi(params(need_show_ui_tip=False))
        assert result["KArray"].shape == (14, 5) and result["TradeFreshPos"] == 4
        assert cleared == [(path, 20251128)]
        history.get_k_data_multi(params(need_show_ui_tip=False))
        assert channel.names().count("tvSendCmdGetKDataMulti") == 2

    def test_host_error_is_raised_unchanged(self, history, channel, cnt, cleared):
        error = history.TvReturnError("no permission")
        channel.answers["tvSendCmdGetKDataMulti"] = error
        with pytest.raises(history.TvReturnError) as e:
            history.get_k_data_multi(params())
        assert e.value is error and cleared == []

    def test_empty_file_raises_after_cleaning(self, history, channel, cnt, cleared, tmp_path):
        empty = tmp_path / "k.mat"
        empty.write_bytes(b"")
        channel.answers["tvSendCmdGetKDataMulti"] = str(empty)
        with pytest.raises(OSError) as e:
            history.get_k_data_multi(params())
        assert e.value.args == (text.ERROR_INVALID_FILE,)
        assert cleared == [(str(empty), 20251128)]

    def test_file_error_is_the_loader_instance(self, history, channel, cnt, cleared, monkeypatch):
        error = ValueError("bad file")
        monkeypatch.setattr(history, "load_k_data_from_local", lambda path: (error, {}))
        channel.answers["tvSendCmdGetKDataMulti"] = "/x.mat"
        with pytest.raises(ValueError) as e:
            history.get_k_data_multi(params())
        assert e.value is error

    def test_without_end_date_nothing_is_sent(self, history, channel, cnt):
        p = params()
        del p["end_date"]
        with pytest.raises(KeyError, match="end_date"):
            history.get_k_data_multi(p)
        assert channel.calls == []


@pytest.mark.parametrize("bad", [None, 5, "text", []])
def test_bad_params_raise_type_or_key_errors(history, channel, cnt, bad):
    with pytest.raises((TypeError, KeyError, IndexError)):
        history.get_k_data_multi(bad)
    with pytest.raises((TypeError, KeyError, IndexError)):
        history.load_k_data_from_pro(bad)
    assert channel.calls == [] and cnt.vr.g_TelvarSocket.history == []
