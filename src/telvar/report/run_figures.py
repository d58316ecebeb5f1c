"""The charts of a run's report as plotly figures (plain dicts the page hands to plotly.js).

Time axes are category axes of bar-time labels: nights, weekends and
holidays take no room, and zooming works on bars as a trader counts them.
"""
import numpy as np

from telvar.report.series import MONTHS, drawdown, envelope_indices, monthly_returns, time_labels
from telvar.run.curves import day_ends

FONT = "Inter, -apple-system, 'Segoe UI', Roboto, 'Helvetica Neue', Arial, sans-serif"
INK, GRID, AXIS = "#1f2937", "#eef1f5", "#d5d9e0"
EQUITY, BENCHMARK, DRAWDOWN = "#2563eb", "#94a3b8", "#dc2626"
BUY, SELL, ROLL = "#1d4ed8", "#f59e0b", "#6b7280"
# (rising, falling): the Chinese markets' convention, and the western one
STYLES = {"local": ("#d9363e", "#14976b"), "western": ("#14976b", "#d9363e")}
# small charts without the zoom tools (plotly's configuration, given with the figure)
STATIC_CHART = {"displayModeBar": False}


def axis(**extra):
    out = {"gridcolor": GRID, "linecolor": AXIS, "zeroline": False, "showline": True, "ticks": "outside",
           "tickcolor": AXIS, "automargin": True}
    out.update(extra)
    return out


def category_axis(labels, **extra):
    return axis(type="category", categoryorder="array", categoryarray=list(labels), nticks=10,
                showspikes=True, spikemode="across", spikethickness=1, spikecolor="#9ca3af", **extra)


def layout(height, **extra):
    out = {"height": height, "font": {"family": FONT, "size": 12, "color": INK}, "paper_bgcolor": "white",
           "plot_bgcolor": "white", "margin": {"l": 70, "r": 24, "t": 36, "b": 48},
           "legend": {"orientation": "h", "x": 0, "y": 1.02, "yanchor": "bottom", "font": {"size": 11}},
           "hoverlabel": {"font": {"family": FONT}}}
    out.update(extra)
    return out


def equity_figure(result):
    """Equity per bar (down-sampled) with the benchmark scaled to the capital, over the drawdown of the
    daily equity (as the statistics measure it), the maximum drawdown shaded."""
    per_bar, daily, capital = result.equity, result.daily_equity, float(result.capital)
    labels = time_labels(per_bar["time"], len(per_bar) == len(daily))
    ends = day_ends(per_bar["date"].to_numpy())
    shown = envelope_indices(per_bar["equity"].to_numpy(), keep=ends)
    x = [labels[i] for i in shown]
    day_x = [labels[i] for i in ends]
    equity = daily["equity"].to_numpy(dtype=np.float64)
    traces = [{"type": "scatter", "mode": "lines", "name": "equity", "x": x,
               "y": per_bar["equity"].to_numpy()[shown], "line": {"color": EQUITY, "width": 1.6},
               "hovertemplate": "%{y:,.2f}"}]
    bench = result.benchmark
    if bench is not None and len(bench) == len(daily) + 1:
        closes = bench.to_numpy(dtype=np.float64)
        traces.append({"type": "scatter", "mode": "lines", "name": "benchmark (scaled to the capital)",
                       "x": day_x, "y": capital * closes[1:] / closes[0],
                       "line": {"color": BENCHMARK, "width": 1.4, "dash": "dot"}, "hovertemplate": "%{y:,.2f}"})
    traces.append({"type": "scatter", "mode": "lines", "name": "drawdown", "x": day_x,
                   "y": 100.0 * drawdown(equity, capital), "yaxis": "y2", "fill": "tozeroy",
                   "line": {"color": DRAWDOWN, "width": 1}, "fillcolor": "rgba(220,38,38,0.18)",
                   "hovertemplate": "%{y:.2f}%"})
    shapes = [{"type": "line", "xref": "paper", "x0": 0, "x1": 1, "yref": "y", "y0": capital, "y1": capital,
               "line": {"color": "#9ca3af", "width": 1, "dash": "dot"}}]
    stats = result.stats or {}
    by_day = dict(zip(daily["date"].to_numpy().tolist(), day_x))
    start, trough = stats.get("MaxDrawdownStart"), stats.get("MaxDrawdownTrough")
    if start in by_day and trough in by_day:
        shapes.append({"type": "rect", "xref": "x", "x0": by_day[start], "x1": by_day[trough], "yref": "paper",
                       "y0": 0, "y1": 1, "fillcolor": "rgba(220,38,38,0.06)", "line": {"width": 0},
                       "layer": "below"})
    return {"data": traces, "layout": layout(
        540, hovermode="x unified", shapes=shapes, xaxis=category_axis(x, anchor="y2"),
        yaxis=axis(domain=[0.34, 1.0], title={"text": "equity"}, tickformat=",.0f"),
        yaxis2=axis(domain=[0.0, 0.26], title={"text": "drawdown"}, ticksuffix="%", rangemode="tozero"))}


