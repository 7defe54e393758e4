"""The same backtest expressed for other tools: vectorbt, bt, and a plain NumPy replay.

All of them get the weight rows on the price rows where korvel applies them
(`korvel.simulation._schedule.applied_weight_rows`), trade at korvel's trading price and
value the book at the close.  None of them can express korvel's stop rules
with target-weight orders, so the peer workloads run without stops.
"""

from __future__ import annotations

import importlib.util
import warnings

import numpy as np

from korvel.simulation._schedule import applied_weight_rows


def available(name: str) -> bool:
    if name == "vectorbt":
        return importlib.util.find_spec("vectorbt") is not None
    if name == "vectorbt-rust":
        if importlib.util.find_spec("vectorbt_rust") is None or not available("vectorbt"):
            return False
        from vectorbt._engine import is_rust_available

        return bool(is_rust_available())
    if name == "bt":
        return importlib.util.find_spec("bt") is not None
    return name in ("korvel", "reference")


def ffill(values: np.ndarray) -> np.ndarray:
    """Forward-fill NaNs down each column (leading NaNs stay)."""
    T = values.shape[0]
    rows = np.where(np.isnan(values), 0, np.arange(T)[:, None])
    np.maximum.accumulate(rows, axis=0, out=rows)
    out = values[rows, np.arange(values.shape[1])]
    return out


def order_rows(args: dict) -> tuple[np.ndarray, np.ndarray]:
    """(price rows where a weight row is applied, index of that weight row)."""
    applied, _, _ = applied_weight_rows(args["price_index"], args["pos_index"], args["resample"])
    rows = np.flatnonzero(applied >= 0)
    return rows, applied[rows]


def _check_same_columns(args: dict) -> None:
    if not np.array_equal(args["price_columns"], args["pos_columns"]):
        raise ValueError("peer runs need weight columns in price-column order")


def order_sizes(args: dict) -> np.ndarray:
    """T x N target weights: the applied weight row on its price row, NaN (no order) elsewhere.
    Instruments without a trading price on that row cannot be traded there: NaN too."""
    _check_same_columns(args)
    price = args["price_values"]
    size = np.full(price.shape, np.nan)
    rows, wrows = order_rows(args)
    size[rows] = args["pos_values"][wrows]
    size[np.isnan(price)] = np.nan
    return size


# --------------------------------------------------------------------------- NumPy replay


def reference_equity(args: dict) -> np.ndarray:
    """Frictionless replay: no fees, no stops, clean prices.  Each applied weight
    row sets every holding to weight x portfolio value at the trading price
    (weights scaled down when their gross exceeds 1); the book is valued at the close."""
    _check_same_columns(args)
    price, close = args["price_values"], args["close_values"]
    T, N = price.shape
    rows, wrows = order_rows(args)
    todo = dict(zip(rows.tolist(), wrows.tolist()))
    first = int(np.searchsorted(args["price_index"], args["pos_index"][0]))
    shares = np.zeros(N)
    cash = 1.0
    equity = np.ones(T)
    for i in range(first, T):
        k = todo.get(i)
        if k is not None:
            w = args["pos_values"][k]
            total = cash + shares @ price[i]
            target = w * (total / max(1.0, float(np.abs(w).sum())))
            shares = target / price[i]
            cash = total - target.sum()
        equity[i] = cash + shares @ close[i]
    return equity


# --------------------------------------------------------------------------- vectorbt


class VectorbtRun:
    """`Portfolio.from_orders` with target-percent sizes, one group with cash
    sharing and automatic call sequence (sells before buys), valued with the
    trading price at decision time; the equity curve is `Portfolio.value()`.

    The run starts from a capital of 1e6 (reported per unit of capital) and
    without a minimum order size: vectorbt's default minimum of 1e-8 shares
    and its absolute tolerances would otherwise drop small rebalancing trades
    of a book worth 1.0, which korvel does not."""

    CAPITAL = 1e6

    def __init__(self, args: dict, engine: str = "numba"):
        import vectorbt  # noqa: F401  (import cost is not part of any timing)

        self.engine = engine
        price = args["price_values"]
        self.size = order_sizes(args)
        self.price = price
        # Valuation and the close are carried over missing rows, as a user would prepare them.
        self.val_price = ffill(price)
        self.close = ffill(args["close_values"])
        self.fees = float(args.get("fee_ratio", 0.0))

    def simulate(self):
        import vectorbt as vbt

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return vbt.Portfolio.from_orders(
                self.close,
                size=self.size,
                size_type="targetpercent",
                price=self.price,
                val_price=self.val_price,
                init_cash=self.CAPITAL,
                min_size=0.0,
                cash_sharing=True,
                group_by=True,
                call_seq="auto",
                fees=self.fees,
                engine=self.engine,
            )

    def __call__(self):
        pf = self.simulate()
        value = np.asarray(pf.value(), dtype=np.float64).reshape(-1) / self.CAPITAL
        return value, int(pf.orders.count())


# --------------------------------------------------------------------------- bt


class BtRun:
    """bt strategy: `WeighTarget` with the applied weight rows on their dates,
    then `Rebalance`; fractional positions.  bt has one price per instrument
    and row, so it trades and values at the close: only for markets whose
    trading price is the close."""

    def __init__(self, args: dict):
        import pandas as pd

        _check_same_columns(args)
        if not np.array_equal(args["price_values"], args["close_values"], equal_nan=True):
            raise ValueError("bt trades at the close: the trading price must be the close")
        idx = pd.DatetimeIndex(args["price_index"].view("datetime64[ns]"))
        cols = [str(c) for c in args["price_columns"]]
        rows, wrows = order_rows(args)
        self.data = pd.DataFrame(args["close_values"], index=idx, columns=cols)
        self.weights = pd.DataFrame(args["pos_values"][wrows], index=idx[rows], columns=cols)
        self.n = len(idx)

    def __call__(self):
        import bt

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            strategy = bt.Strategy("s", [bt.algos.WeighTarget(self.weights), bt.algos.Rebalance()])
            test = bt.Backtest(strategy, self.data, initial_capital=1.0, integer_positions=False, progress_bar=False)
            res = bt.run(test)
        values = res.backtests["s"].strategy.values.to_numpy(dtype=np.float64)
        return values[-self.n :], None  # bt adds a row before the first date
