"""Tomorrow's orders: the engine's operations record as a table by instrument."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

#: The engine's action words and what they tell a trader, in the order the table lists them.
ACTIONS = {
    "enter": "enter",
    "exit": "exit",
    "hold": "hold, resize to target",
    "tp": "exit: take profit",
    "sl": "exit: stop loss",
    "tp_enter": "exit (take profit), re-enter at target",
    "sl_enter": "exit (stop loss), re-enter at target",
    "tp_": "took profit since the last rebalance",
    "sl_": "stopped out since the last rebalance",
}
NO_ACTION = "keep"
#: A "hold" whose weight does not change: nothing to resize.
HOLD = "hold"
#: A "hold" whose holding lies within the rebalancing band of its target: not traded.
IN_BAND = "hold (within band)"


def actions_table(
    operations: dict[str, Any],
    instruments: pd.Index,
    weight_dates: pd.DatetimeIndex,
    *,
    rows: npt.NDArray[np.float64] | None = None,
    position_limit: float = 1.0,
    band: tuple[float, float] = (0.0, 0.0),
    closing_weights: npt.NDArray[np.float64] | None = None,
) -> pd.DataFrame:
    """One row per instrument that is held, targeted or has an action.

    `action` is the plain word ("keep" when the engine has none: nothing to
    do), `code` the engine's word, `weight` the weight the instrument got at
    the last applied rebalance (0 when it was closed since), `target` its
    weight in the weight row due next; `weight_date` and `target_date` are
    the dates of those two weight rows.

    The engine's record scales the weights to a gross sum of 1; given the
    weight `rows` as run (already scaled to `max_gross`), the weights are
    theirs, capped at `position_limit`.  Given a band (band, band_rel) and
    each holding's weight at the last close, a resize within the band says
    "hold (within band)".
    """
    words: dict[int, str] = {int(k): str(v) for k, v in operations.get("actions", {}).items()}
    now: dict[int, float] = {int(k): float(v) for k, v in operations.get("weights", {}).items()}
    nxt: dict[int, float] = {int(k): float(v) for k, v in operations.get("next_weights", {}).items()}
    if rows is not None:
        now = _as_run(now, rows, operations.get("weight_time"), position_limit)
        nxt = _as_run(nxt, rows, operations.get("next_weight_time"), position_limit)
    sids = sorted(set(words) | {k for k, v in now.items() if v != 0} | {k for k, v in nxt.items() if v != 0})
    rank = {w: k for k, w in enumerate(ACTIONS)}
    sids.sort(key=lambda sid: rank.get(words.get(sid, ""), len(rank)))
    codes = [words.get(sid, "") for sid in sids]
    weight = np.array([now.get(sid, 0.0) for sid in sids], dtype=np.float64)
    target = np.array([nxt.get(sid, 0.0) for sid in sids], dtype=np.float64)
    action = [ACTIONS.get(c, c) if c else NO_ACTION for c in codes]
    for k, code in enumerate(codes):
        if code == "hold" and abs(weight[k] - target[k]) <= 1e-12:
            action[k] = HOLD
        elif code == "hold" and closing_weights is not None and (band[0] > 0 or band[1] > 0):
            held, goal = float(closing_weights[sids[k]]), float(target[k])
            if goal != 0 and held * goal > 0 and abs(held - goal) <= max(band[0], band[1] * abs(goal)):
                action[k] = IN_BAND
    table = pd.DataFrame(
        {
            "action": action,
            "code": codes,
            "weight": weight,
            "target": target,
            "weight_date": _date(weight_dates, operations.get("weight_time")),
            "target_date": _date(weight_dates, operations.get("next_weight_time")),
        },
        index=pd.Index(instruments.take(np.array(sids, dtype=np.intp)), name="instrument"),
    )
    return table


def _as_run(
    weights: dict[int, float], rows: npt.NDArray[np.float64], row: object, position_limit: float
) -> dict[int, float]:
    """The engine's weights of a weight row as the run has the row: its own values, capped at the limit."""
    if not isinstance(row, (int, np.integer)) or not 0 <= int(row) < rows.shape[0]:
        return weights
    values = rows[int(row)]
    return {
        sid: float(np.clip(values[sid], -position_limit, position_limit)) if w != 0 else w for sid, w in weights.items()
    }


def _date(dates: pd.DatetimeIndex, row: object) -> object:
    if isinstance(row, (int, np.integer)) and 0 <= int(row) < len(dates):
        return dates[int(row)]
    return pd.NaT
