"""Target conversions, the on-disk matrix cache and argument normalisation."""
import os
import re
from collections.abc import Mapping

import numpy as np

from telvar.kestrum.ownership import remove_owned
from telvar.kestrum.utils.argchecker import parse_date
from telvar.kestrum.utils.datetimefunc import to_int_now_date
from telvar.kestrum.utils.logger import user_warning
from telvar.kestrum.utils.utilcls import OrderedDict
from telvar.kestrum.utils.utilfunc import load_mat, save_mat, stable_digest

_LOADMAT_HEADER = ("__header__", "__version__", "__globals__")
_SAFE_NAME = re.compile(r"^[A-Za-z0-9_.\-]*$")


# --- targets ---------------------------------------------------------------

def _market_code(target):
    from telvar.kestrum.language import text

    if isinstance(target, Mapping):
        try:
            return str(target["Market"]), str(target["Code"])
        except KeyError:
            raise KeyError(text.ERROR_INVALID_TARGET.format(TARGET=target)) from None
    if isinstance(target, str) and target.count(".") == 1:
        market, code = target.split(".")
        if market and code:
            return market, code
    raise ValueError(text.ERROR_INVALID_TARGET.format(TARGET=target))


def _is_single(targets):
    return isinstance(targets, (Mapping, str))


def todotmc(targets):
    """Target record -> "MARKET.CODE" (upper case); a list of targets -> list of keys.

    Records are mappings with ``Market`` and ``Code``; dotted texts are accepted too.
    """
    if _is_single(targets):
        return ("%s.%s" % _market_code(targets)).upper()
    return [todotmc(t) for t in targets]


def todictmc(targets):
    """Target(s) -> the host's form ``{'Market': ..., 'Code': ...}`` (a list for a list)."""
    if _is_single(targets):
        market, code = _market_code(targets)
        return {"Market": market, "Code": code}
    return [todictmc(t) for t in targets]


def toordereddict(record):
    """A mapping (or sequence of pairs) -> the framework's ``OrderedDict``."""
    return OrderedDict(record)


def check_targets_without_change(target_list):
    """Check that every target names a market and a code; return the list as given.

    A target is a record with ``Market`` and ``Code`` or a "MARKET.CODE" text.
    Raises TypeError for a target list that is not a list or tuple.
    """
    if not isinstance(target_list, (list, tuple)):
        raise TypeError("target_list must be a list or tuple, got %s" % type(target_list).__name__)
    for t in target_list:
        _market_code(t)
    return list(target_list)


def begin_date_checking_rule(date=""):
    """Normalise a begin date to an integer YYYYMMDD; the empty string means the earliest date."""
    value = parse_date(date, "begin_date", allow_empty_str=True)
    return 19000101 if value is None else value


def end_date_checking_rule(date=""):
    """Normalise an end date to an integer YYYYMMDD; the empty string means today."""
    value = parse_date(date, "end_date", allow_empty_str=True)
    return to_int_now_date() if value is None else value


# --- on-disk cache ---------------------------------------------------------

def calc_hash_value(items, suffix=""):
    """Cache key from a list of one-entry dicts (order matters) plus ``suffix``.

    The key is a hex digest of the entries' keys and values, the same in every
    process and on every machine, followed by ``suffix``.
    """
    if isinstance(items, Mapping):
        items = [items]
    parts = []
    for entry in items:
        if not isinstance(entry, Mapping):
            raise TypeError("calc_hash_value() takes a list of dicts, got an entry %r" % (entry,))
        parts.extend(entry.items())
    if not isinstance(suffix, str) or not _SAFE_NAME.match(suffix):
        raise ValueError("cache key suffix must be letters, digits, '_', '-' or '.', got %r" % (suffix,))
    return stable_digest(parts) + suffix


