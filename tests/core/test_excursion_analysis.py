"""Excursion statistics of single trades: values, layout, missing data,
exit costs and failures."""

import math

import numpy as np
import pytest
from builders import run_args
from excursion_support import (
    as_table,
    record_date,
    record_entry,
    record_exit,
    reference_snapshots,
    reset_recorder,
    trade,
)

from korvel.core import excursion, portsim

NAN = float("nan")
WORKED = [100.0, 110.0, 99.0, 105.0]
WORKED_RESULT = [-0.01, 0.1, 0.1, -0.1, 2.0, 0.05]


def test_worked_example():
    reset_recorder(WORKED, WORKED)
    result = trade(0, 3)
    assert result.shape == (6,)
    np.testing.assert_allclose(result, WORKED_RESULT)


@pytest.mark.parametrize("fee_ratio, tax_ratio", [(0.0, 0.0), (0.001425, 0.003), (0.01, 0.0)])
def test_worked_example_with_exit_costs(fee_ratio, tax_ratio):
    price = [100.0, 110.0, 99.0, 106.0]
    reset_recorder(price, WORKED, fee_ratio=fee_ratio, tax_ratio=tax_ratio)
    result = trade(0, 3, exit_transaction=1)
    # The exit is valued at the trade price 106 instead of the close 105.
    expected = WORKED_RESULT[:5] + [1.05 * 106 / 105 * ((1 - fee_ratio) - tax_ratio) - 1]
    np.testing.assert_allclose(result, expected)


def test_entry_commission_seeds_every_series():
    price = [100.0, 100.0]
    close = [100.2, 100.0]
    reset_recorder(price, close, fee_ratio=0.003)
    result = trade(0, 1, entry_transaction=1)
    first = 1.002 * 0.997
    assert first < 1
    # Just below break-even after commission: not a profitable row.
    np.testing.assert_allclose(
        result, [first * 100 / 100.2 - 1, 0.0, 0.0, first * 100 / 100.2 - 1, 0.0, first * 100 / 100.2 - 1]
    )


def test_short_trade():
    price = [100.0, 99.0]
    close = [90.0, 110.0]
    reset_recorder(price, close)
    result = trade(0, 1, weight=-1.0)
    # 2 - 0.9 = 1.1 on entry, then 2 - (2 - 1.1) * 110 / 90 = 0.9 at the
    # close; the record ends at the trade price 99: 2 - 99 * (2 - 0.9) / 110.
    np.testing.assert_allclose(result, [-0.1, 0.1, 0.1, 0.9 / 1.1 - 1, 1.0, 2 - 99 * 1.1 / 110 - 1])


def test_short_factor_is_two_minus_growth():
    closes = [50.0, 40.0, 60.0, 55.0, 45.0]
    reset_recorder(closes, closes)
    result = trade(0, 4, weight=-0.2)
    assert result[5] == pytest.approx(1 - 45 / 50)
    assert result[0] == pytest.approx(1 - 60 / 50)
    assert result[1] == pytest.approx(1 - 40 / 50)


@pytest.mark.parametrize(
    "window, window_step, size",
    [
        (0, 1, 6),
        (0, 2, 6),
        (0, 7, 6),  # q = (0 - 1) // step = -1: floor, not truncation
        (1, 1, 12),
        (20, 5, 30),
        (21, 5, 36),
        (3, 7, 12),
        (4, 2, 18),
    ],
)
def test_result_size(window, window_step, size):
    reset_recorder(WORKED, WORKED, window=window, window_step=window_step)
    assert trade(0, 3).shape == (size,)


