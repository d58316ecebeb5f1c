"""Price-adjusted registration: adjusted 15-minute and daily bars of 20 main
contracts x 3 months of one-minute bars, against the plain registration of the
same bars.

The store: the sample generator with 16 more futures varieties (copies of the
sample's four under new variety codes, with their own prices and rolls), so 20
continuous main contracts. Both sides start from a fresh run set up on
one-minute strategy bars (the one-minute base is fetched in the set-up, not
timed); the timed part is reg_k_data("min", 15, ...) and reg_k_data("day", 1,
...), the daily base fetch included. The synthesis cache is off, so both sides
compute everything.
"""
import dataclasses
import resource

import numpy as np

from bench.report import clock
from bench.hostdata import cached_store

EXTRA_VARIETIES = {
    "SHFE": ["AL", "ZN", "NI", "SN", "AU", "AG", "HC", "SS"],
    "DCE": ["Y", "P", "C", "I", "J"],
    "CFFEX": ["IH", "IC", "IM"],
}


def _varieties():
    from telvar.host.sample import catalog

    base = {v.market: v for v in catalog.VARIETIES}
    out = list(catalog.VARIETIES)
    rng = np.random.default_rng(11)
    extra = [(m, code) for m, codes in EXTRA_VARIETIES.items() for code in codes]
    for market, code in extra:
        template = base[market]
        out.append(dataclasses.replace(template, variety=code, name=f"{template.name}{code}",
                                       price=float(np.round(template.price * rng.uniform(0.3, 2.0), 0)),
                                       roll_lead_days=int(template.roll_lead_days + rng.integers(0, 9))))
    return out


def _store():
    from telvar.host.sample import build_store, catalog

    def build(path):
        saved = catalog.VARIETIES
        catalog.VARIETIES = _varieties()
        try:
            build_store(path, begin=20251001, end=20251231, ticks=False)
        finally:
            catalog.VARIETIES = saved

    return cached_store("adjusted-20-mains-2", build)


def _user_seconds():
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def _register(host, targets, begin, end, adjust):
    """Fresh run on one-minute bars; returns the time and the user-mode CPU
    time of the two registrations."""
    from telvar.api.regora import _regora
    from telvar.kestrum import runner
    from telvar.kestrum import sysmodel as cnt

    runner.setup(targets, begin, end, "min", 1, host=host)
    cnt.env.cache_enabled = False
    start, start_user = clock(), _user_seconds()
    _regora.reg_k_data("min", 15, adjust)
    _regora.reg_k_data("day", 1, adjust)
    return clock() - start, _user_seconds() - start_user


def _adjusted_after_plain(host, targets, begin, end):
    """Time of the adjusted steps alone: the plain bars are registered first."""
    from telvar.api.regora import _regora

    _register(host, targets, begin, end, False)
    start = clock()
    _regora.reg_k_data("min", 15, True)
    _regora.reg_k_data("day", 1, True)
    return clock() - start


def _check_adjusted(report, history):
    """Adjusted / raw is constant within a contract stretch and each roll continues the series."""
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.sysmodel import gv

    vr = cnt.vr
    plain = vr.g_TelvarKDataList[vr.g_TelvarKDataList.find_pos(gv.KFreq_Day, 1)].Matrix
    adj = vr.g_TelvarKDataList_Adj[vr.g_TelvarKDataList_Adj.find_pos(gv.KFreq_Day, 1)].Matrix
    ok, rolls = True, 0
    for t, key in enumerate(vr.g_TelvarInputInfo.TargetListDot):
        dates, codes = history[key]
        codes = np.asarray(codes)
        stretch = np.concatenate([[0], np.cumsum(codes[1:] != codes[:-1])])
        if stretch.size != plain.shape[1]:
            ok = False
            continue
        raw_close = plain[gv.bar_item_pos(gv.KMatrix_Close, t)]
        adj_close = adj[t * gv.Adj_KMatrix_Bar_Len + gv.Adj_KMatrix_Close]
        adj_open = adj[t * gv.Adj_KMatrix_Bar_Len + gv.Adj_KMatrix_Open]
        ratio = adj_close / raw_close
        for s in np.unique(stretch):
            ok &= bool(np.allclose(ratio[stretch == s], ratio[stretch == s][0], rtol=1e-12))
        starts = np.flatnonzero(np.diff(stretch)) + 1
        rolls += starts.size
        ok &= bool(np.allclose(adj_open[starts], adj_close[starts - 1], rtol=1e-12))
    report.check(f"adjusted daily bars: constant ratio per contract, continuous at {rolls} rolls", ok)


