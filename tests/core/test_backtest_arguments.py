"""Argument checking of backtest_: order, messages, module flags, safety on bad shapes."""

import array
import inspect
import math

import numpy as np
import pytest
from builders import run_args

from korvel.core import excursion, portsim

NAMES = [
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
]


def valid_args():
    return run_args([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0]], [[0.5, 0.5]])


def test_visible_signature_and_defaults():
    sig = inspect.signature(portsim.backtest_)
    params = list(sig.parameters.values())
    assert [p.name for p in params[:11]] == NAMES
    assert all(p.default is inspect.Parameter.empty for p in params[:11])
    defaults = {p.name: p.default for p in params[11:]}
    assert defaults == {
        "fee_ratio": 0.001425,
        "tax_ratio": 0.003,
        "stop_loss": 1.0,
        "take_profit": math.inf,
        "trail_stop": math.inf,
        "trail_stop_activation": 0.0,
        "touched_exit": False,
        "position_limit": 1.0,
        "retain_cost_when_rebalance": False,
        "stop_trading_next_period": True,
        "excursion_window": 0,
        "excursion_window_step": 1,
        "periodically_rebalance": True,
        "delisting_bars": None,
    }
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


def test_all_by_keyword_equals_by_position():
    args = valid_args()
    by_position = portsim.backtest_(*args, 0.001, 0.002)
    by_keyword = portsim.backtest_(**dict(zip(NAMES, args)), tax_ratio=0.002, fee_ratio=0.001)
    np.testing.assert_array_equal(by_position, by_keyword)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: portsim.backtest_(*a[:10]),
        lambda a: portsim.backtest_(*a, *([0] * 15)),
        lambda a: portsim.backtest_(*a, bogus=1),
        lambda a: portsim.backtest_(*a, price_values=a[0]),
    ],
    ids=["missing", "surplus", "unknown-keyword", "given-twice"],
)
def test_call_shape_errors(call):
    with pytest.raises(TypeError):
        call(valid_args())


def test_module_level_names():
    assert portsim.org_np is np
    assert portsim.inf == math.inf
    assert portsim.excursion is excursion
    import datetime

    assert portsim.datetime is datetime
    assert not hasattr(portsim, "stock_operations")


@pytest.mark.parametrize("index", range(11))
def test_non_array_argument_names_the_parameter(index):
    args = valid_args()
    args[index] = list(np.asarray(args[index]).ravel())
    with pytest.raises(TypeError) as info:
        portsim.backtest_(*args)
    assert str(info.value) == (f"Argument '{NAMES[index]}' has incorrect type (expected numpy.ndarray, got list)")


def test_none_for_a_required_array_is_a_type_error():
    args = valid_args()
    args[7] = None
    with pytest.raises(TypeError, match="Argument 'pos_values' has incorrect type .*got NoneType"):
        portsim.backtest_(*args)


