"""The operations record, the trade listing, normalize_weight and ioft."""

import datetime
import os
import time
from fractions import Fraction

import numpy as np
import pytest
from builders import run_args

from korvel.core import excursion, portsim

NO_COSTS = {"fee_ratio": 0.0, "tax_ratio": 0.0}


# ---------------------------------------------------------------- normalize_weight


@pytest.mark.parametrize(
    "weights, limit, expected",
    [
        ({1: 0.6, 2: 0.6}, 1, {1: 0.5, 2: 0.5}),
        ({1: 0.3, 2: -0.2}, 1, {1: 0.3, 2: -0.2}),
        ({1: 0.9, 2: -0.9}, 0.3, {1: 0.3, 2: -0.3}),
        ({1: 1.0}, 0.5, {1: 0.5}),
        ({}, 1.0, {}),
        ({"a": 3, "b": 1}, 1, {"a": 0.75, "b": 0.25}),
        ({"a": Fraction(3, 2), "b": Fraction(1, 2)}, Fraction(1, 2), {"a": Fraction(1, 2), "b": Fraction(1, 4)}),
    ],
)
def test_normalize_weight(weights, limit, expected):
    result = portsim.normalize_weight(weights, limit)
    assert result is weights
    assert result == expected
    assert list(result) == list(expected)


def test_capped_weight_is_the_limit_object_itself():
    limit = Fraction(1, 5)
    weights = portsim.normalize_weight(position_limit=limit, weights={"x": 0.9, "y": -0.05})
    assert weights["x"] is limit
    assert weights["y"] == -0.05


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: portsim.normalize_weight(None, 1.0), AttributeError, "'NoneType' object has no attribute 'items'"),
        (lambda: portsim.normalize_weight({1: "x"}, 1.0), TypeError, None),
        (lambda: portsim.normalize_weight({1: 0.5}), TypeError, None),
        (lambda: portsim.normalize_weight({1: 0.5}, 1.0, 2), TypeError, None),
        (lambda: portsim.normalize_weight({1: 0.5}, limit=1.0), TypeError, None),
    ],
)
def test_normalize_weight_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message:
        assert str(info.value) == message


def test_normalize_weight_keeps_changes_made_before_an_error():
    weights = {1: 1.5, 2: 0.5, 3: None}
    with pytest.raises(TypeError):
        portsim.normalize_weight(weights, 1.0)
    assert weights == {1: 1.5, 2: 0.5, 3: None}  # the sum failed before any change
    weights = {1: 2.0, 2: "x"}

    class Weird(float):
        def __abs__(self):
            return 0.0

    weights = {1: 1.5, 2: Weird(1.0), 3: 0.5}
    portsim.normalize_weight(weights, 10.0)
    assert weights[1] == pytest.approx(0.75)


# ---------------------------------------------------------------- ioft


@pytest.fixture
def utc_zone():
    saved = os.environ.get("TZ")
    os.environ["TZ"] = "UTC"
    time.tzset()
    yield
    if saved is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = saved
    time.tzset()


def test_ioft_in_a_fixed_zone(utc_zone):
    assert portsim.ioft(0) == datetime.datetime(1970, 1, 1)
    assert portsim.ioft(1.5e18) == datetime.datetime(2017, 7, 14, 2, 40)
    assert portsim.ioft(v=np.int64(1_500_000_000_000_000_000)) == datetime.datetime(2017, 7, 14, 2, 40)


def test_ioft_is_local_time_and_propagates_errors():
    assert portsim.ioft(0) == datetime.datetime.fromtimestamp(0)
    with pytest.raises(TypeError):
        portsim.ioft("x")
    with pytest.raises((OverflowError, ValueError, OSError)):
        portsim.ioft(1e40)


# ---------------------------------------------------------------- a run with known trades


def two_instrument_run():
    prices = [[10.0, 20.0], [10.0, 20.0], [11.0, 22.0], [12.0, 21.0], [12.0, 20.0], [13.0, 20.0]]
    args = run_args(prices, [[0.5, 0.5], [0.5, 0.0]], weight_dates=[0, 35])
    return args, portsim.backtest_(*args, **NO_COSTS)


