"""The English and Chinese catalogs hold the same keys, and every key the code formats works in both.

The keys the code uses are read from the sources themselves (C++ and Python),
with the placeholder names each use passes, so a key added to one catalog
only, or used with a placeholder a catalog does not know, fails here.
"""
import ast
import os
import re
import string
import subprocess
import sys
from pathlib import Path

import pytest

import telvar
from telvar.kestrum.language import catalog_for, chinese, english

REPO = Path(__file__).resolve().parents[2]
KEY = r"(?:ERROR|WARN|TEXT)_[A-Z0-9_]+"
CATALOGS = {"chinese": chinese.text, "english": english.text}


def _fields(template):
    return {f for _, f, _, _ in string.Formatter().parse(template) if f is not None}


def _balanced_call(source, open_paren):
    """The text between the parenthesis at ``open_paren`` and the one that closes it."""
    depth = 0
    for i in range(open_paren, len(source)):
        depth += {"(": 1, ")": -1}.get(source[i], 0)
        if depth == 0:
            return source[open_paren + 1:i]
    raise AssertionError("unbalanced call at %d" % open_paren)


def cpp_uses():
    """(file, key, placeholders or None when used unformatted) for every key in the C++ sources."""
    uses = []
    formatted = re.compile(r'"\s*\)\s*\.attr\("format"\)\(')
    for path in sorted((REPO / "cpp").rglob("*.[ch]pp")):
        source = path.read_text()
        for m in re.finditer(r'"(%s)"' % KEY, source):
            after = formatted.match(source, m.end() - 1)
            names = None
            if after:
                args = _balanced_call(source, after.end() - 1)
                names = set(re.findall(r'nb::arg\("(\w+)"\)', args))
            uses.append((path.name, m.group(1), names))
    return uses


def python_uses():
    """(file, key, placeholders or None) for every ``text.KEY`` in the Python sources."""
    uses = []
    for path in sorted((REPO / "src").rglob("*.py")):
        if "language" in path.parts:
            continue
        tree = ast.parse(path.read_text())
        format_calls = {}
        for node in ast.walk(tree):
            if (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
                    and node.func.attr == "format"):
                format_calls[id(node.func.value)] = node
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                    and node.value.id == "text" and re.fullmatch(KEY, node.attr)):
                call = format_calls.get(id(node))
                names = None if call is None else {k.arg for k in call.keywords}
                uses.append((path.name, node.attr, names))
    return uses


USES = cpp_uses() + python_uses()


def test_the_scan_finds_the_code_s_messages():
    found = {(key, frozenset(names) if names is not None else None) for _, key, names in USES}
    assert ("ERROR_KDATA_MULTI", frozenset({"TARGETS", "FREQUENCY", "FREQNUM", "BEGINDATE", "ENDDATE",
                                            "FILLEDUP", "FQTYPE"})) in found
    assert ("ERROR_FREQ_TOO_HIGH", None) in found
    assert ("ERROR_INVALID_TARGET", frozenset({"TARGET"})) in found
    assert len({key for _, key, _ in USES}) >= 25


def test_both_catalogs_hold_the_same_keys_and_placeholders():
    assert chinese.text.keys() == english.text.keys()
    for key in chinese.text.keys():
        zh, en = getattr(chinese.text, key), getattr(english.text, key)
        assert _fields(zh) == _fields(en), key
        assert any("\u4e00" <= ch <= "\u9fff" for ch in zh), key
        assert en.isascii() and en.strip(), key


@pytest.mark.parametrize("language", sorted(CATALOGS))
@pytest.mark.parametrize("where,key,names", USES, ids=["%s:%s" % (w, k) for w, k, _ in USES])
def test_every_used_key_accepts_its_arguments(language, where, key, names):
    template = getattr(CATALOGS[language], key)  # AttributeError names a missing key
    if names is None:
        assert _fields(template) == set(), "%s is used unformatted but has placeholders" % key
        assert template.format() == template
    else:
        assert _fields(template) <= names, "%s needs %s" % (key, _fields(template) - names)
        filled = template.format(**{n: "<%s>" % n for n in names})
        assert all("<%s>" % f in filled for f in _fields(template))


def test_the_language_setting_picks_the_catalog():
    assert catalog_for("en") is english.text and catalog_for("en_GB.UTF-8") is english.text
    assert catalog_for("EN") is english.text
    for setting in (None, "", "zh", "zh_CN.UTF-8", "fr"):
        assert catalog_for(setting) is chinese.text


def test_telvar_lang_en_gives_english_errors_from_every_layer():
    code = "\n".join([
        "from telvar.api.history import _history",
        "from telvar.api.regora import _regora",
        "from telvar.kestrum.sysmodel import gv",
        "error, _ = _history.load_k_data_from_local('')",
        "print(error)",
        "for call in (lambda: _regora.check_reg_k_data_precondition(0, 2),",
        "             lambda: gv.frequency_to_int('fortnight')):",
        "    try:",
        "        call()",
        "    except ValueError as exc:",
        "        print(exc)",
    ])
    src = str(Path(telvar.__file__).resolve().parents[1])
    for setting, expected in (("en", english.text), ("zh", chinese.text)):
        env = dict(os.environ, TELVAR_LANG=setting, PYTHONPATH=src)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 0, out.stderr
        lines = out.stdout.splitlines()
        assert lines == [expected.ERROR_INVALID_FILE, expected.ERROR_FREQ_TOO_HIGH,
                         expected.ERROR_UNKNOWN_FREQUENCY.format(FREQUENCY="fortnight")]
