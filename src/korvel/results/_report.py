"""One self-contained HTML file per run, and the compact views notebooks show.

The renderer takes plain data (`ReportData`: formatted figures, series and
tables), never a result's internals.  Everything is inline: styles, the
sorting and filtering script, the charts (plotly.js itself when plotly is
installed, otherwise a PNG drawn by matplotlib), so the file opens offline
and can be mailed as it is.
"""

from __future__ import annotations

import base64
import html
import io
import math
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from korvel.results._axes import decade_axis, log_scale
from korvel.results._report_charts import Dates, Panel, chart_div, equity_figure, library_script, panels_html
from korvel.results._report_js import SCRIPT, STYLE
from korvel.results._stat_table import SWEEP_COLUMNS

#: Trades listed in the report up to this many; beyond it, the first and the last half of it.
MAX_TRADE_ROWS = 20_000
#: Longer curves are thinned for the chart alone (the tables use every value).
MAX_CHART_POINTS = 20_000
#: Figures longer than this may wrap in the figures grid (the others keep to one line).
FIGURE_ON_ONE_LINE = 32
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
INSTALL_CHARTS = (
    "Charts need plotly (interactive: pip install 'korvel[report]') or matplotlib "
    "(a static figure: pip install 'korvel[plot]')."
)


@dataclass(frozen=True, eq=False)
class ReportData:
    """What a report shows, already computed; `report_html` lays it out.

    Parameters
    ----------
    title : str
        The page's heading and title.
    equity : Series
        The portfolio's value over time (a DatetimeIndex, positive values).
        The yearly returns (and the monthly ones unless given) are compounded
        from it, from its first value on.
    subtitle : str
        A line under the title (the market, when it was written, ...).
    figures : sequence of (label, text)
        The headline figures, already formatted.
    benchmark : Series, optional
        The benchmark on the same scale as `equity` (drawn beside it, and a
        column of the yearly table).
    drawdown : Series, optional
        Fall from the running peak as a negative fraction; computed from
        `equity` when not given.
    monthly : DataFrame, optional
        Compounded monthly returns (fractions): years as rows, months 1..12
        as columns; computed from `equity` when not given.
    trades : DataFrame, optional
        One row per trade, every column shown; listed in full up to
        `max_trade_rows`.
    trades_source : str
        Where the complete trades table is, said when the list is cut.
    actions : DataFrame, optional
        What to do on the next trading day.
    actions_note : str
        A sentence about the next trading day (shown above `actions`).
    rules : sequence of (name, text)
        The rules as run.
    internals : sequence of (name, text)
        What the engine was given besides (listed folded, under the rules).
    panels : sequence of Panel
        Charts under the equity (exposure, turnover, rolling figures).
    sections : sequence of (title, DataFrame)
        Further tables (exits by reason, walk-forward folds, ...), each under
        its title after the returns.
    max_trade_rows : int
        The most trades listed.
    """

    title: str
    equity: pd.Series
    subtitle: str = ""
    figures: Sequence[tuple[str, str]] = ()
    benchmark: pd.Series | None = None
    drawdown: pd.Series | None = None
    monthly: pd.DataFrame | None = None
    trades: pd.DataFrame | None = None
    trades_source: str = "the result's trades table"
    actions: pd.DataFrame | None = None
    actions_note: str = ""
    rules: Sequence[tuple[str, str]] = ()
    internals: Sequence[tuple[str, str]] = ()
    panels: Sequence[Panel] = ()
    sections: Sequence[tuple[str, pd.DataFrame]] = field(default_factory=tuple)
    max_trade_rows: int = MAX_TRADE_ROWS

    def __post_init__(self) -> None:
        for name in ("title", "subtitle", "trades_source", "actions_note"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"ReportData: {name} must be a str, not {type(getattr(self, name)).__name__}")
        _check_series("equity", self.equity, required=True)
        if not len(self.equity):
            raise ValueError("ReportData: equity is empty")
        if not self.equity.index.is_monotonic_increasing or not self.equity.index.is_unique:
            raise ValueError("ReportData: equity's dates must be increasing, without repeats")
        for name in ("benchmark", "drawdown"):
            value = getattr(self, name)
            _check_series(name, value, required=False)
            if value is None:
                continue
            if not value.index.is_unique:
                raise ValueError(f"ReportData: {name} has repeated dates")
            if (pd.DatetimeIndex(value.index).tz is None) != (pd.DatetimeIndex(self.equity.index).tz is None):
                raise ValueError(f"ReportData: {name}'s dates and equity's must both have a time zone or neither")
        for name in ("monthly", "trades", "actions"):
            value = getattr(self, name)
            if value is not None and not isinstance(value, pd.DataFrame):
                raise TypeError(f"ReportData: {name} must be a DataFrame or None, not {type(value).__name__}")
        for panel in self.panels:
            if not isinstance(panel, Panel):
                raise TypeError(f"ReportData: every panel must be a Panel, not {type(panel).__name__}")
        for name in ("figures", "rules", "internals", "sections"):
            rows = getattr(self, name)
            if isinstance(rows, (str, bytes)) or not isinstance(rows, Sequence):
                raise TypeError(f"ReportData: {name} must be a sequence of pairs, not {type(rows).__name__}")
            for row in rows:
                if not (isinstance(row, tuple) and len(row) == 2 and isinstance(row[0], str)):
                    raise TypeError(f"ReportData: every row of {name} must be a (str, value) pair, not {row!r}")
                if name == "sections" and not isinstance(row[1], pd.DataFrame):
                    raise TypeError(
                        f"ReportData: the section {row[0]!r} must hold a DataFrame, not {type(row[1]).__name__}"
                    )
        size = self.max_trade_rows
        if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size < 2:
            raise ValueError(f"ReportData: max_trade_rows must be an integer of at least 2, not {size!r}")


