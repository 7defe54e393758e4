"""Performance and trade statistics, in plain NumPy.

Conventions: returns are simple returns from one market row to the next;
everything is a fraction (0.05 is 5 %), drawdowns are negative fractions from
the running peak (the starting capital included); annualising uses the rows
per year the dates themselves show (returns / elapsed years of 365.25 days),
so daily, weekly or intraday rows need no frequency argument; the Sharpe and
Sortino ratios measure the returns in excess of a risk-free return per row
(the run's cash rate by default: 0 unless set).  Trade statistics come from the trade records, not from returns:
win rate, profit factor, average win / loss / return, holding period (market
rows) and mean excursions are taken over the closed trades; trades with no
return (a NaN price at the entry) are left out of the averages.  Costs and
turnover come from the ledger: what each trade paid, and the value traded on
each row.

A run's figures are worked out natively (`korvel._engine.run_figures`);
`performance`, `exposure`, `trade_statistics`, `cost_statistics` and
`exit_counts` are their definition, which the native figures equal bit for
bit (`korvel.results._figures.reference_figures` puts them together), and
walk-forward and the bootstrap read `performance` itself.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from korvel._typing import NS_PER_DAY
from korvel._typing import Float64Array as Float

DAYS_PER_YEAR = 365.25
NAN = math.nan


def drawdown(equity: Float) -> Float:
    """Fall from the running peak (at least the starting capital of 1), as a negative fraction."""
    peak = np.maximum.accumulate(np.maximum(equity, 1.0))
    out: Float = equity / peak
    out -= 1.0
    return out


def annualised(growth: float, elapsed: float) -> float:
    """The yearly rate of a `growth` factor over `elapsed` years (NaN without a span or a positive factor;
    inf where the power overflows, as C's pow gives it: Python's float power raises there instead)."""
    if not (elapsed > 0 and growth > 0):
        return NAN
    try:
        return float(growth ** (1.0 / elapsed) - 1.0)
    except OverflowError:  # a huge gain over a short span
        return math.inf


def years(dates_ns: npt.NDArray[np.int64]) -> float:
    """The years (of 365.25 days) from the first date to the last; 0.0 without dates."""
    return float(dates_ns[-1] - dates_ns[0]) / (NS_PER_DAY * DAYS_PER_YEAR) if dates_ns.shape[0] else 0.0


def performance(equity: Float, dates_ns: npt.NDArray[np.int64], rf: Float | None = None) -> dict[str, Any]:
    """Return and risk figures of an equity curve starting at 1.0; dates are given as row numbers
    into `dates_ns` (max_drawdown_peak, _trough, _recovery; None when not recovered).

    `rf`: the risk-free return of each row (as the returns, over the row
    before; the first is not used), which the Sharpe and Sortino ratios
    measure the returns in excess of; None for 0.  The other figures take
    the returns themselves.
    """
    n = equity.shape[0]
    elapsed = years(dates_ns)
    with np.errstate(divide="ignore", invalid="ignore"):  # a ruined run's equity reaches 0
        returns = equity[1:] / equity[:-1]
        returns -= 1.0
    # The sum of the returns is finite when every return is (a finite sum of non-finite ones is not): then
    # no mask is needed, and the sum is the one the mean takes.
    total = float(np.add.reduce(returns))
    excess = returns - rf[1:] if rf is not None else returns
    if not math.isfinite(total):
        finite = np.isfinite(returns)
        returns, excess = returns[finite], excess[finite]
        total = float(np.add.reduce(returns))
    count = returns.size
    per_year = count / elapsed if elapsed > 0 else NAN
    final = float(equity[-1]) if n else NAN
    out: dict[str, Any] = {"total_return": final - 1.0}
    out["cagr"] = annualised(final, elapsed)
    if count > 1:
        sd = _std(returns, total)
        out["annual_volatility"] = sd * math.sqrt(per_year)
        excess_total = total
        if rf is not None:
            excess_total = float(np.add.reduce(excess))
            sd = _std(excess, excess_total)
        mean = excess_total / count
        below = np.minimum(excess, 0.0)
        below *= below
        downside = math.sqrt(float(np.add.reduce(below)) / count)
        out["sharpe"] = mean / sd * math.sqrt(per_year) if sd > 0 else NAN
        out["sortino"] = mean / downside * math.sqrt(per_year) if downside > 0 else NAN
    else:
        out["annual_volatility"] = out["sharpe"] = out["sortino"] = NAN
    dd = drawdown(equity)
    trough = int(dd.argmin()) if n else 0
    worst = float(dd[trough]) if n else NAN
    out["calmar"] = out["cagr"] / -worst if worst < 0 else NAN
    out["max_drawdown"] = worst
    at_peak = dd >= 0
    before = at_peak[: trough + 1].nonzero()[0]
    out["max_drawdown_peak"] = int(before[-1]) if before.size else 0
    out["max_drawdown_trough"] = trough
    recovered = at_peak[trough:].nonzero()[0] if worst < 0 else before[:0]
    out["max_drawdown_recovery"] = trough + int(recovered[0]) if recovered.size else None
    out["longest_drawdown_days"] = _longest_drawdown_days(dd, dates_ns)
    out["periods_per_year"] = per_year
    return out


def _std(x: Float, total: float) -> float:
    """``float(x.std(ddof=1))`` given ``x.sum()``, as NumPy works it out (the sum over the size, the squared
    deviations summed pairwise over one less than the size), without its overhead on a sweep's every run."""
    deviation = x - total / x.size
    deviation *= deviation
    return math.sqrt(float(np.add.reduce(deviation)) / (x.size - 1))


