"""Tomorrow's orders: the engine's operations record as a table by instrument."""

from __future__ import annotations

from typing import Any

import numpy as np
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


def actions_table(operations: dict[str, Any], instruments: pd.Index, weight_dates: pd.DatetimeIndex) -> pd.DataFrame:
    """One row per instrument that is held, targeted or has an action.

    `action` is the plain word ("keep" when the engine has none: nothing to
    do), `code` the engine's word, `weight` the weight the instrument got at
    the last applied rebalance (0 when it was closed since), `target` its
    weight in the weight row due next; `weight_date` and `target_date` are
    the dates of those two weight rows.
    """
    words: dict[int, str] = {int(k): str(v) for k, v in operations.get("actions", {}).items()}
    now: dict[int, float] = {int(k): float(v) for k, v in operations.get("weights", {}).items()}
    nxt: dict[int, float] = {int(k): float(v) for k, v in operations.get("next_weights", {}).items()}
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


def _date(dates: pd.DatetimeIndex, row: object) -> object:
    if isinstance(row, (int, np.integer)) and 0 <= int(row) < len(dates):
        return dates[int(row)]
    return pd.NaT
