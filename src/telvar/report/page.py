"""One self-contained HTML page: a jinja2 template with its styles, scripts, plotly.js and data inlined.

The page needs no network: plotly.js (from the plotly package), the report's
own script and style sheet are written into it. Data travel as JSON inside a
``<script>`` element, escaped so that no text of the data can close it.
The file is written atomically (a temporary file beside it, then a rename).
"""
import json
import math
import os
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from telvar.common.jsonvalue import json_scalar

HERE = Path(__file__).resolve().parent
STATIC = HERE / "static"
MISSING_PACKAGES = "an HTML report needs jinja2 and plotly: pip install 'telvar[report]'"


def _imports():
    try:
        import jinja2
        import plotly.offline
    except ImportError as exc:
        raise ImportError("%s (%s)" % (MISSING_PACKAGES, exc)) from exc
    return jinja2, plotly.offline


def plain(value):
    """``value`` as JSON can carry it: numpy numbers as Python ones, NaN and infinities as None,
    timestamps and dates as text, containers converted through."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray, pd.Series, pd.Index)):
        return [plain(v) for v in value]
    return json_scalar(value)


def column_values(series):
    """A column as a list JSON can carry, converted a column at a time (fast for long tables)."""
    if pd.api.types.is_datetime64_any_dtype(series):
        text = series.dt.strftime("%Y-%m-%d %H:%M:%S")
        return [None if t is None or t != t else t for t in text.tolist()]
    if pd.api.types.is_bool_dtype(series) and not series.hasnans:
        return [bool(v) for v in series.to_numpy()]
    if pd.api.types.is_float_dtype(series):
        values = series.to_numpy(dtype=np.float64)
        return [v if math.isfinite(v) else None for v in values.tolist()]
    if pd.api.types.is_integer_dtype(series) and not series.hasnans:
        return series.to_numpy(dtype=np.int64).tolist()
    return [plain(v) for v in series.tolist()]


def table_rows(frame, columns):
    """The rows of ``frame``'s ``columns`` as lists (row-major, as the page's tables take them)."""
    if len(frame) == 0:
        return []
    cols = [column_values(frame[c]) for c in columns]
    return [list(row) for row in zip(*cols)]


def script_json(data):
    """JSON safe inside a ``<script>`` element: '<', '>' and '&' escaped, so no text closes it."""
    text = json.dumps(plain(data), separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026") \
        .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def render(template_name, **context):
    """The page's HTML: the template with plotly.js, the report's scripts and style sheet."""
    jinja2, offline = _imports()
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(str(HERE / "templates")),
                             autoescape=jinja2.select_autoescape(["html", "j2"]),
                             undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    static = {p.name: p.read_text(encoding="utf-8") for p in STATIC.iterdir() if p.suffix in (".css", ".js")}
    return env.get_template(template_name).render(plotly_js=offline.get_plotlyjs(), static=static,
                                                  script_json=script_json, **context)


def write_page(path, html):
    """Write ``html`` to ``path`` atomically; the folder is made when missing. Returns the path."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        os.makedirs(folder, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=".report-", suffix=".html", dir=folder)
    except OSError as exc:
        raise OSError("cannot write the report %s: %s" % (path, exc)) from exc
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(html)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's owner-only mode
        os.replace(tmp, path)
    except BaseException as exc:
        if os.path.exists(tmp):
            os.unlink(tmp)
        if isinstance(exc, OSError):
            raise OSError("cannot write the report %s: %s" % (path, exc)) from exc
        raise
    return path


__all__ = ["plain", "column_values", "table_rows", "script_json", "render", "write_page", "MISSING_PACKAGES"]
