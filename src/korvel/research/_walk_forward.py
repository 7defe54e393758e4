"""korvel.walk_forward: choose the parameters on a past window, trade them on the next, and repeat.

One backtest per combination, not one per fold: every combination of the
grid runs once over the whole market (a `korvel.sweep`, on any executor),
and its figure on a fold's train window is read off that run's equity.
The choices are then traded in one real backtest: the chosen combination's
weight rows of each test window, stitched in date order and backtested with
the rules, so holdings, stops, costs and tomorrow's orders carry over from
one fold to the next as they would for a strategy re-optimised every `test`.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel._market import Market, as_market, view_of
from korvel.results import _stat_table, _stats
from korvel.results._report_charts import Panel
from korvel.results._result import Result, report_data
from korvel.simulation._backtest import backtest
from korvel.simulation._rates import per_row_rates, run_risk_free
from korvel.simulation._rules import RULES
from korvel.sweeps._grid import expand
from korvel.sweeps._sweep import Sweep, sweep
from korvel.sweeps._task import split

if TYPE_CHECKING:
    from matplotlib.figure import Figure

#: The statistics a return series defines, which a fold can be chosen by.
SELECTABLE = _stat_table.SELECTABLE
#: Keywords of `korvel.sweep` that are not the strategy's nor the backtest's.
SWEEP_KEYWORDS = ("executor", "workers", "progress", "keep", "checkpoint", "batch", "stall_timeout")

Window = int | pd.offsets.BaseOffset


@dataclass(frozen=True)
class Fold:
    """Row ranges of one fold (the ends excluded)."""

    train: tuple[int, int]
    test: tuple[int, int]


def walk_forward(
    strategy: Callable[..., pd.DataFrame],
    market: Market | pd.DataFrame,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    train: Window,
    test: Window,
    anchored: bool = False,
    select: str = "sharpe",
    lowest: bool = False,
    check_lookahead: bool = False,
    **keywords: Any,
) -> WalkForward:
    """Walk-forward optimisation: on each fold, the grid's best combination on the train window trades the test window.

    Parameters
    ----------
    strategy : function
        ``strategy(market, **parameters) -> weights DataFrame``, as
        `korvel.sweep` takes it.
    market : Market or DataFrame of closes
    grid : mapping or list of dicts
        The strategy's parameters, as `korvel.sweep` takes them.  Rules
        (`korvel.RULES`) are refused here: the out-of-sample run is one
        backtest with one rule set; fix them by keyword (``fee=0.001``).
    train, test : int or pandas.DateOffset
        The windows' lengths: a number of market rows, or a calendar
        duration (``pd.DateOffset(years=3)``).  The first train window starts
        at the latest first weight date of the combinations; the test
        windows follow it and one another without gap or overlap (each fold
        steps by `test`), the last one cut at the last market date.  A
        calendar test window holding no market row is no fold.
    anchored : bool
        Every train window starts at that first date (an expanding window)
        instead of rolling with the folds.
    select : str
        The figure a fold's choice maximises, computed from the returns the
        combination's run has inside the train window (from its first row to
        its last) exactly as `Result.stats()` computes it: total_return,
        cagr, annual_volatility, sharpe, sortino, calmar or max_drawdown.
        Ties go to the first combination in grid order.
    lowest : bool
        Choose the lowest `select` instead (annual_volatility, say).
    check_lookahead : bool
        First check the first combination with `korvel.check_lookahead` and
        raise a ValueError listing the first weights that change when later
        data is removed.
    **keywords
        Every keyword of `korvel.sweep` (executor, workers, progress, keep,
        checkpoint, batch, stall_timeout) works as there; the others are fixed strategy keywords
        and rules for every backtest.

    Returns
    -------
    WalkForward
        `folds`, `result` (the stitched out-of-sample backtest), `sweep`,
        `efficiency`, `plot()`, `overfitting()`, `report()`.

    The cost is that of the sweep (one backtest per combination; its
    equity is kept, 8 bytes per market row and combination) plus one.
    """
    market_ = as_market(market)
    combos = expand(grid)
    rules = [k for k in combos.keys if k in RULES]
    if rules:
        raise ValueError(
            f"walk_forward: the grid holds the rule {rules[0]!r}; the out-of-sample run is one backtest with one "
            f"rule set: fix it as a keyword ({rules[0]}=...) or run one walk-forward per value"
        )
    train_ = _window(train, "train", market_.dates[0])
    test_ = _window(test, "test", market_.dates[0])
    for name, flag in (("anchored", anchored), ("lowest", lowest), ("check_lookahead", check_lookahead)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be True or False, not {flag!r}")
    if not isinstance(select, str) or select not in SELECTABLE:
        raise ValueError(f"select must be one of {', '.join(SELECTABLE)} (a figure of a return series), not {select!r}")
    dates = market_.dates
    if (train_ >= len(dates)) if isinstance(train_, int) else (dates[0] + train_ > dates[-1]):
        raise ValueError(
            f"walk_forward: train ({train_!r}) is longer than the market ({len(dates)} rows, "
            f"{dates[0]} .. {dates[-1]}): no test window is left"
        )
    keep = keywords.pop("keep", "stats")
    kept = [keep] if isinstance(keep, str) else list(keep) if isinstance(keep, Sequence) else [keep]
    sw = sweep(
        strategy,
        market_,
        combos.params,
        keep=tuple(dict.fromkeys([*kept, "stats", "equity"])),
        check_lookahead=check_lookahead,
        **keywords,
    )
    fixed = {k: v for k, v in keywords.items() if k not in SWEEP_KEYWORDS}
    return _walk(strategy, market_, list(combos.params), sw, fixed, train_, test_, anchored, select, lowest)


def _window(value: object, name: str, when: pd.Timestamp) -> Window:
    if isinstance(value, pd.offsets.BaseOffset):
        if value.n <= 0 or not when + value > when:
            raise ValueError(f"{name} must be a positive duration, not {value!r}")
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            f"{name} must be a number of market rows or a pandas.DateOffset (pd.DateOffset(years=3)), not {value!r}"
        )
    if value < 1:
        raise ValueError(f"{name} must be at least 1 market row, not {value!r}")
    return int(value)


def fold_rows(dates: pd.DatetimeIndex, start: int, train: Window, test: Window, anchored: bool) -> list[Fold]:
    """The folds' row ranges on `dates`, the first train window starting at row `start`."""
    rows = len(dates)

    def row_at(when: pd.Timestamp) -> int:
        return int(dates.searchsorted(when, side="left"))

    if isinstance(train, int):
        first = start + train
        origin = dates[first] if first < rows else None
    else:
        origin = dates[start] + train
        first = row_at(origin)
    folds: list[Fold] = []
    lo, k = first, 0
    while lo < rows:
        assert origin is not None
        if isinstance(test, int):
            boundary, hi = dates[lo], min(lo + test, rows)
        else:
            boundary = origin if k == 0 else origin + test * k
            hi = min(row_at(origin + test * (k + 1)), rows)
        if anchored:
            train_lo = start
        elif isinstance(train, int):
            train_lo = lo - train
        else:
            train_lo = max(start, row_at(boundary - train))
        if hi > lo:
            folds.append(Fold((train_lo, lo), (lo, hi)))
        lo, k = max(hi, lo), k + 1
    return folds