def _check_series(name: str, value: object, *, required: bool) -> None:
    if value is None and not required:
        return
    if not isinstance(value, pd.Series):
        raise TypeError(f"ReportData: {name} must be a pandas Series, not {type(value).__name__}")
    if not isinstance(value.index, pd.DatetimeIndex):
        raise TypeError(f"ReportData: {name} must have a DatetimeIndex, not {type(value.index).__name__}")
    if not pd.api.types.is_numeric_dtype(value.dtype) or pd.api.types.is_bool_dtype(value.dtype):
        raise TypeError(f"ReportData: {name} must hold numbers, not {value.dtype}")


# --------------------------------------------------------------------------- returns


def monthly_returns(equity: pd.Series) -> pd.DataFrame:
    """Compounded return of each calendar month from `equity` (years x months 1..12, fractions).

    The first month runs from the first value of `equity`; months without a
    value are NaN.
    """
    return _period_returns(equity, monthly=True)


def yearly_returns(equity: pd.Series) -> pd.Series:
    """Compounded return of each calendar year from `equity` (indexed by year, fractions), from its first value."""
    table = _period_returns(equity, monthly=False)
    return table.iloc[:, 0].rename("return")


def _period_returns(equity: pd.Series, *, monthly: bool) -> pd.DataFrame:
    values = pd.Series(np.asarray(equity, dtype=np.float64), index=equity.index).dropna()
    if values.empty:
        index = pd.Index([], name="year", dtype=np.int64)
        return pd.DataFrame(index=index, columns=range(1, 13) if monthly else ["return"], dtype=np.float64)
    dates = pd.DatetimeIndex(values.index)
    keys = [dates.year, dates.month] if monthly else [dates.year]
    last = values.groupby(keys).last()
    previous = last.shift(1, fill_value=float(values.iloc[0]))
    change = last / previous - 1.0
    if monthly:
        table = change.unstack().reindex(columns=range(1, 13))
        table.index.name, table.columns.name = "year", "month"
        return table
    frame = change.to_frame("return")
    frame.index.name = "year"
    return frame


