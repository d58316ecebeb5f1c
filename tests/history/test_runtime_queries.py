"""Queries of the running strategy: the bar at the current position, the
strategy id and the back-test performance."""
import numpy as np
import pytest

from bar_files import host_channel, run_state  # noqa: F401  (fixtures)
from telvar.kestrum.uclass import KDataItem

TARGETS = [{"Market": "SHFE", "Code": "RB0000"}, {"Market": "SHFE", "Code": "CU0000"},
           {"Market": "SSE", "Code": "600000"}]
FIELDS = ["open", "high", "low", "close", "volume", "amount", "open_interest"]


@pytest.fixture
def refresh_item(run_state):
    """Four bars of three targets (value = 1000 * target + 10 * field + column);
    strategy positions 0..5 map to columns 0, 0, 1, 2, 3, 4 (4: past the matrix)."""
    matrix = np.zeros((4 + 3 * 7, 4))
    matrix[0] = [10.0, 11.0, 12.0, 13.0]
    for t in range(3):
        for f in range(7):
            matrix[4 + 7 * t + f] = 1000 * t + 10 * f + np.arange(4)
    vr = run_state.vr
    vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=1, Matrix=np.zeros((11, 1))))
    vr.g_TelvarKDataList.append(KDataItem(KFrequency="min", KFreqNum=5, Matrix=matrix,
                                          CurrentBar=np.array([0, 0, 1, 2, 3, 4])))
    vr.g_TelvarInputInfo.TargetList = TARGETS
    vr.g_TelvarInputInfo.RefreshKDataIdx = 1
    return vr


class TestGetBar:
    def test_fields_of_chosen_targets(self, history, refresh_item):
        refresh_item.g_TelvarSimCurBarFresh = 3
        bar = history.get_bar(np.array([2, 0]))
        assert list(bar) == ["code", "number_bar", "time_bar"] + FIELDS
        assert list(bar["code"]) == ["SSE.600000", "SHFE.RB0000"]
        np.testing.assert_array_equal(bar["number_bar"], [2, 2])
        np.testing.assert_array_equal(bar["time_bar"], [12.0, 12.0])
        for f, key in enumerate(FIELDS):
            np.testing.assert_array_equal(bar[key], [2000 + 10 * f + 2, 10 * f + 2])

    def test_offsets(self, history, refresh_item):
        refresh_item.g_TelvarSimCurBarFresh = 4
        assert history.get_bar(np.array([1]), offset=-1)["close"][0] == 1000 + 30 + 2
        assert history.get_bar(target_idx=np.array([1]), offset=-3)["time_bar"][0] == 10.0
        assert history.get_bar(np.array([1]), 1) is None       # column 4 lies past the matrix
        with pytest.raises(IndexError):
            history.get_bar(np.array([1]), 2)                  # past the strategy's positions

    def test_no_bar_after_the_current_one_during_a_run(self, history, refresh_item):
        from telvar.kestrum.language import text

        refresh_item.g_TelvarSimCurBarFresh = 2
        refresh_item.g_TelvarReadLimit = 2  # as the runner sets it around on_bar
        try:
            for offset in (1, np.int64(3), 10**30):
                with pytest.raises(IndexError) as raised:
                    history.get_bar(np.array([0]), offset)
                if offset == 1:
                    assert str(raised.value) == text.ERROR_READ_AHEAD.format(POSITION=3, BAR=3, CURRENT=2)
            assert history.get_bar(np.array([0]), 0)["number_bar"][0] == 1
            assert history.get_bar(np.array([0]), np.int64(-2))["number_bar"][0] == 0
        finally:
            refresh_item.g_TelvarReadLimit = -1
        assert history.get_bar(np.array([0]), 1)["number_bar"][0] == 2

    def test_positions_before_the_first_bar(self, history, refresh_item):
        refresh_item.g_TelvarSimCurBarFresh = 0
        assert history.get_bar(np.array([0]), offset=-1) is None

    def test_targets(self, history, refresh_item):
        bar = history.get_bar(np.array([], dtype=np.int64))
        assert all(v.size == 0 for v in bar.values())
        for bad in ([3], [-1]):
            with pytest.raises(IndexError):
                history.get_bar(np.array(bad))

    def test_argument_count(self, history):
        with pytest.raises(TypeError, match=r"^get_bar\(\) takes at least 1 positional argument \(0 given\)$"):
            history.get_bar()


def test_strategy_id_and_performance_pass_through(history, channel):
    channel.answers["tvSendCmdGetStrategyID"] = "S-42"
    channel.answers["tvSendCmdGetBackTestPerformance"] = {"sharpe": 1.5}
    assert history.get_strategy_id() == "S-42"
    assert history.get_performance("S-42") == {"sharpe": 1.5}
    assert channel.calls == [("tvSendCmdGetStrategyID", (), {}),
                             ("tvSendCmdGetBackTestPerformance", ("S-42",), {})]
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        history.get_strategy_id(1)
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        history.get_performance()


@pytest.mark.host
def test_strategy_id_and_performance_from_the_host(history, host_channel):
    strategy_id = history.get_strategy_id()
    performance = history.get_performance(strategy_id)
    assert performance["StrategyID"] == strategy_id
    assert host_channel.names() == ["tvSendCmdGetStrategyID", "tvSendCmdGetBackTestPerformance"]
