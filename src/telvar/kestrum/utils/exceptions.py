"""Exception and warning classes of the framework."""


class TvDataError(Exception):
    """Data came back incomplete or inconsistent (e.g. fewer targets than requested)."""


class UnExpectError(Exception):
    """A result had a shape or form the framework cannot use."""


class TvReturnError(Exception):
    """The host answered a command with an error."""


class DataLoadError(Exception):
    """Data could not be prepared or a data file could not be read."""


class DeprecatedWarning(DeprecationWarning):
    """A deprecated framework feature was used."""


class TelvarWarning(UserWarning):
    """A warning meant for the strategy author."""


__all__ = [
    "TvDataError",
    "UnExpectError",
    "TvReturnError",
    "DataLoadError",
    "DeprecatedWarning",
    "TelvarWarning",
]