def exits_by_reason(trades: pd.DataFrame) -> pd.DataFrame:
    """Trades by `exit_reason`: count, share, mean and median `return`, win rate, mean `holding_days`.

    Needs the columns "exit_reason" and "return"; "holding_days" is used when present.
    """
    missing = [c for c in ("exit_reason", "return") if c not in trades.columns]
    if missing:
        raise ValueError(f"exits_by_reason: trades has no column {', '.join(map(repr, missing))}")
    reason = trades["exit_reason"].astype(object).where(trades["exit_reason"].notna(), "unknown")
    ret = pd.to_numeric(trades["return"], errors="coerce")
    groups = ret.groupby(reason.to_numpy(), sort=False)
    table = pd.DataFrame({"trades": groups.size()})
    table["share"] = table["trades"] / max(len(trades), 1)
    table["mean_return"] = groups.mean()
    table["median_return"] = groups.median()
    table["win_rate"] = groups.apply(lambda r: float((r > 0).sum()) / r.notna().sum() if r.notna().any() else np.nan)
    if "holding_days" in trades.columns:
        table["mean_holding_days"] = (
            pd.to_numeric(trades["holding_days"], errors="coerce").groupby(reason.to_numpy(), sort=False).mean()
        )
    table.index.name = "exit_reason"
    return table.sort_values("trades", ascending=False, kind="stable")


# --------------------------------------------------------------------------- the page


def write_report(data: ReportData, path: str | Path, *, interactive: bool | None = None) -> Path:
    """Write `report_html(data)` to `path` (UTF-8) and return the path.

    Parameters
    ----------
    data : ReportData
    path : str or Path
    interactive : bool, optional
        See `report_html`.
    """
    target = Path(path)
    if target.suffix.lower() not in (".html", ".htm"):
        raise ValueError(
            f"report: {path} does not end in .html or .htm; the report is an HTML page "
            "(res.plot(path) writes the chart as an image)"
        )
    target.write_text(report_html(data, interactive=interactive), encoding="utf-8")
    return target


def report_html(data: ReportData, *, interactive: bool | None = None) -> str:
    """The report as one HTML document (str) that needs no network.

    Parameters
    ----------
    data : ReportData
        What to show.
    interactive : bool, optional
        Interactive charts (plotly, embedded in the page) or a static figure
        (matplotlib).  By default interactive when plotly is installed; True
        without plotly raises ImportError.
    """
    if not isinstance(data, ReportData):
        raise TypeError(f"report_html: data must be a ReportData, not {type(data).__name__}")
    if interactive is not None and not isinstance(interactive, bool):
        raise TypeError(f"report_html: interactive must be True, False or None, not {interactive!r}")
    drawdown = data.drawdown if data.drawdown is not None else _drawdown(data.equity)
    monthly = data.monthly if data.monthly is not None else monthly_returns(data.equity)
    title = html.escape(data.title)
    parts = [
        f"<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>{title}</title>",
        "<meta name='viewport' content='width=device-width, initial-scale=1'>",
        f"<style>{STYLE}</style></head><body>",
        f"<h1>{title}</h1>",
    ]
    if data.subtitle:
        parts.append(f"<p class='muted'>{html.escape(data.subtitle)}</p>")
    if data.figures:
        parts += ["<h2>Figures</h2>", _figures_grid(data.figures)]
    dates = _interactive_dates(interactive)
    parts += ["<h2>Equity and drawdown</h2>", _charts(data.equity, data.benchmark, drawdown, dates)]
    if data.panels:
        parts += ["<h2>Positions, turnover and risk</h2>", *panels_html(data.panels, dates)]
    parts += ["<h2>Monthly returns</h2>", _months_table(monthly, yearly_returns(data.equity))]
    parts += ["<h2>Yearly returns</h2>", _years_table(data.equity, data.benchmark, drawdown)]
    for k, (name, table) in enumerate(data.sections):
        parts += [f"<h2>{html.escape(name)}</h2>", _wide(_grid(table, f"section-{k + 1}", filtered=False))]
    if data.actions is not None or data.actions_note:
        parts.append("<h2>Next trading day</h2>")
        if data.actions_note:
            parts.append(f"<p>{html.escape(data.actions_note)}</p>")
        if data.actions is not None:
            parts.append(
                _wide(_grid(data.actions, "actions", filtered=False))
                if len(data.actions)
                else "<p class='muted'>No holdings and nothing to do.</p>"
            )
    if data.trades is not None:
        parts += ["<h2>Trades</h2>", _trades(data.trades, data.max_trade_rows, data.trades_source)]
    if data.rules or data.internals:
        parts += ["<h2>Rules as run</h2>", _pairs_table(data.rules)]
    if data.internals:
        parts += ["<details><summary>What the engine was given</summary>", _pairs_table(data.internals), "</details>"]
    parts += [f"<p class='muted'>Written {time.strftime('%Y-%m-%d %H:%M')}.</p>", f"<script>{SCRIPT}</script>"]
    if dates is not None:
        parts += [dates.script(), library_script()]
    parts.append("</body></html>")
    return "\n".join(parts)


