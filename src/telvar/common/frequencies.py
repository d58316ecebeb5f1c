"""Frequency codes, fine to coarse: the one table the framework and the host read.

tick 0, min 1, day 2, week 3, month 4, year 5; the names are the text forms
requests and the framework's functions accept.
"""
FREQUENCY_NAMES = ("tick", "min", "day", "week", "month", "year")
FREQUENCY_CODES = {name: code for code, name in enumerate(FREQUENCY_NAMES)}
