"""Property-based fuzzing of backtest_: whatever the shapes, element types,
memory layouts and values, a call returns an equity curve or raises one of
the documented errors; it never writes to the caller's arrays; the result
does not depend on the memory layout; and the runs that follow give what a
fresh process gives.

KORVEL_FUZZ_EXAMPLES raises the number of examples (default 150).
"""

import array
import math

import numpy as np
import pytest
from fuzz_support import (
    LAYOUTS,
    canon,
    check_reference_runs,
    env_int,
    fresh_baseline,
    outcome,
    owner_bytes,
    readable_state,
    reference_cases,
    relayout,
    run_case,
    sanitizers_active,
)
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from korvel.core import excursion, portsim

pytestmark = pytest.mark.slow

EXAMPLES = env_int("KORVEL_FUZZ_EXAMPLES", 150)
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=False,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

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

SPECIAL_FLOATS = [
    math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    -1.0,
    -50.0,
    5e-324,
    2.2250738585072014e-308,
    1e-300,
    1e308,
    -1e308,
]
NAN_ONLY = [math.nan]


def price_elements(mode):
    normal = st.floats(0.5, 200.0)
    if mode == "clean":
        return normal
    extra = st.sampled_from(NAN_ONLY if mode == "gaps" else SPECIAL_FLOATS)
    return st.one_of(normal, normal, normal, extra)


def weight_elements(mode):
    normal = st.one_of(st.just(0.0), st.floats(-1.5, 1.5))
    if mode == "clean":
        return normal
    extra = st.sampled_from(NAN_ONLY if mode == "gaps" else SPECIAL_FLOATS)
    return st.one_of(normal, normal, extra)


@st.composite
def tables(draw, rows, cols, elements):
    values = draw(st.lists(elements, min_size=rows * cols, max_size=rows * cols))
    return np.array(values, dtype=np.float64).reshape(rows, cols)


DATES = st.one_of(st.integers(-5, 120), st.integers(-5, 120), st.sampled_from([-(2**63), 2**63 - 1]))


@st.composite
def dates(draw, length, ordered):
    values = draw(st.lists(DATES, min_size=length, max_size=length))
    if ordered:
        values.sort()
    return np.array(values, dtype=np.int64)


@st.composite
def calendar(draw, rows, weight_rows, odd_shapes):
    """price_index, pos_index and resample: mostly a plausible calendar
    (weight dates inside the price dates, rebalance dates on price rows),
    otherwise any dates, possibly unsorted, possibly of the wrong length."""
    if not odd_shapes and draw(st.integers(0, 3)):
        price_index = np.arange(rows, dtype=np.int64) * 10 + draw(st.integers(0, 10))
        last = int(price_index[-1]) if rows else 10
        pos_index = np.array(
            sorted(draw(st.lists(st.integers(-10, last), min_size=weight_rows, max_size=weight_rows))), dtype=np.int64
        )
        if weight_rows and draw(st.booleans()):
            pos_index[0] = -10  # the first weight row is due from the start
        every = draw(st.sampled_from([1, 1, 2, 3]))
        return price_index, pos_index, price_index[::every].copy()
    ordered = draw(st.sampled_from([True, True, True, False]))
    price_index = draw(dates(draw(near(rows)) if odd_shapes else rows, ordered))
    pos_index = draw(dates(draw(near(weight_rows)) if odd_shapes else weight_rows, ordered))
    resample = draw(dates(draw(st.integers(0, 6)), ordered))
    return price_index, pos_index, resample


LABELS = st.one_of(
    st.sampled_from(["A", "B", "C", "D", "\u00c9", "A ", "a", ""]),
    st.sampled_from(["A", "B", "C", "D"]),
    st.sampled_from([42, None, b"A"]),
)


def object_array(items):
    out = np.empty(len(items), dtype=object)
    out[:] = items
    return out


def labels(length, odd):
    pool = LABELS if odd else st.sampled_from(["A", "B", "C", "D", "\u00c9", "A "])
    return st.lists(pool, min_size=length, max_size=length).map(object_array)


def near(n):
    """n, or n off by one (never negative)."""
    return st.sampled_from([n, n, n, n + 1, max(n - 1, 0)])


