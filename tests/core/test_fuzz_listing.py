"""Fuzzing of normalize_weight and get_trade_stocks against plain-Python models
of what they do: same result (bit for bit), or the same error and the same
changes left behind.

KORVEL_FUZZ_EXAMPLES raises the number of examples (default 200)."""

import math
import operator
from decimal import Decimal

import numpy as np
import pytest
from fuzz_support import DOCUMENTED_ERRORS, LAYOUTS, canon, check_reference_runs, env_int, reference_cases, relayout
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from reference_engine import normalize_weight as normalize_weight_model

from korvel.core import excursion, portsim

pytestmark = pytest.mark.slow

FUZZ = settings(
    max_examples=env_int("KORVEL_FUZZ_EXAMPLES", 200),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def raised(call):
    """(type name, message) of the documented error call() raises, or None."""
    try:
        call()
    except DOCUMENTED_ERRORS as error:
        return type(error).__name__, str(error)
    return None


# ---------------------------------------------------------------- normalize_weight


NUMBERS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-2.0, 2.0),
    st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1e308, math.nan, math.inf, -math.inf]),
    st.integers(-3, 3),
    st.sampled_from([10**400, -(10**400), 2**63, True, False]),
    st.fractions(min_value=-3, max_value=3, max_denominator=7),
    st.sampled_from([np.float64(0.7), np.float32(-1.5), np.int64(2), np.float64(math.nan)]),
)
ODD_VALUES = st.sampled_from([None, "0.5", Decimal("0.5"), 1 + 2j, [0.5]])
KEYS = st.one_of(st.integers(-5, 50), st.text(max_size=3), st.tuples(st.integers(0, 3)))
LIMITS = st.one_of(NUMBERS, st.sampled_from([None, "x", 1j]))


@FUZZ
@given(items=st.lists(st.tuples(KEYS, st.one_of(NUMBERS, NUMBERS, NUMBERS, ODD_VALUES)), max_size=8), limit=LIMITS)
def test_normalize_weight_matches_the_model(items, limit):
    weights, expected = dict(items), dict(items)
    returned = []
    with np.errstate(all="ignore"):  # NumPy scalars among the weights may overflow
        got = raised(lambda: returned.append(portsim.normalize_weight(weights, limit)))
        want = raised(lambda: normalize_weight_model(expected, limit))
    assert got == want
    # Success or failure, the mapping holds exactly what the model left in it.
    assert canon(weights) == canon(expected)
    if got is None:
        assert returned[0] is weights


class Book:
    """A mapping that is not a dict."""

    def __init__(self, items):
        self.data = dict(items)

    def items(self):
        return list(self.data.items())

    def __iter__(self):
        return iter(list(self.data))

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value


@pytest.mark.parametrize(
    "weights, error",
    [
        (None, "'NoneType' object has no attribute 'items'"),
        ([0.5, 0.5], "'list' object has no attribute 'items'"),
        ("ab", "'str' object has no attribute 'items'"),
    ],
)
def test_normalize_weight_without_items(weights, error):
    with pytest.raises(AttributeError) as info:
        portsim.normalize_weight(weights, 1.0)
    assert str(info.value) == error


@FUZZ
@given(items=st.lists(st.tuples(st.integers(0, 9), st.floats(-2, 2)), max_size=6), limit=st.floats(0, 1))
def test_normalize_weight_on_any_mapping(items, limit):
    book, expected = Book(items), dict(items)
    assert portsim.normalize_weight(book, limit) is book
    assert canon(book.data) == canon(normalize_weight_model(expected, limit))


# ---------------------------------------------------------------- get_trade_stocks


