"""telvar.kestrum: the framework the data modules run in.

Submodules: ``sysmodel`` (run state ``cnt``), ``comm`` (host channel),
``uclass``, ``ufuncs``, ``utils``, ``language``, ``numkern`` (C++ bar kernels),
``runner``. Nothing heavy is imported here; ``from telvar.kestrum import X``
imports submodule X on demand.
"""
