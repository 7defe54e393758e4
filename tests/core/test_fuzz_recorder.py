"""Fuzzing of the trade recorder's native entry points through their capsules:
after a reset by backtest_, any sequence of record_date / record_entry /
record_exit calls with odd rows, slots, weights and flags (and callers
poking at the slot arrays) either records what a plain model of the
recorder predicts or raises a documented error, and never disturbs a later
run.

KORVEL_FUZZ_EXAMPLES raises the number of examples (default 200)."""

import math

import numpy as np
import pytest
from excursion_support import (
    record_date,
    record_entry,
    record_exit,
    record_exit_at,
    reference_snapshots,
    reset_recorder,
    slot_array,
)
from fuzz_support import DOCUMENTED_ERRORS, canon, check_reference_runs, env_int
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from korvel.core import excursion

pytestmark = pytest.mark.slow

FUZZ = settings(
    max_examples=env_int("KORVEL_FUZZ_EXAMPLES", 200),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
CELLS = st.one_of(
    st.floats(50.0, 150.0),
    st.floats(50.0, 150.0),
    st.floats(50.0, 150.0),
    st.sampled_from([math.nan, 0.0, -0.0, math.inf, -20.0, 5e-324]),
)


@st.composite
def recorder_setup(draw):
    rows, cols = draw(st.integers(1, 7)), draw(st.sampled_from([1, 2, 3, 1, 2, 3, 0]))
    n_slots = draw(st.sampled_from([1, 2, 3, 4, 1, 2, 3, 4, 0]))
    price = np.array(draw(st.lists(CELLS, min_size=rows * cols, max_size=rows * cols))).reshape(rows, cols)
    close = np.array(draw(st.lists(CELLS, min_size=rows * cols, max_size=rows * cols))).reshape(rows, cols)
    pos2price = {sid: draw(st.integers(0, cols - 1)) for sid in range(n_slots) if cols and draw(st.booleans())}
    settings_ = dict(
        window=draw(st.integers(0, 6)),
        window_step=draw(st.integers(1, 3)),
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.1])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
    )
    return price, close, n_slots, pos2price, settings_


@st.composite
def operations(draw, rows, n_slots):
    """Mostly rows and slots inside the tables, moving forward; now and then
    anything a 32-bit int can hold."""
    row = st.one_of(
        st.integers(0, rows - 1),
        st.integers(0, rows - 1),
        st.integers(0, rows - 1),
        st.integers(-rows - 2, rows + 2),
        st.sampled_from([INT_MIN, INT_MAX]),
    )
    sid = st.one_of(
        st.integers(0, max(n_slots - 1, 0)),
        st.integers(0, max(n_slots - 1, 0)),
        st.integers(-n_slots - 2, n_slots + 2),
        st.sampled_from([INT_MIN, INT_MAX]),
    )
    flag = st.sampled_from([0, 1, 1, -1, INT_MAX])
    weight = st.one_of(st.floats(-1.5, 1.5), st.sampled_from([0.0, -0.0, math.nan, math.inf, 5e-324]))
    ops = [("date", draw(row))]
    fill = st.one_of(st.floats(50.0, 150.0), st.sampled_from([math.nan, math.inf, 0.0]))
    kinds = ["date", "entry", "exit"] * 4 + ["exit_at", "exit_at", "poke", "freeze"]
    for kind in draw(st.lists(st.sampled_from(kinds), min_size=4, max_size=16)):
        if kind == "date":
            ops.append(("date", draw(row)))
        elif kind == "entry":
            ops.append(("entry", draw(sid), draw(weight), draw(flag)))
        elif kind == "exit":
            ops.append(("exit", draw(sid), draw(flag)))
        elif kind == "exit_at":
            ops.append(("exit_at", draw(sid), draw(flag), draw(fill)))
        elif kind == "poke":
            ops.append(("poke", draw(sid), draw(st.sampled_from([2**40, -(2**40), INT_MAX, -1, 3]))))
        else:
            ops.append(("freeze",))
    if draw(st.booleans()):
        # Rows in order, as the engine marks them.
        dated = sorted(op[1] for op in ops if op[0] == "date")
        ops = [("date", dated.pop(0)) if op[0] == "date" else op for op in ops]
    return ops


