"""``python -m telvar run``: a strategy file back-tested from the command line."""
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import telvar

SRC = str(Path(telvar.__file__).resolve().parents[1])

STRATEGY = textwrap.dedent("""
    from telvar.api.regora import _regora

    class CountingStrategy:
        def init(self, context):
            self.reg = _regora.reg_k_data("day", 1)
            self.bars, self.full_first_window = 0, None

        def on_bar(self, context):
            if self.bars == 0:
                window = _regora.get_reg_k_data(self.reg, context.bar_pos, 3, True)
                self.full_first_window = not any(v != v for v in window[:3, 5])
            self.bars += 1

        def summary(self, context):
            return {"per_target": [{"target": n, "seen": self.bars} for n in context.target_names],
                    "counted": self.bars, "full_first_window": self.full_first_window}
""")


def telvar_cli(args, tmp_path, timeout=300):
    env = dict(os.environ, PYTHONPATH=SRC, TELVAR_HOME=str(tmp_path / "home"))
    env.pop("TELVAR_LANG", None)
    return subprocess.run([sys.executable, "-m", "telvar"] + [str(a) for a in args], env=env,
                          capture_output=True, text=True, timeout=timeout, cwd=tmp_path)


@pytest.fixture
def strategy_file(tmp_path):
    path = tmp_path / "counting.py"
    path.write_text(STRATEGY)
    return path


RANGE = ["--begin", "20251110", "--end", "20251111"]


@pytest.mark.host
def test_a_run_prints_its_summary_and_draws_its_chart(host, tmp_path, strategy_file):
    chart = tmp_path / "charts" / "run.png"
    report = tmp_path / "charts" / "run.html"
    out = telvar_cli(["run", strategy_file, "--targets", "SHFE.RB0000,SSE.600000", *RANGE,
                      "--freq", "15min", "--warmup", "3", "--host", host.address, "--no-progress",
                      "--plot", chart, "--report", report], tmp_path)
    assert out.returncode == 0, out.stderr
    bars = int(re.search(r"^\s+bars\s+(\d+)$", out.stdout, re.M).group(1))
    assert "counted: %d" % bars in out.stdout and bars > 0
    assert "full_first_window: True" in out.stdout  # the warm-up filled the daily window
    assert re.search(r"SHFE\.RB0000\s+%d" % bars, out.stdout)
    assert "Back-test 20251110..20251111 after 3 warm-up trading days, 15min bars, 2 targets" in out.stdout
    assert re.search(r"^\s+trading\s+0\.00%, max drawdown 0\.00%, Sharpe n/a, 0 fills, final equity 1000000\.00",
                     out.stdout, re.M)
    assert chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # a run without fills still has its report: the first target's candles, empty tables
    assert "report written to %s" % report in out.stdout
    html = report.read_text(encoding="utf-8")
    assert "SHFE.RB0000: bars and fills" in html and "15min bars" in html


@pytest.mark.host
def test_a_run_on_a_store_starts_its_own_host(tmp_path, strategy_file):
    from telvar.host.sample import sample_store_path

    out = telvar_cli(["run", strategy_file, "--targets", "SHFE.CU0000", "--begin", "20251110",
                      "--end", "20251110", "--freq", "day", "--store", sample_store_path(),
                      "--no-progress"], tmp_path)
    assert out.returncode == 0, out.stderr
    assert re.search(r"^\s+bars\s+1$", out.stdout, re.M) and "counted: 1" in out.stdout


def _write(tmp_path, name, source):
    path = tmp_path / name
    path.write_text(textwrap.dedent(source))
    return path


BAD = {
    "missing file": (["run", "no_such_strategy.py", "--targets", "SHFE.RB0000", *RANGE], "not found"),
    "no strategy class": (["run", "{plain}", "--targets", "SHFE.RB0000", *RANGE], "no strategy class"),
    "two classes": (["run", "{two}", "--targets", "SHFE.RB0000", *RANGE], "--strategy"),
    "named class absent": (["run", "{two}", "--strategy", "C", "--targets", "SHFE.RB0000", *RANGE],
                           "no strategy class 'C'"),
    "target without market": (["run", "{good}", "--targets", "RB0000", *RANGE], "bad target 'RB0000'"),
    "bad date": (["run", "{good}", "--targets", "SHFE.RB0000", "--begin", "20251131", "--end", "20251201"],
                 "20251131"),
    "begin after end": (["run", "{good}", "--targets", "SHFE.RB0000", "--begin", "20251111",
                         "--end", "20251110"], "after"),
    "unknown frequency": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--freq", "3hours"],
                          "unknown bar frequency"),
    "tick frequency": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--freq", "tick"],
                       "unknown bar frequency"),
    "unknown adjustment": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--fq", "up"],
                           "NA, FWard or BWard"),
    "negative warm-up": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--warmup", "-2"], "--warmup"),
    "unknown chunk": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--chunk", "fortnight"], "--chunk"),
    "missing store": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--store", "nowhere.duckdb"],
                      "store not found"),
    "store and host": (["run", "{good}", "--targets", "SHFE.RB0000", *RANGE, "--store", "a", "--host", "b"],
                       "not allowed with"),
    "missing option": (["run", "{good}", "--targets", "SHFE.RB0000", "--begin", "20251110"], "--end"),
    "unknown command": (["walk"], "unknown command"),
}


@pytest.fixture
def files(tmp_path, strategy_file):
    return {
        "good": strategy_file,
        "plain": _write(tmp_path, "plain.py", "X = 1\nclass NotAStrategy:\n    def init(self, c): pass\n"),
        "two": _write(tmp_path, "two.py", """
            class A:
                def init(self, c): pass
                def on_bar(self, c): pass
            class B(A):
                pass
            """),
    }


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_ends_with_one_line(tmp_path, files, case):
    args, expected = BAD[case]
    out = telvar_cli([a.format(**files) for a in args], tmp_path, timeout=60)
    assert out.returncode == 2
    lines = out.stderr.strip().splitlines()
    assert len(lines) == 1, out.stderr
    assert lines[0].startswith("telvar") and expected in lines[0]


@pytest.mark.host
def test_failures_while_running(host, tmp_path, files):
    unknown = telvar_cli(["run", files["good"], "--targets", "SHFE.ZZ0000", *RANGE, "--host", host.address,
                          "--no-progress"], tmp_path)
    assert unknown.returncode == 1
    assert unknown.stderr.strip().splitlines() == [unknown.stderr.strip()]
    assert "unknown instrument SHFE.ZZ0000" in unknown.stderr

    broken = _write(tmp_path, "broken.py", """
        class Broken:
            def init(self, context):
                pass
            def on_bar(self, context):
                return 1 / 0
        """)
    failed = telvar_cli(["run", broken, "--targets", "SHFE.RB0000", *RANGE, "--host", host.address,
                         "--no-progress"], tmp_path)
    assert failed.returncode == 1
    assert "broken.py" in failed.stderr and "return 1 / 0" in failed.stderr  # the author's traceback
    assert failed.stderr.strip().splitlines()[-1] == \
        "telvar run: error: the strategy failed: ZeroDivisionError: division by zero"


def test_host_commands_are_forwarded(tmp_path):
    out = telvar_cli(["host", "--help"], tmp_path, timeout=60)
    assert out.returncode == 0 and "build-sample" in out.stdout