def _longest_drawdown_days(dd: Float, dates_ns: npt.NDArray[np.int64]) -> float:
    """Calendar days from a peak to the recovery (or to the last date) of the longest drawdown."""
    padded = np.zeros(dd.shape[0] + 2, dtype=np.int8)
    padded[1:-1] = dd < 0
    # The rows where the fall starts and where it ends alternate (the padding is at the peak on both sides).
    changes = (padded[1:] != padded[:-1]).nonzero()[0]
    if not changes.size:
        return 0.0
    starts = changes[0::2]  # first row below the peak
    ends = changes[1::2]  # first row back at the peak (or one past the end)
    peak = dates_ns[np.maximum(starts - 1, 0)]
    back = dates_ns[np.minimum(ends, dates_ns.shape[0] - 1)]
    return float(np.maximum.reduce(back - peak) / NS_PER_DAY)


def exposure(
    entry: npt.NDArray[np.int64],
    exit: npt.NDArray[np.int64],
    rows: int,
    first: int,
    columns: npt.NDArray[np.int64] | None = None,
    unpriced: npt.NDArray[np.int64] | None = None,
    spans: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None = None,
) -> float:
    """Share of the rows from `first` on whose close finds some holding with a price.

    A record holds from its entry row up to the row before its exit (the
    exit row closes it), to the last row while open.  With `columns` (the
    market column of each record) and `unpriced` (the missing closes as
    sorted keys column * (rows + 1) + row), a holding does not count on a
    row where its close is missing.  `spans` (the first and the last row of
    each column's missing closes, `korvel._market.spans_of`) only spares
    the search for the holdings that lie outside them.
    """
    if rows <= first:
        return NAN
    # (The arrays' own methods throughout: NumPy's functions of the same names add a Python layer to each call.)
    end = np.where(exit < 0, rows, exit)
    change = np.bincount(entry, minlength=rows + 1)[: rows + 1] - np.bincount(end, minlength=rows + 1)[: rows + 1]
    held = change[:rows].cumsum()
    if columns is not None and unpriced is not None and unpriced.size and entry.size:
        if spans is not None:
            # A holding finds a missing close only where its rows meet its column's first to last missing one.
            near = ((entry <= spans[1][columns]) & (end > spans[0][columns])).nonzero()[0]
            columns, entry, end = columns[near], entry[near], end[near]
        # The missing closes inside each record's rows: a run of the sorted keys, found with two searches
        # per record (a market may miss millions of closes; a holding rarely spans any).
        stride = rows + 1
        column_keys = columns * stride
        start_keys = column_keys + entry
        # Queries in key order: NumPy's search then walks the large key array forwards.
        order = start_keys.argsort(kind="stable")
        lo = unpriced.searchsorted(start_keys[order], side="left")
        column_keys += end
        hi = unpriced.searchsorted(column_keys[order], side="left")
        count = hi - lo
        total = int(np.add.reduce(count))
        if total:
            runs = (lo - np.concatenate(([0], count.cumsum()[:-1]))).repeat(count) + np.arange(total)
            held = held - np.bincount(unpriced[runs] % stride, minlength=rows)[:rows]
    live = held[first:]
    # The share of rows with a holding: their count over the rows (the mean of the booleans, as NumPy takes it).
    return int(np.count_nonzero(live > 0)) / len(live)


