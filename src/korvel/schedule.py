"""When the engine applies which weight row.

The engine marks every price row onto which a rebalance date falls (the last
row dated on or before it).  After each processed row it picks the newest
weight row dated strictly before the next price date; that row is applied on
the next row, at the next row's trading price, if the current row is marked
and the weight row differs from the one last applied.  Rows dated before the
first weight row are not processed at all.

`applied_weight_rows` replays exactly this, so that other tools (reference
calculations, peer libraries in the benchmarks) can trade the same weight rows
on the same price rows.
"""

from __future__ import annotations

import numpy as np

__all__ = ["marked_rows", "applied_weight_rows"]


def marked_rows(price_index: np.ndarray, resample: np.ndarray) -> np.ndarray:
    """Boolean per price row: some rebalance date falls onto it."""
    idx = np.asarray(price_index, dtype=np.int64)
    marked = np.zeros(idx.shape[0], dtype=bool)
    if idx.shape[0] == 0:
        return marked
    j = 0
    T = idx.shape[0]
    for d in np.asarray(resample, dtype=np.int64).tolist():
        while j + 1 < T and idx[j + 1] <= d:
            j += 1
        marked[j] = True
    return marked


def applied_weight_rows(price_index: np.ndarray, pos_index: np.ndarray,
                        resample: np.ndarray) -> tuple[np.ndarray, int, bool]:
    """Replay the engine's rebalance schedule.

    Returns ``(applied, due_row, due)``: `applied[i]` is the index of the weight
    row applied on price row i, or -1; after the last row, `due_row` is the
    weight row due next and `due` whether it would be applied on the next
    trading day.
    """
    idx = np.asarray(price_index, dtype=np.int64).tolist()
    pos = np.asarray(pos_index, dtype=np.int64).tolist()
    T, R = len(idx), len(pos)
    applied = np.full(T, -1, dtype=np.int64)
    if T == 0 or R == 0:
        return applied, 0, False
    marked = marked_rows(price_index, resample).tolist()
    pos_row, last_row, due = 0, -1, False
    for i in range(T):
        if idx[i] < pos[0]:
            continue
        if due:
            applied[i] = pos_row
            last_row = pos_row
        if i < T - 1:
            nxt = idx[i + 1]
            while pos_row < R - 1 and pos[pos_row + 1] < nxt:
                pos_row += 1
        else:
            pos_row = R - 1
        due = pos_row != last_row and marked[i]
    return applied, pos_row, due
