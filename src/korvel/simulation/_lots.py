"""Whole lots: the value of one lot in every cell, for the engine, and the allocations too small for one.

Lots are counted in raw shares: with adjusted prices and their `factor`,
the raw price is adjusted / factor.  The engine gets the value of one lot
of each cell (lot x raw trading price, in units of the starting capital)
and rounds each target toward 0 to a whole number of them.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvel import _checks as checks
from korvel._market import MarketView, dates_of
from korvel._typing import Float64Array


def _by_column(value: Any, view: MarketView, name: str, columns: np.ndarray, missing: float) -> np.ndarray:
    """A number, or a Series by instrument, as one value per weight column (`missing` where not given)."""
    if not isinstance(value, pd.Series):
        return np.full(columns.shape[0], float(value))
    where = view.instruments.get_indexer(value.index)
    if (where < 0).any():
        raise ValueError(checks.missing(list(value.index[where < 0]), name, "the market"))
    by_market = np.full(len(view.instruments), missing)
    by_market[where] = value.to_numpy(dtype=np.float64, na_value=np.nan)
    by_market[np.isnan(by_market)] = missing
    out: np.ndarray = by_market[columns]
    return out


def lots_by_column(view: MarketView, lot: Any, columns: np.ndarray) -> np.ndarray:
    """Shares per lot of every weight column (NaN: fractional shares)."""
    return _by_column(lot, view, "lot", columns, np.nan)


def factors(view: MarketView, factor: Any, columns: np.ndarray) -> Float64Array | float:
    """The adjustment factor of every market row x weight column (1 where not given), or one number."""
    if factor is None:
        return 1.0
    if not isinstance(factor, pd.DataFrame):
        return _by_column(factor, view, "factor", columns, 1.0)[None, :]
    dates = dates_of(view, view.dates)
    checks.same_timezone(view.tz, checks.date_index(factor.index, "factor"), "factor", "market")
    unknown = factor.columns[view.instruments.get_indexer(factor.columns) < 0]
    if len(unknown):
        raise ValueError(checks.missing(list(unknown), "factor", "the market"))
    aligned = factor.reindex(index=dates, columns=view.instruments[columns])
    table = aligned.to_numpy(dtype=np.float64, na_value=np.nan)
    table[np.isnan(table)] = 1.0
    return table


def lot_values(view: MarketView, rules: Any, columns: np.ndarray) -> Float64Array:
    """The value of one lot of every market row x weight column, in units of the starting capital (NaN:
    fractional shares there)."""
    lots = lots_by_column(view, rules.lot, columns)
    raw = view.trading(rules.trade_at)[:, columns] / factors(view, rules.factor, columns)
    return np.ascontiguousarray(lots[None, :] * raw / rules.capital, dtype=np.float64)


def below_one_lot(run: Any) -> str | None:
    """The rows whose targets rounded to no lot at all, with the instruments too small for one, or None."""
    per_row = run.records.row_below_lot
    if not np.count_nonzero(per_row):  # the usual run: no row counts any
        return None
    count = int(per_row.sum())
    if not count:
        return None
    rows = np.flatnonzero(per_row)
    shown = ", ".join(checks.when(d) for d in dates_of(run.view, run.view.dates[rows[:3]]))
    names = _small_allocations(run, rows[:3])
    which = f" ({', '.join(map(checks.shown, names[:5]))}{' and more' if len(names) > 5 else ''})" if names else ""
    return (
        f"lot: {count} target{'s' if count > 1 else ''} too small for one lot{which} were left at no holding, "
        f"first on {shown}; a smaller lot, a larger capital or fewer names gives them a holding"
    )


def _small_allocations(run: Any, rows: np.ndarray) -> list[Any]:
    """The instruments whose non-zero target on those rows was worth less than one lot (at the value before)."""
    names: list[Any] = []
    values = lot_values(run.view, run.rules, run.weights.market_columns)
    for row in rows.tolist():
        applied = int(run.applied[row]) if row < run.applied.shape[0] else -1
        if applied < 0:
            continue
        before = float(run.equity[row - 1]) if row > 0 else 1.0
        target = np.abs(run.weights.values[applied]) * before
        small = (target > 0) & (target < values[row])
        for column in np.flatnonzero(small).tolist():
            label = run.weights.instruments[column]
            if label not in names:
                names.append(label)
    return names
