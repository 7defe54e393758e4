"""The square-root market-impact model and the volume estimates the size rules read, for given cells.

The cost of a fill, as a fraction of its traded value, is

    k x sigma x sqrt(|shares traded| / ADV)

(the square-root law of market impact: Grinold and Kahn, *Active Portfolio
Management*, 2000, ch. 16; Almgren, Thum, Hauptmann and Li, "Direct
estimation of equity market impact", *Risk* 2005; bt's `SqrtCostModel`
uses k = 0.6).  sigma is the sample standard deviation (ddof 1) of the
close-to-close returns and ADV the mean volume, both over the `window` rows
*before* the trade row: never that row's own close or volume, so that a fill
is never charged with what was only known after it.  Returns or volumes that
are NaN are left out; fewer than 2 of either leave the cell without an
estimate (NaN: the engine charges no impact there and counts the fill).

The engine knows the size of each fill only when it makes it (it depends
on the portfolio's value at that moment): it gets the market's volume and
works out sigma and ADV for the cells it fills, as they are needed (a run
fills a few cells of its tables).  A fill of value V (in units of the
starting capital) at price p trades V x capital / p shares.  This module
works out the same estimates for given cells, for the capacity figures and
the tests.
"""

from __future__ import annotations

import numpy as np

from korvel._typing import Float64Array

#: The fewest returns and volumes an estimate is made from.
LEAST_ROWS = 2


def _window_cells(table: Float64Array, rows: np.ndarray, cols: np.ndarray, window: int, shift: int = 0) -> np.ndarray:
    """The `window` cells of each (row, column) before that row (NaN before the first row), as (cells, window)."""
    offsets = np.arange(-window, 0)
    at = rows[:, None] + offsets[None, :] - shift
    inside = at >= 0
    values = table[np.where(inside, at, 0), cols[:, None]]
    return np.where(inside, values, np.nan)


def adv_at(volume: Float64Array, rows: np.ndarray, cols: np.ndarray, window: int) -> Float64Array:
    """The mean of the known volumes over the `window` rows before each (row, column); NaN with fewer
    than 2 (as the engine works it out for a fill)."""
    cells = _window_cells(volume, rows, cols, window)
    known = ~np.isnan(cells)
    count = known.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(known, cells, 0.0).sum(axis=1) / count
    return np.where(count >= LEAST_ROWS, mean, np.nan)


def sigma_at(close: Float64Array, rows: np.ndarray, cols: np.ndarray, window: int) -> Float64Array:
    """The sample standard deviation (ddof 1) of the close-to-close returns of the `window` rows before each
    (row, column), each row's return from the row before it; NaN with fewer than 2."""
    now = _window_cells(close, rows, cols, window)
    before = _window_cells(close, rows, cols, window, shift=1)
    returns = now / before - 1.0
    known = ~np.isnan(returns)
    count = known.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(known, returns, 0.0).sum(axis=1) / count
        squares = np.where(known, (returns - mean[:, None]) ** 2, 0.0).sum(axis=1)
        sigma = np.sqrt(squares / (count - 1))
    return np.where(count >= LEAST_ROWS, sigma, np.nan)
