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


#: The engine's words for which an order is due on the next trading day, and those that close the holding.
ORDERS = frozenset({"enter", "exit", "hold", "tp", "sl", "tp_enter", "sl_enter"})
CLOSES = frozenset({"exit", "tp", "sl"})
SHARE_COLUMNS = ("shares_now", "shares_target", "shares_delta", "order_value")


def with_shares(
    table: pd.DataFrame,
    columns: np.ndarray,
    weights_now: np.ndarray,
    value: float,
    prices: np.ndarray,
    lots: np.ndarray | None = None,
) -> pd.DataFrame:
    """The orders table with its orders in shares, for a portfolio worth `value` (in the prices' currency).

    `columns`: the weight column of each row of `table`; `weights_now`: every weight column's holding over
    the portfolio value at the last close; `prices`: every weight column's last known close, at which the
    shares are counted (raw prices, for lots of adjusted prices).  `shares_target` is the held shares
    where no order is due, and is rounded toward 0 to whole `lots` (by weight column, NaN: fractional)
    where they are given; `order_value` is `shares_delta` at that close.
    """
    price = prices[columns]
    now = weights_now[columns] * value / price
    target = np.asarray(table["target"].to_numpy(dtype=np.float64) * value / price)
    codes = table["code"].to_numpy()
    resize = np.array([c in ORDERS and a != HOLD for c, a in zip(codes, table["action"])], dtype=bool)
    closes = np.array([c in CLOSES for c in codes], dtype=bool)
    if lots is not None:
        lot = lots[columns]
        whole = ~np.isnan(lot)
        target[whole] = np.trunc(target[whole] / lot[whole]) * lot[whole]
    target = np.where(closes, 0.0, np.where(resize, target, now))
    out = table.copy()
    out["shares_now"] = now
    out["shares_target"] = target
    out["shares_delta"] = target - now
    out["order_value"] = (target - now) * price
    return out


def last_known(close: np.ndarray) -> np.ndarray:
    """Each column's last close that is not NaN (NaN for a column without any)."""
    known = ~np.isnan(close)
    last = close.shape[0] - 1 - np.argmax(known[::-1], axis=0)
    out: np.ndarray = close[last, np.arange(close.shape[1])]
    out[~known.any(axis=0)] = np.nan
    return out
