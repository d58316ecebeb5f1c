/* The report's tables: sortable columns, a filter on one column, a text search, pages, CSV download.
 *
 * A table takes {columns: [{key, label, kind, signed, href}], rows: [[...]], filter, pageSize}: rows hold
 * the exact values; kinds decide the printing (the statistics' kinds pct, num, int, money, day, and
 * exact (up to 6 decimals), text, side, bool, link); the full value is in each cell's tooltip.
 * Everything is built with DOM calls, so no text of the data is ever read as HTML.
 */
(function () {
  "use strict";

  function dayText(v) {
    var d = Math.round(v);
    var s = String(d);
    return s.length === 8 ? s.slice(0, 4) + "-" + s.slice(4, 6) + "-" + s.slice(6) : s;
  }

  function format(v, kind) {
    if (v === null || v === undefined || (typeof v === "number" && !isFinite(v))) {
      return kind === "text" || kind === "link" || kind === "bool" || kind === "side" ? "" : "n/a";
    }
    switch (kind) {
      case "pct": return (100 * v).toFixed(2) + "%";
      case "num": return v.toFixed(2);
      case "int": return Math.round(v).toLocaleString("en-US");
      case "money": return v.toLocaleString("en-US", {minimumFractionDigits: 2, maximumFractionDigits: 2});
      case "day": return dayText(v);
      case "exact": return Number(v.toFixed(6)).toLocaleString("en-US", {maximumFractionDigits: 6});
      case "bool": return v ? "yes" : "";
      default: return String(v);
    }
  }

  function compare(a, b) {
    var an = a === null || a === undefined, bn = b === null || b === undefined;
    if (an || bn) return an && bn ? 0 : an ? 1 : -1;
    if (typeof a === "number" && typeof b === "number") return a - b;
    if (typeof a === "boolean" && typeof b === "boolean") return (a ? 1 : 0) - (b ? 1 : 0);
    return String(a).localeCompare(String(b), "en", {numeric: true});
  }

  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function csvCell(v) {
    if (v === null || v === undefined) return "";
    var s = String(v);
    return /[",\n]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
  }

  function Table(host, spec) {
    this.host = host;
    this.columns = spec.columns;
    this.rows = spec.rows;
    this.pageSize = spec.pageSize || 0;
    this.filterAt = spec.filter ? this.columns.findIndex(function (c) { return c.key === spec.filter; }) : -1;
    this.filterValue = "";
    this.search = "";
    this.sortAt = -1;
    this.sortDir = 1;
    this.page = 0;
    this.build();
    this.render();
  }

  Table.prototype.build = function () {
    var self = this;
    var bar = el("div", "toolbar");
    if (this.filterAt >= 0) {
      var seen = {}, values = [];
      this.rows.forEach(function (r) {
        var v = r[self.filterAt];
        if (v !== null && !seen[v]) { seen[v] = true; values.push(v); }
      });
      values.sort(compare);
      var select = el("select", "filter");
      select.appendChild(new Option("all " + this.columns[this.filterAt].label + "s (" + values.length + ")", ""));
      values.forEach(function (v) { select.appendChild(new Option(String(v), String(v))); });
      select.addEventListener("change", function () { self.filterValue = select.value; self.page = 0; self.render(); });
      bar.appendChild(select);
    }
    var search = el("input", "search");
    search.type = "search";
    search.placeholder = "search the rows";
    search.addEventListener("input", function () { self.search = search.value.toLowerCase(); self.page = 0; self.render(); });
    bar.appendChild(search);
    if (this.pageSize) {
      var size = el("select", "page-size");
      [this.pageSize, this.pageSize * 4, 0].forEach(function (n) {
        size.appendChild(new Option(n ? n + " a page" : "all rows", String(n)));
      });
      size.addEventListener("change", function () { self.pageSize = Number(size.value); self.page = 0; self.render(); });
      bar.appendChild(size);
    }
    var csv = el("button", "csv", "CSV");
    csv.type = "button";
    csv.title = "download the rows shown (all pages) with their exact values";
    csv.addEventListener("click", function () { self.download(); });
    bar.appendChild(csv);
    this.shown = el("span", "shown");
    bar.appendChild(this.shown);
    this.host.appendChild(bar);

    var scroll = el("div", "scroll-x");
    this.table = el("table", "data");
    var head = el("thead"), tr = el("tr");
    this.heads = this.columns.map(function (c, i) {
      var th = el("th", "sortable" + (self.numeric(c) ? " num" : ""));
      th.dataset.key = c.key;
      th.appendChild(document.createTextNode(c.label));
      th.appendChild(el("span", "arrow", ""));
      th.addEventListener("click", function () { self.sortBy(i); });
      tr.appendChild(th);
      return th;
    });
    head.appendChild(tr);
    this.table.appendChild(head);
    this.body = el("tbody");
    this.table.appendChild(this.body);
    scroll.appendChild(this.table);
    this.host.appendChild(scroll);
    this.pager = el("div", "pager");
    this.host.appendChild(this.pager);
  };

  Table.prototype.numeric = function (c) {
    return ["pct", "num", "int", "money", "exact"].indexOf(c.kind) >= 0;
  };

  Table.prototype.sortBy = function (i) {
    this.sortDir = this.sortAt === i ? -this.sortDir : 1;
    this.sortAt = i;
    this.page = 0;
    this.render();
  };

  Table.prototype.view = function () {
    var self = this, out = [];
    for (var k = 0; k < this.rows.length; k++) {
      var r = this.rows[k];
      if (this.filterAt >= 0 && this.filterValue !== "" && String(r[this.filterAt]) !== this.filterValue) continue;
      if (this.search && !r.some(function (v) { return v !== null && String(v).toLowerCase().indexOf(self.search) >= 0; })) continue;
      out.push(k);
    }
    if (this.sortAt >= 0) {
      var at = this.sortAt, dir = this.sortDir, rows = this.rows;
      out.sort(function (a, b) {
        var va = rows[a][at], vb = rows[b][at];
        var nullish = va === null || va === undefined || vb === null || vb === undefined;
        var c = nullish ? compare(va, vb) : dir * compare(va, vb);
        return c || a - b;
      });
    }
    return out;
  };

  Table.prototype.cell = function (c, v, row) {
    var td = el("td", this.numeric(c) ? "num" : "");
    if (c.kind === "side" && v) {
      td.appendChild(el("span", "side-" + v, String(v)));
    } else if (c.kind === "link") {
      if (v) {
        var a = el("a", "", c.linkText || "open");
        a.href = v;
        td.appendChild(a);
      }
    } else if ((v === null || v === undefined) && c.empty) {
      td.textContent = c.empty;
    } else {
      td.textContent = format(v, c.kind);
      if (c.wrap) td.className += " wrap-text";
    }
    if (c.signed && typeof v === "number" && v !== 0) td.className += v > 0 ? " pos" : " neg";
    if (typeof v === "number") td.title = String(v);
    return td;
  };

  Table.prototype.render = function () {
    var self = this;
    var order = this.view();
    var pages = this.pageSize ? Math.max(1, Math.ceil(order.length / this.pageSize)) : 1;
    this.page = Math.min(this.page, pages - 1);
    var slice = this.pageSize ? order.slice(this.page * this.pageSize, (this.page + 1) * this.pageSize) : order;
    var body = el("tbody");
    slice.forEach(function (k) {
      var tr = el("tr"), r = self.rows[k];
      self.columns.forEach(function (c, i) { tr.appendChild(self.cell(c, r[i], r)); });
      body.appendChild(tr);
    });
    this.table.replaceChild(body, this.body);
    this.body = body;
    this.heads.forEach(function (th, i) {
      th.querySelector(".arrow").textContent = i === self.sortAt ? (self.sortDir > 0 ? "▲" : "▼") : "";
    });
    this.shown.textContent = order.length === this.rows.length ? order.length.toLocaleString("en-US") + " rows"
      : order.length.toLocaleString("en-US") + " of " + this.rows.length.toLocaleString("en-US") + " rows";
    this.order = order;
    this.pager.textContent = "";
    if (pages > 1) {
      var prev = el("button", "", "‹ previous"), next = el("button", "", "next ›");
      prev.disabled = this.page === 0;
      next.disabled = this.page >= pages - 1;
      prev.addEventListener("click", function () { self.page -= 1; self.render(); });
      next.addEventListener("click", function () { self.page += 1; self.render(); });
      this.pager.appendChild(prev);
      this.pager.appendChild(el("span", "", "page " + (this.page + 1) + " of " + pages));
      this.pager.appendChild(next);
    }
  };

  Table.prototype.download = function () {
    var self = this;
    var lines = [this.columns.map(function (c) { return csvCell(c.key); }).join(",")];
    this.order.forEach(function (k) { lines.push(self.rows[k].map(csvCell).join(",")); });
    var blob = new Blob([lines.join("\n") + "\n"], {type: "text/csv"});
    var a = el("a");
    a.href = URL.createObjectURL(blob);
    a.download = (this.host.id || "table") + ".csv";
    document.body.appendChild(a);
    a.click();
    a.remove();
  };

  function reportData() {
    return JSON.parse(document.getElementById("report-data").textContent);
  }

  var PLOT_CONFIG = {responsive: true, displaylogo: false, modeBarButtonsToRemove: ["lasso2d", "select2d"]};

  function drawChart(id, figure) {
    var div = document.getElementById(id);
    if (!div || !figure) return Promise.resolve();
    return Plotly.newPlot(div, figure.data, figure.layout, Object.assign({}, PLOT_CONFIG, figure.config || {}));
  }

  // the page is ready once every chart is drawn and painted; readyAt: milliseconds since it began to load
  function markReady() {
    requestAnimationFrame(function () {
      requestAnimationFrame(function () {
        window.telvarReport.readyAt = performance.now();
        window.telvarReport.ready = true;
      });
    });
  }

  window.telvar = {Table: Table, format: format, reportData: reportData, drawChart: drawChart,
                   markReady: markReady};
})();
