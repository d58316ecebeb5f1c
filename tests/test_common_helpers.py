"""The shared C++ helpers: argument binding, module globals, array views."""
import numpy as np
import pytest

try:
    import _common_probe as probe
except ImportError as e:  # a test-only module: not in the installed package
    raise ImportError("the test-only module _common_probe is not built; `make dev` or "
                      "`make test-modules` builds it into build/test-modules") from e


class TestArgumentCounts:
    def test_exact_count_message(self):
        with pytest.raises(TypeError) as e:
            probe.bind7(1, 2, 3, 4, 5, 6)
        assert str(e.value) == "bind7() takes exactly 7 positional arguments (6 given)"

    def test_range_messages(self):
        with pytest.raises(TypeError, match=r"^bind_range\(\) takes at least 4 positional arguments \(3 given\)$"):
            probe.bind_range(1, 2, 3)
        with pytest.raises(TypeError, match=r"^bind_range\(\) takes at most 6 positional arguments \(7 given\)$"):
            probe.bind_range(1, 2, 3, 4, 5, 6, 7)

    def test_missing_required_keyword_counts_what_came_before(self):
        with pytest.raises(TypeError, match=r"takes at least 4 positional arguments \(2 given\)"):
            probe.bind_range(1, 2, d=4)

    def test_keywords_and_defaults(self):
        assert probe.bind_range(1, 2, d=4, c=3) == (1, 2, 3, 4, None, None)
        assert probe.bind_range(1, 2, 3, 4, f=6) == (1, 2, 3, 4, None, 6)
        assert probe.bind7(*range(6), g="x")[-1] == "x"

    def test_bad_keywords(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
            probe.bind_range(1, 2, 3, 4, z=1)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'a'"):
            probe.bind_range(1, 2, 3, 4, a=1)

    def test_keyword_only(self):
        x, y, rest = probe.keyword_only(y=2, x=1, extra=3)
        assert (x, y, rest) == (1, 2, {"extra": 3})
        with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
            probe.keyword_only(1, x=1, y=2)
        with pytest.raises(KeyError) as e:
            probe.keyword_only(x=1)
        assert e.value.args == ("y",)


def test_globals_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(probe, "hook", lambda v: v * 10)
    assert probe.call_hook(4) == 40
    monkeypatch.delattr(probe, "hook")
    with pytest.raises(NameError, match="hook"):
        probe.call_hook(1)


def test_exceptions_pass_through_unchanged(monkeypatch):
    error = RuntimeError("from the hook")

    def hook(_):
        raise error

    monkeypatch.setattr(probe, "hook", hook)
    with pytest.raises(RuntimeError) as e:
        probe.call_hook(1)
    assert e.value is error


def test_missing_import_name_is_import_error():
    with pytest.raises(ImportError, match="cannot import name 'no_such_name_here' from 'os.path'"):
        probe.import_missing()


class TestArrayViews:
    def test_converts_read_only_inputs(self):
        assert probe.sum_matrix([[1, 2], [3, 4]]) == 10.0
        assert probe.sum_matrix(np.arange(6, dtype=np.int32).reshape(2, 3)[:, ::2]) == 0 + 2 + 3 + 5

    def test_in_place_needs_exact_layout(self):
        m = np.ones((2, 2))
        probe.sum_matrix(m, True)
        assert (m == 2).all()
        with pytest.raises(ValueError, match="matrix"):
            probe.sum_matrix(np.ones((2, 2), dtype=np.float32), True)
        with pytest.raises(ValueError, match="matrix"):
            probe.sum_matrix(np.ones((4, 4))[:, ::2], True)

    def test_wrong_dimensions_and_types(self):
        with pytest.raises(ValueError, match="matrix must be a 2-D array, got 1-D"):
            probe.sum_matrix(np.ones(3))
        with pytest.raises((ValueError, TypeError)):
            probe.sum_matrix("not numbers")
        assert probe.sum_matrix(np.empty((0, 5))) == 0.0

    @pytest.mark.parametrize("bad", [float("nan"), float("inf"), 1.5])
    def test_integer_positions(self, bad):
        with pytest.raises(ValueError, match="position"):
            probe.as_position(bad)
        assert probe.as_position(3.0) == 3
