"""Item classes and the append-only registries."""
import numpy as np
import pytest

from telvar.kestrum.uclass import (
    AdjKDataItem,
    AdjKDataList,
    AdjRegKDataItem,
    AdjRegKDataList,
    KDataItem,
    KDataList,
    RegKDataItem,
    RegKDataList,
)


class TestItems:
    def test_keyword_construction_and_defaults(self):
        m = np.zeros((11, 3))
        item = KDataItem(KFrequency="min", KFreqNum=1, Matrix=m, DataSource=0)
        assert item.Matrix is m and item.DataSource == 0 and item.CurrentBar is None
        reg = RegKDataItem(KFrequency="day", KFreNum=1, KMatrixPos=0)
        assert reg.RowBegin == -1 and RegKDataItem.RowBegin == -1 and AdjRegKDataItem.RowBegin == -1
        reg.RegIdx = np.zeros((2, 4))
        assert RegKDataItem(KFrequency="day", KFreNum=1).RegIdx is None  # no sharing between items
        adj = AdjKDataItem(KFrequency="day", KFreqNum=1, AdjCalcPos={"A.B": [-1, 1, 1]}, LastSynTimeLinePos=3)
        assert adj.LastSynBaseTimeLinePos is None and adj.AdjCalcPos["A.B"] == [-1, 1, 1]
        assert "KFrequency='min'" in repr(item) and "<array (11, 3)>" in repr(item)

    def test_rejects_positional_and_unknown_keywords(self):
        with pytest.raises(TypeError, match="keyword"):
            KDataItem("min", 1)
        with pytest.raises(TypeError, match="KFreNum"):
            KDataItem(KFrequency="min", KFreNum=1)  # KDataItem spells it KFreqNum
        with pytest.raises(TypeError, match="KFreqNum"):
            RegKDataItem(KFrequency="min", KFreqNum=1)


class TestRegistries:
    def test_find_pos_get_item_and_indexing(self):
        reg = KDataList()
        assert len(reg) == 0 and reg.find_pos(1, 1) == -1 and not reg
        a = KDataItem(KFrequency="min", KFreqNum=1)
        b = KDataItem(KFrequency="min", KFreqNum=5)
        c = KDataItem(KFrequency="week", KFreqNum=1)
        for it in (a, b, c):
            reg.append(it)
        assert len(reg) == 3 and reg[1] is b and reg[np.int64(2)] is c and list(reg) == [a, b, c]
        assert reg.find_pos(1, 5) == 1 and reg.find_pos(3, 1) == 2 and reg.find_pos(np.int64(1), np.int64(1)) == 0
        assert reg.find_pos(1, 2) == -1 and reg.find_pos(2, 1) == -1
        assert reg.get_item(3, 1) is c and reg.get_item(4, 1) is None
        with pytest.raises(IndexError):
            reg[3]

    def test_registration_lists_use_their_spelling(self):
        regs = RegKDataList()
        regs.append(RegKDataItem(KFrequency="day", KFreNum=2, KMatrixPos=0))
        assert regs.find_pos(2, 2) == 0 and regs.get_item(2, 2).KMatrixPos == 0
        adj = AdjRegKDataList()
        adj.append(AdjRegKDataItem(KFrequency="min", KFreNum=5, KMatrixPos=1, RowBegin=0, RowEnd=8))
        assert adj.get_item(1, 5).RowEnd == 8 and adj.find_pos(1, 1) == -1
        adjk = AdjKDataList()
        adjk.append(AdjKDataItem(KFrequency="day", KFreqNum=1))
        assert adjk.find_pos(2, 1) == 0

    def test_first_item_of_a_key_wins_and_types_are_checked(self):
        reg = KDataList()
        first = KDataItem(KFrequency="day", KFreqNum=1)
        reg.append(first)
        reg.append(KDataItem(KFrequency="day", KFreqNum=1))
        assert reg.get_item(2, 1) is first and len(reg) == 2
        with pytest.raises(TypeError):
            reg.append(RegKDataItem(KFrequency="day", KFreNum=1))
        with pytest.raises(ValueError):
            reg.append(KDataItem(KFrequency="hourly", KFreqNum=1))
        assert len(reg) == 2
