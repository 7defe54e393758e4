"""The stops of korvel.backtest: each belongs to its own trade, in the order of
the trading day (hand markets whose exits can be read off), every stop exit
warranted by its own trade over random runs, the ledger run the layer makes,
and the excursion window's bound."""

import itertools
import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import closes, market_and_weights

import korvel
from korvel import synthetic
from korvel.core import portsim


def trades_of(res):
    t = res.trades
    return [
        (
            str(r.instrument),
            str(r.entry_date.date()),
            None if pd.isna(r.exit_date) else str(r.exit_date.date()),
            r.side,
            r.exit_reason,
        )
        for r in t.itertuples()
    ]


# Business days from Mon 2024-01-01: row k is the k-th business day.
DAYS = pd.bdate_range("2024-01-01", periods=8)


def day(k):
    return str(DAYS[k].date())


@pytest.mark.parametrize(
    "close, opens, weights, rules, expected",
    [
        # Long from row 1 (100), stopped by row 2's close (85) and flipped short
        # at that close: the short is its own trade and is never stopped.
        (
            [100, 100, 85, 86, 86],
            None,
            {0: 1.0, 1: -1.0},
            dict(trade_at="close", stop_loss=0.1),
            [("S0", day(1), day(2), "long", "rebalance"), ("S0", day(2), None, "short", "open")],
        ),
        # Stopped on row 2's close, row 3 rebalances keeping the holding: sold on row 3, bought back there.
        (
            [100, 100, 85, 85, 85, 85],
            None,
            {0: 1.0, 2: 1.0},
            dict(trade_at="close", stop_loss=0.1, stop_trading_next_period=False),
            [("S0", day(1), day(3), "long", "stop_loss"), ("S0", day(3), None, "long", "open")],
        ),
        # Entered at row 1's open (100), row 1 closes at 85: sold at row 2's open.
        (
            [100, 85, 95, 95, 95],
            [100, 100, 90, 95, 95],
            {0: 1.0},
            dict(stop_loss=0.1),
            [("S0", day(1), day(2), "long", "stop_loss")],
        ),
        # A close exactly at the stop level (75 = 100 x 0.75) stops.
        (
            [100, 100, 75, 80, 80],
            None,
            {0: 1.0},
            dict(trade_at="close", stop_loss=0.25),
            [("S0", day(1), day(3), "long", "stop_loss")],
        ),
    ],
    ids=["flip", "weight-date", "open-entry-close", "at-the-level"],
)
def test_hand_markets_exit_where_their_own_trade_says(close, opens, weights, rules, expected):
    close_frame = closes(np.array(close, dtype=float)[:, None])
    market = korvel.Market(close_frame, open=None if opens is None else closes(np.array(opens, dtype=float)[:, None]))
    w = pd.DataFrame({"S0": list(weights.values())}, index=close_frame.index[list(weights)])
    res = korvel.backtest(w, market, **rules)
    assert trades_of(res) == expected


def through(ratio, side, rules):
    """The close-based stop reason a close over the entry price raises (no trailing stop)."""
    tol = 1e-12
    if side == "long":
        if ratio >= (1 + rules["take_profit"]) * (1 - tol):
            return "take_profit"
        if ratio <= (1 - rules["stop_loss"]) * (1 + tol):
            return "stop_loss"
    else:
        if ratio >= (1 + rules["stop_loss"]) * (1 - tol):
            return "stop_loss"
        if ratio <= (1 - rules["take_profit"]) * (1 + tol):
            return "take_profit"
    return None


@pytest.mark.parametrize(
    "trade_at, split, stop_trading", list(itertools.product(["open", "close"], [False, True], [True, False]))
)
def test_every_stop_exit_of_a_backtest_is_warranted_by_its_own_trade(trade_at, split, stop_trading):
    rules = dict(stop_loss=0.03, take_profit=0.05)
    _, _, market, weights = market_and_weights(12, 200, 7, rebalance="weekly", n_long=3, n_short=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = korvel.backtest(
            weights, market, trade_at=trade_at, split_at_rebalance=split, stop_trading_next_period=stop_trading, **rules
        )
    t = res.trades
    stopped = t[t["exit_reason"].astype(str).isin(["stop_loss", "take_profit"])]
    assert set(stopped["side"]) == {"long", "short"}
    close = market.close
    rows = pd.Index(market.dates)
    for r in stopped.itertuples():
        before = close.iloc[rows.get_loc(r.exit_date) - 1][r.instrument]
        assert through(before / r.entry_price, r.side, rules) == str(r.exit_reason), r


@pytest.mark.parametrize("trade_at", ["open", "close"])
@pytest.mark.parametrize("trail_from", ["entry", "peak"])
def test_the_layer_runs_the_ledger_with_its_own_stops(trade_at, trail_from):
    generated, rows, market, weights = market_and_weights(delisting_fraction=0.3)
    rules = dict(stop_loss=0.04, take_profit=0.1, trail_stop=0.05, trade_at=trade_at, trail_from=trail_from)
    res = korvel.backtest(weights, market, **rules)
    args = synthetic.backtest_inputs(generated, rows)
    if trade_at == "close":
        args["price_values"] = args["close_values"]
    engine = dict(res.config["engine"], own_trade_stops=True, trade_at=trade_at, trail_from=trail_from)
    equity, ledger, _ = portsim.backtest_ledger(**args, **engine)
    first = int(np.searchsorted(generated.price_index, rows.pos_index[0]))
    np.testing.assert_array_equal(res.equity.to_numpy(), equity[first:])
    assert len(res.trades) == len(ledger["sid"])
    assert res.config["engine"]["own_trade_stops"] is True and res.config["trail_from"] == trail_from


@pytest.mark.parametrize("window, ok", [(30, True), (31, False), (10**6, False)])
def test_an_excursion_window_beyond_the_market_is_refused(window, ok):
    close = closes(np.linspace(10, 12, 30)[:, None])
    w = pd.DataFrame({"S0": [1.0]}, index=close.index[:1])
    if ok:
        assert korvel.backtest(w, close, excursion_window=window).trade_profile["offset"].max() <= 29
    else:
        with pytest.raises(ValueError, match=rf"excursion_window={window} is longer than the market \(30 rows\)"):
            korvel.backtest(w, close, excursion_window=window)


@pytest.mark.parametrize("opens, engine_trade_at", [(False, "close"), (True, "open")])
def test_the_engine_is_told_when_the_trades_are_made(opens, engine_trade_at):
    close = closes(np.linspace(10, 12, 6)[:, None])
    market = korvel.Market(close, open=close * 1.0 if opens else None)
    res = korvel.backtest(pd.DataFrame({"S0": [1.0]}, index=close.index[:1]), market, trade_at="open")
    assert res.config["engine"]["trade_at"] == engine_trade_at
