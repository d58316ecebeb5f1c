"""The fundamental converter: parameters on the wire and typed tables."""
import datetime

import numpy as np
import pandas as pd
import pytest

from telvar.api.fundamental import convertor as C


def answer(columns, types, data):
    return {"Name": "x", "Columns": columns, "Types": types, "Data": data}


class TestConvert:
    def test_typed_columns(self):
        df = C.convert_fundamental_to_df(answer(
            ["trade_date", "code", "close", "rank", "is_limit_up", "first_open_date", "buyer"],
            ["date", "str", "float", "int", "bool", "date", "str"],
            [[20250901, 20251231], ["000001", "600000"], [10.5, None], [1, 2], [True, False],
             [None, 20251103], ["机构专用", None]],
        ))
        assert list(df["trade_date"]) == [pd.Timestamp("2025-09-01"), pd.Timestamp("2025-12-31")]
        assert str(df["trade_date"].dtype) == "datetime64[ns]"
        assert list(df["code"]) == ["000001", "600000"] and pd.api.types.is_string_dtype(df["code"])
        assert df["close"].dtype == np.float64 and np.isnan(df["close"].iloc[1])
        assert df["rank"].dtype == np.int64 and df["is_limit_up"].dtype == bool
        assert pd.isna(df["first_open_date"].iloc[0]) and df["first_open_date"].iloc[1] == pd.Timestamp("2025-11-03")
        assert pd.isna(df["buyer"].iloc[1])

    def test_empty_answer_keeps_columns_and_dtypes(self):
        df = C.convert_fundamental_to_df(answer(["trade_date", "code", "close"], ["date", "str", "float"], [[], [], []]))
        assert df.empty and list(df.columns) == ["trade_date", "code", "close"]
        assert str(df["trade_date"].dtype) == "datetime64[ns]" and df["close"].dtype == np.float64
        assert pd.api.types.is_string_dtype(df["code"])

    @pytest.mark.parametrize("bad, message", [
        (None, "mapping with Columns, Types and Data"),
        ({"Columns": ["a"], "Types": ["float"]}, "mapping with Columns, Types and Data"),
        (answer(["a", "b"], ["float"], [[1.0], [2.0]]), "2 columns, 1 types"),
        (answer(["a", "b"], ["float", "float"], [[1.0], [2.0, 3.0]]), "differ in length"),
        (answer(["a"], ["decimal"], [[1.0]]), "unknown type 'decimal'"),
        (answer(["d"], ["date"], [[20251301]]), "'d' holds a value that is not a date"),
    ])
    def test_malformed_answers(self, bad, message):
        with pytest.raises(ValueError, match=message):
            C.convert_fundamental_to_df(bad)


class TestWireParams:
    def test_plain_forms(self):
        wire = C.to_wire_params({
            "target_list": ({"Market": "SSE", "Code": "600000", "Name": "x"}, "SZSE.000001"),
            "abnormal_type_cd": ("UP",),
            "begin_date": datetime.date(2025, 9, 1),
            "end_date": "2025-12-31",
            "field": (),
        })
        assert wire == {
            "target_list": [{"Market": "SSE", "Code": "600000"}, {"Market": "SZSE", "Code": "000001"}],
            "abnormal_type_cd": ["UP"], "begin_date": 20250901, "end_date": 20251231, "field": [],
        }
        assert list(wire) == ["target_list", "abnormal_type_cd", "begin_date", "end_date", "field"]

    def test_dates(self):
        assert C.to_wire_params({"begin_date": "", "end_date": np.int64(20251231)}) == {
            "begin_date": "", "end_date": 20251231}
        with pytest.raises(ValueError, match="not a date"):
            C.to_wire_params({"begin_date": "2025-9-1"})
