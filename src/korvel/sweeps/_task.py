"""One combination of a sweep, as a worker runs it: the strategy's weights, the backtest, what is kept.

This is all a worker process needs besides the market; it knows nothing of
executors.  A combination that raises comes back as a `Failed` (type,
message and traceback as text, so any exception travels), never as an
exception: one bad combination does not stop the others.
"""

from __future__ import annotations

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
from korvel.simulation._backtest import backtest
from korvel.simulation._rules import RULES
from korvel.sweeps._allocator import allocate_as_a_plain_process
from korvel.sweeps._grid import canonical

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


class WeightsCache:
    """The strategy's weights of this process's latest sweep, by the strategy's parameters, bounded in bytes.

    The weights depend on the strategy's parameters alone: the combinations that differ only in their rules
    reuse them (the sweep hands out the combinations grouped by those parameters, in grid order).  The
    least recently used weights go first; a new sweep (another job) empties the cache.
    """

    def __init__(self, limit: int = WEIGHTS_CACHE_BYTES) -> None:
        self.limit = limit
        self._job: Job | None = None
        self._market: Market | None = None
        self._entries: OrderedDict[str, tuple[Any, int]] = OrderedDict()
        self._bytes = 0
        self.calls = 0  # strategy calls made through the cache (for the tests and benchmarks)

    def clear(self) -> None:
        self._entries.clear()
        self._bytes = 0
        self._job = self._market = None

    def weights(self, job: Job, market: Market, strategy_kwargs: Mapping[str, Any]) -> Any:
        if job is not self._job or market is not self._market:
            self.clear()
            self._job, self._market = job, market
        key = repr(canonical(strategy_kwargs))
        found = self._entries.get(key)
        if found is not None:
            self._entries.move_to_end(key)
            return found[0]
        self.calls += 1
        weights = job.strategy(market, **job.strategy_kwargs, **strategy_kwargs)
        size = _size(weights)
        if size <= self.limit:
            self._entries[key] = (weights, size)
            self._bytes += size
            while self._bytes > self.limit:
                _, (_, dropped) = self._entries.popitem(last=False)
                self._bytes -= dropped
        return weights


def _size(weights: Any) -> int:
    if isinstance(weights, pd.DataFrame):
        return int(weights.memory_usage(index=True, deep=False).sum())
    nbytes = getattr(weights, "nbytes", None)
    return int(nbytes) if isinstance(nbytes, int) else 1 << 20


CACHE = WeightsCache()


def run_task(job: Job, market: Market, params: Mapping[str, Any]) -> Outcome:
    """Run one combination: the strategy's weights on the market (reused from `CACHE` for parameters seen
    before), backtested with the rules."""
    strategy_kwargs, rules = split(params)
    try:
        # The run's KorvelWarnings are kept with its results instead of being shown once per combination.
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always", KorvelWarning)
            weights = CACHE.weights(job, market, strategy_kwargs)
            result = backtest(weights, market, **job.rules, **rules)
        kept: dict[str, Any] = {WARNINGS: {}}
        for caught in seen:
            if isinstance(caught.message, KorvelWarning):
                kept[WARNINGS].setdefault(caught.message.kind, str(caught.message))
            else:
                warnings.warn_explicit(caught.message, caught.category, caught.filename, caught.lineno)
        for name in job.keep:
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
        return Done(kept)
    except Exception as exc:
        return failed(exc)


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
