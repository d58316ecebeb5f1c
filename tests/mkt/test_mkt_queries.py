"""The eight market queries: argument rules, date handling and the parameter
dictionary handed to the fundamental converter (a recording fake)."""
import subprocess
import sys

import pytest

from telvar.api.fundamental import convertor
from telvar.api.fundamental.mkt import mkt
from telvar.kestrum import ufuncs
from telvar.kestrum.language import text

SSE_600000 = {"Market": "SSE", "Code": "600000"}

# name -> parameter names in order; the first is the list of targets or industries
QUERIES = {
    "market_limit": ["target_list", "begin_date", "end_date", "field"],
    "market_equ_flow": ["target_list", "begin_date", "end_date", "field"],
    "market_industry_flow": ["industry_list", "begin_date", "end_date", "field"],
    "market_rank_stocks": ["target_list", "abnormal_type_cd", "begin_date", "end_date", "field"],
    "market_rank_industry": ["industry_list", "begin_date", "end_date", "field"],
    "ipo_con_traddays": ["target_list", "begin_date", "end_date", "field"],
    "market_subnew_equd": ["target_list", "begin_date", "end_date", "field"],
    "market_blockd": ["target_list", "begin_date", "end_date", "field"],
}
TARGETS_CHECKED = {"market_limit", "market_equ_flow", "market_rank_stocks"}
TARGETS_REQUIRED = TARGETS_CHECKED


class FakeConverter:
    """Stands in for get_fundamental_info / convert_fundamental_to_df."""

    def __init__(self):
        self.sent = []
        self.table = object()

    def get_fundamental_info(self, params, func_name):
        self.sent.append((func_name, params))
        return ("raw", func_name)

    def convert_fundamental_to_df(self, result):
        assert result == ("raw", self.sent[-1][0])
        return self.table


@pytest.fixture
def fake(monkeypatch):
    f = FakeConverter()
    monkeypatch.setattr(mkt, "get_fundamental_info", f.get_fundamental_info)
    monkeypatch.setattr(mkt, "convert_fundamental_to_df", f.convert_fundamental_to_df)
    return f


def call(name, *args, **kwargs):
    return getattr(mkt, name)(*args, **kwargs)


def first_arg(name):
    return [SSE_600000] if QUERIES[name][0] == "target_list" else ["BANK"]


class TestModule:
    def test_framework_names_are_bound_at_import(self):
        assert mkt.get_fundamental_info is convertor.get_fundamental_info
        assert mkt.convert_fundamental_to_df is convertor.convert_fundamental_to_df
        assert mkt.check_targets_without_change is ufuncs.check_targets_without_change
        assert mkt.begin_date_checking_rule is ufuncs.begin_date_checking_rule
        assert mkt.text is text

    def test_every_query_carries_one_rule_per_argument(self):
        for name, params in QUERIES.items():
            func = getattr(mkt, name)
            assert [r.name for r in func.rules] == params
            assert func.__name__ == name
            assert func.__doc__.startswith(name + "(")

    def test_missing_framework_name_fails_the_import(self):
        script = (
            "import sys, types\n"
            "stub = types.ModuleType('telvar.api.fundamental.convertor')\n"
            "stub.get_fundamental_info = print\n"
            "sys.modules['telvar.api.fundamental.convertor'] = stub\n"
            "try:\n"
            "    from telvar.api.fundamental.mkt import mkt\n"
            "except ImportError as e:\n"
            "    print('ImportError:', e, e.__cause__)\n"
        )
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.stdout.startswith("ImportError:"), out.stderr
        assert "cannot import name 'convert_fundamental_to_df'" in out.stdout


