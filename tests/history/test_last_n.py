"""Last-N-bars K-data: the host's records split per target, sorted by time,
repeated times collapsed, cached per target."""
import numpy as np
import pytest
import scipy.io

from bar_files import FIELDS, host_channel, run_state  # noqa: F401  (fixtures)
from telvar.kestrum.utils.exceptions import TvDataError

RB = {"Market": "SHFE", "Code": "RB0000"}
CU = {"Market": "SHFE", "Code": "CU0000"}
FILE_ORDER = ["Time", "Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest", "BeginBar"]
CACHE_ORDER = ["Volume", "Open", "High", "TurnOver", "OpenInterest", "BeginBar", "Low", "Time", "Close"]
PAST = 20251231


def record(times, **fields):
    """Field arrays of one target; unspecified fields are derived from the times."""
    times = np.asarray(times, float)
    out = {name: times * (i + 1) for i, name in enumerate(FILE_ORDER)}
    out["Time"] = times
    out.update({k: np.asarray(v, float) for k, v in fields.items()})
    return out


def write_records(path, records):
    """A last-N file: KArray as an (n, 1) struct array, fields as row vectors."""
    k_array = np.empty((len(records), 1), dtype=[(name, object) for name in FILE_ORDER])
    for i, rec in enumerate(records):
        for name in FILE_ORDER:
            k_array[i, 0][name] = rec[name].reshape(1, -1) if rec[name].size else np.zeros((0, 0))
    scipy.io.savemat(str(path), {"KArray": k_array})
    return str(path)


@pytest.fixture
def n_host(tmp_path, channel, history, monkeypatch):
    """tvSendCmdGetNKDataMulti answering with `host.records[code]` per target."""

    class Host:
        records = {}
        cleared = []

        def __call__(self, targets, *rest):
            path = tmp_path / ("n_%d.mat" % len(channel.calls))
            return write_records(path, [self.records[t["Code"]] for t in targets])

    fake = Host()
    channel.answers["tvSendCmdGetNKDataMulti"] = fake
    monkeypatch.setattr(history, "clear_mat_include_cur_trade_date", lambda *args: fake.cleared.append(args))
    return fake


def get(history, targets, end_date=PAST, **changes):
    args = dict(targets=targets, frequency="min", fre_num=5, n_count=3, end_date=end_date, filled_up=True, fq="NA")
    args.update(changes)
    return history.get_k_data_n(*args.values())


def test_exactly_seven_arguments(history):
    with pytest.raises(TypeError, match=r"^get_k_data_n\(\) takes exactly 7 positional arguments \(6 given\)$"):
        history.get_k_data_n(1, 2, 3, 4, 5, 6)


def test_empty_target_list(history, channel, run_state):
    assert get(history, []) == []
    assert channel.calls == []


