"""The per-run inputs besides the market: weights, rebalance dates and the benchmark.

Each is checked against the market it runs on and converted to what the
engine reads (float64 tables, int64 nanosecond dates, engine labels).
"""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.tseries.frequencies import to_offset

from korvel import _checks as checks
from korvel._market import MarketView, dates_of
from korvel._typing import NS_PER_DAY

#: Words accepted for the common periods, and the offset aliases they stand for.
PERIOD_WORDS = {"daily": "B", "weekly": "W-FRI", "monthly": "ME", "quarterly": "QE"}
#: Period-end aliases pandas no longer reads, and the ones that replace them.
_OLD_ALIASES = {"M": "ME", "Q": "QE", "A": "YE", "Y": "YE", "BM": "BME", "BQ": "BQE", "BA": "BYE", "BY": "BYE"}


def period_alias(text: str, name: str = "rebalance") -> str:
    """An offset alias, or the alias a period word stands for; an old period-end alias gets its new name."""
    word = PERIOD_WORDS.get(text.strip().lower())
    if word is not None:
        return word
    head, dash, tail = text.partition("-")
    if head in _OLD_ALIASES:
        raise ValueError(
            f"{name}={text!r} is not read as a period end: did you mean {_OLD_ALIASES[head] + dash + tail!r}? "
            f"(or one of {', '.join(PERIOD_WORDS)})"
        )
    return text


@dataclass(frozen=True, eq=False)
class Weights:
    """Target weights laid out for the engine."""

    values: npt.NDArray[np.float64]  # rows x weight columns, NaN read as 0
    dates: pd.DatetimeIndex  # the dates the rows were decided on, as given
    engine_dates: npt.NDArray[np.int64]  # each date moved onto the market row it was decided on
    instruments: pd.Index  # the weight columns
    market_columns: npt.NDArray[np.intp]  # market column of each weight column
    engine_labels: npt.NDArray[np.object_]


#: The precision of float64 weights (`precision` of weights given in float64).
EPS64 = float(np.finfo(np.float64).eps)


def precision(weights: pd.DataFrame) -> float:
    """The precision the weights were given in: the coarsest epsilon of their float columns (float32 is coarser),
    float64's without any.  Read from the frame's dtypes only when a comparison needs it (they cost a pass over
    the columns)."""
    # The distinct dtypes from the array of them: iterating the Series would fetch each column's one by one.
    floats = [np.dtype(d) for d in set(weights.dtypes.to_numpy().tolist()) if isinstance(d, np.dtype) and d.kind == "f"]
    return max((float(np.finfo(d).eps) for d in floats), default=EPS64)


def prepare_weights(weights: object, market: MarketView) -> Weights:
    frame = checks.frame(weights, "weights")
    index = checks.date_index(frame.index, "weights")
    checks.same_timezone(market.tz, index, "weights", "market")
    # Unique and all in the market: unique as text too, as the market's labels are.
    columns = checks.labels(frame.columns, "weights", as_text=False)
    if len(index) == 0 or len(columns) == 0:
        raise ValueError(f"weights is empty ({len(index)} dates x {len(columns)} instruments)")
    instruments = market.instruments
    if columns is instruments or (columns.dtype == instruments.dtype and columns.equals(instruments)):
        # The market's own instruments, in its order (strategies build their weights on them): no lookup.
        where = np.arange(len(columns), dtype=np.intp)
    else:
        where = instruments.get_indexer(columns)
    if (where < 0).any():
        raise ValueError(checks.missing(list(columns[where < 0]), "weights", "the market"))
    # The engine reads a weight row only when it applies it: any order will do.
    values = checks.float_table(frame, "weights", order="K")
    finite = np.isfinite(values)
    if not finite.all():
        infinite = np.isinf(values)
        if infinite.any():
            row, col = checks.first_cell(infinite)
            raise ValueError(f"weights has an infinite weight for {columns[col]!r} on {checks.when(index[row])}")
        values[~finite] = 0.0  # NaN: no position
    ns = checks.date_values(index)
    market_ns = market.dates
    if ns[0] < market_ns[0]:
        raise ValueError(
            f"weights start on {checks.when(index[0])}, before the first market date "
            f"{checks.when(dates_of(market, market.dates[:1])[0])}; a weight row is traded after the market row "
            "it was decided on"
        )
    # A weight row decided on a day without a market row (a weekend, a
    # holiday) is handed over dated at the last market row before it: the
    # engine then trades it on the same next row, and a first weight row is
    # never dropped for want of a processed row to schedule it on.
    engine_dates = market_ns[np.searchsorted(market_ns, ns, side="right") - 1]
    return Weights(values, index, engine_dates, columns, where, market.labels[where])


