"""The HTML report and the notebook views, from plain data (no browser; see test_report_browser)."""

from __future__ import annotations

import re
import sys
from html import escape as html_escape
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest
from layer_support import UNPRICED

import korvel
from korvel import synthetic
from korvel.results import _axes, _panels, _report
from korvel.results._plot import result_figure
from korvel.results._report import (
    ReportData,
    exits_by_reason,
    monthly_returns,
    report_html,
    result_repr_html,
    sweep_repr_html,
    yearly_returns,
)
from korvel.results._report_charts import Panel
from korvel.results._stat_table import HEADLINE
from korvel.results._summary import stat_rows

pytest.importorskip("matplotlib")
# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = pytest.mark.filterwarnings(UNPRICED)


def synthetic_result(seed: int = 3) -> korvel.Result:
    """A small weekly momentum run with a stop, on a synthetic market, against its equal-weight index."""
    generated = synthetic.generate_market(60, 700, seed)
    rows = synthetic.momentum_weights(generated, rebalance="weekly", lookback=60, skip=5, n_long=10)
    market, weights = synthetic.to_layer(generated, rows)
    index = (1 + market.close.pct_change(fill_method=None).mean(axis=1).fillna(0.0)).cumprod().rename("market")
    return korvel.backtest(weights, market, benchmark=index, stop_loss=0.08)


def report_data(result: korvel.Result, **overrides: object) -> ReportData:
    """ReportData from the public Result API alone."""
    trades = result.trades
    actions = result.actions
    due = "a rebalance is due" if actions.attrs["rebalance_due"] else "no rebalance is due"
    fields: dict[str, object] = {
        "title": "synthetic momentum",
        "subtitle": "60 instruments",
        "figures": stat_rows(result.stats()),
        "equity": result.equity,
        "benchmark": result.benchmark,
        "drawdown": result.drawdown,
        "monthly": result.monthly_returns,
        "trades": trades,
        "actions": actions,
        "actions_note": f"As of {actions.attrs['as_of'].date()}: {due}.",
        "rules": [(k, str(v)) for k, v in result.config.items()],
        "sections": [("Exits by reason", exits_by_reason(trades))],
    }
    fields.update(overrides)
    return ReportData(**fields)  # type: ignore[arg-type]


class Cells(HTMLParser):
    """The text of every cell of the table with the given class, by row."""

    def __init__(self, table_class: str) -> None:
        super().__init__()
        self.table_class, self.depth, self.rows = table_class, 0, []
        self.cell: list[str] | None = None

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.depth += 1 if self.depth or self.table_class in (dict(attrs).get("class") or "").split() else 0
        elif self.depth and tag == "tr":
            self.rows.append([])
        elif self.depth and tag in ("td", "th"):
            self.cell = []

    def handle_endtag(self, tag):
        if tag == "table" and self.depth:
            self.depth -= 1
        elif tag in ("td", "th") and self.cell is not None:
            self.rows[-1].append("".join(self.cell))
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def cells(page: str, table_class: str) -> list[list[str]]:
    parser = Cells(table_class)
    parser.feed(page)
    return parser.rows


def curve(values, start="2019-12-31", freq="B") -> pd.Series:
    return pd.Series(np.asarray(values, dtype=float), index=pd.date_range(start, periods=len(values), freq=freq))


def test_returns_compound_from_the_first_value_by_calendar_period():
    equity = pd.Series(
        [2.0, 2.2, 1.1, 3.3, 3.0],
        index=pd.to_datetime(["2020-01-15", "2020-01-31", "2020-03-02", "2021-02-01", "2021-02-26"]),
    )
    yearly = yearly_returns(equity)
    assert yearly.to_dict() == pytest.approx({2020: 1.1 / 2.0 - 1, 2021: 3.0 / 1.1 - 1})
    monthly = monthly_returns(equity)
    assert monthly.loc[2020, 1] == pytest.approx(0.1) and np.isnan(monthly.loc[2020, 2])
    assert monthly.loc[2020, 3] == pytest.approx(-0.5) and monthly.loc[2021, 2] == pytest.approx(3.0 / 1.1 - 1)
    compounded = (1 + monthly.fillna(0.0)).prod(axis=1) - 1
    assert compounded.to_numpy() == pytest.approx(yearly.to_numpy())


