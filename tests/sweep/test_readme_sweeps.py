"""The README's local sweep runs as written (on two days instead of four weeks)."""
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytestmark = pytest.mark.host


def sweeps_block():
    section = ROOT.joinpath("README.md").read_text().split("## Sweeps", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)[0]


def test_the_local_sweep_of_the_readme(ray_cluster, monkeypatch):
    code = sweeps_block()
    shortened = code.replace("20251128,", "20251104,").replace("warmup=5)", "warmup=5, progress=False)")
    assert "20251104" in shortened and "progress=False" in shortened
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    printed = []
    space = {"print": printed.append}
    try:
        exec(compile(shortened, "README sweeps", "exec"), space)
    finally:
        sys.modules.pop("ma_cross_strategy", None)
    table = space["table"]
    assert len(table) == 6 and table["error"].isna().all()
    assert list(table[["fast", "slow"]].iloc[-1]) == [8, 40]
    shown = printed[0]
    assert list(shown.columns) == ["fast", "slow", "Sharpe", "TotalReturn", "error"]
    assert shown["Sharpe"].is_monotonic_decreasing
