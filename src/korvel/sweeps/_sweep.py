"""korvel.sweep: one strategy backtested over a grid of parameters, serially, on all cores or on a cluster.

The sweep checks everything it can before the first backtest (the grid,
the strategy's parameters, every rule value of every combination, the
executor), runs the combinations where it is told, puts what comes back in
grid order and only then builds its `Sweep`: an interrupted sweep returns
nothing, and what a checkpoint holds is whole.
"""

from __future__ import annotations

import inspect
import time
import warnings
import zlib
from collections.abc import Callable, Mapping, Sequence
from contextlib import closing
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvel._market import Market, as_market, view_of
from korvel._version import __version__
from korvel._warnings import KINDS, warn
from korvel.research._lookahead import require_no_lookahead
from korvel.results._result import Result
from korvel.simulation._backtest import backtest
from korvel.simulation._rates import per_row_rates, run_risk_free
from korvel.simulation._rules import CHECKED, RULES, check_rules, defaults_text
from korvel.sweeps._checkpoint import Checkpoint
from korvel.sweeps._grid import Combinations, canonical, expand, plain, same
from korvel.sweeps._heatmap import heatmap_figure, heatmap_table
from korvel.sweeps._progress import Progress
from korvel.sweeps._task import KEEP, WARNINGS, Done, Failed, Job, Outcome, split
from korvel.sweeps.backends._registry import backend_for

if TYPE_CHECKING:
    from os import PathLike

    from matplotlib.figure import Figure


AGGREGATES = ("mean", "median", "max", "min")


