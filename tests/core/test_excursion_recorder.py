"""Recording entries and exits into trade records, and resetting the
recorder between runs."""

import numpy as np
import pytest
from builders import run_args
from excursion_support import (
    record_date,
    record_entry,
    record_exit,
    reference_snapshots,
    reset_recorder,
    slot_array,
    trade,
)

from korvel.core import excursion, portsim

CLOSES = [100.0, 110.0, 99.0, 105.0, 104.0]


def record_lists():
    return excursion.trades, excursion.trade_positions, excursion.excursion


def test_reset_empties_the_same_lists_and_keeps_date():
    reset_recorder(CLOSES, CLOSES)
    before = record_lists()
    trade(0, 2, weight=0.5)
    record_date(4)
    assert [len(records) for records in before] == [1, 1, 1]
    old_entry = slot_array("entry")

    reset_recorder(CLOSES, CLOSES, n_slots=3)
    after = record_lists()
    assert all(a is b for a, b in zip(before, after))
    assert [len(records) for records in after] == [0, 0, 0]
    entry, position = slot_array("entry"), slot_array("position")
    assert entry is not old_entry
    assert entry.dtype == np.int64 and entry.tolist() == [0, 0, 0]
    assert position.dtype == np.float64 and position.tolist() == [0.0, 0.0, 0.0]
    # The row mark survives the reset until the engine marks a new row.
    record_entry(1, 0.25, 1)
    assert entry.tolist() == [0, 4, 0]
    assert position.tolist() == [0.0, 0.25, 0.0]


def test_zero_slots():
    reset_recorder(CLOSES, CLOSES, n_slots=0)
    assert slot_array("entry").shape == (0,) and slot_array("position").shape == (0,)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        record_entry(0, 1.0, 1)


def test_record_layout_and_order():
    reset_recorder(np.tile(np.array(CLOSES)[:, None], 2), np.tile(np.array(CLOSES)[:, None], 2), n_slots=2)
    record_date(1)
    record_entry(1, -0.3, 1)
    record_entry(0, 0.7, 1)
    record_date(3)
    record_exit(0, 1)
    record_date(4)
    record_exit(1, 0)
    trades, positions, stats = record_lists()
    assert trades == [[0, 1, 3], [1, 1, 4]]
    for record in trades:
        assert type(record) is list and len(record) == 3
        assert type(record[0]) is int and type(record[1]) is np.int64 and type(record[2]) is int
    assert [type(p) for p in positions] == [np.float64, np.float64]
    assert positions == [0.7, -0.3]
    assert all(s.dtype == np.float64 and s.shape == (6,) for s in stats)


def test_second_entry_replaces_the_first():
    reset_recorder(CLOSES, CLOSES, fee_ratio=0.5)
    record_date(1)
    record_entry(0, 0.3, 1)
    record_date(2)
    record_entry(0, -0.4, 0)
    record_date(3)
    record_exit(0, 0)
    assert excursion.trades == [[0, 2, 3]]
    assert excursion.trade_positions == [-0.4]
    # Short from row 2 (close 99) to row 3 (close 105), no entry commission.
    assert excursion.excursion[0][5] == pytest.approx(1 - 105 / 99)


def test_exit_of_a_slot_never_entered():
    reset_recorder(CLOSES, CLOSES, n_slots=2, fee_ratio=0.1)
    record_date(1)
    record_exit(1, 0)
    assert excursion.trades == [[1, 0, 1]]
    assert excursion.trade_positions == [0.0]
    # Analysed from row 0 as a short without entry commission.
    np.testing.assert_allclose(excursion.excursion[0], [-0.1, 0.0, 0.0, -0.1, 0.0, -0.1])


def test_negative_sid_counts_from_the_end():
    reset_recorder(CLOSES, CLOSES, n_slots=3)
    record_date(2)
    record_entry(-1, 0.5, 0)
    assert slot_array("entry").tolist() == [0, 0, 2]
    assert slot_array("position").tolist() == [0.0, 0.0, 0.5]
    record_date(3)
    record_exit(-1, 0)
    assert excursion.trades == [[-1, 2, 3]]
    assert excursion.trade_positions == [0.5]
    assert excursion.excursion[0][5] == pytest.approx(105 / 99 - 1)
    with pytest.raises(IndexError):
        record_exit(-4, 0)


@pytest.mark.parametrize("sid", [3, 100, -4])
def test_out_of_range_sid_changes_nothing(sid):
    reset_recorder(CLOSES, CLOSES, n_slots=3)
    record_date(2)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        record_entry(sid, 1.0, 1)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        record_exit(sid, 1)
    assert slot_array("entry").tolist() == [0, 0, 0]
    assert [len(records) for records in record_lists()] == [0, 0, 0]


@pytest.mark.parametrize("window, window_step", [(-1, 1), (5, -1), (-3, -3)])
def test_negative_window_settings_are_rejected(window, window_step):
    reset_recorder(CLOSES, CLOSES, n_slots=2)
    trade(0, 1)
    with pytest.raises(ValueError, match="window"):
        reset_recorder(CLOSES, CLOSES, n_slots=3, window=window, window_step=window_step)
    # A rejected reset leaves the previous run's records and slots alone.
    assert [len(records) for records in record_lists()] == [1, 1, 1]
    assert slot_array("entry").shape == (2,)


