"""Whole lots, the smallest trade, the least commission and sells before buys, by hand."""

import numpy as np
import pandas as pd
import pytest
from layer_support import closes

import korvel
from korvel.core import portsim

CLOSE = [100.0, 102.0, 99.0, 101.0, 103.0, 104.0]


def market(close=CLOSE):
    return korvel.Market(closes(np.array(close, dtype=float).reshape(len(close), -1)))


def weights(m, rows_and_weights, columns=("S0",)):
    dates = m.dates[[r for r, _ in rows_and_weights]]
    return pd.DataFrame([w if isinstance(w, list) else [w] for _, w in rows_and_weights], index=dates, columns=columns)


def run(rows_and_weights, **rules):
    m = market()
    return m, korvel.backtest(weights(m, rows_and_weights), m, trade_at="close", **rules)


@pytest.mark.parametrize(("capital", "lot", "shares"), [(10_000, 10, 90), (10_000, 1, 97), (50_000, 25, 475)])
def test_a_target_is_rounded_toward_zero_to_whole_lots(capital, lot, shares):
    m, res = run([(3, 1.0)], capital=capital, lot=lot, fee=0.001)
    bought = shares * 103 / capital  # whole lots at the trade row's price, in units of the capital
    # The buy holds every share; its commission is paid from cash.
    cash = 1.0 - bought - 0.001 * bought
    assert res.equity[m.dates[4]] == pytest.approx(cash + bought, rel=1e-13)
    assert res.equity[m.dates[5]] == pytest.approx(cash + shares * 104 / capital, rel=1e-13)
    assert res.actions.loc["S0", "shares_now"] == pytest.approx(shares, rel=1e-12)


def test_a_full_exit_sells_every_share():
    m, res = run([(3, 1.0), (4, 0.0)], capital=10_000, lot=10)
    cash = 1.0 - 90 * 103 / 10_000
    assert res.equity[m.dates[5]] == pytest.approx(cash + 90 * 104 / 10_000, rel=1e-13)
    assert res.trades["exit_date"].iloc[0] == m.dates[5]
    assert res.actions.empty or not res.actions["shares_now"].any()


@pytest.mark.filterwarnings("ignore:no trade at all:korvel.KorvelWarning")  # the lot or min_trade leaves nothing
def test_an_allocation_below_one_lot_warns_naming_the_date_and_instrument():
    with pytest.warns(korvel.KorvelWarning, match=r"lot: 1 target too small for one lot \('S0'\).*2024-01-05"):
        m, res = run([(3, 1.0)], capital=1_000, lot=100)
    assert len(res.trades) == 0 and (res.equity == 1.0).all()


def test_lots_by_instrument_and_adjusted_prices_with_their_factor():
    m = market([[100.0, 50.0]] * 6)
    w = weights(m, [(3, [0.5, 0.5])], columns=["S0", "S1"])
    # Adjusted prices with a factor of 2 for S0: its raw price is 50, so 10_000 x 0.5 buys 100 raw shares.
    res = korvel.backtest(
        w, m, trade_at="close", capital=10_000, lot=pd.Series({"S0": 30.0}), factor=pd.Series({"S0": 2.0})
    )
    orders = res.actions
    value = 0.5 * 10_000
    held_s0 = 90 * 50 / 10_000  # 3 lots of 30 raw shares at the raw price 50
    assert res.equity.iloc[-1] == pytest.approx(1.0, rel=1e-13)
    assert orders.loc["S0", "shares_now"] == pytest.approx(90, rel=1e-12)
    assert orders.loc["S1", "shares_now"] == pytest.approx(value / 50, rel=1e-12)  # S1 fractional
    assert res.trades["weight"].iloc[0] == pytest.approx(held_s0, rel=1e-12)


@pytest.mark.parametrize(
    ("fee", "fee_min", "paid"),
    [(0.001, 5.0, 5.0), (0.001, 0.5, 1.0), (0.01, 5.0, 10.0)],
)
def test_the_commission_is_at_least_fee_min(fee, fee_min, paid):
    m, res = run([(3, 1.0)], capital=1_000, fee=fee, fee_min=fee_min)
    assert res.trades["fees"].iloc[0] == pytest.approx(paid / 1_000, rel=1e-12)
    assert res.equity[m.dates[4]] == pytest.approx(1.0 - paid / 1_000, rel=1e-12)  # out of the holding


