"""Developer tools run from the repository's root (python -m tools.<name>)."""
