"""The host's own combined bars take no price from untraded slots: day bars
rebuilt from imported minutes that hold zero-volume minutes at the last
close, week and 5-minute bars built from filled data, and last-N reads
without filled bars (an index imported with volume 0 keeps its moving bars).

A user's store: the sample's calendar, sessions and instruments, and minutes
of one stock over two weeks with untraded minutes at the start, middle and end
of bars, a two-day suspension and a gap up when it resumes."""
import logging

import duckdb
import numpy as np
import pandas as pd
import pytest
import scipy.io

from reference import bars as ref
from telvar.host.commands import kdata
from telvar.host.store import reads as md
from telvar.host.commands import Context
from telvar.host.importer import import_files
from telvar.host.sample import sample_store_path
from telvar.common.timeconv import minutes_to_datenum
from telvar.host.store.tradingtime import day_positions

DAYS = [20251103, 20251104, 20251105, 20251106, 20251107, 20251110, 20251111, 20251112, 20251113, 20251114]
SUSPENDED = (20251110, 20251111)
RESUMES = 20251112
FIELDS = ["open", "high", "low", "close", "volume", "turnover", "open_interest"]
STOCK, INDEX = ("SSE", "600000"), ("SSE", "000300")


def slot_times(day):
    d = pd.Timestamp(str(day))
    morning = pd.date_range(d + pd.Timedelta("09:31:00"), periods=120, freq="1min")
    afternoon = pd.date_range(d + pd.Timedelta("13:01:00"), periods=120, freq="1min")
    return morning.append(afternoon)


def user_minutes(seed, code, volumes=True):
    """Minutes as a user's file holds them: traded minutes, and for some
    untraded ones a zero-volume minute at the last close (the others absent).
    volumes=False: a feed with volume 0 everywhere."""
    rng = np.random.default_rng(seed)
    rows, last = [], 10.0
    for day in DAYS:
        if day in SUSPENDED:
            continue
        for k, t in enumerate(slot_times(day)):
            resuming = day == RESUMES and k < 3
            if not resuming and (rng.random() < 0.6 or (day == RESUMES and k == 3)):
                gap = 1.08 if day == RESUMES and k == 3 else 1 + rng.normal(0, 0.002)
                o = round(last * gap, 2)
                c = round(o * (1 + rng.normal(0, 0.003)), 2)
                h, low = max(o, c) + 0.01, min(o, c) - 0.01
                v = float(rng.integers(1, 900)) if volumes else 0.0
                rows.append((t, o, h, low, c, v, v * c * 100, np.nan))
                last = c
            elif resuming or rng.random() < 0.5:
                rows.append((t, last, last, last, last, 0.0, 0.0, np.nan))
    frame = pd.DataFrame(rows, columns=["time"] + FIELDS)
    frame.insert(0, "code", code)
    frame.insert(0, "market", "SSE")
    return frame


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("filled_combine")
    path = tmp / "user.duckdb"
    sample = duckdb.connect(str(sample_store_path()), read_only=True)
    for kind, sql in (("calendar", "SELECT market, trade_date, night FROM calendar"),
                      ("sessions", "SELECT * FROM sessions"), ("instruments", "SELECT * FROM instruments")):
        file = tmp / f"{kind}.parquet"
        sample.execute(f"COPY ({sql}) TO '{file}' (FORMAT parquet)")
        import_files(path, kind, [file])
    sample.close()
    minutes = {STOCK: user_minutes(1, STOCK[1]), INDEX: user_minutes(2, INDEX[1], volumes=False)}
    for (market, code), frame in minutes.items():
        file = tmp / f"{code}.csv"
        frame.drop(columns="open_interest").to_csv(file, index=False)
        import_files(path, "bars-min", [file])
    con = duckdb.connect(str(path), read_only=True)
    yield Context(con, tmp, logging.getLogger("test")), minutes
    con.close()


def traded_minutes(frame):
    """The minutes that traded, by the shared reference's rule."""
    return frame[ref.traded_mask(frame.rename(columns={"open_interest": "oi"}))]


