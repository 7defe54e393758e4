"""Annual rates as simple rates per row, computed by hand."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvel.simulation._rates import per_row_instrument_rates, per_row_rates, row_days

# Friday, Monday, Tuesday, then ten calendar days later (a Friday).
WEEKEND = pd.DatetimeIndex(["2024-01-05", "2024-01-08", "2024-01-09", "2024-01-19"]).as_unit("ns")


@pytest.mark.parametrize("as_ns", [False, True])
@pytest.mark.parametrize("day_count, basis", [("act/365", 365.0), ("act/360", 360.0)])
def test_a_row_accrues_the_previous_rows_rate_for_its_calendar_days(as_ns, day_count, basis):
    dates = WEEKEND.asi8 if as_ns else WEEKEND
    got = per_row_rates(dates, 0.05, day_count)
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, [0.0, 0.05 * 3 / basis, 0.05 * 1 / basis, 0.05 * 10 / basis])


def test_the_default_day_count_is_act_365():
    np.testing.assert_array_equal(per_row_rates(WEEKEND, 0.0365), per_row_rates(WEEKEND, 0.0365, "act/365"))
    assert per_row_rates(WEEKEND, 0.0365)[1] == pytest.approx(0.0003, rel=1e-12)


def test_a_series_of_rates_applies_from_the_row_after_its_date_and_is_forward_filled():
    rates = pd.Series(
        [0.02, np.nan, 0.04, 0.08],
        index=pd.DatetimeIndex(["2024-01-01", "2024-01-06", "2024-01-08", "2024-01-19"]),
    )
    got = per_row_rates(WEEKEND, rates)
    # Friday's row knows 0.02 (the NaN on Saturday keeps it); Monday's 0.04 first applies to Tuesday;
    # the rate given on the last date applies to no row.
    np.testing.assert_array_equal(got, [0.0, 0.02 * 3 / 365, 0.04 / 365, 0.04 * 10 / 365])


def test_no_rate_is_known_before_the_series_first_date():
    rates = pd.Series([0.05], index=pd.DatetimeIndex(["2024-01-08"]))
    np.testing.assert_array_equal(per_row_rates(WEEKEND, rates), [0.0, 0.0, 0.05 / 365, 0.05 * 10 / 365])
    empty = pd.Series([], index=pd.DatetimeIndex([]), dtype=float)
    np.testing.assert_array_equal(per_row_rates(WEEKEND, empty), np.zeros(4))


def test_negative_rates_accrue_as_given():
    assert per_row_rates(WEEKEND, -0.005)[1] == -0.005 * 3 / 365


@pytest.mark.parametrize(
    "stamps, days",
    [
        # Rows within one day accrue nothing; the row that crosses midnight accrues the night.
        (["2024-01-05 10:00", "2024-01-05 15:30", "2024-01-06 09:00"], [0.0, 0.0, 1.0]),
        # Closes at 16:00: the time of day does not shorten the weekend.
        (["2024-01-05 16:00", "2024-01-08 16:00"], [0.0, 3.0]),
    ],
)
def test_days_are_whole_calendar_days(stamps, days):
    np.testing.assert_array_equal(row_days(pd.DatetimeIndex(stamps)), days)


def test_an_aware_index_counts_days_on_its_own_wall_clock():
    # Friday 08:00 and Monday 10:00 in Tokyo are Thursday 23:00 and Monday 01:00 in UTC (four UTC days).
    tokyo = pd.DatetimeIndex(["2024-01-05 08:00", "2024-01-08 10:00"]).tz_localize("Asia/Tokyo")
    np.testing.assert_array_equal(row_days(tokyo), [0.0, 3.0])
    np.testing.assert_array_equal(row_days(tokyo.as_unit("ns").asi8), [0.0, 4.0])


@settings(max_examples=50, deadline=None)
@given(st.lists(st.integers(1, 40), min_size=1, max_size=30), st.floats(-0.2, 0.5))
def test_a_constant_rate_accrues_the_total_days_over_the_basis(steps, rate):
    dates = pd.Timestamp("2001-03-02") + pd.to_timedelta(np.concatenate(([0], np.cumsum(steps))), unit="D")
    got = per_row_rates(pd.DatetimeIndex(dates), rate, "act/360")
    assert got[0] == 0.0
    assert got.sum() == pytest.approx(rate * sum(steps) / 360, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize(
    "rate, error, match",
    [
        (5, ValueError, r"rate is an annual rate as a fraction .*did you mean 0\.05\?"),
        (1.0, ValueError, r"did you mean 0\.01\?"),
        (-1.5, ValueError, r"did you mean -0\.015\?"),
        (250.0, ValueError, r"not 250\.0$"),
        (float("nan"), ValueError, "rate must be a finite annual rate"),
        ("0.05", TypeError, "rate must be a number .* not str"),
        (True, TypeError, "not bool"),
        (pd.Series([0.01, 5.0], index=pd.DatetimeIndex(["2024-01-01", "2024-01-02"])), ValueError, "2024-01-02"),
        (pd.Series([0.01], index=["2024-01-01"]), TypeError, "rate must be indexed by dates"),
        (pd.Series(["a"], index=pd.DatetimeIndex(["2024-01-01"])), TypeError, "rate holds .* values; annual rates"),
        (pd.Series([0.01], index=pd.DatetimeIndex(["2024-01-01"]).tz_localize("UTC")), ValueError, "timezone"),
    ],
)
def test_bad_rates_are_refused_naming_the_argument(rate, error, match):
    with pytest.raises(error, match=match):
        per_row_rates(WEEKEND, rate)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        (dict(day_count="30/360"), "day_count must be 'act/365' or 'act/360', not '30/360'"),
        (dict(name="cash_rate", rate=0.05, day_count=365), "day_count must be 'act/365' or 'act/360', not 365"),
        (dict(day_count_name="rf_day_count", day_count="act/364"), "^rf_day_count must be"),
        (dict(name="cash_rate", rate=7), r"cash_rate is an annual rate .*did you mean 0\.07\?"),
    ],
)
def test_messages_name_the_caller_s_argument(kwargs, match):
    kwargs = {"rate": 0.05, **kwargs}
    with pytest.raises(ValueError, match=match):
        per_row_rates(WEEKEND, kwargs.pop("rate"), **kwargs)


def test_dates_must_be_ascending_nanoseconds():
    with pytest.raises(ValueError, match="ascending"):
        per_row_rates(WEEKEND.asi8[::-1].copy(), 0.05)
    with pytest.raises(TypeError, match="int64 array"):
        per_row_rates(WEEKEND.asi8.astype(float), 0.05)


# --------------------------------------------------------------------------- by instrument

NAMES = pd.Index(["A", "B", "C"])


def test_a_short_pays_ten_calendar_days_of_borrow_at_act_360():
    got = per_row_instrument_rates(WEEKEND, NAMES, 0.036)
    assert got.shape == (4, 3)
    np.testing.assert_array_equal(got[0], 0.0)
    np.testing.assert_array_equal(got[3], 0.036 * 10 / 360)
    np.testing.assert_array_equal(got[1], 0.036 * 3 / 360)


def test_a_series_by_instrument_falls_back_to_the_default():
    fees = pd.Series({"A": 0.02, "B": np.nan, "Z": 0.5})  # Z is not in the market: ignored
    got = per_row_instrument_rates(WEEKEND, NAMES, fees, default=0.01)
    np.testing.assert_array_equal(got[1], np.array([0.02, 0.01, 0.01]) * 3 / 360)


def test_a_table_of_fees_is_looked_up_as_of_the_previous_row():
    fees = pd.DataFrame(
        {"A": [0.02, 0.06], "B": [np.nan, 0.09]},
        index=pd.DatetimeIndex(["2024-01-06", "2024-01-08"]),
    )
    got = per_row_instrument_rates(WEEKEND, NAMES, fees, default=0.018)
    expected_annual = np.array(
        [
            [0.018, 0.018, 0.018],  # Friday: before the table's first date
            [0.06, 0.09, 0.018],  # Monday: the row of Monday
            [0.06, 0.09, 0.018],  # Tuesday: still Monday's row
        ]
    )
    np.testing.assert_array_equal(got[0], 0.0)
    np.testing.assert_array_equal(got[1:], expected_annual * np.array([3.0, 1.0, 10.0])[:, None] / 360)
    # Monday knows Saturday's row, where B has no fee: B and C (not in the table) take the default.
    saturday = per_row_instrument_rates(WEEKEND[1:3], NAMES, fees.iloc[:1], default=0.018)
    np.testing.assert_array_equal(saturday[1], np.array([0.02, 0.018, 0.018]) / 360)


def test_instrument_rates_agree_with_the_per_row_rates_for_one_number():
    got = per_row_instrument_rates(WEEKEND, NAMES, 0.03, "act/365")
    for column in got.T:
        np.testing.assert_array_equal(column, per_row_rates(WEEKEND, 0.03))


@pytest.mark.parametrize(
    "fee, kwargs, error, match",
    [
        (pd.Series({"X": 0.01}), {}, ValueError, "borrow_fee names no instrument of the market"),
        (pd.Series({"A": 3.0}), {}, ValueError, r"borrow_fee for 'A'.*did you mean 0\.03\?"),
        (0.01, dict(default=2), ValueError, r"borrow_fee_default .*did you mean 0\.02\?"),
        (0.01, dict(day_count="act/365.25"), ValueError, "^borrow_day_count must be"),
        (
            pd.DataFrame({"A": [0.5, 40.0]}, index=pd.DatetimeIndex(["2024-01-01", "2024-01-02"])),
            {},
            ValueError,
            r"borrow_fee for 'A' on 2024-01-02 .*did you mean 0\.4\?",
        ),
        (pd.DataFrame({"A": [0.5]}, index=[1]), {}, TypeError, "borrow_fee must be indexed by dates"),
        (
            pd.DataFrame({"A": [np.inf]}, index=pd.DatetimeIndex(["2024-01-01"])),
            {},
            ValueError,
            "borrow_fee for 'A' on 2024-01-01 must be a finite annual rate",
        ),
        ("1%", {}, TypeError, "borrow_fee must be a number"),
    ],
)
def test_bad_fees_are_refused_naming_the_argument(fee, kwargs, error, match):
    with pytest.raises(error, match=match):
        per_row_instrument_rates(WEEKEND, NAMES, fee, **kwargs)