class TestRecords:
    def test_sorted_by_time_and_cached_per_target(self, history, channel, run_state, n_host):
        n_host.records = {"RB0000": record([3, 2, 1]), "CU0000": record([7, 8, 9])}
        rb, cu = get(history, [RB, CU])
        (sent, _), = channel.sent("tvSendCmdGetNKDataMulti")
        assert sent == ([RB, CU], "min", 5, 3, PAST, True, "NA")
        assert list(rb) == FILE_ORDER
        np.testing.assert_array_equal(rb["Time"], [1, 2, 3])
        np.testing.assert_array_equal(rb["Close"], [5, 10, 15])
        np.testing.assert_array_equal(cu["Open"], [14, 16, 18])
        assert len(n_host.cleared) == 1 and n_host.cleared[0][1] == PAST

        again = get(history, [CU, RB])
        assert len(channel.sent("tvSendCmdGetNKDataMulti")) == 1
        assert list(again[0]) == CACHE_ORDER
        for name in FILE_ORDER:
            np.testing.assert_array_equal(again[1][name], rb[name])
            np.testing.assert_array_equal(again[0][name], cu[name])

    def test_repeated_time_keeps_its_first_bar(self, history, run_state, n_host):
        n_host.records = {"RB0000": record([3, 1, 3, 2], Open=[30, 10, 31, 20], Volume=[3, 1, 4, 2])}
        (rb,) = get(history, [RB])
        np.testing.assert_array_equal(rb["Time"], [1, 2, 3])
        np.testing.assert_array_equal(rb["Open"], [10, 20, 30])
        np.testing.assert_array_equal(rb["Volume"], [1, 2, 3])
        assert {len(v) for v in rb.values()} == {3}

    def test_record_without_bars(self, history, channel, run_state, n_host):
        n_host.records = {"RB0000": record([]), "CU0000": record([1.0])}
        for _ in range(2):
            rb, cu = get(history, [RB, CU])
            assert list(rb) == FILE_ORDER and all(v.size == 0 for v in rb.values())
        # the empty one is asked for again, the other came from the cache
        assert [s[0][0] for s in channel.sent("tvSendCmdGetNKDataMulti")] == [[RB, CU], [RB]]

    def test_file_without_records(self, history, channel, run_state, n_host, tmp_path):
        path = tmp_path / "none.mat"
        scipy.io.savemat(str(path), {"Other": np.zeros(1)})
        channel.answers["tvSendCmdGetNKDataMulti"] = str(path)
        with pytest.raises(TvDataError, match="none.mat.*KArray"):
            get(history, [RB])
        assert n_host.cleared == [(str(path), PAST)]

    def test_fields_of_another_length(self, history, run_state, n_host):
        n_host.records = {"RB0000": record([1, 2, 3], Low=[1, 2])}
        with pytest.raises(TvDataError, match="Low"):
            get(history, [RB])

    def test_repeated_target_at_every_position(self, history, channel, run_state, n_host):
        n_host.records = {"RB0000": record([2, 1]), "CU0000": record([5])}
        a, b, c = get(history, [RB, CU, RB])
        assert channel.sent("tvSendCmdGetNKDataMulti")[0][0][0] == [RB, CU]
        np.testing.assert_array_equal(a["Time"], [1, 2])
        np.testing.assert_array_equal(c["Time"], [1, 2])
        assert not np.shares_memory(a["Time"], c["Time"])
        np.testing.assert_array_equal(b["Time"], [5])


class TestCache:
    def test_key_has_nine_ingredients(self, history, run_state, n_host, monkeypatch):
        n_host.records = {"RB0000": record([1.0])}
        seen = []
        real = history.calc_hash_value
        monkeypatch.setattr(history, "calc_hash_value",
                            lambda items, suffix: seen.append((items, suffix)) or real(items, suffix=suffix))
        get(history, [RB], filled_up=False, fq="FWard")
        assert seen == [([{"AccountNameList": "[]"}, {"Target": "SHFE.RB0000"}, {"KFrequency": "min"},
                          {"KFreqNum": 5}, {"NCount": 3}, {"EndDate": PAST}, {"FilledUp": False}, {"FQ": "FWard"},
                          {"CatType": "get_k_data_n"}], "_n_kdata")]

    def test_open_period_always_asks(self, history, channel, run_state, n_host):
        n_host.records = {"RB0000": record([1.0])}
        get(history, [RB], end_date=29991231)
        get(history, [RB], end_date=29991231)
        assert len(channel.sent("tvSendCmdGetNKDataMulti")) == 2


@pytest.mark.host
@pytest.mark.parametrize("frequency, units, count", [("min", 1, 50), ("min", 15, 30), ("day", 1, 12), ("week", 1, 5)])
def test_last_bars_are_the_tail_of_the_range(history, host_channel, frequency, units, count):
    targets = [RB, {"Market": "CFFEX", "Code": "IF0000"}]
    last = history.get_k_data_n(targets, frequency, units, count, 20251128, True, "NA")
    ranges = history.get_k_data_independent_target(targets, frequency, units, 20250901, 20251128, True, "NA")
    for bars, matrix in zip(last, ranges):
        tail = matrix[:, -count:]
        np.testing.assert_allclose(bars["Time"], tail[0], rtol=0, atol=1e-9)
        for row, name in enumerate(FIELDS, start=1):
            np.testing.assert_allclose(bars[name], tail[row], rtol=1e-12, err_msg=name)