def sweep(
    strategy: Callable[..., pd.DataFrame],
    market: Market | pd.DataFrame,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    executor: object = None,
    workers: int | None = None,
    progress: bool = True,
    keep: str | Sequence[str] = "stats",
    checkpoint: str | PathLike[str] | None = None,
    check_lookahead: bool = False,
    batch: int | None = None,
    **fixed: Any,
) -> Sweep:
    """Backtest `strategy` on `market` for every combination of `grid`.

    Parameters
    ----------
    strategy : function
        ``strategy(market, **parameters) -> weights DataFrame`` (as
        `korvel.backtest` takes them), given the `Market` and the
        combination's parameters that are not backtest rules.
    market : Market or DataFrame of closes
        Built once; every combination runs on it.
    grid : mapping or list of dicts
        ``{"lookback": [60, 120], "top": [10, 20], "stop_loss": [0.05, 0.1]}``
        (every combination, the first key outermost), or a list of parameter
        dicts with the same keys, e.g. from ``korvel.grid(..., where=...)``.
        Keys that are rules of `korvel.backtest` (`korvel.RULES`: fee,
        stop_loss, rebalance, ...) go to the backtest, the others to the
        strategy.
    executor : None, "processes", a Dask client or address, or a concurrent.futures.Executor
        None: one after the other in this process.  "processes": a local
        pool of `workers` processes (default: the CPUs this process may use).
        A ``dask.distributed.Client`` (or a scheduler address such as
        "tcp://10.0.0.5:8786"): its cluster, with workers of one thread each
        (``dask worker ADDRESS --nthreads 1``).  Any other executor: its
        workers.  The results are the same, bit for bit, whatever runs them.
    workers : int, optional
        The local pool's size (executor="processes" only).
    progress : bool
        A bar counting backtests, with rate and ETA, when stderr is a terminal.
    keep : "stats", "equity", "trades", "returns", "returns32" or several of them
        What each combination sends back: `Sweep.stats`, `Sweep.equity`,
        `Sweep.trades`, `Sweep.returns` (which `Sweep.overfitting` needs).
        "returns" keeps the daily returns as float64, 8 bytes per market row
        and combination (20 KB for ten years of 252 rows; 200 MB for 10,000
        such combinations); "returns32" keeps them as float32, half of that
        (about 7 significant digits, plenty for the overfitting statistics).
        Keep one of the two.
    checkpoint : path, optional
        A file that every finished combination is appended to as it
        finishes; a sweep restarted with the same file (and the same
        strategy, market, fixed keywords and `keep`) runs only the
        combinations not in it.  See `korvel.checkpoint`.
    check_lookahead : bool
        First run `korvel.check_lookahead` on the first combination (in this
        process) and raise a ValueError listing the first weights that change
        when later data is removed, before any backtest runs.
    batch : int, optional
        Combinations sent to a worker at once, on a Dask cluster or a
        ``concurrent.futures`` executor.  By default sized from the first
        answers, so that a batch takes about 0.3 s: the round trip of a
        task then costs little.  The progress bar still counts backtests and
        a combination that raises still fails alone.
    **fixed
        Keywords for every combination: rules go to the backtest, the
        others to the strategy.

    The market is shipped to each worker once (the local pool shares its
    memory; Dask scatters it, or sends the path of a market loaded with
    ``Market.load(path, mmap=True)`` to the workers that can read that
    file); a task carries only its parameters.  A
    combination that raises is recorded in `Sweep.failures` and the others
    go on; a local worker that dies is replaced and its combination
    recorded as failed.  A batch lost with its worker (a KilledWorker on
    Dask) is split and its combinations run again one by one, so that only
    the combination that kills its worker is recorded as failed.  Ctrl-C stops the workers and raises
    KeyboardInterrupt (the checkpoint keeps every finished combination).
    """
    if not callable(strategy):
        raise TypeError(f"strategy must be a function (market, **parameters) -> weights, not {type(strategy).__name__}")
    if not isinstance(progress, bool):
        raise TypeError(f"progress must be True or False, not {progress!r}")
    if not isinstance(check_lookahead, bool):
        raise TypeError(f"check_lookahead must be True or False, not {check_lookahead!r}")
    if batch is not None and (isinstance(batch, bool) or not isinstance(batch, int) or batch < 1):
        raise ValueError(f"batch must be a whole number of combinations (1 or more) or None, not {batch!r}")
    market_ = as_market(market)
    combos = expand(grid)
    keep_ = _keep(keep)
    both = [k for k in combos.keys if k in fixed]
    if both:
        raise TypeError(f"{both[0]!r} is both a grid key and a fixed keyword of the sweep")
    fixed_strategy, fixed_rules = split(fixed)
    _check_strategy(strategy, [k for k in combos.keys if k not in RULES] + list(fixed_strategy))
    _check_rules(combos, fixed_rules)
    job = Job(strategy, fixed_strategy, fixed_rules, keep_)
    backend = backend_for(executor, workers)
    if check_lookahead:
        try:
            require_no_lookahead(strategy, market_, {**fixed_strategy, **split(combos.params[0])[0]})
        except BaseException:
            backend.close()
            raise

    outcomes: list[Outcome | None] = [None] * len(combos)
    names: dict[tuple[str, ...], tuple[str, ...]] = {}  # the statistics' names, one tuple for every row
    start = time.perf_counter()
    store = None
    try:
        if checkpoint is not None:
            store = Checkpoint(checkpoint, _fingerprint(job, market_))
            for i, params in enumerate(combos.params):
                kept = store.done.get(canonical(params))
                if kept is not None:
                    outcomes[i] = packed(Done(kept), names)
        tasks = [(i, combos.params[i]) for i, o in enumerate(outcomes) if o is None]
        bar = Progress(len(combos), len(combos) - len(tasks), progress)
        try:
            with closing(backend.run(job, market_, tasks, batch)) as finished:
                for position, outcome in finished:
                    if isinstance(outcome, Done) and store is not None:
                        store.add(combos.params[position], outcome.kept)
                    outcomes[position] = packed(outcome, names)
                    bar.advance(isinstance(outcome, Done))
        finally:
            bar.close()
    finally:
        backend.close()
        if store is not None:
            store.close()
    missing = [i for i, o in enumerate(outcomes) if o is None]
    if missing:  # an executor that lost a combination without a word
        raise RuntimeError(
            f"the executor returned no answer for {len(missing)} combinations, e.g. {combos.params[missing[0]]}"
        )
    result = Sweep(
        combos, [o for o in outcomes if o is not None], job, market_, time.perf_counter() - start, backend.describe()
    )
    failed = sum(isinstance(o, Failed) for o in result._outcomes)
    if failed == len(result._outcomes):
        warnings.warn(
            f"every combination of the sweep failed ({len(combos)}); see .failures", RuntimeWarning, stacklevel=2
        )
    elif failed:  # .stats then has fewer rows than the grid
        warnings.warn(
            f"{failed} of {len(combos)} combinations of the sweep failed: .stats has the {len(combos) - failed} "
            "that ran; see .failures",
            RuntimeWarning,
            stacklevel=2,
        )
    said = result._warnings
    if len(said.columns):
        counts = ", ".join(f"{kind}: {int(n)}" for kind, n in said.notna().sum().items())
        warn(
            "sweep",
            f"{int(said.notna().any(axis=1).sum())} of {len(combos)} combinations left warnings ({counts}); "
            "see .warnings",
            stacklevel=2,
        )
    return result


