"""The figures of one run from its arrays: what `Result.stats()` shows and what a sweep keeps of each run.

`figures` reads the engine's equity and trade ledger as NumPy arrays and
the market's date index only for the dates it names; it builds no frame.
Most figures are worked out natively in one call (`run_figures`, the
engine boundary's); `reference_figures` is what they are, by the NumPy
functions of `korvel.results._stats`, and the two are equal bit for bit.
`Result.stats()` wraps its dict in a Series and a sweep keeps the dict
itself, so the two hold the same numbers, bit for bit.  The other readings
here (the live returns, the book's sides, the value of the orders not
done, the risk-free rows) are the ones both the figures and the result's
frames are made of; the run keeps those it reads more than once.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvel._engine import RUN_FIGURES, run_figures
from korvel._market import missing_by_column, missing_offsets, missing_spans, timestamp_at
from korvel._typing import Float64Array
from korvel.results import _capacity, _stats
from korvel.results._records import Snapshot
from korvel.results._stat_table import ordered
from korvel.simulation._rates import annual_rate, day_basis, mean_annual_rate, per_row_rates

if TYPE_CHECKING:
    from korvel.simulation._run import Run

#: (the risk-free return of each live row, None when 0 on every row; the annual figure it stands for)
RiskFree = tuple[Float64Array | None, float]


def live_returns(equity: Float64Array) -> Float64Array:
    """Simple returns from one live row to the next (one fewer than the rows)."""
    out: Float64Array = equity[1:] / equity[:-1] - 1.0
    return out


def sides(run: Run) -> tuple[Float64Array, Float64Array]:
    """The long and the short holdings' value at each live close over the portfolio value."""
    rec, first = run.records, run.first_row
    equity = run.equity[first:]
    with np.errstate(divide="ignore", invalid="ignore"):
        return rec.row_long[first:] / equity, rec.row_short[first:] / equity


def unfilled_values(run: Run) -> Float64Array:
    """The value of each order not done (`Result.unfilled`'s order) at its row's trading price, in the
    prices' currency; NaN on a row without a price.  Needs `capital` and a run with `participation`."""
    if run.unfilled is None or run.rules.capital is None:
        raise ValueError("the run has no orders not done: it ran without participation")
    rows, sids, rest = run.unfilled
    price = run.view.trading(run.rules.trade_at)[rows, run.weights.market_columns[sids]]
    out: Float64Array = rest * price * run.rules.capital
    return out


def risk_free_rows(run: Run, rate: object, day_count: object) -> RiskFree:
    """The risk-free return of each live row at an annual `rate` (a number or annual rates by date) with a day
    count, None when it is 0 on every row, and the annual figure it stands for (`run_risk_free` gives the
    run's cash rate and day count, as the cash accrued them)."""
    if not isinstance(rate, pd.Series) and annual_rate(rate, "rf") == 0.0 and day_basis(day_count):
        return None, 0.0  # the usual case, at no cost to a sweep's thousands of runs
    dates = run.market.dates[run.first_row :]
    rows = per_row_rates(dates, rate, day_count, name="rf")
    return (rows if rows.any() else None), mean_annual_rate(rate, rows, dates, day_count)


def figures(run: Run, risk_free: RiskFree) -> dict[str, Any]:
    """The run's figures by name, in the statistics table's order (see `Result.stats`), as plain values:
    floats, ints and dates (Timestamps in the market's timezone and unit, NaT for none)."""
    rec, first, market = run.records, run.first_row, run.market
    out: dict[str, Any] = {"start": timestamp_at(market, first), "end": timestamp_at(market, -1)}
    rf_rows, out["rf"] = risk_free
    values, exits = run_figures(
        run.equity,
        run.view.dates,
        first,
        rf_rows,
        rec,
        run.record_columns,
        run.entry_price_missing,
        missing_by_column(market),
        missing_offsets(market),
    )
    out.update(zip(RUN_FIGURES, values))
    for key in _DATED:
        row = out[key]
        out[key] = pd.NaT if row is None else timestamp_at(market, first + row)
    if run.rules.capital is not None and run.fills is not None and run.fills[3] is not None:
        out["participation_p95"] = _capacity.p95(_capacity.participation(run)[2])
    if run.unfilled is not None:
        # An order given up on a row without a price has no value there: left out.
        out["unfilled_value"] = float(np.nansum(np.abs(unfilled_values(run)))) / run.rules.capital
    out.update(_stats.exit_figures(exits, rec.reason_names))
    level = benchmark_level(run)
    if level is not None:
        out.update(_stats.benchmark_figures(run.equity[first:], level, run.view.dates[first:], rf_rows))
    return ordered(out)


#: The figures that name a market row (as a live row; None for none), shown as its date.
_DATED = ("max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery")


def reference_figures(run: Run, rf_rows: Float64Array | None) -> dict[str, Any]:
    """What `run_figures` works out natively (`RUN_FIGURES`, then the ``exits_<reason>`` counts), by the
    NumPy functions of `korvel.results._stats`: the definition the native figures are held to, bit for bit
    (the tests compare the two).  Dated figures are live rows here, None for none."""
    rec, first, market = run.records, run.first_row, run.market
    live_ns = run.view.dates[first:]
    equity = run.equity[first:]
    out = _stats.performance(equity, live_ns, rf_rows)
    out.pop("periods_per_year")
    out["exposure"] = _stats.exposure(
        rec.entry,
        rec.exit,
        live_ns.shape[0] + first,
        first,
        run.record_columns,
        missing_by_column(market),
        missing_spans(market),
    )
    # Trades entered without a price have no return to count.
    missing = run.entry_price_missing
    keep = ~missing if np.count_nonzero(missing) else slice(None)
    out.update(
        _stats.trade_statistics(
            rec.exit_value(Snapshot.RETURN)[keep],
            rec.weight[keep],
            rec.exit_value(Snapshot.MAE)[keep],
            rec.exit_value(Snapshot.MFE)[keep],
            rec.entry[keep],
            rec.exit[keep],
        )
    )
    out.update(
        _stats.cost_statistics(
            rec.row_traded[first:],
            equity,
            rec.fees,
            rec.taxes,
            _stats.years(live_ns),
            rec.slippage,
            rec.borrow,
            rec.row_financing[first:],
            rec.impact,
        )
    )
    long, short = sides(run)
    # The means as NumPy takes them: the sum over the rows.
    out["gross_mean"] = float(np.add.reduce(long - short)) / long.shape[0] if long.shape[0] else np.nan
    out["net_mean"] = float(np.add.reduce(long + short)) / long.shape[0] if long.shape[0] else np.nan
    out.update(_stats.exit_counts(rec.exit_reason, rec.reason_names))
    return out


def benchmark_level(run: Run) -> Float64Array | None:
    """The benchmark over the live rows rescaled to 1.0 on its first price there, NaN where it has none."""
    if run.benchmark is None:
        return None
    live = run.benchmark[0][run.first_row :]
    known = np.flatnonzero(~np.isnan(live))
    base = live[known[0]] if known.size else np.nan
    out: Float64Array = live / base
    return out
