"""File and array helpers: MATLAB files, row stores, stable names, expiry."""
import hashlib
import os
import re
import time
import uuid
from collections.abc import Mapping

import numpy as np

from telvar.kestrum import _matio
from telvar.kestrum.utils.atomicmat import STALE_TEMPORARY_SECONDS, remove_stale_temporaries, write_mat_atomic  # noqa: F401
from telvar.kestrum.utils.exceptions import DataLoadError

# MAT variable and field names (MATLAB loads no others; scipy would drop them silently)
_MAT_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")


def _mat_name(name):
    name = str(name)
    if not _MAT_NAME.match(name):
        raise ValueError("%r cannot be stored in a MAT file: names start with a letter and hold "
                         "only letters, digits and '_'" % (name,))
    return name


def run_ignore_exception(func, *args, **kwargs):
    """Call ``func(*args, **kwargs)``; return its result, or None if it raised an Exception."""
    try:
        return func(*args, **kwargs)
    except Exception:
        return None


def load_mat(path, error="raise", rm_if_error=False, error_obj=None, **loadmat_kwargs):
    """Read a MATLAB v5 file into a dict of variable name -> numpy array.

    The dict keeps the reader's ``__header__``/``__version__``/``__globals__``
    entries. Arrays come as ``scipy.io.loadmat`` gives them by default (2-D
    matrices, structs as record arrays), except that a list of texts (a
    character matrix) comes back without the blanks that pad its rows to one
    length. The file is read by telvar's own reader (``_matio``), which turns
    a damaged file into an error instead of crashing the process.

    error: ``'raise'`` raises when the file cannot be read (``FileNotFoundError``
        for a missing file, else ``DataLoadError`` naming the file);
        ``'ignore'`` returns an empty dict instead.
    error_obj: the exception to raise for a missing or unreadable file, in
        either mode: a caller that names its error wants to hear about the
        failure (an unreadable tick download is not a day without ticks). Its
        cause is the ``DataLoadError`` naming the file.
    rm_if_error: delete a file that exists but cannot be read, when it is
        telvar's own (under the file manager's root, which holds the caches,
        or in the attached host's answer folder; see
        ``telvar.kestrum.ownership``); any other file is left in place with
        a warning.
    loadmat_kwargs: options of ``scipy.io.loadmat`` (``squeeze_me``, ...). With
        any of them the file is read by scipy, whose reader can crash the
        process on a damaged file: only for files this process wrote itself.
        No caller in telvar passes them.
    """
    if error not in ("raise", "ignore"):
        raise ValueError("error must be 'raise' or 'ignore', got %r" % (error,))
    try:
        if not path or not os.path.isfile(path):
            raise FileNotFoundError(2, "No such MAT file", path)
        if loadmat_kwargs:
            import scipy.io

            return _unpad_texts(scipy.io.loadmat(path, **loadmat_kwargs))
        return _unpad_texts(_matio.read(path))
    except Exception as exc:
        if rm_if_error and path and os.path.isfile(path):
            from telvar.kestrum.ownership import remove_owned

            remove_owned(path, unusable_because=exc)
        from telvar.kestrum.language import text

        named = DataLoadError(text.ERROR_READ_MAT.format(PATH=path, REASON=exc))
        named.__cause__ = exc
        if error_obj is not None:
            if isinstance(error_obj, type):
                error_obj = error_obj(str(exc))
            raise error_obj from named
        if error == "ignore":
            return {}
        if isinstance(exc, FileNotFoundError):
            raise
        raise named from exc


def _unpad_texts(mdict):
    out = {}
    for name, value in mdict.items():
        if isinstance(value, np.ndarray) and value.dtype.kind == "U" and value.size > 1:
            value = np.char.rstrip(value, " ")
        out[name] = value
    return out


def _struct_array(records):
    """A list of mappings -> a 1 x N MATLAB struct array (fields in first-seen order)."""
    fields = []
    for rec in records:
        if not isinstance(rec, Mapping):
            raise TypeError("struct records must be mappings, got %r" % type(rec).__name__)
        for key in rec:
            if key not in fields:
                fields.append(key)
    out = np.zeros((1, len(records)), dtype=[(_mat_name(f), object) for f in fields])
    for i, rec in enumerate(records):
        for f in fields:
            out[0, i][str(f)] = _writable(rec.get(f))
    return out


def _writable(value):
    """Make a value storable in a MAT file: None -> empty, ragged lists -> cell arrays."""
    if value is None:
        return np.array([])
    if isinstance(value, (list, tuple)):
        if value and all(isinstance(v, Mapping) for v in value):
            return _struct_array(value)
        try:
            arr = np.asarray(value)
        except ValueError:
            arr = None
        if arr is None or arr.dtype == object:
            cells = np.empty((len(value),), dtype=object)
            for i, v in enumerate(value):
                cells[i] = _writable(v)
            return cells
        return arr
    if isinstance(value, Mapping):
        return {_mat_name(k): _writable(v) for k, v in value.items()}
    return value