def window_figures(
    equity: npt.NDArray[np.float64],
    first: int,
    lo: int,
    hi: int,
    dates_ns: npt.NDArray[np.int64],
    rf: npt.NDArray[np.float64] | None = None,
) -> dict[str, Any]:
    """The `stats()` figures of the returns a run (live from row `first`) has on rows lo .. hi - 1.

    The equity is taken from the row before the window (the close the first
    return in it is measured from), or from `first` when the window starts
    there, and rescaled to start at 1.0, as a run starting there starts.
    `rf`: the risk-free return of every market row (None for 0).
    """
    base = lo - 1 if lo - 1 >= first else lo
    with np.errstate(divide="ignore", invalid="ignore"):  # a run that lost everything: no figures after that
        segment = equity[base:hi] / equity[base]
        return _stats.performance(segment, dates_ns[base:hi], None if rf is None else rf[base:hi])


def _walk(
    strategy: Callable[..., pd.DataFrame],
    market: Market,
    params: list[dict[str, Any]],
    sw: Sweep,
    fixed: dict[str, Any],
    train: Window,
    test: Window,
    anchored: bool,
    select: str,
    lowest: bool,
) -> WalkForward:
    stats = sw.stats
    if stats.empty:
        raise ValueError("walk_forward: no combination ran (see .sweep.failures)")
    positions = sw.combinations.get_indexer(stats.index)  # the combinations that ran, in grid order
    equity = sw.equity.to_numpy()
    live = ~np.isnan(equity)
    first = live.argmax(axis=0)
    start = int(first.max())
    dates = market.dates
    dates_ns = view_of(market).dates
    folds = fold_rows(dates, start, train, test, anchored)
    if not folds:
        raise ValueError(
            f"walk_forward: train ({train!r}) from {dates[start]} (the latest first weight date of the "
            f"combinations) reaches past the last market date {dates[-1]}: no test window is left"
        )
    fixed_strategy, fixed_rules = split(fixed)
    # Every combination runs with the fixed rules (a rule in the grid is refused): one risk-free rate.
    rf = per_row_rates(dates, *run_risk_free(fixed_rules), name="rf")
    rf_rows = rf if rf.any() else None
    rows = []
    in_cagr = []
    chosen: list[int] = []
    for number, fold in enumerate(folds):
        figures = [
            window_figures(equity[:, j], int(first[j]), *fold.train, dates_ns, rf_rows) for j in range(equity.shape[1])
        ]
        values = np.array([f[select] for f in figures], dtype=np.float64)
        if np.isnan(values).all():
            raise ValueError(
                f"walk_forward: no combination has a {select} on fold {number}'s train window "
                f"{dates[fold.train[0]]} .. {dates[fold.train[1] - 1]} (too short a window?)"
            )
        j = int(np.nanargmin(values) if lowest else np.nanargmax(values))
        chosen.append(j)
        in_cagr.append(figures[j]["cagr"])
        outside = window_figures(equity[:, j], int(first[j]), *fold.test, dates_ns, rf_rows)
        rows.append(
            {
                "train_start": dates[fold.train[0]],
                "train_end": dates[fold.train[1] - 1],
                "test_start": dates[fold.test[0]],
                "test_end": dates[fold.test[1] - 1],
                **params[positions[j]],
                "in_sample": values[j],
                "out_of_sample": outside[select],
            }
        )
    table = pd.DataFrame(rows, index=pd.RangeIndex(len(rows), name="fold"))
    table.attrs["select"] = select
    result = backtest(
        _stitched(strategy, market, params, positions, chosen, folds, fixed_strategy), market, **fixed_rules
    )
    mean_in = float(np.nanmean(in_cagr)) if not np.isnan(in_cagr).all() else math.nan
    out_cagr = float(result.stats()["cagr"])
    efficiency = out_cagr / mean_in if mean_in > 0 else math.nan
    return WalkForward(table, result, sw, efficiency, select, lowest)


