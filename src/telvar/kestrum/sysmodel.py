"""The framework's run state and services, bound as ``cnt`` by the modules.

- ``gv``: layout constants, frequency codes, run phases;
- ``vr``: the run state (inputs, registries, stores, caches);
- ``env``: file manager ``fm`` and K-matrix helpers;
- ``smm``: run phases;
- ``synthetic_k_data_rule_map``, ``adjust_topmost_rule_map``,
  ``calc_base_fre_complete``: frequency rules.

``reset()`` starts a new run with a clean state.
"""
from telvar.kestrum import globalvars as gv
from telvar.kestrum.environment import Environment
from telvar.kestrum.freqrules import adjust_topmost_rule_map, calc_base_fre_complete, synthetic_k_data_rule_map
from telvar.kestrum.phases import SystemModeManager
from telvar.kestrum.runstate import RunVariables

vr = RunVariables()
env = Environment(vr)
smm = SystemModeManager()


def reset(keep_connection=False):
    """Clean run state for a new run (in place: ``cnt.vr`` stays the same object).

    The file manager root is kept. With ``keep_connection`` the socket and the
    host-backed objects of the current connection are kept too.
    """
    vr.reset(keep_connection=keep_connection)
    env.reset()
    smm.reset()


new_run = reset

__all__ = [
    "gv", "vr", "env", "smm", "reset", "new_run",
    "synthetic_k_data_rule_map", "adjust_topmost_rule_map", "calc_base_fre_complete",
]
