"""Which files telvar may delete: those that really lie in the cache root or in
the attached host's answer folder."""
import os

import pytest

from telvar.kestrum import comm
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.ownership import is_owned, owned_folders, remove_owned
from telvar.kestrum.utils.exceptions import TelvarWarning


def test_the_cache_root_and_nothing_else_without_a_host(owned_dir, tmp_path, monkeypatch):
    monkeypatch.setattr(comm, "_channel", None)
    assert owned_folders() == [os.path.realpath(cnt.env.fm.root)]
    inside = owned_dir / "deep" / "k.mat"
    assert is_owned(inside) and is_owned(str(inside))
    assert is_owned(os.path.join(cnt.env.fm.root, "k.mat"))
    assert not is_owned(cnt.env.fm.root)  # the folder itself is no file of its
    assert not is_owned(tmp_path / "k.mat")
    assert not is_owned(os.path.join(cnt.env.fm.root, "..", "k.mat"))  # a path that climbs out
    for nonsense in (None, "", 3, b"k.mat"):
        assert not remove_owned(nonsense)


def test_links_are_judged_by_where_they_lead(owned_dir, tmp_path):
    outside = tmp_path / "outside.mat"
    outside.write_bytes(b"x")
    (owned_dir / "out.mat").symlink_to(outside)
    (owned_dir / "folder").symlink_to(tmp_path, target_is_directory=True)
    assert not is_owned(owned_dir / "out.mat") and not is_owned(owned_dir / "folder" / "outside.mat")
    with pytest.warns(TelvarWarning, match="out.mat"):
        assert not remove_owned(owned_dir / "out.mat", unusable_because="damaged")
    assert not remove_owned(owned_dir / "folder" / "outside.mat")
    assert outside.exists() and os.path.islink(owned_dir / "out.mat")
    inside = owned_dir / "inside.mat"
    inside.write_bytes(b"x")
    (tmp_path / "in.mat").symlink_to(inside)  # a link from outside into the cache root
    assert is_owned(tmp_path / "in.mat")


def test_the_attached_hosts_answer_folder(connected_host, tmp_path):
    folder = comm.answer_folder()
    assert os.path.realpath(folder) in owned_folders()
    answer = os.path.join(folder, "notes.txt")
    with open(answer, "w") as f:
        f.write("damaged")
    assert is_owned(answer) and remove_owned(answer) and not os.path.exists(answer)
    comm.disconnect()
    assert not is_owned(os.path.join(folder, "k.mat"))  # no longer attached: no longer telvar's
