"""The history module's readers check what they rely on, on real host answers
and real cache files damaged by the test: a host answer that does not fit is
a TvDataError naming the file and the variable; a cache entry that does not
fit is warned about, rebuilt from the host and rewritten, and the answer is
the one the undamaged entry gave."""
import glob
import os

import numpy as np
import pytest

from bar_files import CountingChannel
from content_damage import DamagingChannel, damage_file, damage_record_field
from telvar.kestrum import comm
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.utils.exceptions import TelvarWarning, TvDataError

pytestmark = pytest.mark.host

RB = {"Market": "SHFE", "Code": "RB0000"}
PUFA = {"Market": "SSE", "Code": "600000"}
BEGIN, END = 20251103, 20251104  # a closed period: cached


@pytest.fixture
def world(connected_host, history):
    cnt.reset(keep_connection=True)
    cnt.env.cache_enabled = True
    yield history
    cnt.reset(keep_connection=True)


def multi_bars(history):
    return history.get_k_data_multi({"targets": [RB, PUFA], "frequency": "min", "freq_num": 1,
                                     "begin_date": BEGIN, "end_date": END, "filled_up": True, "fq_type": "NA",
                                     "need_show_ui_tip": False})


READERS = {
    "multi": ("tvSendCmdGetKDataMulti", multi_bars),
    "per_target": ("tvSendCmdGetKData",
                   lambda h: h.get_k_data_independent_target([RB], "min", 1, BEGIN, END, True, "NA")),
    "last_n": ("tvSendCmdGetNKDataMulti", lambda h: h.get_k_data_n([RB, PUFA], "min", 1, 5, END, True, "NA")),
    "ticks": ("tvSendCmdGetTDPData", lambda h: h.load_tick_data_from_pro("SSE", "600000", 20251231, "NA")),
    "trading_time": ("tvSendCmdGetTradingTime", lambda h: h.get_trading_time([RB], "min", BEGIN, END)),
}

COMMON = ["text", "int8", "logical", "shape", "missing", "misnamed"]
# (reader, variable damaged, the variable the error names, damages); "KArray.Close": a field of every record
HOST_CASES = [
    ("multi", "KArray", "KArray", COMMON),
    ("multi", "TimeLine", "TimeLine", ["text", "int8", "logical", "missing", "misnamed"]),
    ("multi", "TimeLine", "DayPos", ["shape"]),  # the day positions no longer fit the time line
    ("multi", "DayPos", "DayPos", COMMON),
    ("per_target", "Close", "Close", COMMON),
    ("per_target", "Time", "Time", ["text", "int8", "logical", "missing", "misnamed"]),
    ("per_target", "BeginBar", "BeginBar", ["text", "shape", "missing", "misnamed"]),
    ("last_n", "KArray", "KArray", ["text", "shape", "missing", "misnamed"]),
    ("last_n", "KArray.Close", "KArray.Close", COMMON),
    ("last_n", "KArray.Time", "KArray.Time", ["text", "int8", "logical", "missing", "misnamed"]),
    ("ticks", "Price", "Price", COMMON),
    ("ticks", "AskPrice3", "AskPrice3", COMMON),
    ("ticks", "Time", "Time", ["text", "int8", "logical", "missing", "misnamed"]),
    ("trading_time", "Time", "Time", ["text", "int8", "logical", "missing", "misnamed"]),
    ("trading_time", "DayPos", "DayPos", COMMON),
]


def _cases():
    for reader, variable, named, damages in HOST_CASES:
        for damage in damages:
            yield pytest.param(reader, variable, named, damage, id="%s-%s-%s" % (reader, variable, damage))


@pytest.mark.parametrize("reader,variable,named,damage", list(_cases()))
def test_host_answer_that_does_not_fit_names_the_file_and_the_variable(world, monkeypatch, reader, variable,
                                                                      named, damage):
    command, read = READERS[reader]

    def damage_one(path):
        if "." in variable:
            damage_record_field(path, *variable.split("."), damage)
        else:
            damage_file(path, variable, damage)

    cnt.env.cache_enabled = False  # every read asks the host
    read(world)  # the answer as the host wrote it is read
    cnt.vr.g_TelvarTickMap.clear()  # ticks read once are kept in memory
    channel = DamagingChannel(comm.tvcmd, command, damage_one)
    monkeypatch.setattr(world, "tvcmd", channel)
    with pytest.raises(TvDataError) as caught:
        read(world)
    message = str(caught.value)
    assert any(path in message for path in channel.paths), message
    assert " %s " % named in message, message


def cache_files(folder):
    return sorted(glob.glob(os.path.join(cnt.env.fm.cache_dir(folder), "*.mat")))


def same(a, b):
    """Equal answers: arrays, dicts of arrays, lists of either (NaN equal to NaN)."""
    if isinstance(a, dict):
        assert sorted(a) == sorted(b)
        for k in a:
            same(a[k], b[k])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
    else:
        np.testing.assert_array_equal(np.asarray(a), np.asarray(b))


CACHE_READERS = {
    # reader -> (cache folder, host command, read, variable damaged, damages, record field)
    "per_target": ("TelvarHistoryDataCache", "tvSendCmdGetKData",
                   lambda h: h.get_k_data_independent_target([RB, PUFA], "min", 5, BEGIN, END, True, "NA"),
                   "k_matrix_single", ["text", "int8", "logical", "rows", "missing", "misnamed"]),
    "last_n": ("TelvarHistoryDataCache", "tvSendCmdGetNKDataMulti",
               lambda h: h.get_k_data_n([RB, PUFA], "min", 1, 5, END, True, "NA"),
               "Close", ["text", "int8", "logical", "shape", "missing", "misnamed"]),
    "target_info": ("TelvarTargetInfo", "tvSendCmdGetFutureInfo_20190920",
                    lambda h: [dict(r) for r in h.get_target_info([PUFA, RB] * 50)],
                    "cashInfo", ["text", "shape", "missing", "misnamed"]),
    "code_list": ("TelvarCodeList", "tvSendCmdGetCodeListSet",
                  lambda h: [dict(r) for r in h.get_code_list_set(["HS300"], BEGIN, END)],
                  None, [("Code", "numbers"), ("Market", "missing"), ("Date", "shape"), ("Code", "misnamed")]),
}


def _cache_cases():
    for reader, (_, _, _, variable, damages, *_) in CACHE_READERS.items():
        for damage in damages:
            var, dmg = damage if isinstance(damage, tuple) else (variable, damage)
            yield pytest.param(reader, var, dmg, id="%s-%s-%s" % (reader, var, dmg))


@pytest.mark.parametrize("reader,variable,damage", list(_cache_cases()))
def test_cache_entry_that_does_not_fit_is_rebuilt_with_a_warning(world, monkeypatch, reader, variable, damage):
    folder, command, read = CACHE_READERS[reader][:3]
    channel = CountingChannel(comm.tvcmd)
    monkeypatch.setattr(world, "tvcmd", channel)
    first = read(world)
    files = cache_files(folder)
    cached = read(world)  # what the undamaged entries give
    assert files and channel.sent.count(command) == 1
    for path in files:
        damage_file(path, variable, damage)
    with pytest.warns(TelvarWarning) as warned:
        again = read(world)
    messages = [str(w.message) for w in warned]
    assert len(messages) == len(files)
    assert all(any(p in m and " %s " % variable in m for m in messages) for p in files), messages
    same(first, again)
    assert channel.sent.count(command) == 2
    third = read(world)  # rewritten: served from the cache without a word
    same(cached, third)
    assert channel.sent.count(command) == 2
