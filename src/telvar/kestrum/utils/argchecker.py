"""Declarative argument rules.

    @apply_rule(verify_that("target_list").is_instance_of(list, tuple),
                verify_that("begin_date").is_valid_date(allow_empty_str=True))
    def query(target_list, begin_date=""): ...

A rule names one argument and lists the checks it must pass. ``apply_rule``
checks the arguments of every call before the function runs: a value of the
wrong type raises TypeError, a malformed date raises ValueError; both name the
argument and the rule. Arguments the caller leaves at their defaults are not
checked.
"""
import datetime as _dt
import functools
import inspect
import re

import numpy as np

from telvar.common.timeconv import date_to_int

_DATE_TEXT = re.compile(r"^(\d{4})[-/]?(\d{2})[-/]?(\d{2})$")


def _type_names(types):
    return " or ".join(t.__name__ for t in types)


def parse_date(value, name="date", allow_empty_str=False):
    """Return ``value`` as an integer date YYYYMMDD.

    Accepts integers 20251208, texts "20251208" / "2025-12-08" / "2025/12/08",
    ``date``/``datetime``/``Timestamp`` and ``datetime64``; the empty string
    gives None when ``allow_empty_str``. Raises TypeError for other types and
    ValueError for a value that is not a calendar date.
    """
    from telvar.kestrum.language import text

    if isinstance(value, _dt.date):
        return date_to_int(value)
    if isinstance(value, np.datetime64):
        d = value.astype("datetime64[D]").item()
        if d is None:
            raise ValueError(text.ERROR_ARG_DATE.format(ARG=name, VALUE=value))
        return date_to_int(d)
    if isinstance(value, str):
        if value == "" and allow_empty_str:
            return None
        m = _DATE_TEXT.match(value.strip())
        if not m:
            raise ValueError(text.ERROR_ARG_DATE.format(ARG=name, VALUE=value))
        y, mo, d = (int(g) for g in m.groups())
    elif isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        y, mo, d = int(value) // 10000, int(value) // 100 % 100, int(value) % 100
    else:
        raise TypeError(text.ERROR_ARG_DATE_TYPE.format(ARG=name, ACTUAL=type(value).__name__))
    try:
        _dt.date(y, mo, d)
    except ValueError:
        raise ValueError(text.ERROR_ARG_DATE.format(ARG=name, VALUE=value)) from None
    return y * 10000 + mo * 100 + d


class Rule:
    """The checks one argument must pass; built with ``verify_that(name)``."""

    def __init__(self, name):
        if not isinstance(name, str) or not name:
            raise TypeError("verify_that() needs the argument name as a non-empty string")
        self.name = name
        self._checks = []

    def is_instance_of(self, *types):
        if not types or not all(isinstance(t, type) for t in types):
            raise TypeError("is_instance_of() needs one or more types")

        def check(value):
            if not isinstance(value, types):
                from telvar.kestrum.language import text

                raise TypeError(
                    text.ERROR_ARG_TYPE.format(ARG=self.name, EXPECTED=_type_names(types), ACTUAL=type(value).__name__)
                )

        self._checks.append(check)
        return self

    def is_valid_date(self, allow_empty_str=False):
        def check(value):
            parse_date(value, self.name, allow_empty_str=allow_empty_str)

        self._checks.append(check)
        return self

    def check(self, value):
        for c in self._checks:
            c(value)

    __call__ = check

    def __repr__(self):
        return "verify_that(%r) with %d check(s)" % (self.name, len(self._checks))


def verify_that(name):
    """Start a rule for the argument called ``name``."""
    return Rule(name)


def _parameter_names(func, rules):
    """Positional parameter names of ``func``; the rules' order if the signature is unknown."""
    try:
        params = inspect.signature(func).parameters.values()
    except (TypeError, ValueError):
        return [r.name for r in rules]
    names = [p.name for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return names or [r.name for r in rules]


def apply_rule(*rules):
    """Decorator checking each rule's argument on every call (positional or keyword)."""
    for r in rules:
        if not isinstance(r, Rule):
            raise TypeError("apply_rule() takes rules made by verify_that(), got %r" % (r,))

    def decorator(func):
        names = _parameter_names(func, rules)

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            given = dict(zip(names, args))
            for r in rules:
                if r.name in kwargs:
                    r.check(kwargs[r.name])
                elif r.name in given:
                    r.check(given[r.name])
            return func(*args, **kwargs)

        wrapper.rules = rules
        return wrapper

    return decorator


__all__ = ["apply_rule", "verify_that", "Rule", "parse_date"]