class Sweep:
    """What `korvel.sweep` found: one row per combination, in grid order.

    `stats` (the statistics of every combination that ran), `failures` (the
    combinations that raised), `warnings` (what each run warned of),
    `equity` and `trades` when kept; `best()`,
    `heatmap()`, and `result()` to re-run one combination as a full `Result`.
    Frames are indexed by the combinations: a MultiIndex whose levels are
    the grid's keys, in its order.
    """

    def __init__(
        self, combos: Combinations, outcomes: list[Outcome], job: Job, market: Market, elapsed: float, executor: str
    ) -> None:
        self._combos = combos
        self._outcomes = outcomes
        self._job = job
        self._market = market
        self.elapsed = elapsed
        self.executor = executor

    @cached_property
    def _ran(self) -> list[int]:
        return [i for i, o in enumerate(self._outcomes) if isinstance(o, Done)]

    def _kept(self, name: str) -> list[Any]:
        if name not in self._job.keep:
            asked = tuple(dict.fromkeys((*self._job.keep, name)))
            raise AttributeError(f"the sweep did not keep {name!r}: run it with keep={asked!r}")
        return [o.kept[name] for o in self._outcomes if isinstance(o, Done)]

    @property
    def combinations(self) -> pd.MultiIndex:
        """Every combination of the grid, in order."""
        return self._combos.index()

    @property
    def stats(self) -> pd.DataFrame:
        """The statistics of `Result.stats()`, one row per combination that ran."""
        return self._stats.copy()

    @cached_property
    def _stats(self) -> pd.DataFrame:
        rows = [r.as_dict() if isinstance(r, Packed) else r for r in self._kept("stats")]
        return (
            pd.DataFrame(rows, index=self._combos.index(self._ran))
            if rows
            else pd.DataFrame(index=self._combos.index([]))
        )

    @property
    def failures(self) -> pd.DataFrame:
        """The combinations that failed: the exception's type (`error`), `message` and `traceback`.

        A local worker process that died running a combination reads as
        error "WorkerDied"; on Dask, as the cluster reports it (KilledWorker).
        """
        failed = [i for i, o in enumerate(self._outcomes) if isinstance(o, Failed)]
        rows = [o for o in self._outcomes if isinstance(o, Failed)]
        return pd.DataFrame(
            {
                "error": [r.error for r in rows],
                "message": [r.message for r in rows],
                "traceback": [r.traceback for r in rows],
            },
            index=self._combos.index(failed),
        )

    @property
    def warnings(self) -> pd.DataFrame:
        """The KorvelWarnings of every combination that ran, indexed like `stats`: one column per kind
        that occurred ("gross", "no_trade", "no_price", "cost"), holding its text, None where it did not."""
        return self._warnings.copy()

    @cached_property
    def _warnings(self) -> pd.DataFrame:
        said = [o.kept.get(WARNINGS, {}) for o in self._outcomes if isinstance(o, Done)]
        kinds = [kind for kind in KINDS if any(kind in s for s in said)]
        kinds += sorted({kind for s in said for kind in s} - set(kinds))
        columns = {kind: pd.array([s.get(kind) for s in said], dtype=object) for kind in kinds}
        return pd.DataFrame(columns, index=self._combos.index(self._ran), columns=pd.Index(kinds, dtype=object))

    @property
    def equity(self) -> pd.DataFrame:
        """Equity of every combination that ran: the market dates x the combinations (NaN before it starts)."""
        return self._equity.copy()

    @cached_property
    def _equity(self) -> pd.DataFrame:
        curves = self._kept("equity")
        rows = self._market.shape[0]
        values = np.full((rows, len(curves)), np.nan)
        for j, curve in enumerate(curves):
            values[rows - len(curve) :, j] = curve
        return pd.DataFrame(values, index=self._market.dates, columns=self._combos.index(self._ran))

    @property
    def returns(self) -> pd.DataFrame:
        """Daily returns of every combination that ran: the market dates x the combinations (NaN before
        its second live row), float32 when kept as "returns32".  Taken from the equity when only that was
        kept (as `Result.returns` takes them)."""
        return self._returns.copy()

    @cached_property
    def _returns(self) -> pd.DataFrame:
        keep = self._job.keep
        name = next((k for k in ("returns", "returns32") if k in keep), None)
        if name is None and "equity" in keep:
            series = [curve[1:] / curve[:-1] - 1.0 for curve in self._kept("equity")]
        else:
            series = self._kept(name or "returns")
        rows = self._market.shape[0]
        values = np.full((rows, len(series)), np.nan, dtype=np.float32 if name == "returns32" else np.float64)
        for j, r in enumerate(series):
            values[rows - len(r) :, j] = r
        return pd.DataFrame(values, index=self._market.dates, columns=self._combos.index(self._ran))

    def overfitting(self, metric: str = "sharpe", *, blocks: int = 16) -> pd.DataFrame:
        """How much the best combination's figure owes to the search: one table of overfitting statistics.

        Needs the combinations' returns (``keep=("stats", "returns")``, or
        "returns32"), which it takes in excess of each one's risk-free rate
        (its cash rate), as `stats()` does.  The best combination is `best(metric)`; its Sharpe
        ratio is deflated (`korvel.validation.deflated_sharpe`) for N, the
        combinations that ran, and for the effective number of trials
        (`korvel.validation.effective_trials`, from the correlations of their
        returns); the probability of backtest overfitting
        (`korvel.validation.pbo`, by `metric`, on the rows where every
        combination has a return, cut into `blocks` blocks) says how often the
        in-sample best ranks in the lower half out of sample.

        Parameters
        ----------
        metric : {"sharpe", "sortino"}
            What the best is chosen by, here and in each split of the PBO.
        blocks : int
            The PBO's row blocks (even).

        Returns
        -------
        DataFrame
            Index: the figures (combinations, effective_trials, sharpe,
            probabilistic_sharpe, deflated_sharpe, deflated_sharpe_effective,
            track_record_length, min_track_record_length, pbo, pbo_slope,
            prob_oos_loss); columns: value, meaning.  ``attrs``: "best" (the
            combination), "pbo" (the `korvel.validation.PBO`, with its plot).
        """
        from korvel import validation

        if metric not in ("sharpe", "sortino"):
            raise ValueError(f"overfitting: metric must be 'sharpe' or 'sortino', not {metric!r}")
        if not any(k in self._job.keep for k in ("returns", "returns32", "equity")):
            asked = tuple(dict.fromkeys((*self._job.keep, "returns")))
            raise ValueError(
                f"overfitting needs every combination's returns: run the sweep with keep={asked!r} "
                "('returns32' for float32)"
            )
        if len(self._ran) < 2:
            raise ValueError(f"overfitting needs at least 2 combinations that ran, got {len(self._ran)}")
        position = self._best_position(metric, lowest=False)
        best = self._stats.iloc[position]
        table = self._excess(self._returns.astype(np.float64))
        values = table.to_numpy()
        known = ~np.isnan(values)
        if not known.any(axis=0).all():
            raise ValueError("overfitting: a combination has no returns (it ran for less than two market rows)")
        start = int(known.argmax(axis=0).max())  # the first row on which every combination has a return
        common = table.iloc[start:]
        mine = table.iloc[int(known[:, position].argmax()) :, position]
        cscv = validation.pbo(common, blocks=blocks, metric=metric)
        n_eff = validation.effective_trials(common)
        rows = [
            ("combinations", float(table.shape[1]), "N: the combinations that ran"),
            ("effective_trials", n_eff, "N_eff: independent trials they are worth (Galwey)"),
            (metric, float(best[metric]), f"the best combination's {metric} (annualised, as stats() has it)"),
            ("probabilistic_sharpe", validation.probabilistic_sharpe(mine), "P(true Sharpe > 0), one trial"),
            ("deflated_sharpe", validation.deflated_sharpe(mine, common), "P(true Sharpe > 0) after N trials"),
            (
                "deflated_sharpe_effective",
                validation.deflated_sharpe(mine, common, n_trials=n_eff),
                "P(true Sharpe > 0) after N_eff trials",
            ),
            ("track_record_length", float(np.isfinite(mine.to_numpy()).sum()), "the best's returns (periods)"),
            (
                "min_track_record_length",
                validation.min_track_record_length(mine),
                "periods needed for P(true Sharpe > 0) of 95 %",
            ),
            ("pbo", cscv.pbo, f"probability of backtest overfitting ({cscv.logits.size} splits)"),
            ("pbo_slope", cscv.slope, "out-of-sample metric per unit in-sample (below 1: decay)"),
            ("prob_oos_loss", cscv.prob_oos_loss, "P(the in-sample best loses out of sample)"),
        ]
        out = pd.DataFrame(
            {"value": [r[1] for r in rows], "meaning": [r[2] for r in rows]},
            index=pd.Index([r[0] for r in rows], name="figure"),
        )
        out.attrs.update(best=best.name, pbo=cscv, metric=metric)
        return out

    @property
    def trades(self) -> pd.DataFrame:
        """The trades of every combination that ran, indexed by the combination and the trade number."""
        return self._trades.copy()

    @cached_property
    def _trades(self) -> pd.DataFrame:
        tables = self._kept("trades")
        if not tables:
            return pd.DataFrame()
        # Labelled here rather than by concat's keys, which cannot hold a missing value (a None in the grid).
        table: pd.DataFrame = pd.concat(tables)
        combos = self._combos.index(self._ran).repeat([len(t) for t in tables])
        levels = [combos.get_level_values(k) for k in range(combos.nlevels)]
        table.index = pd.MultiIndex.from_arrays([*levels, table.index], names=[*self._combos.keys, "trade"])
        return table

    def best(self, metric: str = "sharpe", *, lowest: bool = False) -> pd.Series:
        """The stats row with the highest `metric` (the lowest with ``lowest=True``); its name is the
        combination.  Combinations whose metric is NaN are passed over."""
        k = self._best_position(metric, lowest)
        row: pd.Series = self._stats.iloc[k]
        # Named by the grid's own values, as plain Python values (the index holds NumPy scalars, None as NaN).
        params = self._combos.params[self._ran[k]]
        row.name = tuple(plain(params[key]) for key in self._combos.keys)
        return row

    def _best_position(self, metric: str, lowest: bool) -> int:
        stats = self._stats
        if stats.empty:
            raise ValueError("best: no combination ran (see .failures)")
        if metric not in stats.columns:
            raise ValueError(f"best: {metric!r} is not a statistic of the sweep")
        values = pd.to_numeric(stats[metric], errors="coerce").to_numpy(dtype=np.float64)
        if np.isnan(values).all():
            raise ValueError(f"best: no combination has a value for {metric!r}")
        return int(np.nanargmin(values) if lowest else np.nanargmax(values))

    def result(self, combination: tuple[Any, ...] | None = None, /, **params: Any) -> Result:
        """Re-run one combination in this process and return its full `Result`.

        ``sw.result(lookback=120, top=10)`` names every key of the grid;
        ``sw.result(sw.best("sharpe").name)`` takes a combination as the
        index holds it.
        """
        keys = self._combos.keys
        if combination is not None:
            if params:
                raise TypeError("result takes a combination or keywords, not both")
            values = combination if isinstance(combination, tuple) else (combination,)
            if len(values) != len(keys):
                raise TypeError(f"result: the combination {combination!r} does not have the {len(keys)} keys {keys}")
            params = dict(zip(keys, values))
        missing = [k for k in keys if k not in params]
        unknown = [k for k in params if k not in keys]
        if missing or unknown:
            raise TypeError(
                "result needs every key of the grid and no other"
                + (f"; missing: {', '.join(missing)}" if missing else "")
                + (f"; not in the grid: {', '.join(unknown)}" if unknown else "")
            )
        for key in keys:
            taken = list(dict.fromkeys(plain(p[key]) for p in self._combos.params))
            if not any(same(params[key], value) for value in taken):
                raise ValueError(
                    f"result: {key}={params[key]!r} is not in the grid; {key} takes "
                    + ", ".join(repr(v) for v in taken)
                )
        # The parameters as the grid gave them.
        found = [p for p in self._combos.params if all(same(params[k], p[k]) for k in keys)]
        if not found:
            shown = ", ".join(f"{k}={params[k]!r}" for k in keys)
            raise KeyError(f"result: ({shown}) is not a combination of the sweep")
        params = dict(found[0])
        strategy_kwargs, rules = split(params)
        job = self._job
        weights = job.strategy(self._market, **job.strategy_kwargs, **strategy_kwargs)
        return backtest(weights, self._market, **job.rules, **rules)

    def _excess(self, table: pd.DataFrame) -> pd.DataFrame:
        """The combinations' returns less the risk-free return of each row their stats() measure them over."""
        rates = [run_risk_free({**self._job.rules, **split(self._combos.params[i])[1]}) for i in self._ran]
        if all(not isinstance(rate, pd.Series) and rate == 0 for rate, _ in rates):
            return table
        dates = self._market.dates
        return table - np.column_stack([per_row_rates(dates, rate, count, name="rf") for rate, count in rates])

    def heatmap(self, x: str, y: str, metric: str = "sharpe", *, agg: str = "mean", **where: Any) -> Figure:
        """A heat map of `metric` over two keys (x across, y down).

        Other keys are fixed by keyword (``top=10``), or aggregated with
        `agg` ("mean", "median", "max" or "min") over the values they took.
        """
        if agg not in AGGREGATES:
            raise ValueError(f"heatmap: agg must be one of {', '.join(AGGREGATES)}, not {agg!r}")
        table, others = heatmap_table(self._stats, x, y, metric, agg, where)
        return heatmap_figure(table, metric, agg, others, where)

    def __len__(self) -> int:
        return len(self._combos)

    def _repr_html_(self) -> str:
        from korvel.results._report import sweep_repr_html

        stats = self._stats if "stats" in self._job.keep else pd.DataFrame()
        return sweep_repr_html(repr(self)[1:-1], stats)

    def __repr__(self) -> str:
        failed = len(self._outcomes) - len(self._ran)
        return (
            f"<korvel Sweep: {len(self._combos)} combinations over {' x '.join(self._combos.keys)} "
            f"({len(self._ran)} ran, {failed} failed), {self.executor}, {self.elapsed:.1f} s>"
        )


