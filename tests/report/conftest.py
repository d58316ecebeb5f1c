"""Fixtures of the report tests: a small real run with fills, refusals and a roll; a headless Chromium."""
import shutil
from pathlib import Path

import pytest

pytest.importorskip("jinja2")
pytest.importorskip("plotly")

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts"
CU, RB, STOCK, INDEX = "SHFE.CU0000", "SHFE.RB0000", "SSE.600000", "SSE.000300"
BEGIN, END = 20251117, 20251124  # CU0000 rolls from CU2512 to CU2601 on 20251120


class MixedStrategy:
    """Holds 2 CU lots over the roll, flips RB every 45 bars, buys stock and tries to sell it the same
    day (refused: T+1) and the next, and leaves a far limit order open at the end."""

    name = "Mixed <test> & strategy"

    def init(self, context):
        self.last = len(context.bar_times) - 1

    def on_bar(self, context):
        i = context.bar_pos - context.first_bar_pos
        if i % 45 == 0:
            context.order_target(RB, 1 if (i // 45) % 2 == 0 else -1)
        if i == 30:
            context.order_target(CU, 2)
        if i % 600 == 10:
            context.order(STOCK, 1000)
        if i % 600 in (40, 330):
            context.order_target(STOCK, 0)
        if context.bar_pos == self.last:
            context.order(RB, 1, limit_price=1.0)


@pytest.fixture(scope="session")
def traded_run(host, tmp_path_factory):
    """The result of MixedStrategy over BEGIN..END (1-minute bars), attached to the session's host."""
    from telvar.kestrum import runner
    from telvar.kestrum import sysmodel as cnt

    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path_factory.mktemp("report-root")))
    try:
        return runner.run(MixedStrategy(), [CU, RB, STOCK], BEGIN, END, progress=False, capital=1_000_000,
                          benchmark=INDEX, costs={"SHFE": {"commission_per_lot": 2.0}}, host=host)
    finally:
        cnt.env.fm.set_root(old_root)


@pytest.fixture
def attached(traded_run, host):
    """The process attached to the session's host again (other tests may have moved it)."""
    from telvar.kestrum import comm

    if not comm.attached_to(host.address):
        comm.connect(host.address, token=getattr(host, "token", None))
    return traded_run


@pytest.fixture(scope="session")
def artifacts():
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    return ARTIFACTS


def start_browser():
    """A headless Chromium driven by selenium (Debian's chromium and chromium-driver); skips without them."""
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        pytest.skip("no headless browser: apt-get install chromium chromium-driver")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1360,900", "--hide-scrollbars"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # the driver is named: selenium never looks for (or downloads) one of its own
    return webdriver.Chrome(service=Service(driver_path), options=options)


@pytest.fixture(scope="session")
def browser():
    driver = start_browser()
    yield driver
    driver.quit()