def rebalance_dates(rebalance: object, market: MarketView, weights: Weights) -> tuple[npt.NDArray[np.int64], str]:
    """The engine's rebalance dates (int64 ns, ascending) and a description of them.

    A date given without a time of day stands for the whole day, so that it
    falls onto that day's row whatever time the market rows carry.
    """
    if rebalance is None:
        return weights.engine_dates, "every weight date"
    if isinstance(rebalance, str):
        return _periodic(rebalance, market, weights), rebalance
    if isinstance(rebalance, (pd.Series, pd.Index, np.ndarray, list, tuple)):
        try:
            given = pd.DatetimeIndex(pd.to_datetime(list(rebalance) if isinstance(rebalance, tuple) else rebalance))
        except (TypeError, ValueError) as exc:
            raise TypeError(f"rebalance dates must be dates: {exc}") from None
        if given.hasnans:
            raise ValueError("rebalance has a missing date (NaT)")
        if len(given):
            checks.same_timezone(market.tz, given, "rebalance", "market")
        given = pd.DatetimeIndex(given.sort_values())
        return _end_of_day(given), f"{len(given)} dates"
    raise TypeError(
        f"rebalance must be None, an offset alias such as 'ME' or a list of dates, not {type(rebalance).__name__}"
    )


def _periodic(given: str, market: MarketView, weights: Weights) -> npt.NDArray[np.int64]:
    alias = period_alias(given)
    try:
        offset = to_offset(alias)
    except ValueError:
        raise ValueError(
            f"rebalance={given!r} is not a pandas offset alias (such as 'W-FRI', 'ME', 'QE') nor one of "
            f"{', '.join(PERIOD_WORDS)}"
        ) from None
    dates = dates_of(market, market.dates[-1:])
    first, last = weights.dates[0].normalize(), dates[-1].normalize()
    periods = pd.date_range(first, last + offset, freq=offset)
    kept = periods[periods <= last]
    after = periods[periods > last]
    # The period that ends right after the data ends with it when no business
    # day lies between: its rebalance is tomorrow's.
    if len(after) and len(pd.bdate_range(last + pd.Timedelta(days=1), after[0])) == 0:
        kept = pd.DatetimeIndex(kept.append(after[:1]))
    return _end_of_day(kept)


def _end_of_day(dates: pd.DatetimeIndex) -> npt.NDArray[np.int64]:
    ns = checks.date_values(dates.as_unit("ns"))
    midnight = dates == dates.normalize()
    ns[midnight] += NS_PER_DAY - 1
    return ns


def benchmark_prices(benchmark: object, market: MarketView) -> tuple[npt.NDArray[np.float64], str] | None:
    """The benchmark's level on every market date (the last known one; NaN before its first), and its name."""
    if benchmark is None:
        return None
    if isinstance(benchmark, pd.DataFrame):
        raise TypeError(
            f"benchmark must be a pandas Series of prices or an instrument of the market, not a DataFrame "
            f"({benchmark.shape[0]} rows x {benchmark.shape[1]} columns): take one column, e.g. frame[column]"
        )
    if not isinstance(benchmark, pd.Series):
        if isinstance(benchmark, Hashable) and benchmark in market.instruments:
            column = market.instruments.get_loc(benchmark)
            return np.array(market.close[:, column]), str(benchmark)
        if isinstance(benchmark, (str, int, float, np.generic)):
            raise ValueError(
                f"benchmark {checks.shown(benchmark)} is not an instrument of the market; give an instrument of "
                "the market or a pandas Series of the benchmark's prices"
            )
        raise TypeError(
            f"benchmark must be a pandas Series of prices or an instrument of the market, not a "
            f"{type(benchmark).__name__}"
        )
    index = checks.date_index(benchmark.index, "benchmark")
    checks.same_timezone(market.tz, index, "benchmark", "market")
    values = checks.float_table(benchmark.to_frame(), "benchmark")[:, 0]
    known = ~np.isnan(values)
    bad = known & ~((values > 0) & (values < np.inf))
    if bad.any():
        k = int(np.argmax(bad))
        raise ValueError(
            f"benchmark has an invalid price {float(values[k])!r} on {checks.when(index[k])}; prices must be "
            "positive and finite"
        )
    ns = index.asi8[known]
    if not ns.size:
        raise ValueError("benchmark has no prices")
    # A market row's level is the benchmark's last price since the previous market row (a price on a day
    # the market lacks counts on the next market row); NaN where it has none.
    dates = market.dates
    pos = np.searchsorted(ns, dates, side="right") - 1
    since = np.concatenate(([dates[0] - _first_gap(dates)], dates[:-1]))
    fresh = (pos >= 0) & (ns[np.maximum(pos, 0)] > since)
    level = np.where(fresh, values[known][np.maximum(pos, 0)], np.nan)
    return level, benchmark_name(benchmark)


def benchmark_name(benchmark: pd.Series) -> str:
    return str(benchmark.name) if benchmark.name is not None else "benchmark"


def _first_gap(dates: npt.NDArray[np.int64]) -> int:
    """How far before the first market row a benchmark price still counts as that row's: one row's step."""
    return int(dates[1] - dates[0]) if dates.shape[0] > 1 else NS_PER_DAY
