"""The names of the host's answer files.

A command that answers with bulk data writes ``<stem>_<12 hex>.mat`` into the
host's answer folder (the stem says what the file holds; user text in it is
replaced, so it cannot lead out of the folder); a large answer is split into
part files ``<stem>_<12 hex>_partN.mat`` that the main file names.  Answers
are read once: a client removes an answer file of its host's folder, with its
part files, once it has read it, and touches no other file there.
"""
from __future__ import annotations

import os
import re
import uuid
from pathlib import Path

_ANSWER = re.compile(r"[0-9A-Za-z_-]{1,80}_[0-9a-f]{12}(?:_part[0-9]+)?\.mat")


def new_answer_path(folder, stem: str) -> Path:
    """A fresh answer file name in ``folder``."""
    safe = re.sub(r"[^0-9A-Za-z_-]", "_", stem)[:80]
    return Path(folder) / f"{safe}_{uuid.uuid4().hex[:12]}.mat"


def part_path(main: Path, k: int) -> Path:
    """Part file ``k`` (from 1) of the answer file ``main``."""
    return main.with_name(f"{main.stem}_part{k}.mat")


def is_answer_name(name: str) -> bool:
    return bool(_ANSWER.fullmatch(name))


def part_paths(folder, name: str) -> list[str]:
    """The part files in ``folder`` of the answer file called ``name``."""
    prefix = name[:-len(".mat")] + "_part"
    return [e.path for e in os.scandir(folder) if e.name.startswith(prefix) and is_answer_name(e.name)]
