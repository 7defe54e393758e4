"""Copying the engine's trade records out into NumPy arrays.

The recorder leaves one record per trade in three process-wide lists of
`korvel.core.excursion`, emptied by the next run, so they are read right
after the run, under the layer's lock.  A run may leave hundreds of thousands
of records: they are read with one pass per list and no Python code per
record (`np.fromiter` over the chained entries, one `bytes.join` of the
statistics arrays).
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from functools import cached_property
from typing import Any, cast

import numpy as np
import numpy.typing as npt

__all__ = ["Records", "copy_out", "statistics_size", "SNAPSHOT"]

#: The six values of a statistics snapshot, in the recorder's order.
SNAPSHOT = ("mae", "mfe", "mfe_before_mae", "max_drawdown", "profit_days", "return")


def statistics_size(window: int, step: int) -> int:
    """Values per record: a snapshot every `step` rows over the window, then the exit snapshot."""
    return 6 * ((window - 1) // step) + 12


@dataclass(frozen=True, eq=False)
class Records:
    """The records of one run, in the recorder's order (closed ones in closing order, then open ones)."""

    sid: npt.NDArray[np.int64]  # weight column
    entry: npt.NDArray[np.int64]  # price row of the entry
    exit: npt.NDArray[np.int64]  # price row of the exit, -1 while open
    weight: npt.NDArray[np.float64]  # weight at entry
    statistics: npt.NDArray[np.float64]  # (records, statistics_size): window snapshots, then the exit's

    def __len__(self) -> int:
        return int(self.sid.shape[0])

    @property
    def exit_snapshot(self) -> npt.NDArray[np.float64]:
        """(records, 6): the statistics at the exit (or now, while open)."""
        return self.statistics[:, -6:]

    @cached_property
    def exit_columns(self) -> npt.NDArray[np.float64]:
        """(6, records): the exit snapshot one statistic per row, each contiguous (for fast column work)."""
        columns = np.ascontiguousarray(self.exit_snapshot.T)
        columns.flags.writeable = False
        return columns


def copy_out(excursion: object, window: int, step: int) -> Records:
    """Read the record lists of the `excursion` module into arrays of their own."""
    trades = getattr(excursion, "trades")
    positions = getattr(excursion, "trade_positions")
    stats = getattr(excursion, "excursion")
    n = len(trades)
    if len(positions) != n or len(stats) != n:
        raise RuntimeError(f"the trade records are incomplete ({n} trades, {len(positions)} positions, "
                           f"{len(stats)} statistics)")
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


def _statistics(arrays: list[npt.NDArray[np.float64]], n: int, size: int) -> npt.NDArray[np.float64]:
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
