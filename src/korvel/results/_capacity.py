"""Capacity: how much of the market's volume a run's fills took, and at what capital they would take more.

Each fill's participation is its shares over the average daily volume
(ADV) before it: the mean volume over the `impact_window` rows before the
fill's row, as the impact model takes it (never the row's own volume).  The
shares are the fill's value (the ledger's |value traded| of the fill, in
units of the starting capital, times `capital`) over the row's trading
price.

Without an impact model (and without rounding to lots) the run's path in
units of its starting capital does not depend on the capital, so every
fill's shares, and its participation, scale with it: the capital at which
the 95th percentile of the fills would reach a fraction x of ADV is
``capital x x / p95``.  With an impact model the costs grow with the size
and the relation is not linear: sweep `capital` as a rule instead
(``korvel.sweep(..., grid={"capital": [...]})``) and read `participation_p95`
from each run.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvel._market import dates_of

#: The fractions of ADV the capital figures are worked out for.
LEVELS = (0.01, 0.05, 0.10)
#: The quantile of the fills' participation the capacity is read at.
QUANTILE = 0.95
COLUMNS = ("date", "instrument", "value", "shares", "adv", "participation")


def _check(run: Any) -> None:
    if run.rules.capital is None:
        raise ValueError(
            "capacity needs capital (the portfolio's starting value in the prices' currency): "
            "korvel.backtest(..., capital=1e6)"
        )
    if run.view.volume is None or run.fills is None or run.fills[3] is None:
        raise ValueError("capacity needs the market's volume: korvel.Market(close, ..., volume=shares traded per row)")


def participation(run: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(value in currency, shares, shares / ADV) of every fill of the run (NaN without an ADV)."""
    _check(run)
    rows, sids, traded, adv = run.fills
    value = traded * run.rules.capital
    shares = value / run.view.trading(run.rules.trade_at)[rows, run.weights.market_columns[sids]]
    with np.errstate(divide="ignore", invalid="ignore"):
        share_of_adv = np.where(adv > 0, shares / adv, np.nan)
    return value, shares, share_of_adv


def fills_table(run: Any) -> pd.DataFrame:
    """One row per fill of the run, in the order they were made: its date, instrument, value in currency,
    shares, the ADV before its row (as the engine worked it out) and its participation."""
    value, shares, share_of_adv = participation(run)
    rows, sids, _, adv = run.fills
    view = run.view
    return pd.DataFrame(
        {
            "date": dates_of(view, view.dates[rows]),
            "instrument": view.instruments.take(run.weights.market_columns[sids]),
            "value": value,
            "shares": shares,
            "adv": adv,
            "participation": share_of_adv,
        }
    )


def p95(participation: np.ndarray) -> float:
    """The 95th percentile of the fills' participation (those with an ADV), NaN without any."""
    known = participation[~np.isnan(participation)]
    return float(np.quantile(known, QUANTILE)) if known.size else float("nan")


def capital_at(capital: float, quantile: float, levels: tuple[float, ...] = LEVELS) -> dict[float, float]:
    """The capital at which the fills' 95th percentile would reach each level of ADV (linear in capital)."""
    return {level: capital * level / quantile if quantile > 0 else float("inf") for level in levels}
