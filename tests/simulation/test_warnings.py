"""Runs that complete but are probably not what was meant say so: one KorvelWarning per kind and run."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import closes

import korvel
from korvel import KorvelWarning

NAN = np.nan
# S1 is listed on the fourth row.
PRICES = [[10.0, NAN], [11.0, NAN], [12.0, NAN], [13.0, 20.0], [12.0, 21.0], [11.0, 22.0], [12.0, 21.0], [13.0, 22.0]]


def close():
    return closes(PRICES)


def weights(rows, dates=(0,)):
    return pd.DataFrame(np.array(rows, dtype=float), index=close().index[list(dates)], columns=["S0", "S1"])


def caught(*args, **kw):
    """The result and the KorvelWarnings of one backtest, by kind."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        res = korvel.backtest(*args, **kw)
    found = [w.message for w in seen if issubclass(w.category, KorvelWarning)]
    kinds = [w.kind for w in found]
    assert len(kinds) == len(set(kinds)), "each kind once per run"
    return res, {w.kind: str(w) for w in found}


def test_a_plain_run_says_nothing():
    _, said = caught(weights([[0.5, 0.0], [0.3, 0.7]], dates=(0, 4)), close())
    assert said == {}


def test_gross_above_one_names_the_first_date_and_the_largest_sum():
    w = weights([[0.6, 0.0], [1.0, 0.5], [2.0, -1.0]], dates=(0, 3, 5))
    _, said = caught(w, close())
    text = said["gross"]
    assert "2 dates" in text and "first on 2024-01-04" in text and "at most 3 on 2024-01-08" in text
    _, said = caught(weights([[0.5, 0.5 + 1e-12]], dates=(3,)), close())  # rounding is not a surprise
    assert "gross" not in said


@pytest.mark.parametrize(
    "w, words",
    [
        (weights([[0.0, NAN], [NAN, 0.0]], dates=(0, 2)), ["every weight is 0 or NaN", "2024-01-01 to 2024-01-10"]),
        (weights([[0.5, 0.5]], dates=(7,)), ["after the last market date 2024-01-10", "2024-01-10 to 2024-01-10"]),
        (
            pd.DataFrame({"S0": [0.5]}, index=pd.DatetimeIndex(["2024-03-01"])),
            ["after the last market date 2024-01-10", "flat line from 2024-01-10 to 2024-01-10"],
        ),
    ],
)
def test_no_trade_at_all_says_why(w, words):
    res, said = caught(w, close())
    assert res.trades.empty
    for word in words:
        assert word in said["no_trade"]


def test_weights_without_a_price_are_flagged_and_left_out():
    # Split at the rebalance: the holding entered without a price ends there and its successor has one.
    res, said = caught(weights([[0.0, 0.5], [0.5, 0.5]], dates=(0, 4)), close(), split_at_rebalance=True)
    assert "'S1' on 2024-01-02" in said["no_price"] and "1 instrument gets" in said["no_price"]
    trades = res.trades
    assert trades["entry_price_missing"].tolist() == [True, False, False]
    stats = res.stats()
    assert stats["trades"] == 2  # the record entered without a price is not a trade of the statistics
    # Rows 0..7 are live; S1 is held from row 1 on, with a close from row 3 on (two holdings on rows 5..7).
    assert stats["exposure"] == pytest.approx(5 / 8)


@pytest.mark.parametrize("rule", ["fee", "tax"])
def test_a_rate_of_five_percent_or_more_hints_at_a_fraction(rule):
    _, said = caught(weights([[0.5, 0.0]]), close(), **{rule: 0.5})
    assert f"{rule}=0.5" in said["cost"] and "did you mean 0.005" in said["cost"]
    _, said = caught(weights([[0.5, 0.0]]), close(), **{rule: 0.049})
    assert "cost" not in said


def test_the_warning_points_at_the_caller_and_pickles():
    with pytest.warns(KorvelWarning) as seen:
        korvel.backtest(weights([[2.0, 0.0]]), close())
    assert seen[0].filename == __file__
    again = pickle.loads(pickle.dumps(seen[0].message))
    assert isinstance(again, UserWarning) and again.kind == "gross" and str(again) == str(seen[0].message)