def test_trade_listing_rows():
    args, _ = two_instrument_run()
    price_index, pos_columns = args[5], args[9]
    assert [list(map(int, t)) for t in excursion.trades] == [[0, 1, 3], [1, 1, 3], [0, 3, -1]]
    for touched in (False, True):
        listing, record = portsim.get_trade_stocks(pos_columns, price_index, touched)
        assert record == portsim.get_stock_operations()
        closed, closed_other, still_open = listing
        assert closed[:5] == ["S0", 20, 40, 10, 40 if touched else 30]
        assert closed[5:] == [0.5, 2, 1, 3]
        assert closed_other[0] == "S1"
        assert still_open[:5] == ["S0", 40, -1, 30, -1]
        assert still_open[5] == pytest.approx(0.5)
        assert still_open[6:] == [3, 3, -1]
        assert isinstance(closed[1], np.int64) and isinstance(still_open[2], int)


def test_operations_record_after_the_run():
    two_instrument_run()
    record = portsim.get_stock_operations()
    assert list(record) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert record == {
        "actions": {},
        "weights": {0: 0.5},
        "next_weights": {0: 0.5},
        "weight_time": 1,
        "next_weight_time": 1,
    }


def test_record_copies_are_shallow():
    args, _ = two_instrument_run()
    copy = portsim.get_stock_operations()
    copy["weights"] = None
    copy["next_weights"][7] = 1.0
    fresh = portsim.get_stock_operations()
    assert fresh["weights"] == {0: 0.5}
    assert fresh["next_weights"][7] == 1.0
    first = portsim.get_trade_stocks(args[9], args[5], False)[1]
    assert first is portsim.get_trade_stocks(args[9], args[5], True)[1]
    assert first is not portsim.get_stock_operations()


def test_no_trades_gives_an_empty_listing():
    args = run_args([[10.0], [11.0]], [[1.0]], resample=[])
    equity = portsim.backtest_(*args)
    assert list(equity) == [1.0, 1.0]
    listing, record = portsim.get_trade_stocks(None, None, True)
    assert listing == []
    assert record["weights"] == {} and record["weight_time"] == -1


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([0], None, False), TypeError, "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)"),
        (
            (None, (1, 2), False),
            TypeError,
            "Argument 'price_index' has incorrect type (expected numpy.ndarray, got tuple)",
        ),
        ((None, np.zeros(3), False), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        ((np.array(["a"]), None, False), ValueError, None),
        ((None, np.zeros((2, 2), dtype=np.int64), False), ValueError, None),
    ],
)
def test_trade_listing_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        portsim.get_trade_stocks(*args)
    if message:
        assert str(info.value) == message


def test_trade_listing_out_of_range_and_wraparound():
    args, _ = two_instrument_run()
    price_index, pos_columns = args[5], args[9]
    with pytest.raises(IndexError):
        portsim.get_trade_stocks(pos_columns, price_index[:2], False)
    with pytest.raises(IndexError):
        portsim.get_trade_stocks(None, price_index, False)
    # A trade entered on row 0 reads the last date as the date before its entry.
    portsim.backtest_(*run_args([[10.0], [11.0]], [[1.0]], price_dates=[10, 20], weight_dates=[0]), **NO_COSTS)
    excursion.trades.append([0, np.int64(0), 1])
    excursion.trade_positions.append(1.0)
    listing, _ = portsim.get_trade_stocks(np.array(["S0"], dtype=object), np.array([10, 20], dtype=np.int64), 0)
    assert listing[-1][:5] == ["S0", 10, 20, 20, 10]


# ---------------------------------------------------------------- weights and action words


def test_weights_above_one_are_divided_by_their_total():
    prices = [[10.0, 10.0, 10.0]] * 3
    portsim.backtest_(*run_args(prices, [[0.5, 0.5, 0.5]]), **NO_COSTS)
    record = portsim.get_stock_operations()
    third = 0.5 / 1.5
    assert record["weights"] == {0: third, 1: third, 2: third}
    assert record["next_weights"] == {0: third, 1: third, 2: third}


def test_weights_list_a_stopped_out_instrument_with_zero():
    # Instrument 1 falls 50% on row 2: stop loss on the close, sold on row 3.
    prices = [[10.0, 10.0, 10.0], [10.0, 10.0, 10.0], [10.0, 5.0, 10.0], [10.0, 5.0, 10.0]]
    portsim.backtest_(*run_args(prices, [[0.5, 0.5, 0.5]]), stop_loss=0.2, **NO_COSTS)
    record = portsim.get_stock_operations()
    # The closed holding keeps its weight in the total.
    assert record["weights"] == {0: 0.5 / 1.5, 1: 0.0, 2: 0.5 / 1.5}
    # The next rebalance would not buy it back, and trades the others at 0.5 each.
    assert record["next_weights"] == {0: 0.5, 2: 0.5}
    assert record["actions"] == {1: "sl_"}


