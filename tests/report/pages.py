"""Reading a written report back: its data, its statistics as printed, and numbers parsed from text."""
import json
import re

DATA = re.compile(r'<script id="report-data" type="application/json">(.*?)</script>', re.S)
STAT_ROW = re.compile(r'<tr data-key="(\w+)"><th>[^<]*</th><td class="num">([^<]*)</td></tr>')


def page_data(html):
    """The JSON the page's scripts read (it must be strict JSON: no NaN)."""
    match = DATA.search(html)
    assert match, "the page carries no data"
    return json.loads(match.group(1), parse_constant=_refuse)


def _refuse(name):
    raise ValueError("the page's data holds %s, which is not JSON" % name)


def printed_stats(html):
    """{stat key: text} of the statistics table."""
    return dict(STAT_ROW.findall(html))


def parse_printed(text):
    """(value, half a unit of its last printed digit) of '12.34%', '-0.56', '1,234.50', '2025-11-04',
    or None for 'n/a'."""
    text = text.strip()
    if text == "n/a":
        return None
    if re.fullmatch(r"\d{4}-\d\d-\d\d", text):
        return int(text.replace("-", "")), 0
    scale = 100.0 if text.endswith("%") else 1.0
    number = text.rstrip("%").replace(",", "")
    decimals = len(number.split(".")[1]) if "." in number else 0
    return float(number) / scale, 0.5 * 10 ** -decimals / scale


def assert_printed_equal(stats, printed):
    """Each printed statistic is the result's to its printed precision."""
    assert printed, "no statistics printed"
    for key, text in printed.items():
        parsed = parse_printed(text)
        if parsed is None:
            assert stats[key] is None, "%s printed n/a but is %r" % (key, stats[key])
            continue
        value, half = parsed
        assert abs(value - stats[key]) <= half * (1 + 1e-9), "%s printed %s but is %r" % (key, text, stats[key])
