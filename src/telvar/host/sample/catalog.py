"""What the sample store holds: markets, sessions, instruments and their habits."""
from __future__ import annotations

from dataclasses import dataclass, field

DAY_STOCK = [(930, 1130, False), (1300, 1500, False)]
DAY_FUTURE = [(900, 1015, False), (1030, 1130, False), (1330, 1500, False)]

# (market, variety) -> sessions; variety "" is the market's default.
SESSIONS = {
    ("SSE", ""): DAY_STOCK,
    ("SZSE", ""): DAY_STOCK,
    ("CFFEX", ""): DAY_STOCK,
    ("SHFE", ""): [(2100, 2300, True)] + DAY_FUTURE,
    ("SHFE", "RB"): [(2100, 2300, True)] + DAY_FUTURE,
    ("SHFE", "CU"): [(2100, 100, True)] + DAY_FUTURE,
    ("DCE", ""): [(2100, 2300, True)] + DAY_FUTURE,
    ("DCE", "M"): [(2100, 2300, True)] + DAY_FUTURE,
}


@dataclass
class StockSpec:
    market: str
    code: str
    name: str
    price: float
    daily_vol: float
    volume: float  # shares per average minute
    kind: str = "stock"
    events: dict = field(default_factory=dict)  # ex_date -> (split, cash dividend per old share)
    shocks: dict = field(default_factory=dict)  # trade_date -> extra daily return (limit moves)
    eps: float = 1.0


@dataclass
class VarietySpec:
    market: str
    variety: str
    name: str
    price: float
    daily_vol: float
    volume: float  # lots per average minute of the main contract
    open_interest: float
    multiplier: float
    tick: float
    months: tuple
    roll_lead_days: int
    limit: float
    third_friday_expiry: bool = False
    margin: float = 0.10  # the exchange's margin ratio


STOCKS = [
    StockSpec("SSE", "600000", "浦发银行", 13.2, 0.016, 90000, eps=1.55),
    StockSpec("SSE", "600519", "贵州茅台", 1460.0, 0.013, 2200,
              events={20251219: (1.0, 23.957)}, eps=68.6),
    StockSpec("SZSE", "000001", "平安银行", 11.9, 0.015, 110000,
              events={20251015: (1.0, 0.236), 20251110: (1.2, 0.0)},
              shocks={20251105: 0.16}, eps=2.2),
    StockSpec("SSE", "000300", "沪深300", 4480.0, 0.010, 2_500_000, kind="index"),
]

VARIETIES = [
    VarietySpec("SHFE", "RB", "螺纹钢", 3120.0, 0.011, 900, 1_800_000, 10, 1, (1, 5, 10), 40, 0.07, margin=0.10),
    VarietySpec("SHFE", "CU", "沪铜", 79800.0, 0.010, 160, 180_000, 5, 10, tuple(range(1, 13)), 25, 0.08,
                margin=0.10),
    VarietySpec("DCE", "M", "豆粕", 3010.0, 0.010, 700, 1_500_000, 10, 1, (1, 5, 9, 11), 45, 0.07, margin=0.08),
    VarietySpec("CFFEX", "IF", "沪深300股指期货", 4470.0, 0.011, 90, 150_000, 300, 0.2,
                tuple(range(1, 13)), 3, 0.10, third_friday_expiry=True, margin=0.12),
]

# costs rows: (market, variety, kind, commission_rate, commission_per_lot, min_commission, stamp_tax_rate,
# slippage_ticks); A-share stocks pay stamp tax on sells, DCE soybean meal a fee per lot
COSTS = [
    ("SSE", "", "stock", 0.00025, 0.0, 5.0, 0.0005, 0.0),
    ("SZSE", "", "stock", 0.00025, 0.0, 5.0, 0.0005, 0.0),
    ("SHFE", "RB", "", 0.0001, 0.0, 0.0, 0.0, 0.0),
    ("SHFE", "CU", "", 0.00005, 0.0, 0.0, 0.0, 0.0),
    ("DCE", "M", "", 0.0, 1.5, 0.0, 0.0, 0.0),
    ("CFFEX", "IF", "", 0.000023, 0.0, 0.0, 0.0, 0.0),
]

BLOCKS = {
    "HS300": [("SSE", "600000"), ("SSE", "600519"), ("SZSE", "000001")],
    "SSE_A": [("SSE", "600000"), ("SSE", "600519")],
    "BANK": [("SSE", "600000")],
    "FUTURES_MAIN": [("SHFE", "RB0000"), ("SHFE", "CU0000"), ("DCE", "M0000"), ("CFFEX", "IF0000")],
}
# block -> (member, first day it belongs)
BLOCK_JOINS = {"BANK": [(("SZSE", "000001"), 20251103)]}

FACTORS = ("pe_ttm", "momentum_20")
TICK_DAYS = 3  # the last N trading days carry five-level ticks
