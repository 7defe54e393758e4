"""Participation caps: an entry spread over rows and carried in shares, a drop, a replacement, by hand; and
the property that no fill exceeds its cap and every capped order is filled or listed as not done."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from layer_support import closes

import korvel

CLOSE = [100.0, 100.0, 100.0, 100.0, 100.0, 110.0, 120.0, 125.0]
CAPITAL = 1e6  # a weight of 1.0 buys 10_000 shares at 100


def market(close=CLOSE, volume=4000.0):
    frame = closes(np.array(close)[:, None])
    shares = pd.DataFrame(np.full(frame.shape, volume), index=frame.index, columns=frame.columns)
    return korvel.Market(frame, volume=shares)


def run(rows_and_weights, **rules):
    m = market()
    w = pd.DataFrame(
        [[x] for _, x in rows_and_weights], index=m.dates[[r for r, _ in rows_and_weights]], columns=["S0"]
    )
    return m, korvel.backtest(w, m, trade_at="close", capital=CAPITAL, participation=1.0, **rules)


def test_a_cap_spreads_an_entry_over_three_rows_at_their_prices():
    # 10_000 shares ordered, at most 4_000 (the ADV) a fill: 4_000 at 100, 4_000 at 110, 2_000 at 120.
    m, res = run([(3, 1.0)])
    cash = 1.0 - (4000 * 100 + 4000 * 110 + 2000 * 120) / CAPITAL
    assert res.equity[m.dates[7]] == pytest.approx(cash + 10_000 * 125 / CAPITAL, rel=1e-13)
    assert res.equity[m.dates[4]] == pytest.approx(1.0, rel=1e-13)  # the cash of the unfilled buy stays cash
    trade = res.trades.iloc[0]
    assert trade["fill_rows"] == 3 and trade["filled_fraction"] == pytest.approx(1.0, rel=1e-13)
    np.testing.assert_allclose(res.capacity()["shares"], [4000, 4000, 2000], rtol=1e-12)
    assert res.unfilled.empty and res.stats()["unfilled_value"] == 0.0


def test_the_rest_of_a_capped_order_is_dropped():
    m, res = run([(3, 1.0)], unfilled="drop")
    assert res.equity[m.dates[7]] == pytest.approx(0.6 + 4000 * 125 / CAPITAL, rel=1e-13)
    trade = res.trades.iloc[0]
    assert trade["fill_rows"] == 1 and trade["filled_fraction"] == pytest.approx(0.4, rel=1e-13)
    undone = res.unfilled
    assert undone["date"].tolist() == [m.dates[4]] and undone["instrument"].tolist() == ["S0"]
    assert undone["shares"].iloc[0] == pytest.approx(6000, rel=1e-12)
    assert undone["value"].iloc[0] == pytest.approx(6000 * 100, rel=1e-12)
    assert res.stats()["unfilled_value"] == pytest.approx(0.6, rel=1e-12)


def test_a_carried_order_is_replaced_by_the_next_weight_row():
    # 4_000 bought on row 4; row 5's weight row (0) replaces the 6_000 still due and sells the 4_000 held.
    m, res = run([(3, 1.0), (4, 0.0)])
    undone = res.unfilled
    assert undone["date"].tolist() == [m.dates[5]] and undone["shares"].iloc[0] == pytest.approx(6000, rel=1e-12)
    assert res.equity[m.dates[7]] == pytest.approx(0.6 + 4000 * 110 / CAPITAL, rel=1e-13)
    assert res.trades["exit_date"].iloc[0] == m.dates[5]


def test_an_order_still_carried_at_the_end_is_listed():
    m, res = run([(5, 1.0)])  # 10_000 / 110 x 100 shares from row 6 on: 4_000 at 120, the rest at 125
    ordered = CAPITAL / 120
    undone = res.unfilled
    assert undone["date"].tolist() == [m.dates[7]]
    assert undone["shares"].iloc[0] == pytest.approx(ordered - 8000, rel=1e-12)


@pytest.mark.parametrize(
    ("rules", "match"),
    [
        ({"participation": 0.1}, "participation needs capital"),
        ({"participation": -1, "capital": 1.0}, "participation must be above 0"),
        ({"participation": 0.1, "capital": 1.0, "participation_on": "row"}, "participation_on='row' needs trade_at"),
        ({"unfilled": "keep"}, "unfilled must be 'carry' or 'drop'"),
    ],
)
def test_participation_rules_are_checked(rules, match):
    m = market()
    w = pd.DataFrame([[1.0]], index=m.dates[[3]], columns=["S0"])
    with pytest.raises(ValueError, match=match):
        korvel.backtest(w, m, **rules)


def test_participation_on_the_rows_own_volume():
    m = market()
    volume = m.volume.copy()
    volume.iloc[4] = 2000.0  # the fill row's own volume, not the ADV before it
    m = korvel.Market(m.close, volume=volume)
    w = pd.DataFrame([[1.0]], index=m.dates[[3]], columns=["S0"])
    res = korvel.backtest(w, m, trade_at="close", capital=CAPITAL, participation=1.0, participation_on="row")
    assert res.capacity()["shares"].iloc[0] == pytest.approx(2000, rel=1e-12)


# A stop exit of 10_000 shares at most 4_000 a row (participation 0.5 of an ADV of 8_000 over impact_window=2
# rows): the stop-loss of 5% fires on row 5's close (90) and sells on rows 6, 7 and 8 at 80, 78 and 76.
STOP_CLOSE = [100.0, 100.0, 100.0, 100.0, 100.0, 90.0, 80.0, 78.0, 76.0, 76.0]


def stop_market(**tables):
    frame = closes(np.array(STOP_CLOSE)[:, None])
    volume = np.full(frame.shape, 8000.0)
    volume[:3] = 1e6  # the entry on row 3 fits its cap
    other = {
        name: pd.DataFrame(np.array(v)[:, None], index=frame.index, columns=frame.columns) for name, v in tables.items()
    }
    return korvel.Market(frame, volume=pd.DataFrame(volume, index=frame.index, columns=frame.columns), **other)


def stop_run(weight_rows=(2,), market=None, **rules):
    m = market or stop_market()
    w = pd.DataFrame([[1.0]] * len(weight_rows), index=m.dates[list(weight_rows)], columns=["S0"])
    rules = {
        "trade_at": "close",
        "capital": CAPITAL,
        "participation": 0.5,
        "impact_window": 2,
        "stop_loss": 0.05,
    } | rules
    return m, korvel.backtest(w, m, **rules)


@pytest.mark.parametrize(
    ("weight_rows", "rules"),
    [
        ((2,), {}),
        ((2,), {"unfilled": "drop"}),  # a stop exit is always carried
        ((2, 6), {"stop_trading_next_period": False}),  # the weight row of row 7 leaves the exit alone
    ],
)
def test_a_stop_exit_is_capped_and_carried_over_three_rows(weight_rows, rules):
    m, res = stop_run(weight_rows, **rules)
    # Row 6 sells 4_000 at 80, row 7 4_000 at 78, row 8 the last 2_000 at 76.
    expected = [1.0, 1.0, 1.0, 0.9, 0.32 + 0.6 * 0.8, 0.32 + 0.312 + 0.2 * 0.78, 0.784, 0.784]
    np.testing.assert_allclose(res.equity.to_numpy(), expected, rtol=1e-13)
    np.testing.assert_allclose(res.capacity()["shares"], [10_000, 4000, 4000, 2000], rtol=1e-12)
    (trade,) = res.trades.itertuples()
    assert trade.exit_reason == "stop_loss" and trade.exit_date == m.dates[8] and trade.fill_rows == 3
    assert trade.exit_price == pytest.approx((4000 * 80 + 4000 * 78 + 2000 * 76) / 10_000, rel=1e-13)
    assert trade.filled_fraction == 1.0
    assert res.unfilled.empty


def test_a_touched_stop_sells_its_cap_at_the_level_and_the_rest_at_the_following_prices():
    # Row 5 touches the 95 stop intraday: 4_000 shares sell at 95, the 6_000 left are worth 90 at the close.
    high = [100.0] * 5 + [97.0, 80.0, 78.0, 76.0, 76.0]
    low = [100.0] * 5 + [88.0, 80.0, 78.0, 76.0, 76.0]
    m, res = stop_run(market=stop_market(open=high, high=high, low=low), touched_exit=True)
    expected = [1.0, 1.0, 1.0, 0.38 + 0.54, 0.38 + 0.32 + 0.2 * 0.8, 0.38 + 0.32 + 0.156, 0.856, 0.856]
    np.testing.assert_allclose(res.equity.to_numpy(), expected, rtol=1e-13)
    (trade,) = res.trades.itertuples()
    assert trade.exit_reason == "stop_loss" and trade.exit_date == m.dates[7] and trade.fill_rows == 3
    assert trade.exit_price == pytest.approx((4000 * 95 + 4000 * 80 + 2000 * 78) / 10_000, rel=1e-13)


def test_a_stop_exit_still_carried_at_the_end_is_listed():
    m, res = stop_run(market=korvel.Market(stop_market().close.iloc[:8], volume=stop_market().volume.iloc[:8]))
    undone = res.unfilled
    assert undone["date"].tolist() == [m.dates[7]]
    assert undone["shares"].iloc[0] == pytest.approx(-2000, rel=1e-12)
    (trade,) = res.trades.itertuples()
    assert trade.status == "open" and trade.fill_rows == 2


def test_fills_without_a_volume_estimate_are_made_whole_and_said():
    m = stop_market()
    volume = m.volume.copy()
    volume.iloc[4:6] = np.nan  # no ADV for row 6's exit: all 10_000 shares sell there
    m = korvel.Market(m.close, volume=volume)
    with pytest.warns(
        korvel.KorvelWarning, match=r"participation: 1 fill \('S0'\) could not be capped, first on 2024-01-09"
    ):
        _, res = stop_run(market=m)
    assert res.trades["exit_date"].iloc[0] == m.dates[6] and res.trades["fill_rows"].iloc[0] == 1


def test_capped_sales_fill_before_capped_buys():
    # Row 5 sells S1's 8_000 shares and buys 8_000 of S0, 4_000 a fill: the sale fills first on rows 5 and 6.
    frame = closes(np.full((8, 2), 100.0))
    m = korvel.Market(frame, volume=pd.DataFrame(4000.0, index=frame.index, columns=frame.columns))
    w = pd.DataFrame([[0.0, 0.8], [0.8, 0.0]], index=m.dates[[2, 4]], columns=frame.columns)
    res = korvel.backtest(w, m, trade_at="close", capital=CAPITAL, participation=1.0)
    fills = res.capacity()
    assert fills["instrument"].tolist() == ["S1", "S1", "S1", "S0", "S1", "S0"]
    assert fills["date"].tolist() == list(m.dates[[3, 4, 5, 5, 6, 6]])
    np.testing.assert_allclose(res.equity.to_numpy(), 1.0, rtol=1e-13)


@st.composite
def books(draw):
    rows, names = draw(st.integers(12, 30)), draw(st.integers(1, 3))
    steps = draw(st.lists(st.floats(-0.05, 0.05), min_size=rows * names, max_size=rows * names))
    close = 50 * np.exp(np.cumsum(np.array(steps).reshape(rows, names), axis=0))
    volume = np.array(draw(st.lists(st.floats(100, 5000), min_size=rows * names, max_size=rows * names)))
    weight_rows = sorted(draw(st.sets(st.integers(2, rows - 3), min_size=1, max_size=4)))
    weights = [draw(st.lists(st.floats(0, 1 / names), min_size=names, max_size=names)) for _ in weight_rows]
    return close, volume.reshape(rows, names), weight_rows, weights, draw(st.sampled_from([0.05, 0.3, 2.0]))


def held_shares(res, close, columns):
    """The shares held after each row's trades (trading at the close), rows x instruments."""
    equity = res._run.equity
    held = np.zeros((len(close), len(columns)))
    weights = res.positions.reindex(columns=columns).to_numpy()
    held[len(close) - len(weights) :] = np.nan_to_num(weights)
    return held * equity[:, None] * CAPITAL / close


