"""The engine boundary: the only module of the layer that imports `korvel.core`.

It lays out the engine's arguments (once, for every caller), holds the lock
that serialises runs (the engine keeps its flags and its operations record
per process), and runs the engine into its trade ledger: the engine hands
back the equity, the ledger (one NumPy array per field, one element per
trade) and a fresh operations record, all of them the run's own, so nothing
is copied out and no Python object is made per trade.

The engine speaks of its inputs in its own words; the layer's words for them:

=====================  ===========================================================
engine                 layer
=====================  ===========================================================
price row, bar         a market row (date); `price_index` the market dates (int64 ns)
price column           an instrument of the market (`price_columns` its labels as text)
sid, weight column     an instrument of the weights (`pos_columns`)
`price_values`         the trading table: the open or the close, by `trade_at`
`pos_values`           the weight rows (`pos_index`: the market row each was decided on)
`resample`             the rebalance dates
`delisting_bars`       the market row each weight column is delisted on (-1: none)
trade record           a trade (`korvel.Result.trades`); its excursion statistics the snapshot
trade ledger           the run's trades as arrays (`korvel.results._records.Records`)
`stock_operations`     tomorrow's orders (`korvel.Result.actions`)
touched exit           an intraday stop (`touched_exit=True`)
=====================  ===========================================================
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import Any

from korvel._typing import BoolArray, Float64Array, Int64Array, ObjectArray
from korvel.core import excursion, portsim
from korvel.results._records import Records, records_from_ledger

#: One engine run at a time, per process (the engine keeps its flags and its module state per process).
ENGINE_LOCK = threading.Lock()

#: Engine settings the layer never varies: a rebalance is periodic.
ENGINE_ONLY: dict[str, Any] = {"periodically_rebalance": True}


def engine_arrays(
    *,
    trading: Float64Array,
    close: Float64Array,
    high: Float64Array,
    low: Float64Array,
    open: Float64Array,
    dates: Int64Array,
    labels: ObjectArray,
    weights: Float64Array,
    weight_dates: Int64Array,
    weight_labels: ObjectArray,
    rebalance_dates: Int64Array,
    delisting: Int64Array,
) -> dict[str, Any]:
    """The array arguments of ``portsim.backtest_`` (the eleven required ones and `delisting_bars`).

    `delisting` holds the delisting row of each weight column (-1: none); a
    schedule without any delisting is left out, as the engine then ignores it.
    """
    return dict(
        price_values=trading,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=open,
        price_index=dates,
        price_columns=labels,
        pos_values=weights,
        pos_index=weight_dates,
        pos_columns=weight_labels,
        resample=rebalance_dates,
        delisting_bars=delisting if (delisting >= 0).any() else None,
    )


@dataclass(frozen=True, eq=False)
class EngineRun:
    """What one engine run left: arrays and dicts of its own."""

    equity: Float64Array  # one value per market row, read-only
    records: Records  # the trade ledger, read-only
    operations: dict[str, Any]  # the operations record, its dicts copied
    seconds: float  # wall time of the engine call alone
    #: With ``record_fills``: every fill, (row, weight column, |value traded|, the ADV before it or None
    #: without a volume), read-only.
    fills: tuple[Int64Array, Int64Array, Float64Array, Float64Array | None] | None = None
    #: With ``record_positions``: each holding's value over the portfolio value at every close, read-only.
    positions: Float64Array | None = None
    #: With ``fill_limits``: the orders not done, (row, weight column, rest as a value over the price).
    unfilled: tuple[Int64Array, Int64Array, Float64Array] | None = None


def run(arrays: dict[str, Any], rule_keywords: dict[str, Any], window: int, step: int) -> EngineRun:
    """Run the engine on `arrays` with the rules' engine keywords, into its trade ledger."""
    with ENGINE_LOCK:
        start = time.perf_counter()
        equity, ledger, operations = portsim.backtest_ledger(**arrays, **rule_keywords, **ENGINE_ONLY)
        seconds = time.perf_counter() - start
    equity.flags.writeable = False
    records = records_from_ledger(ledger, equity.shape[0], window, step)
    positions = ledger.get("positions")
    if positions is not None:
        positions.flags.writeable = False
    # Its dicts are the ones `get_stock_operations()` hands to anyone who asks: copies of our own.
    operations = {k: dict(v) if isinstance(v, dict) else v for k, v in operations.items()}
    return EngineRun(
        equity,
        records,
        operations,
        seconds,
        fills=_fills(ledger),
        positions=positions,
        unfilled=_triplet(ledger, "unfilled_row", "unfilled_sid", "unfilled_rest"),
    )


#: The figures `run_figures` works out, in the order it gives them.
RUN_FIGURES: tuple[str, ...] = portsim.RUN_FIGURES


def run_figures(
    equity: Float64Array,
    dates: Int64Array,
    first: int,
    risk_free: Float64Array | None,
    records: Records,
    columns: Int64Array,
    unpriced_entry: BoolArray,
    missing: Int64Array,
    offsets: Int64Array,
) -> tuple[tuple[Any, ...], tuple[int, ...]]:
    """The figures of a run natively, from market row `first` on: (`RUN_FIGURES`' values, trades per exit
    reason code).  `korvel.results._figures.reference_figures` is what they are: the NumPy functions of
    `korvel.results._stats`, which they equal bit for bit."""
    rec = records
    out: tuple[tuple[Any, ...], tuple[int, ...]] = portsim.run_figures(
        equity,
        dates,
        first,
        risk_free,
        rec.row_traded,
        rec.row_financing,
        rec.row_long,
        rec.row_short,
        rec.entry,
        rec.exit,
        columns,
        rec.weight,
        rec.statistics,
        unpriced_entry,
        rec.fees,
        rec.taxes,
        rec.slippage,
        rec.borrow,
        rec.impact,
        rec.exit_reason,
        len(rec.reason_names),
        missing,
        offsets,
    )
    return out


def _fills(ledger: dict[str, Any]) -> tuple[Int64Array, Int64Array, Float64Array, Float64Array | None] | None:
    listed = _triplet(ledger, "fill_row", "fill_sid", "fill_traded")
    if listed is None:
        return None
    adv = ledger.get("fill_adv")
    if adv is not None:
        adv.flags.writeable = False
    return (*listed, adv)


def _triplet(ledger: dict[str, Any], *keys: str) -> tuple[Int64Array, Int64Array, Float64Array] | None:
    """Three arrays of the ledger that list events (a row, a weight column, a value), read-only; None if
    the ledger does not have them."""
    if keys[0] not in ledger:
        return None
    rows, columns, values = (ledger[key] for key in keys)
    for array in (rows, columns, values):
        array.flags.writeable = False
    return rows, columns, values


def describe_engine() -> list[tuple[str, str]]:
    """(module name, file) of the native modules."""
    from korvel.core import strutil

    return [(m.__name__, str(m.__file__)) for m in (portsim, excursion, strutil)]
