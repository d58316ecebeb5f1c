"""Bad input to the bar kernels: Python exceptions naming the argument, never a crash."""
import numpy as np
import pytest

from telvar.kestrum import numkern as nk

TL = np.arange(1.0, 11.0)
MATRIX = np.zeros((4 + 2 * 7, 10))  # two targets
POS = np.arange(10)


class TestArgumentCounts:
    @pytest.mark.parametrize("func, args, message", [
        (nk.tvCalcKDataBeginEndPos, (TL,), "tvCalcKDataBeginEndPos() takes exactly 2 positional arguments (1 given)"),
        (nk.tvCalcCombineMatrixHtoL, (MATRIX, MATRIX, POS, POS),
         "tvCalcCombineMatrixHtoL() takes at least 5 positional arguments (4 given)"),
        (nk.tvCalcDataValueFresh, (MATRIX, POS, POS, 7, 2, 0, 1),
         "tvCalcDataValueFresh() takes at most 6 positional arguments (7 given)"),
        (nk.tvMatrixUnfillComplete, (MATRIX, 4, 7), "tvMatrixUnfillComplete() takes exactly 4 positional arguments (3 given)"),
        (nk.ismember, (), "ismember() takes exactly 2 positional arguments (0 given)"),
    ])
    def test_cpython_wording(self, func, args, message):
        with pytest.raises(TypeError) as e:
            func(*args)
        assert str(e.value) == message

    def test_keywords(self):
        begin, end = nk.tvCalcRegKDataBeginEndPos(base_time_line=TL, time_line=TL[4::5])
        assert begin.tolist() == [0] * 5 + [5] * 5
        with pytest.raises(TypeError, match="unexpected keyword argument 'frequency'"):
            nk.tvCalculateFreshMask(np.ones(3), 1, frequency=2)


class TestWrongTypes:
    @pytest.mark.parametrize("call", [
        lambda: nk.tvCalcKDataBeginEndPos("abc", TL),
        lambda: nk.tvCalcKDataBeginEndPos(TL, None),
        lambda: nk.tvCalcKDataCurrentBar(TL, np.array(["a", "b"])),
        lambda: nk.tvCalculateFreshMask(np.ones(3), "min", 5),
        lambda: nk.tvCalculateFreshMask(np.ones(3), 1, None),
        lambda: nk.tvCalcCombineMatrix1toN(MATRIX, POS, POS, "7"),
        lambda: nk.ismember(np.array([object()]), TL),
        lambda: nk.tvMatrixUnfillComplete({"a": 1}, 4, 7, 4),
    ])
    def test_type_error(self, call):
        with pytest.raises(TypeError):
            call()

    def test_lists_and_integer_dtypes_are_accepted(self):
        assert nk.tvCalcKDataCurrentBar(list(range(5)), (2, 9)).tolist() == [2, 5]
        assert nk.tvCalculateFreshMask(np.array([1, 2, 1, 2, 3], dtype=np.int64), np.int64(1), 2.0).tolist() == [
            False, True, False, True, False]


