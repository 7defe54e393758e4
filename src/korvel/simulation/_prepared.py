"""The weights of a run laid out for one market, and what follows from them and one rule or two, worked out once.

A backtest makes one `Prepared` and runs on it.  A sweep keeps one per
parameter set of its strategy and runs each rule combination of that set on
it: the weights' checks and conversion, their scaling to a gross limit, the
rebalance schedule, the benchmark's prices and the warnings that depend on
these alone are then worked out once for each value of the rules they read
(a stop level changes none of them), not once per run.  Every value is the
one a fresh `Prepared` gives: the same functions on the same inputs.  What
raises is not kept, so a run that fails fails again with the same error.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Hashable
from dataclasses import dataclass
from functools import cached_property
from typing import Any, TypeVar

import numpy as np

from korvel import _checks as checks
from korvel._market import Market, MarketView, missing_prices, view_of
from korvel._typing import Float64Array, Int64Array
from korvel.simulation import _alerts, _money, _schedule
from korvel.simulation._inputs import Weights, benchmark_prices, precision, prepare_weights, rebalance_dates

T = TypeVar("T")
_PLAIN = (str, bool, int, float)


@dataclass(frozen=True, eq=False)
class Schedule:
    """The rebalance dates the engine gets and which weight row it applies on each market row."""

    resample: Int64Array  # the rebalance dates (int64 ns, ascending)
    text: str  # how they were chosen
    applied: Int64Array  # the weight row applied on each market row, -1 for none
    due: bool  # the due weight row is traded on the next trading day


class Prepared:
    """Target weights on one market: checked, converted and scaled, with their schedule and warnings."""

    def __init__(self, weights: object, market: Market) -> None:
        self.given = weights
        self.market = market
        self.view: MarketView = view_of(market)
        self._memo: dict[Hashable, Any] = {}
        # Values remembered by identity (a list of dates, a benchmark Series): held, so that their ids stay theirs.
        self._held: dict[int, object] = {}

    @cached_property
    def weights(self) -> Weights:
        """The weights as given, checked against the market and laid out for the engine."""
        return prepare_weights(self.given, self.view)

    @cached_property
    def gross(self) -> Float64Array:
        """The gross sum (sum of |weight|) of each weight row as given."""
        out: Float64Array = np.abs(self.weights.values).sum(axis=1)
        return out

    @cached_property
    def first_row(self) -> int:
        """The first market row the strategy is live on: the first on or after the first weight date."""
        return int(np.searchsorted(self.view.dates, self.weights.engine_dates[0], side="left"))

    @cached_property
    def eps(self) -> float:
        """The precision the weights were given in (float32: coarser), read from their dtypes once needed."""
        return precision(checks.frame(self.given, "weights"))

    @cached_property
    def timezone_text(self) -> str | None:
        return _alerts.other_timezone(self.weights, self.view)

    @property
    def nbytes(self) -> int:
        """The bytes of the arrays laid out for the engine (what a cache of them holds besides the weights)."""
        return int(self.weights.values.nbytes + self.weights.engine_dates.nbytes + self.gross.nbytes)

    def scaled(self, max_gross: float) -> tuple[Weights, str | None]:
        """The weights with each row above `max_gross` scaled down to it, and the warning that says so."""

        def scale() -> tuple[Weights, str | None]:
            given, gross = self.weights, self.gross
            text = _alerts.gross_scaled(given, max_gross, gross, lambda: self.eps)
            values = _money.scaled_to_max_gross(given.values, max_gross, gross)
            return (given if values is given.values else dataclasses.replace(given, values=values)), text

        return self._remember(("scaled", max_gross), scale)

    def schedule(self, rebalance: object, weights: Weights) -> Schedule:
        """The rebalance dates of `rebalance` and the weight rows they apply (`weights`: these, scaled)."""

        def work_out() -> Schedule:
            resample, text = rebalance_dates(rebalance, self.view, weights)
            applied, _, due = _schedule.applied_weight_rows(self.view.dates, weights.engine_dates, resample)
            return Schedule(resample, text, applied, due)

        return self._remember(("schedule", self._key(rebalance)), work_out)

    def benchmark(self, benchmark: object) -> tuple[Float64Array, str] | None:
        """The benchmark's level on every market row, and its name (None without one)."""
        return self._remember(("benchmark", self._key(benchmark)), lambda: benchmark_prices(benchmark, self.view))

    def benchmark_text(self, benchmark: object) -> str | None:
        """What the benchmark lacks over the live rows, or None."""
        return self._remember(
            ("benchmark gaps", self._key(benchmark)),
            lambda: _alerts.benchmark_gaps(benchmark, self.benchmark(benchmark), self.view, self.first_row),
        )

    def unpriced_text(self, max_gross: float, rebalance: object, trade_at: str) -> str | None:
        """The warning on weights given to instruments without a trading price where they apply, or None."""

        def work_out() -> str | None:
            weights = self.scaled(max_gross)[0]
            applied = self.schedule(rebalance, weights).applied
            return _alerts.unpriced_weights(weights, self.view, applied, missing_prices(self.market, trade_at))

        return self._remember(("unpriced", max_gross, self._key(rebalance), trade_at), work_out)

    def capped_text(self, max_gross: float, position_limit: float) -> str | None:
        """The warning on `position_limit` capping weights on many rows, or None."""
        return self._remember(
            ("capped", max_gross, position_limit),
            lambda: _alerts.capped_weights(self.scaled(max_gross)[0], position_limit, lambda: self.eps),
        )

    def _remember(self, key: Hashable, work_out: Callable[[], T]) -> T:
        try:
            found: T = self._memo[key]
        except KeyError:
            found = self._memo[key] = work_out()
        return found

    def _key(self, value: object) -> Hashable:
        """A key of a rule's value: plain values by type and value, any other (a list of dates, a Series)
        by identity."""
        if value is None or type(value) in _PLAIN:
            return (type(value), value)
        self._held[id(value)] = value
        return ("object", id(value))
