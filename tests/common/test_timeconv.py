"""The time conversions the host and the framework share, checked against datetime."""
import datetime as dt

import numpy as np
import pytest

from telvar.common import timeconv as tc
from telvar.kestrum.utils import datetimefunc as dtf

# every day of two centuries: leap years, the non-leap 1900 and 2100, month ends
DAYS = [dt.date(1899, 12, 1) + dt.timedelta(days=k) for k in range(0, 73200, 7)] + \
       [dt.date(1900, 2, 28), dt.date(1900, 3, 1), dt.date(2000, 2, 29), dt.date(2100, 2, 28), dt.date(2100, 3, 1)]
INTS = np.array([d.year * 10000 + d.month * 100 + d.day for d in DAYS])
EPOCH = np.array([(d - dt.date(1970, 1, 1)).days for d in DAYS])


def test_dates_and_epoch_days_agree_with_datetime():
    assert tc.EPOCH_SERIAL_DAY == dt.date(1970, 1, 1).toordinal() + 366
    np.testing.assert_array_equal(tc.int_date_to_epoch_day(INTS), EPOCH)
    np.testing.assert_array_equal(tc.epoch_day_to_int_date(EPOCH), INTS)
    np.testing.assert_array_equal(tc.epoch_day_weekday(EPOCH), [d.weekday() for d in DAYS])
    np.testing.assert_array_equal(tc.int_date_to_datenum(INTS), [d.toordinal() + 366.0 for d in DAYS])
    assert tc.int_date_to_datenum(20000229) == 730545.0  # MATLAB's datenum(2000, 2, 29)
    assert [tc.date_to_int(tc.int_to_date(i)) for i in INTS[:50]] == INTS[:50].tolist()


def test_the_hosts_minutes_are_the_frameworks_serial_days():
    stamps = [dt.datetime(2025, 9, 1, 9, 31), dt.datetime(2025, 12, 31, 23, 59), dt.datetime(2024, 2, 29, 21, 0),
              dt.datetime(1969, 12, 31, 0, 1)]
    minutes = np.array([(s - dt.datetime(1970, 1, 1)) // dt.timedelta(minutes=1) for s in stamps])
    t = tc.minutes_to_datenum(minutes)
    assert dtf.mft_to_datetime(t) == stamps
    np.testing.assert_array_equal(tc.datenum_to_minutes(dtf.datetime_to_mft(stamps)), minutes)
    np.testing.assert_array_equal(tc.seconds_to_datenum(minutes * 60), t)


def test_the_framework_refuses_a_day_past_its_months_end():
    ends = {1: 31, 2: 28, 3: 31, 4: 30, 5: 31, 6: 30, 7: 31, 8: 31, 9: 30, 10: 31, 11: 30, 12: 31}
    for month, last in ends.items():
        assert dtf.int_date_to_ordinal(2025_00_00 + month * 100 + last) == dt.date(2025, month, last).toordinal() + 366
        with pytest.raises(ValueError, match=str(2025_00_00 + month * 100 + last + 1)):
            dtf.int_date_to_ordinal(2025_00_00 + month * 100 + last + 1)
    assert dtf.int_date_to_ordinal(20240229) == dt.date(2024, 2, 29).toordinal() + 366
    with pytest.raises(ValueError, match="21000229"):
        dtf.int_date_to_ordinal(np.array([20240229, 21000229]))
