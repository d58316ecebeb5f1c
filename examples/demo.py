"""telvar demo: a 1-minute back-test on the sample store, then a chart.

Runs the moving-average cross of ma_cross_strategy.py over futures main
contracts (night sessions included) and stocks for four weeks of 1-minute
bars, trading through the runner's broker (costs and market rules from the
host; the index SSE.000300 as the benchmark), prints a short report with the
run's statistics, writes the run's HTML report (build/demo/report.html),
draws the equity curve and one instrument's 15-minute bars
as the strategy saw them at a chosen minute: the completed bars and, highlighted,
the bar still forming. Five trading days of warm-up fill the strategy's
windows before its first bar. Candles follow the local convention (rising
red, falling green) unless `--style western` asks for rising green, falling
red. Run with `make demo` or `python examples/demo.py`.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from ma_cross_strategy import MaCrossStrategy  # noqa: E402

from telvar.api.regora import _regora  # noqa: E402
from telvar.kestrum import runner  # noqa: E402
from telvar.kestrum.utils.datetimefunc import mft_to_datetime  # noqa: E402

TARGETS = [
    {"Market": "SHFE", "Code": "RB0000"},
    {"Market": "SHFE", "Code": "CU0000"},
    {"Market": "DCE", "Code": "M0000"},
    {"Market": "CFFEX", "Code": "IF0000"},
    {"Market": "SSE", "Code": "600000"},
    {"Market": "SSE", "Code": "600519"},
    {"Market": "SZSE", "Code": "000001"},
]
BEGIN, END = 20251103, 20251128
WARMUP = 5  # trading days before BEGIN: the 5 daily and 20 fifteen-minute bars are there at the first bar
# candle colours (rising, falling): the Chinese markets' convention, and the western one
CANDLE_STYLES = {"local": ("tab:red", "tab:green"), "western": ("tab:green", "tab:red")}


CAPITAL = 2_000_000
BENCHMARK = "SSE.000300"
# (stats key, label, format): fractions shown as percentages
STATS_TABLE = [
    ("TotalReturn", "total return", "pct"), ("AnnualReturn", "annual return", "pct"),
    ("BenchmarkReturn", "benchmark return", "pct"), ("ExcessReturn", "excess return", "pct"),
    ("AnnualVolatility", "annual volatility", "pct"), ("Sharpe", "Sharpe", "num"),
    ("Sortino", "Sortino", "num"), ("MaxDrawdown", "max drawdown", "pct"),
    ("MaxDrawdownStart", "  from", "day"), ("MaxDrawdownTrough", "  to", "day"),
    ("MaxDrawdownRecovery", "  recovered", "day"), ("Calmar", "Calmar", "num"),
    ("Alpha", "alpha", "num"), ("Beta", "beta", "num"), ("InformationRatio", "information ratio", "num"),
    ("RoundTrips", "round trips", "int"), ("WinRate", "win rate", "pct"),
    ("ProfitFactor", "profit factor", "num"), ("TradeCount", "fills", "int"),
    ("Turnover", "turnover", "num"), ("Commission", "commission", "money"), ("Tax", "stamp tax", "money"),
    ("FinalEquity", "final equity", "money"),
]


def format_stat(value, kind):
    if value is None:
        return "n/a"
    return {"pct": "%.2f%%" % (100 * value), "num": "%.2f" % value, "int": "%d" % value,
            "money": "{:,.2f}".format(value), "day": "%d" % value}[kind]


def print_report(result):
    s = result["strategy"]
    print()
    print("Back-test %s .. %s (after %d warm-up trading days), %s bars, %d targets" % (
        result["begin_date"], result["end_date"], result["warmup"], result["frequency"],
        len(result["targets"])))
    print("  %d strategy bars in %.2f s (%.0f bars/s, %d windows read; set-up %.2f s)" % (
        result["bars"], result["run_seconds"], result["bars_per_second"], s["windows_read"],
        result["setup_seconds"]))
    print()
    print("  %-14s %8s %9s %10s" % ("target", "signals", "position", "last"))
    for row in s["per_target"]:
        print("  %-14s %8d %9d %10.2f" % (row["target"], row["signals"], row["position"], row["last"]))
    print()
    stats = result.stats
    print("  Statistics (capital %s, benchmark %s, strategy id %s)" % (
        "{:,.0f}".format(result.capital), BENCHMARK, result.strategy_id or "none: the host does not record runs"))
    for key, label, kind in STATS_TABLE:
        if key in stats:
            print("  %-20s %16s" % (label, format_stat(stats[key], kind)))
    refused = result.orders[result.orders["status"] == "refused"]
    if len(refused):
        print()
        print("  %d orders refused, e.g. %s" % (len(refused), refused["reason"].iloc[0]))
    print()


def forming_bar_chart(path, target_index, moment_pos, bars=24, style="local"):
    """15-minute candles of one target at strategy bar `moment_pos`, the forming bar highlighted.

    `style` picks the candle colours: "local" rising red and falling green,
    "western" rising green and falling red.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    rising, falling = CANDLE_STYLES[style]

    from telvar.kestrum import sysmodel as cnt

    context = cnt.vr.g_TelvarUserContext
    # bars in which the target traded (a filled window would also show the flat
    # bars of other targets' longer night sessions)
    window = _regora.get_reg_k_data(context.reg_15min, moment_pos, bars, False)
    block = window[target_index * bars:(target_index + 1) * bars]
    block = block[~np.isnan(block[:, 1].astype(float))]
    times, o, h, low, c = (block[:, k].astype(float) for k in (1, 2, 3, 4, 5))

    fig, ax = plt.subplots(figsize=(10, 4.8))
    for i in range(len(block)):
        forming = i == len(block) - 1
        colour = "tab:orange" if forming else (rising if c[i] >= o[i] else falling)
        ax.vlines(i, low[i], h[i], color=colour, linewidth=1)
        ax.add_patch(plt.Rectangle((i - 0.3, min(o[i], c[i])), 0.6, max(abs(c[i] - o[i]), 1e-9),
                                   color=colour, alpha=0.9 if forming else 0.7))
    ax.set_xlim(-1, len(block))
    labels = [mft_to_datetime(t).strftime("%m-%d %H:%M") for t in times]
    step = max(1, len(block) // 8)
    ax.set_xticks(range(0, len(block), step))
    ax.set_xticklabels(labels[::step], rotation=30, ha="right", fontsize=8)
    moment = mft_to_datetime(float(context.bar_times[moment_pos])).strftime("%Y-%m-%d %H:%M")
    ax.set_title("%s 15-minute bars as seen at %s" % (context.target_names[target_index], moment))
    ax.legend(handles=[Patch(color=rising, alpha=0.7, label="rising (close >= open)"),
                       Patch(color=falling, alpha=0.7, label="falling (close < open)"),
                       Patch(color="tab:orange", label="still forming")], fontsize=8, loc="best")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return moment


def adjusted_roll_chart(path, target_index, bars=124):
    """Raw against price-adjusted closes of a main contract around its roll in the run.

    Returns the roll day, or None when the target did not roll in the run.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from telvar.api.history import _history
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

    context = cnt.vr.g_TelvarUserContext
    target = context.targets[target_index]
    history = _history.get_main_contract([target], context.begin_date, context.end_date)
    if not history:
        return None
    dates, codes = next(iter(history.values()))
    rolls = [k for k in range(1, len(codes)) if codes[k] != codes[k - 1]]
    if not rolls:
        return None
    k = rolls[0]
    # the strategy's last bar on the trading day after the roll
    until = int_date_to_ordinal(int(dates[min(k + 1, len(dates) - 1)])) + 1
    pos = int(np.searchsorted(context.bar_times, until)) - 1

    def closes(window, n):
        block = window[target_index * n:(target_index + 1) * n]
        block = block[~np.isnan(block[:, 1].astype(float))]
        return block[:, 1].astype(float), block[:, 5].astype(float)

    fig, axes = plt.subplots(2, 1, figsize=(10, 7))
    for ax, (reg, n, label) in zip(axes, [(context.reg_15min_adj, bars, "15-minute"),
                                          (context.reg_day_adj, 20, "daily")]):
        times, raw = closes(_regora.get_reg_k_data(reg[:, :4].copy(), pos, n, False), n)
        adj_times, adjusted = closes(_regora.get_reg_k_data_adj(reg, pos, n, False), n)
        x = np.arange(len(times))
        ax.plot(x, raw, color="tab:gray", label="raw (%s, then %s)" % (codes[k - 1], codes[k]))
        ax.plot(np.arange(len(adj_times)), adjusted, color="tab:blue", label="adjusted")
        roll_at = np.flatnonzero(times >= int_date_to_ordinal(int(dates[k])) - 0.25)
        if roll_at.size:
            ax.axvline(roll_at[0] - 0.5, color="tab:red", linestyle="--", label="roll %s" % dates[k])
        step = max(1, len(times) // 8)
        ax.set_xticks(x[::step])
        ax.set_xticklabels([mft_to_datetime(t).strftime("%m-%d %H:%M") for t in times[::step]],
                           rotation=30, ha="right", fontsize=8)
        ax.set_title("%s %s closes: raw against price-adjusted" % (context.target_names[target_index], label))
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return dates[k]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chart", default=os.path.join("build", "demo", "rb0000_15min_forming.png"))
    parser.add_argument("--roll-chart", default=os.path.join("build", "demo", "cu0000_adjusted_roll.png"))
    parser.add_argument("--equity-chart", default=os.path.join("build", "demo", "equity.png"))
    parser.add_argument("--report", default=os.path.join("build", "demo", "report.html"),
                        help="the run's HTML report (needs jinja2 and plotly: pip install 'telvar[report]')")
    parser.add_argument("--style", choices=sorted(CANDLE_STYLES), default="local",
                        help="candle colours: local (rising red, falling green) or western (rising green)")
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    print("Starting an embedded host on the sample store and setting up the run ...")
    result = runner.run(MaCrossStrategy(), TARGETS, BEGIN, END, frequency="min", freq_num=1,
                        progress=not args.no_progress, warmup=WARMUP, capital=CAPITAL, benchmark=BENCHMARK)
    print_report(result)
    result.plot(args.equity_chart)
    print("Equity and drawdown written to %s" % args.equity_chart)
    result.report(args.report, style=args.style)  # its candles: the target with the most fills
    print("Report written to %s (open it in a browser)" % os.path.abspath(args.report))

    # 14:07 on the last day: its 15-minute bar (14:00-14:15) has formed for 7 minutes
    from telvar.kestrum import sysmodel as cnt

    times = cnt.vr.g_TelvarUserContext.bar_times
    clock = np.array([mft_to_datetime(t).strftime("%H%M") for t in times[-600:]])
    hits = np.flatnonzero(clock == "1407")
    moment_pos = len(times) - 600 + int(hits[-1]) if hits.size else len(times) - 1
    moment = forming_bar_chart(args.chart, 0, moment_pos, style=args.style)
    print("Chart of %s at %s written to %s" % (TARGETS[0]["Code"], moment, args.chart))
    roll_day = adjusted_roll_chart(args.roll_chart, 1)
    if roll_day is not None:
        print("Raw and adjusted %s around its roll on %s written to %s" % (
            TARGETS[1]["Code"], roll_day, args.roll_chart))
    print("Done in %.1f s." % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
