"""Per-target K-data: get_k_data_independent_target for 50 instruments x 3
months of 15-minute bars, cold (the host writes one-minute files, the module
reads them and combines the bars with the kernels, then caches them) and
warm (every target from the on-disk cache), against pandas doing the same
aggregation (the shared reference: first/max/min over the traded bars,
last/sum/sum/last per 15 one-minute bars of a trading day) from the same
one-minute data.

The store is the one of bench_history_multi: 49 stocks and the RB main
contract (whose night session runs into the next trading day).
"""
import shutil
import tempfile

import numpy as np
import pandas as pd
import scipy.io

from bench.bench_history_multi import bench_store, targets_of
from bench.hostdata import answered_again
from bench.report import best_time
from reference import bars as ref

FIELDS = ["Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest"]
UNITS = 15


def minute_frames(paths):
    """The host's one-minute files as one frame per target (what pandas starts from), in the reference's columns."""
    frames = []
    for path in paths:
        data = scipy.io.loadmat(path)
        frame = {"time": data["Time"].ravel(), "begin_bar": data["BeginBar"].ravel()}
        frame.update({name: data[field].ravel() for name, field in zip(ref.FIELDS, FIELDS)})
        frames.append(pd.DataFrame(frame))
    return frames


def pandas_bars(frame):
    """N-minute bars counted per trading day, a day's last bar closing its bar (the shared reference)."""
    day = (frame["begin_bar"] == 1).cumsum()
    slot = frame.groupby(day).cumcount() // UNITS
    return ref.combine(frame, [day, slot], sort=True, time=("time", "last"))


def pandas_all_at_once(frames):
    """The same aggregation as one grouping over every target."""
    traded = np.concatenate([ref.traded_mask(f) for f in frames])
    both = pd.concat(frames, keys=range(len(frames)), names=["target", None]).reset_index(level=0)
    day = (both["begin_bar"] == 1).groupby(both["target"]).cumsum()
    slot = both.groupby([both["target"], day]).cumcount() // UNITS
    return ref.combine(both, [both["target"], day, slot], traded, sort=True, time=("time", "last"))


def run(report):
    from telvar.api.history import _history
    from telvar.host import start_host
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel as cnt

    extra, end_date = (6, 20250930) if report.quick else (46, 20251130)
    begin_date = 20250901
    targets = targets_of(extra)
    store = bench_store(extra)

    def request():
        return _history.get_k_data_independent_target(targets, "min", UNITS, begin_date, end_date, True, "NA")

    with start_host(store=store) as host, tempfile.TemporaryDirectory() as root:
        comm.connect(host.address)
        cnt.reset(keep_connection=True)
        cnt.env.fm.set_root(root)
        cache_dir = cnt.env.fm.cache_dir(_history.HISTORY_DATA_CACHE)
        try:
            def cold():
                shutil.rmtree(cache_dir, ignore_errors=True)
                cnt.env.fm.cache_dir(_history.HISTORY_DATA_CACHE)
                return request()

            cold()  # warm the host's store and the page cache
            t_cold, results = best_time(cold, repeat=3, wall=True)
            t_warm, cached = best_time(request, repeat=5)
            bars = sum(r.shape[1] for r in results)
            report.section(f"get_k_data_independent_target: {len(targets)} targets, {begin_date}..{end_date}, "
                           f"{UNITS}-minute bars ({bars} bars)")

            paths = _history.tvcmd.tvSendCmdGetKData(targets, "min", 1, begin_date, end_date, True, "NA", False)
            frames = minute_frames(paths)
            minutes = sum(len(f) for f in frames)
            t_pd_agg, reference = best_time(lambda: [pandas_bars(f) for f in frames], repeat=3)
            t_pd_once, _ = best_time(lambda: pandas_all_at_once(frames), repeat=3)
            t_pd_read, _ = best_time(lambda: minute_frames(paths), repeat=3)

            columns = ["time"] + ref.FIELDS
            same = all(np.allclose(r, expect[columns].to_numpy().T, rtol=1e-12, equal_nan=True)
                       for r, expect in zip(results, reference))
            report.check("every target's bars equal pandas' aggregation of the same minute bars", same)
            report.check("the cache gives back the same bars",
                         all(np.array_equal(a, b, equal_nan=True) for a, b in zip(results, cached)))

            t_host, _ = best_time(lambda: _history.tvcmd.tvSendCmdGetKData(
                targets, "min", 1, begin_date, end_date, True, "NA", False), repeat=3, wall=True)
            report.line(f"{minutes} one-minute bars in; host command alone {t_host * 1e3:.0f} ms "
                        f"(query + {len(targets)} .mat files)")
            report.compare("cold (host, build, cache)", t_cold, pandas_read_and_agg=t_host + t_pd_read + t_pd_agg)
            cnt.env.cache_enabled = False
            try:
                t_uncached, _ = best_time(request, repeat=3, wall=True)
            finally:
                cnt.env.cache_enabled = True
            report.line(f"  of which writing the {len(targets)} cache files {(t_cold - t_uncached) * 1e3:.0f} ms "
                        f"(atomic, synced writes)")
            report.compare("warm (cache)", t_warm, pandas_read_and_agg=t_pd_read + t_pd_agg,
                           pandas_agg_alone=min(t_pd_agg, t_pd_once))

            # The module's work on files already written: an instant channel, no cache.
            channel = _history.tvcmd
            _history.tvcmd = type("Instant", (), {"tvSendCmdGetKData":
                                                  lambda self, *a: [answered_again(p) for p in paths]})()
            cnt.env.cache_enabled = False
            try:
                t_local, _ = best_time(request, repeat=3)
                loaded = [_history.load_mat(p) for p in paths]
                original = _history.load_mat
                feed = iter(())

                def preloaded(*args, **kwargs):
                    return next(feed)

                _history.load_mat = preloaded

                def build_only():
                    nonlocal feed
                    feed = iter(dict(d) for d in loaded)
                    return request()

                try:
                    t_build, _ = best_time(build_only, repeat=5)
                finally:
                    _history.load_mat = original
            finally:
                _history.tvcmd = channel
                cnt.env.cache_enabled = True
            report.compare("read + build (no host)", t_local, pandas_read_and_agg=t_pd_read + t_pd_agg)
            report.compare("build alone (kernels)", t_build, pandas_per_target=t_pd_agg, pandas_one_groupby=t_pd_once)
            report.target("warm speed-up over pandas read + aggregation", (t_pd_read + t_pd_agg) / t_warm, 1.0)
        finally:
            comm.disconnect()
