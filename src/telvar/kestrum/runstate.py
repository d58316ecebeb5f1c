"""The run state of a strategy (``cnt.vr``): run inputs, registries, stores, caches.

One ``RunVariables`` object lives for the process; ``reset()`` gives it the
clean state of a new run in place, so every holder of a reference sees it.
"""
import numpy as np

from telvar.kestrum import globalvars as gv
from telvar.kestrum.uclass import AdjKDataList, AdjRegKDataList, KDataList, RegKDataList, UserContext
from telvar.kestrum.ufuncs import todotmc as _dotted
from telvar.kestrum.utils.utilcls import OrderedDict


class InputInfo:
    """Run inputs of the strategy (``cnt.vr.g_TelvarInputInfo``).

    ``TargetListDot`` follows ``TargetList``; ``KFrequency`` (name) and
    ``KFrequencyI`` (code) follow each other.
    """

    def __init__(self, targets=(), begin_date=0, end_date=0, frequency="min", freq_num=1, fq="NA",
                 account_names=None):
        self.TargetList = list(targets)
        self.BeginDate = begin_date
        self.EndDate = end_date
        self.KFrequency = frequency
        self.KFreNum = freq_num
        self.FQ = fq
        self.AccountNameList = [] if account_names is None else list(account_names)
        self.FactorList = []
        self.RefreshKDataIdx = -1

    @property
    def TargetList(self):
        return self._targets

    @TargetList.setter
    def TargetList(self, targets):
        targets = list(targets)
        dotted = [_dotted(t) for t in targets]
        self._targets, self._targets_dot, self._dot_len = targets, dotted, len(targets)

    @property
    def TargetListDot(self):
        """The targets as dotted upper-case keys "MARKET.CODE", in target-index order."""
        if self._dot_len != len(self._targets):  # the list grew or shrank in place
            self._targets_dot = [_dotted(t) for t in self._targets]
            self._dot_len = len(self._targets)
        return self._targets_dot

    @property
    def KFrequency(self):
        return gv.int_to_frequency(self._freq_i)

    @KFrequency.setter
    def KFrequency(self, frequency):
        self._freq_i = gv.frequency_to_int(frequency)

    @property
    def KFrequencyI(self):
        return self._freq_i

    @KFrequencyI.setter
    def KFrequencyI(self, frequency_i):
        gv.int_to_frequency(frequency_i)
        self._freq_i = int(frequency_i)

    @property
    def KFreqNum(self):
        """Alias of ``KFreNum``."""
        return self.KFreNum

    @KFreqNum.setter
    def KFreqNum(self, value):
        self.KFreNum = value

    def same_freq(self, frequency_i, freq_num):
        """True when (frequency_i, freq_num) is the strategy's own bar frequency and size."""
        if isinstance(frequency_i, str):
            frequency_i = gv.frequency_to_int(frequency_i)
        return int(frequency_i) == self._freq_i and int(freq_num) == int(self.KFreNum)

    def __repr__(self):
        return ("InputInfo(targets=%d, %s..%s, %d%s, FQ=%r)"
                % (len(self._targets), self.BeginDate, self.EndDate, self.KFreNum, self.KFrequency, self.FQ))


class TelvarCache:
    """Time lines kept for the window readers (``cnt.vr.g_TelvarCache``)."""

    def __init__(self):
        self._k_data_time_lines = {}
        self.dvf_tl = np.array([], dtype=np.float64)

    def set_history_k_data_time_line_cache(self, time_line, pos):
        """Keep the time line of the K-data item at registry position ``pos``."""
        self._k_data_time_lines[int(pos)] = np.array(time_line, dtype=np.float64).ravel()

    def get_history_k_data_time_line_cache(self, pos):
        """The time line kept for registry position ``pos`` (KeyError if none was kept)."""
        try:
            return self._k_data_time_lines[int(pos)]
        except KeyError:
            raise KeyError("no time line cached for K-data position %r" % (pos,)) from None

    def set_dvf_time_line_cache(self, time_line):
        """Keep the time line of the fresh-bar store (read back as ``dvf_tl``)."""
        self.dvf_tl = np.array(time_line, dtype=np.float64).ravel()


