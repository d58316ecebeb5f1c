"""What the host and its clients agree on, imported by both sides.

``frames``: length-prefixed JSON frames, their limits, host addresses and a
ping; ``tokens``: the tokens of TCP hosts and where they are kept;
``answer_files``: how the host names the files it answers with, so a client
knows which it may remove once read.
"""