def test_window_layout_past_the_exit():
    closes = 100 + 5 * np.sin(np.arange(40.0))
    reset_recorder(closes, closes, window=20, window_step=5)
    result = trade(2, 5)
    assert result.shape == (30,)
    # Window snapshots at offsets 0, 5, 10 and 15 cover rows after the exit
    # as if the trade were still held; the exit snapshot is at offset 3.
    expected = reference_snapshots(closes, closes, 2, 5, window=20, window_step=5)
    np.testing.assert_allclose(result, expected)
    series = closes[2:22] / closes[2]
    assert result[5] == pytest.approx(series[0] - 1)
    assert result[11] == pytest.approx(series[5] - 1)
    assert result[17] == pytest.approx(series[10] - 1)
    assert result[23] == pytest.approx(series[15] - 1)
    assert result[29] == pytest.approx(series[3] - 1)
    assert result[27] == pytest.approx(min(0.0, (series[:4] / np.maximum.accumulate(series[:4])).min() - 1))


def test_long_trade_reaches_past_the_window():
    closes = 100 + np.arange(30.0)
    reset_recorder(closes, closes, window=6, window_step=2)
    result = trade(1, 20)
    np.testing.assert_allclose(result, reference_snapshots(closes, closes, 1, 20, window=6, window_step=2))
    assert result[-1] == pytest.approx(closes[20] / closes[1] - 1)
    assert result[-2] == 19


@pytest.mark.parametrize("entry_row, exit_row, written_groups", [(7, 9, 3), (8, 9, 2), (9, 9, 1)])
def test_trade_near_the_end_of_the_tables(entry_row, exit_row, written_groups):
    closes = [100.0, 101.0, 99.0, 98.0, 103.0, 104.0, 100.0, 97.0, 99.0, 102.0]
    reset_recorder(closes, closes, window=8, window_step=1)
    result = trade(entry_row, exit_row)
    assert result.shape == (54,)
    np.testing.assert_allclose(result, reference_snapshots(closes, closes, entry_row, exit_row, window=8))
    assert (result[6 * written_groups : 48] == -1.0).all()
    assert (result[: 6 * written_groups] != -1.0).any()
    assert result[-1] == pytest.approx(closes[exit_row] / closes[entry_row] - 1)


def test_window_zero_same_row():
    price = [100.0, 120.0]
    close = [110.0, 130.0]
    reset_recorder(price, close, fee_ratio=0.01, tax_ratio=0.02)
    result = trade(1, 1, entry_transaction=1, exit_transaction=1)
    # One element: no revaluation at the trade price, costs on both sides.
    first = 130 / 120 * 0.99
    np.testing.assert_allclose(result, [0.0, first - 1, first - 1, 0.0, 1.0, first * 0.97 - 1])


@pytest.mark.parametrize("price0, close0", [(NAN, 100.0), (100.0, NAN)])
def test_nan_on_the_entry_row_spoils_the_trade(price0, close0):
    price = [price0, 101.0, 102.0, 103.0]
    close = [close0, 90.0, 120.0, 110.0]
    reset_recorder(price, close, window=4, window_step=2)
    result = trade(0, 3, exit_transaction=1)
    groups = result.reshape(-1, 6)
    assert groups.shape == (3, 6)
    for group in groups:
        assert all(math.isnan(v) for v in group[[0, 1, 2, 5]])
        assert group[3] == 0.0 and group[4] == 0.0


def test_nan_closes_inside_the_trade():
    closes = [100.0, NAN, 110.0, NAN, NAN, 99.0, 121.0]
    reset_recorder(closes, closes, window=7, window_step=1)
    result = trade(0, 6)
    groups = result.reshape(-1, 6)
    returns = groups[:7, 5]
    np.testing.assert_allclose(returns, [0.0, 0.0, 0.1, 0.1, 0.1, -0.01, 0.21])
    # Rows with a missing close are not profitable rows.
    assert groups[:7, 4].tolist() == [0, 0, 1, 1, 1, 1, 2]
    np.testing.assert_allclose(groups[-1], [-0.01, 0.21, 0.1, -0.1, 2.0, 0.21])