def run(report):
    from telvar.kestrum import sysmodel as cnt

    caching = cnt.env.cache_enabled  # the registrations run uncached; the benchmarks after this one do not
    try:
        _measure(report)
    finally:
        cnt.env.cache_enabled = caching


def _measure(report):
    from telvar.api.history import _history
    from telvar.host import start_host

    store = _store()
    begin, end = (20251201, 20251231) if report.quick else (20251001, 20251231)
    with start_host(store) as host:
        from telvar.kestrum import runner

        runner.setup([{"Market": "SSE", "Code": "600000"}], begin, end, host=host)
        codes = [f"{v.variety}0000" for v in _varieties()]
        markets = [v.market for v in _varieties()]
        targets = [{"Market": m, "Code": c} for m, c in zip(markets, codes)]
        history = _history.get_main_contract(targets, begin, end)
        report.section(f"adjusted registration: {len(targets)} main contracts, 1-minute strategy bars, "
                       f"{begin}..{end}")
        report.check("every target has a main-contract history", len(history) == len(targets))

        # Interleaved, so that load from other processes hits both sides alike.
        times = {"plain": [], "adjusted": [], "increment": []}
        user = {"plain": [], "adjusted": []}
        for _ in range(1 if report.quick else 5):
            for key, adjust in (("plain", False), ("adjusted", True)):
                seconds, user_seconds = _register(host, targets, begin, end, adjust)
                times[key].append(seconds)
                user[key].append(user_seconds)
            times["increment"].append(_adjusted_after_plain(host, targets, begin, end))
        plain, adjusted, increment = (min(times[k]) for k in ("plain", "adjusted", "increment"))
        medians = {k: float(np.median(v)) for k, v in times.items()}
        _check_adjusted(report, history)
        from telvar.kestrum import sysmodel as cnt

        bars = cnt.vr.g_TelvarDataValueFresh.shape[1]
        report.line(f"{bars} one-minute strategy bars x {len(targets)} targets")
        report.compare("plain 15min + day", plain)
        report.compare("adjusted 15min + day", adjusted, plain=plain)
        report.compare("adjusted steps alone", increment, plain=plain)
        report.line(f"adjusted / plain time: {adjusted / plain:.2f} (best), "
                    f"{medians['adjusted'] / medians['plain']:.2f} (median); the adjusted steps alone "
                    f"take {increment / plain:.0%} of the plain registration's time")
        # Most of a registration's system time is the kernel handing out new
        # memory, which on some virtual machines varies ten-fold between runs.
        report.line(f"user-mode CPU time alone: adjusted / plain {min(user['adjusted']) / min(user['plain']):.2f} "
                    f"(best), {np.median(user['adjusted']) / np.median(user['plain']):.2f} (median)")
        report.target("plain / adjusted time (1 = no cost)", plain / adjusted, 0.5)
        _windows(report, bars)


def _windows(report, bars):
    """Reading the registered 15-minute bars bar by bar: adjusted window against the plain one."""
    from telvar.api.regora import _regora
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.sysmodel import gv

    reg_idx = cnt.vr.g_TelvarRegKDataInfo_Adj.get_item(gv.KFreq_Min, 15).RegIdx
    plain_idx = reg_idx[:, :4].copy()
    positions = range(0, bars, max(1, bars // 2000))
    for fill_up in (True, False):
        def read(fn, idx):
            start = clock()
            for pos in positions:
                fn(idx, pos, 20, fill_up)
            return (clock() - start) / len(positions)
        plain = min(read(_regora.get_reg_k_data, plain_idx) for _ in range(3))
        adjusted = min(read(_regora.get_reg_k_data_adj, reg_idx) for _ in range(3))
        report.line(f"window of 20 bars x {len(reg_idx)} targets, fill_up={fill_up}: adjusted "
                    f"{adjusted * 1e6:.0f} us, plain {plain * 1e6:.0f} us per call "
                    f"(adjusted / plain {adjusted / plain:.2f})")