RULE_VALUES = {
    "fee_ratio": st.sampled_from([0.0, 0.001425, 0.003, -0.01, 0.5, math.nan, math.inf, 1e308]),
    "tax_ratio": st.sampled_from([0.0, 0.003, -0.2, math.nan, 2.0]),
    "stop_loss": st.sampled_from([1.0, 0.02, 0.05, 0.1, 0.0, -0.05, math.inf, math.nan, 1e308]),
    "take_profit": st.sampled_from([math.inf, 0.02, 0.05, 0.0, -0.1, math.nan]),
    "trail_stop": st.sampled_from([math.inf, 0.01, 0.05, 0.0, -0.02, math.nan]),
    "trail_stop_activation": st.sampled_from([0.0, 0.01, -0.05, math.inf, math.nan]),
    "touched_exit": st.sampled_from([False, True, 0, 1, "", "yes"]),
    "position_limit": st.sampled_from([1.0, 0.3, 0.0, -0.5, 2.0, math.nan, math.inf]),
    "retain_cost_when_rebalance": st.booleans(),
    "stop_trading_next_period": st.sampled_from([True, False, None, 0, 1, "", [0]]),
    # With step 1, the largest window asks for 96 GiB per trade: MemoryError,
    # except under the sanitizer, whose allocator aborts instead.
    "excursion_window": st.sampled_from(
        [0] * 4 + [1, 2, 3, 5, 8] * 2 + [-1, 2**31, -(2**31), 2**40] + ([] if sanitizers_active() else [2**31 - 1])
    ),
    "excursion_window_step": st.sampled_from([1] * 4 + [2, 3, 4] * 2 + [0, -1, 2**31 - 1, -(2**31)]),
    "periodically_rebalance": st.booleans(),
}
# Values that no conversion accepts.
BAD_RULE_VALUES = st.sampled_from(["x", None, 10**400, [1.0], 1.5, object()])


@st.composite
def delisting(draw, width, rows):
    kind = draw(st.sampled_from(["none", "array", "array", "buffer", "wrong-dtype", "list"]))
    if kind == "none":
        return None
    bars = draw(st.lists(st.integers(-2, rows + 1), min_size=width, max_size=width))
    if kind == "array":
        return np.array(bars, dtype=np.int64)
    if kind == "buffer":
        return array.array("q", bars)
    if kind == "wrong-dtype":
        return np.array(bars, dtype=np.int64).astype(draw(st.sampled_from([np.int32, np.float64, np.uint64])))
    return bars


@st.composite
def cases(draw):
    """Positional arrays and keyword rules of one call."""
    mode = draw(st.sampled_from(["clean", "clean", "gaps", "wild"]))
    # Mostly sizes that let a run get somewhere; now and then empty ones.
    rows = draw(st.sampled_from([4, 6, 8, 10, 3, 5, 7, 9, 2, 1, 0]))
    cols = draw(st.sampled_from([2, 3, 4, 2, 3, 4, 1, 0]))
    weight_rows = draw(st.sampled_from([1, 2, 3, 4, 1, 2, 3, 4, 0]))
    weight_cols = draw(st.sampled_from([2, 3, 4, 5, 2, 3, 4, 5, 1, 0]))
    odd_shapes = draw(st.sampled_from([False, False, False, True]))

    def shape(n, m):
        return (draw(near(n)), draw(near(m))) if odd_shapes else (n, m)

    price = draw(tables(rows, cols, price_elements(mode)))
    others = [draw(tables(*shape(rows, cols), price_elements(mode))) for _ in range(4)]
    price_index, pos_index, resample = draw(calendar(rows, weight_rows, odd_shapes))
    price_columns = draw(labels(draw(near(cols)) if odd_shapes else cols, mode == "wild"))
    pos_values = draw(tables(weight_rows, weight_cols, weight_elements(mode)))
    pos_columns = draw(labels(draw(near(weight_cols)) if odd_shapes else weight_cols, mode == "wild"))
    args = [price, *others, price_index, price_columns, pos_values, pos_index, pos_columns, resample]

    rules = {}
    for name, values in RULE_VALUES.items():
        if draw(st.sampled_from([False, False, True])):
            rules[name] = draw(values)
    if draw(st.integers(0, 3)) == 0:
        rules["delisting_bars"] = draw(delisting(draw(near(weight_cols)), rows))
    if mode == "wild" and draw(st.integers(0, 5)) == 0:
        rules[draw(st.sampled_from(sorted(RULE_VALUES)))] = draw(BAD_RULE_VALUES)

    # Now and then one argument of the wrong kind, element type or rank.
    if mode == "wild" and draw(st.integers(0, 3)) == 0:
        k = draw(st.integers(0, 10))
        how = draw(st.sampled_from(["list", "none", "scalar", "dtype", "rank", "byteswap"]))
        a = args[k]
        if how == "list":
            args[k] = a.tolist()
        elif how == "none":
            args[k] = None
        elif how == "scalar":
            args[k] = np.float64(1.0)
        elif how == "dtype" and a.dtype == object:
            args[k] = a.astype(str)
        elif how == "dtype":
            dtype = draw(
                st.sampled_from(
                    [np.float32, np.int64, np.int32, np.float64, object, np.bool_, np.complex128, np.uint64]
                )
            )
            with np.errstate(all="ignore"):
                args[k] = a.astype(dtype)
        elif how == "rank":
            args[k] = a.reshape(-1) if a.ndim == 2 else a.reshape(1, -1)
        else:
            args[k] = a.astype(a.dtype.newbyteorder(">")) if a.dtype != object else a
    return args, rules