def test_missing_column_uses_price_column_zero():
    table = np.array([[100.0, 10.0], [110.0, 30.0]])
    reset_recorder(table, table, pos2price={0: 1}, n_slots=2)
    assert trade(0, 1, sid=0)[5] == pytest.approx(2.0)
    assert trade(0, 1, sid=1)[5] == pytest.approx(0.1)


# Exit costs land on the exit row, whatever the window.


@pytest.mark.parametrize("window, window_step", [(0, 1), (2, 1), (4, 3), (10, 1), (25, 5)])
@pytest.mark.parametrize("is_long", [True, False])
def test_exit_return_does_not_depend_on_the_window(window, window_step, is_long):
    close = [100.0, 104.0, 97.0, 105.0, 111.0, 90.0, 120.0, 80.0, 100.0, 101.0, 99.0, 98.0]
    price = [101.0, 103.0, 98.0, 106.0, 110.0, 91.0, 118.0, 82.0, 101.0, 100.0, 97.0, 99.0]
    reset_recorder(price, close, fee_ratio=0.002, tax_ratio=0.003, window=window, window_step=window_step)
    weight = 1.0 if is_long else -1.0
    result = trade(1, 4, weight=weight, entry_transaction=1, exit_transaction=1)
    base = 104 / 103 * 0.998
    if is_long:
        at_exit = base * 111 / 104 * (110 / 111)
    else:
        at_exit = 2 - (2 - (2 - 104 / 103) * 0.998) * 111 / 104
        at_exit = 2 - 110 * (2 - at_exit) / 111
    assert result[-1] == pytest.approx(at_exit * 0.995 - 1)
    np.testing.assert_allclose(
        result,
        reference_snapshots(
            price,
            close,
            1,
            4,
            is_long=is_long,
            window=window,
            window_step=window_step,
            fee_ratio=0.002,
            tax_ratio=0.003,
            entry_transaction=1,
            exit_transaction=1,
        ),
    )


def test_exit_costs_change_only_the_exit_element():
    close = [100.0, 110.0, 120.0, 130.0, 140.0, 150.0]
    price = [100.0, 111.0, 121.0, 131.0, 141.0, 151.0]
    reset_recorder(price, close, fee_ratio=0.1, window=6, window_step=1)
    groups = trade(0, 2, exit_transaction=1).reshape(-1, 6)
    # Offsets 0..5, then the exit snapshot at offset 2.
    np.testing.assert_allclose(groups[:6, 5], [0.0, 0.1, 1.21 * 0.9 - 1, 0.3, 0.4, 0.5])
    assert groups[6, 5] == groups[2, 5]
    # Peak, trough, drawdown and count describe the holding, not the exit.
    np.testing.assert_allclose(groups[6, :5], [0.0, 0.2, 0.0, 0.0, 2.0])


@pytest.mark.parametrize(
    "exit_price, exit_close, expected",
    [
        (NAN, 105.0, 1.05 * 0.99 - 1),
        (106.0, NAN, 1.2 * 0.99 - 1),  # valued at the last valid close, 120
        (NAN, NAN, 1.2 * 0.99 - 1),
        (106.0, 105.0, 1.06 * 0.99 - 1),
    ],
)
@pytest.mark.parametrize("window", [0, 6])
def test_missing_exit_price_keeps_the_close_valuation(exit_price, exit_close, expected, window):
    price = [100.0, 110.0, 120.0, exit_price, 90.0, 80.0]
    close = [100.0, 110.0, 120.0, exit_close, 90.0, 80.0]
    reset_recorder(price, close, fee_ratio=0.01, window=window)
    result = trade(0, 3, exit_transaction=1)
    assert result[-1] == pytest.approx(expected)


# Failures.


def assert_failed_analysis():
    assert len(excursion.trades) == len(excursion.trade_positions) == len(excursion.excursion) + 1


