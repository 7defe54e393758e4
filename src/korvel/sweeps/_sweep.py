"""korvel.sweep: one strategy backtested over a grid of parameters, serially, on all cores or on a cluster.

The sweep checks everything it can before the first backtest (the grid,
the strategy's parameters, every rule value of every combination, the
executor), runs the combinations where it is told, puts what comes back in
grid order and only then builds its `Sweep`: an interrupted sweep returns
nothing, and what a checkpoint holds is whole.
"""

from __future__ import annotations

import inspect
import itertools
import os
import tempfile
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import closing, contextmanager
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvel._market import Market, as_market
from korvel._warnings import KINDS, warn
from korvel.research._lookahead import require_no_lookahead
from korvel.results._result import Result
from korvel.simulation._backtest import backtest
from korvel.simulation._rates import per_row_rates, run_risk_free
from korvel.simulation._rules import CHECKED, RULES, check_rules
from korvel.sweeps._collected import DONE, PENDING, Collected
from korvel.sweeps._fingerprint import differences, fingerprint
from korvel.sweeps._grid import Columns, Combinations, Product, canonical, expand, plain, same
from korvel.sweeps._heatmap import heatmap_figure, heatmap_table
from korvel.sweeps._progress import Progress
from korvel.sweeps._store import GRID, LIGHT, Positions, Store, read_grid, read_kept, read_manifest, read_store
from korvel.sweeps._task import KEEP, Done, Failed, Job, Outcome, split
from korvel.sweeps.backends._base import Task
from korvel.sweeps.backends._registry import backend_for
from korvel.sweeps.backends._stall import AUTO, StallClock, check_stall_timeout

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
    stall_timeout: float | str | None = AUTO,
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
    checkpoint : path of a folder, optional
        The sweep's results store (created if missing): finished
        combinations are written to it in chunks of Parquet files as they
        finish (``FOLDER/stats``, and ``equity``, ``returns``, ``trades`` as
        kept), with a manifest.  A sweep restarted on the same folder runs
        only the combinations not in it (and those that failed), once it has
        checked that the strategy's code, every fixed keyword's value, every
        table of the market, `keep`, korvel's version and the rules'
        defaults are those that wrote it (a ValueError names what differs).
        `Sweep.open` reads a finished or partial store.  Nothing in it is
        unpickled: reading it runs no code.  Needs pyarrow
        (``pip install 'korvel[sweeps]'``).
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
    stall_timeout : seconds, "auto" or None
        A worker that has not answered for this long per combination in
        flight is stopped (a local worker is killed and replaced; a
        ProcessPoolExecutor's workers are replaced with a new pool of the
        same size and start method; a Dask worker is restarted), the sweep
        says which worker and which combinations, they run again one at a
        time, and a combination that stalls again is recorded in
        `Sweep.failures` with the error "Stalled".  "auto": the larger of
        60 s and 20 times the 95th percentile of the times per combination
        seen so far (600 s until 20 have answered).  None: no detector.
        Process pools and Dask only: a serial sweep or threads cannot stop
        a call (a number given there is refused).
    **fixed
        Keywords for every combination: rules go to the backtest, the
        others to the strategy.

    The market is shipped to each worker once (the local pool shares its
    memory; Dask scatters it, or sends the path of a market loaded with
    ``Market.load(path, mmap=True)`` to the workers that can read that
    file); a task carries only its parameters.  A
    combination that raises is recorded in `Sweep.failures` and the others
    go on; a local worker that dies is replaced and its combination
    recorded as failed; one that stops answering is found by the stall
    detector (`stall_timeout`).  A batch lost with its worker (a KilledWorker on
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
    stall = check_stall_timeout(stall_timeout)
    backend = backend_for(executor, workers)
    why = backend.stoppable
    if why is not None and stall is not None and stall != AUTO:
        backend.close()
        raise ValueError(f"stall_timeout: {why}; leave it out (or None) here")
    clock = StallClock(stall) if why is None else None
    if check_lookahead:
        try:
            require_no_lookahead(strategy, market_, {**fixed_strategy, **split(combos.params[0])[0]})
        except BaseException:
            backend.close()
            raise

    collected = Collected(len(combos))
    start = time.perf_counter()
    store = None
    try:
        if checkpoint is not None:
            store = Store(
                checkpoint, fingerprint(strategy, fixed, market_, keep_), combos, keep_, _resumed(combos, collected)
            )
        tasks = Tasks(combos, grouped(combos, collected.positions(PENDING)))
        bar = Progress(len(combos), len(combos) - len(tasks), progress)
        try:
            with closing(backend.run(job, market_, tasks, batch, clock)) as finished:
                for position, outcome in finished:
                    if store is not None:
                        store.add(combos.params[position], outcome)
                    # With a store, equity, returns and trades are read back from it: not kept here.
                    collected.add(position, outcome, keep=store is None)
                    bar.advance(isinstance(outcome, Done))
        finally:
            bar.close()
    finally:
        backend.close()
        if store is not None:
            store.close()
    missing = collected.positions(PENDING)
    if len(missing):  # an executor that lost a combination without a word
        raise RuntimeError(
            f"the executor returned no answer for {len(missing)} combinations, e.g. {combos.params[int(missing[0])]}"
        )
    result = Sweep(
        combos,
        collected,
        job,
        market_,
        time.perf_counter() - start,
        backend.describe(),
        store=store.folder if store is not None else None,
    )
    failed = len(collected.failures)
    if failed == len(combos):
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
    # Counted from the codes: the frame of `.warnings` is built only when asked for.
    ran = collected.state == DONE
    said = {kind: codes >= 0 for kind, codes in collected.said.items()}
    said = {kind: warned & ran for kind, warned in said.items() if (warned & ran).any()}
    if said:
        kinds = [kind for kind in KINDS if kind in said] + sorted(set(said) - set(KINDS))
        counts = ", ".join(f"{kind}: {int(said[kind].sum())}" for kind in kinds)
        warned = np.logical_or.reduce([said[kind] for kind in kinds])
        warn(
            "sweep",
            f"{int(warned.sum())} of {len(combos)} combinations left warnings ({counts}); see .warnings",
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
        self,
        combos: Combinations,
        collected: Collected,
        job: Job,
        market: Market | None,
        elapsed: float,
        executor: str,
        store: Path | None = None,
    ) -> None:
        self._combos = combos
        self._collected = collected
        self._store = store  # where equity, returns and trades are read from (None: kept in `collected`)
        self._job = job
        self._market = market
        self.elapsed = elapsed
        self.executor = executor
        #: Combinations of the grid not (yet) in the store read by `Sweep.open`, and its chunks left out as damaged.
        self.pending = 0
        self.dropped: list[str] = []

    @classmethod
    def open(
        cls,
        folder: str | PathLike[str],
        strategy: Callable[..., pd.DataFrame] | None = None,
        market: Market | pd.DataFrame | None = None,
        **fixed: Any,
    ) -> Sweep:
        """A sweep's results store (``korvel.sweep(..., checkpoint=FOLDER)``), finished or partial, read
        without running anything.

        `stats`, `failures`, `warnings`, `equity`, `returns`, `trades`,
        `overfitting()`, `best()` and `heatmap()` read what the store holds
        (the combinations of the latest sweep on it that finished; `pending`
        counts the others).  `result()` re-runs a combination and needs the
        `strategy`, the `market` and the sweep's fixed keywords: given here,
        they are checked against the store's fingerprint (a ValueError names
        what differs).  A chunk found torn or damaged is left out (a resumed
        sweep runs its combinations again).
        """
        path = Path(folder)
        manifest = read_manifest(path)
        theirs = manifest.get("fingerprint") or {}
        keep = tuple(theirs.get("keep") or ("stats",))
        market_ = as_market(market) if market is not None else None
        if strategy is not None or market_ is not None or fixed:
            if strategy is None or market_ is None:
                raise TypeError(
                    "Sweep.open: give both the strategy and the market (and the fixed keywords), or neither"
                )
            said = [d for d in differences(theirs, fingerprint(strategy, fixed, market_, keep)) if "keep" not in d]
            if said:
                raise ValueError(f"Sweep.open: {str(path)!r} was not written by this sweep: " + "; ".join(said))
        combos = read_grid(path)
        if combos is None:
            raise ValueError(f"{str(path)!r}: the store's grid ({GRID}) is missing or damaged")
        collected = Collected(len(combos))
        found = read_store(path, manifest, failures=True, parts=LIGHT, each=_resumed(combos, collected, failures=True))
        fixed_strategy, fixed_rules = split(fixed)
        job = Job(strategy if strategy is not None else _not_given, fixed_strategy, fixed_rules, keep)
        opened = cls(combos, collected, job, market_, 0.0, f"store {path}", store=path)
        opened.pending = int((collected.state == PENDING).sum())
        opened.dropped = found.dropped
        return opened

    @cached_property
    def _ran(self) -> np.ndarray:
        """The positions in the grid of the combinations that ran, in order."""
        return self._collected.positions(DONE)

    @cached_property
    def _present(self) -> np.ndarray:
        """The positions of the combinations that ran or failed (all of a sweep's; a store's may lack some)."""
        return np.flatnonzero(self._collected.state != PENDING)

    def _kept(self, name: str) -> list[Any]:
        """What was kept as `name` of every combination that ran, in order: from the store, if there is one."""
        if name not in self._job.keep:
            asked = tuple(dict.fromkeys((*self._job.keep, name)))
            raise AttributeError(f"the sweep did not keep {name!r}: run it with keep={asked!r}")
        out: list[Any] = [None] * len(self._ran)
        for j, value in self._kept_values(name):
            out[j] = value
        return out

    def _kept_values(self, name: str) -> Iterator[tuple[int, Any]]:
        """(column, value) of `name` for the combinations that ran, one store chunk in memory at a time."""
        ran = self._ran
        if self._store is None:
            values = self._collected.kept.get(name, {})
            for j, p in enumerate(ran):
                yield j, values[int(p)]
            return
        where = Positions(self._combos, ran)
        for key, value in read_kept(self._store, read_manifest(self._store), name):
            position = where.find(key)
            if position is not None:
                yield int(np.searchsorted(ran, position)), value  # `ran` is in grid order

    @property
    def combinations(self) -> pd.MultiIndex:
        """Every combination of the grid, in order."""
        return self._combos.index(self._present)

    @property
    def stats(self) -> pd.DataFrame:
        """The statistics of `Result.stats()`, one row per combination that ran."""
        return self._stats.copy()

    @cached_property
    def _stats(self) -> pd.DataFrame:
        if "stats" not in self._job.keep:
            self._kept("stats")  # says what to keep
        if not len(self._ran):
            return pd.DataFrame(index=self._combos.index([]))
        return self._collected.frame(self._ran, self._combos.index(self._ran))

    @property
    def failures(self) -> pd.DataFrame:
        """The combinations that failed: the exception's type (`error`), `message` and `traceback`.

        A local worker process that died running a combination reads as
        error "WorkerDied"; on Dask, as the cluster reports it (KilledWorker).
        """
        failed = sorted(self._collected.failures)
        rows = [self._collected.failures[i] for i in failed]
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
        ran = self._ran
        found = {kind for kind, codes in self._collected.said.items() if (codes[ran] >= 0).any()}
        kinds = [kind for kind in KINDS if kind in found] + sorted(found - set(KINDS))
        columns = {kind: pd.array(list(self._collected.warnings_of(kind, ran)), dtype=object) for kind in kinds}
        return pd.DataFrame(columns, index=self._combos.index(self._ran), columns=pd.Index(kinds, dtype=object))

    @property
    def equity(self) -> pd.DataFrame:
        """Equity of every combination that ran: the market dates x the combinations (NaN before it starts)."""
        return self._equity.copy()

    @cached_property
    def _equity(self) -> pd.DataFrame:
        self._kept_check("equity")
        rows, dates = self._dates_and_rows()
        values = np.full((rows, len(self._ran)), np.nan)
        for j, curve in self._kept_values("equity"):
            values[rows - len(curve) :, j] = curve
        return pd.DataFrame(values, index=dates, columns=self._combos.index(self._ran))

    def _dates_and_rows(self) -> tuple[int, pd.Index]:
        """The market's rows and dates; for a store opened without its market, the longest curve's rows."""
        if self._market is not None:
            return self._market.shape[0], self._market.dates
        name = next((k for k in ("equity", "returns", "returns32") if k in self._job.keep), None)
        longest = max((len(v) for _, v in self._kept_values(name)), default=0) if name else 0
        rows = longest + (0 if name == "equity" else 1)
        return rows, pd.RangeIndex(rows, name="row")

    @property
    def returns(self) -> pd.DataFrame:
        """Daily returns of every combination that ran: the market dates x the combinations (NaN before
        its second live row), float32 when kept as "returns32".  Taken from the equity when only that was
        kept (as `Result.returns` takes them)."""
        return self._returns.copy()

    @cached_property
    def _returns(self) -> pd.DataFrame:
        name = self._returns_name()
        rows, dates = self._dates_and_rows()
        values = np.full((rows, len(self._ran)), np.nan, dtype=np.float32 if name == "returns32" else np.float64)
        for j, r in self._returns_values(name):
            values[rows - len(r) :, j] = r
        return pd.DataFrame(values, index=dates, columns=self._combos.index(self._ran))

    def _returns_name(self) -> str:
        """What the returns are read from: "returns" or "returns32" as kept, else "equity" (if kept)."""
        keep = self._job.keep
        name = next((k for k in ("returns", "returns32") if k in keep), None)
        if name is None and "equity" in keep:
            return "equity"
        self._kept_check(name or "returns")
        return name or "returns"

    def _returns_values(self, name: str) -> Iterator[tuple[int, np.ndarray]]:
        if name == "equity":  # as Result.returns takes them from the equity
            return ((j, curve[1:] / curve[:-1] - 1.0) for j, curve in self._kept_values("equity"))
        return self._kept_values(name)

    def _kept_check(self, name: str) -> None:
        if name not in self._job.keep:
            asked = tuple(dict.fromkeys((*self._job.keep, name)))
            raise AttributeError(f"the sweep did not keep {name!r}: run it with keep={asked!r}")

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
        in-sample best ranks in the lower half out of sample.  Above
        `SAMPLE_TRIALS` (2,000) combinations, the PBO and N_eff are taken on a
        sample of that many (the best and the others drawn without replacement
        by NumPy's default generator seeded with `SAMPLE_SEED`, in grid
        order; the same sweep gives the same sample), whose cost grows with
        the square of the trials; the deflated Sharpe ratio for N uses them all.

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
        rates = self._rates()
        with self._returns_rows() as (matrix, dates):
            count = matrix.shape[0]

            def excess(columns: np.ndarray, start: int = 0) -> pd.DataFrame:
                """The combinations' excess returns at `columns` from row `start`, as the whole table gives them."""
                values = np.ascontiguousarray(matrix[columns].T)
                table = pd.DataFrame(values, index=dates).astype(np.float64)
                if rates is not None:
                    table = table - np.column_stack([rates[int(j)] for j in columns])
                return table.iloc[start:]

            blocks_of = [np.arange(j, min(j + BLOCK_TRIALS, count)) for j in range(0, count, BLOCK_TRIALS)]
            first = np.empty(count, dtype=np.int64)
            for columns in blocks_of:
                known = ~np.isnan(excess(columns).to_numpy())
                if not known.any(axis=0).all():
                    raise ValueError("overfitting: a combination has no returns (it ran for less than two market rows)")
                first[columns] = known.argmax(axis=0)
            start = int(first.max())  # the first row on which every combination has a return
            # The trials' Sharpe ratios block by block: N and their variance are all the deflated Sharpe needs.
            sharpes = np.concatenate([validation.trial_sharpes(excess(c, start)) for c in blocks_of])
            known_sharpes = sharpes[np.isfinite(sharpes)]
            if known_sharpes.size < 2:
                raise ValueError(f"trials needs at least 2 trials with a Sharpe ratio, got {known_sharpes.size}")
            trials = (float(sharpes.size), float(known_sharpes.var(ddof=1)))
            mine = excess(np.array([position]), int(first[position])).iloc[:, 0]
            picks = sampled_trials(count, position)
            sample = excess(picks, start)
            sample.columns = self._combos.index(self._ran[picks])
            sample = sample.iloc[:, np.arange(len(picks))]
        cscv = validation.pbo(sample, blocks=blocks, metric=metric)
        n_eff = validation.effective_trials(sample)
        of = "" if sample.shape[1] == count else f", on a seeded sample of {sample.shape[1]:,} trials"
        rows = [
            ("combinations", float(count), "N: the combinations that ran"),
            ("effective_trials", n_eff, f"N_eff: independent trials they are worth (Galwey{of})"),
            (metric, float(best[metric]), f"the best combination's {metric} (annualised, as stats() has it)"),
            ("probabilistic_sharpe", validation.probabilistic_sharpe(mine), "P(true Sharpe > 0), one trial"),
            ("deflated_sharpe", validation.deflated_sharpe(mine, trials), "P(true Sharpe > 0) after N trials"),
            (
                "deflated_sharpe_effective",
                validation.deflated_sharpe(mine, trials, n_trials=n_eff),
                "P(true Sharpe > 0) after N_eff trials",
            ),
            ("track_record_length", float(np.isfinite(mine.to_numpy()).sum()), "the best's returns (periods)"),
            (
                "min_track_record_length",
                validation.min_track_record_length(mine),
                "periods needed for P(true Sharpe > 0) of 95 %",
            ),
            ("pbo", cscv.pbo, f"probability of backtest overfitting ({cscv.logits.size} splits{of})"),
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
        params = self._combos.params[int(self._ran[k])]
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
        given = self._combos.params
        if isinstance(given, (Product, Columns)):
            # By the codes of the combinations present along each key: no dict made per combination.
            digits = given.digits(self._present)
            hit = np.ones(len(self._present), dtype=bool)
            for j, key in enumerate(keys):
                axis = given.axes[j]
                codes = np.unique(digits[j])
                matching = [c for c in codes if same(params[key], axis[c])]
                if not matching:
                    taken = [plain(axis[c]) for c in codes]
                    raise ValueError(
                        f"result: {key}={params[key]!r} is not in the grid; {key} takes "
                        + ", ".join(repr(v) for v in taken)
                    )
                hit &= np.isin(digits[j], matching)
            # The parameters as the grid gave them.
            found = [given[int(self._present[k])] for k in np.flatnonzero(hit)[:1]]
        else:
            present = [given[int(i)] for i in self._present]
            for key in keys:
                taken = list(dict.fromkeys(plain(p[key]) for p in present))
                if not any(same(params[key], value) for value in taken):
                    raise ValueError(
                        f"result: {key}={params[key]!r} is not in the grid; {key} takes "
                        + ", ".join(repr(v) for v in taken)
                    )
            found = [p for p in present if all(same(params[k], p[k]) for k in keys)]
        if not found:
            shown = ", ".join(f"{k}={params[k]!r}" for k in keys)
            raise KeyError(f"result: ({shown}) is not a combination of the sweep")
        params = dict(found[0])
        strategy_kwargs, rules = split(params)
        job = self._job
        if self._market is None or job.strategy is _not_given:
            raise ValueError(
                "result: re-running a combination needs the strategy and the market: "
                "Sweep.open(folder, strategy, market, **fixed)"
            )
        weights = job.strategy(self._market, **job.strategy_kwargs, **strategy_kwargs)
        return backtest(weights, self._market, **job.rules, **rules)

    def _rates(self) -> list[np.ndarray] | None:
        """The risk-free return of each row that every combination's stats() measure it over (one array per
        distinct set of rules, shared), or None when none earns a cash rate."""
        by_rules: dict[str, Any] = {}
        rates = []
        for i in self._ran:
            rules = {**self._job.rules, **split(self._combos.params[int(i)])[1]}
            key = repr(canonical(rules))
            if key not in by_rules:
                by_rules[key] = run_risk_free(rules)
            rates.append(by_rules[key])
        if all(not isinstance(rate, pd.Series) and rate == 0 for rate, _ in by_rules.values()):
            return None
        if self._market is None:
            raise ValueError(
                "overfitting: the combinations earn a cash rate, whose rates by date need the market: "
                "Sweep.open(folder, strategy, market, **fixed)"
            )
        dates = self._market.dates
        rows: dict[int, np.ndarray] = {}
        for rate in by_rules.values():
            if id(rate) not in rows:
                rows[id(rate)] = per_row_rates(dates, rate[0], rate[1], name="rf")
        return [rows[id(rate)] for rate in rates]

    @contextmanager
    def _returns_rows(self) -> Iterator[tuple[np.ndarray, pd.Index]]:
        """Every combination's returns as rows (combinations x market rows, NaN before each one's first): in
        memory for a sweep without a store; else written from the store, one chunk at a time, to a
        temporary .npy file beside it and memory-mapped, so that they need not fit in memory."""
        name = self._returns_name()
        rows, dates = self._dates_and_rows()
        shape = (len(self._ran), rows)
        dtype = np.float32 if name == "returns32" else np.float64
        if self._store is None:
            matrix = np.full(shape, np.nan, dtype=dtype)
            for j, r in self._returns_values(name):
                matrix[j, rows - len(r) :] = r
            yield matrix, dates
            return
        with _scratch(self._store) as path:
            mapped = np.lib.format.open_memmap(path, mode="w+", dtype=dtype, shape=shape)
            mapped[:] = np.nan
            for j, r in self._returns_values(name):
                mapped[j, rows - len(r) :] = r
            mapped.flush()
            del mapped
            yield np.load(path, mmap_mode="r"), dates

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
        return len(self._present)

    def _repr_html_(self) -> str:
        from korvel.results._report import sweep_repr_html

        stats = self._stats if "stats" in self._job.keep else pd.DataFrame()
        return sweep_repr_html(repr(self)[1:-1], stats)

    def __repr__(self) -> str:
        failed = len(self._collected.failures)
        return (
            f"<korvel Sweep: {len(self)} combinations over {' x '.join(self._combos.keys)} "
            f"({len(self._ran)} ran, {failed} failed), {self.executor}, {self.elapsed:.1f} s>"
        )


#: The combinations `Sweep.overfitting` takes at once when it goes through all of their returns.
BLOCK_TRIALS = 512


@contextmanager
def _scratch(beside: Path) -> Iterator[Path]:
    """A temporary file's path in the folder `beside` (on its disk, which holds the store: the system's
    temporary folder may be memory), or the system's if that folder cannot be written; removed after."""
    try:
        fd, name = tempfile.mkstemp(prefix=".returns-", suffix=".npy", dir=beside)
    except OSError:
        fd, name = tempfile.mkstemp(prefix="korvel-returns-", suffix=".npy")
    os.close(fd)
    try:
        yield Path(name)
    finally:
        try:
            os.unlink(name)
        except OSError:
            pass


#: Above this many combinations `Sweep.overfitting` takes PBO and N_eff on a seeded sample of this many.
SAMPLE_TRIALS = 2000
SAMPLE_SEED = 25


def sampled_trials(count: int, best: int) -> np.ndarray:
    """The trials `Sweep.overfitting` takes PBO and N_eff on: all of them up to `SAMPLE_TRIALS`, else the
    best and a seeded draw of the others without replacement, in grid order."""
    if count <= SAMPLE_TRIALS:
        return np.arange(count)
    others = np.delete(np.arange(count), best)
    drawn = np.random.default_rng(SAMPLE_SEED).choice(others, SAMPLE_TRIALS - 1, replace=False)
    return np.sort(np.append(drawn, best))


def grouped(combos: Combinations, positions: np.ndarray) -> np.ndarray:
    """The positions with the same strategy parameters next to each other, the groups in grid order (of their
    first combination): a worker then reuses the strategy's weights for the rules that follow."""
    params = combos.params
    if isinstance(params, Product):
        # A group is the combinations' digits along the strategy's axes: in grid order of its first, as they are.
        group = np.zeros(len(positions), dtype=np.int64)
        for key, digit, axis in zip(combos.keys, params.digits(positions), params.axes):
            if key not in RULES:
                group = group * len(axis) + digit
        return positions[np.argsort(group, kind="stable")]
    groups: dict[str, list[int]] = {}
    for i in positions:
        groups.setdefault(repr(canonical(split(params[int(i)])[0])), []).append(int(i))
    return np.array([i for group in groups.values() for i in group], dtype=np.int64)


class Tasks(Sequence[Task]):
    """The tasks of a sweep, (position, parameters), each made when it is taken (none is kept)."""

    def __init__(self, combos: Combinations, positions: np.ndarray) -> None:
        self._params = combos.params
        self._positions = positions

    def __len__(self) -> int:
        return len(self._positions)

    def __getitem__(self, j: Any) -> Any:
        if isinstance(j, slice):
            return [self[k] for k in range(*j.indices(len(self)))]
        position = int(self._positions[j])
        return position, self._params[position]


def _resumed(combos: Combinations, collected: Collected, *, failures: bool = False) -> Callable[[str, Outcome], None]:
    """What takes a store's outcomes (by id) into `collected` at their positions in `combos`; a failed one
    goes in with `failures`, else it is run again."""
    where: list[Positions] = []  # made when the store is found to hold a combination

    def found(key: str, outcome: Outcome) -> None:
        if not where:
            where.append(Positions(combos))
        position = where[0].find(key)
        if position is None:
            return
        if isinstance(outcome, Failed) and not failures:
            collected.discard(position)
        else:
            collected.add(position, outcome, keep=False)

    return found


def _not_given(market: Market, **params: Any) -> pd.DataFrame:
    """The strategy of a store opened without one."""
    raise ValueError("the strategy was not given to Sweep.open")


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
    given: Iterable[Mapping[str, Any]] = combos.params
    if isinstance(combos.params, Product):  # the rules' own axes, not every combination
        axes = [combos.params.axes[combos.keys.index(k)] for k in rule_keys]
        given = (dict(zip(rule_keys, values)) for values in itertools.product(*axes))
    for params in given:
        values = tuple(canonical({k: params[k] for k in rule_keys}))
        if values in seen:
            continue
        seen.add(values)
        try:
            check_rules(**checked, **{k: params[k] for k in rule_keys})
        except (TypeError, ValueError) as exc:
            shown = ", ".join(f"{k}={params[k]!r}" for k in rule_keys)
            raise type(exc)(f"grid ({shown}): {exc}") from None