@pytest.mark.parametrize("interactive", [False, True])
@pytest.mark.parametrize("top, log", [(10.5, True), (9.5, False)])
def test_equity_on_a_log_scale_beyond_ten_times_and_the_page_needs_no_network(interactive, top, log):
    if interactive:
        pytest.importorskip("plotly")
    page = report_html(ReportData(title="t", equity=curve(np.linspace(1.0, top, 300))), interactive=interactive)
    assert ("Equity on a log scale" in page) is log
    if interactive:
        assert page.count('"type":"log"') == int(log)
        assert page.count("Plotly.newPlot") == 1
    else:
        assert "data:image/png;base64," in page
    assert not re.search(r"""<(script|link|img|iframe)[^>]*(src|href)\s*=\s*["']?(https?:)?//""", page, re.IGNORECASE)


def test_without_chart_libraries_the_report_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    page = report_html(ReportData(title="t", equity=curve([1.0, 1.1, 1.2])), interactive=False)
    assert "korvel[report]" in page and "korvel[plot]" in page and "<img" not in page


def test_without_plotly_the_chart_is_static_unless_interactive_is_asked_for(monkeypatch):
    monkeypatch.setitem(sys.modules, "plotly", None)
    data = ReportData(title="t", equity=curve([1.0, 1.1, 1.2]))
    assert "data:image/png;base64," in report_html(data)
    with pytest.raises(ImportError, match=r"korvel\[report\]"):
        report_html(data, interactive=True)


def test_long_curves_are_thinned_for_the_chart_keeping_the_extremes_and_the_end():
    n = _report.MAX_CHART_POINTS * 3 + 7
    rng = np.random.default_rng(1)
    series = [curve(np.cumprod(1 + rng.normal(0, 0.01, n))), curve(rng.normal(size=n))]
    kept = _report._thin(n, series)
    assert len(kept) <= _report.MAX_CHART_POINTS and kept[-1] == n - 1 and kept[0] == 0
    for s in series:
        assert {int(np.argmin(s.to_numpy())), int(np.argmax(s.to_numpy()))} <= set(kept.tolist())


def test_table_cells_integers_as_integers_dates_as_dates_missing_blank_text_escaped():
    trades = pd.DataFrame(
        {
            "instrument": pd.Categorical(["A<b>", "B", None]),
            "entry_date": pd.to_datetime(["2020-01-02", None, "2020-03-04"]),
            "holding_days": np.array([5, 12, 100000], dtype=np.int64),
            "profit_days": [4.0, np.nan, 7.0],
            "return": [0.012345, np.nan, -0.00001],
            "price": [1234.5678, 2.5, 3.0],
        }
    ).rename_axis("trade")
    page = report_html(ReportData(title="t", equity=curve([1.0, 1.1]), trades=trades), interactive=False)
    head, *rows = cells(page, "filtered")
    assert head == ["trade", "instrument", "entry_date", "holding_days", "profit_days", "return", "price"]
    assert rows == [
        ["0", "A<b>", "2020-01-02", "5", "4", "0.0123", "1,234.57"],
        ["1", "B", "", "12", "", "", "2.50"],
        ["2", "", "2020-03-04", "100000", "7", "-1e-05", "3.00"],
    ]
    assert "A&lt;b&gt;" in page


def test_trades_beyond_the_limit_list_the_first_and_last_and_say_where_the_rest_are():
    trades = pd.DataFrame({"return": np.arange(25, dtype=float) / 100}).rename_axis("trade")
    data = ReportData(
        title="t", equity=curve([1.0, 1.1]), trades=trades, max_trade_rows=10, trades_source="Result.trades"
    )
    page = report_html(data, interactive=False)
    listed = [row[0] for row in cells(page, "filtered")[1:]]
    assert listed == [str(k) for k in (*range(5), *range(20, 25))]
    assert "at most 10" in page and "all 25 are in Result.trades" in page


