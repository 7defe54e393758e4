"""Whole backtest runs on small hand-built markets, with numbers worked out by
hand.  Every test runs once on the reference and once on the native engine
(the ``backtest`` fixture); the engine half is skipped while it is missing.

The expected values are written as the arithmetic a person would do on
paper, in the order the engine is documented to do it, so that most of them
can be compared exactly.
"""

import numpy as np
import pytest
from backtest_helpers import FEE, INF, NAN, TAX, assert_same_outcome, operations, tables

F, T = FEE, TAX


def flat(n_rows, n_cols=1):
    return [[1.0] * n_cols for _ in range(n_rows)]


def column(values):
    return [[v] for v in values]


# ---------------------------------------------------------------------------
# costs of the position book, seen through the equity curve and the records
# ---------------------------------------------------------------------------


def test_open_reduce_and_close_a_long(backtest):
    out = backtest(*tables(flat(4), {0: [0.5], 1: [0.3], 2: [0.0]}))

    # row 1: open half the capital; the commission comes out of the holding
    cash = 1.0 - 0.5
    held = (0.5 - F * 0.5) + 0.0
    eq1 = cash + held * 1.0 / 1.0
    # row 2: down to 0.3 of the portfolio value: commission and tax, from cash
    total = cash + held
    target2 = 0.3 * total
    diff = target2 - held
    cash = cash + ((-diff) - (F + T) * abs(diff))
    held = diff + held
    eq2 = cash + held * 1.0 / 1.0
    # row 3: weight 0 closes it
    cash = cash + (held - (F + T) * abs(held))

    assert out.equity.tolist() == [1.0, eq1, eq2, cash]
    # the resize splits the trade in two; the first record holds the weight
    assert out.trades == [[0, 1, 2], [0, 2, 3]]
    assert out.trade_positions == [0.5, target2 / total]
    r = 1.0 * (1 - F)  # entry commission only: the split is not a transaction
    assert out.excursion[0].tolist() == [r - 1, 0.0, 0.0, r - 1, 0.0, r - 1]
    # the second trade starts without a transaction and pays both at its exit
    assert out.excursion[1].tolist() == [0.0, 0.0, 0.0, 0.0, 0.0, 1.0 * (1.0 / 1.0) * ((1 - F) - T) - 1]


def test_short_open_cover_and_flip(backtest):
    out = backtest(*tables(flat(5), {0: [-0.4], 1: [-0.1], 2: [0.2]}))

    # row 1: opening a short pays commission only, the holding is exact
    cash = 1.0 + (0.4 - F * 0.4)
    held = -0.4 + 0.0
    eq1 = cash + held * 1.0 / 1.0
    # row 2: covering most of it is a reducing trade: commission and tax,
    # taken out of the holding because it is a buy
    total2 = cash + held
    target2 = -0.1 * total2
    diff = target2 - held
    cash = cash - diff
    held = (diff - (F + T) * abs(diff)) + held
    eq2 = cash + held * 1.0 / 1.0
    # row 3: flip to long: the whole trade adds exposure, commission only
    total3 = cash + held
    target3 = 0.2 * total3
    diff = target3 - held
    cash = cash - diff
    held = (diff - F * abs(diff)) + held
    eq3 = cash + held * 1.0 / 1.0

    assert out.equity.tolist() == [1.0, eq1, eq2, eq3, eq3]
    assert out.trades == [[0, 1, 2], [0, 2, 3], [0, 3, -1]]
    assert out.trade_positions == [-0.4, target2 / total2, target3 / total3]


