"""Looking at a report in the browser: open it, find what went wrong, read tables, take a screenshot."""
import time
from pathlib import Path

CHARTS_DRAWN = """
return Array.from(document.querySelectorAll('.chart')).map(function (div) {
  var marks = 0;
  div.querySelectorAll('g.trace path').forEach(function (p) { if ((p.getAttribute('d') || '').length > 10) marks++; });
  marks += div.querySelectorAll('g.hm image').length;
  return {id: div.id, svg: div.querySelectorAll('svg.main-svg').length, marks: marks,
          width: div.getBoundingClientRect().width, height: div.getBoundingClientRect().height};
});
"""


def open_report(driver, path, timeout=60):
    """Load the page and wait until its charts are drawn; returns the page's telvarReport state."""
    driver.get(Path(path).resolve().as_uri())
    deadline = time.monotonic() + timeout
    while not driver.execute_script("return !!(window.telvarReport && window.telvarReport.ready)"):
        assert time.monotonic() < deadline, "the report was not ready within %d s" % timeout
        time.sleep(0.02)
    return driver.execute_script("return {errors: telvarReport.errors, readyAt: telvarReport.readyAt}")


def console_errors(driver):
    """The browser console's errors since the last call."""
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def assert_charts_drawn(driver, expected):
    charts = {c["id"]: c for c in driver.execute_script(CHARTS_DRAWN)}
    assert set(charts) == set(expected)
    for chart in charts.values():
        assert chart["svg"] > 0 and chart["marks"] > 0, chart
        assert chart["width"] > 300 and chart["height"] > 100, chart


def column_values(driver, table_id, key):
    """The exact values (cell tooltips) or texts of one column of a page's table, in the order shown."""
    return driver.execute_script("""
        var host = document.getElementById(arguments[0]);
        var heads = Array.from(host.querySelectorAll('thead th')).map(function (th) { return th.dataset.key; });
        var at = heads.indexOf(arguments[1]);
        return Array.from(host.querySelectorAll('tbody tr')).map(function (tr) {
          var td = tr.children[at];
          return td.title ? Number(td.title) : td.textContent;
        });""", table_id, key)


def click_header(driver, table_id, key):
    """A click on a column's header, brought to the middle of the window (not under the sticky menu)."""
    head = driver.find_element("css selector", "#%s th[data-key='%s']" % (table_id, key))
    driver.execute_script("arguments[0].scrollIntoView({block: 'center', behavior: 'instant'})", head)
    head.click()


def choose(driver, css, value):
    from selenium.webdriver.support.ui import Select

    Select(driver.find_element("css selector", css)).select_by_value(str(value))


def screenshot(driver, path, width=1360):
    """The whole page as a PNG (the window stretched to the page's height, then put back)."""
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(width, min(height, 16000))
    time.sleep(0.5)  # charts follow the window's size
    driver.save_screenshot(str(path))
    driver.set_window_size(width, 900)
    return path