def _figures_grid(rows: Sequence[tuple[str, str]]) -> str:
    # A figure stays on one line (a date range does not break); a long list of counts may wrap.
    cells = "".join(
        f"<div><span>{html.escape(label.strip())}</span>"
        f"<b{' class=wrap' if len(str(text)) > FIGURE_ON_ONE_LINE else ''}>{html.escape(str(text))}</b></div>"
        for label, text in rows
    )
    return f"<div class='stats'>{cells}</div>"


def _pairs_table(rows: Sequence[tuple[str, Any]]) -> str:
    body = "".join(
        f"<tr><td class='t'>{html.escape(k)}</td><td class='t'>{html.escape(str(v))}</td></tr>" for k, v in rows
    )
    return f"<table class='pairs'>{body}</table>"


def _drawdown(equity: pd.Series) -> pd.Series:
    values = np.asarray(equity, dtype=np.float64)
    peak = np.fmax.accumulate(np.where(np.isnan(values), -np.inf, values))
    with np.errstate(divide="ignore", invalid="ignore"):
        fall = np.where(peak > 0, values / peak - 1.0, np.nan)
    return pd.Series(fall, index=equity.index, name="drawdown")


# --------------------------------------------------------------------------- charts


def _thin(n: int, series: Sequence[pd.Series]) -> np.ndarray:
    """Positions kept for the chart: all of them, or evenly spaced ones with each series' extremes and the last."""
    if n <= MAX_CHART_POINTS:
        return np.arange(n)
    keep = [np.linspace(0, n - 1, MAX_CHART_POINTS - 4 * len(series) - 1).astype(np.intp), np.array([n - 1])]
    for s in series:
        values = np.asarray(s, dtype=np.float64)
        if np.isfinite(values).any():
            keep.append(np.array([np.nanargmin(values), np.nanargmax(values)]))
    return np.unique(np.concatenate(keep))


def _interactive_dates(interactive: bool | None) -> Dates | None:
    """A table of dates for interactive charts, or None for static ones (plotly missing, or not asked for)."""
    if interactive is False:
        return None
    try:
        library_script()  # plotly.js, packed once per process
    except ImportError:
        if interactive:
            raise ImportError("interactive charts need plotly: pip install 'korvel[report]'") from None
        return None
    return Dates()


