"""Annual rates as simple rates per row: the one conversion behind cash interest, borrow fees and `stats(rf=...)`.

A row's rate is the annual rate known on the previous row, times the
calendar days from the previous row to this one, over the day count's basis:

    r[t] = annual[t - 1] * days(t - 1, t) / basis,    r[0] = 0

so a Friday-to-Monday step accrues three days and the first row accrues
nothing (nothing was held before it).  Days are whole calendar days between
the rows' dates (wall-clock dates for a timezone-aware index): rows within
one day accrue nothing, the row that crosses midnight accrues the night.

An annual rate is a number, or a pandas Series of annual rates by date: the
rate given on a date holds from that date until the next one given (missing
values are skipped, i.e. forward-filled); before its first date no rate is
known and 0 applies.  Borrow fees also come by instrument: a Series by
instrument or a DataFrame dates x instruments (looked up as of each row the
same way), where a missing value means the default fee.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping

import numpy as np
import pandas as pd

from korvel._checks import date_index, first_cell, float_table, labels, same_timezone
from korvel._typing import NS_PER_DAY, Float64Array, Int64Array

#: Day-count conventions: the days of a year each divides the calendar days by.
DAY_COUNTS: dict[str, float] = {"act/365": 365.0, "act/360": 360.0}

#: Run dates: int64 nanoseconds since the epoch, or a DatetimeIndex.
Dates = Int64Array | pd.DatetimeIndex


def annual_rate(value: object, name: str) -> float:
    """One annual rate as a float: finite and below 1 in size (a fraction: 0.05 is 5% a year)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        kind = type(value).__name__
        raise TypeError(f"{name} must be a number (an annual rate such as 0.05) or a Series, not {kind}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite annual rate, not {value!r}")
    if abs(number) >= 1:
        hint = f"; did you mean {number / 100:g}?" if abs(number) <= 100 else ""
        raise ValueError(f"{name} is an annual rate as a fraction (0.05 is 5% a year), not {value!r}{hint}")
    return number


def day_basis(day_count: object, name: str = "day_count") -> float:
    """The days of a year of a day-count convention ("act/365" or "act/360")."""
    if not isinstance(day_count, str) or day_count not in DAY_COUNTS:
        choices = " or ".join(repr(k) for k in DAY_COUNTS)
        raise ValueError(f"{name} must be {choices}, not {day_count!r}")
    return DAY_COUNTS[day_count]


def row_days(dates: Dates) -> Float64Array:
    """Calendar days from each row's previous row (0 for the first row), as float64."""
    days = np.zeros(_instants(dates).shape[0], dtype=np.float64)
    day = _day_numbers(dates)
    days[1:] = np.diff(day)
    return days


def known_rates(dates: Dates, rate: object, name: str = "rate") -> Float64Array:
    """The annual rate known on each row's date: the number itself, or the Series' newest value on or before it."""
    at = _instants(dates)
    if not isinstance(rate, pd.Series):
        return np.full(at.shape[0], annual_rate(rate, name), dtype=np.float64)
    index = _rate_index(rate.index, dates, name)
    values = _series_values(rate, name)
    known = ~np.isnan(values)
    stamps, values = index.asi8[known], values[known]
    bad = np.abs(values) >= 1
    if bad.any():
        k = int(np.argmax(bad))
        annual_rate(float(values[k]), f"{name} on {index[known][k].date()}")
    found = np.searchsorted(stamps, at, side="right") - 1
    out: Float64Array = np.where(found >= 0, values[np.maximum(found, 0)] if values.size else 0.0, 0.0)
    return out


def per_row_rates(
    dates: Dates, rate: object, day_count: object = "act/365", *, name: str = "rate", day_count_name: str = "day_count"
) -> Float64Array:
    """Simple rate of each row: the annual rate known on the previous row x its calendar days / basis.

    Parameters
    ----------
    dates : numpy.ndarray of int64 or pandas.DatetimeIndex
        The run's dates (nanoseconds since the epoch), ascending.
    rate : float or pandas.Series
        An annual rate (0.05 is 5% a year), or annual rates by date.
    day_count : {"act/365", "act/360"}
        The days of a year the calendar days are divided by.
    name, day_count_name : str
        The arguments' names, for the messages.

    Returns
    -------
    numpy.ndarray of float64
        One rate per row; the first row's is 0.
    """
    basis = day_basis(day_count, day_count_name)
    annual = known_rates(dates, rate, name)
    out = np.zeros_like(annual)
    out[1:] = annual[:-1] * row_days(dates)[1:] / basis
    return out


def per_row_instrument_rates(
    dates: Dates,
    instruments: pd.Index,
    rate: object,
    day_count: object = "act/360",
    *,
    default: object = 0.0,
    name: str = "borrow_fee",
    day_count_name: str = "borrow_day_count",
) -> Float64Array:
    """Simple rate of each row and instrument (rows x instruments), as `per_row_rates` by instrument.

    `rate` is a number (every instrument), a Series by instrument (instruments
    it does not name, and missing values, take `default`) or a DataFrame
    dates x instruments (the row on or before each date; before its first
    date, for instruments it does not name and for missing values: `default`).
    """
    basis = day_basis(day_count, day_count_name)
    fallback = annual_rate(default, f"{name}_default")
    rows, width = _instants(dates).shape[0], len(instruments)
    if isinstance(rate, pd.DataFrame):
        annual = _known_by_date(dates, instruments, rate, fallback, name)
    elif isinstance(rate, pd.Series):
        annual = np.broadcast_to(_by_instrument(instruments, rate, fallback, name), (rows, width))
    else:
        annual = np.full((rows, width), annual_rate(rate, name), dtype=np.float64)
    out = np.zeros((rows, width), dtype=np.float64)
    out[1:] = annual[:-1] * row_days(dates)[1:, None] / basis
    return out


