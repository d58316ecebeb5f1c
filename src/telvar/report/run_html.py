"""The HTML report of one back-test (``RunResult.report``): one file to open, scroll, zoom and send.

Sections: the run's inputs, the statistics, equity and drawdown against the
benchmark, a calendar of monthly returns, profit per target, one target's
candles with its fills, the trades (sortable, filterable by target) and the
orders that did not fill with their reasons.
"""
import datetime as _dt

from telvar.report import candles as cd
from telvar.report.page import render, table_rows, write_page
from telvar.report.profit import profit_per_target, multipliers_of
from telvar.report.run_figures import STYLES, candle_figure, equity_figure, monthly_figure, profit_figure
from telvar.report.statfmt import format_value, stat_rows

TRADE_TABLE = [("time", "time", "text"), ("target", "target", "text"), ("contract", "contract", "text"),
               ("side", "side", "side"), ("quantity", "quantity", "exact"), ("price", "price", "exact"),
               ("commission", "commission", "exact"), ("tax", "tax", "exact"), ("order_id", "order", "int"),
               ("roll", "roll", "bool")]
ORDER_TABLE = [("order_id", "order", "int"), ("time", "placed", "text"), ("target", "target", "text"),
               ("quantity", "quantity", "exact"), ("limit_price", "limit", "exact", {"empty": "market"}),
               ("status", "status", "text"),
               ("reason", "reason", "text", {"wrap": True})]
COST_TARGETS_SHOWN = 6
PROFIT_TABLE = [("target", "target", "text"), ("fills", "fills", "int"), ("bought", "bought", "exact"),
                ("sold", "sold", "exact"), ("traded_value", "traded value", "money"),
                ("commission", "commission", "money"), ("tax", "stamp tax", "money"),
                ("held_value", "held at the end", "money"), ("profit", "profit", "money", {"signed": True})]


def table_spec(frame, columns, filter_column=None, page_size=50):
    """What the page's table script takes: columns (key, label, kind) and the rows."""
    return {"columns": [dict({"key": c[0], "label": c[1], "kind": c[2]}, **(c[3] if len(c) > 3 else {}))
                        for c in columns],
            "rows": table_rows(frame, [c[0] for c in columns]), "filter": filter_column, "pageSize": page_size}


def _day(value):
    return format_value(value, "day") if value else "n/a"


def input_rows(result, inputs):
    """(label, text) rows of what the run was asked to do."""
    summary = dict(result)
    targets = inputs.get("targets") or summary.get("targets") or []
    warm = inputs.get("warmup", summary.get("warmup")) or 0
    rows = [("targets", "%d: %s" % (len(targets), ", ".join(targets))),
            ("dates", "%s to %s%s" % (_day(summary.get("begin_date")), _day(summary.get("end_date")),
                                      ", after %d warm-up trading days" % warm if warm else "")),
            ("bar size", summary.get("frequency", "n/a") + (
                ", prices adjusted %s" % inputs["fq"] if inputs.get("fq") not in (None, "NA") else "")),
            ("bars", "{:,d}".format(summary.get("bars", 0))),
            ("capital", format_value(result.capital, "money"))]
    if inputs.get("fill"):
        rows.append(("fills", {"next_open": "market orders at the next bar's open",
                               "close": "market orders at the bar's close"}.get(inputs["fill"], inputs["fill"])))
    rows.append(("benchmark", inputs.get("benchmark") or "none"))
    if inputs.get("risk_free"):
        rows.append(("risk-free rate", "%.2f%% a year" % (100 * inputs["risk_free"])))
    costs = inputs.get("costs")
    rows.append(("costs given", "; ".join("%s: %s" % (sel, ", ".join("%s %g" % kv for kv in fields.items()))
                                          for sel, fields in costs.items()) if costs else "the host's defaults"))
    if "run_seconds" in summary:
        rows.append(("run time", "%.1f s (set-up %.1f s)" % (summary["run_seconds"], summary.get("setup_seconds", 0))))
    return rows


def _rate(value):
    return "0" if not value else "%.4g%%" % (100.0 * value)


def cost_rows(inputs):
    """Texts of the contract terms and costs in effect: one row per set of targets that share them (a
    long list of targets is cut short; the full one is the row's tooltip)."""
    rows = {}
    for r in inputs.get("rules") or []:
        terms = (r["kind"], "%g" % r["multiplier"], "%g" % r["price_tick"], _rate(r["margin_ratio"]),
                 "%d" % r["lot_size"], _rate(r["commission_rate"]), "%g" % r["commission_per_lot"],
                 "%g" % r["min_commission"], _rate(r["stamp_tax_rate"]), "%g" % r["slippage_ticks"],
                 _rate(r["slippage"]))
        rows.setdefault(terms, []).append(r["target"])
    out = []
    for terms, targets in rows.items():
        shown = ", ".join(targets[:COST_TARGETS_SHOWN])
        if len(targets) > COST_TARGETS_SHOWN:
            shown += " and %d more" % (len(targets) - COST_TARGETS_SHOWN)
        out.append({"targets": shown, "all": ", ".join(targets), "terms": terms})
    return out


