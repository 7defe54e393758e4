"""The figure of a run: equity with the benchmark, drawdown, MAE vs MFE per trade, monthly returns.

Built on a bare `matplotlib.figure.Figure` (no pyplot, no GUI backend, no
global state), so it works in scripts, notebooks and worker processes alike.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from korvel.results._axes import decade_axis, log_scale

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


# More trades than this are thinned (evenly, in record order) in the scatter.
MAX_POINTS = 20_000


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'korvel[plot]'") from None


def result_figure(
    equity: pd.Series, benchmark: pd.Series | None, drawdown: pd.Series, excursions: pd.DataFrame, monthly: pd.DataFrame
) -> Figure:
    """The figure of a run from its series: `excursions` has the trades' `mae`, `mfe` and `return`."""
    require_matplotlib()
    from matplotlib.figure import Figure

    fig = Figure(figsize=(12, 8), layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=[2.0, 1.0], height_ratios=[2.0, 1.0])
    ax_equity = fig.add_subplot(grid[0, 0])
    ax_drawdown = fig.add_subplot(grid[1, 0], sharex=ax_equity)
    ax_trades = fig.add_subplot(grid[0, 1])
    ax_months = fig.add_subplot(grid[1, 1])

    ax_equity.plot(equity.index, equity.to_numpy(), color="#1f4e79", lw=1.2, label="strategy")
    if benchmark is not None:
        ax_equity.plot(benchmark.index, benchmark.to_numpy(), color="#888888", lw=1.0, label=str(benchmark.name))
        ax_equity.legend(loc="upper left", fontsize=8)
    ax_equity.axhline(1.0, color="grey", lw=0.6, ls=":")
    log = log_scale([equity] + ([benchmark] if benchmark is not None else []))
    if log:  # as the report draws it: growth beyond tenfold on a log scale, labelled at the decades
        decade_axis(ax_equity, equity, benchmark)
    ax_equity.set_ylabel("equity (start = 1" + (", log scale)" if log else ")"))
    ax_equity.set_title("Equity")
    ax_equity.grid(alpha=0.3)

    ax_drawdown.fill_between(drawdown.index, 100 * drawdown.to_numpy(), 0, color="#b22222", alpha=0.4, lw=0)
    ax_drawdown.set_ylabel("drawdown %")
    ax_drawdown.grid(alpha=0.3)

    _excursions(ax_trades, excursions)
    _months(fig, ax_months, monthly)
    return fig


def _excursions(ax: Axes, excursions: pd.DataFrame) -> None:
    mae, mfe, ret = (excursions[c].to_numpy(dtype=np.float64) for c in ("mae", "mfe", "return"))
    ok = np.flatnonzero(~(np.isnan(mae) | np.isnan(mfe) | np.isnan(ret)))
    thinned = ok.size > MAX_POINTS
    if thinned:
        ok = ok[np.linspace(0, ok.size - 1, MAX_POINTS).astype(np.intp)]
    win = ok[ret[ok] > 0]
    lose = ok[ret[ok] <= 0]
    size = 4 if ok.size > 2000 else 10
    ax.scatter(-100 * mae[lose], 100 * mfe[lose], s=size, c="#c0392b", alpha=0.5, lw=0, label=f"losers ({lose.size})")
    ax.scatter(-100 * mae[win], 100 * mfe[win], s=size, c="#27ae60", alpha=0.5, lw=0, label=f"winners ({win.size})")
    ax.set_xlabel("adverse excursion, % against")
    ax.set_ylabel("favourable excursion, % in favour")
    ax.set_title("MAE vs MFE per trade" + (f" ({MAX_POINTS:,} of {len(excursions):,})" if thinned else ""))
    ax.grid(alpha=0.3)
    if ok.size:
        ax.legend(loc="upper right", fontsize=8)


def _months(fig: Figure, ax: Axes, table: pd.DataFrame) -> None:
    values = 100 * table.to_numpy(dtype=np.float64)
    finite = values[np.isfinite(values)]
    limit = float(np.abs(finite).max()) if finite.size else 1.0
    image = ax.imshow(values, cmap="RdYlGn", vmin=-limit, vmax=limit, aspect="auto")
    ax.set_xticks(range(12), [str(m) for m in range(1, 13)], fontsize=7)
    years = [str(y) for y in table.index]
    step = max(1, len(years) // 12)
    ax.set_yticks(range(0, len(years), step), years[::step], fontsize=7)
    ax.set_title("Monthly returns %")
    fig.colorbar(image, ax=ax, shrink=0.8)
