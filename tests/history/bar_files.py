"""Host-style bar files, pandas references and a clean run state for the
per-target, last-N, tick and run-time query tests."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.kestrum.utils.utilfunc import save_mat

FIELDS = ["Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest"]


def datenum(day, hour=0, minute=0, second=0):
    """Serial day number of an integer date and a clock time."""
    d = dt.date(day // 10000, day // 100 % 100, day % 100)
    return d.toordinal() + 366 + (hour * 3600 + minute * 60 + second) / 86400.0


@pytest.fixture
def run_state(history, tmp_path):
    """The framework's real run state, clean, with its files under tmp_path."""
    from telvar.kestrum import sysmodel

    old_root = sysmodel.env.fm.root
    sysmodel.reset()
    sysmodel.env.fm.set_root(str(tmp_path / "home"))
    sysmodel.env.cache_enabled = True
    yield sysmodel
    sysmodel.reset()
    sysmodel.env.fm.set_root(old_root)


def random_bars(times, begin_bar, seed, zero_every=0, zero_run=1):
    """Filled bars on `times`: a random walk, with no trade (volume 0, prices
    at the last close) in `zero_run` bars from every `zero_every`-th bar."""
    rng = np.random.default_rng(seed)
    n = len(times)
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    open_ = close + rng.normal(0, 0.5, n)
    high = np.maximum(open_, close) + rng.uniform(0, 1, n)
    low = np.minimum(open_, close) - rng.uniform(0, 1, n)
    volume = rng.integers(1, 50, n).astype(float)
    if zero_every:
        for start in range(1, n, zero_every):
            for i in range(start, min(start + zero_run, n)):
                open_[i] = high[i] = low[i] = close[i] = close[i - 1]
                volume[i] = 0.0
    frame = pd.DataFrame(dict(Time=np.asarray(times, float), Open=open_, High=high, Low=low, Close=close,
                              Volume=volume, TurnOver=volume * close, OpenInterest=1000 + np.arange(n, dtype=float)))
    frame["BeginBar"] = np.asarray(begin_bar, float)
    return frame


def minute_times(days, night=4, morning=5):
    """Minute bars of trading days: `night` bars from 21:01 of the evening
    before (a Monday's night lies on the Friday), then `morning` from 09:01."""
    times, flags = [], []
    for day in days:
        d = dt.date(day // 10000, day // 100 % 100, day % 100)
        prev = d - dt.timedelta(days=3 if d.weekday() == 0 else 1)
        prev_day = prev.year * 10000 + prev.month * 100 + prev.day
        bars = [datenum(prev_day, 21, 1 + i) for i in range(night)] + \
               [datenum(day, 9, 1 + i) for i in range(morning)]
        times += bars
        flags += [1] + [0] * (len(bars) - 1)
    return np.array(times), np.array(flags)


def combined(frame, keys):
    """pandas: the bars of `frame` (Time, Open..OpenInterest) grouped by `keys`
    in key order, by the shared reference (filled bars lend no price), each
    stamped with its last bar's time."""
    lower = frame.rename(columns=dict(zip(FIELDS, ref.FIELDS)))
    out = ref.combine(lower, np.asarray(keys), sort=True, Time=("Time", "last"))
    return out.rename(columns=dict(zip(ref.FIELDS, FIELDS)))[["Time"] + FIELDS].reset_index(drop=True)


def n_bar_reference(frame, n):
    """pandas: N-unit bars counted per trading day (a day's last bar closes)."""
    day = (frame["BeginBar"] == 1).cumsum()
    group = frame.groupby(day).cumcount() // n
    return combined(frame, day.to_numpy() * 100000 + group.to_numpy())


def period_reference(frame, period):
    """pandas: week/month/year bars of day bars, stamped with their last day bar."""
    days = pd.to_datetime(np.floor(frame["Time"]) - 719529, unit="D")
    return combined(frame, days.dt.to_period(period).dt.start_time)


def as_matrix(frame):
    """Rows End, Open..OpenInterest of a reference frame, as the results hold them."""
    return np.vstack([frame["Time"].to_numpy()] + [frame[f].to_numpy() for f in FIELDS])


def write_bar_file(path, frame):
    save_mat(str(path), {name: frame[name].to_numpy() for name in ["Time", "BeginBar"] + FIELDS})
    return str(path)


class RecordingChannel:
    """The real command channel, recording every command sent through it."""

    def __init__(self, real):
        self.real = real
        self.calls = []

    def __getattr__(self, name):
        command = getattr(self.real, name)

        def send(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return command(*args, **kwargs)

        return send

    def names(self):
        return [name for name, _, _ in self.calls]


class CountingChannel(RecordingChannel):
    """The real channel, with the names of the commands sent through it (``sent``)."""

    @property
    def sent(self):
        return self.names()


@pytest.fixture
def host_channel(connected_host, history, monkeypatch):
    """The history module talking to the sample host through a recording channel."""
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel

    sysmodel.reset(keep_connection=True)
    sysmodel.env.cache_enabled = True
    recorder = RecordingChannel(comm.tvcmd)
    monkeypatch.setattr(history, "tvcmd", recorder)
    yield recorder
    sysmodel.reset(keep_connection=True)


def host_bars(channel, target, frequency, begin, end):
    """The host's own one-unit bars of one target, as a frame."""
    from telvar.kestrum.utils.utilfunc import load_mat

    (path,) = channel.real.tvSendCmdGetKData([target], frequency, 1, begin, end, True, "NA", False)
    data = load_mat(path)
    return pd.DataFrame({name: data[name].ravel() for name in ["Time", "BeginBar"] + FIELDS})