def ohlc(high_cell=None, open_cell=None):
    c = closes([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0]])
    high, low, open_ = c * 1.02, c * 0.98, c.copy()
    if high_cell:
        high.iloc[high_cell] = 9.0  # below the low
    if open_cell:
        open_.iloc[open_cell] = 30.0  # above the high
    return dict(close=c, open=open_, high=high, low=low)


def test_market_checks_that_its_prices_hang_together():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        korvel.Market(**ohlc())  # consistent tables: silent
        korvel.Market(closes([[10.0], [9.0]]))  # a close alone: nothing to check
        korvel.Market(closes([[10.0], [9.0]]), open=closes([[11.0], [8.0]]))  # no range to check the open by
    with pytest.warns(KorvelWarning, match=r"2 cells.*first: 'S1' on 2024-01-02, open above high") as seen:
        korvel.Market(**ohlc(high_cell=(2, 0), open_cell=(1, 1)))
    assert seen[0].message.kind == "ohlc" and seen[0].filename == __file__
    with pytest.warns(KorvelWarning, match=r"1 cell .*'S0' on 2024-01-01, open above high \(open 30.0"):
        korvel.Market(**ohlc(open_cell=(0, 0)))
    with pytest.raises(ValueError, match=r"1 cell .*'S0' on 2024-01-03, high below low"):
        korvel.Market(**ohlc(high_cell=(2, 0)), check_ohlc="raise")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        korvel.Market(**ohlc(high_cell=(2, 0)), check_ohlc="off")
    with pytest.raises(ValueError, match="check_ohlc must be one of"):
        korvel.Market(**ohlc(), check_ohlc=True)


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_weights_without_a_price_are_found_wherever_they_are(seed):
    rng = np.random.default_rng(seed)
    values = rng.uniform(5, 10, (12, 4))
    values[rng.random(values.shape) < 0.3] = NAN
    market = closes(values)
    weight_rows = np.sort(rng.choice(11, size=rng.integers(1, 6), replace=False))
    w = pd.DataFrame(rng.choice([0.0, 0.2], size=(len(weight_rows), 4)), index=market.index[weight_rows])
    w.columns = market.columns
    res, said = caught(w, market, trade_at="close")
    # By brute force: each applied weight row, each instrument it weights, its price on the row it is applied on.
    applied = res._run.applied
    first = {}
    for row in np.flatnonzero(applied >= 0):
        for k, name in enumerate(market.columns):
            if w.iloc[applied[row], k] != 0 and np.isnan(values[row, k]) and name not in first:
                first[name] = market.index[row]
    if not first:
        assert "no_price" not in said
        return
    text = said["no_price"]
    assert f"{len(first)} instrument" in text
    for name, day in sorted(first.items(), key=lambda item: item[1])[:5]:
        assert f"'{name}' on {day.date()}" in text


# --------------------------------------------------------------------------- checks that used to miss


def _daily_market(days=400, n=3, seed=1):
    rng = np.random.default_rng(seed)
    values = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (days, n)), axis=0))
    return closes(values)


def _with_weekends(benchmark):
    saturdays = benchmark.index[benchmark.index.day_of_week == 4][:5] + pd.Timedelta(days=1)
    # From the second date: the strategy holds the benchmark from the second row on.
    return pd.concat([benchmark.iloc[1:], pd.Series(1.0, index=saturdays)]).sort_index().rename(benchmark.name)


def _hold_first(market, value=1.0):
    w = pd.DataFrame(0.0, index=market.index[:1], columns=market.columns)
    w.iloc[0, 0] = value
    return w


@pytest.mark.parametrize(
    "thin, words",
    [
        (lambda b: b[b.index.is_month_end | (b.index == b.index[-1])], ["no price on", "market dates"]),
        (lambda b: b.iloc[100:], ["covers", "of a run from"]),
        (_with_weekends, ["5 of its dates are not market dates (first 2024-01-06)"]),
    ],
)
def test_a_benchmark_lacking_dates_warns_and_is_compared_on_its_own_dates(thin, words):
    market = _daily_market()
    w = _hold_first(market)
    full = market["S0"].rename("idx")
    res, said = caught(w, market, benchmark=thin(full))
    assert all(word in said["benchmark"] for word in ["benchmark 'idx'", *words]), said
    # The strategy holds the benchmark itself: on whatever dates they are compared, beta is 1.
    s = res.stats()
    assert s["beta"] == pytest.approx(1.0, abs=1e-9) and s["correlation"] == pytest.approx(1.0, abs=1e-9)
    assert s["tracking_error"] == pytest.approx(0.0, abs=1e-9) and s["up_capture"] == pytest.approx(1.0)
    assert res.benchmark.index.equals(res.equity.index) and not res.benchmark.iloc[-1:].isna().any()


