"""The look-ahead check: strategies that peek are caught, honest ones pass, the truncated markets are faithful."""

import numpy as np
import pandas as pd
import pytest

import korvel
from korvel.research._lookahead import check_lookahead, require_no_lookahead

DATES = pd.bdate_range("2021-01-04", periods=300)


def prices(seed=0, columns=("a", "b", "c")):
    steps = np.random.default_rng(seed).normal(0, 0.01, (len(DATES), len(columns)))
    return pd.DataFrame(100 * np.exp(np.cumsum(steps, axis=0)), index=DATES, columns=list(columns))


@pytest.fixture
def market():
    close = prices()
    return korvel.Market(close, open=close * 0.99, delisted=pd.Series([DATES[200]], index=["c"]))


def momentum(market, lookback=20):
    """Honest: weights from past closes only; NaN through the warm-up rows."""
    up = market.close.pct_change(lookback) > 0
    return up.astype(float).where(market.close.pct_change(lookback).notna())


def tomorrow(market):
    """Peeks: holds what rises the next day."""
    close = market.close
    return (close.shift(-1) > close).astype(float)


def month_end(market):
    """Honest, but a truncated run sees its last date as a month end."""
    close = market.close
    last = close.groupby(close.index.to_period("M")).tail(1)
    return (last.pct_change() > 0).astype(float)


def test_honest_strategies_pass(market):
    # NaN equals NaN (momentum's warm-up); "fee" is a backtest rule, not a strategy keyword.
    assert check_lookahead(momentum, market, {"lookback": 10, "fee": 0.001}, cuts=8) is None
    assert check_lookahead(month_end, market, cuts=8) is None
    require_no_lookahead(momentum, market)


def test_peeking_weights_are_reported(market):
    cut_rows = []

    def recording(m):
        cut_rows.append(len(m.dates) - 1)
        return tomorrow(m)

    found = check_lookahead(recording, market, cuts=6, seed=3)
    full = tomorrow(market)
    rows = cut_rows[1:]  # the first run is the full one
    expected = [(name, DATES[r]) for r in rows for name in "abc" if full.iloc[r][name] != 0.0]
    assert list(found.columns) == ["instrument", "date", "full", "truncated", "cut"]
    assert sorted(zip(found["instrument"], found["date"])) == sorted(expected)
    assert (found["date"] == found["cut"]).all()
    assert (found["full"] == 1.0).all() and (found["truncated"] == 0.0).all()


def test_a_weight_missing_on_one_side_counts():
    ramp = np.linspace(0, 1, len(DATES))
    dip = 100 - 20 * np.sin(np.pi * ramp) + 5 * ramp  # below its start until the end, where it is above
    close = pd.DataFrame({"a": 100 + 10 * ramp, "b": dip}, index=DATES)

    def winners(market):  # keeps the instruments that end above their start: a's and b's fate comes from the end
        c = market.close
        keep = c.columns[c.iloc[-1] > c.iloc[0]]
        return pd.DataFrame(1.0 / max(len(keep), 1), index=c.index, columns=keep)

    found = check_lookahead(winners, korvel.Market(close), cuts=2)
    b = found[found["instrument"] == "b"]
    assert len(b) and b["full"].eq(0.5).all() and b["truncated"].isna().all()
    assert found.loc[found["instrument"] == "a", "truncated"].eq(1.0).all()

    def unknown_late(market):  # "b" is NaN with all the data, absent without: missing is not NaN
        w = pd.DataFrame({"a": 0.5, "b": np.nan}, index=market.dates)
        return w if len(market.dates) == len(DATES) else w[["a"]]

    found = check_lookahead(unknown_late, korvel.Market(close), cuts=1)
    assert (found["instrument"] == "b").all() and len(found) == DATES.get_loc(found["cut"].iloc[0]) + 1
    assert found["full"].isna().all() and found["truncated"].isna().all()


