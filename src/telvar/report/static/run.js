/* A run's report: its charts and tables from the page's data; telvarReport.ready once all are drawn. */
(function () {
  "use strict";
  var data = telvar.reportData();
  var tables = {};
  Object.keys(data.tables).forEach(function (name) {
    var host = document.getElementById("table-" + name);
    if (host) tables[name] = new telvar.Table(host, data.tables[name]);
  });
  window.telvarReport.tables = tables;
  var drawn = Object.keys(data.figures).map(function (name) {
    return telvar.drawChart("chart-" + name, data.figures[name]);
  });
  Promise.all(drawn).then(telvar.markReady, function (e) {
    window.telvarReport.errors.push(String(e));
    telvar.markReady();
  });
})();
