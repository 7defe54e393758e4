"""Soak: thousands of calls in one process, valid and failing ones mixed, with
the same input objects throughout. Memory stays flat (resident set size,
tracemalloc, the interpreter's allocated blocks) and no object gains or
loses references.

KORVEL_SOAK_RUNS sets the number of calls (default 1500); the figures are
printed (pytest -s shows them)."""

import ctypes
import gc
import json
import math
import os
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest
from excursion_support import record_date, record_entry, record_exit
from fuzz_support import check_reference_runs, env_int, reference_cases, sanitizers_active

from korvel.core import excursion, portsim, strutil

pytestmark = pytest.mark.slow

RUNS = env_int("KORVEL_SOAK_RUNS", 1500)
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_in_use():
    """Bytes handed out by the C allocator (C++ containers and array data
    included), or None where glibc's counters are not available."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def wide_case(rows=30, cols=4000, held=40):
    """A market wide enough that a leaked per-run buffer shows in the
    resident set: every run sizes its arrays by these widths."""
    rng = np.random.default_rng(99)
    price = 20.0 * np.exp(np.cumsum(rng.normal(0, 0.02, (rows, cols)), axis=0))
    names = np.array([f"W{k}" for k in range(cols)], dtype=object)
    weights = np.zeros((3, cols))
    weights[0, :held] = 1.0 / held
    weights[1, held // 2 : held + held // 2] = -0.5 / held
    weights[2, :: cols // held] = 0.5 / held
    dates = np.arange(rows, dtype=np.int64) * 10
    args = [
        price,
        price * 1.01,
        price * 1.03,
        price * 0.97,
        price,
        dates,
        names,
        weights,
        np.array([-5, 95, 195], dtype=np.int64),
        names,
        dates[::3].copy(),
    ]
    return args, {"stop_loss": 0.03, "excursion_window": 8, "excursion_window_step": 3}


class Soak:
    """The calls of one soak cycle, all made with objects created once here."""

    def __init__(self):
        self.cases = reference_cases() + [wide_case()]
        base, rules = self.cases[1]
        self.base, self.rules = base, rules
        bad_dtype = list(base)
        bad_dtype[0] = base[0].astype(np.float32)
        short_close = list(base)
        short_close[1] = base[1][:5]
        zero_price = list(base)
        zero_price[0] = base[0].copy()
        zero_price[0][12:, :] = 0.0
        bad_label = list(base)
        bad_label[9] = np.array(["D", 7, "X", "B"], dtype=object)
        not_array = list(base)
        not_array[8] = list(base[8])
        huge = list(base)
        huge[7] = np.broadcast_to(0.0, (1, 2**40))
        self.failing = [
            (bad_dtype, {}, ValueError),
            (short_close, {}, IndexError),
            (zero_price, {}, ValueError),
            (bad_label, {}, AttributeError),
            (not_array, {}, TypeError),
            (base, {"excursion_window": -3}, ValueError),
            (base, {"excursion_window_step": 0}, ZeroDivisionError),
            (base, {"fee_ratio": "x"}, TypeError),
            (base, {"delisting_bars": np.zeros(4)}, ValueError),
        ]
        if not sanitizers_active():
            self.failing.append((huge, {}, MemoryError))
        self.weights = {1: 0.9, 2: -0.9, "x": 0.25}
        self.bad_weights = {1: 0.5, 2: None}
        self.limit = 0.3
        self.text = "soak \u20ac\U0001f600 text" * 20
        self.int32_dates = base[5].astype(np.int32)
        self.figure_args = figure_arguments(base, rules)
        self.bad_figure_args = list(self.figure_args)
        self.bad_figure_args[19] = self.figure_args[19].astype(np.int64)  # exit reasons of the wrong dtype
        self.call_count = 0

    def objects(self):
        """Every object whose reference count must not move."""
        seen = {}
        for args, rules in self.cases:
            for obj in list(args) + list(rules.values()):
                seen[id(obj)] = obj
        for args, rules, _ in self.failing:
            for obj in list(args) + list(rules.values()):
                seen[id(obj)] = obj
        for obj in self.figure_args + self.bad_figure_args:
            seen[id(obj)] = obj
        for obj in (
            self.weights,
            self.bad_weights,
            self.limit,
            self.text,
            self.int32_dates,
            excursion.trades,
            excursion.trade_positions,
            excursion.excursion,
            excursion.__pyx_capi__,
            portsim.normalize_weight,
            portsim.datetime,
            portsim.inf,
        ):
            seen[id(obj)] = obj
        # Small ints, booleans and None are shared with the whole interpreter.
        return [obj for obj in seen.values() if not isinstance(obj, (int, type(None)))]

    def settle(self):
        """The same run at every measuring point: the recorder then holds the
        same tables and records of the same size."""
        portsim.backtest_(*self.base, **self.rules)
        portsim.normalize_weight({}, 1.0)

    def step(self, k):
        """Call number k of the cycle."""
        self.call_count += 1
        kind = k % 8
        if kind in (0, 3, 6):
            args, rules = self.cases[(k // 8 + kind) % len(self.cases)]
            equity, ledger, operations = portsim.backtest_ledger(*args, **rules)
            # Nothing but this frame holds the results (the tuple is gone).
            holders = [sys.getrefcount(equity), sys.getrefcount(ledger), sys.getrefcount(operations)]
            assert [n - 1 for n in holders] == [1, 1, 1] and sys.getrefcount(ledger["statistics"]) - 1 == 1
            equity = portsim.backtest_(*args, **rules)
            holders = sys.getrefcount(equity) - 1
            assert holders == 1  # nothing but this frame holds the result
            listing, record = portsim.get_trade_stocks(args[9], args[5], rules.get("touched_exit", False))
            assert len(listing) == len(excursion.trades)
            holders = [sys.getrefcount(excursion.excursion[i]) - 1 for i in range(min(3, len(listing)))]
            assert set(holders) <= {1}  # the record list's reference only
            portsim.get_stock_operations()
        elif kind in (1, 4, 7):
            args, rules, error = self.failing[(k // 8 + kind) % len(self.failing)]
            with pytest.raises(error):
                portsim.backtest_(*args, **rules)
            with pytest.raises(error):
                portsim.backtest_ledger(*args, **rules)
            with pytest.raises(ValueError):
                portsim.get_trade_stocks(args[9], self.int32_dates, False)
        elif kind == 2:
            portsim.normalize_weight(dict(self.weights), self.limit)
            with pytest.raises(TypeError):
                portsim.normalize_weight(dict(self.bad_weights), self.limit)
            assert strutil.str_to_bytearray(self.text)[:4] == bytearray(b"soak")
            with pytest.raises(TypeError):
                strutil.str_to_bytearray(self.weights)
            figures, exits = portsim.run_figures(*self.figure_args)
            assert len(figures) == len(portsim.RUN_FIGURES) and sum(exits) == self.figure_args[8].shape[0]
            with pytest.raises(TypeError):
                portsim.run_figures(*self.bad_figure_args)
        else:
            # The recorder's entry points, right after a run reset it.
            portsim.backtest_(*self.base, **self.rules)
            record_date(3)
            record_entry(0, 0.5, 1)
            record_date(9)
            record_exit(0, 1)
            for sid in (99, -99):
                with pytest.raises(IndexError):
                    record_exit(sid, 1)
            with pytest.raises(IndexError):
                record_entry(2**31 - 1, 1.0, 1)


def figure_arguments(args, rules):
    """run_figures' arguments for a ledger run of `args` (no missing closes, every entry priced)."""
    equity, ledger, _ = portsim.backtest_ledger(*args, **rules)
    return [
        equity,
        args[5],
        0,
        None,
        *(ledger[key] for key in ("row_traded", "row_financing", "row_long", "row_short")),
        ledger["entry_row"],
        ledger["exit_row"],
        ledger["sid"],
        ledger["weight"],
        ledger["statistics"],
        None,
        *(ledger[key] for key in ("fees", "taxes", "slippage", "borrow", "impact", "exit_reason")),
        len(ledger["reason_names"]),
        np.zeros(0, dtype=np.int64),
        np.zeros(2, dtype=np.int64),
    ]


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