class RecorderModel:
    """What the recorder should hold after each call."""

    def __init__(self, price, close, n_slots, pos2price, settings_):
        self.price, self.close, self.pos2price, self.settings = price, close, dict(pos2price), settings_
        self.entry = np.zeros(n_slots, dtype=np.int64)
        self.position = np.zeros(n_slots)
        self.flag = np.zeros(n_slots, dtype=np.int64)
        self.frozen = False
        self.date = None
        self.trades, self.positions, self.stats = [], [], []

    def slot(self, sid):
        n = len(self.entry)
        if not -n <= sid < n:
            raise IndexError("Out of bounds on buffer access (axis 0)")
        return sid % n

    def record_entry(self, sid, weight, flag):
        if self.frozen:  # checked before the slot
            raise ValueError("recorder slot array is read-only")
        k = self.slot(sid)
        self.entry[k], self.position[k], self.flag[k] = self.date, weight, flag

    def record_exit(self, sid, exit_flag, exit_fill=None):
        k = self.slot(sid)
        entry_row, held, entry_flag = int(self.entry[k]), float(self.position[k]), int(self.flag[k])
        self.trades.append([sid, self.entry[k], self.date])
        self.positions.append(self.position[k])
        if not (INT_MIN <= entry_row <= INT_MAX and INT_MIN <= entry_flag <= INT_MAX):
            raise OverflowError("does not fit a C int")
        self.stats.append(self.analysis(sid, entry_row, self.date, held > 0, entry_flag, exit_flag, exit_fill))

    def analysis(self, sid, entry_row, exit_row, is_long, entry_flag, exit_flag, exit_fill=None):
        """The statistics of a trade whose rows and column lie inside the
        tables, or None when only the error kinds can be checked."""
        col = self.pos2price.setdefault(sid, 0)  # a sid without a column reads column 0
        rows, cols = self.price.shape
        window, step = self.settings["window"], self.settings["window_step"]
        if not (0 <= entry_row < rows and entry_row <= exit_row and col < cols):
            return None
        end = min(max(exit_row, entry_row + window), rows - 1)
        k = min(end - entry_row, exit_row - entry_row)
        # Divisors of 0.0: the trade price at entry, a previous valid close, the
        # close at the exit, where every exit (a split one too) is revalued at
        # the trade price.
        later = [c for c in self.close[entry_row + 1 : end + 1, col] if not math.isnan(c)]
        divisors = ([self.close[entry_row, col]] if later else []) + later[:-1]
        if self.price[entry_row, col] == 0.0 or 0.0 in divisors:
            raise ZeroDivisionError("float division")
        if k and self.close[entry_row + k, col] == 0.0:
            raise ZeroDivisionError("float division")
        with np.errstate(all="ignore"):
            return reference_snapshots(
                self.price,
                self.close,
                entry_row,
                exit_row,
                is_long=is_long,
                col=col,
                window=window,
                window_step=step,
                fee_ratio=self.settings["fee_ratio"],
                tax_ratio=self.settings["tax_ratio"],
                entry_transaction=entry_flag,
                exit_transaction=exit_flag,
                exit_fill=exit_fill,
            )


def error_kind(call):
    try:
        call()
    except DOCUMENTED_ERRORS as error:
        return type(error).__name__
    return None


@FUZZ
@given(setup=recorder_setup(), data=st.data())
def test_native_entry_points_follow_the_model(setup, data):
    price, close, n_slots, pos2price, settings_ = setup
    reset_recorder(price, close, pos2price=pos2price, n_slots=n_slots, **settings_)
    model = RecorderModel(price, close, n_slots, pos2price, settings_)
    for op in data.draw(operations(price.shape[0], n_slots)):
        if op[0] == "date":
            record_date(op[1])
            model.date = op[1]
        elif op[0] == "entry":
            assert error_kind(lambda: record_entry(*op[1:])) == error_kind(lambda: model.record_entry(*op[1:]))
        elif op[0] in ("exit", "exit_at"):
            native = record_exit if op[0] == "exit" else record_exit_at
            got = error_kind(lambda: native(*op[1:]))
            want = error_kind(lambda: model.record_exit(*op[1:]))
            if want is None and model.stats[-1] is None:
                # Rows outside the tables: any documented error, or a result of the right size.
                assert got is None or got in {e.__name__ for e in DOCUMENTED_ERRORS}, got
                if got is not None:
                    model.stats.pop()
            else:
                assert got == want
        elif op[0] == "poke":
            target = slot_array("entry")
            if error_kind(lambda: model.slot(op[1])) is None and target.flags.writeable:
                target[model.slot(op[1])] = op[2]
                model.entry[model.slot(op[1])] = op[2]
        else:
            for key in ("entry", "position"):
                slot_array(key).flags.writeable = False
            model.frozen = True

        # The record lists move together; the statistics lag only by failed analyses.
        assert canon(excursion.trades) == canon(model.trades)
        assert canon(excursion.trade_positions) == canon(model.positions)
        assert len(excursion.excursion) == len(model.stats)

    size = 6 * ((settings_["window"] - 1) // settings_["window_step"]) + 12
    for stats, expected in zip(excursion.excursion, model.stats):
        assert stats.dtype == np.float64 and stats.shape == (size,)
        if expected is not None:
            np.testing.assert_array_equal(stats, expected)
    event(f"statistics compared: {min(sum(x is not None for x in model.stats), 3)}")
    event(f"records: {min(len(model.trades), 3)}")

    check_reference_runs()
