/* A sweep's report: the heat map and the best runs follow the statistic and parameters chosen. */
(function () {
  "use strict";
  var data = telvar.reportData();
  var columns = data.columns, rows = data.rows, failed = data.failed;
  var at = {};
  columns.forEach(function (c, i) { at[c.key] = i; });
  var specs = {};
  data.stats.forEach(function (s) { specs[s.key] = s; });
  var pick = {stat: byId("pick-stat"), x: byId("pick-x"), y: byId("pick-y"), agg: byId("pick-agg")};

  function byId(id) { return document.getElementById(id); }

  function option(select, value, label) { select.appendChild(new Option(label, value)); }

  data.stats.forEach(function (s) { option(pick.stat, s.key, s.label); });
  data.params.forEach(function (p) { option(pick.x, p, p); option(pick.y, p, p); });
  option(pick.y, "", "(nothing)");
  pick.stat.value = data.stat;
  pick.x.value = data.params[0] || "";
  pick.y.value = data.params[1] || "";

  function order(a, b) {
    if (typeof a === "number" && typeof b === "number") return a - b;
    return String(a).localeCompare(String(b), "en", {numeric: true});
  }

  function distinct(values) {
    var seen = new Map();
    values.forEach(function (v) { if (!seen.has(String(v))) seen.set(String(v), v); });
    return Array.from(seen.values()).sort(order);
  }

  function usable(stat) {
    var i = at[stat], out = [];
    rows.forEach(function (r, k) {
      if (!failed[k] && typeof r[i] === "number" && isFinite(r[i])) out.push(k);
    });
    return out;
  }

  function combine(values, how, lower) {
    var sorted = values.slice().sort(function (a, b) { return a - b; });
    if (how === "best") return lower ? sorted[0] : sorted[sorted.length - 1];
    if (how === "worst") return lower ? sorted[sorted.length - 1] : sorted[0];
    if (how === "median") {
      var m = sorted.length >> 1;
      return sorted.length % 2 ? sorted[m] : (sorted[m - 1] + sorted[m]) / 2;
    }
    return values.reduce(function (s, v) { return s + v; }, 0) / values.length;
  }

  function heatmap() {
    var stat = pick.stat.value, x = pick.x.value, y = pick.y.value, how = pick.agg.value;
    var spec = specs[stat], div = byId("chart-heatmap");
    if (!x) {
      byId("map-note").textContent = "The sweep's table has no parameter columns.";
      return Promise.resolve();
    }
    if (y === x) y = "";
    var ks = usable(stat);
    var xs = distinct(ks.map(function (k) { return rows[k][at[x]]; }));
    var ys = y ? distinct(ks.map(function (k) { return rows[k][at[y]]; })) : ["all runs"];
    var cells = {};
    ks.forEach(function (k) {
      var key = String(rows[k][at[x]]) + "\u0000" + (y ? String(rows[k][at[y]]) : "all runs");
      (cells[key] = cells[key] || []).push(rows[k][at[stat]]);
    });
    var z = [], text = [], count = [], most = 0;
    ys.forEach(function (yv) {
      var zr = [], tr = [], cr = [];
      xs.forEach(function (xv) {
        var values = cells[String(xv) + "\u0000" + String(yv)] || [];
        var v = values.length ? combine(values, how, spec.lower) : null;
        zr.push(v);
        tr.push(v === null ? "" : telvar.format(v, spec.kind));
        cr.push(values.length);
        most = Math.max(most, values.length);
      });
      z.push(zr); text.push(tr); count.push(cr);
    });
    var others = data.params.filter(function (p) { return p !== x && p !== y; });
    byId("map-note").textContent = ks.length + " of " + rows.length + " runs have a value of " + spec.label +
      (most > 1 ? "; runs that differ only in " + (others.join(", ") || "nothing") + " are combined by their " + how : "") +
      (spec.lower ? "; lower is better" : "") + ".";
    var trace = {
      type: "heatmap", x: xs.map(String), y: ys.map(String), z: z, text: text, customdata: count,
      texttemplate: "%{text}", colorscale: "Viridis", reversescale: !!spec.lower, xgap: 2, ygap: 2,
      hoverongaps: false,
      hovertemplate: x + " %{x}" + (y ? ", " + y + " %{y}" : "") + "<br>" + spec.label + " %{text}<br>%{customdata} runs<extra></extra>",
      colorbar: {title: {text: spec.label, side: "right"}, thickness: 14, outlinewidth: 0}
    };
    var layout = {
      height: Math.max(280, 130 + 44 * ys.length), margin: {l: 80, r: 20, t: 34, b: 60},
      font: {family: getComputedStyle(document.body).fontFamily, size: 12, color: "#1f2937"},
      xaxis: {type: "category", title: {text: x}, automargin: true},
      yaxis: {type: "category", title: {text: y || ""}, automargin: true}
    };
    return Plotly.react(div, [trace], layout, {responsive: true, displaylogo: false});
  }

  function bestRuns() {
    var stat = pick.stat.value, spec = specs[stat];
    var ks = usable(stat).sort(function (a, b) {
      var d = rows[a][at[stat]] - rows[b][at[stat]];
      return (spec.lower ? d : -d) || a - b;
    }).slice(0, data.best);
    var keys = data.params.concat([stat], data.stats.map(function (s) { return s.key; }).filter(function (k) {
      return k !== stat && ["TotalReturn", "Sharpe", "MaxDrawdown", "TradeCount"].indexOf(k) >= 0;
    }), ["report"]);
    var cols = [{key: "rank", label: "#", kind: "int"}].concat(keys.map(function (k) { return columns[at[k]]; }));
    var picked = ks.map(function (k, n) { return [n + 1].concat(keys.map(function (key) { return rows[k][at[key]]; })); });
    var host = byId("table-best");
    host.textContent = "";
    new telvar.Table(host, {columns: cols, rows: picked, filter: null, pageSize: 0});
    byId("best-by").textContent = "by " + spec.label + (spec.lower ? " (lowest first)" : "");
    var kpi = byId("kpi-best");
    kpi.querySelector(".kpi-value").textContent = ks.length ? telvar.format(rows[ks[0]][at[stat]], spec.kind) : "n/a";
    kpi.querySelector(".kpi-label").textContent = "best " + spec.label;
  }

  function failures() {
    var host = byId("table-failed");
    if (!host) return;
    var keys = data.params.concat(["error"]);
    var picked = [];
    rows.forEach(function (r, k) { if (failed[k]) picked.push(keys.map(function (key) { return r[at[key]]; })); });
    new telvar.Table(host, {columns: keys.map(function (k) { return columns[at[k]]; }), rows: picked, pageSize: 25});
  }

  function redraw() {
    bestRuns();
    return heatmap();
  }

  window.telvarReport.tables = {all: new telvar.Table(byId("table-all"), {columns: columns, rows: rows, pageSize: 50})};
  failures();
  [pick.stat, pick.x, pick.y, pick.agg].forEach(function (s) { s.addEventListener("change", redraw); });
  redraw().then(telvar.markReady, function (e) {
    window.telvarReport.errors.push(String(e));
    telvar.markReady();
  });
})();
