"""Message catalogs. ``text`` is the catalog in use.

The Chinese catalog is the default; ``TELVAR_LANG=en`` (any value starting
with "en") chooses the English one. The choice is made once, when the
framework is first imported, so set the variable before starting Python.
"""
import os

from telvar.kestrum.language import chinese, english


def catalog_for(language):
    """The catalog for a language setting such as "en", "en_US.UTF-8" or "zh" (Chinese unless English)."""
    if isinstance(language, str) and language.strip().lower().startswith("en"):
        return english.text
    return chinese.text


text = catalog_for(os.environ.get("TELVAR_LANG"))

__all__ = ["text", "catalog_for"]
