"""The heat map of a sweep: one figure over two of its keys, coloured by a statistic.

Built on a bare `matplotlib.figure.Figure`, as the result's own figure is.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvel.results._plot import require_matplotlib

if TYPE_CHECKING:
    from matplotlib.figure import Figure


# Cells are labelled with their values up to this many.
MAX_LABELLED = 400


def heatmap_table(
    stats: pd.DataFrame, x: str, y: str, metric: str, agg: str, where: dict[str, Any]
) -> tuple[pd.DataFrame, list[str]]:
    """(y values x x values table of `metric`, the keys aggregated over with `agg`)."""
    if stats.empty:
        raise ValueError("heatmap: no combination ran (see .failures)")
    keys = list(stats.index.names)
    for name, what in ((x, "x"), (y, "y")):
        if name not in keys:
            raise ValueError(f"heatmap: {what}={name!r} is not a key of the sweep ({', '.join(map(str, keys))})")
    if x == y:
        raise ValueError(f"heatmap: x and y are both {x!r}")
    if metric not in stats.columns:
        raise ValueError(f"heatmap: {metric!r} is not a statistic of the sweep")
    values = pd.to_numeric(stats[metric], errors="coerce")
    for key, value in where.items():
        if key not in keys:
            raise ValueError(f"heatmap: {key!r} is not a key of the sweep")
        if key in (x, y):
            raise ValueError(f"heatmap: {key!r} is an axis of the map; it cannot also be fixed")
        level = values.index.get_level_values(key)
        values = values[level.isna() if _missing(value) else level == value]
        if values.empty:
            raise ValueError(f"heatmap: no combination that ran has {key}={value!r}")
    others = [str(k) for k in keys if k not in (x, y) and k not in where]
    table = values.groupby(level=[y, x], sort=False).agg(agg).unstack(x)
    table = table.reindex(
        index=pd.unique(values.index.get_level_values(y)), columns=pd.unique(values.index.get_level_values(x))
    )
    return table, others


def _missing(value: Any) -> bool:
    # The index holds None (a rule left off) as NaN.
    return value is None or (isinstance(value, float) and value != value)


def heatmap_figure(table: pd.DataFrame, metric: str, agg: str, others: list[str], fixed: dict[str, Any]) -> Figure:
    require_matplotlib()
    from matplotlib.figure import Figure

    data = table.to_numpy(dtype=np.float64)
    rows, cols = data.shape
    fig = Figure(figsize=(max(4.0, 0.8 * cols + 2.5), max(3.0, 0.5 * rows + 1.8)), layout="constrained")
    ax = fig.add_subplot()
    finite = data[np.isfinite(data)]
    image = ax.imshow(
        np.ma.masked_invalid(data),
        cmap="RdYlGn",
        aspect="auto",
        vmin=finite.min() if finite.size else None,
        vmax=finite.max() if finite.size else None,
    )
    ax.set_xticks(range(cols), [str(v) for v in table.columns])
    ax.set_yticks(range(rows), [str(v) for v in table.index])
    ax.set_xlabel(str(table.columns.name))
    ax.set_ylabel(str(table.index.name))
    if rows * cols <= MAX_LABELLED:
        for i in range(rows):
            for j in range(cols):
                if np.isfinite(data[i, j]):
                    ax.text(j, i, f"{data[i, j]:.3g}", ha="center", va="center", fontsize=8)
    title = metric
    if others:
        title += f" ({agg} over {', '.join(others)})"
    if fixed:
        title += "; " + ", ".join(f"{k}={v!r}" for k, v in fixed.items())
    ax.set_title(title)
    fig.colorbar(image, ax=ax, shrink=0.8, label=metric)
    return fig
