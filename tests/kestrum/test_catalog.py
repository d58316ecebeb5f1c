"""The message catalog holds every key the system formats, with its placeholders."""
import string

import pytest

from telvar.kestrum.language import text
from telvar.kestrum.language import chinese

# key -> the keyword placeholders it is formatted with (empty: used as it stands)
USED_KEYS = {
    "TEXT_PREPARE_KDATA": {"BEGINDATE", "ENDDATE", "KFREQUENCY", "KFRENUM", "PRETARGET", "LASTTARGET"},
    "TEXT_PREPARE_TICKDATA": {"Day", "Code", "Market"},
    "ERROR_INVALID_FILE": set(),
    "ERROR_DOWNLOAD_DATA": set(),
    "ERROR_INPUT_START_DATE": set(),
    "ERROR_INPUT_END_DATE": set(),
    "ERROR_INPUT_BEGIN_GT_ENDDATE": set(),
    "ERROR_FREQ_NEED_GT_DAY": set(),
    "ERROR_FREQ_TOO_HIGH": set(),
    "ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM": set(),
    "ERROR_INPUT_FREQUENCY": set(),
    "ERROR_EMPTY_TIMELINE": set(),
    "ERROR_KDATA_MISS": set(),
    "ERROR_KDATA_MULTI": {"TARGETS", "FREQUENCY", "FREQNUM", "BEGINDATE", "ENDDATE", "FILLEDUP", "FQTYPE"},
    "WARN_USER_INDICES_RESULT_FORMAT": {"TARGETLEN", "COLUMNLEN"},
    "ERROR_WRONG_FACTOR_SIZE": set(),
    "ERROR_BAR_FIELD_LENGTH": {"TARGET", "FIELD", "LENGTH", "EXPECTED"},
    # the framework's own
    "ERROR_READ_MAT": {"PATH", "REASON"},
    "WARN_CACHE_WRITE_FAILED": {"PATH", "REASON"},
    "ERROR_UNKNOWN_FREQUENCY": {"FREQUENCY"},
    "ERROR_UNKNOWN_FREQUENCY_CODE": {"CODE"},
    "ERROR_ARG_TYPE": {"ARG", "EXPECTED", "ACTUAL"},
    "ERROR_ARG_DATE": {"ARG", "VALUE"},
    "ERROR_ARG_DATE_TYPE": {"ARG", "ACTUAL"},
    "ERROR_INVALID_TARGET": {"TARGET"},
    "ERROR_READ_AHEAD": {"POSITION", "BAR", "CURRENT"},
}


def _fields(template):
    return {f for _, f, _, _ in string.Formatter().parse(template) if f is not None}


@pytest.mark.parametrize("key", sorted(USED_KEYS))
def test_key_exists_with_exactly_its_placeholders(key):
    template = getattr(text, key)
    assert isinstance(template, str) and template.strip()
    assert _fields(template) == USED_KEYS[key]
    filled = template.format(**{f: "<%s>" % f for f in USED_KEYS[key]})
    for f in USED_KEYS[key]:
        assert "<%s>" % f in filled
    assert any("\u4e00" <= ch <= "\u9fff" for ch in template)  # written in Chinese


def test_every_catalog_text_uses_named_placeholders_only():
    assert set(USED_KEYS) <= set(text.keys())
    for key in text.keys():
        fields = _fields(getattr(text, key))
        assert all(f and not f.isdigit() for f in fields), key
        getattr(text, key).format(**{f: 1 for f in fields})


def test_catalog_is_shared_and_read_only():
    assert chinese.text is text
    assert "ERROR_KDATA_MISS" in text and "NOPE" not in text
    with pytest.raises(AttributeError, match="ERROR_NOT_A_KEY"):
        text.ERROR_NOT_A_KEY
    with pytest.raises(AttributeError):
        text.ERROR_KDATA_MISS = "changed"