def _charts(equity: pd.Series, benchmark: pd.Series | None, drawdown: pd.Series, dates: Dates | None) -> str:
    if benchmark is not None:
        benchmark = benchmark.reindex(equity.index)
    drawdown = drawdown.reindex(equity.index)
    log = log_scale([equity] + ([benchmark] if benchmark is not None else []))
    curves = [equity, drawdown] + ([benchmark] if benchmark is not None else [])
    keep = _thin(len(equity), curves)
    note = (
        ""
        if len(keep) == len(equity)
        else (
            f"<p class='muted'>The chart shows {len(keep):,} of the {len(equity):,} values (evenly spaced, with each "
            "curve's highest and lowest); the tables use every value.</p>"
        )
    )
    scale = (
        "<p class='muted'>Equity on a log scale (its largest value is more than 10 times its smallest).</p>"
        if log
        else ""
    )
    thinned = [c.iloc[keep] for c in curves]
    bench = thinned[2] if benchmark is not None else None
    if dates is not None:
        return scale + note + chart_div(equity_figure(dates, thinned[0], bench, thinned[1], log), "equity-chart")
    try:
        return scale + note + _static_chart(thinned[0], bench, thinned[1], log)
    except ImportError:
        return f"<p class='muted'>{html.escape(INSTALL_CHARTS)}</p>"


def _static_chart(equity: pd.Series, benchmark: pd.Series | None, drawdown: pd.Series, log: bool) -> str:
    from matplotlib.figure import Figure

    fig = Figure(figsize=(12, 6.5), layout="constrained")
    ax_eq, ax_dd = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [2.2, 1.0]})
    dates = _naive_dates(equity.index)
    ax_eq.plot(dates, equity.to_numpy(dtype=np.float64), color="#1f4e79", lw=1.2, label="strategy")
    if benchmark is not None:
        ax_eq.plot(
            dates,
            benchmark.to_numpy(dtype=np.float64),
            color="#888888",
            lw=1.0,
            label=str(benchmark.name or "benchmark"),
        )
        ax_eq.legend(loc="upper left", fontsize=8)
    if log:
        decade_axis(ax_eq, equity, benchmark)
    ax_eq.set_ylabel("equity" + (" (log)" if log else ""))
    ax_eq.grid(alpha=0.3)
    ax_dd.fill_between(dates, 100 * drawdown.to_numpy(dtype=np.float64), 0, color="#b22222", alpha=0.4, lw=0)
    ax_dd.set_ylabel("drawdown %")
    ax_dd.grid(alpha=0.3)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=96)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f"<img class='chart' alt='equity and drawdown' src='data:image/png;base64,{data}'>"


def _naive_dates(index: pd.Index) -> pd.DatetimeIndex:
    dates = pd.DatetimeIndex(index)
    return dates.tz_localize(None) if dates.tz is not None else dates


# --------------------------------------------------------------------------- tables


def _shade(value: float, limit: float) -> str:
    if not math.isfinite(value) or limit <= 0:
        return ""
    alpha = min(abs(value) / limit, 1.0) * 0.55 + 0.08
    rgb = "39,174,96" if value > 0 else "192,57,43" if value < 0 else "200,200,200"
    return f" style='background:rgba({rgb},{alpha:.2f})'"


def _percent(value: float) -> str:
    return "" if not math.isfinite(value) else f"{100 * value:.1f}"


def _months_table(monthly: pd.DataFrame, yearly: pd.Series) -> str:
    table = monthly.reindex(columns=range(1, 13))
    values = table.to_numpy(dtype=np.float64)
    finite = np.abs(values[np.isfinite(values)])
    limit = float(np.quantile(finite, 0.95)) if finite.size else 0.0
    years = yearly.to_dict()
    year_values = np.abs(np.array([v for v in years.values() if math.isfinite(v)]))
    year_limit = float(year_values.max()) if year_values.size else 0.0
    head = "".join(f"<th>{m}</th>" for m in MONTHS)
    rows = []
    for year, row in zip(table.index, values):
        cells = "".join(f"<td{_shade(v, limit)}>{_percent(v)}</td>" for v in row)
        y = float(years.get(year, np.nan))
        rows.append(
            f"<tr><th class='t'>{html.escape(str(year))}</th>{cells}"
            f"<td class='y'{_shade(y, year_limit)}>{_percent(y)}</td></tr>"
        )
    return (
        f"<p class='muted'>Compounded returns in percent; the year column from the equity.</p>"
        f"<div class='wide'><table class='months'><thead><tr><th class='t'>year</th>{head}<th>Year</th>"
        f"</tr></thead><tbody>{''.join(rows)}</tbody></table></div>"
    )


