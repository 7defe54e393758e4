"""Money as a desk has it: leverage, financing, short borrow, slippage, rebalancing bands and ruin, each
against a hand-computed run or a plain loop, and each at its default the run of before."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import closes, market_and_weights

import korvel
from korvel.simulation._rates import per_row_rates

QUIET = pytest.mark.filterwarnings("ignore::korvel.KorvelWarning")


def flat_market(rows, start="2024-01-01", freq="B", columns=("A",), price=100.0):
    return closes(np.full((rows, len(columns)), price), start=start, freq=freq, columns=list(columns))


def one_row(columns, values, date):
    return pd.DataFrame([values], index=pd.DatetimeIndex([date]), columns=list(columns))


# --------------------------------------------------------------------------- max_gross


def plain_loop_long_short(long_prices, short_prices):
    """A book rebalanced on every close to +V long and -V short, V its value there (no costs)."""
    value = 1.0
    out = [1.0, 1.0]  # the weight date, then the first trade at the next close
    for t in range(2, len(long_prices)):
        long_move = long_prices[t] / long_prices[t - 1] - 1.0
        short_move = short_prices[t] / short_prices[t - 1] - 1.0
        value = value + value * long_move - value * short_move
        out.append(value)
    return np.array(out)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_a_100_100_book_at_max_gross_2_is_the_plain_loop(seed):
    rng = np.random.default_rng(seed)
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (40, 2)), axis=0))
    market = closes(prices, columns=["L", "S"])
    weights = pd.DataFrame(np.tile([1.0, -1.0], (40, 1)), index=market.index, columns=["L", "S"])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a gross of 2 within max_gross=2 is not scaled: no warning
        res = korvel.backtest(weights, market, max_gross=2.0)
    np.testing.assert_allclose(res.equity.to_numpy(), plain_loop_long_short(prices[:, 0], prices[:, 1]), rtol=1e-12)
    exposure = res.exposure.iloc[1:]
    np.testing.assert_allclose(exposure["gross"], 2.0, rtol=1e-12)
    np.testing.assert_allclose(exposure["net"], 0.0, atol=1e-12)
    # positions are the holdings over the portfolio value at each close, and add up to the exposure.
    positions = res.positions
    np.testing.assert_allclose(positions.sum(axis=1), res.exposure["net"], atol=1e-12)
    np.testing.assert_allclose(positions.abs().sum(axis=1), res.exposure["gross"], rtol=1e-12)


@QUIET
@pytest.mark.parametrize("k", [1.0, 2.0, 3.5])
def test_w_times_k_at_max_gross_1_is_the_run_of_w_with_stops(k):
    _, _, market, weights = market_and_weights(n=10, days=200, seed=7, n_long=3, n_short=2)
    gross = weights.abs().sum(axis=1)
    weights = weights.div(gross.where(gross > 0, 1.0), axis=0)  # gross 1 on every row with a holding
    base = korvel.backtest(weights, market, stop_loss=0.05, fee=0.001)
    scaled = korvel.backtest(weights * k, market, stop_loss=0.05, fee=0.001)
    np.testing.assert_allclose(scaled.equity, base.equity, rtol=1e-12)
    assert len(scaled.trades) == len(base.trades)
    assert (scaled.trades["exit_reason"] == base.trades["exit_reason"]).all()


def test_the_gross_warning_speaks_of_max_gross_and_stays_true():
    market = flat_market(5, columns=("A", "B"))
    weights = one_row("AB", [1.5, -1.5], market.index[0])
    with pytest.warns(korvel.KorvelWarning, match=r"exceeds max_gross=2 .* scaled down to a gross sum of 2"):
        res = korvel.backtest(weights, market, max_gross=2.0)
    np.testing.assert_allclose(res.exposure["gross"].iloc[1:], 2.0, rtol=1e-12)


@pytest.mark.parametrize("value", [0, -1.0, float("inf"), float("nan")])
def test_max_gross_must_be_a_positive_finite_number(value):
    market = flat_market(3)
    with pytest.raises(ValueError, match="max_gross"):
        korvel.backtest(one_row("A", [1.0], market.index[0]), market, max_gross=value)


# --------------------------------------------------------------------------- cash and margin interest


@pytest.mark.parametrize("day_count, basis", [("act/365", 365.0), ("act/360", 360.0)])
def test_cash_accrues_over_the_weekend_by_calendar_days(day_count, basis):
    market = flat_market(8)  # Mon 2024-01-01 .. Wed 2024-01-10
    weights = one_row("A", [0.5], market.index[0])
    res = korvel.backtest(weights, market, cash_rate=0.05, day_count=day_count)
    # The capital in cash to the first trade (at the next close: it accrues a day first), then half of
    # it; the price never moves.
    days = np.diff(market.index.to_numpy()).astype("m8[D]").astype(float)
    cash, held, expected, cash_before = 1.0, 0.0, [1.0], []
    for k, d in enumerate(days):
        cash_before.append(cash)
        cash = cash + cash * (0.05 * d / basis)
        if k == 0:
            held = 0.5 * cash
            cash = cash - held
        expected.append(cash + held)
    np.testing.assert_array_equal(res.equity.to_numpy(), expected)
    # Friday 2024-01-05 to Monday 2024-01-08: three days of interest, shown as negative financing.
    monday = market.index.get_loc(pd.Timestamp("2024-01-08"))
    financing = res._run.records.row_financing
    assert financing[monday] == -(cash_before[monday - 1] * (0.05 * 3 / basis))
    assert res.stats()["financing"] == pytest.approx(financing.sum(), rel=1e-15)
    assert res.stats()["financing"] < 0 and res.stats()["cost_drag"] < 0


def test_a_margin_loan_pays_the_margin_rate_and_stats_takes_the_cash_rate():
    market = flat_market(6, columns=("A", "B"))
    weights = one_row("AB", [1.0, 1.0], market.index[0])
    res = korvel.backtest(weights, market, max_gross=2.0, cash_rate=0.02, margin_rate=0.08)
    # A day of interest on the capital, then 2 x that bought with it: cash is minus that, and pays 8% a
    # year, simple per row, on the previous close's cash.
    days = np.diff(market.index.to_numpy()).astype("m8[D]").astype(float)
    total = 1.0 + 1.0 * (0.02 * days[0] / 365)
    cash, held, expected = -total, 2 * total, [1.0, total]
    for d in days[1:]:
        cash = cash + cash * (0.08 * d / 365)
        expected.append(held + cash)
    np.testing.assert_allclose(res.equity.to_numpy(), expected, rtol=1e-15)
    assert res.stats()["financing"] > 0
    assert res.stats()["rf"] == 0.02 and res.config["rf"] == 0.02


@settings(max_examples=30, deadline=None)
@given(
    rate=st.floats(-0.02, 0.2),
    gaps=st.lists(st.integers(1, 5), min_size=2, max_size=30),
    day_count=st.sampled_from(["act/365", "act/360"]),
)
def test_with_no_holding_the_equity_grows_by_the_day_count_exactly(rate, gaps, day_count):
    dates = pd.Timestamp("2024-01-01") + pd.to_timedelta(np.cumsum([0, *gaps]), unit="D")
    market = pd.DataFrame({"A": np.full(len(dates), 100.0)}, index=pd.DatetimeIndex(dates))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvel.KorvelWarning)  # no trade at all
        res = korvel.backtest(one_row("A", [0.0], dates[0]), market, cash_rate=rate, day_count=day_count)
    grown = [1.0]
    for r in per_row_rates(res.equity.index, rate, day_count)[1:]:
        grown.append(grown[-1] + grown[-1] * r)
    np.testing.assert_array_equal(res.equity.to_numpy(), grown)
    # stats(rf=None) takes the same rates as the cash accrued: the excess returns are 0.
    np.testing.assert_allclose(res.returns.to_numpy(), res.risk_free.to_numpy(), rtol=0, atol=1e-15)


@pytest.mark.parametrize("rate", [1.0, 5, -1.5])
def test_a_rate_of_1_or_more_is_refused_with_a_hint(rate):
    market = flat_market(3)
    with pytest.raises(ValueError, match="cash_rate" + (".*did you mean 0.05" if rate == 5 else "")):
        korvel.backtest(one_row("A", [1.0], market.index[0]), market, cash_rate=rate)


# --------------------------------------------------------------------------- borrow


@pytest.mark.parametrize(
    "fee",
    [0.036, pd.Series({"A": 0.036}), pd.DataFrame({"A": [0.036]}, index=pd.DatetimeIndex(["2023-12-01"]))],
    ids=["number", "by instrument", "by date"],
)
def test_a_short_pays_borrow_for_ten_calendar_days(fee):
    market = flat_market(10)  # Mon 2024-01-01 .. Fri 2024-01-12
    weights = one_row("A", [-1.0], market.index[0])
    res = korvel.backtest(weights, market, borrow_fee=fee)
    # Shorted at Tuesday's close, held at a constant value of 1 to Friday of the next week: 10 days at
    # 3.6% a year act/360 are 0.001 of the capital.
    trade = res.trades.iloc[0]
    assert trade["borrow"] == pytest.approx(0.036 * 10 / 360, rel=1e-12)
    assert res.equity.iloc[-1] == pytest.approx(1.0 - 0.001, rel=1e-12)
    assert res.stats()["borrow_paid"] == pytest.approx(0.001, rel=1e-12)


def test_nan_borrow_fees_take_the_default_and_longs_pay_none():
    market = flat_market(10, columns=("A", "B"))
    weights = one_row("AB", [0.5, -0.5], market.index[0])
    fee = pd.DataFrame({"A": [0.5], "B": [np.nan]}, index=pd.DatetimeIndex(["2023-12-01"]))
    res = korvel.backtest(weights, market, borrow_fee=fee, borrow_fee_default=0.072)
    borrow = res.trades.set_index("instrument")["borrow"]
    assert borrow["A"] == 0.0
    assert borrow["B"] == pytest.approx(0.5 * 0.072 * 10 / 360, rel=1e-12)


# --------------------------------------------------------------------------- slippage


def test_slippage_on_a_touched_stop_slips_from_its_level():
    close = flat_market(6)
    low = close.copy()
    low.iloc[3] = 85.0
    market = korvel.Market(close, open=close, high=close * 1.01, low=low)
    res = korvel.backtest(one_row("A", [1.0], close.index[0]), market, stop_loss=0.1, touched_exit=True, slippage=0.01)
    trade = res.trades.iloc[0]
    assert trade["entry_price"] == pytest.approx(100 * 1.01, rel=1e-15)
    assert trade["exit_price"] == pytest.approx(90 * 0.99, rel=1e-15)  # the stop level, less the slippage
    assert trade["exit_reason"] == "stop_loss"
    held = 1 / 1.01  # a buy of 1 gets 1 / (100 x 1.01) shares
    assert res.equity.iloc[-1] == pytest.approx(held * 0.9 * 0.99, rel=1e-12)
    assert trade["slippage"] == pytest.approx((1 - held) + held * 0.9 * 0.01, rel=1e-12)
    assert trade["return"] == pytest.approx(89.1 / 101 - 1, rel=1e-12)
    assert trade["fees"] == 0.0 and res.stats()["slippage_paid"] == pytest.approx(trade["slippage"], rel=1e-15)


@settings(max_examples=40, deadline=None)
@given(
    seed=st.integers(0, 2**31),
    rows=st.integers(5, 60),
    s=st.floats(0.0, 0.05),
    exits=st.lists(st.integers(2, 59), max_size=3),
)
@pytest.mark.filterwarnings("ignore:slippage=.* rates are fractions:korvel.KorvelWarning")  # up to 5%, on purpose
def test_with_slippage_alone_the_trades_compound_to_the_equity(seed, rows, s, exits):
    rng = np.random.default_rng(seed)
    market = closes(100 * np.exp(np.cumsum(rng.normal(0, 0.02, (rows, 1)), axis=0)), columns=["A"])
    # Full weight, out and back in on the given rows: each trade a round trip through the slippage.
    weight = np.ones(rows)
    weight[[e for e in exits if e < rows - 1]] = 0.0
    weights = pd.DataFrame({"A": weight}, index=market.index)
    res = korvel.backtest(weights, market, slippage=s)
    compounded = float(np.prod(1.0 + res.trades["return"].to_numpy()))
    assert compounded == pytest.approx(res.equity.iloc[-1], rel=1e-10)


@pytest.mark.parametrize("slippage", [-0.001, 1.0, 2])
def test_slippage_is_a_fraction_of_the_price(slippage):
    market = flat_market(3)
    with pytest.raises(ValueError, match="slippage"):
        korvel.backtest(one_row("A", [1.0], market.index[0]), market, slippage=slippage)


# --------------------------------------------------------------------------- bands


@pytest.mark.parametrize(
    "band, band_rel, traded_rows",
    [
        (0.05, 0.0, [1, 3, 4]),  # 0.50 -> 0.52 within 0.05 is skipped; 0.50 -> 0.70 trades; 0 closes
        (0.0, 0.1, [1, 3, 4]),  # 10% of 0.52 is 0.052: the same
        (0.01, 0.0, [1, 2, 3, 4]),  # 0.02 is outside a band of 0.01: every resize trades
        (0.0, 0.0, [1, 2, 3, 4]),  # off
        (0.3, 0.0, [1, 4]),  # the open trades (0.5 > 0.3), no resize does, the close to 0 always trades
    ],
)
def test_a_band_skips_one_resize_and_not_another(band, band_rel, traded_rows):
    market = flat_market(7)
    weights = pd.DataFrame({"A": [0.5, 0.52, 0.7, 0.0]}, index=market.index[:4])
    res = korvel.backtest(weights, market, band=band, band_rel=band_rel, split_at_rebalance=True)
    traded = np.flatnonzero(res._run.records.row_traded)
    assert traded.tolist() == traded_rows
    # A skipped resize does not split the trade: a record per trading rebalance.
    assert len(res.trades) == len(traded_rows) - 1


def test_a_change_of_side_always_trades_and_a_new_holding_needs_more_than_the_band():
    market = flat_market(7, columns=("A", "B"))
    weights = pd.DataFrame({"A": [0.2, -0.2, -0.15], "B": [0.04, 0.04, 0.3]}, index=market.index[:3])
    res = korvel.backtest(weights, market, band=0.1)
    trades = res.trades
    a, b = trades[trades["instrument"] == "A"], trades[trades["instrument"] == "B"]
    # A: long 0.2, then the flip to short however near; -0.2 -> -0.15 is within the band.
    assert a["side"].tolist() == ["long", "short"] and a["weight"].tolist() == [0.2, -0.2]
    # B: 0.04 is within the band of 0.1 from nothing, 0.3 is not.
    assert b["entry_date"].tolist() == [market.index[3]] and b["weight"].tolist() == [0.3]


# --------------------------------------------------------------------------- ruin


def test_ruin_closes_everything_on_the_next_row_and_keeps_the_equity():
    prices = np.repeat([[100.0], [100.0], [80.0], [50.0], [40.0], [60.0], [70.0]], 2, axis=1)
    market = closes(prices, columns=["A", "B"])
    with pytest.warns(korvel.KorvelWarning, match=r"ruin: the portfolio value fell to 0 at the close of 2024-01-04"):
        res = korvel.backtest(one_row("AB", [1.0, 1.0], market.index[0]), market, max_gross=2.0)
    equity = res.equity.to_numpy()
    # 2x long from 100 with cash -1: 0.6 at 80, 0 at 50; closed at 40 the next row: -0.2, and there it stays.
    np.testing.assert_allclose(equity[:4], [1.0, 1.0, 0.6, 0.0], atol=1e-15)
    np.testing.assert_allclose(equity[4:], -0.2, rtol=1e-12)
    assert not np.isnan(equity).any()
    assert (res.trades["exit_reason"] == "ruin").all() and (res.trades["exit_price"] == 40.0).all()
    assert res.stats()["exits_ruin"] == 2


# --------------------------------------------------------------------------- defaults


@QUIET
def test_every_money_rule_at_its_default_is_the_run_of_before():
    _, _, market, weights = market_and_weights(n=12, days=160, seed=3)
    base = korvel.backtest(weights, market, fee=0.001, tax=0.002, stop_loss=0.05)
    explicit = korvel.backtest(
        weights,
        market,
        fee=0.001,
        tax=0.002,
        stop_loss=0.05,
        max_gross=1.0,
        cash_rate=0.0,
        margin_rate=None,
        borrow_fee=0.0,
        slippage=0.0,
        band=0.0,
        band_rel=0.0,
    )
    assert base.equity.to_numpy().tobytes() == explicit.equity.to_numpy().tobytes()
    assert (base._run.records.slippage == 0).all() and (base._run.records.borrow == 0).all()
    assert (base._run.records.row_financing == 0).all()
    stats = base.stats()
    assert stats["slippage_paid"] == stats["borrow_paid"] == stats["financing"] == 0.0


# --------------------------------------------------------------------------- what a user reads


@pytest.mark.parametrize(
    "rules, action_b, target_b",
    [
        (dict(max_gross=2.0), "hold, resize to target", -0.98),  # targets as scaled: not renormalised to 1
        (dict(max_gross=2.0, band=0.05), "hold (within band)", -0.98),
        (dict(max_gross=2.0, band_rel=0.01), "hold, resize to target", -0.98),  # 1% of 0.98 < 0.02
    ],
)
def test_actions_show_targets_as_run_and_holds_within_the_band(rules, action_b, target_b):
    market = pd.DataFrame(
        {"A": np.full(6, 100.0), "B": np.full(6, 50.0)}, index=pd.bdate_range("2024-01-01", periods=6)
    )
    weights = pd.DataFrame({"A": [1.0, 1.0], "B": [-1.0, -0.98]}, index=market.index[[0, -1]])
    actions = korvel.backtest(weights, market, **rules).actions
    assert actions.loc["A", "target"] == 1.0 and actions.loc["A", "weight"] == 1.0
    assert actions.loc["B", "target"] == target_b and actions.loc["B", "action"] == action_b


def test_the_summary_shows_each_kind_of_cost():
    market = flat_market(10, columns=("A", "B"))
    weights = one_row("AB", [1.0, -1.0], market.index[0])
    res = korvel.backtest(weights, market, max_gross=2.0, slippage=0.001, borrow_fee=0.02, cash_rate=0.03, fee=0.001)
    text = res.summary()
    stats = res.stats()
    for label, key in [("Slippage / borrow paid", "slippage_paid"), ("Financing (interest)", "financing")]:
        assert f"{label}" in text and f"{100 * stats[key]:.2f}%" in text
    paid = stats["fees_paid"] + stats["taxes_paid"] + stats["slippage_paid"] + stats["borrow_paid"] + stats["financing"]
    years = (res.equity.index[-1] - res.equity.index[0]).days / 365.25
    assert stats["cost_drag"] == pytest.approx(paid / res.equity.mean() / years, rel=1e-12)


@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("band, stopped", [(0.05, True), (0.0, False)])
def test_a_resize_the_band_skips_keeps_the_trade_s_stops(touched, band, stopped):
    # Long from 100 with a 10% stop; the resize at 95 (0.487 -> 0.52) is within a band of 0.05. Split at
    # every rebalance, a traded resize measures the stop from 95 (85.5): 88 does not reach it.
    prices = np.array([100.0, 100.0, 97.0, 95.0, 92.0, 88.0, 88.0, 88.0])
    close = closes(prices[:, None], columns=["A"])
    market = korvel.Market(close, open=close, high=close, low=close)
    weights = pd.DataFrame({"A": [0.5, 0.52]}, index=close.index[[0, 2]])
    res = korvel.backtest(
        weights, market, stop_loss=0.1, band=band, split_at_rebalance=True, touched_exit=touched, trade_at="close"
    )
    reasons = res.trades["exit_reason"].tolist()
    assert ("stop_loss" in reasons) == stopped


@pytest.mark.parametrize("low_close, stopped", [(90.5, False), (89.5, True)])
def test_close_based_stops_measure_from_the_quoted_entry_as_touched_ones_do(low_close, stopped):
    # Entered at a quote of 100 (filled at 101 with 1% slippage): the 10% stop is at a close of 90.
    close = closes(np.array([100.0, 100.0, 95.0, low_close, low_close, low_close])[:, None], columns=["A"])
    res = korvel.backtest(one_row("A", [1.0], close.index[0]), close, stop_loss=0.1, slippage=0.01)
    trade = res.trades.iloc[0]
    assert trade["entry_price"] == pytest.approx(101.0, rel=1e-15)
    assert (trade["exit_reason"] == "stop_loss") == stopped
    if stopped:
        assert trade["exit_price"] == pytest.approx(low_close * 0.99, rel=1e-15)


@pytest.mark.parametrize("day_count", ["act/360", "act/365"])
def test_one_borrow_fee_for_all_is_the_table_by_instrument_without_the_table(day_count):
    from korvel._market import view_of
    from korvel.simulation import _money
    from korvel.simulation._rates import per_row_instrument_rates
    from korvel.simulation._rules import check_rules

    market = korvel.Market(flat_market(12, columns=("A", "B", "C")))
    view = view_of(market)
    rules = check_rules(borrow_fee=0.03, borrow_day_count=day_count)
    got = _money.borrow_rate_rows(rules, view, market.instruments, 2)
    table = per_row_instrument_rates(market.dates[2:], market.instruments, 0.03, day_count)
    assert got.shape == (12, 3) and (got[:2] == 0).all()
    assert got[2:].tobytes() == table.tobytes()
