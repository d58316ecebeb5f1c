"""What ``telvar run`` prints and draws after a back-test."""
import os


def _table(rows):
    import pandas as pd

    return pd.DataFrame(rows).to_string(index=False)


def _is_rows(value):
    return isinstance(value, (list, tuple)) and value and all(isinstance(r, dict) for r in value)


def format_summary(summary):
    """The runner's summary as text: the run's figures, then the strategy's own summary.

    A strategy summary that is a list of dicts prints as a table; a dict prints
    its lists of dicts as tables and its other entries as lines.
    """
    warm = " after %d warm-up trading days" % summary["warmup"] if summary.get("warmup") else ""
    lines = [
        "Back-test %s..%s%s, %s bars, %d targets: %s" % (
            summary["begin_date"], summary["end_date"], warm, summary["frequency"],
            len(summary["targets"]), ", ".join(summary["targets"])),
        "  %-10s %d" % ("bars", summary["bars"]),
        "  %-10s %.2f s" % ("set-up", summary["setup_seconds"]),
        "  %-10s %.2f s (%.0f bars/s)" % ("run", summary["run_seconds"], summary["bars_per_second"]),
    ]
    stats = summary.get("stats")
    if stats:
        def pct(key):
            return "n/a" if stats.get(key) is None else "%.2f%%" % (100 * stats[key])

        lines.append("  %-10s %s, max drawdown %s, Sharpe %s, %d fills, final equity %.2f%s" % (
            "trading", pct("TotalReturn"), pct("MaxDrawdown"),
            "n/a" if stats.get("Sharpe") is None else "%.2f" % stats["Sharpe"], stats.get("TradeCount", 0),
            stats.get("FinalEquity", 0.0),
            " (strategy id %s)" % summary["strategy_id"] if summary.get("strategy_id") else ""))
    result = summary.get("strategy")
    if result is None:
        return "\n".join(lines)
    lines.append("")
    if _is_rows(result):
        lines.append(_table(result))
    elif isinstance(result, dict):
        for key, value in result.items():
            if _is_rows(value):
                lines += ["%s:" % key, _table(value)]
            else:
                lines.append("%s: %s" % (key, value))
    else:
        lines.append(repr(result))
    return "\n".join(lines)


def plot_run(path, strategy):
    """The strategy's own ``plot(context, path)``, else the closes of the run's bars per target.

    Closes are scaled to 100 at each target's first close, so targets of any
    price level share one axis.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    from telvar.api.regora import _regora
    from telvar.kestrum import sysmodel as cnt
    from telvar.kestrum.utils.datetimefunc import mft_to_datetime

    context = cnt.vr.g_TelvarUserContext
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    if callable(getattr(strategy, "plot", None)):
        strategy.plot(context, path)
        return
    last = len(context.bar_times) - 1
    n = last - context.first_bar_pos + 1
    window = _regora.get_reg_k_data(context.reg_idx, last, n, True)
    fig, ax = plt.subplots(figsize=(10, 4.8))
    for t, name in enumerate(context.target_names):
        close = window[t * n:(t + 1) * n, 5].astype(float)
        valid = np.flatnonzero(~np.isnan(close))
        if valid.size:
            ax.plot(np.arange(n), close / close[valid[0]] * 100, linewidth=1, label=name)
    times = context.bar_times[context.first_bar_pos:]
    step = max(1, n // 8)
    ax.set_xticks(range(0, n, step))
    ax.set_xticklabels([mft_to_datetime(float(t)).strftime("%m-%d %H:%M") for t in times[::step]],
                       rotation=30, ha="right", fontsize=8)
    ax.set_title("Closes of the %d%s bars, %s..%s (first close = 100)" % (
        context.freq_num, context.frequency, context.begin_date, context.end_date))
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


__all__ = ["format_summary", "plot_run"]