@pytest.mark.parametrize(
    "price, close, exit_transaction",
    [
        ([0.0, 100.0, 100.0], [100.0, 100.0, 100.0], 0),  # trade price 0 on entry
        ([100.0, 100.0, 100.0], [0.0, 100.0, 100.0], 0),  # last valid close 0
        ([100.0, 100.0, 100.0], [100.0, 0.0, 100.0], 0),
        ([100.0, 100.0, 100.0], [100.0, 100.0, 0.0], 1),  # exit close 0
        ([100.0, 100.0, NAN], [100.0, 100.0, 0.0], 1),
    ],
)
def test_float_division_by_zero(price, close, exit_transaction):
    reset_recorder(price, close)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        trade(0, 2, exit_transaction=exit_transaction)
    assert_failed_analysis()


def test_zero_close_after_a_missing_one_divides_by_zero():
    reset_recorder([100.0] * 4, [100.0, 0.0, NAN, 50.0])
    with pytest.raises(ZeroDivisionError, match="float division"):
        trade(0, 3)


def test_zero_close_on_the_last_row_of_an_open_trade_is_fine():
    # The trade is still open at the end of the run: valued at the close 0.0,
    # never divided by it.
    args = run_args([[100.0]] * 3, [[1.0]], close=[[100.0], [100.0], [0.0]], weight_dates=[0])
    portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert [list(t) for t in excursion.trades] == [[0, 1, -1]]
    np.testing.assert_allclose(excursion.excursion[0], [-1.0, 0.0, 0.0, -1.0, 0.0, -1.0])


def test_zero_close_on_a_revalued_split_divides_by_zero():
    # A record ended at a rebalance is valued at the trade price over the close.
    reset_recorder([100.0, 100.0], [100.0, 0.0])
    with pytest.raises(ZeroDivisionError, match="float division"):
        trade(0, 1)


def test_zero_window_step():
    reset_recorder(WORKED, WORKED, window=3, window_step=0)
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
        trade(0, 3)
    assert_failed_analysis()


@pytest.mark.parametrize(
    "entry_row, error, message",
    [
        (4, IndexError, r"Out of bounds on buffer access \(axis 0\)"),
        (5, OverflowError, "past the end"),
        (2**31 - 1, OverflowError, "past the end"),
        (-5, IndexError, r"Out of bounds on buffer access \(axis 0\)"),
    ],
)
def test_entry_row_outside_the_tables(entry_row, error, message):
    reset_recorder(WORKED, WORKED, window=3)
    with pytest.raises(error, match=message):
        trade(entry_row, entry_row)
    assert_failed_analysis()


def test_negative_entry_row_counts_from_the_end():
    reset_recorder(WORKED, WORKED)
    np.testing.assert_allclose(trade(-1, -1), [0.0] * 6)
    np.testing.assert_allclose(trade(-2, -1), [0.0, 105 / 99 - 1, 0.0, 0.0, 1.0, 105 / 99 - 1])


def test_column_outside_the_tables():
    table = as_table(WORKED)
    reset_recorder(table, table, pos2price={0: 0, 1: 0}, n_slots=2)
    # Same shape for both tables, but only one column: slot 1 maps to it too.
    assert trade(0, 3, sid=1)[5] == pytest.approx(0.05)


def test_close_table_shorter_than_price_table():
    reset_recorder(WORKED + [100.0], WORKED)
    with pytest.raises(IndexError, match=r"axis 0"):
        trade(2, 4)
    assert_failed_analysis()
    np.testing.assert_allclose(trade(0, 3), WORKED_RESULT)


def test_failed_record_keeps_earlier_records():
    reset_recorder([100.0, 100.0, 0.0], [100.0, 100.0, 100.0])
    trade(0, 1)
    with pytest.raises(ZeroDivisionError):
        trade(2, 2)
    record_date(1)
    record_entry(0, 1.0, 0)
    record_exit(0, 0)
    assert excursion.trades == [[0, 0, 1], [0, 2, 2], [0, 1, 1]]
    assert len(excursion.excursion) == 2