# The end of a run: trades still held are recorded with exit row -1.

PRICES = np.array([[100.0, 50.0], [110.0, 51.0], [99.0, 52.0], [105.0, 53.0]])


def test_open_trades_are_recorded_at_the_end_of_a_run():
    lists = record_lists()
    args = run_args(PRICES, [[0.5, -0.5]], resample=[10])
    portsim.backtest_(*args, fee_ratio=0.01, tax_ratio=0.02, excursion_window=2)
    assert all(a is b for a, b in zip(lists, record_lists()))
    # Both entered on row 1 (the row after the rebalance row), in sid order.
    assert excursion.trades == [[0, 1, -1], [1, 1, -1]]
    assert [type(row) for _, _, row in excursion.trades] == [int, int]
    assert excursion.trade_positions == [0.5, -0.5]
    # Analysed up to the last row, with the entry commission and no exit costs.
    for sid, stats in enumerate(excursion.excursion):
        expected = reference_snapshots(
            PRICES,
            PRICES,
            1,
            3,
            is_long=sid == 0,
            col=sid,
            window=2,
            fee_ratio=0.01,
            tax_ratio=0.02,
            entry_transaction=1,
        )
        np.testing.assert_allclose(stats, expected)
    assert excursion.excursion[0][-1] == pytest.approx(105 / 110 * 0.99 - 1)


def test_closed_and_open_trades_of_one_run():
    args = run_args(PRICES, [[0.5, 0.0], [0.0, 0.5]], weight_dates=[0, 25], resample=[10, 30])
    portsim.backtest_(*args, fee_ratio=0.01, tax_ratio=0.0)
    assert excursion.trades == [[0, 1, 3], [1, 3, -1]]
    # The exit on row 3 pays commission; the open trade only its entry.
    assert excursion.excursion[0][-1] == pytest.approx(105 / 110 * 0.99 * 0.99 - 1)
    np.testing.assert_allclose(excursion.excursion[1], [-0.01, 0.0, 0.0, -0.01, 0.0, -0.01])


def test_run_without_holdings_records_nothing():
    trade_lists = record_lists()
    reset_recorder(CLOSES, CLOSES)
    trade(0, 1)
    portsim.backtest_(*run_args(PRICES, [[0.0, 0.0]], resample=[10]))
    assert [len(records) for records in trade_lists] == [0, 0, 0]


SWAP_POSITION_DURING_COLLECTION = """
import ctypes, gc, sys
import numpy as np
sys.path.insert(0, {tests!r})
from builders import run_args
from excursion_support import capsule_pointer
from korvel.core import excursion, portsim

slot = ctypes.cast(capsule_pointer("position"), ctypes.POINTER(ctypes.c_void_p))
stranger = ["not an array"]
swapped = []

def swap(phase, info):
    if phase == "start" and not swapped:
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(stranger))  # the recorder's reference
        slot[0] = id(stranger)
        swapped.append(len(excursion.trades))

keep = []

class ArmsACollection:
    calls = 0

    def __bool__(self):
        # Tested when the second weight row, which closes the trade, is
        # applied. The lists' free list is drained so that the record's list
        # is a new container, and that allocation starts a collection.
        ArmsACollection.calls += 1
        if ArmsACollection.calls == 2:
            keep.extend([] for _ in range(200))
            gc.callbacks.append(swap)
            gc.enable()
            gc.set_threshold(1)
        return True

args = run_args([[10.0], [11.0], [12.0], [13.0]], [[0.5], [0.0]], weight_dates=[0, 25])
portsim.backtest_(*args, stop_trading_next_period=ArmsACollection())
gc.set_threshold(700)
print(swapped, [int(x) for x in excursion.trades[0]], repr(excursion.trade_positions[0]))
"""


def test_slot_array_replaced_while_a_record_is_made():
    # A collection inside the record building runs caller code, which may
    # replace a published slot array: the record is still made from the
    # array that was checked, and the process survives.
    import pathlib
    import subprocess
    import sys

    code = SWAP_POSITION_DURING_COLLECTION.format(tests=str(pathlib.Path(__file__).parent))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[0]", "[0,", "1,", "2]", "np.float64(0.5)"]


@pytest.mark.parametrize("window, step", [(0, 1), (20, 5), (3000, 1)])  # the last: arrays of their own
def test_record_objects_have_their_types_and_are_independent(window, step):
    rows = np.linspace(100.0, 130.0, 40).reshape(-1, 1) * np.ones((1, 3))
    args = run_args(rows, [[0.3, -0.3, 0.3]] * 40, weight_dates=list(range(5, 405, 10)))
    portsim.backtest_(*args, excursion_window=window, excursion_window_step=step)
    records, stats = excursion.trades, excursion.excursion
    assert len(records) > 50
    assert {tuple(type(x) for x in r) for r in records} == {(int, np.int64, int)}
    assert {type(p) for p in excursion.trade_positions} == {np.float64}
    size = 6 * ((window - 1) // step) + 12 if window else 6
    for a in stats:
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.shape == (size,)
        assert a.flags.writeable and a.flags.c_contiguous
    for a, b in zip(stats, stats[1:]):
        assert not np.shares_memory(a, b)
    before = [a.copy() for a in stats]
    stats[0][:] = 7.0  # writing one record's statistics leaves every other alone
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(stats[1:], before[1:]))
