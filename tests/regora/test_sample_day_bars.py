"""Completed and forming bars agree on the sample store: for every target and
trading day, the host's day bar equals the daily bar a strategy sees forming
from that day's filled minute bars at the day's last minute."""
import duckdb
import numpy as np
import pytest

from telvar.host.sample import sample_store_path
from telvar.kestrum import runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

pytestmark = pytest.mark.host


@pytest.fixture(scope="module")
def targets():
    con = duckdb.connect(str(sample_store_path()), read_only=True)
    rows = con.execute("SELECT market, code FROM instruments ORDER BY market, code").fetchall()
    con.close()
    return [{"Market": m, "Code": c} for m, c in rows]


def test_every_day_bar_is_the_forming_daily_bar_at_the_days_last_minute(host, targets, tmp_path):
    from telvar.api.regora import _regora

    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "home"))
    try:
        runner.setup(targets, 20250901, 20251231, host=host)
        reg = _regora.reg_k_data("day", 1)
        days = cnt.vr.g_TelvarKDataList[int(reg[0, 0])].Matrix
        minutes = cnt.vr.g_TelvarKDataList[0].Matrix
        store = cnt.vr.g_TelvarDataValueFresh
        last_minute = np.searchsorted(minutes[gv.KMatrixPos_TimeLine], days[gv.KMatrixPos_TimeLine])
        np.testing.assert_array_equal(minutes[gv.KMatrixPos_TimeLine, last_minute], days[gv.KMatrixPos_TimeLine])
        bar = gv.KMatrix_Bar_Len
        compared = 0
        for t, target in enumerate(targets):
            host_days = days[gv.KMatrixPos_Head_len + t * bar:gv.KMatrixPos_Head_len + (t + 1) * bar]
            forming = store[int(reg[t, 2]):int(reg[t, 2]) + bar, last_minute]
            what = f"{target['Market']}.{target['Code']}"
            # prices are picked from one minute: exactly equal; sums in another order
            np.testing.assert_array_equal(forming[:4], host_days[:4], err_msg=what)
            np.testing.assert_allclose(forming[4:], host_days[4:], rtol=1e-12, equal_nan=True, err_msg=what)
            compared += int(np.sum(host_days[gv.KMatrix_Volume] > 0))
        assert compared > 1500  # traded days of all targets
    finally:
        cnt.reset()
        cnt.env.fm.set_root(old_root)
