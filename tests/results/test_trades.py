"""Trades that add up: records that compound to the equity, one trade per holding, flips, fills, reasons and costs."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import closes

import korvel

STOPS = (
    {},
    {"stop_loss": 0.03},
    {"take_profit": 0.04},
    {"trail_stop": 0.03},
    {"stop_loss": 0.02, "take_profit": 0.05, "trail_stop": 0.025, "trail_activation": 0.01},
)


def ohlc(rows, seed, instruments=1, volatility=0.02):
    """A synthetic daily market with opens that gap and highs / lows around them (no missing price)."""
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, volatility, (rows, instruments)), axis=0))
    previous = np.vstack([close[:1], close[:-1]])
    open_ = previous * np.exp(rng.normal(0, volatility / 2, close.shape))
    high = np.maximum(open_, close) * (1 + rng.uniform(0, volatility, close.shape))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, volatility, close.shape))
    frames = [closes(t) for t in (close, open_, high, low)]
    return korvel.Market(frames[0], open=frames[1], high=frames[2], low=frames[3])


def compounded(trades):
    return float(np.prod(1.0 + trades["return"].to_numpy()))


@settings(max_examples=80, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    rows=st.integers(20, 150),
    every=st.sampled_from([1, 1, 3, 10]),
    trade_at=st.sampled_from(["open", "close"]),
    split=st.booleans(),
    stops=st.sampled_from(STOPS),
    touched=st.booleans(),
    stop_next=st.booleans(),
)
def test_one_instrument_at_full_weight_compounds_to_the_equity(
    seed, rows, every, trade_at, split, stops, touched, stop_next
):
    market = ohlc(rows, seed)
    weights = pd.DataFrame({"S0": 1.0}, index=market.dates[:-1:every])
    res = korvel.backtest(
        weights,
        market,
        trade_at=trade_at,
        split_at_rebalance=split,
        touched_exit=touched,
        stop_trading_next_period=stop_next,
        **stops,
    )
    trades = res.trades
    assert compounded(trades) == pytest.approx(res.equity.iloc[-1], rel=1e-9, abs=0)
    closed = trades["status"] == "closed"
    assert (trades["exit_reason"][closed] != "open").all() and (trades["exit_reason"][~closed] == "open").all()
    assert trades["exit_price"][closed].notna().all() and trades["exit_price"][~closed].isna().all()
    if not stops:
        assert set(trades["exit_reason"][closed]) <= {"rebalance"}
    if not split and not stops:
        assert len(trades) == 1  # one holding, one trade


@pytest.mark.parametrize("split", [False, True])
def test_buy_and_hold_written_daily_at_the_open_compounds_to_the_equity(split):
    market = ohlc(750, seed=2004, volatility=0.025)
    weights = pd.DataFrame({"S0": 1.0}, index=market.dates[:-1])
    res = korvel.backtest(weights, market, split_at_rebalance=split)
    trades = res.trades
    assert compounded(trades) == pytest.approx(res.equity.iloc[-1], rel=1e-9)
    # A trade's return runs from the open it was bought at to the open it was sold at.
    opens = market.open["S0"].to_numpy()
    entry = market.dates.get_indexer(trades["entry_date"])
    np.testing.assert_array_equal(trades["entry_price"], opens[entry])
    if split:
        assert len(trades) == 749 and (trades["exit_reason"].iloc[:-1] == "rebalance").all()
        exit_ = market.dates.get_indexer(trades["exit_date"].iloc[:-1])
        np.testing.assert_array_equal(trades["exit_price"].iloc[:-1], opens[exit_])
        np.testing.assert_allclose(
            trades["return"].iloc[:-1], opens[exit_] / opens[entry[:-1]] - 1, rtol=1e-12, atol=1e-15
        )
    else:
        assert len(trades) == 1 and trades["status"].iloc[0] == "open"


def test_a_daily_signal_is_one_trade_per_holding():
    market = ohlc(300, seed=5)
    rng = np.random.default_rng(5)
    signal = np.repeat(rng.integers(0, 2, 100), rng.integers(1, 15, 100))[:299].astype(float)
    signal[-1] = 0.0  # every holding ends inside the data
    weights = pd.DataFrame({"S0": signal}, index=market.dates[:-1])
    trades = korvel.backtest(weights, market).trades
    edges = np.diff(np.concatenate(([0.0], signal, [0.0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    assert len(trades) == len(starts) > 5
    # Bought on the row after the first 1, sold on the row after the last one.
    np.testing.assert_array_equal(trades["holding_days"], ends - starts)
    assert (trades["entry_date"] == market.dates[starts + 1]).all()
    assert (trades["exit_reason"] == "rebalance").all()


@pytest.mark.parametrize("split", [False, True])
@pytest.mark.parametrize("first", [1.0, -1.0])
def test_a_flip_is_two_trades_of_the_right_sides(split, first):
    market = ohlc(40, seed=9)
    weights = pd.DataFrame({"S0": [first, -first, 0.0]}, index=market.dates[[0, 12, 25]])
    trades = korvel.backtest(weights, market, split_at_rebalance=split).trades
    sides = ["long", "short"] if first > 0 else ["short", "long"]
    assert trades["side"].astype(str).tolist() == sides
    assert trades["exit_reason"].astype(str).tolist() == ["rebalance", "rebalance"]
    opens = market.open["S0"].to_numpy()
    assert trades["entry_date"].tolist() == list(market.dates[[1, 13]])
    assert trades["exit_date"].tolist() == list(market.dates[[13, 26]])
    np.testing.assert_array_equal(trades["entry_price"], opens[[1, 13]])
    np.testing.assert_array_equal(trades["exit_price"], opens[[13, 26]])
    move = opens[[13, 26]] / opens[[1, 13]] - 1
    np.testing.assert_allclose(trades["return"], np.where(trades["side"] == "long", move, -move), rtol=1e-12)


def test_a_touched_stop_fills_at_its_level_and_says_which_stop():
    # The price falls 1 % a day from 100; the stop at 5 % below the entry is touched on the sixth row.
    close = 100 * 0.99 ** np.arange(12.0)
    market = korvel.Market(closes(close[:, None]), open=closes(close[:, None]), low=closes(close[:, None] * 0.995))
    weights = pd.DataFrame({"S0": [1.0]}, index=market.dates[:1])
    res = korvel.backtest(weights, market, trade_at="close", stop_loss=0.05, touched_exit=True)
    trade = res.trades.iloc[0]
    assert trade["exit_reason"] == "stop_loss" and trade["entry_price"] == close[1]
    assert trade["exit_price"] == pytest.approx(close[1] * 0.95)
    assert res.stats()["exits_stop_loss"] == 1 and res.stats()["exits_rebalance"] == 0


def test_costs_and_turnover_add_up():
    # Flat prices: the equity falls by exactly what the trades paid.
    market = korvel.Market(closes(np.full((260, 2), 50.0)))
    weights = pd.DataFrame({"S0": [0.5, 0.2, 0.0], "S1": [0.5, 0.8, 0.0]}, index=market.dates[[0, 100, 200]])
    res = korvel.backtest(weights, market, fee=0.001, tax=0.003)
    stats, trades, equity = res.stats(), res.trades, res.equity
    assert len(trades) == 2  # resizes keep each holding one trade ...
    assert (trades["fees"] > 0).all() and (trades["taxes"] > 0).all()  # ... and it pays for them
    assert stats["fees_paid"] == pytest.approx(trades["fees"].sum(), rel=1e-12)
    assert stats["taxes_paid"] == pytest.approx(trades["taxes"].sum(), rel=1e-12)
    assert stats["fees_paid"] + stats["taxes_paid"] == pytest.approx(1.0 - equity.iloc[-1], rel=1e-9)
    years = (equity.index[-1] - equity.index[0]).days / 365.25
    assert stats["cost_drag"] == pytest.approx((1.0 - equity.iloc[-1]) / equity.mean() / years, rel=1e-9)
    # Traded: 1.0 in, 0.3 + 0.3 at the resize, everything out; each over the value before it, halved.
    before = equity.to_numpy()[[0, 100, 200]]
    out = equity.iloc[200]  # what is sold at the end is what the portfolio holds then (less its costs)
    traded = 1.0 / before[0] + 0.6 * equity.iloc[100] / before[1] + out / before[2]
    assert stats["turnover"] == pytest.approx(traded / 2 / years, rel=1e-3)


def test_no_trades_no_costs():
    market = korvel.Market(closes(np.full((30, 1), 10.0)))
    with pytest.warns(korvel.KorvelWarning, match="no trade at all"):
        res = korvel.backtest(pd.DataFrame({"S0": [0.0]}, index=market.dates[:1]), market)
    stats = res.stats()
    assert stats["turnover"] == 0 and stats["fees_paid"] == 0 and stats["cost_drag"] == 0
    assert all(stats[k] == 0 for k in stats.index if k.startswith("exits_"))
    assert "0 rebalance, 0 stop loss, 0 take profit" in res.summary()


def test_the_trades_docstring_names_every_column_in_order():
    # The docstring is made from the columns' declarations: a column added to the table without one
    # (or one declared in the wrong place) shows here.
    market = ohlc(8, 1)
    w = pd.DataFrame(1.0, index=market.dates[:3], columns=market.instruments)
    res = korvel.backtest(w, market, trade_at="close")
    documented = [line.split("`")[1] for line in korvel.Result.trades.__doc__.splitlines() if line.startswith("- `")]
    assert documented == list(res.trades.columns)