class TestBadValues:
    def test_nan_and_fractions_where_integers_are_needed(self):
        with pytest.raises(ValueError, match="day_pos"):
            nk.tvCalculateFreshMask(np.array([1.0, np.nan]), 1, 2)
        with pytest.raises(ValueError, match="freq_num"):
            nk.tvCalculateFreshMask(np.ones(3), 1, float("nan"))
        with pytest.raises(ValueError, match="freq_num"):
            nk.tvCalculateFreshMask(np.ones(3), 1, 0)
        with pytest.raises(ValueError, match="frequency_i"):
            nk.tvCalculateFreshMask(np.ones(3), 9, 2)
        with pytest.raises(ValueError, match="begin_pos"):
            nk.tvCalcCombineMatrix1toN(MATRIX, np.r_[np.nan, POS[1:]], POS, 7)
        with pytest.raises(ValueError, match="end_pos"):
            nk.tvCalcCombineMatrix1toN(MATRIX, POS, POS + 0.5, 7)

    def test_positions_out_of_range_raise_index_error(self):
        with pytest.raises(IndexError, match=r"end_pos\[9\] = 10"):
            nk.tvCalcCombineMatrix1toN(MATRIX, POS, POS + 1, 7)
        with pytest.raises(IndexError, match="begin_pos"):
            nk.tvCalcDataValueFresh(MATRIX, POS - 1, POS, 7, 2)
        with pytest.raises(IndexError, match="end_pos"):
            nk.tvCalcCombineMatrixHtoL(MATRIX, MATRIX[:, :2], [0, 5], [4, 10**12], 7, 0)
        # positions are absolute: with an offset the first column is `offset`
        with pytest.raises(IndexError, match="begin_pos"):
            nk.tvCalcDataValueFresh(MATRIX, POS, POS, 7, 2, 3)
        with pytest.raises(ValueError, match="offset"):
            nk.tvCalcDataValueFresh(MATRIX, POS, POS, 7, 2, -1)
        with pytest.raises(ValueError, match="offset"):
            nk.tvCalcDataValueFresh(MATRIX, POS, POS, 7, 2, 2**62)
        with pytest.raises(ValueError, match="too few for"):  # sizes whose product would wrap
            nk.tvCalcDataValueFresh(MATRIX, POS, POS, 2**61, 2**3)

    def test_shapes(self):
        with pytest.raises(ValueError, match="begin_pos has 3 positions, expected 10"):
            nk.tvCalcCombineMatrix1toN(MATRIX, POS[:3], POS, 7)
        with pytest.raises(ValueError, match="matrix has 18 rows, not 4 head rows plus whole blocks of 5"):
            nk.tvCalcCombineMatrix1toN(MATRIX, POS, POS, 5)
        with pytest.raises(ValueError, match="matrix has 17 rows, base_matrix has 18"):
            nk.tvCalcCombineMatrixHtoL(MATRIX, MATRIX[1:, :2], [0, 5], [4, 9], 7)
        with pytest.raises(ValueError, match="matrix has 18 rows, too few for 3 targets of 7 rows under a time row"):
            nk.tvCalcDataValueFresh(MATRIX, POS, POS, 7, 3)
        with pytest.raises(ValueError, match="too few"):  # no room for the time row
            nk.tvCalcDataValueFresh(MATRIX[4:], POS, POS, 7, 2)
        with pytest.raises(ValueError, match="matrix must be a 2-D array"):
            nk.tvMatrixUnfillComplete(TL, 4, 7, 4)
        with pytest.raises(ValueError, match="volume_offset"):
            nk.tvMatrixUnfillComplete(MATRIX, 4, 7, 7)
        with pytest.raises(ValueError, match="bar_len"):
            nk.tvCalcDataValueFresh_Adj(MATRIX, POS, POS, 0, 2)
        with pytest.raises(ValueError, match="base_time_line"):
            nk.tvCalcKDataBeginEndPos(np.ones((2, 2)), TL)
        with pytest.raises(ValueError, match="a:"):
            nk.ismember([[1, 2], [3]], TL)

    def test_time_lines_must_be_ascending_without_nan(self):
        with pytest.raises(ValueError, match="time_line must be in ascending order"):
            nk.tvCalcKDataBeginEndPos(TL, TL[::-1])
        with pytest.raises(ValueError, match="base_time_line holds NaN"):
            nk.tvCalcRegKDataBeginEndPos(np.r_[TL, np.nan], TL)
        with pytest.raises(ValueError, match="fresh_time_line holds NaN"):
            nk.tvCalcKDataCurrentBar(TL, [np.nan])


class TestEmptyInputs:
    def test_empty_everything(self):
        empty = np.array([])
        begin, end = nk.tvCalcKDataBeginEndPos(empty, empty)
        assert begin.size == end.size == 0
        begin, end = nk.tvCalcKDataBeginEndPos(empty, TL[:2])  # bars without base data
        assert begin.tolist() == [0, 0] and end.tolist() == [-1, -1]
        out = nk.tvCalcCombineMatrixHtoL(np.zeros((18, 0)), np.zeros((18, 2)), begin, end, 7)
        assert np.isnan(out[4:]).all()
        assert nk.tvCalcCombineMatrix1toN(np.zeros((4, 0)), empty, empty, 7).shape == (4, 0)
        assert nk.tvCalcDataValueFresh(np.zeros((1, 0)), empty, empty, 7, 0).shape == (1, 0)
        assert nk.tvCalcDataValueFresh_Adj(np.zeros((0, 0)), empty, empty, 4, 0).shape == (0, 0)
        assert nk.tvMatrixUnfillComplete(np.zeros((4, 0)), 4, 7, 4) == ([], [])
        assert nk.tvCalcKDataCurrentBar(empty, TL).tolist() == [0] * 10
        found, loc = nk.ismember(empty, empty)
        assert found.size == loc.size == 0

    def test_inputs_are_not_modified_and_outputs_are_new(self):
        matrix = np.random.default_rng(0).normal(size=(18, 10))
        before = matrix.copy()
        out = nk.tvCalcCombineMatrix1toN(matrix, POS, POS, 7)
        np.testing.assert_array_equal(matrix, before)
        np.testing.assert_array_equal(out, matrix)  # one-bar ranges give the bars themselves
        assert not np.shares_memory(out, matrix)
        strided = np.asfortranarray(matrix)[:, ::2]  # any layout is read correctly
        np.testing.assert_array_equal(nk.tvCalcCombineMatrix1toN(strided, POS[:5], POS[:5], 7), matrix[:, ::2])
