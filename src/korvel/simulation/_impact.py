"""The square-root market-impact model: a coefficient per market cell, worked out once from the market.

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

The layer knows the market, the engine knows the size of each fill only
when it makes it (it depends on the portfolio's value at that moment).  A
fill of value V (in units of the starting capital) at price p trades
V x capital / p shares, so its cost fraction is c x sqrt(V) with

    c = k x sigma x sqrt(capital / (p x ADV))

which is what this module hands to the engine, one value per market row and
weight column.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvel._typing import Float64Array

#: The fewest returns and volumes an estimate is made from.
LEAST_ROWS = 2


def estimates(close: Float64Array, volume: Float64Array, window: int) -> tuple[Float64Array, Float64Array]:
    """(sigma, ADV) for every market cell, each over the `window` rows before it (NaN: no estimate)."""
    closes = pd.DataFrame(close, copy=False)
    returns = closes / closes.shift(1) - 1.0
    sigma = returns.rolling(window, min_periods=LEAST_ROWS).std(ddof=1).shift(1).to_numpy(dtype=np.float64)
    volumes = pd.DataFrame(volume, copy=False)
    adv = volumes.rolling(window, min_periods=LEAST_ROWS).mean().shift(1).to_numpy(dtype=np.float64)
    return sigma, adv


def coefficients(
    trading: Float64Array,
    close: Float64Array,
    volume: Float64Array,
    *,
    k: float,
    capital: float,
    window: int,
    columns: np.ndarray,
) -> Float64Array:
    """The engine's impact coefficients: market rows x the weight columns' market `columns` (NaN: none)."""
    sigma, adv = estimates(close[:, columns], volume[:, columns], window)
    with np.errstate(divide="ignore", invalid="ignore"):
        c = k * sigma * np.sqrt(capital / (trading[:, columns] * adv))
    c[~np.isfinite(c)] = np.nan  # no volume over the window: no estimate rather than an infinite cost
    return np.ascontiguousarray(c, dtype=np.float64)


def fill_limits(view: Any, rules: Any, columns: np.ndarray) -> Float64Array:
    """The largest |value| one fill may trade in every market row x weight column, in units of the starting
    capital: participation x (the ADV before the row, or the row's own volume) x the trading price / capital
    (NaN: no cap, where the volume is unknown)."""
    trading = view.trading(rules.trade_at)[:, columns]
    if rules.participation_on == "row":
        volume = view.volume[:, columns]
    else:
        volume = estimates(view.close[:, columns], view.volume[:, columns], rules.impact_window)[1]
    limits = rules.participation * volume * trading / rules.capital
    return np.ascontiguousarray(limits, dtype=np.float64)
