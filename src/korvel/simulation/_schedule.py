"""When the engine applies which weight row.

The engine marks every price row onto which a rebalance date falls (the last
row dated on or before it).  After each processed row it picks the newest
weight row dated strictly before the next price date; that row is applied on
the next row, at the next row's trading price, if the current row is marked
and the weight row differs from the one last applied.  Rows dated before the
first weight row are not processed at all.

`applied_weight_rows` replays exactly this, so that other tools (the pandas
layer's trade table, reference calculations, peer libraries in the
benchmarks) can trade the same weight rows on the same price rows.  Both
functions are vectorised: the layer calls them on every backtest.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from korvel._typing import Int64Array


def marked_rows(price_index: npt.ArrayLike, resample: npt.ArrayLike) -> npt.NDArray[np.bool_]:
    """Boolean per price row: some rebalance date falls onto it.

    The rebalance dates are taken in ascending order (the engine walks them
    with a pointer that only moves forward).
    """
    idx = np.asarray(price_index, dtype=np.int64)
    marked = np.zeros(idx.shape[0], dtype=bool)
    if idx.shape[0] == 0:
        return marked
    dates = np.asarray(resample, dtype=np.int64)
    # A date before the first row marks row 0.
    rows = np.maximum(np.searchsorted(idx, dates, side="right") - 1, 0)
    marked[rows] = True
    return marked


def applied_weight_rows(
    price_index: npt.ArrayLike, pos_index: npt.ArrayLike, resample: npt.ArrayLike
) -> tuple[Int64Array, int, bool]:
    """Replay the engine's rebalance schedule.

    Returns ``(applied, due_row, due)``: `applied[i]` is the index of the weight
    row applied on price row i, or -1; after the last row, `due_row` is the
    weight row due next and `due` whether it would be applied on the next
    trading day.  The dates are taken in ascending order.
    """
    idx = np.asarray(price_index, dtype=np.int64)
    pos = np.asarray(pos_index, dtype=np.int64)
    T, R = idx.shape[0], pos.shape[0]
    applied = np.empty(T, dtype=np.int64)
    applied.fill(-1)
    if T == 0 or R == 0:
        return applied, 0, False
    first = int(idx.searchsorted(pos[0], side="left"))  # first processed row
    if first == T:
        return applied, 0, False
    # Only the marked rows are read (a few per period): they are worked out alone, not every price row.
    # The marked processed rows, ascending, each once (as `marked_rows` marks them).
    rows = np.maximum(idx.searchsorted(np.asarray(resample, dtype=np.int64), side="right") - 1, 0)
    rows.sort()
    rows = rows[np.concatenate(([True], rows[1:] != rows[:-1]))] if rows.size else rows
    rows = rows[rows >= first]
    # After processed row i: the newest weight row dated before the next price date (after the last row:
    # the newest of all).
    cand = np.empty(rows.shape[0], dtype=np.int64)
    cand.fill(R - 1)
    inner = rows < T - 1
    cand[inner] = pos.searchsorted(idx[rows[inner] + 1], side="left") - 1
    # The weight row last applied is always the candidate of the latest marked
    # row (a marked row whose candidate equals it leaves it unchanged), so a
    # marked row makes its candidate due when that differs from the previous
    # marked row's candidate.
    due = cand != np.concatenate(([-1], cand[:-1]))
    take = rows[due] + 1
    inside = take < T
    applied[take[inside]] = cand[due][inside]
    last_due = bool(rows.size) and rows[-1] == T - 1 and bool(due[-1])
    return applied, R - 1, last_due