def apply_layouts(args, layouts):
    """The arguments in the chosen layouts, and their owning buffers."""
    out, owners = [], []
    for a, how in zip(args, layouts):
        if isinstance(a, np.ndarray) and a.dtype.isnative:
            view, owner = relayout(a, how)
            out.append(view)
            owners.append(owner)
        else:
            out.append(a)
            owners.append(None)
    return out, owners


def plain(args):
    """Fresh C-contiguous copies of the array arguments."""
    return [np.array(a, order="C") if isinstance(a, np.ndarray) else a for a in args]


def check_valid_run(args, rules, equity):
    """What every successful run must leave behind."""
    price_index, pos_index = np.asarray(args[5]), np.asarray(args[8])
    assert type(equity) is np.ndarray and equity.dtype == np.float64
    assert equity.shape == (len(price_index),) and equity.flags.c_contiguous and equity.flags.owndata
    # Rows before the first weight date hold the starting capital.
    before = price_index < pos_index[0] if len(pos_index) else np.ones(len(price_index), bool)
    assert np.all(equity[before] == 1.0)
    n = len(excursion.trades)
    assert len(excursion.trade_positions) == n and len(excursion.excursion) == n
    window = int(rules.get("excursion_window", 0))
    step = int(rules.get("excursion_window_step", 1))
    for stats in excursion.excursion:
        assert stats.dtype == np.float64 and stats.shape == (6 * ((window - 1) // step) + 12,)
    # A finished run's trades can always be listed with the run's own labels and dates.
    listing, record = portsim.get_trade_stocks(args[9], args[5], rules.get("touched_exit", False))
    assert len(listing) == n
    assert list(record) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]


def run_and_read(args, rules):
    """backtest_'s outcome and, when it returned, what the run left readable."""
    result = outcome(lambda: portsim.backtest_(*args, **rules))
    if result[0] != "ok":
        return result, None
    check_valid_run(args, rules, result[1])
    return ("ok", canon(result[1])), readable_state(args[9], args[5], rules.get("touched_exit", False))


def check_ledger_run(args, rules, result):
    """backtest_ledger on the inputs backtest_ just ran: the same error, or the
    same equity with the run's records as its trades."""
    records = [list(map(int, t)) for t in excursion.trades], list(excursion.trade_positions), list(excursion.excursion)
    ledger = outcome(lambda: portsim.backtest_ledger(*args, **rules))
    if result[0] != "ok":
        # (Which allocation fails first, and so the message, depends on the memory free at the time.)
        assert ledger[:2] == result[:2]
        assert result[1] == "MemoryError" or ledger[2].replace("backtest_ledger", "backtest_") == result[2]
        return
    assert ledger[0] == "ok", ledger
    equity, trades, _ = ledger[1]
    assert canon(equity) == result[1]
    assert np.column_stack([trades["sid"], trades["entry_row"], trades["exit_row"]]).tolist() == records[0]
    assert trades["weight"].tobytes() == np.array(records[1], dtype=np.float64).tobytes()
    if records[2]:
        assert trades["statistics"].tobytes() == np.stack(records[2]).tobytes()


def check_own_trade_stops(args, rules):
    """backtest_ledger in its own order of events on the same inputs: it returns (equity on every
    price row, one element per trade in every field) or raises a documented error."""
    for trade_at, trail_from in (("open", "peak"), ("close", "entry")):
        own = dict(own_trade_stops=True, trade_at=trade_at, trail_from=trail_from)
        ledger = outcome(lambda: portsim.backtest_ledger(*args, **rules, **own))
        if ledger[0] != "ok":
            continue
        equity, trades, _ = ledger[1]
        assert equity.shape == (len(args[5]),)
        assert {trades[key].shape[0] for key in ("sid", "entry_row", "exit_row", "exit_reason")} == {len(trades["sid"])}


@FUZZ
@given(case=cases(), layouts=st.lists(st.sampled_from(LAYOUTS), min_size=12, max_size=12))
def test_any_call_returns_or_raises_leaves_inputs_and_later_runs_intact(case, layouts):
    args, rules = case
    laid_out, owners = apply_layouts(args, layouts[:11])
    bars = rules.get("delisting_bars")
    plain_rules = rules
    if isinstance(bars, np.ndarray) and bars.dtype.isnative:
        view, owner = relayout(bars, layouts[11])
        rules = dict(rules, delisting_bars=view)
        plain_rules = dict(rules, delisting_bars=np.array(bars, order="C"))
        laid_out_bars = [view]
        owners.append(owner)
    else:
        laid_out_bars = []
    before = [owner_bytes(o) if o is not None else None for o in owners]
    flags = [a.flags.writeable if isinstance(a, np.ndarray) else None for a in laid_out + laid_out_bars]
    rules_before = canon(rules)

    result, state = run_and_read(laid_out, rules)
    event(result[0] if result[0] == "ok" else f"{result[1]}: {result[2][:40]}")
    if result[0] == "ok":
        event(f"trades: {min(len(excursion.trades), 3)}")
    check_ledger_run(laid_out, rules, result)
    check_own_trade_stops(laid_out, rules)

    # The caller's buffers, gaps and neighbouring bytes included, are untouched.
    assert [owner_bytes(o) if o is not None else None for o in owners] == before
    assert [a.flags.writeable if isinstance(a, np.ndarray) else None for a in laid_out + laid_out_bars] == flags
    assert canon(rules) == rules_before

    # The same contents in plain C order give exactly the same outcome.
    assert run_and_read(plain(laid_out), plain_rules) == (result, state)

    check_reference_runs()


def test_baseline_comes_from_a_separate_process_and_has_trades():
    # The fuzz compares against this; it must describe real runs with trades.
    baseline = fresh_baseline()
    assert len(baseline) == 4
    for (args, rules), expected in zip(reference_cases(), baseline):
        assert run_case(args, rules) == expected
        assert len(excursion.trades) > 0 and len(excursion.excursion) == len(excursion.trades)


# ---------------------------------------------------------------- sizes beyond memory

HUGE = 2**40


def valid_args():
    from builders import run_args

    return run_args([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0]], [[0.5, 0.5]])


