"""``python -m telvar``: the command line (see telvar.cli)."""
import sys

from telvar.cli import main

if __name__ == "__main__":
    sys.exit(main())
