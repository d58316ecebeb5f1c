"""Damaging real files: the host's answers on their way to a reader, and cache
entries the framework wrote. Each damage leaves a file that can be read but
whose content a reader must not use."""
import numpy as np
import scipy.io

from telvar.kestrum.utils.utilfunc import load_mat


def _as_text(value):
    return "not numbers"


def _as_int8(value):
    # through int64: a float outside int8's range wraps like a writer's cast, without numpy's warning
    return np.nan_to_num(np.asarray(value, dtype=float)).astype(np.int64).astype(np.int8)


def _as_logical(value):
    return np.asarray(value, dtype=float) > 0


def _one_short(value):
    """One value (a vector) or one column (a matrix) fewer."""
    value = np.asarray(value)
    if value.ndim == 2 and min(value.shape) > 1:
        return value[:, :-1]
    return value.ravel()[:-1]


def _one_row_short(value):
    return np.asarray(value)[:-1]


def _as_numbers(value):
    return np.arange(np.size(value), dtype=float)


# name -> how the variable is changed; None: removed; "rename": its name is damaged
DAMAGES = {
    "text": _as_text,
    "int8": _as_int8,
    "logical": _as_logical,
    "numbers": _as_numbers,
    "shape": _one_short,
    "rows": _one_row_short,
    "missing": None,
    "misnamed": "rename",
}


def damage_variables(data, variable, damage):
    """Apply DAMAGES[damage] to ``data[variable]`` (a mapping of a MAT file's variables)."""
    change = DAMAGES[damage]
    if change is None:
        del data[variable]
    elif change == "rename":
        data[variable[:-1] + chr(ord(variable[-1]) ^ 1)] = data.pop(variable)
    else:
        data[variable] = change(data[variable])


def damage_file(path, variable, damage):
    """Rewrite the MAT file ``path`` with one variable damaged."""
    data = {k: v for k, v in load_mat(str(path)).items() if not k.startswith("__")}
    damage_variables(data, variable, damage)
    scipy.io.savemat(str(path), data, long_field_names=True)


def damage_record_field(path, variable, field, damage):
    """Rewrite a file whose ``variable`` is a struct array, one field of every record damaged."""
    data = {k: v for k, v in load_mat(str(path)).items() if not k.startswith("__")}
    records = data[variable]
    damaged = []
    for index in np.ndindex(records.shape):
        fields = {name: records[name][index] for name in records.dtype.names}
        damage_variables(fields, field, damage)
        damaged.append((index, fields))
    names = list(damaged[0][1]) if damaged else list(records.dtype.names)
    out = np.empty(records.shape, dtype=[(n, object) for n in names])
    for index, fields in damaged:
        for n in names:
            out[n][index] = fields[n]
    data[variable] = out
    scipy.io.savemat(str(path), data, long_field_names=True)


def answered_paths(answer):
    """The file paths in a host's answer (a path or a list of paths)."""
    if isinstance(answer, str):
        return [answer] if answer else []
    return [p for p in answer if isinstance(p, str) and p]


class DamagingChannel:
    """The real command channel; the files that ``command`` answers are damaged
    by ``damage_one(path)`` before the reader gets their paths."""

    def __init__(self, real, command, damage_one):
        self.real, self.command, self.damage_one = real, command, damage_one
        self.paths = []

    def __getattr__(self, name):
        send = getattr(self.real, name)
        if name != self.command:
            return send

        def damaged(*args, **kwargs):
            answer = send(*args, **kwargs)
            for path in answered_paths(answer):
                self.damage_one(path)
                self.paths.append(path)
            return answer

        return damaged