def candle_section(result, inputs, target, style, bars):
    """(section context, figure or None): the chosen target's candles, or why there are none."""
    trades = result.trades
    targets = inputs.get("targets") or list(result["targets"])
    key = cd.pick_target(target, targets, trades)
    daily = len(result.equity) == len(result.daily_equity)
    try:
        if bars is None:
            frequency, freq_num, fq = cd.bar_size(inputs, result.get("frequency"))
            bars = cd.read_bars(key, frequency, freq_num, result["begin_date"], result["end_date"], fq)
        bars = cd.checked_bars(bars)
    except Exception as exc:  # the report is still worth having without this chart
        return {"target": key, "note": "The bars of %s could not be read: %s" % (key, exc)}, None
    if len(bars) == 0:
        return {"target": key, "note": "%s has no traded bars in the run." % key}, None
    days = cd.trading_days_of(bars["time"], result.equity)
    candles, group, size = cd.group_bars(bars, days)
    fills = cd.fills_on_candles(trades[trades["target"] == key], bars["time"], group)
    note = "{:,d} bars{}, {:,d} fills".format(len(bars), "" if size == 1 else " ({:d} per candle)".format(size),
                                              len(fills))
    return {"target": key, "note": note}, candle_figure(key, candles, fills, daily, style)


def run_report(result, path, target=None, style="local", bars=None):
    """Write ``result``'s report to ``path`` (see ``RunResult.report``); returns the path."""
    if result.equity is None:
        raise ValueError("the run did not trade (trading=False): there is nothing to report")
    if style not in STYLES:
        raise ValueError("style must be one of %s, got %r" % (", ".join(STYLES), style))
    inputs = dict(getattr(result, "inputs", None) or {})
    targets = inputs.get("targets") or list(result["targets"])
    stats = result.stats or {}
    figures = {"equity": equity_figure(result), "monthly": monthly_figure(result, style)}
    multipliers = multipliers_of(inputs)
    profits = None
    if multipliers is not None:
        profits = profit_per_target(result.trades, result.positions, int(result.daily_equity["date"].iloc[-1]),
                                    targets, multipliers)
        figures["profit"] = profit_figure(profits, style)
    candle, figures["candles"] = candle_section(result, inputs, target, style, bars)
    orders = result.orders
    not_filled = orders[orders["status"].isin(["refused", "unfilled"])]
    tables = {"trades": table_spec(result.trades, TRADE_TABLE, "target", 50),
              "orders": table_spec(not_filled, ORDER_TABLE, "target", 25)}
    if profits is not None:
        tables["profit"] = table_spec(profits.sort_values("profit", ascending=False, kind="stable"),
                                      PROFIT_TABLE, None, 20 if len(profits) > 25 else 0)
    data = {"figures": {k: v for k, v in figures.items() if v is not None}, "tables": tables,
            "style": style}
    html = render("run.html.j2", title=stats.get("Name") or inputs.get("name") or "back-test",
                  subtitle=_subtitle(result, targets), strategy_id=result.strategy_id,
                  inputs=input_rows(result, inputs), costs=cost_rows(inputs),
                  stat_groups=stat_rows(stats), headline=_headline(stats), candle=candle,
                  counts={"trades": len(result.trades), "orders": len(orders), "not_filled": len(not_filled),
                          "refused": int((orders["status"] == "refused").sum())},
                  written=_dt.datetime.now().strftime("%Y-%m-%d %H:%M"), data=data, sign_style=style)
    return write_page(path, html)


def _subtitle(result, targets):
    return "%s to %s · %s bars · %d target%s" % (_day(result.get("begin_date")), _day(result.get("end_date")),
                                                 result.get("frequency", "?"), len(targets),
                                                 "" if len(targets) == 1 else "s")


def _headline(stats):
    """The four figures at the top of the page: (label, text, sign of the value)."""
    out = []
    for key, label, kind in (("TotalReturn", "total return", "pct"), ("Sharpe", "Sharpe", "num"),
                             ("MaxDrawdown", "max drawdown", "pct"), ("FinalEquity", "final equity", "money")):
        value = stats.get(key)
        sign = 0 if value is None or key == "FinalEquity" else (1 if value > 0 else -1 if value < 0 else 0)
        out.append((key, label, format_value(value, kind), sign))
    return out


__all__ = ["run_report", "table_spec", "input_rows"]
