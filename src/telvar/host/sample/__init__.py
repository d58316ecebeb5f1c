"""The sample store: a real exchange calendar, synthetic but plausible prices.

``build`` generates a store and keeps the cached sample (``sample_store_path``);
``catalog`` says what it holds; ``trading`` its trading rules and price limits;
``fundamentals`` its fundamental data sets, derived from its stock day bars.
"""
from .build import GENERATOR_VERSION, build_store, generator_fingerprint, sample_store_path

__all__ = ["GENERATOR_VERSION", "build_store", "generator_fingerprint", "sample_store_path"]
