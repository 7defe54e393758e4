"""The report's charts of a run beside its equity: exposure, turnover, rolling risk figures.

Each is a plain frame by date computed from the run's own arrays, handed to
the report as a `Panel`.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel.results._report_charts import Panel

#: Rows a rolling figure spans when the run shows no rows per year of its own: a year of business days.
ROWS_PER_YEAR = 252


def turnover_frame(
    dates: pd.DatetimeIndex, row_traded: npt.NDArray[np.float64], equity: npt.NDArray[np.float64]
) -> pd.Series:
    """One-sided turnover per calendar month: value traded over the portfolio's value before it, halved."""
    before = np.concatenate(([1.0], equity[:-1]))
    share = np.where(before > 0, row_traded / np.where(before > 0, before, 1.0), 0.0) / 2.0
    months = pd.Series(share, index=dates).groupby([dates.year, dates.month]).sum()
    ends = pd.Series(dates, index=dates).groupby([dates.year, dates.month]).last()
    return pd.Series(months.to_numpy(), index=pd.DatetimeIndex(ends.to_numpy()), name="turnover")


def rolling_frame(
    returns: pd.Series, benchmark: pd.Series | None, per_year: float
) -> tuple[pd.DataFrame, pd.DataFrame | None, int]:
    """Rolling one-year Sharpe ratio and volatility (and beta to the benchmark), and the rows a year spans."""
    window = int(round(per_year)) if math.isfinite(per_year) and per_year >= 2 else ROWS_PER_YEAR
    roll = returns.rolling(window, min_periods=window)
    sd = roll.std(ddof=1)
    risk = pd.DataFrame(
        {"sharpe": roll.mean() / sd.where(sd > 0) * math.sqrt(window), "volatility": sd * math.sqrt(window)}
    )
    beta = None
    if benchmark is not None:
        b = benchmark.reindex(returns.index.union(benchmark.index)).ffill()
        b = (b / b.shift(1) - 1.0).reindex(returns.index)
        both = pd.DataFrame({"r": returns, "b": b})
        cov = both["r"].rolling(window, min_periods=window).cov(both["b"])
        var = both["b"].rolling(window, min_periods=window).var()
        beta = pd.DataFrame({f"beta to {benchmark.name or 'the benchmark'}": cov / var.where(var > 0)})
    return risk, beta, window


def run_panels(
    dates: pd.DatetimeIndex,
    equity: npt.NDArray[np.float64],
    exposure: pd.DataFrame,
    names: pd.Series,
    row_traded: npt.NDArray[np.float64],
    benchmark: pd.Series | None,
    per_year: float,
) -> list[Panel]:
    """The panels of a run's report, over its live rows: `exposure` (gross, net, long, short as fractions of
    the portfolio) and `names` (the instruments held) at each close."""
    panels = [
        Panel(
            "Exposure",
            exposure[["gross", "net", "long", "short"]].assign(names=names.to_numpy()),
            percent=True,
            right=("names",),
            note="Gross, net, long and short value of the holdings over the portfolio's value at each close, and "
            "the number of names held.",
        ),
        Panel(
            "Turnover per month",
            turnover_frame(dates, row_traded, equity).to_frame(),
            kind="bar",
            percent=True,
            note="One-sided: the value traded in the month over the portfolio's value, halved.",
        ),
    ]
    returns = pd.Series(equity[1:] / equity[:-1] - 1.0, index=dates[1:])
    risk, beta, window = rolling_frame(returns, benchmark, per_year)
    if risk.notna().any().any():
        panels.append(Panel("Rolling Sharpe ratio", risk[["sharpe"]], note=f"Over the last {window} rows (a year)."))
        panels.append(
            Panel(
                "Rolling volatility", risk[["volatility"]], percent=True, note=f"Annual, over the last {window} rows."
            )
        )
    if beta is not None and beta.notna().any().any():
        panels.append(Panel("Rolling beta", beta, note=f"Over the last {window} rows (a year)."))
    return panels
