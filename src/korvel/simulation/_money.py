"""Money as a desk has it: the gross limit on a weight row and the rates of cash, margin and borrow, laid out
for the engine.

The layer scales each weight row as given to `max_gross` before the engine
sees it (so the engine never rescales a row after zeroing its stopped names),
and works out every annual rate as a simple rate per market row with
`korvel.simulation._rates`, the one conversion `stats(rf=None)` uses too: the
cash accrued on a row and that row's risk-free return are the same number.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from korvel._market import MarketView, dates_of
from korvel._typing import Float64Array
from korvel.simulation._alerts import GROSS_TOLERANCE
from korvel.simulation._rates import per_row_instrument_rates, per_row_rates
from korvel.simulation._rules import Rules


def scaled_to_max_gross(values: Float64Array, max_gross: float, gross: Float64Array | None = None) -> Float64Array:
    """The weight rows with each row whose gross sum (`gross`, if worked out) exceeds `max_gross` (+1e-9)
    scaled down to it; the array itself when none does (rows at or below the limit are never touched)."""
    if gross is None:
        gross = np.abs(values).sum(axis=1)
    over = gross > max_gross + GROSS_TOLERANCE
    if not over.any():
        return values
    scaled = np.array(values, dtype=np.float64, order="C")
    scaled[over] *= (max_gross / gross[over])[:, None]
    return scaled


def live_dates(view: MarketView, first_row: int) -> pd.DatetimeIndex:
    """The market dates from the first live row on, as `Result` indexes its series."""
    return dates_of(view, view.dates[first_row:])


def cash_rate_rows(rules: Rules, view: MarketView, first_row: int) -> tuple[Float64Array, Float64Array] | None:
    """The simple rate of each market row on positive and on negative cash (0 up to the first live row: its
    close is the first one with cash of the strategy's), or None when both rates are 0 everywhere."""
    cash, margin = rules.cash_rate, rules.margin_rate
    if _zero(cash) and (margin is None or _zero(margin)):
        return None
    dates = live_dates(view, first_row)
    rows = view.dates.shape[0]
    on_cash = np.zeros(rows, dtype=np.float64)
    on_cash[first_row:] = per_row_rates(dates, cash, rules.day_count, name="cash_rate")
    if margin is None:
        return on_cash, on_cash
    on_margin = np.zeros(rows, dtype=np.float64)
    on_margin[first_row:] = per_row_rates(dates, margin, rules.day_count, name="margin_rate")
    return on_cash, on_margin


def borrow_rate_rows(rules: Rules, view: MarketView, instruments: pd.Index, first_row: int) -> Float64Array | None:
    """The simple borrow rate of each market row and weight column, or None when it is 0 everywhere."""
    fee, default = rules.borrow_fee, rules.borrow_fee_default
    if _zero(fee) and _zero(default):
        return None
    rows = view.dates.shape[0]
    dates = live_dates(view, first_row)
    if not isinstance(fee, (pd.Series, pd.DataFrame)):
        # One fee for every instrument: one column of rates, read for each (the same numbers
        # per_row_instrument_rates gives, without a table of rows x instruments).
        column = np.zeros(rows, dtype=np.float64)
        column[first_row:] = per_row_rates(
            dates, fee, rules.borrow_day_count, name="borrow_fee", day_count_name="borrow_day_count"
        )
        return np.broadcast_to(column[:, None], (rows, len(instruments)))
    out = np.zeros((rows, len(instruments)), dtype=np.float64)
    out[first_row:] = per_row_instrument_rates(dates, instruments, fee, rules.borrow_day_count, default=default)
    return out


def money_keywords(
    rules: Rules, view: MarketView, instruments: pd.Index, first_row: int, *, positions: bool = False
) -> dict[str, Any]:
    """The ledger run's keywords of the rates (each left out while 0) and of ruin, and `record_positions`."""
    out: dict[str, Any] = {"close_on_ruin": True}
    cash = cash_rate_rows(rules, view, first_row)
    if cash is not None:
        out["cash_rates"], out["margin_rates"] = cash
    borrow = borrow_rate_rows(rules, view, instruments, first_row)
    if borrow is not None:
        out["borrow_rates"] = borrow
    if positions:
        out["record_positions"] = True
    return out


def _zero(rate: object) -> bool:
    return not isinstance(rate, (pd.Series, pd.DataFrame)) and float(rate) == 0.0  # type: ignore[arg-type]