@pytest.mark.parametrize(
    "index, bad, message",
    [
        (0, np.ones((3, 2), dtype=np.float32), "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (5, np.arange(3, dtype=np.float64), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        (5, np.arange(3, dtype=np.int32), "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        (6, np.array(["S0", "S1"]), "Buffer dtype mismatch, expected 'Python object' but got '<U2'"),
        (7, np.array([0.5, 0.5]), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (10, np.zeros((1, 1), dtype=np.int64), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (1, np.ones((3, 2), dtype=">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ],
)
def test_element_type_and_dimension_messages(index, bad, message):
    args = valid_args()
    args[index] = bad
    with pytest.raises(ValueError) as info:
        portsim.backtest_(*args)
    assert str(info.value) == message


def test_check_order_conversions_then_types_then_layouts():
    args = valid_args()
    args[0] = np.ones((3, 2), dtype=np.float32)  # layout error, checked last
    args[4] = [1.0]  # not an ndarray, checked second
    with pytest.raises(TypeError, match="must be real number"):
        portsim.backtest_(*args, fee_ratio="high")
    with pytest.raises(TypeError, match="Argument 'open_values'"):
        portsim.backtest_(*args)
    args[4] = args[1]
    with pytest.raises(ValueError, match="expected 'float64_t'"):
        portsim.backtest_(*args)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"tax_ratio": None}, TypeError),
        ({"excursion_window": 1.5}, TypeError),
        ({"excursion_window": 2**40}, OverflowError),
        ({"excursion_window_step": -(2**40)}, OverflowError),
        ({"excursion_window": -1}, ValueError),
        ({"excursion_window_step": -3}, ValueError),
        ({"delisting_bars": [0, 1]}, TypeError),
        ({"delisting_bars": np.zeros(2)}, ValueError),
        ({"delisting_bars": np.zeros((2, 1), dtype=np.int64)}, ValueError),
    ],
)
def test_rule_conversion_errors(kwargs, error):
    with pytest.raises(error):
        portsim.backtest_(*valid_args(), **kwargs)


def test_conversion_errors_follow_parameter_order():
    with pytest.raises(TypeError, match="must be real number"):
        portsim.backtest_(*valid_args(), stop_loss="x", excursion_window=2**40)
    with pytest.raises(OverflowError):
        portsim.backtest_(*valid_args(), excursion_window=2**40, delisting_bars=np.zeros(2))


@pytest.mark.parametrize(
    "bars",
    [
        np.array([-1, 2], dtype=np.int64),
        array.array("q", [-1, 2]),
        np.array([0, -1, 2, -1], dtype=np.int64)[::2],
    ],
    ids=["ndarray", "array.array", "strided"],
)
def test_delisting_bars_from_any_int64_buffer(bars):
    if isinstance(bars, np.ndarray):
        bars.flags.writeable = False
    equity = portsim.backtest_(*valid_args(), delisting_bars=bars, fee_ratio=0.0, tax_ratio=0.0)
    # Instrument 1 is delisted on row 2 and sold at its trading price there.
    assert [t[0] for t in excursion.trades] == [1, 0]
    assert excursion.trades[0][2] == 2
    assert equity[2] == pytest.approx(0.5 * 12 / 11 + 0.5 * 22 / 21)


def test_flags_follow_each_call_even_when_it_fails_later():
    args = valid_args()
    args[7] = np.empty((0, 2))  # no weight row: the set-up fails after publishing the flags
    with pytest.raises(IndexError, match="index 0 is out of bounds for axis 0 with size 0"):
        portsim.backtest_(*args, retain_cost_when_rebalance=1, periodically_rebalance=0)
    assert portsim.RETAIN_COST_WHEN_REBALANCE is True
    assert portsim.RESAMPLE is False
    portsim.backtest_(*valid_args())
    assert portsim.RETAIN_COST_WHEN_REBALANCE is False
    assert portsim.RESAMPLE is True


def test_price_table_without_rows():
    args = valid_args()
    for k in range(5):
        args[k] = np.empty((0, 2))
    with pytest.raises(IndexError, match="index 0 is out of bounds"):
        portsim.backtest_(*args)


def test_empty_price_index_with_rebalance_dates_marks_nothing():
    args = valid_args()
    args[5] = np.empty(0, dtype=np.int64)
    equity = portsim.backtest_(*args)
    assert equity.shape == (0,) and equity.dtype == np.float64
    assert excursion.trades == []


def test_empty_weight_index_raises_on_first_row():
    args = valid_args()
    args[8] = np.empty(0, dtype=np.int64)
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        portsim.backtest_(*args)


@pytest.mark.parametrize(
    "mutate",
    [
        lambda a: a.__setitem__(1, a[1][:2]),  # close table with fewer rows
        lambda a: a.__setitem__(2, a[2][:, :1]),  # high table with fewer columns (touched exits read it)
        lambda a: a.__setitem__(9, a[9][:1]),  # fewer weight labels than weight columns
        lambda a: a.__setitem__(6, np.array(["X", "S1", "S0"], dtype=object)),  # named column beyond the table
    ],
    ids=["close-rows", "high-cols", "labels", "price-names"],
)
def test_mismatched_shapes_raise_index_error(mutate):
    args = valid_args()
    mutate(args)
    with pytest.raises(IndexError):
        portsim.backtest_(*args, touched_exit=True)


def test_unmapped_weight_column_reads_price_column_zero():
    args = run_args([[10.0, 20.0], [20.0, 30.0]], [[0.0, 1.0]], weight_names=["S0", "ZZ"])
    equity = portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    # Bought on row 1 at price column 0's 20.0.
    assert list(equity) == [1.0, 1.0]
    assert excursion.trade_positions == [1.0]


def test_columns_are_matched_by_exact_name():
    prices = [[10.0, 20.0, 40.0], [10.0, 20.0, 40.0], [11.0, 30.0, 60.0]]
    args = run_args(prices, [[0.5, 0.5]], price_names=["A", "B", "C"], weight_names=["C", "A"])
    equity = portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert equity[2] == pytest.approx(0.5 * 60 / 40 + 0.5 * 11 / 10)
    # The last of repeated price names wins; "a" and "A " match nothing (read column 0).
    args = run_args(prices, [[1.0, 0.0, 0.0]], price_names=["A", "B", "A"], weight_names=["A", "a", "A "])
    equity = portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert equity[2] == pytest.approx(60 / 40)


class Renamed(str):
    """A label whose own encode() decides what it is matched as."""

    def encode(self, *args):
        return b"B"


@pytest.mark.parametrize(
    "price_names, weight_names, bought_at",
    [
        (["A", "\u00e9", "B"], ["\u00e9"], 40 / 20),  # non-ASCII names match by their UTF-8 bytes
        (["A", Renamed("A"), "C"], ["B"], 40 / 20),  # a label's own encode() is honoured
        (["A", "B", "C"], [Renamed("X")], 40 / 20),
    ],
)
def test_labels_are_matched_by_what_encode_returns(price_names, weight_names, bought_at):
    prices = [[10.0, 20.0, 40.0], [10.0, 20.0, 40.0], [11.0, 40.0, 60.0]]
    args = run_args(prices, [[1.0]], price_names=price_names, weight_names=weight_names)
    equity = portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert equity[2] == bought_at


@pytest.mark.parametrize("where", [6, 9])
def test_label_utf8_cannot_encode_raises_its_encode_error(where):
    args = valid_args()
    args[where] = np.array(["S0", "\ud800"], dtype=object)
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        portsim.backtest_(*args)


def test_label_without_encode_is_an_attribute_error():
    args = valid_args()
    args[9] = np.array([42, "S1"], dtype=object)
    with pytest.raises(AttributeError, match="'int' object has no attribute 'encode'"):
        portsim.backtest_(*args)


def test_no_rebalance_dates_leaves_cash_untouched():
    args = valid_args()
    args[10] = np.empty(0, dtype=np.int64)
    equity = portsim.backtest_(*args)
    assert list(equity) == [1.0, 1.0, 1.0]
    assert excursion.trades == [] and excursion.excursion == []


def test_rebalance_dates_map_to_last_price_row_on_or_before():
    # Price rows 10, 20, 30; dates 5, 20, 25, 40 mark rows 0, 1, 1, 2. A weight row
    # dated before everything is applied on the row after the first marked row.
    prices = [[10.0], [20.0], [40.0]]
    for resample, first_trade_row in [([5, 20, 25, 40], 1), ([20], 2), ([25, 40], 2), ([40], None)]:
        portsim.backtest_(*run_args(prices, [[1.0]], resample=resample), fee_ratio=0.0, tax_ratio=0.0)
        rows = [t[1] for t in excursion.trades]
        assert rows == ([] if first_trade_row is None else [first_trade_row])


class FlipsTheCollector:
    """A truth value whose test switches the collector the other way."""

    def __bool__(self):
        import gc

        (gc.disable if gc.isenabled() else gc.enable)()
        return True


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("fails", [False, True])
@pytest.mark.parametrize("caller_flips", [False, True])
def test_collector_state_is_restored(enabled, fails, caller_flips):
    import gc

    args = valid_args()
    if fails:
        args[9] = np.array([42, "S1"], dtype=object)
    rules = {"stop_trading_next_period": FlipsTheCollector()} if caller_flips else {}
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            portsim.backtest_(*args, **rules)
        except AttributeError:
            assert fails
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("offset, first_trade_row", [(-1, 1), (0, 2)])
def test_dates_compare_as_exact_64_bit_integers(offset, first_trade_row):
    # Nanosecond stamps one apart are equal as doubles; the weight row dated one
    # nanosecond before the second price row is due on it, the one dated on it
    # waits one row.
    base = 1_600_000_000_000_000_000
    price_dates = [base, base + 1, base + 2]
    # An empty first weight row, then the one under test.
    args = run_args(
        [[10.0], [10.0], [10.0]],
        [[0.0], [1.0]],
        price_dates=price_dates,
        weight_dates=[base - 5, price_dates[1] + offset],
        resample=price_dates,
    )
    portsim.backtest_(*args, fee_ratio=0.0, tax_ratio=0.0)
    assert [int(t[1]) for t in excursion.trades] == [first_trade_row]


class ChangesAFlag:
    """A truth value whose test, from its `after`-th call on, sets a module flag."""

    def __init__(self, after, name, value, collector=False):
        self.calls, self.after, self.name, self.value, self.collector = 0, after, name, value, collector

    def __bool__(self):
        import gc

        self.calls += 1
        if self.calls == self.after:
            if self.collector:
                # Set the flag from a collection started by a later allocation.
                def set_flag(phase, info):
                    setattr(portsim, self.name, self.value)
                    gc.callbacks.remove(set_flag)

                # Lists come from a free list without a collection: drain it,
                # so that the next record's list is a new container.
                self.keep = [[] for _ in range(200)]
                gc.callbacks.append(set_flag)
                gc.enable()
                gc.set_threshold(1)
            else:
                setattr(portsim, self.name, self.value)
        return True


@pytest.mark.parametrize("collector", [False, True])
@pytest.mark.parametrize(
    "name, value, splits",
    [
        ("RESAMPLE", False, False),  # resized holdings stop being split...
        ("RETAIN_COST_WHEN_REBALANCE", True, False),
        ("RESAMPLE", True, True),  # ...or go on being split
    ],
)
def test_flags_changed_during_a_run_are_seen_by_the_next_resize(name, value, splits, collector):
    import gc

    # Two holdings resized on every row: with the engine's flags each resize
    # splits the trade. The truth test of the third rebalance changes a flag,
    # or starts a collection at the next allocation (a record of the first
    # holding's split) that changes it before the second holding is resized.
    prices = [[10.0 + k, 20.0 - k] for k in range(8)]
    args = run_args(prices, [[0.3, 0.3], [0.2, 0.2]] * 4, weight_dates=list(range(5, 85, 10)))
    was = gc.isenabled()
    try:
        portsim.backtest_(*args, stop_trading_next_period=ChangesAFlag(3, name, value, collector))
    finally:
        gc.set_threshold(700)
        (gc.enable if was else gc.disable)()
    entries = {sid: [int(t[1]) for t in excursion.trades if t[0] == sid] for sid in (0, 1)}
    if splits:
        assert entries == {0: list(range(1, 8)), 1: list(range(1, 8))}
    else:
        assert entries == {0: [1, 2, 3] if collector else [1, 2], 1: [1, 2]}


def test_tables_without_columns_run_through_rebalances():
    # Every row rebalances an empty weight row on empty price rows (sliced,
    # so the rows keep a column stride: NumPy gives a fresh empty table none).
    empty = np.ones((3, 1))[:, :0]
    args = run_args(empty, np.empty((1, 0)), price_names=[])
    assert list(portsim.backtest_(*args)) == [1.0, 1.0, 1.0]
    assert excursion.trades == []
