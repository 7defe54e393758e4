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

from korvel._typing import BoolArray
from korvel._typing import Int64Array as IntArray

REASONS = ("rebalance", "stop", "delisting", "open")
REBALANCE, STOP, DELISTING, OPEN = range(4)
UNKNOWN = -1
# The phases of a row, in the order they close holdings, as bits of a set of phases.
BIT = {STOP: 1, REBALANCE: 2, DELISTING: 4}
# Per set of phases: how many, and the reason when there is exactly one.
COUNT = np.array([0, 1, 1, 2, 1, 2, 2, 3], dtype=np.int8)
CODE = np.array([UNKNOWN, STOP, REBALANCE, UNKNOWN, DELISTING, UNKNOWN, UNKNOWN, UNKNOWN], dtype=np.int8)


def exit_reasons(
    sid: IntArray,
    entry: IntArray,
    exit: IntArray,
    applied: IntArray,
    weights: npt.NDArray[np.float64],
    delisting_rows: IntArray | None,
    equity: npt.NDArray[np.float64],
    *,
    stops: bool,
    touched: bool,
    stop_next: bool,
    split: bool,
) -> npt.NDArray[np.int8]:
    """Codes into REASONS per record, -1 where the reason cannot be told.

    `applied[i]` is the weight row applied on price row i (-1: none),
    `weights` the weight rows as the engine read them, `delisting_rows` the
    delisting row per weight column (-1: none), `equity` the run's curve,
    `split` whether a rebalance closes and re-opens every holding it resizes.
    """
    n = sid.shape[0]
    codes = np.full(n, OPEN, dtype=np.int8)
    where_closed = np.flatnonzero(exit >= 0)
    count = where_closed.shape[0]
    if count == 0:
        return codes
    closed: slice | npt.NDArray[np.intp] = where_closed
    if where_closed[-1] == count - 1:  # closed records come first, as the recorder lists them
        closed = slice(0, count)
    s, e, x = sid[closed], entry[closed], exit[closed]
    row = applied[x]
    rebalanced = row >= 0
    weighted = weights[row, s] != 0  # row -1 reads the last row: masked next
    weighted &= rebalanced
    held = e < x  # held when the row began (entries happen in the rebalance)
    # A new record of the same instrument opened on the exit row: the
    # rebalance split the holding, or re-bought it after a stop.  Records open
    # only on rows where a weight row is applied: a table of (such row,
    # instrument) flags answers it; its last two groups take the records
    # opened elsewhere (none are) and the exits on other rows (never set).
    slots = weights.shape[1]
    ordinal = np.cumsum(applied >= 0) - 1
    groups = int(ordinal[-1]) + 1
    opened = np.zeros((groups + 2) * slots, dtype=bool)
    opened[np.where(applied[entry] >= 0, ordinal[entry], groups) * slots + sid] = True
    reopened = opened[np.where(rebalanced, ordinal[x], groups + 1) * slots + s]

    # The possible phases of each record, as bits in the phases' order.
    possible = np.zeros(count, dtype=np.uint8)
    if stops:
        can_stop = held.copy()
        if not touched and not stop_next:
            # A close signal is not executed while the due weight row still
            # weights the instrument when stopped instruments may be re-bought.
            can_stop &= ~weighted
        # After a stop the rebalance re-buys only a weighted instrument, and
        # only when stopped instruments may be re-bought.
        can_stop &= reopened == (weighted if not stop_next else False)
        possible |= can_stop.view(np.uint8) * BIT[STOP]
    can_rebalance = rebalanced & held & (reopened == weighted)
    if not split:
        can_rebalance &= ~weighted  # a weighted holding is kept whole
    possible |= can_rebalance.view(np.uint8) * BIT[REBALANCE]
    if delisting_rows is not None:
        survived = ~reopened & (~rebalanced | (weighted & (not split)))
        can_delist = (delisting_rows[s] == x) & (~held | survived)
        possible |= can_delist.view(np.uint8) * BIT[DELISTING]
    if (COUNT[possible] > 1).any():
        possible = _order(possible, s, x)
    # A portfolio worth nothing or less is closed whole at a rebalance,
    # whatever the weights say: no reason is told around such rows.
    worthless = ~(equity > 0)
    worthless[1:] |= worthless[:-1]
    possible[worthless[x]] = 0
    codes[closed] = CODE[possible]
    return codes