@pytest.mark.filterwarnings("ignore:no trade at all:korvel.KorvelWarning")  # random books may buy nothing
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(books(), st.sampled_from(["carry", "drop"]), st.sampled_from([None, 0.03]))
def test_no_fill_exceeds_its_cap_and_every_capped_order_is_filled_or_listed(book, unfilled, stop_loss):
    close, volume, weight_rows, weights, cap = book
    frame = closes(close)
    m = korvel.Market(frame, volume=pd.DataFrame(volume, index=frame.index, columns=frame.columns))
    w = pd.DataFrame(weights, index=m.dates[weight_rows], columns=frame.columns)
    rules = {"trade_at": "close", "capital": CAPITAL, "participation": cap, "unfilled": unfilled}
    res = korvel.backtest(w, m, stop_loss=stop_loss, **rules)
    fills = res.capacity()
    known = fills["adv"].notna()
    assert (fills["shares"][known] <= cap * fills["adv"][known] * (1 + 1e-9)).all()
    held = held_shares(res, close, frame.columns)
    undone = res.unfilled
    last = len(close) - 1
    # The fills are all that moves a holding: each row's change in shares is its fill's (where a row has two
    # for a name, the end of an exit and a new entry, no more than their sum).
    traded, count = np.zeros_like(held), np.zeros_like(held)
    cells = (m.dates.get_indexer(fills["date"]), frame.columns.get_indexer(fills["instrument"]))
    np.add.at(traded, cells, fills["shares"].to_numpy())
    np.add.at(count, cells, 1)
    moved = np.abs(np.diff(held, axis=0, prepend=0.0))
    one = count <= 1
    np.testing.assert_allclose(moved[one], traded[one], rtol=1e-9, atol=1e-6)
    assert (moved[~one] <= traded[~one] * (1 + 1e-9) + 1e-6).all()
    # Without costs, each order is the target shares at its row's close: what is held before the next weight
    # row is traded (or at the end) is the order less what is listed as not done. A stop ends a holding's
    # order: its exit sells the rest of the holding, whatever `unfilled` says, and what it has not sold by
    # the end is listed.
    stopped = set(res.trades["instrument"][res.trades["exit_reason"] == "stop_loss"])
    at_end = undone[undone["date"] == m.dates[last]]
    selling = set(at_end["instrument"][at_end["shares"] < 0])
    # A stop exit starting on the last row undoes the carried order it takes over, listed there before the
    # exit's own rest: each name's last listing is what is still carried at the end, unless the exit sold
    # the whole holding (its trade closed by the stop).
    for name, shares in at_end.groupby("instrument", sort=False)["shares"].last().items():
        if shares < 0 and name not in stopped:  # a sale still carried: what is left of it is still held
            assert -shares <= held[last, frame.columns.get_loc(name)] * (1 + 1e-9) + 1e-6
    traded_rows = [r + 1 for r in weight_rows]
    for k, row in enumerate(traded_rows):
        until = traded_rows[k + 1] - 1 if k + 1 < len(traded_rows) else last
        # A dropped rest is listed on the order's row; a carried one when the next order replaces it (or at
        # the end of the run).
        if unfilled == "drop":
            window = (m.dates[row], m.dates[row])
        else:
            window = (m.dates[row + 1], m.dates[min(until + 1, last)])
        for j, name in enumerate(frame.columns):
            if name in stopped or (stop_loss is not None and name in selling):
                continue  # a stop ended the order (or may be selling the holding at the end)
            ordered = weights[k][j] * res._run.equity[row] * CAPITAL / close[row, j]
            mine = (undone["instrument"] == name) & (undone["date"] >= window[0]) & (undone["date"] <= window[1])
            missing = float(undone["shares"][mine].sum())
            assert held[until, j] + missing == pytest.approx(ordered, rel=1e-9, abs=1e-6)
