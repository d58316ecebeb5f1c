"""Atomic MATLAB v5 writers for the host's answers."""
from __future__ import annotations

import os
import re
import uuid
from pathlib import Path

import numpy as np

from telvar.kestrum import _matio

# A multi-target bar matrix above this many bytes is written as part files.
DEFAULT_PART_BYTES = 64 * 1024 * 1024


def save_mat(path: Path, data: dict, oned_as: str = "row") -> str:
    """Write ``data`` to ``path`` through a temporary file and a rename.

    The file is what ``scipy.io.savemat`` writes; arrays are written from
    where they lie (a C-ordered matrix or a slice is not copied first).
    """
    path = Path(path)
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        _matio.write(tmp, data, oned_as=oned_as)
        os.replace(tmp, path)
    finally:
        if tmp.exists():
            tmp.unlink()
    return str(path)


def new_path(out_dir: Path, stem: str) -> Path:
    """A fresh file name in ``out_dir``; ``stem`` (which may hold user text) cannot leave the folder."""
    safe = re.sub(r"[^0-9A-Za-z_-]", "_", stem)[:80]
    return Path(out_dir) / f"{safe}_{uuid.uuid4().hex[:12]}.mat"


def write_k_multi(out_dir: Path, stem: str, head: dict, k_array: np.ndarray, block_rows: int,
                  part_bytes: int = DEFAULT_PART_BYTES) -> str:
    """Write a multi-target bar file; large matrices go to part files named in ``FilePaths``.

    Parts split the matrix between target blocks, so each part holds whole targets.
    """
    main = new_path(out_dir, stem)
    if k_array.nbytes <= part_bytes or k_array.shape[0] <= block_rows:
        return save_mat(main, dict(head, KArray=k_array))
    bytes_per_block = max(1, k_array.shape[1] * block_rows * 8)
    blocks_per_part = max(1, part_bytes // bytes_per_block)
    rows_per_part = blocks_per_part * block_rows
    parts = []
    for k, start in enumerate(range(0, k_array.shape[0], rows_per_part)):
        p = main.with_name(f"{main.stem}_part{k + 1}.mat")
        save_mat(p, {"KArray": k_array[start:start + rows_per_part]})
        parts.append(str(p))
    return save_mat(main, dict(head, FilePaths="|".join(parts)))


def record_array(records: list[dict], names: list[str]) -> np.ndarray:
    """An (n, 1) MATLAB struct array: one element per record, one field per name."""
    arr = np.empty((len(records), 1), dtype=[(n, object) for n in names])
    for i, rec in enumerate(records):
        for n in names:
            arr[i, 0][n] = np.asarray(rec.get(n, np.zeros(0)), dtype=np.float64).reshape(1, -1) \
                if np.size(rec.get(n, [])) else np.zeros((0, 0))
    return arr
