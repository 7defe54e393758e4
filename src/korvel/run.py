"""One backtest: pandas in, a complete `Result` out.

Data flows one way: the market and the weights are checked and converted,
the engine runs on the arrays, its records are copied out under the lock,
and the result builds frames and figures from its own copies.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Hashable, Sequence
from typing import Any

import pandas as pd

from korvel import schedule
from korvel.core import excursion, portsim
from korvel.inputs import benchmark_prices, prepare_weights, rebalance_dates
from korvel.market import Market, as_market
from korvel.records import copy_out
from korvel.result import Result, Run
from korvel.rules import check_rules

__all__ = ["backtest", "ENGINE_LOCK"]

#: The engine keeps its flags, its operations record and its trade records
#: per process: one run and the copy-out of its records at a time.
ENGINE_LOCK = threading.Lock()


def backtest(weights: pd.DataFrame, market: Market | pd.DataFrame, *, trade_at: str = "open",
             rebalance: str | Sequence[Any] | pd.DatetimeIndex | None = None, fee: float = 0.0, tax: float = 0.0,
             stop_loss: float | None = None, take_profit: float | None = None, trail_stop: float | None = None,
             trail_activation: float | None = None, touched_exit: bool = False, position_limit: float = 1.0,
             retain_cost: bool = False, stop_trading_next_period: bool = True, excursion_window: int = 0,
             excursion_step: int = 1, benchmark: pd.Series | Hashable | None = None) -> Result:
    """Backtest target weights on a market.

    Parameters
    ----------
    weights : DataFrame
        Index: the dates the weights were decided on (at that date's close);
        columns: instruments of the market; values: target weights as
        fractions of the portfolio (negative = short, NaN = 0).  Weights whose
        absolute sum exceeds 1 are scaled down to 1.
    market : Market or DataFrame
        The prices; a DataFrame is taken as the closes (``korvel.Market(df)``).
        Build the Market once to reuse it over many backtests.
    trade_at : "open" or "close"
        The price the trades are made at, on the row after the weight date.
    rebalance : None, offset alias or dates
        None: on every weight date.  An offset alias ("W-FRI", "ME", "QE") or
        a list of dates: on those dates, with the newest weights decided on
        or before them.
    fee, tax : float
        Commission on every trade and tax added on trades that reduce a
        holding, as fractions of the traded value (0.001 = 0.1 %).
    stop_loss, take_profit, trail_stop : float or None
        Exits on a holding's price move since its entry (0.1 = 10 %); the
        trailing stop follows the best price since the entry.  None: off.
    trail_activation : float or None
        Gain from which the trailing stop applies; None: from the entry.
    touched_exit : bool
        False: stops are decided on the close and executed on the next row at
        its trading price.  True: decided on high / low / open and executed
        the same row at the stop level (or the open, when it gaps through).
    position_limit : float
        Largest holding, as a fraction of the portfolio, in (0, 1].
    retain_cost : bool
        Keep a resized holding as one trade (with its entry price for the
        stops) instead of closing and re-opening its record at a rebalance.
    stop_trading_next_period : bool
        An instrument stopped out is not bought again before the next
        rebalance after the stop.
    excursion_window, excursion_step : int
        Also record every trade's statistics every `excursion_step` rows over
        its first `excursion_window` rows (`Result.trade_profile`).
    benchmark : Series or instrument label, optional
        Prices of a benchmark (or an instrument of the market) for the plot
        and the beta / alpha / correlation figures.

    Timing: a weight row dated d trades on the first market row after d, at
    that row's `trade_at` price.  No shift is needed::

        weights dated   market rows            traded on
        Mon (close)     Mon  Tue  Wed          Tue, at the open (or close)
        Fri (close)     Fri  Mon               Mon
        Sat             Fri  Mon               Mon

    Returns a `Result`.  Inputs are checked first: every error names the
    argument and the first offending date or instrument.
    """
    rules = check_rules(trade_at=trade_at, fee=fee, tax=tax, stop_loss=stop_loss, take_profit=take_profit,
                        trail_stop=trail_stop, trail_activation=trail_activation, touched_exit=touched_exit,
                        position_limit=position_limit, retain_cost=retain_cost,
                        stop_trading_next_period=stop_trading_next_period, excursion_window=excursion_window,
                        excursion_step=excursion_step)
    market_ = as_market(market)
    weights_ = prepare_weights(weights, market_)
    resample, rebalance_text = rebalance_dates(rebalance, market_, weights_)
    bench = benchmark_prices(benchmark, market_)
    delisting = market_._delisting_rows[weights_.market_columns]
    trading = market_._open if rules.trade_at == "open" and market_._open is not None else market_._close
    close = market_._close
    arguments: dict[str, Any] = dict(
        price_values=trading,
        close_values=close,
        high_values=close if market_._high is None else market_._high,
        low_values=close if market_._low is None else market_._low,
        open_values=close if market_._open is None else market_._open,
        price_index=market_._dates_ns,
        price_columns=market_._engine_labels,
        pos_values=weights_.values,
        pos_index=weights_.engine_dates,
        pos_columns=weights_.engine_labels,
        resample=resample,
        delisting_bars=delisting if (delisting >= 0).any() else None,
        **rules.engine_kwargs(),
    )
    with ENGINE_LOCK:
        start = time.perf_counter()
        equity = portsim.backtest_(**arguments)
        seconds = time.perf_counter() - start
        records = copy_out(excursion, rules.excursion_window, rules.excursion_step)
        operations = {k: dict(v) if isinstance(v, dict) else v for k, v in portsim.get_stock_operations().items()}
    equity.flags.writeable = False
    applied, _, due = schedule.applied_weight_rows(market_._dates_ns, weights_.engine_dates, resample)
    run = Run(market_, weights_, rules, rebalance_text, resample, equity, records, operations, applied, due,
              bench, seconds)
    return Result(run)
