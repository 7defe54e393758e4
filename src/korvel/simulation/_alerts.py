"""What a run did that its caller may not have meant: the texts of its `KorvelWarning`s.

Each function looks at one kind of surprise and returns its text (or None);
`backtest` warns each once per run.
"""

from __future__ import annotations

import numpy as np

from korvel import _checks as checks
from korvel._market import MarketView, dates_of
from korvel._typing import Float64Array, Int64Array
from korvel.simulation._inputs import Weights

#: A gross sum of weights above max_gross by more than this is scaled down to it.
GROSS_TOLERANCE = 1e-9


def _day(view: MarketView, ns: int) -> str:
    return checks.when(dates_of(view, np.array([ns], dtype=np.int64))[0])


def gross_scaled(weights: Weights, max_gross: float = 1.0, gross: Float64Array | None = None) -> str | None:
    """Weight rows whose gross sum exceeds `max_gross`: they are scaled down to it before the run.
    `gross`: the rows' gross sums, if already worked out."""
    if gross is None:
        gross = np.abs(weights.values).sum(axis=1)
    over = gross > max_gross + GROSS_TOLERANCE
    if not over.any():
        return None
    first, worst = int(np.argmax(over)), int(np.argmax(gross))
    count = int(np.count_nonzero(over))
    return (
        f"weights: the gross sum (sum of |weight|) exceeds max_gross={max_gross:g} on {count} "
        f"date{'s' if count > 1 else ''}, first on {checks.when(weights.dates[first])}, at most {gross[worst]:.6g} "
        f"on {checks.when(weights.dates[worst])}; such rows are scaled down to a gross sum of {max_gross:g} "
        "(weights are fractions of the portfolio; max_gross=2 runs 100% long and 100% short as given)"
    )


def ruined(view: MarketView, equity: Float64Array) -> str | None:
    """A close at a portfolio value of 0 or below: the run closed every holding on the next row."""
    at = np.flatnonzero(equity <= 0.0)
    if not at.size:
        return None
    row = int(at[0])
    return (
        f"ruin: the portfolio value fell to {float(equity[row]):.6g} at the close of "
        f"{_day(view, int(view.dates[row]))}; every holding was closed at the next row's prices (exit reason "
        "'ruin') and trading stopped there"
    )


def no_trade(weights: Weights, view: MarketView, applied: Int64Array, first_row: int) -> str:
    """Why a run left no trade record."""
    last = view.dates.shape[0] - 1
    if not (weights.values != 0).any():
        why = "every weight is 0 or NaN"
    elif first_row >= last:
        why = (
            f"every weight row is dated on or after the last market date {_day(view, int(view.dates[last]))}, and "
            "a weight row trades on the market row after its date (res.actions has the orders for the next day)"
        )
    elif not (applied >= 0).any():
        why = "no weight row was applied (check the rebalance dates)"
    else:
        why = "the weight rows applied bought nothing (no trading price, or every applied weight was 0)"
    span = f"{_day(view, int(view.dates[first_row]))} to {_day(view, int(view.dates[last]))}"
    return f"no trade at all: {why}; the equity is a flat line from {span}"


def unpriced_weights(
    weights: Weights, view: MarketView, applied: Int64Array, missing: tuple[Int64Array, Int64Array]
) -> str | None:
    """Instruments given a weight on a row where they have no trading price (not yet listed, a gap).

    `missing` holds the (rows, columns) of the missing trading prices, in row order: a few cells of
    the table, so only they are looked at.
    """
    rows, columns = missing
    # The missing cells on the rows where a weight row was applied: each such row's run of cells.
    on = np.flatnonzero(applied >= 0)
    start, stop = np.searchsorted(rows, on, side="left"), np.searchsorted(rows, on, side="right")
    length = stop - start
    picked = np.repeat(start - np.concatenate(([0], np.cumsum(length)[:-1])), length) + np.arange(length.sum())
    rows, columns = rows[picked], columns[picked]
    weight_column = np.full(view.instruments.shape[0], -1, dtype=np.int64)  # of each market column
    weight_column[weights.market_columns] = np.arange(weights.market_columns.shape[0])
    column = weight_column[columns]
    looked = column >= 0
    rows, column = rows[looked], column[looked]
    row_applied = applied[rows]
    bad = weights.values[row_applied, column] != 0
    first = np.full(weights.market_columns.shape[0], -1, dtype=np.int64)  # first such row of each weight column
    if bad.any():
        # The cells come in row order: the first occurrence of a column is its first row.
        unique, where = np.unique(column[bad], return_index=True)
        first[unique] = rows[bad][where]
    found = np.flatnonzero(first >= 0)
    if not found.size:
        return None
    found = found[np.argsort(first[found], kind="stable")]
    shown = ", ".join(f"{weights.instruments[k]!r} on {_day(view, int(view.dates[first[k]]))}" for k in found[:5])
    more = f" and {found.size - 5} more" if found.size > 5 else ""
    n = found.size
    return (
        f"weights: {n} instrument{'s get' if n > 1 else ' gets'} a weight on a trade date without a trading price "
        f"(first: {shown}{more}); such holdings are entered at no price: their trades are flagged "
        "(entry_price_missing in res.trades) and left out of the trade statistics"
    )