def test_nan_in_the_due_row_is_listed_and_not_divided():
    prices = [[10.0, 10.0]] * 3
    portsim.backtest_(*run_args(prices, [[1.5, np.nan]]), **NO_COSTS)
    next_weights = portsim.get_stock_operations()["next_weights"]
    assert next_weights[0] == 1.0 and np.isnan(next_weights[1])


def test_rebalance_words_when_a_row_is_due_after_the_last_row():
    prices = [[10.0, 10.0, 10.0]] * 4
    args = run_args(prices, [[0.5, 0.5, 0.0], [0.0, 0.5, 0.5]], weight_dates=[0, 45])
    portsim.backtest_(*args, **NO_COSTS)
    record = portsim.get_stock_operations()
    assert record["actions"] == {0: "exit", 1: "hold", 2: "enter"}
    assert record["weight_time"] == 0 and record["next_weight_time"] == 1


@pytest.mark.parametrize("stop_trading", [True, False])
def test_instrument_zero_keeps_its_take_profit_words(stop_trading):
    # A close-based take-profit signal on the last row, and one executed earlier.
    pending = run_args([[10.0], [10.0], [10.0], [20.0]], [[1.0]])
    portsim.backtest_(*pending, take_profit=0.5, stop_trading_next_period=stop_trading, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "tp"}
    executed = run_args([[10.0], [10.0], [10.0], [20.0], [20.0]], [[1.0]])
    portsim.backtest_(*executed, take_profit=0.5, stop_trading_next_period=stop_trading, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "tp_"}


def test_exit_words_overwrite_rebalance_words_only_when_stopping_trading():
    # Instrument 0 stopped out on row 3 (executed on row 4); a new row is due after the last row.
    prices = [[10.0, 10.0], [10.0, 10.0], [10.0, 10.0], [5.0, 10.0], [5.0, 10.0]]
    args = run_args(prices, [[0.5, 0.5], [0.5, 0.5]], weight_dates=[0, 55])
    portsim.backtest_(*args, stop_loss=0.2, stop_trading_next_period=True, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "sl_", 1: "hold"}
    portsim.backtest_(*args, stop_loss=0.2, stop_trading_next_period=False, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "enter", 1: "hold"}


def test_pending_exit_of_an_instrument_held_again_is_exit_and_enter():
    # The last row raises a stop on the close; the due weight row (dated after the
    # last price row) holds the instrument again.
    prices = [[10.0], [10.0], [10.0], [5.0]]
    args = run_args(prices, [[1.0], [1.0]], weight_dates=[0, 45])
    portsim.backtest_(*args, stop_loss=0.2, stop_trading_next_period=False, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "sl_enter"}
    portsim.backtest_(*args, stop_loss=0.2, stop_trading_next_period=True, **NO_COSTS)
    assert portsim.get_stock_operations()["actions"] == {0: "sl"}


def test_normalize_weight_is_looked_up_at_call_time(monkeypatch):
    seen = []

    def spy(weights, position_limit):
        seen.append((dict(weights), position_limit))
        return {"replaced": True}

    monkeypatch.setattr(portsim, "normalize_weight", spy)
    portsim.backtest_(*run_args([[10.0, 10.0]] * 3, [[0.9, 0.9]]), position_limit=0.25, **NO_COSTS)
    assert seen == [({0: 0.5, 1: 0.5}, 0.25), ({0: 0.5, 1: 0.5}, 0.25)]
    record = portsim.get_stock_operations()
    assert record["weights"] == record["next_weights"] == {"replaced": True}


def test_failing_normalize_weight_fails_the_run_and_leaves_the_new_record(monkeypatch):
    def broken(weights, position_limit):
        raise RuntimeError("boom")

    portsim.backtest_(*run_args([[10.0]] * 3, [[1.0]]), **NO_COSTS)
    monkeypatch.setattr(portsim, "normalize_weight", broken)
    with pytest.raises(RuntimeError, match="boom"):
        portsim.backtest_(*run_args([[10.0]] * 3, [[0.5]]), **NO_COSTS)
    assert portsim.get_stock_operations()["weights"] == {0: 0.5}
