"""User indicators: the user's function runs once per strategy bar inside the
user-indicator phase; its results become one column per bar of the
user-indicator store."""
import numpy as np
import pandas as pd
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.language import text
from telvar.kestrum.sysmodel import gv, smm
from telvar.kestrum.utils.exceptions import UnExpectError


def test_indicator_inside_the_run_equals_the_computation_over_the_full_series(world):
    closes = np.vstack([b[:, 3] for b in world.market.bars])  # targets x bars
    seen = []

    def mean_close_5(ctx):
        pos = ctx._internal_bar_num
        seen.append((pos, smm.phase, cnt.vr.g_TelvarDataValueFresh[gv.KMatrixPos_TimeLine, pos]))
        window = closes[:, max(pos - 4, 0):pos + 1]
        return [np.nanmean(w) if np.isfinite(w).any() else np.nan for w in window]

    rows = world.regora.reg_user_indices(mean_close_5)
    n = world.market.times.size
    assert rows == [0, 1]
    assert [s[0] for s in seen] == list(range(n))
    assert {s[1] for s in seen} == {gv.RUMMODE_PHASE_USERINDI}
    np.testing.assert_array_equal([s[2] for s in seen], world.market.times)
    assert smm.phase != gv.RUMMODE_PHASE_USERINDI  # left on return
    assert cnt.vr.g_TelvarUserContext._internal_bar_num == n - 1

    expected = pd.DataFrame(closes.T).rolling(5, min_periods=1).mean().to_numpy().T
    np.testing.assert_allclose(cnt.vr.g_TelvarDataValueFreshUserI, expected, rtol=0, atol=1e-12)
    dt, value = world.regora.get_reg_user_indicator(rows, n - 1, 10)
    np.testing.assert_array_equal(dt, world.market.times[-10:])
    np.testing.assert_allclose(value, expected[:, -10:], atol=1e-12)


def test_registrations_receive_consecutive_rows(world):
    n = world.market.times.size
    assert world.regora.reg_user_indices(lambda ctx: float(ctx._internal_bar_num)) == [0]
    assert world.regora.reg_user_indices(indices_func=lambda ctx: np.array([1.0])) == [1]
    assert world.regora.reg_user_indices(lambda ctx: (ctx._internal_bar_num, -1, 2)) == [2, 3, 4]
    store = cnt.vr.g_TelvarDataValueFreshUserI
    assert store.shape == (5, n)
    np.testing.assert_array_equal(store[0], np.arange(n))
    np.testing.assert_array_equal(store[1:], np.vstack([np.ones(n), np.arange(n), -np.ones(n), 2 * np.ones(n)]))


@pytest.mark.parametrize("result, error", [
    (lambda ctx: np.ones((2, 2)), UnExpectError),                                 # stacks to the wrong shape
    (lambda ctx: [1.0] * (3 if ctx._internal_bar_num % 2 else 4), ValueError),    # lengths differ
])
def test_wrong_results_raise_and_store_nothing(world, result, error):
    world.regora.reg_user_indices(lambda ctx: 0.5)
    before = cnt.vr.g_TelvarDataValueFreshUserI.copy()
    with pytest.raises(error) as caught:
        world.regora.reg_user_indices(result)
    if error is UnExpectError:
        assert caught.value.args == (text.WARN_USER_INDICES_RESULT_FORMAT.format(
            TARGETLEN=4, COLUMNLEN=world.market.times.size),)
    np.testing.assert_array_equal(cnt.vr.g_TelvarDataValueFreshUserI, before)
    assert world.regora.reg_user_indices(lambda ctx: 1.0) == [1]


def test_user_errors_pass_through_unchanged_and_the_phase_is_restored(world):
    boom = RuntimeError("user bug")
    smm.set_phase(gv.RUMMODE_PHASE_INIT)

    def failing(ctx):
        if ctx._internal_bar_num == 7:
            raise boom
        return 1.0

    with pytest.raises(RuntimeError) as caught:
        world.regora.reg_user_indices(failing)
    assert caught.value is boom
    assert smm.phase == gv.RUMMODE_PHASE_INIT
    assert cnt.vr.g_TelvarDataValueFreshUserI.size == 0


def test_argument_count_is_checked(world):
    with pytest.raises(TypeError, match=r"reg_user_indices\(\) takes exactly 1 positional argument \(2 given\)"):
        world.regora.reg_user_indices(lambda ctx: 1.0, 2)


@pytest.mark.parametrize("make", [
    lambda i: i * 0.5,                                     # floats
    lambda i: i,                                           # ints stay ints, as numpy stacks them
    lambda i: [i, 0.5],                                    # ints and floats mixed
    lambda i: (np.float64(i), 2),                          # numpy scalars
    lambda i: np.array([i, -i], dtype=np.float64),         # 1-D float arrays
    lambda i: np.arange(3)[::2] * i * 1.0,                 # strided arrays
    lambda i: np.array([i, 2], dtype=np.int32),            # other dtypes
    lambda i: [True, i % 2 == 0],                          # booleans
    lambda i: 1.0 if i % 2 else np.array([2.0]),           # scalar and one-value array mixed
    lambda i: [1e300 * 1e10, float("nan"), i],             # inf and NaN
    lambda i: [0.5, 10 ** 30],                             # an int beyond int64 (object dtype)
])
def test_stored_values_are_what_column_stack_builds(world, make):
    n = world.market.times.size
    world.regora.reg_user_indices(lambda ctx: make(ctx._internal_bar_num))
    expected = np.column_stack([make(i) for i in range(n)])
    stored = cnt.vr.g_TelvarDataValueFreshUserI
    assert stored.dtype == expected.dtype
    np.testing.assert_array_equal(stored, expected)


def test_no_strategy_bars_is_numpys_error_and_stores_nothing(world):
    cnt.vr.g_TelvarDataValueFresh = np.empty((1, 0))
    with pytest.raises(ValueError):
        world.regora.reg_user_indices(lambda ctx: 1.0)
    assert cnt.vr.g_TelvarDataValueFreshUserI.size == 0
