"""Bench stores, built once per sample generator and kept in the temporary folder, and host
answers read more than once."""
import os
import tempfile
import time
from pathlib import Path


def cached_store(name, build):
    """The store ``name``; ``build(path)`` writes it the first time (under another name, renamed when whole).

    The file name carries the generator's fingerprint, so an edited generator
    gets a new store rather than an outdated one.
    """
    from telvar.host.sample import generator_fingerprint

    path = Path(tempfile.gettempdir()) / f"telvar-bench-{os.getuid()}" / f"{name}-{generator_fingerprint()}.duckdb"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        building = path.with_name(path.name + ".building")
        started = time.perf_counter()
        build(building)
        os.replace(building, path)
        print(f"   (built the bench store in {time.perf_counter() - started:.0f} s: {path})")
    return path


def answered_again(path):
    """A new answer file in the host's answer folder with the content of the answer ``path`` (a hard link).

    A reader removes a host answer once it has read it, so a benchmark that
    hands one answer to the module many times hands it a fresh one each time.
    """
    from telvar.wire.answer_files import new_answer_path

    fresh = new_answer_path(os.path.dirname(path), "bench")
    os.link(path, fresh)
    return str(fresh)
