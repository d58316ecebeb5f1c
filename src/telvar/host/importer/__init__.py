"""Importing a user's CSV or Parquet files into a store (``python -m telvar.host import``).

``loader`` checks the files of one import and writes them in one transaction
(its docstring lists the kinds and their columns); ``read`` reads a file and
converts its columns; ``tradingdays`` gives bars and ticks their trading days
from the sessions and the calendar.
"""
from .loader import import_files
from .read import ImportError_

__all__ = ["ImportError_", "import_files"]
