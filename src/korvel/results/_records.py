"""The trade records of one run as arrays, and the names of their statistics.

The engine boundary (`korvel._engine`) fills a `Records` when a run ends;
everything that reads trades (the trades table, the statistics, the plot)
reads these arrays, by the names declared here.
"""

from __future__ import annotations

from dataclasses import dataclass
from enum import IntEnum
from functools import cached_property

import numpy as np

from korvel._typing import Float64Array, Int64Array


class Snapshot(IntEnum):
    """The six values of a statistics snapshot, in the recorder's order."""

    MAE = 0  # maximum adverse excursion (the trough of the trade's return)
    MFE = 1  # maximum favourable excursion (its peak)
    MFE_BEFORE_MAE = 2  # the peak as of the trough
    MAX_DRAWDOWN = 3  # deepest fall from the trade's running peak
    PROFIT_DAYS = 4  # rows with a close above the entry
    RETURN = 5  # the trade's return

    @property
    def column(self) -> str:
        """The column name in the trades table."""
        return self.name.lower()


#: The snapshot's column names, in order.
SNAPSHOT = tuple(s.column for s in Snapshot)
SNAPSHOT_SIZE = len(Snapshot)


def statistics_size(window: int, step: int) -> int:
    """Values per record: a snapshot every `step` rows over the window, then the exit snapshot."""
    return SNAPSHOT_SIZE * ((window - 1) // step) + 2 * SNAPSHOT_SIZE


@dataclass(frozen=True, eq=False)
class Records:
    """The records of one run, in the recorder's order (closed ones in closing order, then open ones)."""

    sid: Int64Array  # weight column
    entry: Int64Array  # price row of the entry
    exit: Int64Array  # price row of the exit, -1 while open
    weight: Float64Array  # weight at entry
    statistics: Float64Array  # (records, statistics_size): window snapshots, then the exit's

    def __len__(self) -> int:
        return int(self.sid.shape[0])

    @property
    def exit_snapshot(self) -> Float64Array:
        """(records, 6): the statistics at the exit (or now, while open)."""
        return self.statistics[:, -SNAPSHOT_SIZE:]

    @cached_property
    def exit_columns(self) -> Float64Array:
        """(6, records): the exit snapshot one statistic per row, each contiguous (for fast column work)."""
        columns = np.ascontiguousarray(self.exit_snapshot.T)
        columns.flags.writeable = False
        return columns

    def exit_value(self, field: Snapshot) -> Float64Array:
        """One statistic of the exit snapshot, for every record."""
        column: Float64Array = self.exit_columns[field]
        return column
