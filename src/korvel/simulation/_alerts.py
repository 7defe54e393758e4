"""What a run did that its caller may not have meant: the texts of its `KorvelWarning`s.

Each function looks at one kind of surprise and returns its text (or None);
`backtest` warns each once per run.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel import _checks as checks
from korvel._market import MarketView, dates_of
from korvel._typing import Float64Array, Int64Array
from korvel.results._records import Records
from korvel.simulation._inputs import EPS64, Weights
from korvel.simulation._rules import Rules

#: A gross sum of weights above max_gross by more than this is scaled down to it.
GROSS_TOLERANCE = 1e-9


def _day(view: MarketView, ns: int) -> str:
    return checks.when(dates_of(view, np.array([ns], dtype=np.int64))[0])


def gross_scaled(
    weights: Weights,
    max_gross: float = 1.0,
    gross: Float64Array | None = None,
    precision: Callable[[], float] | None = None,
) -> str | None:
    """Weight rows whose gross sum exceeds `max_gross`: they are scaled down to it before the run.
    `gross`: the rows' gross sums, if already worked out.

    Compared in the precision the weights were given in (`precision()`, float64's when None), asked only
    when some row is above by more than `GROSS_TOLERANCE`: float32 weights that sum to 1 are not "above 1".
    """
    if gross is None:
        gross = np.abs(weights.values).sum(axis=1)
    over = gross > max_gross + GROSS_TOLERANCE
    if not over.any():
        return None  # nor above by any larger tolerance
    eps = precision() if precision is not None else EPS64
    tolerance = max(GROSS_TOLERANCE, eps * max(weights.values.shape[1], 1))
    if tolerance > GROSS_TOLERANCE:
        over = gross > max_gross + tolerance
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
    if equity.size and np.minimum.reduce(equity) > 0.0:  # the usual run: no close at 0 or below
        return None
    at = (equity <= 0.0).nonzero()[0]
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
    # The missing cells on the rows where a weight row was applied: each such row's run of cells.  (The
    # arrays' own methods: NumPy's functions of the same names add a Python layer to each call.)
    on = (applied >= 0).nonzero()[0]
    start, stop = rows.searchsorted(on, side="left"), rows.searchsorted(on, side="right")
    length = stop - start
    picked = (start - np.concatenate(([0], length.cumsum()[:-1]))).repeat(length) + np.arange(np.add.reduce(length))
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
    found = (first >= 0).nonzero()[0]
    if not found.size:
        return None
    found = found[first[found].argsort(kind="stable")]
    listed = found[:5].tolist()
    days = dates_of(view, view.dates[first[listed]])  # the dates shown, made at once
    shown = ", ".join(f"{weights.instruments[k]!r} on {checks.when(day)}" for k, day in zip(listed, days))
    more = f" and {found.size - 5} more" if found.size > 5 else ""
    n = found.size
    return (
        f"weights: {n} instrument{'s get' if n > 1 else ' gets'} a weight on a trade date without a trading price "
        f"(first: {shown}{more}); such holdings are entered at no price: their trades are flagged "
        "(entry_price_missing in res.trades) and left out of the trade statistics"
    )


#: Share of the weight rows on which `position_limit` may cap some weight before a run says so.
LIMIT_SHARE = 0.10


def capped_weights(weights: Weights, limit: float, precision: Callable[[], float] | None = None) -> str | None:
    """`position_limit` cutting weights on more than a tenth of the weight rows (a limit meant for fewer),
    compared in the precision the weights were given in (`precision()`, float64's when None)."""
    if limit >= 1.0 or not weights.values.size:
        return None
    # The rows come scaled to max_gross already; the engine caps each weight of them.
    size = np.abs(weights.values)
    over = size > limit * (1.0 + (precision() if precision is not None else EPS64))
    rows = over.any(axis=1)
    count = int(np.count_nonzero(rows))
    if count <= LIMIT_SHARE * rows.shape[0]:
        return None
    row, col = checks.first_cell(over)
    cut = float(np.where(over, size - limit, 0.0).sum()) / float(size.sum())
    return (
        f"position_limit={limit:g} caps weights on {count} of {rows.shape[0]} weight rows, first on "
        f"{checks.when(weights.dates[row])} ({checks.shown(weights.instruments[col])} "
        f"{float(np.copysign(size[row, col], weights.values[row, col])):.4g} to "
        f"{float(np.copysign(limit, weights.values[row, col])):g}); "
        f"{cut:.1%} of the gross weight given is cut"
    )


def other_timezone(weights: Weights, view: MarketView) -> str | None:
    """Weights dated in another timezone than the market: the same instants, often on other calendar days."""
    tz = weights.dates.tz
    if tz is None or view.tz is None or str(tz) == str(view.tz):
        return None
    moved = weights.dates.tz_convert(view.tz)
    shifted = np.flatnonzero(moved.normalize().tz_localize(None) != weights.dates.normalize().tz_localize(None))
    then = (
        f"; {shifted.size} weight dates fall on another day there, first {checks.when(weights.dates[shifted[0]])} "
        f"on {checks.when(moved[shifted[0]])}"
        if shifted.size
        else ""
    )
    return (
        f"weights dates are in timezone {tz} and the market's in {view.tz}: they are read as the same instants"
        f"{then}; tz_convert the weights to {view.tz} if their dates are meant as the market's days"
    )


def benchmark_gaps(
    benchmark: object, bench: tuple[npt.NDArray[np.float64], str] | None, view: MarketView, first_row: int
) -> str | None:
    """A benchmark that lacks prices on dates of the run, has dates the market lacks, or covers part of the run."""
    if bench is None:
        return None
    level, name = bench
    live = level[first_row:]
    dates = view.dates[first_row:]
    missing = np.flatnonzero(np.isnan(live))
    said = []
    if missing.size:
        priced = live.shape[0] - missing.size
        first = _day(view, int(dates[missing[0]]))
        said.append(
            f"no price on {missing.size} of the run's {live.shape[0]} market dates (first {first})"
            + (f", prices on {priced} of them" if priced else "")
        )
        known = np.flatnonzero(~np.isnan(live))
        if known.size and (known[0] > 0 or known[-1] < live.shape[0] - 1):
            said.append(
                f"it covers {_day(view, int(dates[known[0]]))} to {_day(view, int(dates[known[-1]]))} of a run from "
                f"{_day(view, int(dates[0]))} to {_day(view, int(dates[-1]))}"
            )
    if isinstance(benchmark, pd.Series):
        ns = pd.DatetimeIndex(benchmark.dropna().index).as_unit("ns").asi8
        inside = ns[(ns >= dates[0]) & (ns <= dates[-1])]
        extra = inside[~np.isin(inside, view.dates)]
        if extra.size:
            said.append(f"{extra.size} of its dates are not market dates (first {_day(view, int(extra[0]))})")
    if not said:
        return None
    return (
        f"benchmark {name!r}: " + "; ".join(said) + "; its figures (beta, alpha, correlation and the benchmark's own) "
        "are taken over the dates where both it and the run have a value, each return from one such date to the next"
    )


def unestimated_impact(records: Records, view: MarketView, rules: Rules) -> str | None:
    """Fills the impact model had no estimate for (too little history or volume before them): charged none."""
    if rules.impact is None:
        return None
    per_row = records.row_unestimated
    count = int(per_row.sum())
    if not count:
        return None
    first = int(np.argmax(per_row > 0))
    return (
        f"impact: {count} fill{'s' if count > 1 else ''} had no estimate (fewer than 2 returns or volumes in the "
        f"impact_window={rules.impact_window} rows before {'them' if count > 1 else 'it'}, or no volume traded), "
        f"first on {_day(view, int(view.dates[first]))}; no impact was charged on "
        f"{'them' if count > 1 else 'it'}"
    )


def uncapped_fills(run: Any) -> str | None:
    """Fills `participation` could not cap: their cell had no volume estimate (fewer than 2 volumes in the
    rows before, or with participation_on='row' none on the fill's own row), so they were made whole."""
    rules, view = run.rules, run.view
    if rules.participation is None:
        return None
    per_row = run.records.row_uncapped
    count = int(per_row.sum())
    if not count:
        return None
    rows = np.flatnonzero(per_row)[:3]
    shown = ", ".join(_day(view, int(view.dates[row])) for row in rows.tolist())
    names: list[Any] = []
    if run.fills is not None and view.volume is not None:
        fill_rows, sids, _, adv = run.fills
        columns = run.weights.market_columns[sids]
        estimate = view.volume[fill_rows, columns] if rules.participation_on == "row" else adv
        if estimate is not None:
            unknown = np.isnan(estimate) & np.isin(fill_rows, rows)
            for column in columns[unknown].tolist():
                name = view.instruments[column]
                if name not in names:
                    names.append(name)
    which = f" ({', '.join(map(checks.shown, names[:5]))}{' and more' if len(names) > 5 else ''})" if names else ""
    source = (
        "no volume on the fill's own row (participation_on='row')"
        if rules.participation_on == "row"
        else f"fewer than 2 volumes in the impact_window={rules.impact_window} rows before"
    )
    many = count > 1
    return (
        f"participation: {count} fill{'s' if many else ''}{which} could not be capped, first on {shown}: "
        f"{'their cells have' if many else 'its cell has'} no volume estimate ({source}), so "
        f"{'they were' if many else 'it was'} made whole; give the volume there, or leave such instruments out"
    )
