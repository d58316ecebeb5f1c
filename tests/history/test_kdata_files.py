"""Reading the host's multi-target K-data files, split into parts or not."""
import numpy as np
import pytest
import scipy.io

from telvar.kestrum.language.chinese import text
from telvar.kestrum.utils.exceptions import TelvarWarning, TvDataError


def write_mat(path, **variables):
    scipy.io.savemat(str(path), variables)
    return str(path)


def main_file(tmp_path, name="main.mat", n_bars=100, **extra):
    variables = dict(TimeLine=np.arange(n_bars, dtype=float)[None, :] + 739000.0,
                     DayPos=np.tile(np.arange(1, 11, dtype=float), n_bars // 10)[:, None],
                     TradeFreshPos=np.array([[n_bars - 1.0]]))
    variables.update(extra)
    return write_mat(tmp_path / name, **variables)


def assert_default_results(results):
    assert list(results) == ["KArray", "TickPriceData", "DayPos", "TimeLine", "TradeFreshPos"]
    assert results["KArray"] == [] and results["TickPriceData"] == []
    for key in ("DayPos", "TimeLine", "TradeFreshPos"):
        assert isinstance(results[key], np.ndarray) and results[key].size == 0


class TestInvalidMainFile:
    @pytest.mark.parametrize("path", ["", None, "/no/such/file.mat"])
    def test_missing_file(self, history, path):
        error, results = history.load_k_data_from_local(path)
        assert type(error) is OSError and error.args == (text.ERROR_INVALID_FILE,)
        assert_default_results(results)

    def test_zero_byte_file_is_not_opened(self, history, tmp_path, monkeypatch):
        empty = tmp_path / "empty.mat"
        empty.write_bytes(b"")
        monkeypatch.setattr(history, "load_mat", lambda *a, **k: pytest.fail("file opened"))
        error, results = history.load_k_data_from_local(str(empty))
        assert type(error) is OSError and error.args == (text.ERROR_INVALID_FILE,)
        assert_default_results(results)
        assert empty.exists()

    def test_unreadable_file_is_returned_as_error_and_removed(self, history, owned_dir):
        bad = owned_dir / "bad.mat"
        bad.write_bytes(b"this is not a MATLAB file at all" * 10)
        error, results = history.load_k_data_from_local(str(bad))
        assert isinstance(error, Exception)
        assert_default_results(results)
        assert not bad.exists()

    def test_unreadable_file_that_is_not_telvars_is_kept(self, history, tmp_path):
        bad = tmp_path / "notes.txt"
        bad.write_text("a user's notes, not a MATLAB file\n" * 10)
        with pytest.warns(TelvarWarning, match="notes.txt"):
            error, results = history.load_k_data_from_local(str(bad))
        assert isinstance(error, Exception)
        assert_default_results(results)
        assert bad.exists()

    def test_missing_variable_is_returned_as_data_error(self, history, tmp_path):
        path = write_mat(tmp_path / "m.mat", TimeLine=np.arange(3.0), DayPos=np.ones(3))
        error, results = history.load_k_data_from_local(path)
        assert type(error) is TvDataError
        assert "m.mat" in str(error) and "TradeFreshPos" in str(error)
        assert_default_results(results)

    def test_interrupts_propagate(self, history, tmp_path, monkeypatch):
        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(history, "load_mat", interrupted)
        with pytest.raises(KeyboardInterrupt):
            history.load_k_data_from_local(main_file(tmp_path))


class TestMainFile:
    def test_bars_in_the_main_file(self, history, tmp_path):
        k_array = np.random.default_rng(1).random((14, 100))
        path = main_file(tmp_path, KArray=k_array, Extra=np.array([[3.0]]))
        error, results = history.load_k_data_from_local(path)
        assert error is None
        assert not any(k.startswith("__") for k in results)
        np.testing.assert_array_equal(results["KArray"], k_array)
        assert results["TimeLine"].shape == (100,) and results["TimeLine"][0] == 739000.0
        assert results["DayPos"].shape == (100,) and results["DayPos"][10] == 1
        assert np.ndim(results["TradeFreshPos"]) == 0 and results["TradeFreshPos"] == 99
        assert results["Extra"] == 3.0
        assert results["TickPriceData"].size == 0

    @pytest.mark.parametrize("file_paths", ["", None])
    def test_empty_file_paths_mean_bars_in_the_main_file(self, history, tmp_path, file_paths):
        extra = {} if file_paths is None else {"FilePaths": file_paths}
        error, results = history.load_k_data_from_local(main_file(tmp_path, KArray=np.ones((7, 100)), **extra))
        assert error is None
        assert results["KArray"].shape == (7, 100) and results["TickPriceData"].size == 0

    def test_tick_file_without_bars(self, history, tmp_path):
        ticks = np.random.default_rng(2).random((6, 100, 3))
        error, results = history.load_k_data_from_local(main_file(tmp_path, KArray=np.zeros((0, 0)),
                                                                  TickPriceData=ticks))
        assert error is None
        np.testing.assert_array_equal(results["TickPriceData"], ticks)


class TestPartFiles:
    def test_parts_are_stacked_in_path_order(self, history, tmp_path):
        first = np.full((14, 100), 1.0)
        second = np.full((7, 100), 2.0)
        ticks_a = np.zeros((2, 100, 4))
        ticks_b = np.ones((2, 100, 1))
        part_a = write_mat(tmp_path / "a.mat", KArray=first, TickPriceData=ticks_a)
        part_b = write_mat(tmp_path / "b.mat", KArray=second, TickPriceData=ticks_b)
        no_bars = write_mat(tmp_path / "c.mat", Other=np.ones(2))
        path = main_file(tmp_path, FilePaths="|".join([part_a, no_bars, part_b]), KArray=np.zeros((7, 100)))
        error, results = history.load_k_data_from_local(path)
        assert error is None
        assert results["KArray"].shape == (21, 100)
        assert (results["KArray"][:14] == 1).all() and (results["KArray"][14:] == 2).all()
        assert results["TickPriceData"].shape == (2, 100, 5)
        assert results["FilePaths"].ravel()[0].count("|") == 2

    def test_split_file_reader(self, history, owned_dir):
        price, ticks = history.load_mat_from_split_file([])
        assert price.size == 0 and ticks.size == 0
        bad = owned_dir / "bad.mat"
        bad.write_bytes(b"garbage" * 40)
        good = write_mat(owned_dir / "good.mat", KArray=np.ones((7, 5)))
        price, ticks = history.load_mat_from_split_file([str(bad), good, str(owned_dir / "gone.mat")])
        assert price.shape == (7, 5) and ticks.size == 0
        assert not bad.exists()

    @pytest.mark.parametrize("part_b,variable", [
        (dict(KArray=np.ones((7, 99))), "KArray"),  # another number of bars than the first part
        (dict(KArray=np.ones((6, 100))), "KArray"),  # not whole blocks of seven fields
        (dict(KArray=np.ones((7, 100), dtype=np.int8)), "KArray"),
        (dict(KArray=np.ones((7, 100), dtype=bool)), "KArray"),
    ])
    def test_parts_that_do_not_fit_are_an_error_value(self, history, tmp_path, part_b, variable):
        part_a = write_mat(tmp_path / "a.mat", KArray=np.ones((7, 100)))
        part_b = write_mat(tmp_path / "b.mat", **part_b)
        error, results = history.load_k_data_from_local(main_file(tmp_path, FilePaths=part_a + "|" + part_b))
        assert isinstance(error, TvDataError)
        assert "b.mat" in str(error) and variable in str(error)
        assert_default_results(results)

    def test_parts_that_do_not_fit_the_time_line(self, history, tmp_path):
        part = write_mat(tmp_path / "a.mat", KArray=np.ones((7, 90)))
        main = main_file(tmp_path, FilePaths=part)
        error, results = history.load_k_data_from_local(main)
        assert isinstance(error, TvDataError) and main in str(error) and "KArray" in str(error)

    def test_argument_count(self, history):
        with pytest.raises(TypeError, match=r"^load_mat_from_split_file\(\) takes exactly 1 positional argument \(0 given\)$"):
            history.load_mat_from_split_file()
        with pytest.raises(TypeError, match=r"^load_k_data_from_local\(\) takes exactly 1 positional argument \(2 given\)$"):
            history.load_k_data_from_local("a", "b")
