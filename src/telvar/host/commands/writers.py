"""Atomic MATLAB v5 writers for the host's answers.

Answer files are named as ``telvar.wire.answer_files`` says; they are written
by the framework's atomic writer (``telvar.kestrum.utils.atomicmat``: a
temporary file in the answer folder, then a rename).
"""
from __future__ import annotations

from pathlib import Path

import numpy as np

from telvar.kestrum.utils.atomicmat import write_mat_atomic
from telvar.wire.answer_files import new_answer_path, part_path

# A multi-target bar matrix above this many bytes is written as part files.
DEFAULT_PART_BYTES = 64 * 1024 * 1024


def save_mat(path: Path, data: dict, oned_as: str = "row") -> str:
    """Write ``data`` to ``path`` through a temporary file and a rename.

    The file is what ``scipy.io.savemat`` writes; arrays are written from
    where they lie (a C-ordered matrix or a slice is not copied first). An
    answer is read within seconds and worthless after a crash, so it is not
    synced to disk (the framework's caches are).
    """
    return str(write_mat_atomic(path, data, oned_as=oned_as, sync=False))


def new_path(out_dir: Path, stem: str) -> Path:
    """A fresh answer file name in ``out_dir``; ``stem`` (which may hold user text) cannot leave the folder."""
    return new_answer_path(out_dir, stem)


def save_parts(main: Path, name: str, pieces, written=None) -> list[str]:
    """Write each of ``pieces`` as variable ``name`` of part file 1, 2, ... of the answer ``main``;
    ``written(path)`` is told of each part as soon as it is written."""
    paths = []
    for k, piece in enumerate(pieces, 1):
        paths.append(save_mat(part_path(main, k), {name: piece}))
        if written is not None:
            written(paths[-1])
    return paths


def write_k_multi(out_dir: Path, stem: str, head: dict, k_array: np.ndarray, block_rows: int,
                  part_bytes: int = DEFAULT_PART_BYTES, written=None) -> str:
    """Write a multi-target bar file; large matrices go to part files named in ``FilePaths``.

    Parts split the matrix between target blocks, so each part holds whole targets; ``written`` as
    for ``save_parts``.
    """
    main = new_path(out_dir, stem)
    if k_array.nbytes <= part_bytes or k_array.shape[0] <= block_rows:
        return save_mat(main, dict(head, KArray=k_array))
    bytes_per_block = max(1, k_array.shape[1] * block_rows * 8)
    blocks_per_part = max(1, part_bytes // bytes_per_block)
    rows_per_part = blocks_per_part * block_rows
    parts = save_parts(main, "KArray", (k_array[start:start + rows_per_part]
                                        for start in range(0, k_array.shape[0], rows_per_part)), written)
    return save_mat(main, dict(head, FilePaths="|".join(parts)))


def record_array(records: list[dict], names: list[str]) -> np.ndarray:
    """An (n, 1) MATLAB struct array: one element per record, one field per name."""
    arr = np.empty((len(records), 1), dtype=[(n, object) for n in names])
    for i, rec in enumerate(records):
        for n in names:
            arr[i, 0][n] = np.asarray(rec.get(n, np.zeros(0)), dtype=np.float64).reshape(1, -1) \
                if np.size(rec.get(n, [])) else np.zeros((0, 0))
    return arr