@pytest.mark.parametrize(
    "change, message",
    [
        ({"equity": [1.0, 2.0]}, "equity must be a pandas Series"),
        ({"equity": pd.Series([1.0, 2.0])}, "equity must have a DatetimeIndex"),
        ({"equity": curve([])}, "equity is empty"),
        ({"equity": curve([1.0, 2.0]).iloc[[1, 0]]}, "equity's dates must be increasing"),
        ({"drawdown": curve([0.0, 0.0]).iloc[[0, 0]]}, "drawdown has repeated dates"),
        ({"benchmark": curve([1.0, 2.0]).tz_localize("UTC")}, "benchmark's dates and equity's must both have a time"),
        ({"benchmark": curve(["1"] * 2).astype(object)}, "benchmark must hold numbers"),
        ({"trades": [1, 2]}, "trades must be a DataFrame"),
        ({"sections": [("folds", [1])]}, "section 'folds' must hold a DataFrame"),
        ({"figures": "Sharpe"}, "figures must be a sequence of pairs"),
        ({"max_trade_rows": 0}, "max_trade_rows must be an integer"),
    ],
)
def test_report_data_names_the_argument_it_refuses(change, message):
    fields = {"title": "t", "equity": curve([1.0, 1.1])} | change
    with pytest.raises((TypeError, ValueError), match=message):
        ReportData(**fields)


def test_exits_by_reason_counts_and_averages_each_reason():
    trades = pd.DataFrame(
        {
            "exit_reason": pd.Categorical(["stop", "rebalance", "stop", None]),
            "return": [-0.1, 0.2, 0.3, 0.0],
            "holding_days": [2, 4, 6, 8],
        }
    )
    table = exits_by_reason(trades)
    assert table.index.tolist() == ["stop", "rebalance", "unknown"]
    assert table["trades"].tolist() == [2, 1, 1] and table.loc["stop", "mean_return"] == pytest.approx(0.1)
    assert table.loc["stop", "win_rate"] == 0.5 and table.loc["stop", "mean_holding_days"] == 4.0


def test_notebook_views_show_the_headline_and_rank_the_sweep():
    result = synthetic_result()
    rows = [r for r in stat_rows(result.stats()) if r[0] in HEADLINE]
    view = result_repr_html(rows, "<run>")
    assert "&lt;run&gt;" in view and all(text in view for _, text in rows) and "Sortino" not in view
    stats = pd.DataFrame(
        {"sharpe": [0.5, np.nan, 1.5, 1.0], "trades": [3, 4, 5, 6]},
        index=pd.MultiIndex.from_product([[10, 20], [None, 0.1]], names=["lookback", "stop"]),
    )
    shown = re.findall(r"<tr><td[^>]*>(\d+)</td><td[^>]*>([\w.]+)</td>", sweep_repr_html("sweep", stats, top=3))
    assert shown == [("20", "None"), ("20", "0.1"), ("10", "None")]


def test_a_real_run_renders_every_section():
    page = report_html(report_data(synthetic_result()), interactive=False)
    for heading in (
        "Figures",
        "Equity and drawdown",
        "Monthly returns",
        "Yearly returns",
        "Exits by reason",
        "Next trading day",
        "Trades",
        "Rules as run",
    ):
        assert f"<h2>{heading}</h2>" in page
    months = cells(page, "months")
    assert months[0][-1] == "Year" and all(len(row) == 14 for row in months)


# --------------------------------------------------------------------------- axes, panels, size


@pytest.mark.parametrize(
    "low, high, ticks",
    [
        (1.0, 30.0, [1.0, 10.0]),
        (0.8, 150.0, [1.0, 10.0, 100.0]),
        (2.0, 40.0, [5.0, 10.0]),  # one decade within: its halves too
        (0.3, 8.0, [0.5, 1.0, 5.0]),
        (1.0, 1.0, []),
    ],
)
def test_log_axes_label_the_decades(low, high, ticks):
    assert _axes.log_ticks(low, high) == ticks
    assert [_axes.tick_text(t) for t in _axes.log_ticks(1, 2000)] == ["1", "10", "100", "1,000"]