def save_mat(path, data, struct_name=None, long_field_names=False, oned_as="row", do_compression=False):
    """Write ``data`` to a MATLAB v5 file atomically (temporary file, then rename).

    data: a mapping of variable name -> value; or, with ``struct_name``, a
        list of records (mappings) stored as one struct array of that name.
    Lists of arrays of unequal length are stored as cell arrays; None as an
    empty array. A reader never sees a half-written file. The file is what
    ``scipy.io.savemat`` would write with the same options. Temporary files
    that killed writers left in the folder are removed first (see
    ``telvar.kestrum.utils.atomicmat``).
    """
    if struct_name is not None:
        mdict = {_mat_name(struct_name): _struct_array(list(data))}
    else:
        if not isinstance(data, Mapping):
            raise TypeError("data must be a mapping of variable names to values")
        mdict = {_mat_name(k): _writable(v) for k, v in data.items()}
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    return write_mat_atomic(path, mdict, oned_as=oned_as, long_field_names=long_field_names,
                            do_compression=do_compression, sync=True)


def append_or_assign_2d_array_axis0(array, new_rows, pos=None, copy_=True):
    """Place ``new_rows`` into the row store ``array`` from row ``pos`` on.

    - ``array`` not 2-D or without rows: the result is ``new_rows`` (a copy
      when ``copy_``).
    - ``pos`` None or >= the row count: the rows are appended below.
    - otherwise rows from ``pos`` are overwritten (in place unless ``copy_``);
      rows beyond the end are appended.
    ``new_rows`` may be 1-D (one row). Column counts must match.
    """
    rows = np.asarray(new_rows)
    if rows.ndim == 1:
        rows = rows.reshape(1, -1)
    if rows.ndim != 2:
        raise ValueError("new_rows must be 1-D or 2-D, got %d dimensions" % rows.ndim)
    store = np.asarray(array) if array is not None else np.array([])
    if store.ndim != 2 or store.shape[0] == 0:
        return rows.copy() if copy_ else rows
    if rows.shape[1] != store.shape[1]:
        raise ValueError(
            "new_rows has %d columns but the store has %d" % (rows.shape[1], store.shape[1])
        )
    n_rows = store.shape[0]
    if pos is None or pos >= n_rows:
        return np.concatenate([store, rows.astype(np.result_type(store, rows), copy=False)], axis=0)
    pos = int(pos)
    if pos < 0:
        raise ValueError("pos must not be negative, got %d" % pos)
    overlap = min(rows.shape[0], n_rows - pos)
    out = store.copy() if copy_ else store
    out[pos:pos + overlap] = rows[:overlap]
    if overlap < rows.shape[0]:
        out = np.concatenate([out, rows[overlap:]], axis=0)
    return out


def _canonical(value, out):
    """Append a type-tagged, process-independent text form of ``value`` to ``out``."""
    if value is None or isinstance(value, (bool, np.bool_)):
        out.append("b:%r;" % (None if value is None else bool(value)))
    elif isinstance(value, (int, np.integer)):
        out.append("i:%d;" % int(value))
    elif isinstance(value, (float, np.floating)):
        out.append("f:%r;" % float(value))
    elif isinstance(value, str):
        out.append("s:%d:%s;" % (len(value), value))
    elif isinstance(value, bytes):
        out.append("y:%s;" % value.hex())
    elif isinstance(value, np.ndarray):
        arr = np.ascontiguousarray(value)
        if arr.dtype == object:
            out.append("o%r[" % (arr.shape,))
            for v in arr.ravel():
                _canonical(v, out)
            out.append("]")
        else:
            digest = hashlib.sha256(arr.tobytes()).hexdigest()
            out.append("a:%s:%r:%s;" % (arr.dtype.str, arr.shape, digest))
    elif isinstance(value, Mapping):
        out.append("{")
        for k, v in value.items():
            _canonical(k, out)
            _canonical(v, out)
        out.append("}")
    elif isinstance(value, (list, tuple)):
        out.append("[" if isinstance(value, list) else "(")
        for v in value:
            _canonical(v, out)
        out.append("]")
    elif isinstance(value, (set, frozenset)):
        out.append("<")
        for t in sorted("".join(_canonical_text(v)) for v in value):
            out.append(t)
        out.append(">")
    else:
        out.append("r:%s:%s;" % (type(value).__name__, value))


def _canonical_text(value):
    out = []
    _canonical(value, out)
    return out


def stable_digest(value, length=40):
    """Hex digest of ``value`` that is the same in every process (no ``hash()``)."""
    text_form = "".join(_canonical_text(value))
    return hashlib.sha256(text_form.encode("utf-8")).hexdigest()[:length]


def random_file_name(suffix="", middle=None, prefix=""):
    """A file name ``prefix + <hex> + suffix``.

    With ``middle`` None the hex part is random; otherwise it is a stable
    digest of ``middle``, so the same ``middle`` always gives the same name.
    """
    core = uuid.uuid4().hex if middle is None else stable_digest(middle, 32)
    return "%s%s%s" % (prefix, core, suffix)


def check_expired_file(path, seconds=86400, rm_if_expired=False):
    """True when ``path`` is missing or was last modified more than ``seconds`` ago.

    With ``rm_if_expired`` an expired file is deleted when it is telvar's own
    (see ``telvar.kestrum.ownership``).
    """
    try:
        age = time.time() - os.path.getmtime(path)
    except OSError:
        return True
    expired = age > seconds
    if expired and rm_if_expired:
        from telvar.kestrum.ownership import remove_owned

        remove_owned(path)
    return expired


__all__ = [
    "load_mat",
    "save_mat",
    "append_or_assign_2d_array_axis0",
    "run_ignore_exception",
    "random_file_name",
    "check_expired_file",
    "remove_stale_temporaries",
    "stable_digest",
]
