"""Record classes of the run state: K-data items, registration items, registries.

Items are built with keyword arguments only; attributes not given keep the
class default (None, and ``RowBegin = -1`` meaning "no rows in the fresh-bar
store"). Registries are append-only sequences looked up by (frequency code,
units per bar).
"""
from telvar.kestrum.globalvars import frequency_to_int


class _Item:
    """Keyword-only record with a fixed set of attribute names."""

    _fields = ()

    def __init__(self, *args, **kwargs):
        if args:
            raise TypeError("%s() takes keyword arguments only" % type(self).__name__)
        for key, value in kwargs.items():
            if key not in self._fields:
                raise TypeError("%s() got an unexpected keyword argument %r" % (type(self).__name__, key))
            setattr(self, key, value)

    def __repr__(self):
        shown = []
        for f in self._fields:
            v = getattr(self, f)
            if v is None:
                continue
            shape = getattr(v, "shape", None)
            shown.append("%s=%s" % (f, "<array %s>" % (shape,) if shape is not None else repr(v)))
        return "%s(%s)" % (type(self).__name__, ", ".join(shown))


class KDataItem(_Item):
    """One K matrix of a (frequency, units per bar), fetched or synthesised."""

    _fields = ("KFrequency", "KFreqNum", "Matrix", "UnfilledBarRef", "UnfilledIdx", "CurrentBar",
               "DataSource", "BaseKDataPos", "BaseBegin", "BaseEnd", "FreComplete")
    _num_attr = "KFreqNum"
    KFrequency = None
    KFreqNum = None
    Matrix = None
    UnfilledBarRef = None
    UnfilledIdx = None
    CurrentBar = None
    DataSource = None
    BaseKDataPos = None
    BaseBegin = None
    BaseEnd = None
    FreComplete = None


class AdjKDataItem(_Item):
    """Price-adjusted counterpart of a K-data item (four price rows per target)."""

    _fields = ("KFrequency", "KFreqNum", "Matrix", "AdjCalcPos", "LastSynTimeLinePos", "LastSynBaseTimeLinePos")
    _num_attr = "KFreqNum"
    KFrequency = None
    KFreqNum = None
    Matrix = None
    AdjCalcPos = None
    LastSynTimeLinePos = None
    LastSynBaseTimeLinePos = None


class RegKDataItem(_Item):
    """A registered (frequency, units per bar) and its rows in the fresh-bar store."""

    _fields = ("KFrequency", "KFreNum", "KMatrixPos", "RowBegin", "RowEnd", "BeginPos", "EndPos", "RegIdx")
    _num_attr = "KFreNum"
    KFrequency = None
    KFreNum = None
    KMatrixPos = None
    RowBegin = -1
    RowEnd = -1
    BeginPos = None
    EndPos = None
    RegIdx = None


class AdjRegKDataItem(_Item):
    """A registered adjusted (frequency, units per bar) and its rows in the adjusted store."""

    _fields = ("KFrequency", "KFreNum", "KMatrixPos", "RowBegin", "RowEnd", "LastSynBaseTimeLinePos", "RegIdx")
    _num_attr = "KFreNum"
    KFrequency = None
    KFreNum = None
    KMatrixPos = None
    RowBegin = -1
    RowEnd = -1
    LastSynBaseTimeLinePos = None
    RegIdx = None


class ItemRegistry:
    """Append-only sequence of items of one class, found by (frequency code, units per bar)."""

    item_class = _Item

    def __init__(self):
        self._items = []
        self._positions = {}

    @staticmethod
    def _key(frequency_i, freq_num):
        code = frequency_to_int(frequency_i) if isinstance(frequency_i, str) else int(frequency_i)
        return code, int(freq_num)

    def _item_key(self, item):
        return self._key(item.KFrequency, getattr(item, item._num_attr))

    def append(self, item):
        if not isinstance(item, self.item_class):
            raise TypeError("%s holds %s items, got %s" % (
                type(self).__name__, self.item_class.__name__, type(item).__name__))
        key = self._item_key(item)
        self._positions.setdefault(key, len(self._items))
        self._items.append(item)

    def find_pos(self, frequency_i, freq_num):
        """Position of the item of that frequency and unit count, or -1."""
        return self._positions.get(self._key(frequency_i, freq_num), -1)

    def get_item(self, frequency_i, freq_num):
        """The item of that frequency and unit count, or None."""
        pos = self.find_pos(frequency_i, freq_num)
        return None if pos < 0 else self._items[pos]

    def __len__(self):
        return len(self._items)

    def __getitem__(self, pos):
        if isinstance(pos, slice):
            return self._items[pos]
        return self._items[int(pos)] if isinstance(pos, float) and pos.is_integer() else self._items[pos]

    def __iter__(self):
        return iter(self._items)

    def __bool__(self):
        return bool(self._items)

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self._items)


class KDataList(ItemRegistry):
    item_class = KDataItem


class AdjKDataList(ItemRegistry):
    item_class = AdjKDataItem


class RegKDataList(ItemRegistry):
    item_class = RegKDataItem


class AdjRegKDataList(ItemRegistry):
    item_class = AdjRegKDataItem


class UserContext:
    """The object handed to user indicator functions; the runner may replace it."""

    def __init__(self):
        self._internal_bar_num = 0

    @property
    def bar_num(self):
        """The strategy bar position being computed."""
        return self._internal_bar_num


__all__ = [
    "KDataItem", "AdjKDataItem", "RegKDataItem", "AdjRegKDataItem",
    "ItemRegistry", "KDataList", "AdjKDataList", "RegKDataList", "AdjRegKDataList",
    "UserContext",
]
