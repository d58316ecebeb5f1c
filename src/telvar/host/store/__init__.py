"""The host's store: a DuckDB file of market data, and the results database of back-test runs.

``schema`` and ``storeinfo`` (tables, identity, data version); ``dimensions``
and ``reads`` (instruments, calendars, sessions, bars as requests read them);
``tradingtime`` (calendars, sessions, minute slots); ``bars`` and ``daybars``
(the bar arithmetic: placing, filling, combining, adjusting); ``rule_defaults``
(trading rules where a store states none); ``fundamentals`` (the fundamental
data sets' tables); ``results_db`` (runs recorded by the host).
"""