def test_a_benchmark_on_every_date_says_nothing_and_its_figures_are_its_own():
    market = _daily_market()
    res, said = caught(_hold_first(market, 0.5), market, benchmark=market["S1"].rename("idx"))
    assert "benchmark" not in said
    s = res.stats()
    level = market["S1"].loc[res.equity.index]
    b = (level / level.shift(1) - 1).dropna().to_numpy()
    r = res.returns.to_numpy()
    years = (level.index[-1] - level.index[0]).days / 365.25
    per_year = b.size / years
    assert s["benchmark_total_return"] == pytest.approx(level.iloc[-1] / level.iloc[0] - 1)
    assert s["benchmark_cagr"] == pytest.approx((level.iloc[-1] / level.iloc[0]) ** (1 / years) - 1)
    assert s["benchmark_volatility"] == pytest.approx(b.std(ddof=1) * np.sqrt(per_year))
    assert s["benchmark_sharpe"] == pytest.approx(b.mean() / b.std(ddof=1) * np.sqrt(per_year))
    assert s["benchmark_max_drawdown"] == pytest.approx((level / level.cummax() - 1).min())
    assert s["tracking_error"] == pytest.approx((r - b).std(ddof=1) * np.sqrt(per_year))
    assert s["information_ratio"] == pytest.approx((r - b).mean() * per_year / s["tracking_error"])
    assert s["up_capture"] == pytest.approx(r[b > 0].mean() / b[b > 0].mean())
    assert s["down_capture"] == pytest.approx(r[b < 0].mean() / b[b < 0].mean())
    assert "Tracking error" in res.summary() and "Up / down capture" in res.summary()


def test_weights_in_another_timezone_warn():
    market = closes(np.linspace(10, 20, 40).reshape(20, 2), tz="America/New_York")
    w = pd.DataFrame([[0.5, 0.5]], index=pd.DatetimeIndex(["2024-01-03"], tz="Asia/Tokyo"), columns=["S0", "S1"])
    _, said = caught(w, market)
    assert "timezone Asia/Tokyo and the market's in America/New_York" in said["timezone"]
    assert "first 2024-01-03 (Asia/Tokyo) on 2024-01-02 10:00:00-05:00" in said["timezone"]
    _, same = caught(w.tz_convert("America/New_York"), market)
    assert "timezone" not in same


@pytest.mark.parametrize("dtype, warned", [(np.float32, False), (np.float64, False)])
def test_float32_weights_summing_to_one_are_not_scaled(dtype, warned):
    market = _daily_market(n=7)
    w = pd.DataFrame(np.full((3, 7), 1 / 7), index=market.index[[0, 5, 9]], columns=market.columns).astype(dtype)
    assert np.abs(w.to_numpy().astype(np.float64)).sum(axis=1).max() > 1 or dtype is np.float64
    _, said = caught(w, market)
    assert ("gross" in said) == warned
    _, over = caught(w * dtype(1.01), market)
    assert "at most 1.01" in over["gross"]


@pytest.mark.parametrize("limit, rows, warned", [(0.3, 5, True), (0.3, 1, False), (1.0, 5, False)])
def test_a_position_limit_that_caps_many_rows_warns_once(limit, rows, warned):
    market = _daily_market()
    w = pd.DataFrame(0.1, index=market.index[::20][:10], columns=market.columns)
    w.iloc[:rows, 0] = 0.6  # capped to the limit on `rows` of 10 rows
    w.iloc[:rows, 1] = 0.2
    _, said = caught(w, market, position_limit=limit)
    assert ("limit" in said) == warned
    if warned:
        first = market.index[0].date()
        assert f"caps weights on {rows} of 10 weight rows, first on {first} ('S0' 0.6 to 0.3)" in said["limit"]
        assert f"{0.3 * rows / (0.9 * rows + 0.3 * (10 - rows)):.1%} of the gross weight" in said["limit"]
