"""Parameter sets of a sweep: every combination of a dict of lists, or a list of dicts as given."""
import itertools
from collections.abc import Mapping

import numpy as np

# the columns a sweep's result adds after the parameters and the statistics
RESULT_COLUMNS = ("strategy_id", "seconds", "error")


def _values(name, values):
    """The values of one grid entry as a list; a text or a single value is refused, not guessed at."""
    if isinstance(values, (str, bytes, Mapping)) or not hasattr(values, "__iter__"):
        raise TypeError("grid[%r] must be a list of values, got %r (write [%r] for one value)"
                        % (name, values, values))
    values = list(values.tolist() if isinstance(values, np.ndarray) else values)
    if not values:
        raise ValueError("grid[%r] is empty: a sweep over it has no back-tests" % (name,))
    return values


def _check_name(name, where):
    if not isinstance(name, str) or not name.isidentifier():
        raise TypeError("parameter names are keyword names of the strategy, got %r in %s" % (name, where))
    if name in RESULT_COLUMNS:
        raise ValueError("parameter %r in %s has the name of a result column (%s)"
                         % (name, where, ", ".join(RESULT_COLUMNS)))


def expand_grid(grid):
    """The parameter sets of ``grid``: a dict of lists gives every combination (the last key varying
    fastest), a list of dicts its dicts in order. Returns a list of dicts."""
    if isinstance(grid, Mapping):
        names = list(grid)
        for name in names:
            _check_name(name, "the grid")
        columns = [_values(name, grid[name]) for name in names]
        return [dict(zip(names, combo)) for combo in itertools.product(*columns)]
    if isinstance(grid, (str, bytes)) or not hasattr(grid, "__iter__"):
        raise TypeError("grid must be a dict of lists or a list of dicts, got %r" % (grid,))
    sets = []
    for i, params in enumerate(grid):
        if not isinstance(params, Mapping):
            raise TypeError("grid[%d] must be a dict of parameters, got %r" % (i, params))
        for name in params:
            _check_name(name, "grid[%d]" % i)
        sets.append(dict(params))
    if not sets:
        raise ValueError("the grid holds no parameter sets: a sweep over it has no back-tests")
    return sets


def parameter_names(sets):
    """Every parameter name, in the order first met."""
    names = {}
    for params in sets:
        for name in params:
            names.setdefault(name, None)
    return list(names)


def check_against_stats(names, stat_names):
    """A parameter may not share its column with a statistic."""
    clash = sorted(set(names) & set(stat_names))
    if clash:
        raise ValueError("parameter names %s are also names of statistics; rename them" % ", ".join(clash))


__all__ = ["expand_grid", "parameter_names", "check_against_stats", "RESULT_COLUMNS"]
