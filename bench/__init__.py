"""Benchmarks of telvar against pandas/numpy baselines; run with `python -m bench`.

See bench/__main__.py for how benchmark files are found and what they get.
"""
