"""Shared fixtures: one real host per test session on the sample store.

``host`` is the running host's handle; ``connected_host`` also attaches
``telvar.kestrum.comm.tvcmd`` to it, with the framework's file root in a
temporary folder.  Tests that use them should be marked ``@pytest.mark.host``.
"""
import os
import sys
from pathlib import Path

import pytest

from attached import attached_to

# Extension modules built for the tests only (TELVAR_TEST_MODULES in
# CMakeLists.txt; `make dev` and `make test` build them) are imported as
# top-level modules from here; the installed package does not have them.
TEST_MODULE_DIR = Path(__file__).resolve().parent.parent / "build" / "test-modules"
sys.path.insert(0, str(TEST_MODULE_DIR))

# Tests compare messages with the default (Chinese) catalog; the catalog is
# chosen when the framework is first imported, so a user's setting is dropped
# before any test module imports it (test_languages sets it per subprocess).
os.environ.pop("TELVAR_LANG", None)


@pytest.fixture(scope="session", autouse=True)
def _private_telvar_root(tmp_path_factory):
    """No test writes caches into the user's real ~/.telvar."""
    from telvar.kestrum import sysmodel as cnt

    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(tmp_path_factory.mktemp("telvar-home"))
    yield
    cnt.env.fm.set_root(old_root)


@pytest.fixture(scope="session", autouse=True)
def _private_data_home(tmp_path_factory):
    """Hosts started by tests record their runs in a temporary data folder, not the user's."""
    old = os.environ.get("XDG_DATA_HOME")
    os.environ["XDG_DATA_HOME"] = str(tmp_path_factory.mktemp("data-home"))
    yield
    if old is None:
        os.environ.pop("XDG_DATA_HOME", None)
    else:
        os.environ["XDG_DATA_HOME"] = old


@pytest.fixture
def owned_dir(tmp_path):
    """A fresh folder inside the framework's cache root: readers may remove files
    there that they cannot use (unlike files in ``tmp_path``, which are not theirs)."""
    import shutil
    from pathlib import Path

    from telvar.kestrum import sysmodel as cnt

    path = Path(cnt.env.fm.cache_root) / "test-files" / tmp_path.name
    path.mkdir(parents=True)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="session")
def host():
    from telvar.host import start_host

    handle = start_host()
    yield handle
    handle.stop()


@pytest.fixture
def connected_host(host, tmp_path):
    for _ in attached_to(host, tmp_path / "telvar-root"):
        yield host


@pytest.fixture
def run_root(tmp_path):
    """The framework's file root in a temporary folder for one run; the run state is reset afterwards."""
    from telvar.kestrum import sysmodel as cnt

    old = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "root"))
    yield
    cnt.env.fm.set_root(old)
    cnt.reset()
