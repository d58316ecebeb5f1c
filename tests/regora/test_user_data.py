"""User data: time-stamped series resampled onto the strategy's bar times, and
the windows read back from the user-data store.

The reference for the alignment is pandas ``merge_asof(...,
allow_exact_matches=False)`` (the latest record stamped strictly before each
bar, the record given last among equal stamps), then 0 before the first
record.
"""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from telvar.kestrum import sysmodel as cnt


def set_bars(bar_times):
    cnt.reset()
    bar_times = np.asarray(bar_times, dtype=np.float64)
    cnt.vr.g_TelvarDataValueFresh = np.vstack([bar_times, np.zeros_like(bar_times)])
    cnt.vr.g_TelvarCache.set_dvf_time_line_cache(bar_times)


@pytest.fixture
def bars():
    yield set_bars
    cnt.reset()


def reference(bar_times, times, data):
    """merge_asof onto the bars, 0 before the first record; one row per value column."""
    data = np.asarray(data, dtype=np.float64)  # one row per record
    cols = [f"v{i}" for i in range(data.shape[1])]
    right = pd.DataFrame(data, columns=cols)
    right["t"] = np.asarray(times, dtype=np.float64)
    right = right.dropna(subset=["t"]).sort_values("t", kind="stable")
    left = pd.DataFrame({"t": np.asarray(bar_times, dtype=np.float64), "order": np.arange(len(bar_times))})
    merged = pd.merge_asof(left.sort_values("t", kind="stable"), right, on="t", allow_exact_matches=False)
    out = merged.sort_values("order")[cols].to_numpy().T.copy()
    first_time = right["t"].min() if len(right) else np.inf
    out[:, ~(np.asarray(bar_times) > first_time)] = 0.0
    return out


def minute_clock(day, hour, minute):
    return 739861 + day + (hour * 60 + minute) / 1440.0


def test_record_at_a_bar_time_is_first_seen_at_the_next_bar(regora, bars):
    b = [minute_clock(0, 10, 0), minute_clock(0, 10, 5), minute_clock(0, 10, 10)]
    bars(b)
    rows = regora.reg_user_data(np.array(b[:2]), np.array([1.5, 2.5]))
    assert rows.tolist() == [0] and rows.dtype.kind == "i"
    np.testing.assert_array_equal(cnt.vr.g_TelvarDataValueFreshUserD, [[0.0, 1.5, 2.5]])


# bar grids and record stamps drawn on a small lattice, so stamps often hit
# bar times exactly and repeat each other
lattice = st.integers(min_value=-5, max_value=60).map(lambda k: 739861 + k / 8.0)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(bar_steps=st.lists(st.integers(0, 3), min_size=0, max_size=40),
       stamps=st.lists(st.one_of(lattice, st.just(math.nan)), min_size=0, max_size=60),
       width=st.integers(1, 3), presort=st.booleans())
def test_alignment_matches_merge_asof(regora, bars, bar_steps, stamps, width, presort):
    bar_times = 739861 + np.cumsum(bar_steps) / 8.0
    bars(bar_times)
    times = np.array(stamps, dtype=np.float64)
    if presort:  # the path for records that already ascend
        times = np.sort(times[~np.isnan(times)])
    rng = np.random.default_rng(len(times))
    data = rng.normal(size=(len(times), width))
    rows = regora.reg_user_data(times, data if width > 1 else data[:, 0])
    assert rows.tolist() == list(range(width))
    got = cnt.vr.g_TelvarDataValueFreshUserD
    np.testing.assert_array_equal(got, reference(bar_times, times, data))


def cursor_reference(bar_times, times, data):
    """The walk over records sorted once (stably) with a cursor that only moves forward."""
    order = np.argsort(times, kind="stable")
    t, d = times[order], np.asarray(data)[order]
    out, used = np.zeros((1, len(bar_times))), -1
    for i, bar in enumerate(bar_times):
        while used + 1 < len(t) and t[used + 1] < bar:
            used += 1
        out[0, i] = 0.0 if used == -1 else d[used]
    return out


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(bar_k=st.lists(st.integers(0, 40), min_size=1, max_size=30),
       stamps=st.lists(lattice, min_size=0, max_size=40))
def test_bar_times_out_of_order_follow_the_forward_only_cursor(regora, bars, bar_k, stamps):
    bar_times = 739861 + np.array(bar_k) / 8.0
    bars(bar_times)
    times = np.array(stamps, dtype=np.float64)
    data = np.arange(len(times), dtype=np.float64) + 1
    regora.reg_user_data(times, data)
    np.testing.assert_array_equal(cnt.vr.g_TelvarDataValueFreshUserD, cursor_reference(bar_times, times, data))


def test_large_unsorted_series_matches_merge_asof(regora, bars):
    rng = np.random.default_rng(3)
    bar_times = np.unique(np.round(np.sort(rng.uniform(0, 50, 5000)), 3)) + 739861
    bars(bar_times)
    times = np.round(rng.uniform(-1, 51, 200_000), 3) + 739861
    data = rng.normal(size=(times.size, 2))
    regora.reg_user_data(times, data)
    np.testing.assert_array_equal(cnt.vr.g_TelvarDataValueFreshUserD, reference(bar_times, times, data))