def _diverging(rising, falling):
    return [[0.0, falling], [0.5, "#f8fafc"], [1.0, rising]]


def monthly_figure(result, style):
    """Calendar of monthly returns (rows years, columns months) with each year's return beside it."""
    daily = result.daily_equity
    years, grid, yearly = monthly_returns(daily["date"].to_numpy(), daily["equity"].to_numpy(), result.capital)
    rising, falling = STYLES[style]
    z = np.where(np.isnan(grid), None, np.round(100.0 * grid, 6)).tolist()
    text = [["" if v is None else "%.2f" % v for v in row] for row in z]  # in %, as the title says
    reach = max(float(np.nanmax(np.abs(grid))) * 100 if np.isfinite(grid).any() else 1.0, 0.01)
    year_z = [[round(100.0 * v, 6)] for v in yearly]
    year_text = [["%.2f" % v[0]] for v in year_z]
    reach_year = max([abs(v[0]) for v in year_z] + [0.01])
    y = [str(v) for v in years]
    common = {"type": "heatmap", "y": y, "texttemplate": "%{text}", "xgap": 3, "ygap": 3,
              "hoverongaps": False, "showscale": False, "textfont": {"size": 10},
              "colorscale": _diverging(rising, falling)}
    empty = {"type": "heatmap", "x": MONTHS, "y": y, "z": [[0] * 12 for _ in y], "xgap": 3, "ygap": 3,
             "showscale": False, "hoverinfo": "skip", "colorscale": [[0, "#f3f4f6"], [1, "#f3f4f6"]]}
    traces = [empty, dict(common, name="month", x=MONTHS, z=z, text=text, zmin=-reach, zmax=reach,
                   hovertemplate="%{x} %{y}: %{z:.2f}%<extra></extra>"),
              dict(common, name="year", x=["Year"], z=year_z, text=year_text, zmin=-reach_year, zmax=reach_year,
                   xaxis="x2", hovertemplate="%{y}: %{z:.2f}%<extra></extra>")]
    return {"config": STATIC_CHART, "data": traces, "layout": layout(
        90 + 46 * max(len(years), 1), showlegend=False, margin={"l": 60, "r": 16, "t": 12, "b": 30},
        xaxis=axis(domain=[0.0, 0.86], showgrid=False, showline=False, ticks="", side="bottom", fixedrange=True),
        xaxis2=axis(domain=[0.89, 1.0], showgrid=False, showline=False, ticks="", fixedrange=True),
        yaxis=axis(type="category", autorange="reversed", showgrid=False, showline=False, ticks="",
                   fixedrange=True))}


