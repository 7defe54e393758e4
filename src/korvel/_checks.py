"""Checks and conversions of the pandas inputs, done once at the edge.

Every check raises TypeError (wrong kind of object) or ValueError (wrong
content) naming the argument and the first offending date or label, so a
mistake in the data shows where it is instead of shifting trades silently.
Dates leave as int64 nanoseconds since the epoch (UTC for tz-aware indexes),
whatever unit the index had.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel._typing import NS_PER_DAY, Float64Array, Int64Array


def when(stamp: object) -> str:
    """A date as a message shows it: the day alone when it has no time of day."""
    if isinstance(stamp, pd.Timestamp):
        # A naive stamp's nanoseconds are its wall clock's: midnight is a whole number of days.
        midnight = stamp.value % NS_PER_DAY == 0 if stamp.tz is None else stamp == stamp.normalize()
        if midnight:
            return str(stamp.date()) + (f" ({stamp.tz})" if stamp.tz is not None else "")
    return str(stamp)


def frame(obj: object, name: str) -> pd.DataFrame:
    if not isinstance(obj, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame (dates x instruments), not {type(obj).__name__}")
    return obj


def date_index(index: pd.Index, name: str, *, strict: bool = True) -> pd.DatetimeIndex:
    """A DatetimeIndex without NaT, ascending (strictly unless told otherwise), in nanoseconds."""
    if not isinstance(index, pd.DatetimeIndex):
        hint = " (convert it with .to_timestamp())" if isinstance(index, pd.PeriodIndex) else ""
        raise TypeError(f"{name} must be indexed by dates (a DatetimeIndex), not {type(index).__name__}{hint}")
    if index.hasnans:
        raise ValueError(f"{name} has a missing date (NaT) at position {int(np.argmax(index.isna()))}")
    try:
        index = index.as_unit("ns")
    except (OverflowError, pd.errors.OutOfBoundsDatetime) as exc:
        raise ValueError(f"{name} has dates outside the nanosecond range (1677..2262): {exc}") from None
    ns = index.asi8
    step = np.diff(ns)
    bad = step <= 0 if strict else step < 0
    if bad.any():
        k = int(np.argmax(bad)) + 1
        what = "a duplicate date" if step[k - 1] == 0 else "dates out of order"
        raise ValueError(
            f"{name} has {what} at {when(index[k])} (position {k}); dates must be ascending"
            + (" and unique" if strict else "")
        )
    return index


def date_values(index: pd.DatetimeIndex) -> Int64Array:
    """int64 nanoseconds since the epoch (UTC) of a checked index, as a fresh C-order array."""
    return np.array(index.asi8, dtype=np.int64)


def same_timezone(tz: Any, other: pd.DatetimeIndex, name: str, reference: str) -> None:
    """Refuse mixing timezone-aware and naive dates (aware ones in other zones are the same instants)."""
    if (tz is None) != (other.tz is None):
        have = "timezone-naive" if other.tz is None else f"in timezone {other.tz}"
        want = "timezone-naive" if tz is None else f"in timezone {tz}"
        raise ValueError(
            f"{name} dates are {have} but the {reference} dates are {want}; "
            "use tz_localize / tz_convert to make them agree"
        )


def labels(columns: pd.Index, name: str, *, as_text: bool = True) -> pd.Index:
    """Unique instrument labels; with `as_text`, also unique as text (the engine matches labels as text)."""
    if isinstance(columns, pd.MultiIndex):
        raise TypeError(f"{name} has MultiIndex columns; one level of instrument labels is expected")
    absent = columns.isna()
    if absent.any():
        raise ValueError(
            f"{name} has a missing instrument label ({columns[int(np.argmax(absent))]!r}) at column "
            f"{int(np.argmax(absent))}; every instrument needs a label"
        )
    dup = columns.duplicated()
    if dup.any():
        raise ValueError(f"{name} has a duplicate instrument {columns[int(np.argmax(dup))]!r}")
    if as_text:
        text = pd.Index([str(c) for c in columns])
        dup = text.duplicated()
        if dup.any():
            raise ValueError(
                f"{name} has two instruments written {text[int(np.argmax(dup))]!r}; labels must differ as text"
            )
    return columns


def float_table(table: pd.DataFrame, name: str, order: Literal["C", "K"] = "C") -> Float64Array:
    """The values as a float64 array of its own (in C order, or the cheapest to copy with "K");
    missing values become NaN."""
    values = table.to_numpy()
    # Float64 values come only from columns of real numbers (booleans, dates, text or objects among
    # them give another dtype): the columns' dtypes need reading only otherwise.
    if values.dtype != np.float64:
        dtypes = table.dtypes
        for dtype in set(dtypes):
            if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
                label = dtypes.index[int(np.argmax(np.asarray(dtypes == dtype)))]
                raise TypeError(f"{name} column {label!r} holds {dtype} values; numbers are expected")
            if pd.api.types.is_complex_dtype(dtype):
                label = dtypes.index[int(np.argmax(np.asarray(dtypes == dtype)))]
                raise TypeError(f"{name} column {label!r} holds {dtype} values; real numbers are expected")
        values = table.to_numpy(dtype=np.float64, na_value=np.nan)
    if values.flags.owndata and (values.flags.c_contiguous or order == "K"):
        return values
    # A view of the caller's data, or not in the order asked for: copy.
    return np.array(values, dtype=np.float64, order=order)


def first_cell(mask: npt.NDArray[np.bool_]) -> tuple[int, int]:
    """(row, column) of the first True cell of a 2-D mask, in row order."""
    row, col = np.unravel_index(int(np.argmax(mask)), mask.shape)
    return int(row), int(col)


def prices(values: Float64Array, table: pd.DataFrame, name: str) -> None:
    """Prices must be positive and finite; NaN marks a missing price."""
    bad = ~((values > 0) & (values < np.inf)) & ~np.isnan(values)
    if bad.any():
        row, col = first_cell(bad)
        raise ValueError(
            f"{name} has an invalid price {float(values[row, col])!r} for {table.columns[col]!r} on "
            f"{when(table.index[row])}; prices must be positive and finite (NaN marks a missing price)"
        )


def missing(labels_: list[Hashable], name: str, where: str) -> str:
    listed = ", ".join(shown(x) for x in labels_[:5])
    more = f" and {len(labels_) - 5} more" if len(labels_) > 5 else ""
    return f"{name}: {len(labels_)} instrument{'s' if len(labels_) > 1 else ''} not in {where}: {listed}{more}"


def looks_like_weights(table: pd.DataFrame) -> bool:
    """Every known value within [-1, 1] (a table of prices hardly is)."""
    # A table of prices gives itself away in its first rows, without a pass over all of it.
    head = table.iloc[:8].to_numpy(dtype=float, na_value=np.nan)
    if (np.abs(head) > 1).any():
        return False
    values = table.to_numpy(dtype=float, na_value=np.nan)
    known = values[~np.isnan(values)]
    return bool(known.size) and bool((np.abs(known) <= 1).all())


def looks_like_prices(table: pd.DataFrame) -> bool:
    """Every known value positive, some above 1 (a table of weights hardly is)."""
    values = table.to_numpy(dtype=float, na_value=np.nan)
    known = values[~np.isnan(values)]
    return bool(known.size) and bool((known > 0).all()) and bool((known > 1).any())


def shown(value: object) -> str:
    """A label as a message shows it: NumPy scalars as the plain numbers they hold."""
    return repr(value.item() if isinstance(value, np.generic) else value)
