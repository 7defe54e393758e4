"""One combination of a sweep, as a worker runs it: the strategy's weights, the backtest, what is kept.

This is all a worker process needs besides the market; it knows nothing of
executors.  A combination that raises comes back as a `Failed` (type,
message and traceback as text, so any exception travels), never as an
exception: one bad combination does not stop the others.

The lean path: what a combination shares with others is worked out once per
worker and kept in `CACHE` for the sweep (the job): the strategy's weights by
its parameters, laid out for the engine with their schedule and warnings
(`Prepared`), and the checked rules by their values.  A run then builds no
frame it does not keep: its statistics come from the engine's arrays
(`korvel.results._figures`, the function `Result.stats()` wraps), the
trades table alone when `keep` asks for it.  Its results, warnings and
errors are those of `korvel.backtest(...)` on the same weights.
"""

from __future__ import annotations

import threading
import time
import traceback
import warnings
from collections import OrderedDict
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from korvel._market import Market
from korvel._warnings import KorvelWarning
from korvel.results._figures import figures, live_returns, risk_free_rows
from korvel.results._result import Result
from korvel.simulation._backtest import CheckedRules, backtest, simulate
from korvel.simulation._prepared import Prepared
from korvel.simulation._rates import run_risk_free
from korvel.simulation._rules import DEPRECATED, RULES, check_rules, keywords_given
from korvel.simulation._run import Run
from korvel.sweeps._allocator import allocate_as_a_plain_process
from korvel.sweeps._fingerprint import content_digest
from korvel.sweeps._grid import plain

#: What a sweep can keep of each backtest ("returns32": the returns as float32).
KEEP = ("stats", "equity", "trades", "returns", "returns32")
#: Where a combination's KorvelWarnings travel in what is kept of it (kind -> text), whatever `keep` says.
WARNINGS = "warnings"


@dataclass(frozen=True)
class Job:
    """What every combination of one sweep shares: the strategy, the fixed keywords, what to keep."""

    strategy: Callable[..., pd.DataFrame]
    strategy_kwargs: Mapping[str, Any]  # fixed keywords for the strategy
    rules: Mapping[str, Any]  # fixed keywords for the backtest
    keep: tuple[str, ...]


@dataclass(frozen=True)
class Done:
    """What was kept of one backtest: ``stats`` (name -> value), ``equity`` (the values from the
    first live row to the last market row), ``returns`` or ``returns32`` (from the second live row
    on, float64 or float32), ``trades`` (the DataFrame), and always ``warnings`` (the run's
    KorvelWarnings, kind -> text)."""

    kept: dict[str, Any]


@dataclass(frozen=True)
class Failed:
    error: str  # the exception's type name
    message: str
    traceback: str


Outcome = Done | Failed


