"""Shared pieces of the fuzz and soak tests.

- canon(): a bit-exact, picklable picture of any result (NaN-aware, keeps the
  types of NumPy scalars and the insertion order of dicts);
- reference_cases() / reference_results(): a fixed set of valid runs that
  between them open, split, stop out, delist and carry trades over the end;
- fresh_baseline(): reference_results() computed once in a fresh interpreter,
  to compare against after any number of failing and odd calls in this one;
- relayout(): the same array contents in another memory layout.
"""

import os
import pickle
import subprocess
import sys

import numpy as np

from korvel.core import excursion, portsim

# What a caller may see raised by the engine, the recorder and the helpers.
DOCUMENTED_ERRORS = (TypeError, ValueError, IndexError, OverflowError, ZeroDivisionError, AttributeError, MemoryError)

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def env_int(name, default):
    value = os.environ.get(name)
    return int(value) if value else default


def sanitizers_active():
    """True when AddressSanitizer is loaded into this process."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


# ---------------------------------------------------------------- canonical form


def canon(obj):
    """A comparable picture of obj: floats by their bits, arrays by dtype, shape
    and bytes, containers element by element in order."""
    if isinstance(obj, np.ndarray):
        if obj.dtype == object:
            return ("objarray", obj.shape, [canon(x) for x in obj.ravel(order="K")])
        return ("ndarray", obj.dtype.str, obj.shape, np.ascontiguousarray(obj).tobytes())
    if isinstance(obj, np.generic):
        return ("scalar", obj.dtype.str, obj.tobytes())
    if isinstance(obj, bool) or obj is None:
        return obj
    if isinstance(obj, float):
        return ("float", type(obj).__name__, obj.hex())
    if isinstance(obj, int):
        return ("int", type(obj).__name__, int(obj))
    if isinstance(obj, str):
        return ("str", type(obj).__name__, str(obj))
    if isinstance(obj, dict):
        return ("dict", [(canon(k), canon(v)) for k, v in obj.items()])
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [canon(x) for x in obj])
    return ("other", type(obj).__name__, repr(obj))


def outcome(call):
    """('ok', result) or ('raised', type name, message) of call(); only the
    documented error kinds are caught."""
    try:
        return ("ok", call())
    except DOCUMENTED_ERRORS as error:
        return ("raised", type(error).__name__, str(error))


def readable_state(pos_columns=None, price_index=None, touched_exit=False):
    """Everything the latest run leaves readable from Python."""
    listing = outcome(lambda: portsim.get_trade_stocks(pos_columns, price_index, touched_exit)[0])
    return canon(
        {
            "trades": excursion.trades,
            "trade_positions": excursion.trade_positions,
            "excursion": excursion.excursion,
            "operations": portsim.get_stock_operations(),
            "listing": listing,
            "flags": (portsim.RETAIN_COST_WHEN_REBALANCE, portsim.RESAMPLE),
        }
    )


# ---------------------------------------------------------------- reference runs


def reference_market(seed=20240611):
    """A 40-row market of five instruments with gaps, and four weight rows
    over four weight columns (one of them named after no price column)."""
    rng = np.random.default_rng(seed)
    rows, cols = 40, 5
    steps = rng.normal(0.0, 0.03, size=(rows, cols))
    price = 50.0 * np.exp(np.cumsum(steps, axis=0))
    price[7, 1] = np.nan
    price[22, 3] = np.nan
    close = price * (1.0 + rng.normal(0.0, 0.02, size=(rows, cols)))
    close[15, 0] = np.nan
    high = np.maximum(price, close) * 1.03
    low = np.minimum(price, close) * 0.97
    open_ = price * (1.0 + rng.normal(0.0, 0.01, size=(rows, cols)))
    price_index = np.arange(rows, dtype=np.int64) * 10 + 100
    price_columns = np.array(["A", "B", "C", "D", "E"], dtype=object)
    pos_values = np.array(
        [
            [0.4, 0.3, 0.0, -0.3],
            [0.0, 0.5, 0.2, 0.5],
            [-0.6, 0.6, 0.0, 0.3],
            [0.3, 0.0, 0.4, 0.3],
        ]
    )
    pos_index = np.array([95, 180, 290, 420], dtype=np.int64)
    pos_columns = np.array(["D", "A", "X", "B"], dtype=object)
    resample = price_index[::4].copy()
    return [price, close, high, low, open_, price_index, price_columns, pos_values, pos_index, pos_columns, resample]


REFERENCE_RULES = [
    {},
    {
        "stop_loss": 0.03,
        "take_profit": 0.05,
        "touched_exit": True,
        "excursion_window": 6,
        "excursion_window_step": 2,
        "delisting_bars": np.array([-1, 30, -1, -1], dtype=np.int64),
    },
    {
        "trail_stop": 0.02,
        "trail_stop_activation": 0.01,
        "stop_trading_next_period": False,
        "retain_cost_when_rebalance": True,
        "position_limit": 0.3,
    },
    {"periodically_rebalance": False, "fee_ratio": 0.0, "tax_ratio": 0.0, "stop_loss": 0.05, "excursion_window": 3},
]


def reference_cases():
    market = reference_market()
    return [(market, rules) for rules in REFERENCE_RULES]


def run_case(args, rules):
    """Runs one valid case and returns what it leaves readable, equity first."""
    equity = portsim.backtest_(*args, **rules)
    return canon(equity), readable_state(args[9], args[5], rules.get("touched_exit", False))


def reference_results():
    return [run_case(args, rules) for args, rules in reference_cases()]


_baseline = None


def fresh_baseline():
    """reference_results() as a fresh interpreter computes them (once per session)."""
    global _baseline
    if _baseline is None:
        script = (
            "import pickle, sys; sys.path.insert(0, sys.argv[1]); import fuzz_support; "
            "sys.stdout.buffer.write(pickle.dumps(fuzz_support.reference_results()))"
        )
        done = subprocess.run([sys.executable, "-c", script, TESTS_DIR], capture_output=True, check=True)
        _baseline = pickle.loads(done.stdout)
    return _baseline


def check_reference_runs():
    """The reference runs in this process give what a fresh process gives."""
    assert reference_results() == fresh_baseline()


# ---------------------------------------------------------------- memory layouts

LAYOUTS = ("C", "F", "strided", "reversed", "readonly", "unaligned", "unaligned-readonly")


def relayout(array, how):
    """The contents of `array` in another layout, and the buffer that owns the
    memory (whose every byte, gaps included, must survive a run unchanged).

    Object arrays only take the layouts that NumPy allows for them."""
    array = np.asarray(array)
    if array.dtype == object and how.startswith("unaligned"):
        how = "strided"
    if how == "C":
        out = np.array(array, order="C")
        return out, out
    if how == "F":
        out = np.array(array, order="F")
        return out, out
    if how == "readonly":
        out = np.array(array)
        out.flags.writeable = False
        return out, out
    if how == "strided":
        # Every other element of a larger array, with gaps on every axis.
        owner = np.zeros(tuple(2 * n + 1 for n in array.shape), dtype=array.dtype)
        if array.dtype == object:
            owner.fill(None)
        out = owner[tuple(slice(1, 2 * n + 1, 2) for n in array.shape)]
        out[...] = array
        return out, owner
    if how == "reversed":
        owner = np.array(array[tuple(slice(None, None, -1) for _ in array.shape)])
        return owner[tuple(slice(None, None, -1) for _ in array.shape)], owner
    if how.startswith("unaligned"):
        owner = bytearray(array.nbytes + 1 + 7)
        out = np.frombuffer(owner, dtype=array.dtype, count=array.size, offset=1).reshape(array.shape)
        out[...] = array
        if how.endswith("readonly"):
            out.flags.writeable = False
        return out, owner
    raise ValueError(how)


def owner_bytes(owner):
    """The raw contents of a layout's owning buffer (identities for objects)."""
    if isinstance(owner, bytearray):
        return bytes(owner)
    if isinstance(owner, np.ndarray) and owner.dtype == object:
        return [id(x) for x in owner.ravel(order="K")]
    if isinstance(owner, np.ndarray):
        return owner.tobytes(order="A")
    return canon(owner)