def _years_table(equity: pd.Series, benchmark: pd.Series | None, drawdown: pd.Series) -> str:
    yearly = yearly_returns(equity)
    columns = {"return %": yearly}
    if benchmark is not None:
        bench = yearly_returns(benchmark.dropna()).reindex(yearly.index)
        columns["benchmark %"] = bench
        columns["difference %"] = yearly - bench
    dd = pd.Series(np.asarray(drawdown, dtype=np.float64), index=pd.DatetimeIndex(drawdown.index))
    columns["deepest drawdown %"] = dd.groupby(pd.DatetimeIndex(dd.index).year).min().reindex(yearly.index)
    frame = pd.DataFrame(columns)
    limit = float(np.nanmax(np.abs(yearly.to_numpy()))) if yearly.notna().any() else 0.0
    head = "".join(f"<th data-kind='num'>{html.escape(c)}</th>" for c in frame.columns)
    rows = []
    for year, row in frame.iterrows():
        cells = "".join(
            f"<td{_shade(float(v), limit) if k < 2 else ''}>{_percent(float(v))}</td>"
            for k, v in enumerate(row.to_numpy(dtype=np.float64))
        )
        rows.append(f"<tr><td class='t'>{html.escape(str(year))}</td>{cells}</tr>")
    return (
        f"<table class='grid years'><thead><tr><th class='t' data-kind='num'>year</th>{head}</tr></thead>"
        f"<tbody>{''.join(rows)}</tbody></table>"
    )


def _trades(trades: pd.DataFrame, limit: int, source: str) -> str:
    n = len(trades)
    if not n:
        return "<p class='muted'>No trades.</p>"
    if n > limit:
        half = limit // 2
        shown = pd.concat([trades.iloc[:half], trades.iloc[n - (limit - half) :]])
        note = (
            f"<p>{n:,} trades; the report lists at most {limit:,}: the first {half:,} and the last "
            f"{limit - half:,}. Sorting and filtering apply to the listed rows; all {n:,} are in "
            f"{html.escape(source)}.</p>"
        )
    else:
        shown = trades
        note = f"<p>{n:,} trades, all listed.</p>"
    count = "<p class='muted' id='trades-count'></p>"
    return (
        note
        + count
        + "<div class='scroll'>"
        + _grid(shown, "trades", filtered=True, count_id="trades-count")
        + "</div>"
    )


def _grid(frame: pd.DataFrame, table_id: str, *, filtered: bool, count_id: str = "") -> str:
    """A sortable (and with `filtered`, filterable) table of every column and the index, formatted by type."""
    columns: list[tuple[str, pd.Series]] = []
    if _shows_index(frame):
        index = frame.index
        for level, name in enumerate(index.names):
            columns.append(("" if name is None else str(name), pd.Series(index.get_level_values(level))))
    for k, name in enumerate(frame.columns):
        columns.append((str(name), frame.iloc[:, k].reset_index(drop=True)))
    names = [name for name, _ in columns]
    kinds: list[str] = []
    texts: list[list[str]] = []
    for _, values in columns:
        kind, column = _column_texts(values)
        kinds.append(kind)
        texts.append(column)
    head = "".join(
        f"<th data-kind='{kind}'{'' if kind == 'num' else ' class=t'}>{html.escape(name)}</th>"
        for name, kind in zip(names, kinds)
    )
    # Text columns are aligned left by one rule per column rather than a class on every cell.
    left = ", ".join(f"#{table_id} td:nth-child({k + 1})" for k, kind in enumerate(kinds) if kind != "num")
    style = f"<style>{left} {{ text-align: left; }}</style>" if left else ""
    body = "".join(
        "<tr>" + "".join(f"<td>{texts[k][r]}</td>" for k in range(len(texts))) + "</tr>" for r in range(len(frame))
    )
    classes = "grid filtered" if filtered else "grid"
    count = f" data-count='{count_id}'" if count_id else ""
    return (
        f"{style}<table id='{table_id}' class='{classes}'{count}><thead><tr>{head}</tr></thead>"
        f"<tbody>{body}</tbody></table>"
    )


