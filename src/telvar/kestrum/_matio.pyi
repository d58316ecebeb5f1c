"""
MAT v5 files: a reader that refuses damaged files with an error instead of crashing, and a writer that stores arrays without copying them first.
"""



class MatFileError(ValueError):
    pass

def read(path: object, max_bytes: object | None = None) -> dict:
    """
    read(path, max_bytes=None) -> dict

    The variables of a MAT v5 file, as scipy.io.loadmat(path) gives them. A file that
    cannot be read safely raises MatFileError (a ValueError) saying what and where;
    OSError when it cannot be opened or read. max_bytes bounds the memory the
    file's arrays may take (default: half the physical memory).
    """

def write(path: object, mdict: object, *, oned_as: str = 'row', long_field_names: bool = False, do_compression: bool = False, sync: bool = False) -> None:
    """
    write(path, mdict, *, oned_as='row', long_field_names=False, do_compression=False, sync=False)

    Creates or truncates `path` and stores the variables of `mdict` as scipy.io.savemat
    would, reading arrays where they lie. sync waits until the file is on disk. On an
    error the file may be left half written: write to a temporary file and rename it.
    """
