"""Fakes for unit tests of the history module: a recording command channel
and a run state, patched into the module's own namespace."""
from pathlib import Path
from types import SimpleNamespace

import pytest


@pytest.fixture
def history():
    from telvar.api.history import _history

    return _history


class FakeChannel:
    """Records every host command as (name, args, kwargs) in `calls`.

    `answers[name]` is the value a command returns, or a callable that is
    called with the command's arguments (an exception instance is raised).
    Commands without an answer return None.
    """

    def __init__(self):
        self.calls = []
        self.answers = {}

    def __getattr__(self, name):
        if not name.startswith("tvSendCmd"):
            raise AttributeError(name)

        def command(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            answer = self.answers.get(name)
            if isinstance(answer, BaseException):
                raise answer
            if callable(answer):
                return answer(*args, **kwargs)
            return answer

        return command

    def names(self):
        return [name for name, _, _ in self.calls]

    def sent(self, name):
        """The (args, kwargs) of every call of one command, in order."""
        return [(args, kwargs) for n, args, kwargs in self.calls if n == name]

    def logs(self):
        return [args for args, _ in self.sent("tvSendCmdPutLog")]


class FakeSocket:
    def __init__(self, timeout):
        self.timeout = timeout
        self.history = []

    def get_timeout(self):
        return self.timeout

    def set_timeout(self, value):
        self.history.append(value)
        self.timeout = value


@pytest.fixture
def channel(monkeypatch, history):
    fake = FakeChannel()
    monkeypatch.setattr(history, "tvcmd", fake)
    return fake


@pytest.fixture
def cnt(monkeypatch, history, tmp_path):
    """A run state with a task id, a socket, an empty calendar and one cache folder
    (`mat_dir`) serving the target-information and code-list caches. The folder
    lies in the framework's cache root (``<tmp_path>/home/caches``), where the
    readers may remove files they cannot use."""
    from telvar.kestrum import sysmodel

    monkeypatch.setattr(sysmodel.env.fm, "_root", str(tmp_path / "home"))
    mat_dir = Path(sysmodel.env.fm.cache_root) / "mat"
    mat_dir.mkdir(parents=True)

    def cache_dir(name):
        assert name in ("TelvarTargetInfo", "TelvarCodeList")
        return str(mat_dir)

    vr = SimpleNamespace(
        g_TelvarModeTaskId="task-7",
        g_TelvarSocket=FakeSocket(30),
        g_TelvarTradingDays=[],
        g_TelvarTargetsInfo={},
        g_TelvarInputInfo=SimpleNamespace(TargetListDot=[]),
    )
    fm = SimpleNamespace(cache_dir=cache_dir, is_current_cache_path=lambda p: True)
    fake = SimpleNamespace(vr=vr, env=SimpleNamespace(fm=fm, confirm_store=lambda: None),
                           synthetic_k_data_rule_map=sysmodel.synthetic_k_data_rule_map,
                           calc_base_fre_complete=sysmodel.calc_base_fre_complete, mat_dir=mat_dir)
    monkeypatch.setattr(history, "cnt", fake)
    return fake