def _wide(table: str) -> str:
    return f"<div class='wide'>{table}</div>"


def _shows_index(frame: pd.DataFrame) -> bool:
    index = frame.index
    return not (isinstance(index, pd.RangeIndex) and index.name is None and index.start == 0 and index.step == 1)


def _column_texts(column: pd.Series) -> tuple[str, list[str]]:
    """("num" or "text", the escaped cell texts): integers as integers, dates as dates, missing values blank."""
    dtype = column.dtype
    missing = column.isna().to_numpy()
    if pd.api.types.is_bool_dtype(dtype):
        return "text", ["" if m else str(bool(v)) for v, m in zip(column.to_numpy(dtype=object), missing)]
    if pd.api.types.is_integer_dtype(dtype):
        return "num", ["" if m else str(int(v)) for v, m in zip(column.to_numpy(dtype=object), missing)]
    if pd.api.types.is_float_dtype(dtype):
        values = column.to_numpy(dtype=np.float64, na_value=np.nan)
        return "num", _float_texts(values)
    if isinstance(dtype, pd.DatetimeTZDtype) or pd.api.types.is_datetime64_any_dtype(dtype):
        dates = pd.DatetimeIndex(column)
        whole_days = bool((dates[~missing] == dates[~missing].normalize()).all())
        fmt = "%Y-%m-%d" if whole_days else "%Y-%m-%d %H:%M:%S"
        return "text", ["" if m else d.strftime(fmt) for d, m in zip(dates, missing)]
    if pd.api.types.is_timedelta64_dtype(dtype):
        return "text", ["" if m else html.escape(str(v)) for v, m in zip(column, missing)]
    return "text", ["" if m else html.escape(_object_text(v)) for v, m in zip(column.to_numpy(dtype=object), missing)]


def _object_text(value: object) -> str:
    if isinstance(value, pd.Timestamp):
        return value.strftime("%Y-%m-%d") if value == value.normalize() else str(value)
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return str(value)


def _float_texts(values: np.ndarray) -> list[str]:
    """Whole numbers without decimals; otherwise 2 decimals for a column of values from 1 up, 4 for one of
    fractions, and 3 significant digits for values too small for that; in a column of values from 1 up,
    values below 1 keep 4 significant digits (a price of 0.4107 among prices of 100)."""
    finite = np.isfinite(values)
    if not finite.any():
        return ["" if np.isnan(v) else str(v) for v in values]
    present = values[finite]
    if (np.abs(present) < 1e15).all() and (present == np.round(present)).all():
        return [f"{int(v):,}" if f else ("" if np.isnan(v) else str(v)) for v, f in zip(values, finite)]
    decimals = 2 if np.median(np.abs(present)) >= 1 else 4
    small = 0.5 * 10.0**-decimals
    out = []
    for v, f in zip(values.tolist(), finite):
        if not f:
            out.append("" if math.isnan(v) else str(v))
        elif v != 0 and abs(v) < small:
            out.append(f"{v:.3g}")
        elif decimals == 2 and v != 0 and abs(v) < 1:
            out.append(f"{v:.4g}")
        else:
            out.append(f"{v:,.{decimals}f}")
    return out


# --------------------------------------------------------------------------- notebooks