class TestParameterDictionary:
    @pytest.mark.parametrize("name", QUERIES)
    def test_sent_under_own_name_in_argument_order(self, fake, name):
        params = QUERIES[name]
        values = {p: ("", "") for p in params}
        values[params[0]] = first_arg(name)
        values["begin_date"], values["end_date"] = "2025-09-01", 20251031
        values["field"] = ["code"]
        if "abnormal_type_cd" in params:
            values["abnormal_type_cd"] = ("UP",)
        positional = [values[p] for p in params]

        assert call(name, *positional) is fake.table
        assert call(name, **values) is fake.table
        (sent_name, by_position), (_, by_keyword) = fake.sent
        assert sent_name == name
        assert list(by_position) == params and by_position == by_keyword
        assert by_position["begin_date"] == 20250901 and by_position["end_date"] == 20251031
        assert by_position["field"] == ["code"]
        assert by_position[params[0]] == first_arg(name)

    @pytest.mark.parametrize("name", ["market_industry_flow", "market_rank_industry"])
    def test_industry_queries_send_industry_list(self, fake, name):
        call(name, ["银行"])
        params = fake.sent[0][1]
        assert params["industry_list"] == ["银行"] and "target_list" not in params

    def test_defaults(self, fake):
        mkt.market_blockd()
        name, params = fake.sent[0]
        assert name == "market_blockd"
        assert params == {
            "target_list": (),
            "begin_date": ufuncs.begin_date_checking_rule(date=""),
            "end_date": ufuncs.end_date_checking_rule(date=""),
            "field": (),
        }
        mkt.market_rank_stocks([SSE_600000])
        assert fake.sent[1][1]["abnormal_type_cd"] == ()

    @pytest.mark.parametrize("name", QUERIES)
    def test_only_three_queries_normalise_targets(self, fake, monkeypatch, name):
        seen = []
        normalised = [{"Market": "SSE", "Code": "600519"}]

        def check(target_list):
            seen.append(target_list)
            return normalised

        monkeypatch.setattr(mkt, "check_targets_without_change", check)
        given = first_arg(name)
        call(name, given)
        sent = fake.sent[0][1][QUERIES[name][0]]
        if name in TARGETS_CHECKED:
            assert seen == [given] and sent is normalised
        else:
            assert seen == [] and sent is given

    def test_target_check_errors_propagate(self, fake):
        with pytest.raises(ValueError, match="SSE600000"):
            mkt.market_limit(["SSE600000"])
        assert fake.sent == []

    def test_converter_errors_propagate_unchanged(self, monkeypatch):
        error = RuntimeError("host gone")

        def fail(params, func_name):
            raise error

        monkeypatch.setattr(mkt, "get_fundamental_info", fail)
        with pytest.raises(RuntimeError) as e:
            mkt.market_blockd()
        assert e.value is error


class TestDates:
    @pytest.mark.parametrize("name", QUERIES)
    def test_begin_after_end_is_refused_before_sending(self, fake, name):
        with pytest.raises(ValueError) as e:
            call(name, first_arg(name), begin_date="2025-09-02", end_date=20250901)
        assert str(e.value) == text.ERROR_INPUT_BEGIN_GT_ENDDATE
        assert fake.sent == []

    def test_same_day_passes_whatever_the_spelling(self, fake):
        mkt.market_equ_flow([SSE_600000], "2025/09/01", 20250901)
        assert fake.sent[0][1]["begin_date"] == fake.sent[0][1]["end_date"] == 20250901

    def test_empty_end_means_today(self, fake):
        mkt.market_blockd(begin_date=20250901)
        assert fake.sent[0][1]["end_date"] == ufuncs.end_date_checking_rule(date="")


class TestArgumentRules:
    @pytest.mark.parametrize("name", QUERIES)
    @pytest.mark.parametrize("bad", ["SSE.600000", 5, {"Market": "SSE", "Code": "600000"}, None])
    def test_list_arguments_must_be_list_or_tuple(self, fake, name, bad):
        for param in QUERIES[name]:
            if param in ("begin_date", "end_date"):
                continue
            args = {param: bad}
            if param != QUERIES[name][0] and name in TARGETS_REQUIRED:
                args[QUERIES[name][0]] = [SSE_600000]
            with pytest.raises(TypeError) as e:
                call(name, **args)
            assert repr(param) in str(e.value) and "is_instance_of" in str(e.value)
        assert fake.sent == []

    @pytest.mark.parametrize("param", ["begin_date", "end_date"])
    @pytest.mark.parametrize("bad", ["2025-13-01", "20250230", "yesterday", 2025])
    def test_malformed_dates_are_value_errors(self, fake, param, bad):
        with pytest.raises(ValueError) as e:
            mkt.market_rank_stocks([SSE_600000], **{param: bad})
        assert repr(param) in str(e.value) and "is_valid_date" in str(e.value)
        assert fake.sent == []

    @pytest.mark.parametrize("bad", [20250901.0, None, [20250901]])
    def test_dates_of_wrong_type_are_type_errors(self, fake, bad):
        with pytest.raises(TypeError, match="'end_date'.*is_valid_date"):
            mkt.market_subnew_equd((), "", bad)
        with pytest.raises(TypeError, match="'begin_date'.*is_valid_date"):
            mkt.market_rank_stocks([SSE_600000], (), bad)
        assert fake.sent == []

    def test_argument_count_and_keywords(self, fake):
        with pytest.raises(TypeError, match=r"market_limit\(\) takes at least 1 positional argument \(0 given\)"):
            mkt.market_limit()
        with pytest.raises(TypeError, match=r"at most 4 positional arguments \(5 given\)"):
            mkt.market_blockd((), "", "", (), ())
        with pytest.raises(TypeError, match="unexpected keyword argument 'fields'"):
            mkt.market_equ_flow([SSE_600000], fields=["code"])
        with pytest.raises(TypeError, match="multiple values for keyword argument 'target_list'"):
            mkt.market_limit([SSE_600000], target_list=[SSE_600000])
        assert fake.sent == []