def model_listing(pos_columns, price_index, touched_exit):
    truth = bool(touched_exit)
    for name, value, kind in (("pos_columns", pos_columns, "O"), ("price_index", price_index, "i")):
        if value is None:
            continue
        if not isinstance(value, np.ndarray):
            raise TypeError(f"Argument '{name}' has incorrect type")
        if value.ndim != 1 or value.dtype.kind != kind or value.dtype.itemsize != 8 or not value.dtype.isnative:
            raise ValueError("Buffer dtype or dimensions")

    def at(values, k):
        n = 0 if values is None else len(values)
        if not -n <= k < n:
            raise IndexError("Out of bounds on buffer access (axis 0)")
        return values[k]

    rows = []

    def as_index(value):
        value = operator.index(value)
        if not -(2**63) <= value < 2**63:
            raise OverflowError("index out of range")
        return value

    for i, trade in enumerate(excursion.trades):
        position = excursion.trade_positions[i]
        sid_obj, entry_obj, exit_obj = trade[0], trade[1], trade[2]
        sid, entry, exit_ = as_index(sid_obj), as_index(entry_obj), as_index(exit_obj)
        is_open = exit_ == -1
        row = [
            at(pos_columns, sid),
            at(price_index, entry),
            -1 if is_open else at(price_index, exit_),
            at(price_index, entry - 1),
            -1 if is_open else at(price_index, exit_ if truth else exit_ - 1),
            position,
            (0 if price_index is None else len(price_index)) - entry_obj if is_open else exit_obj - entry_obj,
            entry_obj,
            exit_obj,
        ]
        rows.append(row)
    return rows


def listing_outcome(call):
    try:
        return ("ok", canon(call()))
    except DOCUMENTED_ERRORS as error:
        return ("raised", type(error).__name__)


@st.composite
def listing_arguments(draw, pos_columns, price_index):
    """Labels and dates as given to the run, shorter or longer, in any layout,
    or of the wrong kind altogether."""

    def variant(values, wrong):
        kind = draw(st.sampled_from(["same", "same", "same", "shorter", "longer", "none", "wrong"]))
        if kind == "none":
            return None
        if kind == "wrong":
            return draw(st.sampled_from(wrong))
        if kind == "shorter":
            values = values[: draw(st.integers(0, max(len(values) - 1, 0)))]
        elif kind == "longer":
            values = np.concatenate([values, values[:1], values[:1]])
        return relayout(values, draw(st.sampled_from(LAYOUTS)))[0]

    labels = variant(pos_columns, [list(pos_columns), np.array([["A"]], dtype=object), np.array(["A", "B"])])
    dates = variant(
        price_index,
        [
            list(price_index),
            price_index.astype(np.int32),
            price_index.astype(float),
            price_index.reshape(1, -1),
            price_index.astype(">i8"),
        ],
    )
    touched = draw(st.sampled_from([False, True, 0, 1, "", "x", None, [1]]))
    return labels, dates, touched


@FUZZ
@given(case=st.sampled_from(range(4)), data=st.data())
def test_trade_listing_matches_the_model(case, data):
    args, rules = reference_cases()[case]
    portsim.backtest_(*args, **rules)
    assert len(excursion.trades) > 0
    labels, dates, touched = data.draw(listing_arguments(args[9], args[5]))
    got = listing_outcome(lambda: portsim.get_trade_stocks(labels, dates, touched)[0])
    want = listing_outcome(lambda: model_listing(labels, dates, touched))
    assert got == want
    # The record handed out is the module's own, the same object on every call.
    record = portsim.get_trade_stocks(args[9], args[5], touched)[1]
    assert record is portsim.get_trade_stocks(args[9], args[5], False)[1]


INDEX_VALUES = st.one_of(
    st.integers(-4, 12),
    st.integers(-4, 12),
    st.sampled_from(
        [
            2**63 - 1,
            -(2**63),
            2**63,
            -(2**63) - 1,
            2**64,
            True,
            np.int64(3),
            np.int64(-1),
            np.uint64(2**63),
            1.0,
            None,
            "1",
        ]
    ),
)
RECORDS = st.one_of(
    st.lists(INDEX_VALUES, min_size=3, max_size=3),
    st.tuples(INDEX_VALUES, INDEX_VALUES, INDEX_VALUES),
    st.lists(INDEX_VALUES, max_size=2),
    st.sampled_from(["abc", b"\x00\x01\x02", (0, 1)]),
)


@FUZZ
@given(records=st.lists(RECORDS, max_size=5), positions=st.integers(0, 6), touched=st.booleans())
def test_trade_listing_of_altered_records(records, positions, touched):
    # The record lists are plain Python lists that callers can change.
    args, rules = reference_cases()[1]
    portsim.backtest_(*args, **rules)
    excursion.trades[:] = records
    excursion.trade_positions[:] = [float(k) for k in range(positions)]
    try:
        got = listing_outcome(lambda: portsim.get_trade_stocks(args[9], args[5], touched)[0])
        want = listing_outcome(lambda: model_listing(args[9], args[5], touched))
        assert got == want
    finally:
        check_reference_runs()
