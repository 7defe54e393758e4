"""The result of one backtest: equity, trades, statistics, tomorrow's orders, plots and a report.

A `Result` keeps what the run left as plain arrays (copied out of the engine
when the run ended, so it never changes afterwards) and builds every pandas
object on first use: `stats()` alone does not build the trades table, which
is what a parameter sweep asks for thousands of times.  The objects handed
out are copies, so changing one does not change the result.
"""

from __future__ import annotations

from collections.abc import Sequence
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvel._market import dates_of
from korvel.results import _capacity, _figures, _stats
from korvel.results._actions import actions_table, last_known, with_shares
from korvel.results._panels import run_panels
from korvel.results._records import SNAPSHOT, TRADE_COLUMNS, Snapshot
from korvel.simulation import _lots
from korvel.simulation._rates import run_risk_free

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from korvel.results._report import ReportData
    from korvel.results._report_charts import Panel
    from korvel.simulation._run import Run

Frame = TypeVar("Frame", pd.DataFrame, pd.Series)
NAT = np.iinfo(np.int64).min
COPY_ON_WRITE = int(pd.__version__.split(".")[0]) >= 3


class Result:
    """The outcome of `korvel.backtest`.

    Time series (indexed by the market dates from the first weight date on):
    `equity` (starts at 1.0, the starting capital), `returns`, `drawdown`,
    `benchmark` (its level rescaled to start at 1.0, or None),
    `monthly_returns` (year x month), `risk_free` (the risk-free return of
    each row).  Tables: `trades`, `trade_profile`,
    `actions`.  `stats()` gives the figures, `summary()` them as text,
    `plot()` a figure, `report(path)` an HTML file; `config` the rules as run.
    """

    def __init__(self, run: Run) -> None:
        self._run = run

    # ------------------------------------------------------------------ series

    @cached_property
    def _dates(self) -> pd.DatetimeIndex:
        return self._run.market.dates[self._run.first_row :]

    @cached_property
    def _equity(self) -> npt.NDArray[np.float64]:
        return self._run.equity[self._run.first_row :]

    @property
    def equity(self) -> pd.Series:
        """Portfolio value at each close, in units of the starting capital (1.0)."""
        return _handout(self._equity_series)

    @cached_property
    def _equity_series(self) -> pd.Series:
        return pd.Series(self._equity, index=self._dates, name="equity")

    @property
    def returns(self) -> pd.Series:
        """Simple returns from one market row to the next (from the second live row on)."""
        return _handout(self._returns)

    @cached_property
    def _returns(self) -> pd.Series:
        return pd.Series(_figures.live_returns(self._equity), index=self._dates[1:], name="returns")

    @property
    def drawdown(self) -> pd.Series:
        """Fall from the running peak of equity (the starting capital included), as a negative fraction."""
        return pd.Series(_stats.drawdown(self._equity), index=self._dates, name="drawdown")

    @property
    def benchmark(self) -> pd.Series | None:
        """The benchmark rescaled to 1.0 on its first price in the live period, or None."""
        level = self._benchmark_level
        if level is None or self._run.benchmark is None:
            return None
        # Between its prices the benchmark stays at its last one (its figures use its priced rows alone).
        return pd.Series(level, index=self._dates, name=self._run.benchmark[1]).ffill()

    @cached_property
    def _benchmark_level(self) -> npt.NDArray[np.float64] | None:
        return _figures.benchmark_level(self._run)

    @property
    def monthly_returns(self) -> pd.DataFrame:
        """Compounded return of each calendar month: years as rows, months 1..12 as columns."""
        eq, dates = self._equity_series, self._dates
        month_end = eq.groupby([dates.year, dates.month]).last()
        previous = month_end.shift(1, fill_value=1.0)
        table = (month_end / previous - 1.0).unstack()
        table.index.name, table.columns.name = "year", "month"
        return table.reindex(columns=range(1, 13))

    def to_quantstats(self) -> pd.Series:
        """Daily returns as quantstats takes them: a float Series on a timezone-naive DatetimeIndex."""
        returns = self._returns.copy()
        dates = self._dates[1:]
        if dates.tz is not None:
            returns.index = dates.tz_localize(None)
        return returns

    # ------------------------------------------------------------------ trades

    @property
    def trades(self) -> pd.DataFrame:
        # The docstring is made from the columns' declarations (TRADES_DOC below).
        return _handout(self._trades)

    @cached_property
    def _trades(self) -> pd.DataFrame:
        run, rec = self._run, self._run.records
        view = run.view
        dates_ns = view.dates
        closed = rec.exit >= 0
        # Row -1 (an open trade's exit, a row without a weight row) reads NaT.
        dates_or_nat = np.append(dates_ns, NAT)
        # The weight date behind the entry, per market row.
        signal_by_row = np.append(run.weights.dates.asi8, NAT)[run.applied]
        columns: dict[str, Any] = {
            "instrument": pd.Categorical.from_codes(rec.sid, categories=run.weights.instruments),
            "side": pd.Categorical.from_codes((rec.side < 0).view(np.int8), categories=pd.Index(["long", "short"])),
            "entry_date": dates_of(view, dates_ns[rec.entry]),
            "exit_date": dates_of(view, dates_or_nat[rec.exit]),
            "signal_date": dates_of(view, signal_by_row[rec.entry]),
        }
        for field in TRADE_COLUMNS:
            columns[field.column] = getattr(rec, field.name)
        for name, values in zip(SNAPSHOT, rec.exit_columns):
            columns[name] = values
        holding = rec.exit - rec.entry
        still_open = ~closed
        holding[still_open] = dates_ns.shape[0] - rec.entry[still_open]  # to the last row
        columns["holding_days"] = holding
        columns["status"] = pd.Categorical.from_codes(still_open.view(np.int8), categories=pd.Index(["closed", "open"]))
        columns["exit_reason"] = pd.Categorical.from_codes(rec.exit_reason, categories=pd.Index(rec.reason_names))
        columns["entry_price_missing"] = run.entry_price_missing
        # The arrays are the result's own: no copy, and no consolidation into blocks.
        table = pd.DataFrame(columns, copy=False)
        table.index.name = "trade"
        return table

    @property
    def trade_profile(self) -> pd.DataFrame:
        """The statistics of every trade every `excursion_step` rows from its entry, over the window.

        Long format: one row per (trade, offset) the window reached (it may
        reach past the exit; it stops at the last market row); empty without
        an excursion window.
        """
        rec, step = self._run.records, self._run.rules.excursion_step
        size = len(SNAPSHOT)
        groups = (rec.statistics.shape[1] - size) // size
        profile = rec.statistics[:, : size * groups].reshape(len(rec), groups, size)
        used = (profile[:, :, Snapshot.PROFIT_DAYS] >= 0).ravel()  # unreached groups hold -1 in every value
        table = pd.DataFrame(profile.reshape(-1, size)[used], columns=list(SNAPSHOT))
        table.insert(0, "offset", np.tile(np.arange(groups, dtype=np.int64) * step, len(rec))[used])
        table.insert(0, "trade", np.repeat(np.arange(len(rec), dtype=np.int64), groups)[used])
        return table

    # ------------------------------------------------------------------ orders

    @property
    def actions(self) -> pd.DataFrame:
        """What to do on the next trading day, by instrument (see the README's section on the result)."""
        run, rules = self._run, self._run.rules
        band = (rules.band, rules.band_rel)
        banded = band[0] > 0 or band[1] > 0
        table = actions_table(
            run.operations,
            run.weights.instruments,
            run.weights.dates,
            rows=run.weights.values if rules.max_gross != 1.0 else None,
            position_limit=rules.position_limit,
            band=band,
            # The band is tested against each holding's weight at the last close.
            closing_weights=self._positions.to_numpy()[-1, run.weights.market_columns] if banded else None,
        )
        if rules.capital is not None:
            value = float(run.equity[-1]) * rules.capital
            columns = run.weights.market_columns
            prices = last_known(run.view.close[:, columns] / _lots.factors(run.view, rules.factor, columns))
            lots = None if rules.lot is None else _lots.lots_by_column(run.view, rules.lot, columns)
            where = run.weights.instruments.get_indexer(table.index)
            now = self._positions.to_numpy()[-1, columns]
            table = with_shares(table, where, now, value, prices, lots)
        table.attrs["rebalance_due"] = run.rebalance_due
        table.attrs["as_of"] = self._run.market.dates[-1]
        return table

    def capacity(self) -> pd.DataFrame:
        """How much of the market's volume the fills took: one row per fill, in the order they were made.

        Columns: `date`, `instrument`, `value` (the |value traded| in the
        prices' currency), `shares` (at the row's trading price), `adv` (the
        mean volume over the `impact_window` rows before the fill's row, NaN
        when there is none) and `participation` (shares / ADV).  Its ``attrs``
        hold `p95` (the 95th percentile of the fills' participation) and
        `capital_at` ({fraction of ADV: the capital at which that percentile
        would reach it} for 1%, 5% and 10%).

        `capital_at` scales the run's capital linearly, which holds without
        an impact model (the run's path then does not depend on its size).
        With `impact` the costs grow with the size: sweep `capital` as a rule
        and compare each run's `participation_p95` instead.  Needs `capital`
        and a market volume (a ValueError names what is missing).
        """
        table = self._fills.copy()
        quantile = _capacity.p95(table["participation"].to_numpy())
        table.attrs["p95"] = quantile
        table.attrs["capital_at"] = _capacity.capital_at(self._run.rules.capital, quantile)
        return table

    @property
    def unfilled(self) -> pd.DataFrame:
        """The orders not done under `participation`: one row per order whose rest was dropped, replaced by
        the next weight row or still carried at the end of the run, with its `date` (the row it was given up
        on), `instrument`, `shares` (signed: positive, shares not bought) and `value` (those shares at that
        row's trading price, in the prices' currency).  Empty without `participation`."""
        table = self._unfilled.copy()
        return table

    @cached_property
    def _unfilled(self) -> pd.DataFrame:
        run = self._run
        columns = ("date", "instrument", "shares", "value")
        if run.unfilled is None or run.rules.capital is None:
            return pd.DataFrame({name: [] for name in columns})
        rows, sids, rest = run.unfilled
        return pd.DataFrame(
            {
                "date": dates_of(run.view, run.view.dates[rows]),
                "instrument": run.weights.instruments.take(sids),
                "shares": rest * run.rules.capital,
                "value": _figures.unfilled_values(run),
            }
        )

    def _capacity_sections(self) -> list[tuple[str, pd.DataFrame]]:
        """The report's capacity section (with a capital and a market volume): the fills' participation and
        the capital at which their 95th percentile reaches 1%, 5% and 10% of ADV."""
        run = self._run
        if run.rules.capital is None or run.fills is None or run.fills[3] is None:
            return []
        table = self.capacity()
        participation = table["participation"].dropna()

        def share(value: float) -> str:
            return "n/a" if value != value else f"{value:.2%}"

        def money(value: float) -> str:
            return "n/a" if value != value else f"{value:,.0f}"

        rows = [
            ("capital", money(run.rules.capital)),
            ("fills (with an ADV)", f"{len(table):,} ({len(participation):,})"),
            (
                "median participation (shares / ADV)",
                share(float(participation.median()) if len(participation) else np.nan),
            ),
            ("95th percentile", share(table.attrs["p95"])),
            ("largest", share(float(participation.max()) if len(participation) else np.nan)),
        ]
        rows += [
            (f"capital at a 95th percentile of {level:.0%} of ADV", money(at))
            for level, at in table.attrs["capital_at"].items()
        ]
        if run.rules.impact is not None:
            rows.append(("note", "with impact the capitals above are linear estimates: sweep capital instead"))
        figures = pd.DataFrame({"figure": [r[0] for r in rows], "value": [r[1] for r in rows]})
        return [("Capacity", figures)]

    @cached_property
    def _fills(self) -> pd.DataFrame:
        return _capacity.fills_table(self._run)

    # ------------------------------------------------------------------ holdings

    @property
    def positions(self) -> pd.DataFrame:
        """Each holding's value over the portfolio value at each close, after drift: dates x every
        instrument of the market (0 where nothing is held).

        Worked out on first use by running the engine once more with its
        ledger keeping the holdings (the same run: the engine is
        deterministic), so runs that never look pay nothing for it.
        """
        return _handout(self._positions)

    @cached_property
    def _positions(self) -> pd.DataFrame:
        from korvel.simulation._backtest import closing_positions

        run = self._run
        by_column = closing_positions(run)[run.first_row :]
        values = np.zeros((by_column.shape[0], len(run.view.instruments)), dtype=np.float64)
        values[:, run.weights.market_columns] = by_column
        return pd.DataFrame(values, index=self._dates, columns=run.view.instruments)

    @property
    def exposure(self) -> pd.DataFrame:
        """The book's exposure at each close, as fractions of the portfolio value: `gross` (long + |short|),
        `net` (long - |short|), `long` and `short` (<= 0)."""
        return _handout(self._exposure)

    @cached_property
    def _sides(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        return _figures.sides(self._run)

    @cached_property
    def _exposure(self) -> pd.DataFrame:
        long, short = self._sides
        return pd.DataFrame(
            {"gross": long - short, "net": long + short, "long": long, "short": short}, index=self._dates
        )

    # ------------------------------------------------------------------ figures

    def stats(self, rf: float | pd.Series | None = None) -> pd.Series:
        """The run's figures by snake_case name (fractions, not percents); see the README's section on the result.

        Parameters
        ----------
        rf : float or Series, optional
            The annual risk-free rate the Sharpe and Sortino ratios measure
            the returns in excess of: a number (0.05 is 5% a year) or a
            Series of annual rates by date (the rate known on the previous
            row applies to a row, simple over its calendar days, with the
            run's day count).  None: the run's cash rate, as the cash
            accrued it.  The figure used is `rf` in the result (the mean
            over the calendar days for a Series); the other figures do not
            depend on it.
        """
        if rf is None:
            return _handout(self._stats)
        rows, figure = _figures.risk_free_rows(self._run, rf, run_risk_free(self._run.rules)[1])
        perf = _stats.performance(self._equity, self._run.view.dates[self._run.first_row :], rows)
        out = self._stats.copy()
        out["rf"], out["sharpe"], out["sortino"] = figure, perf["sharpe"], perf["sortino"]
        level = self._benchmark_level
        if level is not None:
            live_ns = self._run.view.dates[self._run.first_row :]
            out["benchmark_sharpe"] = _stats.benchmark_figures(self._equity, level, live_ns, rows)["benchmark_sharpe"]
        return out

    @property
    def risk_free(self) -> pd.Series:
        """The risk-free return of each row `stats()` measures excess returns over by default (aligned with
        `returns`): the run's cash rate known on the row before, over the row's calendar days.  Hand it to
        `korvel.validation` (``rf=res.risk_free``) for figures that agree with `stats()`."""
        rows = self._risk_free[0]
        values = np.zeros(self._equity.shape[0] - 1) if rows is None else rows[1:]
        return pd.Series(values, index=self._dates[1:], name="risk_free")

    @cached_property
    def _risk_free(self) -> _figures.RiskFree:
        return _figures.risk_free_rows(self._run, *run_risk_free(self._run.rules))

    @cached_property
    def _stats(self) -> pd.Series:
        out = _figures.figures(self._run, self._risk_free)
        # An object array and an index of the names: a third of the time of building from the dict.
        values = np.empty(len(out), dtype=object)
        values[:] = list(out.values())
        return pd.Series(values, index=pd.Index(list(out)), name="stats", copy=False)

    def bootstrap(
        self,
        stats: Sequence[str] = ("sharpe", "cagr", "max_drawdown"),
        n: int = 2000,
        block: float | None = None,
        seed: int = 0,
        confidence: float = 0.95,
    ) -> pd.DataFrame:
        """Confidence intervals of the figures of `stats()` by the stationary block bootstrap of `returns`.

        `korvel.validation.bootstrap` on the run's returns, annualised with
        the periods per year `stats()` uses: each resample joins blocks of
        consecutive returns (mean length `block`, by Politis and White when
        None) over the same period, and its figures are computed as `stats()`
        computes them.

        Parameters
        ----------
        stats : sequence of str
            Among total_return, cagr, annual_volatility, sharpe, sortino,
            calmar, max_drawdown.
        n : int
            Resamples.
        block : float, optional
            Mean block length in rows.
        seed : int
            The same seed gives the same intervals on any machine.
        confidence : float
            Of the percentile intervals, in (0, 1).

        Returns
        -------
        DataFrame
            Index: the stats; columns: estimate, lower, upper, std.
        """
        from korvel import validation

        per_year = _stats.performance(self._equity, self._run.view.dates[self._run.first_row :])["periods_per_year"]
        return validation.bootstrap(
            self._returns,
            stats,
            n=n,
            block=block,
            seed=seed,
            confidence=confidence,
            periods_per_year=per_year if np.isfinite(per_year) else None,
            rf=None if self._risk_free[0] is None else self.risk_free,
        )

    def summary(self) -> str:
        """The figures as a text table."""
        from korvel.results._summary import summary_text

        return summary_text(self._stats, self.config, has_open=self._run.view.has("open"))

    def plot(self) -> Figure:
        """Equity (with the benchmark), drawdown, MAE vs MFE per trade and the monthly returns."""
        from korvel.results._plot import result_figure

        rec = self._run.records
        excursions = pd.DataFrame(
            {s.column: rec.exit_value(s) for s in (Snapshot.MAE, Snapshot.MFE, Snapshot.RETURN)}, copy=False
        )
        return result_figure(self.equity, self.benchmark, self.drawdown, excursions, self.monthly_returns)

    def report(
        self,
        path: str | Path,
        *,
        interactive: bool | None = None,
        sections: Sequence[tuple[str, pd.DataFrame]] = (),
    ) -> Path:
        """Write a self-contained HTML report to `path`; returns the path.

        One file that opens offline: the figures, equity (on a log scale when it grows more than tenfold) and
        drawdown, monthly and yearly returns, exits by reason, tomorrow's orders, the trades (sortable and
        filterable by column) and the rules.  The charts are interactive when plotly is installed (the
        ``report`` extra; ``interactive=False`` forces the static figure), a static image otherwise.
        `sections`: more tables, as (title, DataFrame), listed before the others (a walk-forward's folds).
        """
        from korvel.results._report import write_report

        return write_report(self._report_data(sections), Path(path), interactive=interactive)

    def _report_panels(self) -> list[Panel]:
        """The report's charts beside the equity: exposure, turnover, rolling Sharpe, volatility and beta."""
        run = self._run
        live = slice(run.first_row, None)
        per_year = _stats.performance(self._equity, run.view.dates[live])["periods_per_year"]
        names = (self._positions != 0).sum(axis=1)
        return run_panels(
            self._dates,
            self._equity,
            self._exposure,
            names,
            run.records.row_traded[live],
            self.benchmark,
            per_year,
        )

    def _report_data(self, sections: Sequence[tuple[str, pd.DataFrame]] = ()) -> ReportData:
        from korvel.results._report import ReportData, exits_by_reason
        from korvel.results._summary import stat_rows

        stats, config, trades, actions = self.stats(), self.config, self.trades, self.actions
        due = "a rebalance is due" if actions.attrs["rebalance_due"] else "no rebalance is due"
        rules = [(k, _text(v)) for k, v in config.items() if k != "engine"]
        internals = [(k, _text(v)) for k, v in config["engine"].items()]
        return ReportData(
            title=f"korvel backtest {stats['start'].date()} .. {stats['end'].date()}",
            subtitle=config["market"],
            figures=stat_rows(stats),
            equity=self.equity,
            benchmark=self.benchmark,
            drawdown=self.drawdown,
            monthly=self.monthly_returns,
            trades=trades,
            trades_source="Result.trades (e.g. result.trades.to_csv('trades.csv'))",
            actions=actions,
            actions_note=f"As of the close of {actions.attrs['as_of'].date()}: {due}.",
            rules=rules,
            internals=internals,
            panels=self._report_panels(),
            sections=[*sections, ("Exits by reason", exits_by_reason(trades)), *self._capacity_sections()],
        )

    def _repr_html_(self) -> str:
        from korvel.results._report import result_repr_html
        from korvel.results._stat_table import HEADLINE
        from korvel.results._summary import stat_rows

        s = self._stats
        rows = [row for row in stat_rows(s) if row[0] in HEADLINE]
        return result_repr_html(rows, f"korvel Result {s['start'].date()} .. {s['end'].date()}")

    # ------------------------------------------------------------------ configuration

    @property
    def config(self) -> dict[str, Any]:
        """Every rule as run, with the inputs' shape, and the engine's own argument values."""
        run = self._run
        config: dict[str, Any] = {"rebalance": run.rebalance}
        config.update(run.rules.as_dict())
        config["benchmark"] = None if run.benchmark is None else run.benchmark[1]
        config["market"] = repr(run.market)
        config["weights"] = (
            f"{len(run.weights.dates)} dates x {len(run.weights.instruments)} instruments, "
            f"{run.weights.dates[0]} .. {run.weights.dates[-1]}"
        )
        config["rf"] = self._risk_free[1]
        # Rate tables by their shape: the rates themselves are the rules above, per row.
        config["engine"] = {
            k: f"float64 array {' x '.join(map(str, v.shape))}" if isinstance(v, np.ndarray) else v
            for k, v in run.engine_keywords.items()
        }
        return config

    @property
    def engine_seconds(self) -> float:
        """Wall time of the engine call alone."""
        return self._run.engine_seconds

    def __repr__(self) -> str:
        s = self._stats
        return (
            f"<korvel Result {s['start'].date()} .. {s['end'].date()}: total return {s['total_return']:.2%}, "
            f"sharpe {s['sharpe']:.2f}, max drawdown {s['max_drawdown']:.2%}, {s['trades']} trades>"
        )


def report_data(result: Result, sections: Sequence[tuple[str, pd.DataFrame]] = ()) -> ReportData:
    """What `Result.report` shows, for a report that adds to it (a walk-forward's)."""
    return result._report_data(sections)


def _text(value: Any) -> str:
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value == value.normalize() and value.tz is None else str(value)
    return "off" if value is None else str(value)


def _handout(obj: Frame) -> Frame:
    # Under copy-on-write a shallow copy already protects the cached object.
    return obj.copy(deep=not COPY_ON_WRITE)


#: The trades table's columns the layer makes (the others come from the ledger's fields and the exit
#: snapshot), by name: what each holds, and whether it comes before the ledger's columns.
MADE_COLUMNS: dict[str, tuple[bool, str]] = {
    "instrument": (True, "the instrument"),
    "side": (True, '"long" or "short"'),
    "entry_date": (True, "the market row the trade was entered on"),
    "exit_date": (True, "the market row it was closed on; NaT while open"),
    "signal_date": (True, "the date of the weight row behind the entry"),
    "holding_days": (False, "market rows held (to the last row while open)"),
    "status": (False, '"closed" or "open"'),
    "exit_reason": (
        False,
        'why the engine closed the trade: "rebalance" (a weight row closed, flipped or split it), "stop_loss", '
        '"take_profit", "trailing_stop", "delisting" or "ruin" (the portfolio value fell to 0 or below); "open" '
        "while open",
    ),
    "entry_price_missing": (False, "entered on a row without a trading price (left out of the trade statistics)"),
}


def trades_columns() -> list[tuple[str, str]]:
    """(column, meaning) of the trades table, in its order."""
    made = [(name, doc) for name, (before, doc) in MADE_COLUMNS.items() if before]
    after = [(name, doc) for name, (before, doc) in MADE_COLUMNS.items() if not before]
    ledger = [(f.column, f.doc) for f in TRADE_COLUMNS]
    snapshot = [(s.column, f"{s.doc}, as of the exit (of the last row while open)") for s in Snapshot]
    return made + ledger + snapshot + after


Result.trades.__doc__ = (
    "One row per trade, in the ledger's order (closed ones as they closed, then open ones).\n\n"
    "By default a trade is a holding from its entry to its exit, kept whole when a rebalance resizes it; with\n"
    "``split_at_rebalance=True`` every rebalance that resizes a holding ends its record and opens a new one.\n"
    "A holding that flips side is always two trades.  Money is in units of the starting capital; the fees,\n"
    "taxes, slippage, borrow and impact of the trades add up to the run's.\n\n"
    "Columns:\n\n" + "\n".join(f"- `{name}`: {doc}" for name, doc in trades_columns())
)