def _stitched(
    strategy: Callable[..., pd.DataFrame],
    market: Market,
    params: list[dict[str, Any]],
    positions: npt.NDArray[np.intp],
    chosen: list[int],
    folds: list[Fold],
    fixed_strategy: dict[str, Any],
) -> pd.DataFrame:
    """Each fold's chosen weight rows dated inside its test window (up to the next fold's), in date order."""
    dates = market.dates
    weights: dict[int, pd.DataFrame] = {}
    pieces = []
    for k, (fold, j) in enumerate(zip(folds, chosen)):
        if j not in weights:
            weights[j] = strategy(market, **fixed_strategy, **split(params[positions[j]])[0])
        frame = weights[j]
        when = frame.index
        inside = when >= dates[fold.test[0]]
        if k + 1 < len(folds):
            inside &= when < dates[folds[k + 1].test[0]]
        pieces.append(frame.loc[inside])
    stitched = pd.concat(pieces, sort=False)
    if stitched.empty:
        raise ValueError("walk_forward: the chosen combinations have no weight rows in the test windows")
    return stitched


class WalkForward:
    """What `korvel.walk_forward` found.

    Attributes
    ----------
    folds : DataFrame
        One row per fold: train_start, train_end, test_start, test_end (the
        windows' first and last market dates), the chosen parameters (one
        column per grid key), in_sample (the `select` figure of the chosen
        combination on the train window) and out_of_sample (the same figure of
        its own run on the test window).
    result : Result
        The out-of-sample backtest: the chosen weights of every test window,
        stitched, backtested once.
    sweep : Sweep
        The sweep behind the choices (stats and equity of every combination
        over the whole market).
    efficiency : float
        The stitched run's cagr over the mean cagr of the chosen combinations
        on their train windows; NaN when that mean is not positive.
    """

    def __init__(
        self, folds: pd.DataFrame, result: Result, sweep: Sweep, efficiency: float, select: str, lowest: bool
    ) -> None:
        self._folds = folds
        self.result = result
        self.sweep = sweep
        self.efficiency = efficiency
        self.select = select
        self.lowest = lowest

    @property
    def folds(self) -> pd.DataFrame:
        """The folds (see the class notes)."""
        return self._folds.copy()

    def overfitting(self, *, blocks: int = 16) -> pd.DataFrame:
        """`Sweep.overfitting` of the underlying sweep, by the selection's figure when it is sharpe or sortino
        (by sharpe otherwise)."""
        return self.sweep.overfitting(self.select if self.select in ("sharpe", "sortino") else "sharpe", blocks=blocks)

    def plot(self) -> Figure:
        """The stitched equity with the test windows, and each fold's figure in and out of sample."""
        from korvel.results._plot import require_matplotlib

        require_matplotlib()
        from matplotlib.figure import Figure

        fig = Figure(figsize=(12, 7), layout="constrained")
        ax_equity, ax_folds = fig.subplots(2, 1, height_ratios=[2.0, 1.0])
        equity = self.result.equity
        ax_equity.plot(equity.index, equity.to_numpy(), color="tab:blue", lw=1.2, label="out of sample (stitched)")
        for k, when in enumerate(self._folds["test_start"]):
            ax_equity.axvline(when, color="grey", lw=0.6, ls=":", label="test windows" if k == 0 else None)
        ax_equity.set_title(f"Walk-forward: {len(self._folds)} folds, efficiency {self.efficiency:.2f}")
        ax_equity.set_ylabel("equity")
        ax_equity.legend(loc="best")
        x = np.arange(len(self._folds))
        ax_folds.bar(x - 0.2, self._folds["in_sample"].to_numpy(), 0.4, label="in sample", color="tab:grey")
        ax_folds.bar(x + 0.2, self._folds["out_of_sample"].to_numpy(), 0.4, label="out of sample", color="tab:blue")
        ax_folds.axhline(0.0, color="black", lw=0.5)
        ax_folds.set_xlabel("fold")
        ax_folds.set_ylabel(self.select)
        ax_folds.legend(loc="best")
        return fig

    def report(self, path: str | Path) -> Path:
        """The HTML report of the walk-forward: its own title, the efficiency and the overfitting figures
        (PBO, the deflated Sharpe ratio for N and for the effective N), the parameters chosen for each test
        window, each fold's figure in and out of sample, then the stitched run's report (with its benchmark,
        when the walk-forward was given one)."""
        import dataclasses

        from korvel.results._report import write_report

        data = report_data(self.result, self._sections())
        s = self.result.stats()
        title = (
            f"korvel walk-forward {s['start'].date()} .. {s['end'].date()}: {len(self._folds)} folds by "
            f"{'lowest' if self.lowest else 'highest'} {self.select} of {len(self.sweep)} combinations"
        )
        figures = [("Folds", str(len(self._folds))), ("Efficiency (out / in sample cagr)", f"{self.efficiency:.2f}")]
        data = dataclasses.replace(
            data,
            title=title,
            subtitle=data.subtitle + "; the charts and figures are of the stitched out-of-sample run",
            figures=[*figures, *data.figures],
            panels=[*self._panels(), *data.panels],
        )
        return write_report(data, Path(path))

    def _sections(self) -> list[tuple[str, pd.DataFrame]]:
        folds = self._folds
        windows = ["train_start", "train_end", "test_start", "test_end"]
        chosen = [c for c in folds.columns if c not in (*windows, "in_sample", "out_of_sample")]
        sections = []
        try:
            table = self.overfitting()
            sections.append(("Overfitting", table[["value", "meaning"]]))
        except ValueError as exc:  # too few combinations, or none of their returns kept
            sections.append(("Overfitting", pd.DataFrame({"not computed": [str(exc)]})))
        sections.append(
            (f"In and out of sample ({self.select}) per fold", folds[[*windows, "in_sample", "out_of_sample"]])
        )
        sections.append(("Parameters chosen for each test window", folds[["test_start", "test_end", *chosen]]))
        return sections

    def _panels(self) -> list[Panel]:
        folds = self._folds
        when = pd.DatetimeIndex(folds["test_start"])
        figures = pd.DataFrame(
            {"in sample": folds["in_sample"].to_numpy(), "out of sample": folds["out_of_sample"].to_numpy()},
            index=when,
        )
        panels = [Panel(f"{self.select} per fold, in and out of sample", figures, kind="bar", note="By test window.")]
        windows = ("train_start", "train_end", "test_start", "test_end", "in_sample", "out_of_sample")
        numeric = [
            c
            for c in folds.columns
            if c not in windows and pd.api.types.is_numeric_dtype(folds[c]) and not pd.api.types.is_bool_dtype(folds[c])
        ]
        if numeric:
            chosen = folds[numeric].astype(np.float64).set_axis(when)
            panels.append(Panel("Parameters chosen over time", chosen, note="From each test window's start."))
        return panels

    def __repr__(self) -> str:
        s = self.result.stats()
        return (
            f"<korvel WalkForward: {len(self._folds)} folds by {'lowest' if self.lowest else 'highest'} "
            f"{self.select} over {len(self.sweep)} combinations; out of sample {s['start'].date()} .. "
            f"{s['end'].date()}: cagr {s['cagr']:.2%}, sharpe {s['sharpe']:.2f}; efficiency {self.efficiency:.2f}>"
        )
