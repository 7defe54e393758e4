"""The statistics of a run: one table, from which everything about a figure is derived.

Each row of `TABLE` is one key of `Result.stats()`, in its order: the label
of its line in the summary, how it is written, whether the notebook views
show it, whether walk-forward can select by it (and the bootstrap resample
it: a figure of the return series alone), and what it means.  `stats()`'s
order, the summary and the report's figures, the notebook views,
`korvel.validation.STATS`, walk-forward's `SELECTABLE` and the README's list
all come from it.

A line of the summary may show several figures: a row with `label=None`
shows on the line of the row before it, and the first row's `line` joins
their texts ("{} / {}" unless told).  A row whose key ends in "_" is a family
of keys with that prefix (`exits_<reason>`), listed where the row stands.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from operator import itemgetter
from typing import Any

#: How a figure is written: "%" percent, "x" plain number, "d" integer, "t" date, "days" calendar days,
#: "rows" market rows.
FORMATS = ("%", "x", "d", "t", "days", "rows")


@dataclass(frozen=True)
class Stat:
    """One figure of `Result.stats()`."""

    key: str
    #: The summary line's label; None: shown on the line of the row before.
    label: str | None
    format: str
    description: str
    #: Shown in a result's notebook view.
    headline: bool = False
    #: A figure of the return series alone: walk-forward selects by it, the bootstrap resamples it.
    selectable: bool = False
    #: Shown in a sweep's notebook view.
    in_sweep_view: bool = False
    #: How the texts of the line's figures are joined, "{}" for each (only on a line's first row).
    line: str | None = None

    @property
    def family(self) -> bool:
        """A family of keys with this prefix (`exits_<reason>`), not one key."""
        return self.key.endswith("_")


TABLE: tuple[Stat, ...] = (
    Stat("start", "Period", "t", "the first live date (the first weight date's row)", headline=True, line="{} .. {}"),
    Stat("end", None, "t", "the last market date"),
    Stat(
        "total_return",
        "Total return",
        "%",
        "final equity over the capital, less 1",
        headline=True,
        selectable=True,
        in_sweep_view=True,
    ),
    Stat("cagr", "CAGR", "%", "compound annual growth rate", headline=True, selectable=True, in_sweep_view=True),
    Stat(
        "annual_volatility",
        "Annual volatility",
        "%",
        "standard deviation of the returns, annualised",
        headline=True,
        selectable=True,
    ),
    Stat(
        "rf",
        "Risk-free rate (a year)",
        "%",
        "the annual rate the Sharpe and Sortino ratios take excess returns over: the run's cash rate unless "
        "`stats(rf=...)` says otherwise (the mean over the calendar days for rates by date)",
    ),
    Stat(
        "sharpe",
        "Sharpe ratio",
        "x",
        "mean over standard deviation of the excess returns (over the risk-free rate of each row), annualised",
        headline=True,
        selectable=True,
        in_sweep_view=True,
    ),
    Stat(
        "sortino", "Sortino ratio", "x", "mean excess return over its downside deviation, annualised", selectable=True
    ),
    Stat("calmar", "Calmar ratio", "x", "CAGR over the maximum drawdown", selectable=True),
    Stat(
        "max_drawdown",
        "Max drawdown",
        "%",
        "the deepest fall from a running peak (a negative fraction)",
        headline=True,
        selectable=True,
        in_sweep_view=True,
    ),
    Stat("max_drawdown_peak", "Drawdown peak / trough", "t", "the date of the peak before the maximum drawdown"),
    Stat("max_drawdown_trough", None, "t", "the date of its trough"),
    Stat("max_drawdown_recovery", "Drawdown recovered", "t", "the date equity regained the peak (NaT if never)"),
    Stat(
        "longest_drawdown_days",
        "Longest drawdown",
        "days",
        "calendar days from a peak to its recovery (or the last date), the longest",
    ),
    Stat("exposure", "Exposure", "%", "share of the live rows whose close finds a priced holding", headline=True),
    Stat(
        "gross_mean",
        "Mean gross / net exposure",
        "%",
        "mean over the live rows of the holdings' gross value (long + |short|) at the close over the portfolio value",
    ),
    Stat(
        "net_mean", None, "%", "mean of the holdings' net value (long - |short|) at the close over the portfolio value"
    ),
    Stat("trades", "Trades (still open)", "d", "trade records", headline=True, in_sweep_view=True, line="{} ({})"),
    Stat("open_trades", None, "d", "trade records still open"),
    Stat("win_rate", "Win rate", "%", "share of the closed priced trades with a positive return", headline=True),
    Stat("profit_factor", "Profit factor", "x", "|weight| x return of the winners over that of the losers"),
    Stat("avg_win", "Average win / loss", "%", "mean return of the winning trades"),
    Stat("avg_loss", None, "%", "mean return of the losing trades"),
    Stat("avg_trade_return", "Average trade return", "%", "mean return of the closed priced trades"),
    Stat("avg_holding_days", "Average holding", "rows", "mean market rows a closed trade was held"),
    Stat("mean_mae", "Mean MAE / MFE", "%", "mean maximum adverse excursion of the closed trades"),
    Stat("mean_mfe", None, "%", "mean maximum favourable excursion"),
    Stat("turnover", "Turnover (one-sided, a year)", "x", "value traded over the portfolio's value, halved, a year"),
    Stat("fees_paid", "Fees / taxes paid", "%", "fees paid, in units of the capital"),
    Stat("taxes_paid", None, "%", "taxes paid, in units of the capital"),
    Stat(
        "slippage_paid",
        "Slippage / borrow paid",
        "%",
        "what the fills gave up against the quoted prices (slippage), in units of the capital",
    ),
    Stat("borrow_paid", None, "%", "fees paid for borrowing the shorts' shares, in units of the capital"),
    Stat(
        "financing",
        "Financing (interest)",
        "%",
        "interest on cash paid (margin) less interest earned, in units of the capital: negative when earned",
    ),
    Stat("impact_paid", "Market impact paid", "%", "market impact paid (`impact=`), in units of the capital"),
    Stat(
        "cost_drag",
        "Cost drag (a year)",
        "%",
        "fees, taxes, slippage, borrow, financing and impact over the mean equity, a year",
    ),
    Stat(
        "costs_of_mean_equity",
        "Costs, of mean equity",
        "%",
        "the run's fees, taxes, slippage, borrow, financing and impact over its mean equity",
    ),
    Stat(
        "participation_p95",
        "Participation (95th pct of fills)",
        "%",
        "with `capital` and a market volume: the 95th percentile of the fills' shares over their ADV "
        "(`Result.capacity`)",
    ),
    Stat(
        "unfilled_value",
        "Orders not done",
        "%",
        "with `participation`: the value of the orders not done (`Result.unfilled`) at their rows' prices, in "
        "units of the capital",
    ),
    Stat("exits_", "Exits by reason", "d", "closed trades by exit reason"),
    Stat(
        "benchmark_total_return",
        "Benchmark total return",
        "%",
        "with a benchmark: its total return over the live period",
        headline=True,
    ),
    Stat(
        "benchmark_cagr",
        "Benchmark CAGR / volatility",
        "%",
        "with a benchmark: its compound annual growth rate over the live period",
    ),
    Stat("benchmark_volatility", None, "%", "with a benchmark: the standard deviation of its returns, annualised"),
    Stat(
        "benchmark_sharpe",
        "Benchmark Sharpe ratio",
        "x",
        "with a benchmark: its Sharpe ratio (over the same risk-free rate)",
    ),
    Stat("benchmark_max_drawdown", "Benchmark max drawdown", "%", "with a benchmark: its deepest fall from a peak"),
    Stat("beta", "Beta / alpha (a year: arithmetic / compounded)", "x", "with a benchmark: the returns' beta to it"),
    Stat("alpha", None, "%", "with a benchmark: annual alpha (mean return less beta x its mean, a year)"),
    Stat(
        "alpha_compounded",
        None,
        "%",
        "with a benchmark: that mean excess compounded over a year, (1 + mean)^periods per year - 1",
    ),
    Stat("correlation", "Correlation", "x", "with a benchmark: correlation of the returns with its returns"),
    Stat(
        "tracking_error",
        "Tracking error",
        "%",
        "with a benchmark: the standard deviation of the returns less its returns, annualised",
    ),
    Stat(
        "information_ratio",
        "Information ratio",
        "x",
        "with a benchmark: the mean of the returns less its returns, a year, over the tracking error",
    ),
    Stat(
        "up_capture",
        "Up / down capture",
        "x",
        "with a benchmark: the mean return over its rising periods, as a share of its mean return then",
    ),
    Stat("down_capture", None, "x", "with a benchmark: the same over its falling periods"),
)

#: The figures of a return series alone, in the table's order: what walk-forward selects by and the
#: bootstrap resamples.
SELECTABLE: tuple[str, ...] = tuple(s.key for s in TABLE if s.selectable)
#: The summary labels a result's notebook view shows.
HEADLINE: tuple[str, ...] = tuple(s.label for s in TABLE if s.headline and s.label is not None)
#: The columns (key, format) of a sweep's notebook view.
SWEEP_COLUMNS: tuple[tuple[str, str], ...] = tuple((s.key, s.format) for s in TABLE if s.in_sweep_view)


def ordered(figures: Mapping[str, Any]) -> dict[str, Any]:
    """`figures` in the table's order (a family where its row stands, in the order given); keys the table
    does not know come last, in the order given."""
    given = tuple(figures)
    found = _ORDERS.get(given)
    if found is None:
        order = tuple(sorted(given, key=_rank))
        found = order, itemgetter(*order) if len(order) > 1 else None
        if len(_ORDERS) < 256:  # the runs of a sweep share a few sets of keys
            _ORDERS[given] = found
    order, values = found
    if values is None:  # fewer than two keys: no getter of a tuple
        return {key: figures[key] for key in order}
    return dict(zip(order, values(figures)))


#: The keys in the table's order for each set of keys given, and a getter of their values in that order.
_ORDERS: dict[tuple[str, ...], tuple[tuple[str, ...], Callable[[Mapping[str, Any]], Any] | None]] = {}


def _rank(key: str) -> int:
    rank = _RANKS.get(key)
    if rank is None:
        rank = next((i for prefix, i in _FAMILIES if key.startswith(prefix)), len(TABLE))
    return rank


_RANKS = {stat.key: i for i, stat in enumerate(TABLE) if not stat.family}
_FAMILIES = [(stat.key, i) for i, stat in enumerate(TABLE) if stat.family]


def lines() -> list[tuple[str, list[Stat], str]]:
    """The summary's lines: (label, the rows it shows, how their texts are joined)."""
    out: list[tuple[str, list[Stat], str]] = []
    for stat in TABLE:
        if stat.label is None:
            out[-1][1].append(stat)
        else:
            out.append((stat.label, [stat], stat.line or ""))
    return [(label, rows, join or " / ".join(["{}"] * len(rows))) for label, rows, join in out]


def stats_markdown() -> str:
    """The README's list of the figures of `Result.stats()`."""
    rows = ["| key | line of the summary | what it is |", "|---|---|---|"]
    label = ""
    for stat in TABLE:
        label = stat.label if stat.label is not None else label
        key = f"`{stat.key}<reason>`" if stat.family else f"`{stat.key}`"
        rows.append(f"| {key} | {label} | {stat.description.replace('|', chr(92) + '|')} |")
    return "\n".join(rows)
