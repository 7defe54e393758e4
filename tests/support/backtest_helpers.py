"""Shared helpers of the engine tests: table builders and the two runners."""

from dataclasses import dataclass

import numpy as np
import pytest
import reference_engine as ref

FEE = 0.001425
TAX = 0.003
NAN = float("nan")
INF = float("inf")


@dataclass
class Outcome:
    equity: np.ndarray
    trades: list
    trade_positions: list
    excursion: list
    stock_operations: object  # None when the engine does not hand it out yet


def engine_modules():
    """(portsim, excursion) when the native engine can run, else None."""
    try:
        from korvel.core import excursion, portsim
    except ImportError:
        return None
    if not hasattr(portsim, "backtest_"):
        return None
    return portsim, excursion


def run_engine(*args, **kwargs):
    portsim, excursion = engine_modules()
    equity = portsim.backtest_(*args, **kwargs)
    ops = portsim.get_stock_operations() if hasattr(portsim, "get_stock_operations") else None
    # The record lists are emptied by the next run: copy them out now.
    return Outcome(
        equity=np.array(equity, copy=True),
        trades=[[int(x) for x in t] for t in excursion.trades],
        trade_positions=[float(p) for p in excursion.trade_positions],
        excursion=[np.array(a, dtype=np.float64, copy=True) for a in excursion.excursion],
        stock_operations=ops,
    )


def run_reference(*args, **kwargs):
    res = ref.run_backtest(*args, **kwargs)
    return Outcome(
        equity=res.equity,
        trades=[[int(x) for x in t] for t in res.trades],
        trade_positions=[float(p) for p in res.trade_positions],
        excursion=[np.asarray(a) for a in res.excursion],
        stock_operations=res.stock_operations,
    )


def names(n, first="A"):
    return np.array([chr(ord(first) + j) for j in range(n)], dtype=object)


def tables(
    prices,
    weights,
    *,
    close=None,
    high=None,
    low=None,
    opens=None,
    price_dates=None,
    weight_dates=None,
    resample=None,
    price_names=None,
    weight_names=None,
):
    """The eleven positional arguments of one run.

    ``prices`` is a T x P table of trading prices; ``close``, ``high``,
    ``low`` and ``opens`` default to it.  ``weights`` maps a price row r to a
    weight row dated like row r, so that it is applied on row r + 1 when row
    r is a rebalance row (every row is one unless ``resample`` says
    otherwise).  Price dates are 10, 20, 30, ...
    """
    price = np.array(prices, dtype=np.float64)
    n_rows, n_cols = price.shape

    def table(x):
        return price.copy() if x is None else np.array(x, dtype=np.float64)

    if price_dates is None:
        price_dates = 10 * np.arange(1, n_rows + 1)
    price_dates = np.array(price_dates, dtype=np.int64)
    if weight_dates is None:
        rows = sorted(weights)
        weight_dates = [price_dates[r] for r in rows]
        weight_rows = [weights[r] for r in rows]
    else:
        weight_rows = weights
    pos_values = np.array(weight_rows, dtype=np.float64)
    if resample is None:
        resample = price_dates.copy()
    if price_names is None:
        price_names = names(n_cols)
    if weight_names is None:
        weight_names = price_names[: pos_values.shape[1]]
    return (
        price,
        table(close),
        table(high),
        table(low),
        table(opens),
        price_dates,
        np.array(price_names, dtype=object),
        pos_values,
        np.array(weight_dates, dtype=np.int64),
        np.array(weight_names, dtype=object),
        np.array(resample, dtype=np.int64),
    )


def assert_same_outcome(a, b):
    np.testing.assert_array_equal(a.equity, b.equity)
    assert a.trades == b.trades
    np.testing.assert_array_equal(
        np.array(a.trade_positions, dtype=np.float64), np.array(b.trade_positions, dtype=np.float64)
    )
    assert len(a.excursion) == len(b.excursion)
    for x, y in zip(a.excursion, b.excursion):
        np.testing.assert_array_equal(x, y)


def operations(outcome):
    """The operations record of a run, or skip while it is not handed out."""
    if outcome.stock_operations is None:
        pytest.skip("operations record not available yet")
    return outcome.stock_operations
