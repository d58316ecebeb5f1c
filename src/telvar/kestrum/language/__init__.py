"""Message catalogs. ``text`` is the catalog in use (Chinese)."""
from telvar.kestrum.language.chinese import text

__all__ = ["text"]