def test_registrations_append_rows_with_consecutive_numbers(regora, bars):
    b = np.arange(10.0) + 739861
    bars(b)
    assert regora.reg_user_data(b, np.arange(10.0)).tolist() == [0]
    assert regora.reg_user_data(time_line=b, data=np.ones((10, 3))).tolist() == [1, 2, 3]
    assert regora.reg_user_data(b[::-1], np.arange(10)[::-1]).tolist() == [4]  # ints become floats
    store = cnt.vr.g_TelvarDataValueFreshUserD
    assert store.shape == (5, 10) and store.dtype == np.float64
    np.testing.assert_array_equal(store[0], store[4])
    np.testing.assert_array_equal(store[0], np.r_[0, np.arange(9.0)])


@pytest.mark.parametrize("time_line, data, match", [
    (np.arange(3.0), np.arange(4.0), "data has 4 records but time_line has 3"),
    (np.arange(3.0), np.ones((3, 2, 2)), "data must be a 1-D or 2-D array"),
    (np.ones((3, 1)), np.ones(3), "time_line must be a 1-D array"),
])
def test_bad_inputs_raise_and_store_nothing(regora, bars, time_line, data, match):
    bars(np.arange(5.0))
    with pytest.raises(ValueError, match=match):
        regora.reg_user_data(time_line, data)
    assert cnt.vr.g_TelvarDataValueFreshUserD.size == 0


def test_argument_count_is_checked(regora):
    with pytest.raises(TypeError, match=r"reg_user_data\(\) takes exactly 2 positional arguments \(1 given\)"):
        regora.reg_user_data(np.arange(3.0))
    with pytest.raises(TypeError, match=r"get_reg_user_data\(\) takes exactly 3 positional arguments \(4 given\)"):
        regora.get_reg_user_data([0], 1, 2, 3)


@pytest.fixture
def filled(regora, bars):
    """Six bars; user-data rows 0..2 and indicator rows 0..1 with known values."""
    b = np.arange(6.0) + 739861.5
    bars(b)
    cnt.vr.g_TelvarDataValueFreshUserD = np.arange(18.0).reshape(3, 6)
    cnt.vr.g_TelvarDataValueFreshUserI = -np.arange(12.0).reshape(2, 6)
    return b


@pytest.mark.parametrize("getter, store", [
    ("get_reg_user_data", "g_TelvarDataValueFreshUserD"),
    ("get_reg_user_indicator", "g_TelvarDataValueFreshUserI"),
])
@pytest.mark.parametrize("bar_pos, length, columns", [
    (2, 5, [0, 1, 2]),          # near the start: shorter than length, not padded
    (4, 2, [3, 4]),
    (math.nan, 3, [3, 4, 5]),   # NaN: the latest bar
    (-1, 3, [3, 4, 5]),
    (-6, 3, [0]),
    (-7, 3, []),                # before the first bar: nothing
    (-9, 3, []),
    (5, 0, []),
])
def test_windows_end_at_the_bar_position(regora, filled, getter, store, bar_pos, length, columns):
    dt, value = getattr(regora, getter)([1, 0], bar_pos, length)
    np.testing.assert_array_equal(dt, filled[columns])
    np.testing.assert_array_equal(value, getattr(cnt.vr, store)[[1, 0]][:, columns])


def test_user_data_times_are_a_view_and_indicator_times_a_copy(regora, filled):
    dt_data, _ = regora.get_reg_user_data([0], 5, 3)
    dt_ind, _ = regora.get_reg_user_indicator([0], 5, 3)
    assert np.shares_memory(dt_data, cnt.vr.g_TelvarCache.dvf_tl)
    assert not np.shares_memory(dt_ind, cnt.vr.g_TelvarCache.dvf_tl)


def test_unfilled_store_or_unknown_row_gives_two_empty_arrays(regora, bars):
    bars(np.arange(4.0))
    for getter in (regora.get_reg_user_data, regora.get_reg_user_indicator):
        dt, value = getter([0], 1, 2)
        assert dt.size == 0 and value.size == 0
    cnt.vr.g_TelvarDataValueFreshUserD = np.ones((2, 4))
    dt, value = regora.get_reg_user_data(np.array([0, 2]), 1, 2)
    assert dt.size == 0 and value.size == 0


def test_row_numbers_may_be_any_sequence_python_max_accepts(regora, filled):
    for reg_idx in ([2, 0], (2, 0), np.array([2, 0]), [np.int64(2), 0]):
        dt, value = regora.get_reg_user_data(reg_idx, 3, 2)
        np.testing.assert_array_equal(value, cnt.vr.g_TelvarDataValueFreshUserD[[2, 0]][:, 2:4])
    assert regora.get_reg_user_data([0, 2 ** 70], 3, 2)[1].size == 0  # beyond the store
    with pytest.raises(ValueError, match="empty"):
        regora.get_reg_user_data([], 3, 2)


def test_windows_keep_numpys_indexing_for_other_stores_and_rows(regora, filled):
    cnt.vr.g_TelvarDataValueFreshUserI = np.arange(12).reshape(2, 6)  # an int store
    dt, value = regora.get_reg_user_indicator([1, 0], 4, 3)
    assert value.dtype == np.int64
    np.testing.assert_array_equal(value, [[8, 9, 10], [2, 3, 4]])
    store = cnt.vr.g_TelvarDataValueFreshUserD
    _, value = regora.get_reg_user_data([-1, 0], 4, 3)  # negative rows count from the end
    np.testing.assert_array_equal(value, store[[-1, 0], 2:5])
    cnt.vr.g_TelvarDataValueFreshUserD = np.asfortranarray(store)
    _, value = regora.get_reg_user_data(np.array([2, 1]), 4, 3)
    np.testing.assert_array_equal(value, store[[2, 1], 2:5])
    _, value = regora.get_reg_user_data([2, 1], 40, 3)  # a position past the end: numpy's clipped slice
    assert value.shape == (2, 0)