# --------------------------------------------------------------------------- compact statistics


class Packed(tuple):  # type: ignore[type-arg]
    """A combination's statistics as (names, values): the names are one tuple shared by the rows of a
    sweep, where a dict per row, with its own copies of the names, costs about 2.5 KiB a combination."""

    __slots__ = ()

    def as_dict(self) -> dict[str, Any]:
        return dict(zip(self[0], self[1]))


def packed(outcome: Outcome, names: dict[tuple[str, ...], tuple[str, ...]]) -> Outcome:
    """The outcome with its statistics `Packed`, the names taken from (and added to) `names`."""
    if not isinstance(outcome, Done) or not isinstance(outcome.kept.get("stats"), dict):
        return outcome
    stats = outcome.kept["stats"]
    keys = tuple(stats)
    shared = names.setdefault(keys, keys)
    return Done({**outcome.kept, "stats": Packed((shared, tuple(stats.values())))})


# --------------------------------------------------------------------------- checks


def _keep(keep: object) -> tuple[str, ...]:
    names = [keep] if isinstance(keep, str) else keep
    if not isinstance(names, Sequence) or not names or not all(isinstance(n, str) for n in names):
        raise TypeError(f"keep must be one of {', '.join(KEEP)} or a list of them, not {keep!r}")
    for name in names:
        if name not in KEEP:
            raise ValueError(f"keep: {name!r} is not one of {', '.join(KEEP)}")
    if "returns" in names and "returns32" in names:
        raise ValueError("keep: 'returns' (float64) or 'returns32' (float32), not both")
    return tuple(dict.fromkeys(names))