def _order(possible: npt.NDArray[np.uint8], sid: IntArray, row: IntArray) -> npt.NDArray[np.uint8]:
    """Narrow the possible phases with the order of the records closed on each row."""
    n = sid.shape[0]
    bounds = np.flatnonzero(np.diff(row)) + 1
    starts = np.concatenate(([0], bounds))
    ends = np.concatenate((bounds, [n]))
    undecided = np.concatenate(([0], np.cumsum(COUNT[possible] > 1)))
    keep = undecided[ends] - undecided[starts] > 0
    starts, ends = starts[keep], ends[keep]
    feasible = _sweep(possible, sid, starts, ends, +1) & _sweep(possible, sid, starts, ends, -1)
    # A row without any consistent assignment stays undecided as a whole.
    stuck = np.concatenate(([0], np.cumsum(feasible == 0)))
    bad = stuck[ends] > stuck[starts]
    feasible[_in_groups(n, starts[bad], ends[bad])] = 0
    return np.where(_in_groups(n, starts, ends), feasible, possible)


# For a neighbour's set of phases (3 bits), and whether the instruments rise
# from the earlier record to the later one: the phases the record may be in.
# Looking forwards, the earlier record must be in an earlier phase, or in
# the same one when the instruments rise; looking backwards, the mirror.
_AFTER_FIRST = np.array([0, 6, 4, 6, 0, 6, 4, 6], dtype=np.uint8)
_BEFORE_LAST = np.array([0, 0, 1, 1, 3, 3, 3, 3], dtype=np.uint8)
_SAME = np.arange(8, dtype=np.uint8)
FORWARD = np.concatenate((_AFTER_FIRST, _AFTER_FIRST | _SAME))
BACKWARD = np.concatenate((_BEFORE_LAST, _BEFORE_LAST | _SAME))


def _sweep(
    bits: npt.NDArray[np.uint8], sid: IntArray, starts: IntArray, ends: IntArray, direction: int
) -> npt.NDArray[np.uint8]:
    """The phases each record can be in given the records before it (direction +1) or after it (-1).

    Vectorised over the rows: step t visits the t-th record of every row at once.
    """
    out = np.zeros_like(bits)
    rising = np.zeros(bits.shape[0], dtype=np.uint8)  # 8 where the instrument is above the previous record's
    rising[1:] = (sid[1:] > sid[:-1]).view(np.uint8) << 3
    table = FORWARD if direction > 0 else BACKWARD
    order = np.argsort(starts - ends, kind="stable")  # longest rows first: the live ones are a prefix
    starts, ends = starts[order], ends[order]
    lengths = ends - starts
    first = starts if direction > 0 else ends - 1
    out[first] = bits[first]
    live = lengths.shape[0]
    for t in range(1, int(lengths[0]) if lengths.size else 0):
        while lengths[live - 1] <= t:
            live -= 1
        if direction > 0:
            cur = starts[:live] + t
            step = out[cur - 1] | rising[cur]
        else:
            cur = ends[:live] - 1 - t
            step = out[cur + 1] | rising[cur + 1]
        out[cur] = bits[cur] & table[step]
    return out


def _in_groups(n: int, starts: IntArray, ends: IntArray) -> BoolArray:
    mask = np.zeros(n + 1, dtype=np.int64)
    np.add.at(mask, starts, 1)
    np.add.at(mask, ends, -1)
    return np.cumsum(mask[:n]) > 0
