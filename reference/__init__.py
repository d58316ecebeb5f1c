"""Plain pandas references that the tests and the benchmarks check telvar's answers against.

``bars``: combining bars (open, high and low from the traded bars only, the
filled-bar fallback) and filling them, as the host and the kernels must.
Importable from the repository's root (``pytest`` adds it to the path;
``python -m bench`` runs there).
"""
