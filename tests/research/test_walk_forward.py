"""korvel.walk_forward: fold arithmetic, the in-sample figures and choices by hand, the stitched run as a plain
backtest of the stitched weights, the same folds on every executor, the refusals."""

import math

import numpy as np
import pandas as pd
import pytest
import sweep_strategies
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import market_and_weights
from sweep_strategies import momentum, peeking

import korvel
from korvel.research._walk_forward import fold_rows

GRID = {"lookback": [20, 40, 60], "top": [2, 4]}
DAYS = 365.25 * 86_400e9


@pytest.fixture(scope="module")
def market():
    return market_and_weights(n=16, days=700)[2]


@pytest.fixture(scope="module")
def wf(market):
    return korvel.walk_forward(momentum, market, GRID, train=250, test=60, fee=0.001, progress=False)


def spans(folds):
    return [(f.train, f.test) for f in folds]


@pytest.mark.parametrize("anchored", [False, True])
def test_folds_by_rows_step_by_test_and_the_last_is_cut(anchored):
    dates = pd.bdate_range("2020-01-01", periods=100)
    starts = [5, 5, 5, 5] if anchored else [5, 25, 45, 65]
    ends = [35, 55, 75, 95]
    expected = [((lo, hi), (hi, min(hi + 20, 100))) for lo, hi in zip(starts, ends)]
    assert spans(fold_rows(dates, 5, 30, 20, anchored)) == expected
    assert fold_rows(dates, 5, 95, 20, anchored) == []