@pytest.mark.parametrize(("min_trade", "trades"), [(200.0, False), (50.0, True)])
def test_trades_below_min_trade_are_skipped(min_trade, trades):
    # A resize from 1.0 to 0.99 of about 10_000: a trade of about 100.
    m, res = run([(3, 1.0), (4, 0.99)], capital=10_000, min_trade=min_trade)
    held = 104 / 103  # the whole capital, drifted to row 5's close
    if trades:
        assert res.equity[m.dates[5]] == pytest.approx(held, rel=1e-13)  # no cost: the same value
        assert res.stats()["turnover"] > korvel.backtest(*_same(m), capital=10_000, min_trade=200.0).stats()["turnover"]
    else:
        assert res.equity[m.dates[5]] == pytest.approx(held, rel=1e-13)
        assert res.stats()["turnover"] == korvel.backtest(*_same(m, [(3, 1.0)]), capital=10_000).stats()["turnover"]


def _same(m, rows=((3, 1.0), (4, 0.99))):
    return weights(m, list(rows)), m


@pytest.mark.filterwarnings("ignore:no trade at all:korvel.KorvelWarning")  # the lot or min_trade leaves nothing
def test_a_close_is_never_skipped_by_min_trade():
    m, res = run([(3, 0.001), (4, 0.0)], capital=10_000, min_trade=1e6)
    assert len(res.trades) == 0  # the entry of 10 is skipped too: never held, nothing to close
    m, res = run([(3, 1.0), (4, 0.0)], capital=10_000, min_trade=1e9)
    assert len(res.trades) == 0
    m, res = run([(3, 1.0), (4, 0.0)], capital=10_000, min_trade=5_000)
    assert res.trades["exit_date"].iloc[0] == m.dates[5]


def test_sells_run_before_buys():
    m = market([[10.0, 20.0]] * 6)
    w = weights(m, [(2, [0.4, 0.6]), (3, [0.6, 0.0])], columns=["S0", "S1"])
    plain = korvel.backtest(w, m, trade_at="close", split_at_rebalance=True, capital=1e4)
    sells_first = korvel.backtest(w, m, trade_at="close", split_at_rebalance=True, capital=1e4, lot=1)
    # In column order S0's resize (its record split) comes before S1's exit; sells first, S1's exit comes first.
    assert plain.trades["instrument"].tolist()[:2] == ["S0", "S1"]
    assert sells_first.trades["instrument"].tolist()[:2] == ["S1", "S0"]


def test_the_engine_rounds_to_its_lot_values_and_refuses_another_shape():
    from backtest_helpers import tables

    args = tables([[10.0], [10.0], [11.0]], {0: [1.0]})
    equity, ledger, _ = portsim.backtest_ledger(
        *args, fee_ratio=0.0, tax_ratio=0.0, lot_values=np.full((3, 1), 0.3), sells_first=True
    )
    assert equity[1] == pytest.approx(1.0) and equity[2] == pytest.approx(0.1 + 0.9 * 1.1)
    with pytest.raises(ValueError, match=r"lot_values is 2 x 1, not price rows x weight columns \(3 x 1\)"):
        portsim.backtest_ledger(*args, lot_values=np.zeros((2, 1)))
    with pytest.raises(ValueError, match="min_trade and fee_min must be finite and 0 or more"):
        portsim.backtest_ledger(*args, min_trade=-1.0)


@pytest.mark.parametrize(
    ("rules", "match"),
    [
        ({"lot": 10}, "lot needs capital"),
        ({"min_trade": 10.0}, "min_trade needs capital"),
        ({"fee_min": 1.0}, "fee_min needs capital"),
        ({"capital": 1e4, "lot": 0}, "lot must be above 0"),
        ({"capital": 1e4, "lot": pd.Series({"S0": -1.0})}, "lot must hold positive finite numbers"),
        ({"capital": 1e4, "lot": pd.Series({"X": 1.0})}, "lot: 1 instrument not in the market: 'X'"),
        ({"capital": 1e4, "min_trade": -1.0}, "min_trade must be 0 or more"),
    ],
)
def test_the_lot_rules_are_checked_naming_the_rule(rules, match):
    m = market()
    with pytest.raises((TypeError, ValueError), match=match):
        korvel.backtest(weights(m, [(3, 1.0)]), m, **rules)


@pytest.mark.parametrize("rules", [{"min_trade": 0.0, "fee_min": 0.0}, {"lot": None, "factor": 2.0}])
def test_the_lot_rules_at_their_defaults_are_todays_run_bit_for_bit(rules):
    m = market()
    w = weights(m, [(1, 1.0), (3, 0.5), (4, 0.0)])
    plain = korvel.backtest(w, m, fee=0.001)
    given = korvel.backtest(w, m, fee=0.001, capital=1e6, **rules)
    assert plain.equity.to_numpy().tobytes() == given.equity.to_numpy().tobytes()
