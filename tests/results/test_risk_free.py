"""stats(rf=...): Sharpe and Sortino over excess returns, computed by hand; validation and sweeps on the same."""

import math
import re
import statistics

import numpy as np
import pandas as pd
import pytest
from layer_support import closes, market_and_weights
from sweep_strategies import momentum

import korvel
from korvel import validation
from korvel.research import _walk_forward
from korvel.results import _result
from korvel.simulation._rates import run_risk_free
from korvel.sweeps import _sweep, _task

pytestmark = pytest.mark.filterwarnings("ignore::korvel.KorvelWarning")

PRICES = [100.0, 101.0, 100.5, 102.0, 101.0, 103.5, 103.0, 104.0, 102.5, 105.0, 106.0, 105.5]


@pytest.fixture(scope="module")
def res():
    close = closes(np.array(PRICES)[:, None])  # business days: Friday to Monday is three days
    weights = pd.DataFrame({"S0": [1.0]}, index=close.index[:1])
    return korvel.backtest(weights, close, trade_at="close")


def by_hand(equity, dates, annual):
    """Sharpe and Sortino of the equity's returns less annual[k] x days / 365 (annual of the row before)."""
    values, days = list(equity), [(b - a).days for a, b in zip(dates[:-1], dates[1:])]
    r = [values[k + 1] / values[k] - 1.0 for k in range(len(values) - 1)]
    x = [r[k] - annual[k] * days[k] / 365 for k in range(len(r))]
    per_year = len(r) / ((dates[-1] - dates[0]).days / 365.25)
    downside = math.sqrt(sum(min(v, 0.0) ** 2 for v in x) / len(x))
    return (
        statistics.mean(x) / statistics.stdev(x) * math.sqrt(per_year),
        statistics.mean(x) / downside * math.sqrt(per_year),
    )


@pytest.mark.parametrize("rate", [0.05, -0.01, 0.3])
def test_a_number_is_an_annual_rate_over_each_rows_calendar_days(res, rate):
    got = res.stats(rf=rate)
    sharpe, sortino = by_hand(res.equity, res.equity.index, [rate] * (len(PRICES) - 1))
    assert got["sharpe"] == pytest.approx(sharpe, rel=1e-12)
    assert got["sortino"] == pytest.approx(sortino, rel=1e-12)
    assert got["rf"] == rate
    plain = res.stats()
    assert got["sharpe"] != plain["sharpe"]
    unchanged = [k for k in plain.index if k not in ("rf", "sharpe", "sortino")]
    pd.testing.assert_series_equal(got[unchanged], plain[unchanged])


def test_a_series_applies_the_rate_known_on_the_row_before(res):
    dates = res.equity.index
    rates = pd.Series([0.02, 0.08], index=[dates[0], dates[5]])
    annual = [0.02] * 5 + [0.08] * (len(PRICES) - 6)  # the return into row 6 is the first at 8%
    got = res.stats(rf=rates)
    sharpe, sortino = by_hand(res.equity, dates, annual)
    assert got["sharpe"] == pytest.approx(sharpe, rel=1e-12)
    assert got["sortino"] == pytest.approx(sortino, rel=1e-12)
    days = np.diff(dates.asi8) / 86_400e9
    assert got["rf"] == pytest.approx((np.array(annual) * days).sum() / days.sum(), rel=1e-12)


def test_by_default_the_rate_is_the_runs_cash_rate_and_zero_without_one(res, monkeypatch):
    assert run_risk_free(res._run.rules) == (0.0, "act/365")
    plain = res.stats()
    assert plain["rf"] == 0.0 and res.config["rf"] == 0.0
    assert plain.equals(res.stats(rf=0.0))
    assert (res.risk_free == 0).all() and res.risk_free.index.equals(res.returns.index)
    assert re.search(r"Risk-free rate \(a year\) +0\.00%\n", res.summary())
    # Rules with a cash rate (and a day count): stats() takes them, as the engine's cash accrual will.
    assert run_risk_free({"cash_rate": 0.04, "day_count": "act/360"}) == (0.04, "act/360")
    monkeypatch.setattr(_result, "run_risk_free", lambda rules: (0.05, "act/365"))
    fresh = korvel.backtest(pd.DataFrame({"S0": [1.0]}, index=res.equity.index[:1]), res._run.market, trade_at="close")
    assert fresh.stats()["sharpe"] == res.stats(rf=0.05)["sharpe"]
    assert fresh.config["rf"] == 0.05 and re.search(r"Risk-free rate \(a year\) +5\.00%\n", fresh.summary())
    days = np.diff(res.equity.index.as_unit("ns").asi8) / 86_400e9
    np.testing.assert_allclose(fresh.risk_free.to_numpy(), 0.05 * days / 365, rtol=1e-15)


@pytest.mark.parametrize(
    "rf, error, match",
    [
        (5, ValueError, r"rf is an annual rate as a fraction .*did you mean 0\.05\?"),
        ("5%", TypeError, "rf must be a number"),
        (pd.Series([0.01], index=[0]), TypeError, "rf must be indexed by dates"),
    ],
)
def test_bad_rates_name_rf(res, rf, error, match):
    with pytest.raises(error, match=match):
        res.stats(rf=rf)