@settings(max_examples=200, deadline=None)
@given(st.integers(2, 300), st.integers(0, 50), st.integers(1, 120), st.integers(1, 60), st.booleans())
def test_folds_by_rows_tile_the_market_after_the_first_train_window(rows, start, train, test, anchored):
    folds = fold_rows(pd.bdate_range("2020-01-01", periods=rows), start, train, test, anchored)
    first = start + train
    assert len(folds) == max(0, -(-(rows - first) // test))
    for k, fold in enumerate(folds):
        assert fold.test == (first + k * test, min(first + (k + 1) * test, rows))
        assert fold.train == (start if anchored else fold.test[0] - train, fold.test[0])


@pytest.mark.parametrize("anchored", [False, True])
def test_folds_by_calendar_offsets(anchored):
    dates = pd.bdate_range("2020-01-01", "2022-12-31")
    folds = fold_rows(dates, 0, pd.DateOffset(years=1), pd.DateOffset(months=3), anchored)
    # Quarters from 2021-01-01 on, each starting on its first business day (2022-01-01 and 2022-10-01 are Saturdays).
    quarters = pd.date_range("2021-01-01", "2022-10-01", freq="QS")
    assert [dates[f.test[0]] for f in folds] == [dates[dates.searchsorted(q)] for q in quarters]
    assert all(a.test[1] == b.test[0] for a, b in zip(folds, folds[1:])) and folds[-1].test[1] == len(dates)
    assert all(f.train[1] == f.test[0] for f in folds)
    train_starts = [dates[f.train[0]] for f in folds]
    if anchored:
        assert train_starts == [dates[0]] * len(folds)
    else:
        assert train_starts == [dates[dates.searchsorted(q - pd.DateOffset(years=1))] for q in quarters]


def hand_sharpe(equity, lo, hi, dates_ns):
    """The annualised Sharpe ratio of the returns dated on rows lo .. hi - 1: from the close before (or from the
    first live row when the window starts there)."""
    live = ~np.isnan(equity[lo - 1 : hi])
    e, d = equity[lo - 1 : hi][live], dates_ns[lo - 1 : hi][live]
    r = e[1:] / e[:-1] - 1.0
    return r.mean() / r.std(ddof=1) * math.sqrt(r.size / ((d[-1] - d[0]) / DAYS))


def test_folds_choose_the_best_train_sharpe_of_each_combinations_own_run(wf, market):
    folds = wf.folds
    assert len(folds) == 7 and (folds["train_end"] < folds["test_start"]).all()
    # The first train window starts at the latest first weight date of the grid's combinations.
    assert folds["train_start"].iloc[0] == max(momentum(market, **p).index[0] for p in korvel.grid(GRID))
    equity = wf.sweep.equity
    dates, ns = market.dates, market.dates.asi8
    for _, fold in folds.iterrows():
        train = (dates.get_loc(fold["train_start"]), dates.get_loc(fold["train_end"]) + 1)
        test = (dates.get_loc(fold["test_start"]), dates.get_loc(fold["test_end"]) + 1)
        assert train[1] - train[0] == 250 and (test[1] - test[0] == 60 or test[1] == len(dates))
        figures = [hand_sharpe(equity[c].to_numpy(), *train, ns) for c in equity.columns]
        best = equity.columns[int(np.argmax(figures))]
        assert (fold["lookback"], fold["top"]) == best
        assert fold["in_sample"] == pytest.approx(max(figures), rel=1e-12)
        assert fold["out_of_sample"] == pytest.approx(hand_sharpe(equity[best].to_numpy(), *test, ns), rel=1e-12)


def test_the_result_is_one_backtest_of_the_stitched_weights(wf, market):
    pieces = []
    for _, fold in wf.folds.iterrows():
        weights = momentum(market, lookback=fold["lookback"], top=fold["top"])
        pieces.append(weights.loc[fold["test_start"] : fold["test_end"]])
    expected = korvel.backtest(pd.concat(pieces), market, fee=0.001)
    pd.testing.assert_series_equal(wf.result.equity, expected.equity, check_exact=True)
    pd.testing.assert_frame_equal(wf.result.trades, expected.trades, check_exact=True)
    pd.testing.assert_frame_equal(wf.result.actions, expected.actions, check_exact=True)


def test_anchored_cagr_selection_and_its_efficiency(market):
    wf = korvel.walk_forward(
        momentum, market, GRID, train=pd.DateOffset(years=1), test=pd.DateOffset(months=4), anchored=True,
        select="cagr", progress=False,
    )  # fmt: skip
    folds = wf.folds
    assert (folds["train_start"] == folds["train_start"].iloc[0]).all() and len(folds) > 1
    assert (folds["test_start"].iloc[1:].to_numpy() > folds["test_end"].iloc[:-1].to_numpy()).all()
    mean = folds["in_sample"].mean()
    expected = wf.result.stats()["cagr"] / mean if mean > 0 else math.nan
    assert wf.efficiency == pytest.approx(expected, rel=1e-12, nan_ok=True)


def test_a_restarted_walk_forward_reads_its_sweep_from_the_checkpoint(market, wf, tmp_path):
    path = tmp_path / "wf.ckpt"
    kwargs = dict(train=250, test=60, fee=0.001, progress=False, checkpoint=path)
    korvel.walk_forward(momentum, market, GRID, **kwargs)
    sweep_strategies.CALLS.clear()
    again = korvel.walk_forward(momentum, market, GRID, **kwargs)
    pd.testing.assert_frame_equal(again.folds, wf.folds, check_exact=True)
    # No backtest ran again: the strategy was called only for the stitched weights of the distinct choices.
    assert len(sweep_strategies.CALLS) == len(wf.folds[["lookback", "top"]].drop_duplicates())


def test_failed_combinations_are_never_chosen(market):
    grid = {"lookback": [20, 40], "top": [2], "fail": [True, False]}
    with pytest.warns(RuntimeWarning, match="2 of 4 combinations of the sweep failed"):
        wf = korvel.walk_forward(momentum, market, grid, train=250, test=60, progress=False)
    assert len(wf.sweep.failures) == 2 and len(wf.folds) == 7 and not wf.folds["fail"].any()


def test_lowest_picks_the_smallest_figure(market, wf):
    calm = korvel.walk_forward(
        momentum, market, GRID, train=250, test=60, select="annual_volatility", lowest=True, fee=0.001, progress=False
    )
    equity = wf.sweep.equity
    for _, fold in calm.folds.iterrows():
        lo, hi = market.dates.get_loc(fold["train_start"]), market.dates.get_loc(fold["train_end"]) + 1
        vols = [np.nanstd(equity[c].to_numpy()[lo:hi] / equity[c].to_numpy()[lo - 1 : hi - 1], ddof=1) for c in equity]
        assert (fold["lookback"], fold["top"]) == equity.columns[int(np.argmin(vols))]


def test_the_report_and_the_figure_show_the_folds(wf, tmp_path):
    pytest.importorskip("matplotlib")
    text = wf.report(tmp_path / "wf.html").read_text()
    assert f"<h1>korvel walk-forward {wf.result.stats()['start'].date()}" in text
    assert f"{len(wf.folds)} folds by highest sharpe of 6 combinations</h1>" in text
    assert f"<b>{wf.efficiency:.2f}</b>" in text
    for heading in ("Overfitting", "In and out of sample (sharpe) per fold", "Parameters chosen for each test window"):
        assert f"<h2>{heading}</h2>" in text
    for figure in ("pbo", "deflated_sharpe", "deflated_sharpe_effective", "effective_trials"):
        assert f"<td>{figure}</td>" in text
    assert "sharpe per fold, in and out of sample" in text and "Parameters chosen over time" in text
    assert str(wf.folds["test_start"].iloc[-1].date()) in text
    assert len(wf.plot().axes) == 2


def test_overfitting_of_a_walk_forward_is_its_sweeps(wf):
    table = wf.overfitting(blocks=4)
    assert table.loc["combinations", "value"] == 6
    assert 0 <= table.loc["pbo", "value"] <= 1 and table.attrs["best"] == wf.sweep.best("sharpe").name


@pytest.mark.slow
def test_local_processes_and_a_dask_cluster_give_the_same_folds_bit_for_bit(wf, market, cluster):
    for executor, workers in (("processes", 2), (cluster, None)):
        other = korvel.walk_forward(
            momentum, market, GRID, train=250, test=60, fee=0.001, progress=False, executor=executor, workers=workers
        )
        pd.testing.assert_frame_equal(other.folds, wf.folds, check_exact=True)
        pd.testing.assert_series_equal(other.result.equity, wf.result.equity, check_exact=True)


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(grid={"lookback": [20], "top": [2], "stop_loss": [0.1]}), ValueError, "the rule 'stop_loss'"),
        (dict(select="win_rate"), ValueError, "select must be one of"),
        (dict(train=0), ValueError, "train must be at least 1"),
        (dict(train=2.5), TypeError, "train must be a number of market rows"),
        (dict(test="3M"), TypeError, "test must be a number"),
        (dict(test=pd.DateOffset(months=-3)), ValueError, "test must be a positive duration"),
        (dict(anchored="yes"), TypeError, "anchored must be True or False"),
        (dict(train=10_000), ValueError, "longer than the market"),
        (dict(train=pd.DateOffset(years=3)), ValueError, "longer than the market"),
        (dict(train=690), ValueError, "latest first weight date of the combinations"),
        (dict(keep="weights"), ValueError, "keep: 'weights'"),
        (dict(strategy=peeking, check_lookahead=True), ValueError, "looks ahead"),
    ],
)
def test_bad_arguments_are_refused(market, kwargs, error, match):
    kwargs = {"strategy": momentum, "grid": GRID, "train": 250, "test": 60, "progress": False, **kwargs}
    with pytest.raises(error, match=match):
        korvel.walk_forward(kwargs.pop("strategy"), market, kwargs.pop("grid"), **kwargs)


def test_the_report_of_a_walk_forward_with_a_benchmark_shows_it(market, tmp_path):
    wf = korvel.walk_forward(
        momentum, market, {"lookback": [20, 40], "top": [2]}, train=250, test=60, benchmark="S0001", progress=False
    )
    text = wf.report(tmp_path / "wf.html").read_text()
    assert "Benchmark total return" in text and "Tracking error" in text and "Rolling beta" in text
