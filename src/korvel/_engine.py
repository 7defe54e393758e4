"""The engine boundary: the only module of the layer that imports `korvel.core`.

It lays out the engine's arguments (once, for every caller), holds the lock
that serialises runs (the engine keeps its flags, its operations record and
its trade records per process), runs the engine and copies what it left out
into arrays of the layer's own, before the next run can replace them.

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
`stock_operations`     tomorrow's orders (`korvel.Result.actions`)
touched exit           an intraday stop (`touched_exit=True`)
=====================  ===========================================================
"""

from __future__ import annotations

import itertools
import threading
import time
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from korvel._typing import Float64Array, Int64Array, ObjectArray
from korvel.core import excursion, portsim
from korvel.results._records import Records, statistics_size

#: One run and the copy-out of its records at a time, per process.
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
    """What one engine run left, copied out."""

    equity: Float64Array  # one value per market row, read-only
    records: Records
    operations: dict[str, Any]  # the operations record, its dicts copied
    seconds: float  # wall time of the engine call alone


def run(arrays: dict[str, Any], rule_keywords: dict[str, Any], window: int, step: int) -> EngineRun:
    """Run the engine on `arrays` with the rules' engine keywords, and copy its results out."""
    with ENGINE_LOCK:
        start = time.perf_counter()
        equity = portsim.backtest_(**arrays, **rule_keywords, **ENGINE_ONLY)
        seconds = time.perf_counter() - start
        records = copy_out(excursion, window, step)
        operations = {k: dict(v) if isinstance(v, dict) else v for k, v in portsim.get_stock_operations().items()}
    equity.flags.writeable = False
    return EngineRun(equity, records, operations, seconds)


def describe_engine() -> list[tuple[str, str]]:
    """(module name, file) of the native modules."""
    from korvel.core import strutil

    return [(m.__name__, str(m.__file__)) for m in (portsim, excursion, strutil)]


# --------------------------------------------------------------------------- copy-out

# The recorder leaves one record per trade in three process-wide lists of
# `korvel.core.excursion`, emptied by the next run, so they are read right
# after the run, under the lock.  A run may leave hundreds of thousands of
# records: they are read with one pass per list and no Python code per record
# (`np.fromiter` over the chained entries, one `bytes.join` of the statistics).


def copy_out(recorder: Any, window: int, step: int) -> Records:
    """Read the record lists of the recorder module into arrays of their own."""
    trades = recorder.trades
    positions = recorder.trade_positions
    stats = recorder.excursion
    n = len(trades)
    if len(positions) != n or len(stats) != n:
        raise RuntimeError(
            f"the trade records are incomplete ({n} trades, {len(positions)} positions, {len(stats)} statistics)"
        )
    size = statistics_size(window, step)
    if n == 0:
        empty = np.empty(0, dtype=np.int64)
        return Records(empty, empty.copy(), empty.copy(), np.empty(0), np.empty((0, size)))
    if len(trades[0]) != 3 or len(trades[-1]) != 3:
        raise RuntimeError("a trade record is not [instrument, entry row, exit row]")
    rows = np.fromiter(itertools.chain.from_iterable(trades), dtype=np.int64, count=3 * n).reshape(n, 3)
    columns = np.ascontiguousarray(rows.T)  # contiguous columns: all later work is by column
    weight = np.fromiter(positions, dtype=np.float64, count=n)
    return Records(columns[0], columns[1], columns[2], weight, _statistics(stats, n, size))


def _statistics(arrays: list[Float64Array], n: int, size: int) -> Float64Array:
    first = arrays[0]
    if first.dtype != np.float64 or first.shape != (size,):
        raise RuntimeError(f"a trade record's statistics are {first.dtype} {first.shape}, not float64 ({size},)")
    try:
        # One copy of all the buffers, far cheaper than np.concatenate's per-array checks.
        flat = np.frombuffer(b"".join(cast("list[Any]", arrays)), dtype=np.float64)
    except (BufferError, TypeError, ValueError):  # a statistics array that is not contiguous
        flat = np.concatenate(arrays)
    if flat.shape[0] != n * size:
        raise RuntimeError("the trade records' statistics differ in size")
    return flat.reshape(n, size)
