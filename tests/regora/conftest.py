"""Fixtures of the registration module's tests: the module, and a run state
over the synthetic market of regora_market.py whose history functions are
replaced in the module namespace (no host needed)."""
from types import SimpleNamespace

import pytest

from regora_market import BEGIN, END, TARGETS, Market, registry_sizes, start_run  # noqa: F401 (re-exported)
from telvar.kestrum import sysmodel as cnt


@pytest.fixture
def regora():
    from telvar.api.regora import _regora

    return _regora


@pytest.fixture
def market():
    return Market()


@pytest.fixture
def bare_world(monkeypatch, tmp_path, regora, market):
    """Run inputs and the strategy's time line, nothing registered yet."""
    cnt.env.fm.set_root(str(tmp_path / "home"))
    start_run(market)
    for name in ("get_k_data_multi", "get_trading_time", "get_trading_days"):
        monkeypatch.setattr(regora, name, getattr(market, name))
    yield SimpleNamespace(market=market, regora=regora, vr=cnt.vr, cache_dir=tmp_path / "home")
    cnt.reset()


@pytest.fixture
def world(bare_world):
    """A run state for 1-minute strategy bars with the strategy's own bars registered."""
    info = cnt.vr.g_TelvarInputInfo
    bare_world.own_reg_idx = bare_world.regora.reg_k_data("min", 1)
    info.RefreshKDataIdx = int(bare_world.own_reg_idx[0, 0])
    bare_world.requests_at_start = len(bare_world.market.requests)
    return bare_world


