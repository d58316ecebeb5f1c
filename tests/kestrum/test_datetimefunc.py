"""Serial-day date conversions, checked against datetime and pandas."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

from telvar.kestrum.utils import datetimefunc as dtf


def _serial(d):
    return d.toordinal() + 366 + (d - dt.datetime.combine(d.date(), dt.time())) / dt.timedelta(days=1)


@pytest.fixture(scope="module")
def stamps():
    rng = np.random.default_rng(7)
    base = dt.datetime(2024, 1, 1)
    # random minutes over three years plus edge times of day
    minutes = rng.integers(0, 3 * 366 * 1440, size=500)
    out = [base + dt.timedelta(minutes=int(m)) for m in minutes]
    out += [dt.datetime(2025, 12, 31, 23, 59), dt.datetime(2026, 1, 1, 0, 0), dt.datetime(2024, 2, 29, 21, 0)]
    return out


class TestSerialDays:
    def test_day_scale_is_ordinal_plus_366(self):
        assert dtf.int_date_to_ordinal(20251208) == dt.date(2025, 12, 8).toordinal() + 366
        assert dtf.int_date_to_ordinal(10101) == 367  # 0001-01-01
        assert np.floor(dtf.datetime_to_mft(dt.datetime(2025, 12, 8, 23, 59))) == dtf.int_date_to_ordinal(20251208)

    def test_round_trips_against_datetime(self, stamps):
        t = np.array([_serial(s) for s in stamps])
        assert dtf.mft_to_datetime(list(t)) == stamps
        assert [dtf.mft_to_datetime(x) for x in t[:5]] == stamps[:5]
        np.testing.assert_allclose(dtf.datetime_to_mft(np.array(stamps, dtype="datetime64[ms]")), t, atol=1e-9)
        ints = dtf.mft_to_int_format(t)
        assert ints.dtype == np.int64
        assert ints.tolist() == [int(s.strftime("%Y%m%d")) for s in stamps]
        full = dtf.mft_to_int_format(t, fmt="%Y%m%d%H%M%S")
        assert full.tolist() == [int(s.strftime("%Y%m%d%H%M%S")) for s in stamps]
        np.testing.assert_array_equal(dtf.int_date_to_ordinal(ints), np.floor(t).astype(np.int64))
        assert dtf.mft_to_str_format(t[0]) == stamps[0].strftime("%Y-%m-%d %H:%M:%S")
        assert dtf.mft_to_str_format(t[:2], fmt="%H:%M") == [s.strftime("%H:%M") for s in stamps[:2]]

    def test_float_noise_rounds_to_the_intended_second(self):
        # 09:30 stored the way a float time line holds it
        t = 739959 + (9 * 60 + 30) / 1440.0 - 1e-11
        assert dtf.mft_to_datetime(t) == dt.datetime(2025, 12, 8, 9, 30)
        assert dtf.mft_to_int_format(t, fmt="%H%M%S") == 93000

    def test_calendar_fields_match_pandas(self, stamps):
        t = np.array([_serial(s) for s in stamps])
        idx = pd.DatetimeIndex(stamps)
        np.testing.assert_array_equal(dtf.utils_dt_weekday(t), idx.day_of_week)
        np.testing.assert_array_equal(dtf.utils_dt_month(t), idx.month)
        np.testing.assert_array_equal(dtf.utils_dt_year(t), idx.year)
        assert dtf.utils_dt_weekday(t[0]) == stamps[0].weekday()
        assert isinstance(dtf.utils_dt_year(t[0]), int)

    def test_other_int_formats(self):
        t = dtf.datetime_to_mft(dt.datetime(2025, 3, 4, 5, 6, 7))
        assert dtf.mft_to_int_format(t, fmt="%d%H") == 405
        assert dtf.mft_to_int_format(np.array([t]), fmt="%m%d").tolist() == [304]
        with pytest.raises(ValueError, match="integer"):
            dtf.mft_to_int_format(t, fmt="%Y-%m")

    def test_bad_values(self):
        for bad in (20250230, 20251301, 20250000, 123):
            with pytest.raises(ValueError, match=str(bad)):
                dtf.int_date_to_ordinal(bad)
        with pytest.raises(ValueError):
            dtf.int_date_to_ordinal(np.array([20250101, 20250231]))
        with pytest.raises(ValueError):
            dtf.int_date_to_ordinal(20250101.5)
        with pytest.raises(TypeError):
            dtf.int_date_to_ordinal("20250101")
        with pytest.raises(ValueError, match="NaN"):
            dtf.mft_to_int_format(np.array([739000.0, np.nan]))
        with pytest.raises(ValueError):
            dtf.mft_to_datetime(np.inf)

    def test_today(self):
        assert dtf.to_int_now_date() == int(dt.date.today().strftime("%Y%m%d"))
        assert dtf.int_date_to_mft(20250101) == float(dtf.int_date_to_ordinal(20250101))
