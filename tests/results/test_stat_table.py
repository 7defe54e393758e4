"""The one table of statistics against what is derived from it: stats(), the summary, the views, the README."""

from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from layer_support import closes, market_and_weights

import korvel
from korvel import validation
from korvel.research import _walk_forward
from korvel.results import _stat_table
from korvel.results._stat_table import FORMATS, TABLE, lines, ordered, stats_markdown
from korvel.results._summary import stat_rows

ROOT = Path(__file__).resolve().parents[2]


pytestmark = pytest.mark.filterwarnings("ignore::korvel.KorvelWarning")


def _run(benchmark):
    _, _, market, weights = market_and_weights(n=6, days=120, seed=5)
    return korvel.backtest(weights, market, fee=0.001, stop_loss=0.05, benchmark=benchmark)


@pytest.fixture(scope="module", params=[False, True], ids=["plain", "benchmark"])
def stats(request):
    _, _, market, _ = market_and_weights(n=6, days=120, seed=5)
    return _run(market.close.iloc[:, 0] if request.param else None).stats()


def _table_key(key):
    return next(stat for stat in TABLE if (key.startswith(stat.key) if stat.family else key == stat.key))


def test_every_figure_of_a_run_is_a_row_and_stats_keep_the_tables_order(stats):
    keys = list(stats.index)
    positions = [TABLE.index(_table_key(k)) for k in keys]
    assert positions == sorted(positions)
    assert any(k.startswith("exits_") for k in keys)
    # A row is left out only for a reason: the benchmark's without one, the capacity's without a capital.
    missing = {s.key for s in TABLE if not s.family} - set(keys)
    with_benchmark = {s.key for s in TABLE if s.description.startswith("with a benchmark")}
    assert with_benchmark >= {"benchmark_total_return", "beta", "tracking_error", "up_capture", "down_capture"}
    # A row is left out otherwise only for a reason: the capacity's without a capital or participation.
    sized = {s.key for s in TABLE if s.description.startswith(("with `capital`", "with `participation`"))}
    assert missing - sized <= with_benchmark and (missing - sized == with_benchmark) == ("beta" not in keys)
    assert ("beta" in keys) == ("correlation" in keys)


def test_the_summary_shows_one_line_per_label_present_in_the_tables_order(stats):
    rows = stat_rows(stats)
    shown = [label for label, members, _ in lines() if members[0].family or members[0].key in stats.index]
    assert [label for label, _ in rows] == shown
    text = dict(rows)
    assert text["Period"] == f"{stats['start'].date()} .. {stats['end'].date()}"
    assert text["Trades (still open)"] == f"{stats['trades']:,} ({stats['open_trades']:,})"
    assert text["Fees / taxes paid"] == f"{100 * stats['fees_paid']:.2f}% / {100 * stats['taxes_paid']:.2f}%"
    if "beta" in stats.index:
        assert text["Beta / alpha (a year: arithmetic / compounded)"] == (
            f"{stats['beta']:.2f} / {100 * stats['alpha']:.2f}% / {100 * stats['alpha_compounded']:.2f}%"
        )


def test_ordered_puts_families_where_their_row_stands_and_unknown_keys_last():
    figures = {"zeta": 1, "exits_stop_loss": 2, "cagr": 3, "start": 4, "exits_rebalance": 5, "correlation": 6}
    assert list(ordered(figures)) == ["start", "cagr", "exits_stop_loss", "exits_rebalance", "correlation", "zeta"]
    assert ordered(figures) == figures


def test_the_derived_names_are_the_tables():
    assert validation.STATS == _walk_forward.SELECTABLE == _stat_table.SELECTABLE
    assert _stat_table.SELECTABLE == (
        "total_return",
        "cagr",
        "annual_volatility",
        "sharpe",
        "sortino",
        "calmar",
        "max_drawdown",
    )
    assert "Period" in _stat_table.HEADLINE and "Sharpe ratio" in _stat_table.HEADLINE
    keys = [s.key for s in TABLE]
    assert len(keys) == len(set(keys))
    labels = [s.label for s in TABLE if s.label is not None]
    assert len(labels) == len(set(labels))
    assert all(s.format in FORMATS and s.description for s in TABLE)
    # A line's join is given on its first row only.
    assert all(s.line is None for s in TABLE if s.label is None)


def test_selectable_figures_are_what_the_bootstrap_resamples_as_stats_computes_them():
    res = _run(None)
    table = res.bootstrap(stats=_stat_table.SELECTABLE, n=5, block=3)
    np.testing.assert_allclose(
        table["estimate"].to_numpy(), res.stats()[list(_stat_table.SELECTABLE)].astype(float), rtol=1e-12
    )


def test_the_notebook_view_shows_the_headline_lines():
    close = closes(np.linspace(10, 12, 30)[:, None] * [1.0, 1.1])
    weights = pd.DataFrame({"S0": [0.5], "S1": [0.5]}, index=close.index[[0]])
    html = korvel.backtest(weights, close)._repr_html_()
    for label in _stat_table.HEADLINE:
        if label != "Benchmark total return":
            assert label in html


def test_the_readmes_list_of_figures_is_the_stats_table():
    assert stats_markdown() in (ROOT / "README.md").read_text()
    assert stats_markdown().count("\n") == len(TABLE) + 1
