"""Why each trade record ended: told from the records and the schedule, where it can be told exactly.

On a price row the engine closes holdings in three phases, in this order:
stops (intraday touches, or yesterday's close signals), then the rebalance
(every weight column in ascending order: a zero weight closes the holding, a
non-zero one splits it into a new record unless costs are retained), then the
delistings of the day.  Its records list the exits in that order, each phase
in ascending instrument order.

Each closed record therefore has a set of possible reasons, from facts the
layer knows exactly: whether a weight row was applied on its exit row and
the instrument's weight there, whether a new record of the same instrument
starts on that row, whether the row is its delisting row, whether its entry
is on that row, and the rules.  Where one reason remains it is the reason.
Where several remain, the order of the records closed on the same row
decides if it can: the phases come in order and each is ascending by
instrument, so a forward and a backward pass over each row's records keep
only the phases that some consistent assignment gives.  A record still
undecided after that gets no reason (a missing value) rather than a guess.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["REASONS", "exit_reasons"]

REASONS = ("rebalance", "stop", "delisting", "open")
REBALANCE, STOP, DELISTING, OPEN = range(4)
UNKNOWN = -1
# The phases of a row, in the order they close holdings.
PHASE_ORDER = (STOP, REBALANCE, DELISTING)

BoolArray = npt.NDArray[np.bool_]
IntArray = npt.NDArray[np.int64]


def exit_reasons(sid: IntArray, entry: IntArray, exit: IntArray, applied: IntArray,
                 weights: npt.NDArray[np.float64], delisting_rows: IntArray | None, equity: npt.NDArray[np.float64],
                 *, stops: bool, touched: bool, stop_next: bool, split: bool) -> npt.NDArray[np.int8]:
    """Codes into REASONS per record, -1 where the reason cannot be told.

    `applied[i]` is the weight row applied on price row i (-1: none),
    `weights` the weight rows as the engine read them, `delisting_rows` the
    delisting row per weight column (-1: none), `equity` the run's curve,
    `split` whether a rebalance closes and re-opens every holding it resizes.
    """
    n = sid.shape[0]
    codes = np.full(n, UNKNOWN, dtype=np.int8)
    is_open = exit < 0
    codes[is_open] = OPEN
    closed = np.flatnonzero(~is_open)
    if closed.size == 0:
        return codes
    s, e, x = sid[closed], entry[closed], exit[closed]
    row = applied[x]
    rebalanced = row >= 0
    weight = np.where(rebalanced, weights[np.maximum(row, 0), s], 0.0)
    weighted = weight != 0
    held = e < x  # held when the row began (entries happen in the rebalance)
    # A new record of the same instrument opened on the exit row: the
    # rebalance split the holding, or re-bought it after a stop.
    span = int(max(entry.max(), exit.max())) + 2
    starts = np.sort(sid * span + entry)
    keys = s * span + x
    found = np.searchsorted(starts, keys)
    reopened = starts[np.minimum(found, starts.size - 1)] == keys

    can = np.zeros((closed.size, 3), dtype=bool)
    if stops:
        # A close signal is not executed while the due weight row still
        # weights the instrument (when stopped instruments may be re-bought);
        # after a stop the rebalance re-buys only then.
        kept_signal = ~touched & ~stop_next & rebalanced & weighted
        rebought = rebalanced & weighted & (not stop_next)
        can[:, STOP] = held & ~kept_signal & (reopened == rebought)
    can[:, REBALANCE] = rebalanced & held & (reopened == weighted) & (split | ~weighted)
    if delisting_rows is not None:
        delisted = delisting_rows[s] == x
        survived = ~reopened & (~rebalanced | (weighted & (not split)))
        can[:, DELISTING] = delisted & (~held | survived)
    count = can.sum(axis=1)
    if (count > 1).any():
        _order(can, s, x, count)
        count = can.sum(axis=1)
    # A portfolio worth nothing or less is closed whole at a rebalance,
    # whatever the weights say: no reason is told around such rows.
    worthless = ~(equity > 0)
    worthless[1:] |= worthless[:-1]
    decided = (count == 1) & ~worthless[x]
    codes[closed[decided]] = np.argmax(can[decided], axis=1)
    return codes


def _order(can: BoolArray, sid: IntArray, row: IntArray, count: npt.NDArray[np.int_]) -> None:
    """Narrow `can` in place with the order of the records closed on each row."""
    n = sid.shape[0]
    bounds = np.flatnonzero(np.diff(row)) + 1
    starts = np.concatenate(([0], bounds))
    ends = np.concatenate((bounds, [n]))
    undecided = np.concatenate(([0], np.cumsum(count > 1)))
    keep = undecided[ends] - undecided[starts] > 0
    starts, ends = starts[keep], ends[keep]
    phases = can[:, PHASE_ORDER]
    feasible = _sweep(phases, sid, starts, ends, +1) & _sweep(phases, sid, starts, ends, -1)
    # A row without any consistent assignment stays undecided as a whole.
    stuck = np.concatenate(([0], np.cumsum(~feasible.any(axis=1))))
    bad = _in_groups(n, starts[stuck[ends] > stuck[starts]], ends[stuck[ends] > stuck[starts]])
    feasible[bad] = False
    inside = _in_groups(n, starts, ends)
    for k, phase in enumerate(PHASE_ORDER):
        can[inside, phase] = feasible[inside, k]


def _sweep(phases: BoolArray, sid: IntArray, starts: IntArray, ends: IntArray, direction: int) -> BoolArray:
    """Which phase each record can be in, given the records before it (direction +1) or after it (-1).

    Vectorised over the rows: step t visits the t-th record of every row at once.
    """
    out = np.zeros_like(phases)
    lengths = ends - starts
    first = starts if direction > 0 else ends - 1
    out[first] = phases[first]
    for t in range(1, int(lengths.max()) if lengths.size else 0):
        live = lengths > t
        cur = (starts[live] + t) if direction > 0 else (ends[live] - 1 - t)
        prev = cur - direction
        before = out[prev]
        # The earlier record (in list order) must be in an earlier phase, or
        # in the same phase at a lower instrument.
        if direction > 0:
            earlier = np.cumsum(before, axis=1) - before > 0  # some phase before k
            same = before & (sid[prev] < sid[cur])[:, None]
        else:
            later = np.cumsum(before[:, ::-1], axis=1)[:, ::-1] - before > 0  # some phase after k
            earlier = later
            same = before & (sid[cur] < sid[prev])[:, None]
        out[cur] = phases[cur] & (earlier | same)
    return out


def _in_groups(n: int, starts: IntArray, ends: IntArray) -> BoolArray:
    mask = np.zeros(n + 1, dtype=np.int64)
    np.add.at(mask, starts, 1)
    np.add.at(mask, ends, -1)
    return np.cumsum(mask[:n]) > 0