def test_truncated_markets_keep_the_tables_and_the_delistings_inside(market):
    seen = []

    def recording(m):
        seen.append(m)
        return momentum(m)

    check_lookahead(recording, market, cuts=5)
    full, truncated = seen[0], seen[1:]
    assert len(truncated) == 5
    for m in truncated:
        last = m.dates[-1]
        assert m.tables == ("close", "open")
        pd.testing.assert_frame_equal(m.open, full.open.loc[:last])
        assert list(m.delisted.index) == (["c"] if last >= DATES[200] else [])
    assert any(m.dates[-1] >= DATES[200] for m in truncated) and any(m.dates[-1] < DATES[200] for m in truncated)


def cut_dates(market, strategy, **kwargs):
    seen = []

    def recording(m):
        seen.append(m.dates[-1])
        return strategy(m)

    check_lookahead(recording, market, **kwargs)
    return seen[1:]


def test_cuts_are_spread_and_jittered_by_the_seed(market):
    def late(m):  # weights from row 100 on
        return momentum(m).iloc[100:]

    rows = [DATES.get_loc(d) for d in cut_dates(market, late, cuts=5, seed=1)]
    edges = np.linspace(100, 299, 6)  # five stretches from the first weight date to the last market date
    assert all(edges[k] - 1 < rows[k] < edges[k + 1] for k in range(5))
    assert rows == [DATES.get_loc(d) for d in cut_dates(market, late, cuts=5, seed=1)]
    assert rows != [DATES.get_loc(d) for d in cut_dates(market, late, cuts=5, seed=2)]


def test_require_no_lookahead_lists_the_first_findings(market):
    with pytest.raises(ValueError, match=r"(?s)looks ahead: \d+ weights change.*'a' on 20.*\.\.\. and \d+ more"):
        require_no_lookahead(tomorrow, market, cuts=10, show=2)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda m: check_lookahead(lambda market: market.close.to_numpy(), m), TypeError, "weights DataFrame"),
        (lambda m: check_lookahead(momentum, m.close.to_numpy()), TypeError, "korvel.Market or a DataFrame"),
        (lambda m: check_lookahead(lambda market: momentum(market).shift(1, freq="D"), m), ValueError, "not market"),
        (lambda m: check_lookahead(momentum, m, cuts=0), ValueError, "cuts must be at least 1"),
        (lambda m: check_lookahead(momentum, m, params=[("lookback", 5)]), TypeError, "params"),
    ],
)
def test_bad_arguments(market, call, error, match):
    with pytest.raises(error, match=match):
        call(market)


def month_end_peek(market):
    """Peeks one day: on each month end, holds what rises over the next day."""
    close = market.close
    ahead = close.shift(-1) > close
    ends = close.groupby(close.index.to_period("M")).tail(1).index
    return ahead.loc[ends].astype(float)


@pytest.mark.parametrize("seed", range(10))
def test_a_one_day_peek_on_month_ends_is_caught_at_the_default_cuts(market, seed):
    cut_at = []

    def recording(m):
        cut_at.append(m.dates[-1])
        return month_end_peek(m)

    found = check_lookahead(recording, market, seed=seed)
    assert found is not None and (found["date"] == found["cut"]).all()
    ends = month_end_peek(market).index
    cuts = pd.DatetimeIndex(cut_at[1:])  # the first run is the full one
    assert len(cuts) == 5 and cuts.isin(ends).all()  # a sample of the decision dates...
    edges = np.linspace(0, int((ends < market.dates[-1]).sum()), 6)
    assert all(edges[k] <= p < edges[k + 1] for k, p in enumerate(ends.get_indexer(cuts)))  # ...spread over the run


def test_closes_are_taken_as_the_market(market):
    close = market.close
    assert check_lookahead(momentum, close, cuts=3) is None
    found = check_lookahead(tomorrow, close, cuts=3)
    assert found is not None and found["cut"].nunique() >= 2