def as_frame(m):
    return pd.DataFrame(m.T, columns=FIELDS)


def test_day_bars_rebuilt_from_minutes_skip_zero_volume_minutes(store):
    ctx, minutes = store
    stored = ctx.con.execute("SELECT trade_date, " + ", ".join(FIELDS) + " FROM day_bars WHERE code = ? "
                             "ORDER BY trade_date", [STOCK[1]]).df()
    traded = traded_minutes(minutes[STOCK])
    expected = ref.combine(traded.rename(columns={"open_interest": "oi"}),
                           traded["time"].dt.strftime("%Y%m%d").astype(int), sort=True)
    assert stored["trade_date"].tolist() == [d for d in DAYS if d not in SUSPENDED]
    np.testing.assert_array_equal(stored[FIELDS[:4]].to_numpy(), expected[ref.PRICES].to_numpy())
    np.testing.assert_allclose(stored["volume"], expected["volume"])
    resumed = stored.set_index("trade_date").loc[RESUMES]
    before = stored.set_index("trade_date").loc[20251107, "close"]
    assert resumed["open"] == round(before * 1.08, 2) and resumed["low"] > before  # the gap stays open


def test_week_bars_of_filled_days_start_at_the_first_trade(store):
    ctx, minutes = store
    insts = md.resolve(ctx, [STOCK])
    _, _, tdays, (m,) = kdata.build(ctx, insts, "week", DAYS[0], DAYS[-1], True, "NA")
    _, _, days, (d,) = kdata.build(ctx, insts, "day", DAYS[0], DAYS[-1], True, "NA")
    filled_days = as_frame(d)
    assert (filled_days["volume"][np.isin(days, SUSPENDED)] == 0).all()  # filled at Friday's close
    week = pd.to_datetime(pd.Series(days).astype(str)).dt.isocalendar().week.to_numpy()
    expected = ref.combine(filled_days.rename(columns={"open_interest": "oi"}), week, sort=True)
    np.testing.assert_array_equal(as_frame(m)[FIELDS[:4]].to_numpy(), expected[ref.PRICES].to_numpy())
    second, friday = as_frame(m).iloc[1], filled_days["close"][days == 20251107].item()
    assert second["open"] == filled_days["open"][days == RESUMES].item() != friday


def test_five_minute_bars_of_filled_minutes_match_pandas(store):
    ctx, minutes = store
    insts = md.resolve(ctx, [STOCK])
    slots, tdays = md.minute_slots(ctx, insts, DAYS[0], DAYS[-1])
    _, _, _, (m,) = kdata.build(ctx, insts, "min", DAYS[0], DAYS[-1], True, "NA", units=5)
    traded = traded_minutes(minutes[STOCK]).rename(columns={"open_interest": "oi"})
    stamps = minutes_to_datenum(slots)
    traded.index = minutes_to_datenum(traded["time"].to_numpy().astype("datetime64[m]").astype(np.int64))
    on_slots = ref.filled(traded[ref.FIELDS], pd.Index(stamps))
    key = tdays.astype(np.int64) * 1000 + (day_positions(tdays) - 1) // 5
    expected = ref.combine(on_slots, key, sort=True)
    np.testing.assert_allclose(m[:6], expected[ref.FIELDS[:6]].to_numpy().T, rtol=1e-12, equal_nan=True)


def test_last_bars_without_filled_ones_keep_a_feed_without_volumes(store):
    ctx, minutes = store
    path = kdata.get_n_k_data_multi(ctx, [dict(zip(("Market", "Code"), INDEX))], "min", 1, 400, DAYS[-1], False,
                                    "NA")
    rec = scipy.io.loadmat(path)["KArray"][0, 0]
    index = minutes[INDEX]
    moving = traded_minutes(index)
    assert 0 < len(moving) < len(index)  # some of its minutes are flat at the last close
    np.testing.assert_array_equal(rec["Close"].ravel(), moving["close"].to_numpy()[-400:])
    np.testing.assert_array_equal(rec["Volume"].ravel(), np.zeros(400))
