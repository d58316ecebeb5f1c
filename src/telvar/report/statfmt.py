"""How a report names, groups and prints the statistics of a run (``telvar.run.stats``).

Each statistic has a kind that decides its printing: ``pct`` a fraction shown
as a percentage with 2 decimals, ``num`` a ratio with 2 decimals, ``int`` a
count, ``money`` an amount with 2 decimals and thousands separators, ``day`` a
YYYYMMDD date as YYYY-MM-DD. An undefined figure (None) prints as "n/a".
The sweep report's script prints with the same kinds.
"""
import math

STAT_GROUPS = [
    ("Returns", [
        ("TotalReturn", "Total return", "pct"), ("AnnualReturn", "Annual return", "pct"),
        ("BenchmarkReturn", "Benchmark return", "pct"), ("ExcessReturn", "Excess return", "pct"),
        ("FinalEquity", "Final equity", "money"),
    ]),
    ("Risk", [
        ("AnnualVolatility", "Annual volatility", "pct"), ("Sharpe", "Sharpe ratio", "num"),
        ("Sortino", "Sortino ratio", "num"), ("MaxDrawdown", "Max drawdown", "pct"),
        ("MaxDrawdownStart", "Drawdown from", "day"), ("MaxDrawdownTrough", "Drawdown trough", "day"),
        ("MaxDrawdownRecovery", "Recovered on", "day"), ("Calmar", "Calmar ratio", "num"),
    ]),
    ("Against the benchmark", [
        ("Alpha", "Alpha (annual)", "num"), ("Beta", "Beta", "num"),
        ("InformationRatio", "Information ratio", "num"),
    ]),
    ("Trading", [
        ("RoundTrips", "Round trips", "int"), ("WinRate", "Win rate", "pct"),
        ("ProfitFactor", "Profit factor", "num"), ("TradeCount", "Fills", "int"),
        ("Turnover", "Turnover", "num"), ("Commission", "Commission", "money"), ("Tax", "Stamp tax", "money"),
    ]),
]
# who and when: shown in the page's header, not among the figures
IDENTITY_KEYS = ("Name", "BeginDate", "EndDate", "StrategyID")
STAT_KINDS = {key: kind for _, rows in STAT_GROUPS for key, _, kind in rows}
STAT_LABELS = {key: label for _, rows in STAT_GROUPS for key, label, _ in rows}
# statistics for which a smaller value is the better run
LOWER_IS_BETTER = ("AnnualVolatility", "Turnover", "Commission", "Tax")


def format_value(value, kind):
    """``value`` printed as ``kind`` says (see the module's description)."""
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    if kind == "pct":
        return "%.2f%%" % (100.0 * value)
    if kind == "num":
        return "%.2f" % value
    if kind == "int":
        return "{:,d}".format(int(value))
    if kind == "money":
        return "{:,.2f}".format(value)
    if kind == "day":
        day = int(value)
        return "%04d-%02d-%02d" % (day // 10000, day // 100 % 100, day % 100)
    if isinstance(value, float):
        return "%.6g" % value
    return str(value)


def stat_rows(stats):
    """[(group, [(key, label, text, value)])] of ``stats``: the known figures in their groups, then any
    other key (a newer statistic) under "Other"; missing figures are left out."""
    groups = []
    for group, rows in STAT_GROUPS:
        shown = [(key, label, format_value(stats[key], kind), stats[key]) for key, label, kind in rows
                 if key in stats]
        if shown:
            groups.append((group, shown))
    other = [(key, key, format_value(value, "auto"), value) for key, value in stats.items()
             if key not in STAT_KINDS and key not in IDENTITY_KEYS]
    if other:
        groups.append(("Other", other))
    return groups


__all__ = ["STAT_GROUPS", "STAT_KINDS", "STAT_LABELS", "IDENTITY_KEYS", "LOWER_IS_BETTER", "format_value",
           "stat_rows"]