# ---------------------------------------------------------------------------
# rebalance: scaling, position limit, NaN weights
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "prices, weights, limit, positions, equity",
    [
        # gross 1: fully invested, no scaling; prices then move 1.5x and 0.75x
        (
            [[1, 1, 1], [1, 1, 1], [1.5, 0.75, 1]],
            [0.5, 0.5, 0.0],
            1.0,
            [0.5, 0.5],
            [1.0, 0.0 + 0.5 * 1.0 / 1.0 + 0.5 * 1.0 / 1.0, 0.0 + (0.5 * 1.5) * 1.5 / 1.5 + (0.5 * 0.75) * 0.75 / 0.75],
        ),
        # gross 2: scaled to half each
        ([[1, 1], [1, 1], [2, 1]], [1.0, 1.0], 1.0, [0.5, 0.5], [1.0, 1.0, 0.0 + (0.5 * 2.0) * 2.0 / 2.0 + 0.5]),
        # gross 0.3: never scaled up, the rest stays in cash
        ([[1], [1], [2]], [0.3], 1.0, [0.3], [1.0, (1.0 - 0.3) + 0.3, (1.0 - 0.3) + 0.6]),
        # each position capped at 0.2 of the portfolio value
        (
            [[1, 1], [1, 1], [1, 2]],
            [0.5, -0.5],
            0.2,
            [0.2, -0.2],
            [1.0, ((1.0 - 0.2) + 0.2) + 0.2 + -0.2, 1.0 + 0.2 + (-0.2 * 2.0) * 2.0 / 2.0],
        ),
    ],
)
def test_rebalance_targets(backtest, prices, weights, limit, positions, equity):
    out = backtest(*tables(prices, {0: weights}), fee_ratio=0.0, tax_ratio=0.0, position_limit=limit)
    assert out.equity.tolist() == equity
    assert out.trade_positions == positions
    assert out.trades == [[sid, 1, -1] for sid in range(len(positions))]


def test_nan_weight_disables_scaling(backtest):
    out = backtest(*tables(flat(3, 3), {0: [0.6, NAN, 0.7]}), fee_ratio=0.0, tax_ratio=0.0)
    # 0.6 and 0.7 are used as they are although the gross weight exceeds 1
    np.testing.assert_array_equal(out.trade_positions, [0.6, NAN, 0.7])
    assert out.trades == [[0, 1, -1], [1, 1, -1], [2, 1, -1]]
    assert out.equity[0] == 1.0 and np.isnan(out.equity[1:]).all()


def _weights_where_summation_order_matters(n):
    # Gross weights whose NumPy sum (pairwise beyond 8 terms) differs from
    # a left-to-right sum in a way that changes some scaled weight.
    rng = np.random.default_rng(n)
    while True:
        w = rng.uniform(-0.4, 0.4, size=n)
        s = float(np.sum(np.abs(w)))
        naive = 0.0
        for x in np.abs(w):
            naive += x
        if any(x * (1.0 / s) != x * (1.0 / naive) for x in w):
            return w.tolist(), s


@pytest.mark.parametrize("n", [9, 17, 130, 300])
def test_gross_weight_is_summed_like_numpy(backtest, n):
    w, s = _weights_where_summation_order_matters(n)
    out = backtest(*tables(flat(3, n), {0: w}), fee_ratio=0.0, tax_ratio=0.0)
    assert out.trade_positions == [(x * (1.0 / s)) / 1.0 for x in w]


@pytest.mark.parametrize(
    "kwargs, trades, positions",
    [
        ({}, [[0, 1, 2], [0, 2, -1]], [0.5, 0.5]),
        ({"retain_cost_when_rebalance": True}, [[0, 1, -1]], [0.5]),
        ({"periodically_rebalance": False}, [[0, 1, -1]], [0.5]),
    ],
)
def test_unchanged_holding_is_split_only_on_periodic_rebalancing(backtest, kwargs, trades, positions):
    out = backtest(*tables(flat(4), {0: [0.5], 1: [0.5]}), fee_ratio=0.0, tax_ratio=0.0, **kwargs)
    assert out.equity.tolist() == [1.0] * 4
    assert out.trades == trades
    assert out.trade_positions == positions


