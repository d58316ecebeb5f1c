"""
MAT v5 files: a reader that refuses damaged files with an error instead of crashing, and a writer that stores arrays without copying them first.
"""

from collections.abc import Mapping
import os


class MatFileError(ValueError):
    pass

def read(path: str | bytes | os.PathLike, max_bytes: int | None = None) -> dict[str, object]:
    """
    The variables of a MAT v5 file, as scipy.io.loadmat(path) gives them. A file that
    cannot be read safely raises MatFileError (a ValueError) saying what and where;
    OSError when it cannot be opened or read. max_bytes bounds the memory the
    file's arrays may take (default: half the physical memory).
    """

def write(path: str | bytes | os.PathLike, mdict: Mapping[str, object], *, oned_as: str = 'row', long_field_names: bool = False, do_compression: bool = False, sync: bool = False) -> None:
    """
    Creates or truncates `path` and stores the variables of `mdict` as scipy.io.savemat
    would, reading arrays where they lie. oned_as: 'row' or 'column', the shape 1-D
    arrays are stored in; long_field_names: struct field names of up to 63 characters
    instead of 31; do_compression: zlib-compress each variable; sync: wait until the
    file is on disk. On an error the file may be left half written: write to a
    temporary file and rename it.
    """
