"""Logging for the framework and warnings for strategy authors."""
import logging
import warnings

from telvar.kestrum.utils.exceptions import TelvarWarning

logger = logging.getLogger("telvar")
logger.addHandler(logging.NullHandler())  # the application decides where log lines go


def user_warning(message, *, stacklevel=2):
    """Warn the strategy author: a ``TelvarWarning`` plus a line in the ``telvar`` log."""
    message = str(message)
    logger.warning(message)
    warnings.warn(message, TelvarWarning, stacklevel=stacklevel + 1)


__all__ = ["logger", "user_warning"]
