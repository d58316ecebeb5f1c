"""Small stores of markets unlike the Chinese exchanges, written through the importer.

- ``fx``: hourly bars of a market trading through midnight: sessions 21:00-24:00
  (night) and 00:00-21:00, Monday-Friday calendar with Easter holidays, Monday's
  session opening on Sunday evening, a few hours without a bar.
- ``midnight``: 10-minute bars of one session 00:00-24:00, a Monday-Saturday
  calendar (six trading days a week) with a holiday and a week without trades.
- ``equity``: day bars only of two stocks, session 09:30-16:00, US holidays.

Each builder returns the store path and the rows imported (with their times as
pandas timestamps in ``stamp``), for pandas references.
"""
from pathlib import Path

import numpy as np
import pandas as pd

from telvar.host.importer import import_files


def _write(frame: pd.DataFrame, path: Path) -> Path:
    frame.to_csv(path, index=False)
    return path


def import_store(folder: Path, market: str, days, sessions, codes, bars_min=None, bars_day=None) -> Path:
    """A store with ``market``'s calendar, sessions ``[(start, end, night)]``, instruments and bars."""
    store = folder / f"{market.lower()}.duckdb"
    cal = pd.DataFrame({"market": market, "trade_date": [d.strftime("%Y%m%d") for d in days]})
    ses = pd.DataFrame([(market, "", i, s, e, n) for i, (s, e, n) in enumerate(sessions)],
                       columns=["market", "variety", "seq", "start_hhmm", "end_hhmm", "night"])
    ins = pd.DataFrame({"market": market, "code": codes, "name": codes, "kind": "stock"})
    import_files(store, "calendar", [_write(cal, folder / "calendar.csv")])
    import_files(store, "sessions", [_write(ses, folder / "sessions.csv")])
    import_files(store, "instruments", [_write(ins, folder / "instruments.csv")])
    if bars_min is not None:
        rows = bars_min.assign(time=bars_min["stamp"].dt.strftime("%Y-%m-%d %H:%M")).drop(columns="stamp")
        import_files(store, "bars-min", [_write(rows, folder / "bars_min.csv")])
    if bars_day is not None:
        import_files(store, "bars-day", [_write(bars_day, folder / "bars_day.csv")])
    return store


def random_bars(stamps, seed: int, price: float, step: float) -> pd.DataFrame:
    """Traded bars at ``stamps`` with a random-walk close."""
    rng = np.random.default_rng(seed)
    n = len(stamps)
    close = np.round(price + np.cumsum(rng.normal(0, step, n)), 5)
    open_ = np.round(np.r_[price, close[:-1]] + rng.normal(0, step / 4, n), 5)
    high = np.round(np.maximum(open_, close) + rng.uniform(0, step, n), 5)
    low = np.round(np.minimum(open_, close) - rng.uniform(0, step, n), 5)
    volume = rng.integers(1, 5000, n).astype(float)
    return pd.DataFrame({"stamp": pd.DatetimeIndex(stamps), "open": open_, "high": high, "low": low,
                         "close": close, "volume": volume, "turnover": np.round(volume * close, 2)})


FX_DAYS = [d for d in pd.bdate_range("2017-03-27", "2017-05-12") if d.strftime("%m%d") not in ("0414", "0417")]


def fx(folder: Path):
    days = FX_DAYS
    stamps = [d + pd.Timedelta(hours=h - 3) for d in days for h in range(1, 25)]  # 22:00 the evening before ... 21:00
    bars = random_bars(stamps, seed=5, price=1.07, step=0.001)
    bars = bars[np.random.default_rng(6).random(len(bars)) > 0.05].reset_index(drop=True)  # hours without a trade
    bars.insert(0, "code", "EURUSD")
    bars.insert(0, "market", "FX")
    store = import_store(folder, "FX", days, [(2100, 2400, True), (0, 2100, False)], ["EURUSD"], bars_min=bars)
    return store, bars


MIDNIGHT_HOLIDAY = pd.Timestamp("2017-04-12")
MIDNIGHT_SUSPENDED = (pd.Timestamp("2017-04-24"), pd.Timestamp("2017-04-29"))  # a week without trades
EVERY_MINUTE = (pd.Timestamp("2017-04-04"), pd.Timestamp("2017-04-06"))  # days ETH trades every minute
MIDNIGHT_DAYS = [d for d in pd.date_range("2017-03-06", "2017-05-13") if d.weekday() < 6 and d != MIDNIGHT_HOLIDAY]


def midnight(folder: Path):
    """BTC trades every 10 minutes (the minutes between are untraded), ETH every minute of three days."""
    days = MIDNIGHT_DAYS
    btc = random_bars([d + pd.Timedelta(minutes=m) for d in days for m in range(10, 1441, 10)],
                      seed=7, price=100.0, step=0.2)
    day = (btc["stamp"] - pd.Timedelta(minutes=1)).dt.normalize()
    btc = btc[~day.between(*MIDNIGHT_SUSPENDED)].assign(code="BTC")
    eth_days = [d for d in days if EVERY_MINUTE[0] <= d <= EVERY_MINUTE[1]]
    eth = random_bars([d + pd.Timedelta(minutes=m) for d in eth_days for m in range(1, 1441)],
                      seed=8, price=50.0, step=0.05).assign(code="ETH")
    bars = pd.concat([btc, eth], ignore_index=True).assign(market="CRYPTO")
    store = import_store(folder, "CRYPTO", days, [(0, 2400, False)], ["BTC", "ETH"], bars_min=bars)
    return store, bars


US_HOLIDAYS = ("20170102", "20170116", "20170220", "20170414", "20170529")
US_DAYS = [d for d in pd.bdate_range("2017-01-03", "2017-06-30") if d.strftime("%Y%m%d") not in US_HOLIDAYS]


def equity(folder: Path):
    days = US_DAYS
    frames = []
    for k, code in enumerate(("AAPL", "IBM")):
        bars = random_bars([d + pd.Timedelta(hours=16) for d in days], seed=11 + k, price=120.0 + 40 * k, step=1.5)
        bars.insert(0, "trade_date", bars.pop("stamp").dt.strftime("%Y%m%d").astype(int))
        bars.insert(0, "code", code)
        bars.insert(0, "market", "XNYS")
        frames.append(bars)
    bars = pd.concat(frames, ignore_index=True)
    store = import_store(folder, "XNYS", days, [(930, 1600, False)], ["AAPL", "IBM"], bars_day=bars)
    return store, bars


def trading_date_groups(rows: pd.DataFrame, key: pd.Series, freq: str = None) -> pd.DataFrame:
    """pandas reference: bars of ``rows`` combined per trading-date period ``freq`` ('D', 'W', 'M') of
    the trading dates ``key``, or per value of ``key`` (in ascending order) without ``freq``."""
    g = rows.groupby((key.dt.to_period(freq) if freq else key).to_numpy())
    return pd.DataFrame({"open": g["open"].first(), "high": g["high"].max(), "low": g["low"].min(),
                         "close": g["close"].last(), "volume": g["volume"].sum()})