def _check_strategy(strategy: Callable[..., Any], names: list[str]) -> None:
    """The strategy must take the market first and every non-rule key by keyword."""
    try:
        signature = inspect.signature(strategy)
    except (TypeError, ValueError):
        return  # a builtin or extension function: its call will tell
    label = getattr(strategy, "__qualname__", repr(strategy))
    params = list(signature.parameters.values())
    kinds = inspect.Parameter
    positional = [p for p in params if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)]
    if not positional and not any(p.kind == kinds.VAR_POSITIONAL for p in params):
        raise TypeError(f"strategy {label} must take the market as its first argument")
    first = positional[0].name if positional else None
    if first in names:
        raise TypeError(f"{first!r} is the market argument of strategy {label}; it cannot be a parameter")
    if not any(p.kind == kinds.VAR_KEYWORD for p in params):
        accepted = {p.name for p in params if p.kind in (kinds.POSITIONAL_OR_KEYWORD, kinds.KEYWORD_ONLY)}
        unknown = [n for n in names if n not in accepted]
        if unknown:
            raise TypeError(
                f"strategy {label} has no parameter {unknown[0]!r} (keys that are not rules of "
                "korvel.backtest go to the strategy; the rules are korvel.RULES)"
            )
    needed = [
        p.name
        for p in params[1:]
        if p.default is kinds.empty
        and p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD, kinds.KEYWORD_ONLY)
    ]
    missing = [n for n in needed if n not in names]
    if missing:
        raise TypeError(f"strategy {label} needs {', '.join(missing)}: give it in the grid or as a keyword")