def trade_statistics(
    returns: Float, weights: Float, mae: Float, mfe: Float, entry: npt.NDArray[np.int64], exit: npt.NDArray[np.int64]
) -> dict[str, Any]:
    """Figures of the closed trades (exit row >= 0); a trade's result counts as |weight| x return
    for the profit factor.

    A run may leave hundreds of thousands of records: the sums over subsets
    are sums of copies where the values outside the subset are 0 (no fancy
    indexing, few temporaries).  Every sum is NumPy's own (pairwise), never
    a BLAS dot product, whose result depends on how many threads the BLAS
    library runs: the figures are the same bit for bit in every process.
    """
    closed = exit >= 0
    n_closed = int(np.count_nonzero(closed))
    priced = returns == returns  # not NaN
    priced &= closed
    r = np.where(priced, returns, 0.0)
    won, lost = r > 0, r < 0
    n_won, n_lost, n_priced = int(np.count_nonzero(won)), int(np.count_nonzero(lost)), int(np.count_nonzero(priced))
    contribution = np.abs(np.where(priced, weights, 0.0))
    contribution *= r
    gained, given = _sum_over(contribution, won), -_sum_over(contribution, lost)
    held = float(np.add.reduce(np.where(closed, exit - entry, 0)))
    out: dict[str, Any] = {
        "trades": int(returns.shape[0]),
        "open_trades": int(returns.shape[0] - n_closed),
        "win_rate": n_won / n_priced if n_priced else NAN,
        "profit_factor": gained / given if given > 0 else (math.inf if gained > 0 else NAN),
        "avg_win": _sum_over(r, won) / n_won if n_won else NAN,
        "avg_loss": _sum_over(r, lost) / n_lost if n_lost else NAN,
        "avg_trade_return": float(np.add.reduce(r)) / n_priced if n_priced else NAN,
        "avg_holding_days": held / n_closed if n_closed else NAN,
        "mean_mae": _mean_over(mae, closed),
        "mean_mfe": _mean_over(mfe, closed),
    }
    return out


def cost_statistics(
    row_traded: Float,
    equity: Float,
    fees: Float,
    taxes: Float,
    elapsed: float,
    slippage: Float | None = None,
    borrow: Float | None = None,
    row_financing: Float | None = None,
    impact: Float | None = None,
) -> dict[str, Any]:
    """Turnover and costs: `row_traded` (|value traded| per row), `equity` and `row_financing` (per row) of
    the live rows, `fees`, `taxes`, `slippage`, `borrow` and `impact` per trade, all in units of the starting capital;
    `elapsed` in years.

    `turnover` is one-sided and annual: each row's value traded over the
    portfolio's value before it traded (the previous close; the starting
    capital before the first row), summed, halved, per year.  `cost_drag` is
    the costs of every kind over the mean equity, per year (interest earned
    counts against them); `costs_of_mean_equity` the costs of the whole run
    over the mean equity (`fees_paid` and the others are shares of the
    starting capital).
    """
    before = np.empty_like(equity)
    before[:1] = 1.0
    before[1:] = equity[:-1]
    valued = before > 0
    total = np.add.reduce  # `x.sum()` of a 1-D array, without the method's Python layer
    if np.count_nonzero(valued) == valued.shape[0]:  # the usual case: every row valued, nothing to pick
        traded = float(total(row_traded / before))
    else:
        traded = float(total(row_traded[valued] / before[valued]))
    fees_paid, taxes_paid = float(total(fees)), float(total(taxes))
    slippage_paid = float(total(slippage)) if slippage is not None else 0.0
    borrow_paid = float(total(borrow)) if borrow is not None else 0.0
    financing = float(total(row_financing)) if row_financing is not None else 0.0
    impact_paid = float(total(impact)) if impact is not None else 0.0
    mean_equity = float(total(equity)) / equity.shape[0] if equity.shape[0] else NAN  # as equity.mean()
    per_year = 1.0 / elapsed if elapsed > 0 else NAN
    # Added in this order, so that without the new kinds the figure is fees + taxes as it always was.
    costs = (fees_paid + taxes_paid) + slippage_paid + borrow_paid + financing + impact_paid
    return {
        "turnover": traded / 2.0 * per_year,
        "fees_paid": fees_paid,
        "taxes_paid": taxes_paid,
        "slippage_paid": slippage_paid,
        "borrow_paid": borrow_paid,
        "impact_paid": impact_paid,
        "financing": financing,
        "cost_drag": costs / mean_equity * per_year if mean_equity > 0 else NAN,
        "costs_of_mean_equity": costs / mean_equity if mean_equity > 0 else NAN,
    }


def exit_counts(codes: npt.NDArray[np.int8], names: tuple[str, ...]) -> dict[str, int]:
    """`exits_<reason>`: how many trades were closed for each reason of `names` (code 0, "open", left out)."""
    return exit_figures(np.bincount(codes, minlength=len(names)).tolist(), names)


def exit_figures(counts: Sequence[int], names: tuple[str, ...]) -> dict[str, int]:
    """`exits_<reason>` from the count of trades per reason code."""
    return {f"exits_{name}": counts[code] for code, name in enumerate(names) if code > 0}