def result_repr_html(figures: Sequence[tuple[str, str]], title: str) -> str:
    """A compact HTML view of a result for notebooks: the title and the given figures, two columns of pairs.

    Parameters
    ----------
    figures : sequence of (label, text)
        Already formatted; pass the headline ones (see `korvel.results._stat_table.HEADLINE`), not all.
    title : str
    """
    if not isinstance(title, str):
        raise TypeError(f"result_repr_html: title must be a str, not {type(title).__name__}")
    rows = list(figures)
    for row in rows:
        if not (isinstance(row, tuple) and len(row) == 2):
            raise TypeError(f"result_repr_html: every figure must be a (label, text) pair, not {row!r}")
    half = (len(rows) + 1) // 2
    left, right = rows[:half], rows[half:] + [("", "")] * (half - len(rows[half:]))
    cells = "".join(f"<tr>{_repr_pair(a)}<td style='width:2em'></td>{_repr_pair(b)}</tr>" for a, b in zip(left, right))
    return (
        f"<div class='korvel-result'><b>{html.escape(title)}</b>"
        f"<table style='border-collapse:collapse;margin-top:4px'>{cells}</table></div>"
    )


def _repr_pair(pair: tuple[str, str]) -> str:
    label, text = pair
    return (
        f"<td style='text-align:left;padding:1px 8px 1px 0;color:#555'>{html.escape(str(label).strip())}</td>"
        f"<td style='text-align:right;padding:1px 0'><b>{html.escape(str(text))}</b></td>"
    )


# Columns a sweep's summary shows, when present, and how.
def sweep_repr_html(title: str, stats: pd.DataFrame, *, metric: str = "sharpe", top: int = 5) -> str:
    """A compact HTML view of a sweep for notebooks: the title and its `top` combinations by `metric`.

    Parameters
    ----------
    title : str
        The sweep in a line (combinations, what ran and failed, where, how long).
    stats : DataFrame
        One row per combination that ran (its index the combinations).
    metric : str
        The column the combinations are ranked by (highest first); when
        `stats` lacks it, they are listed in order.
    top : int
        How many combinations are listed.
    """
    if not isinstance(title, str):
        raise TypeError(f"sweep_repr_html: title must be a str, not {type(title).__name__}")
    if not isinstance(stats, pd.DataFrame):
        raise TypeError(f"sweep_repr_html: stats must be a DataFrame, not {type(stats).__name__}")
    if isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0:
        raise ValueError(f"sweep_repr_html: top must be a non-negative integer, not {top!r}")
    head = f"<div class='korvel-sweep'><b>{html.escape(title)}</b>"
    if stats.empty or top == 0:
        return head + "</div>"
    ranked = stats
    caption = f"the first {min(top, len(stats))} combinations"
    if metric in stats.columns:
        values = pd.to_numeric(stats[metric], errors="coerce")
        order = np.argsort(-values.to_numpy(dtype=np.float64, na_value=np.nan), kind="stable")
        ranked = stats.iloc[order]
        caption = f"the best {min(top, len(stats))} by {metric}"
    ranked = ranked.iloc[:top]
    shown = [(c, kind) for c, kind in SWEEP_COLUMNS if c in ranked.columns]
    if metric in ranked.columns and metric not in [c for c, _ in shown]:
        shown.append((metric, "x"))
    names = [str(n) for n in ranked.index.names]
    style = "style='padding:1px 8px;text-align:right'"
    header = "".join(f"<th {style}>{html.escape(n)}</th>" for n in names + [c for c, _ in shown])
    rows = []
    for key, row in ranked.iterrows():
        keys = key if isinstance(key, tuple) else (key,)
        # A None in the grid reads as NaN in the index.
        cells = [html.escape("None" if _missing(k) else str(k)) for k in keys] + [
            _sweep_value(row[c], kind) for c, kind in shown
        ]
        rows.append("<tr>" + "".join(f"<td {style}>{c}</td>" for c in cells) + "</tr>")
    return (
        head + f"<div style='color:#555'>{caption}:</div><table style='border-collapse:collapse'>"
        f"<thead><tr>{header}</tr></thead><tbody>{''.join(rows)}</tbody></table></div>"
    )


def _missing(value: object) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _sweep_value(value: Any, kind: str) -> str:
    number = pd.to_numeric(pd.Series([value]), errors="coerce").iloc[0]
    if pd.isna(number):
        return ""
    if kind == "%":
        return f"{100 * float(number):.2f}%"
    if kind == "d":
        return f"{int(number):,}"
    return f"{float(number):.2f}"
