"""The README's Python runs as written (on a shorter date range and the test session's host)."""
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

README = Path(__file__).resolve().parents[1] / "README.md"

pytestmark = pytest.mark.host


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_the_strategy_example_and_the_dataframe_recipes(host, tmp_path):
    from telvar.api.history import _history
    from telvar.kestrum import sysmodel as cnt

    strategy, recipes = python_blocks()[:2]
    shortened = strategy.replace("20251128,", "20251105,").replace("warmup=5)", "warmup=5, host=HOST)")
    assert shortened.count("20251105") == 1 and "host=HOST" in shortened
    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "root"))
    try:
        space = {"HOST": host}
        exec(compile(shortened, "README strategy", "exec"), space)
        summary = space["summary"]
        assert summary["bars"] > 0 and summary["warmup"] == 5 and summary["begin_date"] == 20251103
        context = cnt.vr.g_TelvarUserContext
        space.update(context=context, _history=_history)
        exec(compile(recipes, "README recipes", "exec"), space)
        df = space["df"]  # the window's frame, with the time converted
        assert list(df.columns) == ["target", "time", "open", "high", "low", "close", "volume", "turnover",
                                    "open_interest"]
        assert len(df) == 2 * 20 and pd.api.types.is_datetime64_any_dtype(df["time"])
        assert df["time"].iloc[-1] == pd.Timestamp("2025-11-05 15:00:00")
        np.testing.assert_array_equal(df["target"].to_numpy(), np.repeat([0.0, 1.0], 20))
    finally:
        cnt.env.fm.set_root(old_root)
        cnt.reset()


def test_the_trading_example(host, tmp_path):
    from telvar.kestrum import sysmodel as cnt

    trading = python_blocks()[2]
    shortened = trading.replace("20251128,", "20251105,").replace('benchmark="SSE.000300")',
                                                                  'benchmark="SSE.000300", host=HOST)')
    shortened = shortened.replace('result.plot("equity.png")', 'result.plot(PNG)')
    shortened = shortened.replace('result.report("report.html")', 'result.report(HTML)')
    assert shortened.count("host=HOST") == 1 and "PNG" in shortened and "20251128" not in shortened
    assert "HTML" in shortened
    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "root"))
    try:
        space = {"HOST": host, "PNG": str(tmp_path / "equity.png"), "HTML": str(tmp_path / "report.html"),
                 "print": lambda *a: None}
        exec(compile(shortened, "README trading", "exec"), space)
        result = space["result"]
        assert set(result.trades["target"]) == {"SHFE.RB0000", "SSE.600000"}
        assert (tmp_path / "equity.png").stat().st_size > 0
        assert "SHFE.RB0000" in (tmp_path / "report.html").read_text(encoding="utf-8")
        assert list(result.daily_equity["date"]) == [20251103, 20251104, 20251105]
        assert result.stats["BenchmarkReturn"] is not None
    finally:
        cnt.env.fm.set_root(old_root)
        cnt.reset()