def can_cache(end_date):
    """True when results ending at ``end_date`` may be cached: the period is over.

    Only periods ending before today are closed; anything else (today, the
    future, 0, an unreadable date) is not cached. This is a statement about
    the period only (callers also use it to decide whether a period is over);
    switching caching off is ``cnt.env.cache_enabled``, which the cache
    functions obey.
    """
    day = _day_or_none(end_date)
    return day is not None and day < to_int_now_date()


def _cache_usable(directory):
    """Caching is on and ``directory`` is not among another store scope's caches."""
    from telvar.kestrum.sysmodel import env

    return bool(env.cache_enabled) and env.fm.is_current_cache_path(directory)


def _cache_path(directory, key):
    if not isinstance(key, str) or not key or not _SAFE_NAME.match(key) or key in (".", ".."):
        raise ValueError("cache key must be a plain file name, got %r" % (key,))
    return os.path.join(directory, key + ".mat")


# names of the variables that were scalars when saved; MAT files store them as 1x1 matrices
_SCALARS_VAR = "TelvarScalarVars"


def load_mat_cache(directory, key):
    """The cached mapping stored under ``key`` in ``directory``, or None when absent.

    Values saved as scalars come back as 0-d arrays (``int(value)`` works),
    everything else as the MAT reader gives it. A cache file that cannot be
    read counts as absent and is removed (when it lies under the file
    manager's root; see ``telvar.kestrum.ownership``). ``directory`` comes from
    ``cnt.env.fm.cache_dir``: a folder of another store or data version than
    the one the process is attached to now is never read. A reader whose
    checks of the content fail calls ``reject_mat_cache``.
    """
    path = _cache_path(directory, key)
    if not _cache_usable(directory) or not os.path.isfile(path):
        return None
    data = load_mat(path, error="ignore", rm_if_error=True)
    if not data:
        remove_owned(path)
        return None
    for name in _LOADMAT_HEADER:
        data.pop(name, None)
    scalars = data.pop(_SCALARS_VAR, None)
    if scalars is not None and scalars.size:
        for name in str(scalars.ravel()[0]).split(","):
            value = data.get(name)
            if isinstance(value, np.ndarray) and value.size == 1:
                data[name] = value.reshape(())
    return data


def reject_mat_cache(directory, key, variable, reason):
    """A cache entry that a reader could read but not use: warn, and remove it.

    The reader then counts the entry as absent: it builds the result again
    and rewrites the entry. ``variable`` names what failed the reader's
    check, ``reason`` says how (a catalog text).
    """
    reject_cache_file(_cache_path(directory, key), variable, reason)


def reject_cache_file(path, variable, reason):
    """``reject_mat_cache`` for a cache file given by its path."""
    from telvar.kestrum.language import text

    user_warning(text.WARN_CACHE_CONTENT.format(PATH=path, VARIABLE=variable, REASON=reason), stacklevel=3)
    remove_owned(path)


def _is_number(value):
    if isinstance(value, np.ndarray):
        return value.ndim == 0
    return isinstance(value, (int, float, complex, np.number, np.bool_))


# A MAT v5 variable records its size in 32 bits: one array may hold a little under 4 GiB.
MAT_VARIABLE_LIMIT_BYTES = (1 << 32) - (1 << 16)


def _too_large(data):
    """The name and size of the first variable too large for one MAT v5 variable, or None."""
    for name, value in data.items():
        size = _nbytes(value)
        if size > MAT_VARIABLE_LIMIT_BYTES:
            return name, size
    return None


def _nbytes(value):
    if isinstance(value, np.ndarray):
        if value.dtype != object:
            return value.nbytes
        return sum(_nbytes(v) for v in value.flat)
    if isinstance(value, (list, tuple)):
        return sum(_nbytes(v) for v in value)
    return 0


