"""The chart of a run: equity (and the benchmark) over its drawdown, one PNG."""
import os
import tempfile

import numpy as np


def plot_result(result, path=None):
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if result.equity is None:
        raise ValueError("the run did not trade (trading=False): there is no equity to draw")
    daily = result.daily_equity
    x = np.arange(len(daily))
    equity = daily["equity"].to_numpy()
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6.4), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 1]})
    top.plot(x, equity, color="tab:blue", label="equity")
    if result.benchmark is not None and len(result.benchmark) == len(daily) + 1:
        closes = result.benchmark.to_numpy()
        top.plot(x, result.capital * closes[1:] / closes[0], color="tab:gray",
                 label="benchmark (scaled to the capital)")
    top.axhline(result.capital, color="black", linewidth=0.6, linestyle=":")
    stats = result.stats or {}
    top.set_title("%s  total return %.2f%%, max drawdown %.2f%%, Sharpe %s" % (
        result.strategy_id or "back-test", 100 * (stats.get("TotalReturn") or 0),
        100 * (stats.get("MaxDrawdown") or 0),
        "%.2f" % stats["Sharpe"] if stats.get("Sharpe") is not None else "n/a"))
    top.legend(fontsize=8, loc="best")
    top.grid(alpha=0.3)
    peak = np.maximum.accumulate(np.r_[result.capital, equity])[1:]
    drawdown = equity / peak - 1.0
    bottom.fill_between(x, 100 * drawdown, 0, color="tab:red", alpha=0.4)
    bottom.set_ylabel("drawdown %")
    bottom.grid(alpha=0.3)
    step = max(1, len(daily) // 10)
    bottom.set_xticks(x[::step])
    bottom.set_xticklabels([str(d) for d in daily["date"].to_numpy()[::step]], rotation=30, ha="right",
                           fontsize=8)
    fig.tight_layout()
    if path is not None:
        _save(fig, path)
        plt.close(fig)
    return fig


def _save(fig, path):
    """Write the PNG atomically: a temporary file beside it, then a rename."""
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".plot-", suffix=".png", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            fig.savefig(out, format="png", dpi=110)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


__all__ = ["plot_result"]
