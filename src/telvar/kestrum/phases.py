"""Run phases (``smm``): which part of a run is executing."""
import functools

from telvar.kestrum import globalvars as gv


class SystemModeManager:
    """Holds the current run phase; ``enter_phase`` runs a function inside another one."""

    def __init__(self):
        self.phase = gv.RUMMODE_PHASE_NONE

    def reset(self):
        self.phase = gv.RUMMODE_PHASE_NONE

    @staticmethod
    def _check(phase):
        if phase not in gv.RUN_PHASES:
            raise ValueError("unknown run phase %r" % (phase,))
        return phase

    def set_phase(self, phase):
        self.phase = self._check(phase)

    def in_phase(self, phase):
        return self.phase == phase

    def enter_phase(self, phase):
        """Decorator: the wrapped function runs in ``phase``; the previous phase is restored on exit."""
        self._check(phase)

        def decorator(func):
            @functools.wraps(func)
            def wrapper(*args, **kwargs):
                previous = self.phase
                self.phase = phase
                try:
                    return func(*args, **kwargs)
                finally:
                    self.phase = previous

            return wrapper

        return decorator

    def __repr__(self):
        return "SystemModeManager(phase=%r)" % (self.phase,)


__all__ = ["SystemModeManager"]