def profit_figure(profits, style):
    """Profit per target as horizontal bars, the best at the top."""
    rising, falling = STYLES[style]
    ordered = profits.sort_values("profit", kind="stable")
    values = ordered["profit"].to_numpy(dtype=np.float64)
    return {"config": STATIC_CHART,
            "data": [{"type": "bar", "orientation": "h", "x": values, "y": ordered["target"].tolist(),
                      "marker": {"color": [rising if v >= 0 else falling for v in values]},
                      "customdata": np.c_[ordered["fills"].to_numpy(), ordered["commission"].to_numpy() +
                                          ordered["tax"].to_numpy()],
                      "hovertemplate": "%{y}: %{x:,.2f}<br>%{customdata[0]} fills, costs %{customdata[1]:,.2f}"
                                       "<extra></extra>"}],
            "layout": layout(max(220, 70 + 24 * len(values)), showlegend=False, hovermode="closest",
                             margin={"l": 110, "r": 24, "t": 12, "b": 40},
                             xaxis=axis(tickformat=",.0f", zeroline=True, zerolinecolor="#9ca3af"),
                             yaxis=axis(type="category", showgrid=False))}


def candle_figure(key, candles, fills, daily, style):
    """Candles of ``key`` with volume below and the fills marked at their prices."""
    rising, falling = STYLES[style]
    labels = time_labels(candles["time"], daily)
    traces = [{"type": "candlestick", "name": key, "x": labels, "open": candles["open"].to_numpy(),
               "high": candles["high"].to_numpy(), "low": candles["low"].to_numpy(),
               "close": candles["close"].to_numpy(),
               "increasing": {"line": {"color": rising, "width": 1}, "fillcolor": rising},
               "decreasing": {"line": {"color": falling, "width": 1}, "fillcolor": falling}},
              {"type": "bar", "name": "volume", "x": labels, "y": candles["volume"].to_numpy(), "yaxis": "y2",
               "marker": {"color": "#cbd5e1"}, "hovertemplate": "%{y:,.0f}", "showlegend": False}]
    marks = [("buy", "buy", "triangle-up", BUY), ("sell", "sell", "triangle-down", SELL)]
    placed = fills[fills["candle"] >= 0]
    for name, side, symbol, colour in marks:
        mine = placed[(placed["side"] == side) & ~placed["roll"].astype(bool)]
        traces.append(_fill_trace(name, mine, labels, symbol, colour, 11))
    rolls = placed[placed["roll"].astype(bool)]
    if len(rolls):
        traces.append(_fill_trace("roll", rolls, labels, "diamond", ROLL, 8))
    return {"data": traces, "layout": layout(
        580, hovermode="closest",
        xaxis=category_axis(labels, anchor="y2", rangeslider={"visible": False}, range=[-1, len(labels)]),
        yaxis=axis(domain=[0.24, 1.0], title={"text": "price"}, tickformat=",~r"),
        yaxis2=axis(domain=[0.0, 0.18], title={"text": "volume"}, tickformat="~s"))}


def _fill_trace(name, fills, labels, symbol, colour, size):
    text = ["%s %s %s @ %s (%s)<br>%s" % (name if name == "roll" else "", side, _num(q), _num(p), c, t)
            for side, q, p, c, t in zip(fills["side"], fills["quantity"], fills["price"], fills["contract"],
                                        fills["time"].astype(str))]
    return {"type": "scatter", "mode": "markers", "name": "%s (%d)" % (name, len(fills)),
            "x": [labels[i] for i in fills["candle"].to_numpy()], "y": fills["price"].to_numpy(),
            "text": [t.strip() for t in text], "hovertemplate": "%{text}<extra></extra>",
            "marker": {"symbol": symbol, "size": size, "color": colour, "line": {"color": "white", "width": 1}}}


def _num(value):
    return ("%.6f" % float(value)).rstrip("0").rstrip(".")


__all__ = ["equity_figure", "monthly_figure", "profit_figure", "candle_figure", "STYLES"]