# The sums below are `x.sum()` of 1-D arrays: NumPy's pairwise sum, called without the method's Python layer.


def _sum_over(x: Float, mask: npt.NDArray[np.bool_]) -> float:
    return float(np.add.reduce(np.where(mask, x, 0.0)))


def _mean_over(x: Float, mask: npt.NDArray[np.bool_]) -> float:
    """Mean of the known values of `x` where `mask` holds."""
    known = x == x  # not NaN
    known &= mask
    count = int(np.count_nonzero(known))
    return float(np.add.reduce(np.where(known, x, 0.0))) / count if count else NAN


def benchmark_statistics(
    returns: Float, benchmark_returns: Float, benchmark_total: float, per_year: float
) -> dict[str, Any]:
    """Total return of the benchmark and the strategy's beta, annual alpha and correlation to it.

    `alpha` is annualised arithmetically, the mean excess over beta times the
    benchmark per period times the periods per year; `alpha_compounded`
    compounds that mean over a year, ``(1 + mean)^per_year - 1``, as empyrical
    and vectorbt report alpha (risk-free rate 0)."""
    both = np.isfinite(returns) & np.isfinite(benchmark_returns)
    r, b = returns[both], benchmark_returns[both]
    out: dict[str, Any] = {"benchmark_total_return": benchmark_total}
    if r.size > 1 and float(b.var()) > 0:
        # Pairwise sums rather than np.cov's BLAS product (see trade_statistics).
        dr, db = r - r.mean(), b - b.mean()
        cov, var_b, var_r = float((dr * db).sum()), float((db * db).sum()), float((dr * dr).sum())
        beta = cov / var_b
        out["beta"] = beta
        excess = float(r.mean()) - beta * float(b.mean())
        out["alpha"] = excess * per_year
        out["alpha_compounded"] = (1.0 + excess) ** per_year - 1.0
        out["correlation"] = cov / math.sqrt(var_r * var_b) if var_r > 0 else NAN
    else:
        out["beta"] = out["alpha"] = out["alpha_compounded"] = out["correlation"] = NAN
    return out


def benchmark_figures(
    equity: Float, level: Float, dates_ns: npt.NDArray[np.int64], rf: Float | None = None
) -> dict[str, Any]:
    """The benchmark's own figures and the strategy's against it, over the rows where the benchmark has a price.

    `equity` and `level` (the benchmark rescaled to 1.0) on every live row,
    `level` NaN where the benchmark has no price: the returns of both are
    taken from one priced row to the next (compounded over the rows between),
    so a benchmark of month-end prices is compared with month-end equity.
    `rf`: the risk-free return of each row (as in `performance`), compounded
    over the same spans for the benchmark's Sharpe ratio; None for 0.
    """
    priced = np.flatnonzero(np.isfinite(level))
    eq, b_level, ns = equity[priced], level[priced], dates_ns[priced]
    total = float(b_level[-1] / b_level[0] - 1.0) if priced.size else NAN
    r = eq[1:] / eq[:-1] - 1.0
    b = b_level[1:] / b_level[:-1] - 1.0
    elapsed = years(ns)
    per_year = b.size / elapsed if elapsed > 0 else NAN
    out = benchmark_statistics(r, b, total, per_year)
    final = float(b_level[-1] / b_level[0]) if priced.size else NAN
    out["benchmark_cagr"] = annualised(final, elapsed)
    if b.size > 1:
        sd, active = float(b.std(ddof=1)), r - b
        te = float(active.std(ddof=1)) * math.sqrt(per_year)
        out["benchmark_volatility"] = sd * math.sqrt(per_year)
        excess = b
        if rf is not None:
            growth = np.cumprod(np.concatenate(([1.0], 1.0 + rf[1:])))[priced]
            excess = b - (growth[1:] / growth[:-1] - 1.0)
        sd_excess = float(excess.std(ddof=1)) if rf is not None else sd
        out["benchmark_sharpe"] = float(excess.mean()) / sd_excess * math.sqrt(per_year) if sd_excess > 0 else NAN
        out["tracking_error"] = te
        out["information_ratio"] = float(active.mean()) * per_year / te if te > 0 else NAN
    else:
        out["benchmark_volatility"] = out["benchmark_sharpe"] = NAN
        out["tracking_error"] = out["information_ratio"] = NAN
    out["benchmark_max_drawdown"] = (
        float((b_level / np.maximum.accumulate(b_level) - 1.0).min()) if priced.size else NAN
    )
    # Capture: the strategy's mean return over the benchmark's up (down) periods, as a share of the benchmark's.
    for name, side in (("up_capture", b > 0), ("down_capture", b < 0)):
        out[name] = float(r[side].mean()) / float(b[side].mean()) if side.any() else NAN
    return out