def test_rebalance_dates_on_the_price_rows(backtest):
    # Rebalance dates 5, 20, 25 and 40 mark rows 0, 1, 1 and 2; the weight
    # rows dated 15 and 25 are each applied on the row after a marked row.
    args = tables(flat(3), [[0.2], [0.4], [0.6]], weight_dates=[5, 15, 25], resample=[5, 20, 25, 40])
    out = backtest(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert out.trades == [[0, 1, 2], [0, 2, -1]]
    assert out.trade_positions == [0.4, 0.6]


@pytest.mark.parametrize(
    "resample, trades",
    [
        ([], []),  # nothing marked: never trades
        ([40], []),  # only the last row: nothing left to trade on
        ([19], [[0, 1, -1]]),
    ],
)
def test_few_rebalance_dates(backtest, resample, trades):
    args = tables(flat(3), [[0.2], [0.4], [0.6]], weight_dates=[5, 15, 25], resample=resample)
    out = backtest(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert out.trades == trades
    if not trades:
        assert out.equity.tolist() == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("second_date, applied_on", [(29, 2), (30, 3), (31, 3)])
def test_weight_row_dated_on_the_next_price_date_waits(backtest, second_date, applied_on):
    args = tables(flat(4), [[0.5], [1.0]], weight_dates=[10, second_date])
    out = backtest(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert out.trades == [[0, 1, applied_on], [0, applied_on, -1]]
    assert out.trade_positions == [0.5, 1.0]


def test_no_price_dates(backtest):
    args = list(tables(flat(1, 2), {0: [0.5, 0.5]}))
    args[5] = np.empty(0, dtype=np.int64)
    out = backtest(*args)
    assert out.equity.shape == (0,) and out.trades == []


def test_rows_before_the_first_weight_date_are_idle(backtest):
    args = tables(column([1.0, 2.0, 4.0, 8.0]), [[1.0]], weight_dates=[20])
    out = backtest(*args, fee_ratio=0.0, tax_ratio=0.0)
    # row 0 (date 10) is before the weights; row 1 decides, row 2 buys at 4
    assert out.equity.tolist() == [1.0, 1.0, 0.0 + 1.0 * 4.0 / 4.0, 0.0 + (1.0 * (8.0 / 4.0)) * 8.0 / 8.0]
    assert out.trades == [[0, 2, -1]]


# ---------------------------------------------------------------------------
# exits on the close, executed on the next row
# ---------------------------------------------------------------------------

STOP_PRICE = [1.0, 1.0, 1.0, 0.75, 0.75, 0.75]
STOP_CLOSE = [1.0, 1.0, 0.875, 0.75, 0.75, 0.75]


def test_stop_loss_on_the_close_executes_next_row(backtest):
    args = tables(column(STOP_PRICE[:5]), {0: [1.0]}, close=column(STOP_CLOSE[:5]))
    out = backtest(*args, stop_loss=0.1)

    cash = 1.0 - 1.0
    held = (1.0 - F * 1.0) + 0.0
    eq1 = cash + held * 1.0 / 1.0
    eq2 = cash + held * 0.875 / 1.0  # close 0.875 < 0.9: signal
    value = held * (0.75 / 1.0)  # sold on row 3 at its trading price
    cash = cash + (value - (F + T) * abs(value))
    assert out.equity.tolist() == [1.0, eq1, eq2, cash, cash]
    assert out.trades == [[0, 1, 3]]
    assert out.trade_positions == [1.0]

    r0 = (1.0 / 1.0) * (1 - F)
    r1 = r0 * (0.875 / 1.0)
    r2 = r1 * (0.75 / 0.875)
    exit_factor = r2 * (0.75 / 0.75) * ((1 - F) - T)
    assert out.excursion[0].tolist() == [r2 - 1, 0.0, 0.0, r2 / 1.0 - 1, 0.0, exit_factor - 1]


def test_stop_loss_operations_record(backtest):
    args = tables(column(STOP_PRICE[:5]), {0: [1.0]}, close=column(STOP_CLOSE[:5]))
    ops = operations(backtest(*args, stop_loss=0.1))
    assert ops == {
        "actions": {0: "sl_"},
        "weights": {0: 0.0},
        "next_weights": {},
        "weight_time": 0,
        "next_weight_time": 0,
    }


@pytest.mark.parametrize(
    "close_on_row_2, signal",
    [
        (1.25, True),  # exactly on the take-profit bound: fires
        (0.75, False),  # exactly on the stop-loss bound: does not (strictly below)
        (0.7499999999999999, True),
    ],
)
def test_close_exit_bounds(backtest, close_on_row_2, signal):
    close = [1.0, 1.0, close_on_row_2, 1.0]
    out = backtest(*tables(flat(4), {0: [1.0]}, close=column(close)), stop_loss=0.25, take_profit=0.25)
    assert out.trades == ([[0, 1, 3]] if signal else [[0, 1, -1]])


@pytest.mark.parametrize(
    "stop_trading, trades",
    [
        (True, [[0, 1, 3]]),  # not bought back by the next weights
        (False, [[0, 1, 3], [0, 4, -1]]),
    ],
)
def test_stopped_instrument_and_the_next_weight_row(backtest, stop_trading, trades):
    args = tables(column(STOP_PRICE), {0: [1.0], 3: [1.0]}, close=column(STOP_CLOSE))
    out = backtest(*args, stop_loss=0.1, stop_trading_next_period=stop_trading)
    assert out.trades == trades

    held = (1.0 - F * 1.0) + 0.0
    value = held * (0.75 / 1.0)
    cash = 0.0 + (value - (F + T) * abs(value))
    if stop_trading:
        assert out.equity.tolist()[3:] == [cash] * 3
    else:
        target = 1.0 * cash
        rebought = (target - F * target) + 0.0
        eq4 = (cash - target) + rebought * 0.75 / 0.75
        assert out.equity.tolist()[3:5] == [cash, eq4]
        assert out.trade_positions == [1.0, target / cash]


@pytest.mark.parametrize("stop_trading", [True, False])
def test_pending_exit_kept_for_a_weighted_instrument(backtest, stop_trading):
    # The signal of row 2 meets, on row 3, a weight row that still holds the
    # instrument.  Only with stop_trading_next_period false is it kept (and
    # resized); the close of row 3 is still below the stop, so it goes on row 4.
    args = tables(column(STOP_PRICE), {0: [1.0], 2: [0.5]}, close=column(STOP_CLOSE))
    out = backtest(*args, stop_loss=0.1, stop_trading_next_period=stop_trading)
    held = (1.0 - F * 1.0) + 0.0
    value = held * (0.75 / 1.0)
    if stop_trading:
        assert out.trades == [[0, 1, 3]]
        cash = 0.0 + (value - (F + T) * abs(value))
        assert out.equity.tolist()[3:] == [cash] * 3
    else:
        assert out.trades == [[0, 1, 3], [0, 3, 4]]
        total = 0.0 + value
        target = 0.5 * total
        diff = target - value
        cash = 0.0 + ((-diff) - (F + T) * abs(diff))
        held = diff + value
        eq3 = cash + held * 0.75 / 0.75
        held = held * (0.75 / 0.75)
        cash = cash + (held - (F + T) * abs(held))
        assert out.equity.tolist()[3:] == [eq3, cash, cash]
        assert out.trade_positions == [1.0, target / total]


def test_short_stop_on_the_close(backtest):
    price = [1.0, 1.0, 1.0, 1.25, 1.25]
    close = [1.0, 1.0, 1.125, 1.25, 1.25]
    out = backtest(
        *tables(column(price), {0: [-1.0]}, close=column(close)), stop_loss=0.1, fee_ratio=0.0, tax_ratio=0.0
    )
    cash = 1.0 + (1.0 - 0.0 * 1.0)
    eq1 = cash + -1.0 * 1.0 / 1.0
    eq2 = cash + -1.0 * 1.125 / 1.0  # factor 1.125 >= 1 + 0.1
    cash = cash + (-1.25 - 0.0 * 1.25)  # bought back at 1.25 on row 3
    assert out.equity.tolist() == [1.0, eq1, eq2, cash, cash]
    assert out.trades == [[0, 1, 3]]
    assert out.trade_positions == [-1.0]


@pytest.mark.parametrize(
    "weight, close_on_row_2, word",
    [
        (-1.0, 1.125, "sl"),  # a short's close rises through its stop loss
        (-1.0, 0.875, "tp"),  # and falls through its take profit
        (1.0, 0.875, "sl"),  # a long's words are those of the bound it crossed
        (1.0, 1.125, "tp"),
    ],
)
@pytest.mark.parametrize("executed", [True, False])
def test_close_exit_words_name_the_kind_of_exit(backtest, weight, close_on_row_2, word, executed):
    # Instrument 0, so the sign of its exit entry has to survive too.  The
    # signal of row 2 is either executed on row 3 or still pending at the end.
    close = [1.0, 1.0, close_on_row_2, 1.0][: 4 if executed else 3]
    out = backtest(
        *tables(flat(len(close)), {0: [weight]}, close=column(close)),
        stop_loss=0.1,
        take_profit=0.1,
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    assert out.trades == ([[0, 1, 3]] if executed else [[0, 1, -1]])
    assert operations(out)["actions"] == {0: word + "_" if executed else word}


@pytest.mark.parametrize("activation, exits", [(0.2, True), (-0.2, True), (0.3, False)])
def test_trailing_stop_with_activation(backtest, activation, exits):
    a = [1.0, 1.0, 1.25, 1.125, 1.0, 1.0]  # reaches 1.25 >= 1.2: armed at 1.15
    b = [1.0, 1.0, 1.125, 1.0, 1.0, 1.0]  # never reaches the activation level
    out = backtest(
        *tables([list(x) for x in zip(a, b)], {0: [0.5, 0.5]}),
        fee_ratio=0.0,
        tax_ratio=0.0,
        trail_stop=0.1,
        trail_stop_activation=activation,
    )
    if not exits:
        assert out.trades == [[0, 1, -1], [1, 1, -1]]
        return
    assert out.trades == [[0, 1, 4], [1, 1, -1]]
    value_a = ((0.5 * (1.25 / 1.0)) * (1.125 / 1.25)) * (1.0 / 1.125)
    value_b = ((0.5 * (1.125 / 1.0)) * (1.0 / 1.125)) * (1.0 / 1.0)
    cash = 0.0 + (value_a - 0.0 * abs(value_a))
    assert out.equity[4] == cash + value_b * 1.0 / 1.0


@pytest.mark.parametrize(
    "retain, trades",
    [
        (False, [[0, 1, 2], [0, 2, -1]]),  # stop measured from the rebalance: no exit
        (True, [[0, 1, 4]]),  # still measured from the entry: 0.875 < 0.9
    ],
)
def test_retain_cost_keeps_the_stop_reference(backtest, retain, trades):
    price = [1.0, 1.0, 0.9375, 0.875, 0.875]
    out = backtest(
        *tables(column(price), {0: [1.0], 1: [1.0]}),
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=0.1,
        retain_cost_when_rebalance=retain,
    )
    assert out.trades == trades
    assert out.trade_positions == [1.0] * len(trades)


# ---------------------------------------------------------------------------
# touched exits (intraday, executed on the same row)
# ---------------------------------------------------------------------------


def touched_tables(row2, weights=(1.0,)):
    """One instrument, flat at 1.0 except row 2 = (price, close, open, high, low)."""
    p, c, o, h, lo = row2
    return tables(
        column([1.0, 1.0, p, 1.0]),
        {0: list(weights)},
        close=column([1.0, 1.0, c, 1.0]),
        opens=column([1.0, 1.0, o, 1.0]),
        high=column([1.0, 1.0, h, 1.0]),
        low=column([1.0, 1.0, lo, 1.0]),
    )


def test_touched_stop_with_opening_gap(backtest):
    out = backtest(
        *touched_tables((0.9, 0.9, 0.85, 0.95, 0.8)), stop_loss=0.1, touched_exit=True, fee_ratio=0.0, tax_ratio=0.0
    )
    # opened below the stop: sold at the open, on the same row
    assert out.equity.tolist() == [1.0, 1.0, 0.85, 0.85]
    assert out.trades == [[0, 1, 2]]


def test_touched_both_bounds_without_gap(backtest):
    out = backtest(*touched_tables((1.0, 1.0, 1.0, 1.15, 0.85)), stop_loss=0.1, take_profit=0.1, touched_exit=True)
    held = (1.0 - F * 1.0) + 0.0
    value = (held * (1.0 / 1.0) / 1.0) * 1.1  # valued at the upper bound
    cash = 0.0 + (value - (F + T) * abs(value))
    assert out.equity.tolist() == [1.0, held, cash, cash]
    assert out.trades == [[0, 1, 2]]
    # but recorded as a stop (the lower bound was touched too)
    assert operations(out)["actions"] == {0: "sl_"}


def test_touched_short_stop(backtest):
    out = backtest(
        *touched_tables((1.0, 1.0, 1.0, 1.2, 1.0), weights=(-0.5,)),
        stop_loss=0.1,
        touched_exit=True,
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    # short 0.5: bought back at the stop, 1.1 x the entry value
    cash = (1.0 + (0.5 - 0.0 * 0.5)) + (-0.5 * 1.1 - 0.0)
    assert out.equity.tolist() == [1.0, 1.0, cash, cash]
    assert out.trades == [[0, 1, 2]]


@pytest.mark.parametrize(
    "weight, row2, fill",
    [
        (1.0, (1.0, 0.95, 1.0, 1.0, 0.85), 1.0 * (1 - 0.1) / 1.0),  # long, at its stop level
        (1.0, (0.9, 0.9, 0.85, 0.95, 0.8), 0.85),  # long, gapping through it
        (-1.0, (1.0, 1.05, 1.0, 1.2, 1.0), 1.0 * (1 + 0.1) / 1.0),  # short, at its stop level
        (-1.0, (1.0, 1.15, 1.2, 1.25, 1.0), 1.2),  # short, gapping through it
    ],
)
def test_touched_exit_record_is_valued_at_the_fill(backtest, weight, row2, fill):
    # The trade price of row 2 differs from the fill in every case: the
    # record must follow the fill, as the equity does.
    out = backtest(
        *touched_tables(row2, weights=(weight,)), stop_loss=0.1, touched_exit=True, fee_ratio=0.0, tax_ratio=0.0
    )
    assert out.trades == [[0, 1, 2]]
    c = row2[1]
    if weight > 0:
        r = 1.0 * (c / 1.0)
        exit_factor = r * (fill / c)
    else:
        r = 2 - (2 - 1.0) * (c / 1.0)
        exit_factor = 2 - (fill * (2 - r)) / c
    assert out.excursion[0][-1] == exit_factor - 1
    assert out.equity[-1] == pytest.approx(exit_factor, abs=1e-12)


# ---------------------------------------------------------------------------
# delisting
# ---------------------------------------------------------------------------


def delisting_tables():
    a = [1.0, 1.0, 1.25, 1.0, 1.0]
    b = [1.0] * 5
    return tables([list(x) for x in zip(a, b)], {0: [0.5, 0.5], 2: [0.5, 0.5]})


def test_delisted_holding_is_sold_and_may_be_bought_again(backtest):
    bars = np.array([2, -1], dtype=np.int64)
    bars.setflags(write=False)
    out = backtest(*delisting_tables(), delisting_bars=bars)

    held = (0.5 - F * 0.5) + 0.0
    value_a = held * (1.25 / 1.0)
    cash = 0.0 + (value_a - (F + T) * abs(value_a))
    eq2 = cash + held * 1.0 / 1.0
    # row 3: the next weight row buys it again (a delisting is not a stop)
    total = cash + held
    target = 0.5 * (total / 1.0)
    cash = cash - target
    new_a = (target - F * target) + 0.0
    diff = target - held
    cash = cash - diff
    held = (diff - F * abs(diff)) + held
    eq3 = (cash + new_a * 1.0 / 1.0) + held * 1.0 / 1.0

    assert out.equity.tolist()[2:4] == [eq2, eq3]
    assert out.trades == [[0, 1, 2], [1, 1, 3], [0, 3, -1], [1, 3, -1]]
    assert out.trade_positions == [0.5, 0.5, target / total, target / total]


@pytest.mark.parametrize("bars", [None, [-1, -1], [0, -1], [-5, 7]])
def test_delisting_that_never_matches_a_holding(backtest, bars):
    args = delisting_tables()
    base = backtest(*args)
    if bars is not None:
        bars = np.array(bars, dtype=np.int64)
    out = backtest(*args, delisting_bars=bars)
    assert_same_outcome(out, base)
    assert len(out.trades) == 4


# ---------------------------------------------------------------------------
# missing prices
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("weights", [{0: [1.0]}, {0: [1.0], 1: [1.0]}])
def test_missing_price_is_held_through(backtest, weights):
    # 100, missing, 120: whether or not the weights are applied on the
    # missing row, the move from 100 to 120 must reach the equity.
    price = [100.0, 100.0, NAN, 120.0, 120.0]
    out = backtest(*tables(column(price), weights), fee_ratio=0.0, tax_ratio=0.0)
    moved = (1.0 * (120.0 / 100.0)) * 120.0 / 120.0
    assert out.equity.tolist() == [1.0, 1.0 * 100.0 / 100.0, 1.0, moved, moved]


def test_missing_close_counts_at_book_value(backtest):
    out = backtest(
        *tables(column([1.0, 1.0, 2.0, 2.0]), {0: [1.0]}, close=column([1.0, 1.0, NAN, 2.0])),
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    assert out.equity.tolist() == [1.0, 1.0, 0.0 + 2.0, 0.0 + 2.0 * 2.0 / 2.0]


def test_entry_on_a_missing_price_starts_at_the_next_price(backtest):
    out = backtest(*tables(column([1.0, NAN, 2.0, 4.0]), {0: [1.0]}), fee_ratio=0.0, tax_ratio=0.0)
    assert out.equity.tolist() == [1.0, 1.0, 1.0 * 2.0 / 2.0, (1.0 * (4.0 / 2.0)) * 4.0 / 4.0]
    assert out.trades == [[0, 1, -1]]


# ---------------------------------------------------------------------------
# an underwater portfolio
# ---------------------------------------------------------------------------


def test_negative_portfolio_value_is_wound_down(backtest):
    a = [1.0, 1.0, 3.0, 3.0, 3.0]
    b = [1.0] * 5
    out = backtest(
        *tables([list(x) for x in zip(a, b)], {0: [-1.0, 0.0], 1: [-1.0, 0.5]}),
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=INF,
    )
    cash = 1.0 + (1.0 - 0.0)
    eq1 = cash + -1.0 * 1.0 / 1.0
    # row 2: the short is worth -3, the portfolio -1: close it, open nothing
    cash = cash + (-3.0 - 0.0 * 3.0)
    assert out.equity.tolist() == [1.0, eq1, cash, cash, cash]
    assert out.trades == [[0, 1, 2]]
    assert out.trade_positions == [-1.0]


# ---------------------------------------------------------------------------
# arguments: defaults, signs, memory layout, caller's arrays
# ---------------------------------------------------------------------------


def busy_tables():
    """Three instruments with gaps and moves, weights in three rows."""
    rng = np.random.default_rng(11)
    price = 100 * np.cumprod(rng.uniform(0.9, 1.1, size=(9, 3)), axis=0)
    close = price * rng.uniform(0.95, 1.05, size=price.shape)
    high = np.maximum(price, close) * 1.03
    low = np.minimum(price, close) * 0.97
    opens = price * rng.uniform(0.97, 1.03, size=price.shape)
    price[4, 1] = NAN
    close[4, 1] = NAN
    close[6, 2] = NAN
    weights = {0: [0.5, -0.3, 0.4], 3: [0.2, 0.6, -0.6], 5: [0.0, 0.5, 0.5]}
    return tables(price, weights, close=close, high=high, low=low, opens=opens)


BUSY_RULES = [
    dict(stop_loss=0.05, take_profit=0.1, excursion_window=4, excursion_window_step=2),
    dict(
        stop_loss=0.03,
        touched_exit=True,
        trail_stop=0.04,
        trail_stop_activation=0.02,
        stop_trading_next_period=False,
        delisting_bars=np.array([7, -1, -1], dtype=np.int64),
    ),
]


def test_omitted_arguments_take_their_defaults(backtest):
    args = busy_tables()
    explicit = backtest(
        *args,
        fee_ratio=0.001425,
        tax_ratio=0.003,
        stop_loss=1.0,
        take_profit=INF,
        trail_stop=INF,
        trail_stop_activation=0.0,
        touched_exit=False,
        position_limit=1.0,
        retain_cost_when_rebalance=False,
        stop_trading_next_period=True,
        excursion_window=0,
        excursion_window_step=1,
        periodically_rebalance=True,
        delisting_bars=None,
    )
    assert_same_outcome(backtest(*args), explicit)


@pytest.mark.parametrize("rules", BUSY_RULES)
def test_stop_parameters_ignore_their_sign(backtest, rules):
    args = busy_tables()
    flipped = {
        k: (-v if k in ("stop_loss", "take_profit", "trail_stop", "trail_stop_activation") else v)
        for k, v in rules.items()
    }
    assert_same_outcome(backtest(*args, **flipped), backtest(*args, **rules))


def _strided(a):
    """A view with the same contents that is not C-contiguous."""
    if a.dtype == object:
        big = np.empty(2 * a.shape[0], dtype=object)
        big[::2] = a
        return big[::2]
    if a.ndim == 1:
        big = np.zeros(3 * a.shape[0], dtype=a.dtype)
        big[::3] = a
        return big[::3]
    big = np.zeros((2 * a.shape[0], 3 * a.shape[1]), dtype=a.dtype)
    big[::2, ::3] = a
    return big[::2, ::3]


def _reversed(a):
    return a[::-1].copy()[::-1]


def _fortran(a):
    return np.asfortranarray(a) if a.ndim == 2 else a


def _read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("layout", [_fortran, _strided, _reversed, _read_only])
@pytest.mark.parametrize("rules", BUSY_RULES)
def test_memory_layout_does_not_matter(backtest, layout, rules):
    args = busy_tables()
    base = backtest(*args, **rules)
    rules = dict(rules)
    if rules.get("delisting_bars") is not None:
        rules["delisting_bars"] = layout(rules["delisting_bars"])
    out = backtest(*[layout(a) for a in args], **rules)
    assert_same_outcome(out, base)
    assert len(base.trades) > 3


@pytest.mark.parametrize("rules", BUSY_RULES)
def test_caller_arrays_are_left_alone(backtest, rules):
    args = busy_tables()
    before = [a.copy() for a in args]
    bars = rules.get("delisting_bars")
    bars_before = None if bars is None else bars.copy()
    backtest(*args, **rules)
    for a, b in zip(args, before):
        if a.dtype == object:
            assert a.tolist() == b.tolist()
        else:
            np.testing.assert_array_equal(a, b)
    if bars is not None:
        np.testing.assert_array_equal(bars, bars_before)


# ---------------------------------------------------------------------------
# operations record
# ---------------------------------------------------------------------------


def test_reported_weights_of_the_last_rebalance(backtest):
    out = backtest(*tables(flat(3, 3), {0: [0.5, 0.5, 0.5]}))
    ops = operations(out)
    assert ops["weights"] == {0: 0.5 / 1.5, 1: 0.5 / 1.5, 2: 0.5 / 1.5}
    assert ops["weight_time"] == 0 and ops["next_weight_time"] == 0


def test_reported_weights_after_a_stop(backtest):
    # column 1 stopped out and gone: listed with 0, the others keep 1/3
    prices = [[1.0, 1.0, 1.0]] * 2 + [[1.0, 0.5, 1.0]] * 3
    ops = operations(backtest(*tables(prices, {0: [0.5, 0.5, 0.5]}), stop_loss=0.1))
    assert ops["weights"] == {0: 0.5 / 1.5, 1: 0.0, 2: 0.5 / 1.5}
    # the stopped column is left out of the next weights and of their total
    assert ops["next_weights"] == {0: 0.5, 2: 0.5}
    assert ops["actions"] == {1: "sl_"}


def test_actions_for_a_due_weight_row(backtest):
    # last row marked and a newer weight row due on the (absent) next row
    prices = flat(4, 3)
    out = backtest(*tables(prices, {0: [0.5, 0.5, 0.0], 3: [0.0, 0.4, 0.4]}))
    ops = operations(out)
    assert ops["actions"] == {0: "exit", 1: "hold", 2: "enter"}
    assert ops["next_weights"] == {1: 0.4, 2: 0.4}
    assert ops["weight_time"] == 0 and ops["next_weight_time"] == 1


@pytest.mark.parametrize("stop_trading, expected", [(True, "tp"), (False, "tp_enter")])
def test_pending_exit_words_for_instrument_zero(backtest, stop_trading, expected):
    # take profit on the last row's close, with the next weight row holding it
    close = [1.0, 1.0, 1.0, 1.5]
    args = tables(column([1.0] * 4), {0: [0.5], 3: [0.5]}, close=column(close))
    ops = operations(backtest(*args, take_profit=0.2, stop_trading_next_period=stop_trading))
    assert ops["actions"] == {0: expected}


@pytest.mark.parametrize(
    "weights, reported",
    [
        ([0.5, 0.3], {0: 0.5, 1: 0.3}),  # gross 0.8: left as they are
        ([0.5, 0.5], {0: 0.5, 1: 0.5}),  # gross exactly 1: left as they are
    ],
)
def test_reported_weights_are_never_scaled_up(backtest, weights, reported):
    ops = operations(backtest(*tables(flat(3, 2), {0: weights})))
    assert ops["weights"] == reported


def test_nan_in_the_due_weight_row_is_reported(backtest):
    ops = operations(backtest(*tables(flat(3, 2), {0: [0.5, 0.5], 2: [NAN, 0.5]})))
    assert list(ops["next_weights"]) == [0, 1]
    assert np.isnan(ops["next_weights"][0]) and ops["next_weights"][1] == 0.5
    assert ops["actions"] == {0: "hold", 1: "hold"}


@pytest.mark.parametrize("stop_trading, word", [(True, "sl"), (False, "exit")])
def test_exit_signal_on_the_last_row_of_a_closing_holding(backtest, stop_trading, word):
    args = tables(flat(3), {0: [0.5], 2: [0.0]}, close=column([1.0, 1.0, 0.5]))
    ops = operations(backtest(*args, stop_loss=0.1, stop_trading_next_period=stop_trading))
    assert ops["actions"] == {0: word}


@pytest.mark.parametrize("stop_trading, word", [(True, "sl_"), (False, "enter")])
def test_executed_exit_and_an_earlier_word(backtest, stop_trading, word):
    args = tables(column(STOP_PRICE[:4]), {0: [1.0], 3: [1.0]}, close=column(STOP_CLOSE[:4]))
    out = backtest(*args, stop_loss=0.1, stop_trading_next_period=stop_trading)
    assert out.trades == [[0, 1, 3]]
    assert operations(out)["actions"] == {0: word}
