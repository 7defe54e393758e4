"""What one backtest ran on and what the engine left: the input of every reading of a run."""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np

from korvel._market import Market, MarketView
from korvel._typing import BoolArray, Float64Array, Int64Array
from korvel.results._records import Records
from korvel.simulation._inputs import Weights
from korvel.simulation._rules import Rules


@dataclass(frozen=True, eq=False)
class Run:
    """One engine run, with what it was given."""

    market: Market
    view: MarketView  # the market's arrays
    weights: Weights
    rules: Rules
    rebalance: str  # how the rebalance dates were chosen
    resample: Int64Array  # the rebalance dates the engine got
    engine_keywords: dict[str, Any]  # the rule keywords the engine got (the ledger run's own included)
    equity: Float64Array  # one value per market row
    records: Records
    operations: dict[str, Any]
    applied: Int64Array  # weight row applied on each market row, -1 for none
    rebalance_due: bool  # the due weight row is traded on the next trading day
    benchmark: tuple[Float64Array, str] | None  # level on every market row, and its name
    engine_seconds: float
    #: With `capital`: every fill, (market row, weight column, |value traded| in units of the starting capital,
    #: the ADV before it, None without a market volume).
    fills: tuple[Int64Array, Int64Array, Float64Array, Float64Array | None] | None = None
    #: With `participation`: the orders not done, (market row, weight column, rest as a value over the price).
    unfilled: tuple[Int64Array, Int64Array, Float64Array] | None = None
    #: The ledger run's keywords for the size rules (its volume table, capital, caps), for a run once more.
    size_keywords: dict[str, Any] = field(default_factory=dict)

    # The readings below are read by the figures and by the result's frames alike: worked out once per run
    # (the run never changes).

    @cached_property
    def first_row(self) -> int:
        """The first market row the strategy is live on: the first on or after the first weight date."""
        return int(np.searchsorted(self.view.dates, self.weights.engine_dates[0], side="left"))

    @cached_property
    def record_columns(self) -> Int64Array:
        """The market column of each trade record; read-only."""
        columns: Int64Array = self.weights.market_columns[self.records.sid]
        columns.flags.writeable = False
        return columns

    @cached_property
    def entry_price_missing(self) -> BoolArray:
        """Per record: no trading price on its entry row (an instrument not listed yet, a gap); read-only."""
        trading = self.view.trading(self.rules.trade_at)
        if trading.flags.c_contiguous:  # as the market keeps its tables: a flat take, not a 2-D fancy index
            price = trading.reshape(-1).take(self.records.entry * trading.shape[1] + self.record_columns)
        else:
            price = trading[self.records.entry, self.record_columns]
        missing: BoolArray = np.isnan(price)
        missing.flags.writeable = False
        return missing

    @property
    def delisting(self) -> Int64Array:
        """The delisting row of each weight column (-1: none)."""
        rows: Int64Array = self.view.delisting_rows[self.weights.market_columns]
        return rows