# --------------------------------------------------------------------------- the same excess returns elsewhere


@pytest.fixture(scope="module")
def inputs():
    _, _, market, weights = market_and_weights(n=8, days=300, seed=11)
    return market, weights


@pytest.fixture(scope="module")
def leveraged(inputs):
    res = korvel.backtest(inputs[1], inputs[0])
    res.stats()  # its risk-free rate (0) taken before any test patches the rules' reading
    return res


def test_validation_takes_the_excess_returns_so_its_sharpe_is_stats(inputs, leveraged, monkeypatch):
    monkeypatch.setattr(_result, "run_risk_free", lambda rules: (0.2, "act/365"))
    res = korvel.backtest(inputs[1], inputs[0])
    stats, returns, rf = res.stats(), res.returns, res.risk_free
    per_year = returns.size / ((returns.index[-1] - res.equity.index[0]).days / 365.25)
    # The PSR against the observed Sharpe ratio is one half: both measure the same excess returns.
    assert validation.probabilistic_sharpe(returns, stats["sharpe"], rf=rf, periods_per_year=per_year) == pytest.approx(
        0.5, abs=1e-9
    )
    excess = returns - rf
    assert validation.probabilistic_sharpe(returns, rf=rf) == validation.probabilistic_sharpe(excess)
    assert validation.min_track_record_length(returns, rf=rf.to_numpy()) == validation.min_track_record_length(excess)
    trials = pd.DataFrame({"a": returns, "b": returns * 0.5, "c": -returns})
    assert validation.deflated_sharpe(returns, trials, rf=rf) == validation.deflated_sharpe(
        excess, trials.sub(rf, axis=0)
    )
    table = res.bootstrap(stats=("sharpe", "sortino", "cagr"), n=20, block=4)
    assert table.loc["sharpe", "estimate"] == pytest.approx(stats["sharpe"], rel=1e-10)
    assert table.loc["sortino", "estimate"] == pytest.approx(stats["sortino"], rel=1e-10)
    assert table.loc["cagr", "estimate"] == pytest.approx(stats["cagr"], rel=1e-10)
    plain = leveraged.bootstrap(stats=("sharpe", "cagr"), n=20, block=4)
    assert table.loc["cagr", "lower"] == plain.loc["cagr", "lower"]
    assert table.loc["sharpe", "estimate"] < plain.loc["sharpe", "estimate"]


@pytest.mark.parametrize(
    "rf, error, match",
    [
        (0.0001, TypeError, "rf must be the risk-free return of each period"),
        (np.zeros(5), ValueError, r"one value per period of the returns \(40\)"),
        (pd.Series(0.0, index=pd.date_range("2030-01-01", periods=40)), ValueError, "rf has no value for the period"),
        (np.full(40, np.nan), ValueError, "rf must be finite"),
    ],
)
def test_validation_refuses_a_risk_free_that_does_not_fit_the_returns(rf, error, match):
    returns = pd.Series(np.linspace(-0.01, 0.012, 40), index=pd.date_range("2024-01-01", periods=40))
    with pytest.raises(error, match=match):
        validation.probabilistic_sharpe(returns, rf=rf)


def test_a_walk_forward_window_over_the_whole_run_is_stats(leveraged):
    rf = 0.07 * np.diff(leveraged._run.view.dates, prepend=leveraged._run.view.dates[0]) / 86_400e9 / 365
    first = leveraged._run.first_row
    window = _walk_forward.window_figures(
        leveraged._run.equity, first, first, len(leveraged._run.equity), leveraged._run.view.dates, rf
    )
    expected = leveraged.stats(rf=0.07)
    assert window["sharpe"] == pytest.approx(expected["sharpe"], rel=1e-13)
    assert window["sortino"] == pytest.approx(expected["sortino"], rel=1e-13)


def test_a_sweeps_overfitting_takes_each_combinations_excess_returns(monkeypatch):
    market = market_and_weights(n=12, days=220)[2]
    grid = {"lookback": [20, 40], "top": [2, 3]}
    monkeypatch.setattr(_result, "run_risk_free", lambda rules: (0.1, "act/365"))
    monkeypatch.setattr(_sweep, "run_risk_free", lambda rules: (0.1, "act/365"))
    monkeypatch.setattr(_task, "run_risk_free", lambda rules: (0.1, "act/365"))  # the stats a worker keeps
    sw = korvel.sweep(momentum, market, grid, keep=("stats", "returns"), progress=False)
    table = sw.overfitting(blocks=4)
    best = sw.best("sharpe").name
    res = sw.result(best)
    mine = (sw.returns[best] - res.risk_free.reindex(sw.returns.index)).dropna()
    assert table.loc["probabilistic_sharpe", "value"] == validation.probabilistic_sharpe(mine)
    assert table.loc["sharpe", "value"] == res.stats()["sharpe"]
    assert table.loc["probabilistic_sharpe", "value"] != validation.probabilistic_sharpe(sw.returns[best].dropna())
