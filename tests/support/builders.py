"""Small hand-built inputs for backtest_."""

import numpy as np


def run_args(
    prices,
    weights,
    *,
    weight_dates=None,
    resample=None,
    price_dates=None,
    close=None,
    high=None,
    low=None,
    open_=None,
    price_names=None,
    weight_names=None,
):
    """Positional arguments of backtest_ for a price table and a weight table.

    Price rows are dated 10, 20, 30, ...; weight rows default to dates 0, 1, 2, ...
    (all before the first price row) and every price row is a rebalance row.
    """
    prices = np.asarray(prices, dtype=np.float64)
    weights = np.atleast_2d(np.asarray(weights, dtype=np.float64))
    rows, cols = prices.shape
    if price_dates is None:
        price_dates = np.arange(1, rows + 1, dtype=np.int64) * 10
    if weight_dates is None:
        weight_dates = np.arange(weights.shape[0], dtype=np.int64)
    if resample is None:
        resample = np.asarray(price_dates, dtype=np.int64)
    names = price_names if price_names is not None else [f"S{k}" for k in range(cols)]
    wnames = weight_names if weight_names is not None else names[: weights.shape[1]]
    pick = lambda table: prices if table is None else np.asarray(table, dtype=np.float64)  # noqa: E731
    return [
        prices,
        pick(close),
        pick(high),
        pick(low),
        pick(open_),
        np.asarray(price_dates, dtype=np.int64),
        np.array(names, dtype=object),
        weights,
        np.asarray(weight_dates, dtype=np.int64),
        np.array(wnames, dtype=object),
        np.asarray(resample, dtype=np.int64),
    ]