# --------------------------------------------------------------------------- helpers


def _instants(dates: Dates) -> Int64Array:
    """The run's dates as int64 nanoseconds (UTC for an aware index), checked ascending."""
    if isinstance(dates, pd.DatetimeIndex):
        return np.asarray(date_index(dates, "dates").asi8, dtype=np.int64)
    ns = np.asarray(dates)
    if ns.ndim != 1 or ns.dtype != np.int64:
        raise TypeError(f"dates must be a DatetimeIndex or a 1-D int64 array of nanoseconds, not {ns.dtype} {ns.shape}")
    if ns.shape[0] > 1 and bool((np.diff(ns) <= 0).any()):
        raise ValueError("dates must be ascending and unique")
    return ns


def _day_numbers(dates: Dates) -> Int64Array:
    """Each date's calendar day (days since the epoch), on the wall clock of an aware index."""
    if isinstance(dates, pd.DatetimeIndex):
        index = date_index(dates, "dates")
        wall = index.tz_localize(None) if index.tz is not None else index
        return np.asarray(wall.asi8, dtype=np.int64) // NS_PER_DAY
    return _instants(dates) // NS_PER_DAY


def _rate_index(index: pd.Index, dates: Dates, name: str) -> pd.DatetimeIndex:
    checked = date_index(index, name)
    if isinstance(dates, pd.DatetimeIndex):
        same_timezone(dates.tz, checked, name, "run's")
    return checked


def _series_values(rate: pd.Series, name: str) -> Float64Array:
    if not pd.api.types.is_numeric_dtype(rate.dtype) or pd.api.types.is_bool_dtype(rate.dtype):
        raise TypeError(f"{name} holds {rate.dtype} values; annual rates (numbers) are expected")
    values = np.array(rate.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64)
    infinite = np.isinf(values)
    if infinite.any():
        raise ValueError(f"{name} has an infinite rate at {rate.index[int(np.argmax(infinite))]!r}")
    return values


def _by_instrument(instruments: pd.Index, rate: pd.Series, fallback: float, name: str) -> Float64Array:
    """One annual rate per instrument of the market, from a Series by instrument."""
    labels(rate.index, name)
    values = _series_values(rate, name)
    bad = ~np.isnan(values) & (np.abs(values) >= 1)
    if bad.any():
        annual_rate(float(values[int(np.argmax(bad))]), f"{name} for {rate.index[int(np.argmax(bad))]!r}")
    _names_some(rate.index, instruments, name)
    out = pd.Series(values, index=rate.index).reindex(instruments).to_numpy(dtype=np.float64, na_value=np.nan)
    return np.where(np.isnan(out), fallback, out)


def _known_by_date(dates: Dates, instruments: pd.Index, rate: pd.DataFrame, fallback: float, name: str) -> Float64Array:
    """The annual rate of each row and instrument, from a DataFrame dates x instruments looked up as of each row."""
    index = _rate_index(rate.index, dates, name)
    labels(rate.columns, name, as_text=False)
    values = float_table(rate, name)
    bad = ~np.isnan(values) & (np.abs(values) >= 1)
    if bad.any():
        row, col = first_cell(bad)
        annual_rate(float(values[row, col]), f"{name} for {rate.columns[col]!r} on {index[row].date()}")
    _names_some(rate.columns, instruments, name)
    columns = rate.columns.get_indexer(instruments)
    found = np.searchsorted(index.asi8, _instants(dates), side="right") - 1
    out = np.full((found.shape[0], len(instruments)), fallback, dtype=np.float64)
    rows, cols = found >= 0, columns >= 0
    if rows.any() and cols.any():
        picked = values[np.ix_(found[rows], columns[cols])]
        out[np.ix_(rows, cols)] = np.where(np.isnan(picked), fallback, picked)
    return out


def _names_some(given: pd.Index, instruments: pd.Index, name: str) -> None:
    """Labels beyond the market's are fine (a fee table covers more names); none of the market's is a mistake."""
    if len(given) and not given.isin(instruments).any():
        shown = ", ".join(repr(x) for x in given[:3]) + (", ..." if len(given) > 3 else "")
        raise ValueError(f"{name} names no instrument of the market (it has {shown})")


def run_risk_free(rules: object) -> tuple[object, object]:
    """The risk-free rate `stats()` takes by default, with its day count: the cash rate and day count of a
    run's rules (or of a mapping of rules), 0 and act/365 where they are not given."""
    if not isinstance(rules, Mapping):
        rules = {name: getattr(rules, name) for name in ("cash_rate", "day_count") if hasattr(rules, name)}
    return rules.get("cash_rate", 0.0), rules.get("day_count", "act/365")


def mean_annual_rate(rate: object, per_row: Float64Array, dates: Dates, day_count: object) -> float:
    """The annual rate `per_row` stands for: the rate itself when one number, else the average over the
    calendar days (NaN when the rows span no day)."""
    if not isinstance(rate, pd.Series):
        return annual_rate(rate, "rate")
    days = float(row_days(dates).sum())
    return float(per_row.sum()) * day_basis(day_count) / days if days > 0 else math.nan