def split(params: Mapping[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """(keywords for the strategy, keywords for the backtest): the backtest takes its rules."""
    strategy = {k: v for k, v in params.items() if k not in RULES}
    rules = {k: v for k, v in params.items() if k in RULES}
    return strategy, rules


#: The weights kept per process at most (each worker process of a sweep has its own cache).
WEIGHTS_CACHE_BYTES = 256 << 20
#: The checked rule combinations kept per process at most.
RULES_CACHE_SIZE = 4096
#: True: every combination calls the strategy and runs ``korvel.backtest(...)`` and ``.stats()``, as sweeps did
#: before the weights were reused and the lean path was there (the benchmarks run both side by side; the
#: results are the same).
FULL_PATH = False
#: The rules `korvel.backtest` takes besides those `check_rules` checks: checked against the market.
_MARKET_RULES = ("rebalance", "benchmark")
_PLAIN = (type(None), bool, int, float, str)


@dataclass
class _Entry:
    weights: Any  # as the strategy returned them
    prepared: Prepared  # laid out for the engine on first use
    size: int  # the bytes counted for them (and for `prepared`'s arrays, once counted)


class WeightsCache:
    """The strategy's weights of this process's latest sweep, by the strategy's parameters, bounded in bytes,
    with the weights prepared for the market and the sweep's checked rule combinations.

    The weights depend on the strategy's parameters alone: the combinations that differ only in their rules
    reuse them (the sweep hands out the combinations grouped by those parameters, in grid order), and so
    their layout for the engine.  The least recently used weights go first; a new sweep (another job) empties
    the cache.  Threads of one process share it.
    """

    def __init__(self, limit: int = WEIGHTS_CACHE_BYTES) -> None:
        self.limit = limit
        self._job: Job | None = None
        self._market: Market | None = None
        self._entries: OrderedDict[tuple[Any, ...], _Entry] = OrderedDict()
        self._uncounted: dict[int, _Entry] = {}  # the entries kept whose prepared arrays are not counted yet
        self._rules: dict[tuple[Any, ...], CheckedRules] = {}
        self._bytes = 0
        self._lock = threading.Lock()
        self.calls = 0  # strategy calls made through the cache (for the tests and benchmarks)

    def clear(self) -> None:
        with self._lock:
            self._clear()

    def _clear(self) -> None:
        self._entries.clear()
        self._uncounted.clear()
        self._rules.clear()
        self._bytes = 0
        self._job = self._market = None

    def weights(self, job: Job, market: Market, strategy_kwargs: Mapping[str, Any]) -> Any:
        return self._entry(job, market, strategy_kwargs).weights

    def prepared(self, job: Job, market: Market, strategy_kwargs: Mapping[str, Any]) -> Prepared:
        """The strategy's weights for these parameters, to be prepared for the market on first use (once while
        kept: `count` them after a run has prepared them)."""
        return self._entry(job, market, strategy_kwargs).prepared

    def count(self, prepared: Prepared) -> None:
        """Count the arrays of weights a run has prepared in the cache's bytes (once)."""
        with self._lock:
            entry = self._uncounted.pop(id(prepared), None)
            if entry is None or entry.prepared is not prepared:
                return
            extra = prepared.nbytes
            entry.size += extra
            self._bytes += extra
            self._evict()

    def rules(self, job: Job, rules: Mapping[str, Any]) -> CheckedRules:
        """The job's fixed rules with a combination's (less rebalance and benchmark), checked; the same check
        as `korvel.backtest` makes, kept by the combination's values while they are plain numbers or words."""
        values = _rules_key(rules)
        if values is not None and job is self._job:
            # Kept only under a key made below with the job's rules as they are: a combination's values find
            # their checked rules before anything else is looked at.
            found = self._rules.get(values)
            if found is not None:
                return found
        given = {k: v for k, v in {**job.rules, **rules}.items() if k not in _MARKET_RULES}
        key = values if not any(given.get(name) is not None for name in DEPRECATED) else None
        checked = CheckedRules.of(check_rules(**keywords_given(**given)))
        if key is not None:
            with self._lock:
                if job is self._job:
                    if len(self._rules) >= RULES_CACHE_SIZE:
                        self._rules.clear()
                    self._rules[key] = checked
        return checked

    def _entry(self, job: Job, market: Market, strategy_kwargs: Mapping[str, Any]) -> _Entry:
        key = _weights_key(strategy_kwargs)
        if key is None:  # a value known by no content: its weights are not kept
            with self._lock:
                self.calls += 1
            weights = job.strategy(market, **job.strategy_kwargs, **strategy_kwargs)
            return _Entry(weights, Prepared(weights, market), _size(weights))
        with self._lock:
            if job is not self._job or market is not self._market:
                self._clear()
                self._job, self._market = job, market
            found = self._entries.get(key)
            if found is not None:
                self._entries.move_to_end(key)
                return found
            self.calls += 1
        weights = job.strategy(market, **job.strategy_kwargs, **strategy_kwargs)
        entry = _Entry(weights, Prepared(weights, market), _size(weights))
        with self._lock:
            if entry.size <= self.limit and job is self._job and key not in self._entries:
                self._entries[key] = entry
                self._uncounted[id(entry.prepared)] = entry
                self._bytes += entry.size
                self._evict()
        return entry

    def _evict(self) -> None:
        while self._bytes > self.limit and self._entries:
            _, dropped = self._entries.popitem(last=False)
            self._uncounted.pop(id(dropped.prepared), None)
            self._bytes -= dropped.size


def _weights_key(strategy_kwargs: Mapping[str, Any]) -> tuple[Any, ...] | None:
    """A key of the strategy's parameters by value, never by their text (two values may print alike): a plain
    number or word (a NumPy scalar as the one it holds) by its type and exact text, so that 1, 1.0 and True
    differ, and 0.0 and -0.0; any other value by its content's digest; None when a value has no content to
    digest (its weights are then not kept)."""
    key = []
    for name, value in sorted(strategy_kwargs.items()):
        said = _plain_key(name, plain(value))
        if said is None:
            digested = content_digest(value)
            if digested is None:
                return None
            said = (name, "digest", digested)
        key.append(said)
    return tuple(key)


def _rules_key(rules: Mapping[str, Any]) -> tuple[Any, ...] | None:
    """A key of a combination's rules by type and value (so that 1, 1.0 and True, or 0.0 and -0.0, differ);
    None when a value is not a plain number or word."""
    key = [_plain_key(name, value) for name, value in sorted(rules.items())]
    return None if None in key else tuple(key)


def _plain_key(name: str, value: Any) -> tuple[str, str, str] | None:
    """A parameter's key by its value's type and exact text, or None when the value is not a plain number
    or word (None, bool, int, float, str)."""
    return (name, type(value).__name__, repr(value)) if type(value) in _PLAIN else None


def _size(weights: Any) -> int:
    """The bytes counted for the strategy's weights: 8 a cell for a frame (a narrower dtype counted as wide)."""
    if isinstance(weights, pd.DataFrame):
        return 8 * weights.shape[0] * weights.shape[1] + int(weights.index.nbytes)
    nbytes = getattr(weights, "nbytes", None)
    return int(nbytes) if isinstance(nbytes, int) else 1 << 20


CACHE = WeightsCache()


def run_task(job: Job, market: Market, params: Mapping[str, Any]) -> Outcome:
    """Run one combination: the strategy's weights on the market (reused from `CACHE` for parameters seen
    before, with their layout for the engine), backtested with the rules."""
    strategy_kwargs, rules = split(params)
    try:
        # The run's KorvelWarnings are kept with its results instead of being shown once per combination.
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always", KorvelWarning)
            if FULL_PATH:
                result = backtest(
                    job.strategy(market, **job.strategy_kwargs, **strategy_kwargs), market, **job.rules, **rules
                )
            else:
                prepared = CACHE.prepared(job, market, strategy_kwargs)
                checked = CACHE.rules(job, rules)
                merged = {**job.rules, **rules}
                run = simulate(
                    prepared,
                    checked,
                    merged.get("rebalance"),
                    merged.get("benchmark"),
                    extremes_only="trades" not in job.keep,  # its trades table is never built
                )
                CACHE.count(prepared)
        kept: dict[str, Any] = {WARNINGS: {}}
        for caught in seen:
            if isinstance(caught.message, KorvelWarning):
                kept[WARNINGS].setdefault(caught.message.kind, str(caught.message))
            else:
                warnings.warn_explicit(caught.message, caught.category, caught.filename, caught.lineno)
        kept.update(_kept_of_result(result, job.keep) if FULL_PATH else _kept_of_run(run, job.keep))
        return Done(kept)
    except Exception as exc:
        return failed(exc)


def _kept_of_run(run: Run, keep: Sequence[str]) -> dict[str, Any]:
    """What `keep` asks for of a run, from its arrays (the trades table alone built)."""
    kept: dict[str, Any] = {}
    first = run.first_row
    for name in keep:
        if name == "stats":
            said = figures(run, risk_free_rows(run, *run_risk_free(run.rules)))
            # NumPy scalars as the Python values they hold (`plain`, inline: a sweep keeps every run's figures).
            kept[name] = {key: value.item() if isinstance(value, np.generic) else value for key, value in said.items()}
        elif name == "equity":
            kept[name] = run.equity[first:]
        elif name == "returns":
            kept[name] = live_returns(run.equity[first:])
        elif name == "returns32":
            kept[name] = live_returns(run.equity[first:]).astype(np.float32)
        else:
            kept[name] = Result(run).trades
    return kept


def _kept_of_result(result: Result, keep: Sequence[str]) -> dict[str, Any]:
    """What `keep` asks for of a result, from its frames (the path of `FULL_PATH`)."""
    kept: dict[str, Any] = {}
    for name in keep:
        if name == "stats":
            kept[name] = result.stats().to_dict()
        elif name == "equity":
            kept[name] = result.equity.to_numpy()
        elif name == "returns":
            kept[name] = result.returns.to_numpy()
        elif name == "returns32":
            kept[name] = result.returns.to_numpy().astype(np.float32)
        else:
            kept[name] = result.trades
    return kept


def failed(exc: BaseException) -> Failed:
    text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    return Failed(type(exc).__name__, str(exc), text)


def run_batch(job: Job, market: Market, tasks: Sequence[tuple[int, Mapping[str, Any]]]) -> Batch:
    """Run several combinations one after the other: their (position, outcome) and the seconds they took.

    Batches run on workers of executors (Dask's nanny fixes glibc's thresholds): the first puts the
    allocator back as a plain process has it."""
    allocate_as_a_plain_process()
    start = time.perf_counter()
    outcomes = [(position, run_task(job, market, params)) for position, params in tasks]
    return Batch(outcomes, time.perf_counter() - start)


@dataclass(frozen=True)
class Batch:
    """What a worker sends back for a batch: every combination's outcome, and the time spent on them."""

    outcomes: list[tuple[int, Outcome]]
    seconds: float