def _check_rules(combos: Combinations, fixed_rules: Mapping[str, Any]) -> None:
    """Every rule value, before any backtest runs: a bad one would fail every combination it is in."""
    checked = {k: v for k, v in fixed_rules.items() if k in CHECKED}
    rule_keys = [k for k in combos.keys if k in CHECKED]
    if not rule_keys:
        check_rules(**checked)
        return
    # The fixed rules are checked with the grid's (impact fixed, the capital in the grid).
    seen: set[tuple[Any, ...]] = set()
    for params in combos.params:
        values = tuple(canonical({k: params[k] for k in rule_keys}))
        if values in seen:
            continue
        seen.add(values)
        try:
            check_rules(**checked, **{k: params[k] for k in rule_keys})
        except (TypeError, ValueError) as exc:
            shown = ", ".join(f"{k}={params[k]!r}" for k in rule_keys)
            raise type(exc)(f"grid ({shown}): {exc}") from None


def _fingerprint(job: Job, market: Market) -> dict[str, str]:
    """What a checkpoint must have been written by to be read back."""
    strategy = job.strategy
    name = f"{getattr(strategy, '__module__', '?')}.{getattr(strategy, '__qualname__', type(strategy).__name__)}"

    def shown(value: Any) -> str:
        plain = value.item() if isinstance(value, np.generic) else value
        return repr(plain) if isinstance(plain, (bool, int, float, str, type(None))) else type(plain).__name__

    fixed = {**job.strategy_kwargs, **job.rules}
    close = view_of(market).close
    sample = close[np.linspace(0, close.shape[0] - 1, min(64, close.shape[0])).astype(np.intp)]
    labels = "\0".join(str(x) for x in market.instruments).encode()
    return {
        "korvel": __version__,
        "defaults": defaults_text(),
        "keep": ",".join(job.keep),
        "strategy": name,
        "fixed": ", ".join(f"{k}={shown(v)}" for k, v in sorted(fixed.items())),
        "market": f"{market.shape[0]} x {market.shape[1]}, {market.dates[0]} .. {market.dates[-1]}, "
        f"{'/'.join(market.tables)}, labels {zlib.crc32(labels):08x}, "
        f"prices {zlib.crc32(np.ascontiguousarray(sample).tobytes()):08x}",
    }
