"""A look-ahead check: does a strategy's weight on a date change when the data after that date is removed?

A strategy that decides on a date from the prices up to that date gives
the same weights for it whether the market ends there or runs on for
years.  `check_lookahead` reruns the strategy on the market cut short at a
sample of its own decision dates (the dates of its weights) and compares
every weight the full run dates on or before a cut: a strategy that peeks
a day ahead on its decision dates is seen at each of them, whatever its
rebalance.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from korvel._market import Market, as_market
from korvel.simulation._rules import RULES

COLUMNS = ["instrument", "date", "full", "truncated", "cut"]


def _weights(strategy: Callable[..., Any], market: Market, params: Mapping[str, Any], where: str) -> pd.DataFrame:
    weights = strategy(market, **params)
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(
            f"strategy must return a weights DataFrame (dates x instruments), got {type(weights).__name__} {where}"
        )
    if weights.index.has_duplicates or weights.columns.has_duplicates:
        axis = "dates" if weights.index.has_duplicates else "instruments"
        raise ValueError(f"strategy returned weights with duplicate {axis} {where}")
    return weights


def _truncated(market: Market, cut: pd.Timestamp) -> Market:
    """The market as it stood at the close of `cut`: its tables up to that date, the delistings up to it."""
    frames = {name: getattr(market, name).loc[:cut] for name in market.tables}
    delisted = market.delisted
    delisted = delisted[delisted <= cut]
    return Market(frames.pop("close"), delisted=delisted if len(delisted) else None, **frames)


def _cut_rows(first: int, last: int, cuts: int, seed: int) -> list[int]:
    """Up to `cuts` distinct positions in [first, last): one drawn in each of `cuts` equal stretches (all of them
    when there are no more than `cuts`)."""
    if last - first <= cuts:
        return list(range(first, last))
    rng = np.random.Generator(np.random.PCG64(seed))
    edges = np.ceil(np.linspace(first, last, cuts + 1)).astype(np.int64)  # disjoint stretches of whole positions
    low, high = edges[:-1], edges[1:]
    rows = low + np.floor(rng.random(cuts) * (high - low)).astype(np.int64)
    return [int(r) for r in rows]


def _compare(full: pd.DataFrame, short: pd.DataFrame, cut: pd.Timestamp) -> pd.DataFrame:
    """Every weight the full run dates on or before `cut` that the truncated run does not give alike."""
    full = full.loc[full.index <= cut]
    instruments = full.columns.union(short.columns, sort=False)
    a = full.reindex(columns=instruments).to_numpy(dtype=np.float64, na_value=np.nan)
    b = short.reindex(index=full.index, columns=instruments).to_numpy(dtype=np.float64, na_value=np.nan)
    present_a = np.zeros(a.shape, dtype=bool)
    present_a[:, instruments.get_indexer(full.columns)] = True
    present_b = np.zeros(b.shape, dtype=bool)
    rows = full.index.get_indexer(short.index)
    hit = rows >= 0
    present_b[np.ix_(rows[hit], instruments.get_indexer(short.columns))] = True
    same = (a == b) | (np.isnan(a) & np.isnan(b))
    changed = ~(same & (present_a == present_b))
    r, c = np.nonzero(changed)
    return pd.DataFrame(
        {"instrument": instruments[c], "date": full.index[r], "full": a[r, c], "truncated": b[r, c], "cut": cut}
    )


def check_lookahead(
    strategy: Callable[..., Any],
    market: Market | pd.DataFrame,
    params: Mapping[str, Any] | None = None,
    cuts: int = 5,
    seed: int = 0,
) -> pd.DataFrame | None:
    """Look for weights that depend on data from after their date.

    The strategy is run on the full market, then once on the market cut at
    each of `cuts` of its own decision dates (the dates of the weights it
    returns; every table the market has, up to and including the cut date,
    and the delistings that fall on or before it).  Every
    weight the full run dates on or before a cut must come out the same from
    the truncated run.  Only the dates of the full run are compared: a row
    the truncated run adds (on its last date, a month-end rule that sees a
    partial month) is not a finding.

    Parameters
    ----------
    strategy : function
        ``strategy(market, **params) -> weights DataFrame`` (dates x
        instruments), as `korvel.sweep` takes it.
    market : Market or DataFrame
        The full market; a DataFrame is taken as the closes, as `backtest`
        and `sweep` take it.
    params : mapping, optional
        Keywords for the strategy; keys that are backtest rules
        (`korvel.RULES`) are left out, so a sweep's combination can be passed
        as it is.
    cuts : int
        Number of truncations (at least 1): a sample of the strategy's
        decision dates before the last market date, spread evenly over them
        (one drawn in each of `cuts` equal stretches), jittered by `seed`;
        every decision date when it has no more than `cuts`.
    seed : int
        Seed of the jitter (`numpy.random.PCG64`).

    Returns
    -------
    DataFrame or None
        None when no weight changed: the strategy used no data from after
        its decision dates, at least on these cuts.  Otherwise one row per
        changed weight: instrument, date, full and truncated (the two weights;
        NaN equals NaN, and a weight missing on one side shows as NaN there
        and counts as changed) and the cut date.

    Raises
    ------
    TypeError
        The strategy does not return a DataFrame.
    ValueError
        Its weights have duplicate dates or instruments, or none on a
        market date.  Errors the strategy raises on a truncated market are
        passed on as they are.
    """
    if not callable(strategy):
        raise TypeError(f"strategy must be a function (market, **params) -> weights, not {type(strategy).__name__}")
    if not isinstance(market, (Market, pd.DataFrame)):
        raise TypeError(f"market must be a korvel.Market or a DataFrame of closes, not {type(market).__name__}")
    market = as_market(market)
    if params is not None and not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping of keywords, not {type(params).__name__}")
    kwargs = {k: v for k, v in (params or {}).items() if k not in RULES}
    for name, value, low in (("cuts", cuts, 1), ("seed", seed, 0)):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
        if value < low:
            raise ValueError(f"{name} must be at least {low}, got {value}")
    full = _weights(strategy, market, kwargs, "on the full market")
    dates = market.dates
    if len(full.index) == 0:
        return None
    if not isinstance(full.index, pd.DatetimeIndex) or not full.index.isin(dates).all():
        raise ValueError("strategy returned weights on dates that are not market dates")
    # The decision dates with data after them, in order (weights may come in any order).
    decisions = full.index.unique().sort_values()
    decisions = decisions[decisions < dates[-1]]
    if not len(decisions):  # nothing to cut after
        return None
    findings = []
    for k in _cut_rows(0, len(decisions), int(cuts), int(seed)):
        cut = decisions[k]
        short = _weights(strategy, _truncated(market, cut), kwargs, f"on the market cut at {_when(cut)}")
        found = _compare(full, short, cut)
        if len(found):
            findings.append(found)
    if not findings:
        return None
    out = pd.concat(findings, ignore_index=True)
    return out[COLUMNS]


def require_no_lookahead(
    strategy: Callable[..., Any],
    market: Market,
    params: Mapping[str, Any] | None = None,
    cuts: int = 5,
    seed: int = 0,
    show: int = 5,
) -> None:
    """Raise a ValueError listing the first findings of `check_lookahead`, if any.

    For sweeps and walk-forward runs that refuse a strategy peeking ahead;
    the arguments are those of `check_lookahead`, `show` the number of
    findings the message lists.
    """
    found = check_lookahead(strategy, market, params, cuts=cuts, seed=seed)
    if found is None:
        return
    lines = [
        f"  {row['instrument']!r} on {_when(row['date'])}: {_text(row['full'])} with all the data, "
        f"{_text(row['truncated'])} with the data up to {_when(row['cut'])}"
        for row in found.head(max(int(show), 0)).to_dict("records")
    ]
    more = len(found) - len(lines)
    tail = [f"  ... and {more} more"] if more > 0 else []
    label = getattr(strategy, "__qualname__", repr(strategy))
    head = f"strategy {label} looks ahead: {len(found)} weights change when later data is removed"
    raise ValueError("\n".join([head, *lines, *tail]))


def _text(value: float) -> str:
    return "none" if math.isnan(value) else f"{value:g}"


def _when(date: pd.Timestamp) -> str:
    return str(date.date()) if date == date.normalize() else str(date)
