"""Readers delete only telvar's own files. A file a reader cannot use is removed
when it lies in the framework's cache root or in the attached host's answer
folder; anywhere else (a path a host answered, a part file a bar file names, a
cache folder of the caller's choosing) it is reported and left alone, and a
symbolic link inside those folders does not lead a reader out of them."""
import os
import warnings
from pathlib import Path

import numpy as np
import pytest
import scipy.io

from telvar.kestrum import comm
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.ufuncs import clear_mat_include_zero_date, load_mat_cache
from telvar.kestrum.utils.exceptions import TelvarWarning
from telvar.kestrum.utils.utilfunc import check_expired_file

pytestmark = pytest.mark.host

RB = {"Market": "SHFE", "Code": "RB0000"}
BEGIN, END = 20251103, 20251104


class Answering:
    """A channel whose commands all answer ``path`` (a list of it where the host answers lists)."""

    def __init__(self, path):
        self.path = path

    def __getattr__(self, name):
        return lambda *args, **kwargs: [self.path] if name == "tvSendCmdGetKData" else self.path


def _main_naming(path, folder):
    main = folder / "main.mat"
    scipy.io.savemat(str(main), {"TimeLine": np.arange(3.0) + 739900, "DayPos": np.arange(1.0, 4.0),
                                 "TradeFreshPos": 2.0, "FilePaths": path})
    return str(main)


# reader -> how it is made to read ``path`` (history module, folder for scratch files)
READERS = {
    "bar_file": lambda h, p, d: h.load_k_data_from_local(p),
    "part_file": lambda h, p, d: h.load_mat_from_split_file([p]),
    "part_named_by_a_bar_file": lambda h, p, d: h.load_k_data_from_local(_main_naming(p, d)),
    "multi_target_bars": lambda h, p, d: h.get_k_data_multi(
        {"targets": [RB], "frequency": "min", "freq_num": 1, "begin_date": BEGIN, "end_date": END,
         "filled_up": True, "fq_type": "NA", "need_show_ui_tip": False}),
    "per_target_bars": lambda h, p, d: h.get_k_data_independent_target([RB], "min", 1, BEGIN, END, True, "NA"),
    "last_n_bars": lambda h, p, d: h.get_k_data_n([RB], "min", 1, 5, END, True, "NA"),
    "ticks": lambda h, p, d: h.load_tick_data_from_pro("SHFE", "RB0000", 20251231, "NA"),
    "trading_time": lambda h, p, d: h.get_trading_time([RB], "min", BEGIN, END),
    "cache_entry": lambda h, p, d: load_mat_cache(os.path.dirname(p), os.path.basename(p)[:-len(".mat")]),
    "expired_cache": lambda h, p, d: check_expired_file(p, seconds=60, rm_if_expired=True),
    "host_file_cleanup": lambda h, p, d: clear_mat_include_zero_date(p, 0),
}
# readers that say so when they leave a file they could not read
REPORTING = set(READERS) - {"expired_cache", "host_file_cleanup"}


def damaged_mat(path):
    scipy.io.savemat(str(path), {"KArray": np.ones((7, 20)), "TimeLine": np.arange(20.0)})
    path.write_bytes(path.read_bytes()[:150])
    return path


def text_file(path):
    path.write_text("a user's notes\n" * 20)
    return path


@pytest.fixture
def folders(connected_host, tmp_path):
    cnt.reset(keep_connection=True)
    cnt.env.cache_enabled = True
    answers = Path(comm.answer_folder())
    cache = Path(cnt.env.fm.cache_dir("readers-test"))  # in the cache root, in the current store's scope
    outside = tmp_path / "outside"
    outside.mkdir()
    yield answers, cache, outside
    for left in ("elsewhere", "k.mat"):  # the host's folder outlives the test
        if os.path.lexists(answers / left):
            os.remove(answers / left)
    cnt.reset(keep_connection=True)


def read(history, reader, path, scratch, monkeypatch):
    """Run the reader on ``path``; returns the warnings it gave (its errors are expected)."""
    monkeypatch.setattr(history, "tvcmd", Answering(str(path)))
    two_days_ago = os.path.getmtime(path) - 2 * 86400  # expired, for the expiry reader
    os.utime(path, (two_days_ago, two_days_ago), follow_symlinks=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            READERS[reader](history, str(path), scratch)
        except Exception:
            pass  # most readers raise on a file they cannot read
    return [str(w.message) for w in caught if issubclass(w.category, TelvarWarning)]


def decoys(answers, cache, outside):
    """(path handed to the reader, the file that must survive) for every kind of decoy."""
    mat = damaged_mat(outside / "k.mat")
    notes = text_file(outside / "notes.txt")
    link_in_cache = cache / "link.mat"
    link_in_cache.symlink_to(damaged_mat(outside / "linked.mat"))
    linked_folder = answers / "elsewhere"
    linked_folder.symlink_to(outside, target_is_directory=True)
    return {
        "damaged_mat": (mat, mat),
        "text_file": (notes, notes),
        "link_out_of_the_cache_root": (link_in_cache, outside / "linked.mat"),
        "folder_link_out_of_the_answer_folder": (linked_folder / "k.mat", mat),
    }


@pytest.mark.parametrize("reader", sorted(READERS))
def test_only_damaged_files_in_telvars_folders_are_deleted(history, folders, monkeypatch, tmp_path, reader):
    answers, cache, outside = folders
    for kind, (given, target) in decoys(answers, cache, outside).items():
        before = target.read_bytes()
        warned = read(history, reader, given, tmp_path, monkeypatch)
        assert target.exists() and target.read_bytes() == before, (kind, reader)
        assert os.path.lexists(given), (kind, reader)
        reads_it = reader != "cache_entry" or given.suffix == ".mat"  # a cache entry is <key>.mat
        if reader in REPORTING and reads_it:
            assert any(str(given) in m for m in warned), (kind, reader, warned)
    for folder in (cache, answers):
        path = damaged_mat(folder / "k.mat")
        read(history, reader, path, tmp_path, monkeypatch)
        assert not os.path.lexists(path), (folder, reader)