def save_mat_cache(directory, key, data):
    """Store the mapping ``data`` under ``key`` in ``directory`` (atomic write).

    Returns the file's path; when the file cannot be written, for whatever
    reason (a full disk, no permission, a variable too large for a MAT v5
    file: 4 GiB each), the strategy author is warned, nothing is left behind
    and None is returned: a cache never makes a run fail. An entry with a
    variable over the MAT limit is not cached at all (it is not split: a run
    that large is better run in chunks, whose entries are small). With
    caching switched off, or when ``directory`` belongs to another store
    scope than the current one (the process attached elsewhere since the
    folder was picked: the data may come from either store), nothing is
    written and None is returned.
    """
    from telvar.kestrum.language import text

    path = _cache_path(directory, key)
    if not _cache_usable(directory):
        return None
    too_large = _too_large(data)
    if too_large is not None:
        reason = "variable %s holds %d bytes, more than a MAT v5 variable can (4 GiB)" % too_large
        user_warning(text.WARN_CACHE_WRITE_FAILED.format(PATH=path, REASON=reason))
        return None
    scalars = [k for k, v in data.items() if _is_number(v)]
    to_save = dict(data)
    if scalars:
        to_save[_SCALARS_VAR] = ",".join(str(k) for k in scalars)
    try:
        return save_mat(path, to_save)
    except Exception as exc:  # the result stands without its cache; an interrupt still stops the run
        user_warning(text.WARN_CACHE_WRITE_FAILED.format(PATH=path, REASON="%s: %s" % (type(exc).__name__, exc)))
        return None


# --- host files --------------------------------------------------------------

def _day_or_none(value):
    """An end date as an integer YYYYMMDD, or None when it is not a date (0, '', garbage)."""
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.reshape(()).item()
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)
    try:
        return parse_date(value, "end_date")
    except (TypeError, ValueError):
        return None


def release_host_answer(mat_path):
    """Remove an answer file of the attached host, with its part files, once it has been read.

    The host writes every answer to a file of its own that is read once, so
    a reader removes it when done. Only files in the attached host's answer
    folder that carry the host's answer names are touched; returns True when
    ``mat_path`` was one of them and was removed.
    """
    from telvar.kestrum import comm
    from telvar.wire.answer_files import is_answer_name, part_paths

    folder = comm.answer_folder()
    if not folder or not isinstance(mat_path, str) or not mat_path:
        return False
    path = os.path.abspath(mat_path)
    name = os.path.basename(path)
    if os.path.dirname(path) != folder or not is_answer_name(name):
        return False
    try:
        parts = part_paths(folder, name)
    except OSError:
        parts = []
    for part in parts:
        _remove(part)
    return _remove(path)


def clear_mat_include_cur_trade_date(mat_path, end_date):
    """Remove a host file once it has been read: an answer of the attached host
    always (see ``release_host_answer``), another file when its period reaches
    today (its data are not final) and it is telvar's own (see
    ``telvar.kestrum.ownership``; any other file stays where it is).

    Returns True when the file was removed.
    """
    if release_host_answer(mat_path):
        return True
    day = _day_or_none(end_date)
    if not mat_path or (day is not None and day < to_int_now_date()):
        return False
    return _remove(mat_path)


def clear_mat_include_zero_date(mat_path, end_date):
    """Remove a host file once it has been read: an answer of the attached host
    always, another file of telvar's own when requested with end date 0 ("up
    to now") or when its period reaches today.

    Returns True when the file was removed.
    """
    if not mat_path:
        return False
    if release_host_answer(mat_path):
        return True
    if end_date == 0:
        return _remove(mat_path)
    return clear_mat_include_cur_trade_date(mat_path, end_date)


def _remove(path):
    return os.path.isfile(path) and remove_owned(path)


__all__ = [
    "todotmc", "todictmc", "toordereddict", "check_targets_without_change",
    "begin_date_checking_rule", "end_date_checking_rule",
    "calc_hash_value", "can_cache", "load_mat_cache", "save_mat_cache", "reject_mat_cache", "reject_cache_file",
    "clear_mat_include_cur_trade_date", "clear_mat_include_zero_date", "release_host_answer",
]