@pytest.mark.parametrize("top, log", [(10.5, True), (9.5, False)])
def test_the_plot_goes_on_a_log_scale_as_the_report_does(top, log):
    equity = curve(np.linspace(1.0, top, 300))
    empty = pd.DataFrame({"mae": [], "mfe": [], "return": []})
    fig = result_figure(equity, None, equity * 0, empty, monthly_returns(equity))
    ax = fig.axes[0]
    assert (ax.get_yscale() == "log") is log
    if log:
        assert list(ax.get_yticks()) == [1.0, 10.0]


def test_prices_below_one_keep_four_significant_digits():
    texts = _report._float_texts(np.array([101.25, 0.41071, 35.5, np.nan]))
    assert texts == ["101.25", "0.4107", "35.50", ""]


def test_the_page_folds_the_engine_keywords_and_prints_the_months_whole():
    res = synthetic_result()
    data = res._report_data()
    assert data.internals and not any(name.startswith("engine") for name, _ in data.rules)
    page = report_html(data, interactive=False)
    folded = page[page.index("<details>") : page.index("</details>")]
    assert all(f">{html_escape(name)}<" in folded for name, _ in data.internals)
    months = page[page.index("<table class='months'>") - 30 : page.index("<table class='months'>")]
    assert "scroll" not in months
    assert "00:00:00" not in page.split("<h2>Trades</h2>")[0]
    assert "Costs, of mean equity" in page


def test_turnover_is_summed_per_month_one_sided():
    dates = pd.DatetimeIndex(["2024-01-30", "2024-01-31", "2024-02-01", "2024-02-29"])
    equity = np.array([1.0, 2.0, 2.0, 4.0])
    traded = np.array([1.0, 0.5, 2.0, 0.0])
    got = _panels.turnover_frame(dates, traded, equity)
    assert list(got.index) == [dates[1], dates[3]]
    np.testing.assert_allclose(got.to_numpy(), [(1.0 / 1.0 + 0.5 / 1.0) / 2, (2.0 / 2.0) / 2])


def test_rolling_figures_over_a_year_of_rows():
    rng = np.random.default_rng(4)
    dates = pd.bdate_range("2020-01-01", periods=600)
    returns = pd.Series(rng.normal(0.0005, 0.01, 600), index=dates)
    level = (1 + returns).cumprod().rename("self")
    risk, beta, window = _panels.rolling_frame(returns, level, 252.0)
    assert window == 252 and risk.iloc[:251].isna().all().all()
    last = returns.iloc[-252:]
    assert risk["volatility"].iloc[-1] == pytest.approx(last.std(ddof=1) * np.sqrt(252))
    assert risk["sharpe"].iloc[-1] == pytest.approx(last.mean() / last.std(ddof=1) * np.sqrt(252))
    np.testing.assert_allclose(beta.iloc[252:, 0], 1.0)  # the benchmark is the run itself
    assert list(beta.columns) == ["beta to self"]


@pytest.mark.parametrize(
    "kw, error",
    [
        (dict(kind="pie"), ValueError),
        (dict(right=("nope",)), ValueError),
        (dict(frame=pd.DataFrame({"a": [1.0]})), TypeError),
    ],
)
def test_a_panel_checks_what_it_is_given(kw, error):
    args = dict(title="t", frame=pd.DataFrame({"a": [1.0]}, index=pd.DatetimeIndex(["2024-01-01"])))
    with pytest.raises(error):
        Panel(**{**args, **kw})


def test_a_ten_year_daily_report_of_twenty_instruments_stays_small():
    pytest.importorskip("plotly")
    generated = synthetic.generate_market(20, 2520, 11)
    rows = synthetic.momentum_weights(generated, rebalance="monthly", lookback=120, skip=5, n_long=5, n_short=0)
    market, weights = synthetic.to_layer(generated, rows)
    with pytest.warns(korvel.KorvelWarning):  # the synthetic instruments list late: weights without a price
        res = korvel.backtest(weights, market, fee=0.001, benchmark=market.close.mean(axis=1).rename("index"))
    page = report_html(res._report_data(), interactive=True)
    size = len(page.encode("utf-8"))
    assert 1_000_000 < size < 2_500_000, size  # the packed chart library is in it
    assert page.count("class='korvel-chart'") == 6 and "Plotly.newPlot" in page
