"""The backtest engine (native module)."""

import datetime as datetime
from collections.abc import MutableMapping
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from korvel.core import excursion as excursion

# The module holds NumPy under this name too.
org_np = np

_Weights = TypeVar("_Weights", bound=MutableMapping[Any, Any])

inf: float
RUN_FIGURES: tuple[str, ...]
RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None

def backtest_(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: object = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: object = False,
    stop_trading_next_period: object = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: object = True,
    delisting_bars: object = None,
) -> npt.NDArray[np.float64]: ...
def backtest_ledger(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64],
    low_values: npt.NDArray[np.float64],
    open_values: npt.NDArray[np.float64],
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float = 1.0,
    take_profit: float = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: object = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: object = False,
    stop_trading_next_period: object = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: object = True,
    delisting_bars: object = None,
    *,
    own_trade_stops: object = False,
    trade_at: str = "close",
    trail_from: str = "entry",
    max_gross: float = 1.0,
    slippage: float = 0.0,
    band: float = 0.0,
    band_rel: float = 0.0,
    cash_rates: npt.NDArray[np.float64] | None = None,
    margin_rates: npt.NDArray[np.float64] | None = None,
    borrow_rates: npt.NDArray[np.float64] | None = None,
    close_on_ruin: object = False,
    record_positions: object = False,
    volume_values: npt.NDArray[np.float64] | None = None,
    capital: float = 1.0,
    impact: float = 0.0,
    impact_window: int = 20,
    record_fills: object = False,
    lot_values: npt.NDArray[np.float64] | None = None,
    min_trade: float = 0.0,
    fee_min: float = 0.0,
    sells_first: object = False,
    participation: float = 0.0,
    participation_on_row: object = False,
    carry_unfilled: object = True,
    extremes_only: object = False,
) -> tuple[npt.NDArray[np.float64], dict[str, Any], dict[str, Any]]: ...
def get_stock_operations() -> dict[str, Any]: ...
def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_] | None,
    price_index: npt.NDArray[np.int64] | None,
    touched_exit: object,
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def ioft(v: float) -> datetime.datetime: ...
def normalize_weight(weights: _Weights, position_limit: float) -> _Weights: ...
def run_figures(
    equity: npt.NDArray[np.float64],
    dates: npt.NDArray[np.int64],
    first: int,
    risk_free: npt.NDArray[np.float64] | None,
    row_traded: npt.NDArray[np.float64],
    row_financing: npt.NDArray[np.float64],
    row_long: npt.NDArray[np.float64],
    row_short: npt.NDArray[np.float64],
    entry: npt.NDArray[np.int64],
    exit: npt.NDArray[np.int64],
    columns: npt.NDArray[np.int64],
    weight: npt.NDArray[np.float64],
    statistics: npt.NDArray[np.float64],
    unpriced_entry: npt.NDArray[np.bool_] | None,
    fees: npt.NDArray[np.float64],
    taxes: npt.NDArray[np.float64],
    slippage: npt.NDArray[np.float64],
    borrow: npt.NDArray[np.float64],
    impact: npt.NDArray[np.float64],
    exit_reason: npt.NDArray[np.int8],
    reasons: int,
    missing: npt.NDArray[np.int64],
    offsets: npt.NDArray[np.int64],
    /,
) -> tuple[tuple[Any, ...], tuple[int, ...]]: ...