def replaced(index, value):
    return lambda args: args.__setitem__(index, value())


@pytest.mark.parametrize(
    "mutate, rules",
    [
        (replaced(7, lambda: np.broadcast_to(0.0, (1, HUGE))), {}),  # weight columns
        (replaced(7, lambda: np.broadcast_to(0.0, (1, 2**50))), {}),
        (replaced(0, lambda: np.broadcast_to(10.0, (3, HUGE))), {}),  # price columns
        (lambda args: None, {"excursion_window": 2**31 - 1}),  # 96 GiB of statistics per trade
    ],
    ids=["weight-cols", "weight-cols-2^50", "price-cols", "window"],
)
def test_sizes_beyond_memory_raise_memory_error(mutate, rules):
    if sanitizers_active():
        pytest.skip("the sanitizer's allocator aborts on requests of this size")
    args = valid_args()
    mutate(args)
    with pytest.raises(MemoryError):
        portsim.backtest_(*args, **rules)
    check_reference_runs()


@pytest.mark.parametrize("rows", [2**31, HUGE])
def test_more_price_rows_than_a_record_can_name_are_refused_up_front(rows):
    # Rows reach the trade records as 32-bit ints: 2**31 would wrap to a row
    # counted from the end. Refused before anything is allocated or set.
    args = valid_args()
    args[5] = np.broadcast_to(np.int64(10), (rows,))
    portsim.RESAMPLE = "untouched"
    with pytest.raises(OverflowError, match=f"price_index has {rows} rows; at most 2147483647"):
        portsim.backtest_(*args)
    assert portsim.RESAMPLE == "untouched"
    check_reference_runs()