# attributes installed by the command channel when it connects
CONNECTION_ATTRIBUTES = ("g_TelvarSocket", "g_TelvarMainContracts", "g_TelvarInstrument")


class RunVariables:
    """``cnt.vr``: everything the modules read and write during a run."""

    def __init__(self):
        self.reset()

    def reset(self, keep_connection=False):
        """Give this object the clean state of a new run.

        With ``keep_connection`` the socket and the host-backed objects stay.
        """
        kept = {k: self.__dict__.get(k) for k in CONNECTION_ATTRIBUTES} if keep_connection else {}
        self.__dict__.clear()
        # run inputs
        self.g_TelvarInputInfo = InputInfo()
        self.g_TelvarModeTaskId = 0
        self.g_TelvarSimCurBarFresh = 0
        # the newest bar position reads may see: the current bar while the
        # runner calls on_bar, -1 (no limit) otherwise
        self.g_TelvarReadLimit = -1
        self.g_TelvarAppendFreshPosition = -1
        self.g_TelvarUserContext = UserContext()
        # registries (append-only)
        self.g_TelvarKDataList = KDataList()
        self.g_TelvarKDataList_Adj = AdjKDataList()
        self.g_TelvarRegKDataInfo = RegKDataList()
        self.g_TelvarRegKDataInfo_Adj = AdjRegKDataList()
        # stores, one column per strategy bar position; row 0 of the fresh-bar store is its time row
        self.g_TelvarDataValueFresh = np.empty((1, 0), dtype=np.float64)
        self.g_TelvarDataValueFresh_Adj = np.array([], dtype=np.float64)
        self.g_TelvarDataValueFreshUserI = np.array([], dtype=np.float64)
        self.g_TelvarDataValueFreshUserD = np.array([], dtype=np.float64)
        self.g_TelvarFactorValueDict = {}
        # {frequency code: {target key: (divisor, dividend)}}: the roll factors a later chunk of a chunked
        # run starts its adjusted base from (see telvar.run.chunk_state)
        self.g_TelvarAdjOrigin = {}
        self.g_TelvarCache = TelvarCache()
        self.drop_store_caches()
        # host connection (installed by telvar.kestrum.comm.connect)
        for name in CONNECTION_ATTRIBUTES:
            setattr(self, name, kept.get(name))

    def drop_store_caches(self):
        """Empty the process-wide caches of the history queries: they hold one store's data."""
        self.g_TelvarTradingDays = np.array([], dtype=np.int64)
        self.g_TelvarTickMap = {}
        self.g_TelvarTargetsInfo = OrderedDict()

    def set_strategy_time_line(self, time_line):
        """Start the fresh-bar store with the strategy's bar times as its time row.

        Only before anything was registered: registrations own rows of the store.
        """
        if len(self.g_TelvarRegKDataInfo) or np.asarray(self.g_TelvarDataValueFresh).shape[0] > 1:
            raise RuntimeError("the fresh-bar store already holds registrations; reset the run first")
        times = np.array(time_line, dtype=np.float64).ravel()
        if times.size and not (np.all(np.isfinite(times)) and np.all(np.diff(times) > 0)):
            raise ValueError("time_line must hold finite, strictly increasing bar times")
        self.g_TelvarDataValueFresh = times.reshape(1, -1)
        self.g_TelvarCache.set_dvf_time_line_cache(times)

    def __repr__(self):
        return "RunVariables(%r, %d K-data items, %d registrations)" % (
            self.g_TelvarInputInfo, len(self.g_TelvarKDataList), len(self.g_TelvarRegKDataInfo))


__all__ = ["InputInfo", "TelvarCache", "RunVariables", "CONNECTION_ATTRIBUTES"]