# Objects shared with the whole interpreter: their counts move with unrelated
# activity, but a reference leaked per call would make them drift by at
# least one per call.
SHARED = [
    None,
    True,
    False,
    0,
    1,
    -1,
    "actions",
    "weights",
    "next_weights",
    "weight_time",
    "next_weight_time",
    "enter",
    "exit",
    "hold",
    "tp",
    "sl",
    "tp_",
    "sl_",
    "tp_enter",
    "sl_enter",
]


class Gauges:
    """Memory as seen by tracemalloc (when tracing), the interpreter's block
    count, the C allocator and the kernel, taken after the same settling run.
    The interpreter's method cache keeps the names of recent attribute
    lookups alive (up to its fixed size), so it is emptied first."""

    def __init__(self, soak):
        soak.settle()
        sys._clear_type_cache()
        gc.collect()
        self.traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else None
        self.blocks = sys.getallocatedblocks()
        self.heap = heap_in_use()
        self.rss = resident_bytes()

    def growth_since(self, earlier):
        def delta(name):
            now, then = getattr(self, name), getattr(earlier, name)
            return None if now is None or then is None else now - then

        return {name: delta(name) for name in ("traced", "blocks", "heap", "rss")}


def soak_figures(runs):
    """Runs the soak in this process and returns what it measured."""
    soak = Soak()
    objects = soak.objects()
    calls = max(runs // 2, 1)
    k = 0

    def run(n):
        nonlocal k
        for _ in range(n):
            soak.step(k)
            k += 1

    run(max(runs // 10, 200))  # caches, interned names, allocator pools
    record = portsim.get_trade_stocks(soak.base[9], soak.base[5], False)[1]
    record_refs = sys.getrefcount(record)
    del record

    # First half untraced: the C allocator, the kernel and the interpreter's blocks.
    start = Gauges(soak)
    counts, shared = refcounts(objects), refcounts(SHARED)
    run(calls)
    untraced = Gauges(soak).growth_since(start)
    counts_after_first = refcounts(objects)

    # Second half traced by tracemalloc (after a few calls to fill its own tables).
    tracemalloc.start()
    try:
        run(100)
        traced_start = Gauges(soak)
        run(calls)
        traced = Gauges(soak).growth_since(traced_start)["traced"]
    finally:
        tracemalloc.stop()
    drift = {repr(obj): after - before for obj, before, after in zip(SHARED, shared, refcounts(SHARED))}
    record = portsim.get_trade_stocks(soak.base[9], soak.base[5], False)[1]
    record_refs_now = sys.getrefcount(record)
    del record
    moved = [
        (repr(obj)[:60], before, after)
        for obj, before, middle, after in zip(objects, counts, counts_after_first, refcounts(objects))
        if not before == middle == after
    ]
    check_reference_runs()
    return {
        "calls": k,
        "measured_calls": calls,
        "untraced": untraced,
        "traced": traced,
        "refcounts_moved": moved,
        "record_refs": [record_refs, record_refs_now],
        "shared_drift": drift,
        "rss_end": resident_bytes(),
    }


def test_soak_memory_and_references_stay_flat():
    # In a process of its own, with the C allocator's per-thread cache off:
    # the chunks that cache holds count as in use and would blur the heap.
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.tcache_count=0", KORVEL_SOAK_RUNS=str(RUNS))
    script = (
        "import json, sys; sys.path.insert(0, sys.argv[1]); import test_soak; "
        "print(json.dumps(test_soak.soak_figures(int(sys.argv[2]))))"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, os.path.dirname(os.path.abspath(__file__)), str(RUNS)],
        capture_output=True,
        text=True,
        env=env,
        timeout=3600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    print(f"\nsoak: {figures}")

    calls, untraced = figures["measured_calls"], figures["untraced"]
    assert figures["refcounts_moved"] == []
    assert figures["record_refs"][0] == figures["record_refs"][1]
    # Shared objects drift with unrelated activity, but not by one per call.
    assert max(map(abs, figures["shared_drift"].values())) < calls // 10
    # One leaked object per call would add at least 16 bytes per call.
    assert figures["traced"] < 4096 + 2 * calls
    assert untraced["blocks"] < 32 + calls // 50
    if not sanitizers_active():
        if untraced["heap"] is not None:
            assert untraced["heap"] < 4096 + calls
        # Each wide run sizes ~150 KiB of buffers: a leaked one shows at once.
        assert untraced["rss"] < 2**20


@pytest.mark.parametrize("case", range(5))
def test_results_are_owned_by_the_caller_only(case):
    # Counts are taken outside the asserts: the rewritten asserts hold temporaries.
    soak = Soak()
    args, rules = soak.cases[case]
    equity = portsim.backtest_(*args, **rules)
    holders = sys.getrefcount(equity) - 1
    assert holders == 1 and equity.base is None and equity.flags.writeable
    # The recorder keeps the trade-price and close tables until the next run.
    held = sys.getrefcount(args[0]), sys.getrefcount(args[1])
    portsim.backtest_(*args, **rules)
    again = sys.getrefcount(args[0]), sys.getrefcount(args[1])
    assert again == held
    other, other_rules = soak.cases[(case + 1) % 5]
    released = (args[0] is not other[0], args[1] is not other[1])
    portsim.backtest_(*other, **other_rules)
    after = sys.getrefcount(args[0]), sys.getrefcount(args[1])
    assert after == (held[0] - released[0], held[1] - released[1])
    assert math.isfinite(float(equity[-1]))


def test_runs_from_several_threads_each_get_their_own_equity():
    # backtest_ keeps the interpreter lock for the whole run, so runs from
    # several threads follow one another; each caller gets its own curve.
    cases = reference_cases()
    expected = [portsim.backtest_(*args, **rules).tobytes() for args, rules in cases]
    wrong, failures = [], []

    def worker(offset):
        try:
            for k in range(40):
                index = (k + offset) % len(cases)
                args, rules = cases[index]
                if portsim.backtest_(*args, **rules).tobytes() != expected[index]:
                    wrong.append(index)
        except Exception as error:  # reported below, with the thread's own error
            failures.append(repr(error))

    threads = [threading.Thread(target=worker, args=(offset,)) for offset in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == [] and wrong == []
    check_reference_runs()