def test_largest_window_with_largest_step_is_small():
    portsim.backtest_(*valid_args(), excursion_window=2**31 - 1, excursion_window_step=2**31 - 1)
    assert [stats.shape for stats in excursion.excursion] == [(12,), (12,)]


# ---------------------------------------------------------------- documented error kinds


@pytest.mark.parametrize(
    "mutate, rules, error",
    [
        (lambda a: a.__setitem__(0, None), {}, TypeError),
        (lambda a: a.__setitem__(0, np.ones((3, 2), np.float32)), {}, ValueError),
        (lambda a: a.__setitem__(1, a[1][:1]), {}, IndexError),
        (lambda a: a.__setitem__(0, np.array([[10.0, 20.0], [0.0, 21.0], [12.0, 22.0]])), {}, ValueError),
        (lambda a: a.__setitem__(9, np.array(["S0", 7], dtype=object)), {}, AttributeError),
        (lambda a: None, {"excursion_window": 2**31}, OverflowError),
        (lambda a: None, {"excursion_window_step": 0}, ZeroDivisionError),
        (lambda a: None, {"excursion_window": -1}, ValueError),
        (lambda a: a.__setitem__(7, np.array([[0.5, 0.5, 0.5]])), {}, IndexError),  # wider than the labels
    ],
    ids=[
        "none",
        "dtype",
        "short-close",
        "zero-price",
        "label",
        "window-overflow",
        "zero-step",
        "negative-window",
        "wide-weights",
    ],
)
def test_each_error_kind_then_a_clean_run(mutate, rules, error):
    args = valid_args()
    mutate(args)
    with pytest.raises(error):
        portsim.backtest_(*args, **rules)
    check_reference_runs()


# ---------------------------------------------------------------- caller code running inside a run


class Hook:
    """Caller-supplied code the engine runs in the middle of a run: a truth
    test, a label's encode or format, a replacement normalize_weight. It starts
    another run (with other tables) and empties the record lists."""

    def __init__(self):
        self.calls = 0

    def nested_run(self):
        self.calls += 1
        if self.calls <= 3:
            args, rules = reference_cases()[self.calls % 4]
            portsim.backtest_(*args, **rules)
            excursion.trades.clear()


class Truth(Hook):
    def __init__(self, value):
        super().__init__()
        self.value = value

    def __bool__(self):
        self.nested_run()
        return self.value


class Label(str):
    hook = None

    def encode(self, *args):
        Label.hook.nested_run()
        return str.encode(self, *args)

    def __format__(self, format_spec):
        Label.hook.nested_run()
        return str.__format__(self, format_spec)


def hooked_args(where):
    args = valid_args()
    args[0] = np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0], [0.0, 23.0]])  # row 3: invalid price
    args[1:5] = [args[0].copy() for _ in range(4)]
    args[5] = np.array([10, 20, 30, 40], dtype=np.int64)
    args[10] = args[5].copy()
    if where == "labels":
        Label.hook = Hook()
        args[9] = np.array([Label("S0"), Label("S1")], dtype=object)
    return args


@pytest.mark.parametrize("where", ["truth", "truth-false", "labels", "normalize_weight"])
def test_caller_code_starting_another_run_inside_a_run(where, monkeypatch):
    # One run at a time: a run started from inside another leaves the outer
    # run's results unspecified, but never unsafe.
    args = hooked_args(where)
    rules = {"stop_loss": 0.01, "touched_exit": where == "truth"}
    hook = Label.hook
    if where.startswith("truth"):
        hook = rules["stop_trading_next_period"] = Truth(where == "truth")
        rules["retain_cost_when_rebalance"] = True
    if where == "normalize_weight":
        original = portsim.normalize_weight
        hook = Hook()

        def normalize(weights, limit):
            hook.nested_run()
            return original(weights, limit)

        monkeypatch.setattr(portsim, "normalize_weight", normalize)
        args[0][3, 0] = 13.0  # let the run reach its end
    copies = [a.copy() for a in args]
    result = outcome(lambda: portsim.backtest_(*args, **rules))
    assert result[0] == "ok" or result[1] in {"ValueError", "IndexError"}, result
    assert hook.calls > 0
    for a, b in zip(args, copies):
        np.testing.assert_array_equal(a, b)
    monkeypatch.undo()
    check_reference_runs()
