"""Axis decisions shared by the chart and the report: when equity goes on a log scale, and its ticks."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

#: Equity whose largest value is more than this many times its smallest is drawn on a log scale.
LOG_SPAN = 10.0


def log_scale(curves: Sequence[object]) -> bool:
    """Log when the first curve's largest value is more than `LOG_SPAN` times its smallest and every value
    drawn (of every curve) is positive."""
    if not curves:
        return False
    values = np.asarray(curves[0], dtype=np.float64)
    values = values[np.isfinite(values)]
    if not values.size or values.min() <= 0 or values.max() <= LOG_SPAN * values.min():
        return False
    for curve in curves[1:]:
        other = np.asarray(curve, dtype=np.float64)
        if (other[np.isfinite(other)] <= 0).any():
            return False
    return True


def log_ticks(low: float, high: float) -> list[float]:
    """Ticks of a log axis from `low` to `high`: the decades (1, 10, 100, ...) within, and their halves
    (0.5, 5, 50, ...) too when at most one decade lies within, so that an axis always has two labels or more."""
    if not (low > 0 and high > low and math.isfinite(high)):
        return []
    first, last = math.floor(math.log10(low)), math.ceil(math.log10(high))
    decades = [10.0**k for k in range(first, last + 1) if low <= 10.0**k <= high]
    if len(decades) >= 2:
        return decades
    halves = [5.0 * 10.0**k for k in range(first - 1, last + 1) if low <= 5.0 * 10.0**k <= high]
    return sorted(decades + halves)


def tick_text(value: float) -> str:
    """A tick's label: plain digits (0.5, 1, 50, 1,000), never 1e+03."""
    return f"{value:,.0f}" if value >= 1 else f"{value:g}"


def decade_axis(ax: Any, *curves: object) -> None:
    """A log y axis labelled at the decades only (and their halves within a single decade)."""
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    values = np.concatenate([np.asarray(c, dtype=np.float64).ravel() for c in curves if c is not None])
    values = values[np.isfinite(values) & (values > 0)]
    ax.set_yscale("log")
    if values.size:
        ax.yaxis.set_major_locator(FixedLocator(log_ticks(float(values.min()), float(values.max()))))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: tick_text(v)))
        ax.yaxis.set_minor_locator(NullLocator())
