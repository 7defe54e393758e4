"""Records that add up: split records valued at the rebalance row's trade
price, a side flip as a new record; and the run path's guards (the delisting
schedule read on every row, module flags re-read after any caller code)."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from backtest_helpers import tables
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from korvel.core import excursion, portsim


@st.composite
def single_long_runs(draw):
    """One instrument held long at full weight without costs, every row priced."""
    n = draw(st.integers(3, 25))
    moves = draw(arrays(np.float64, (n, 4), elements=st.floats(0.8, 1.25)))
    close = 100 * np.cumprod(moves[:, 0])
    opens = close * moves[:, 1]
    high = np.maximum(opens, close) * moves[:, 2].clip(1.0)
    low = np.minimum(opens, close) / moves[:, 3].clip(1.0)
    trade_at_open = draw(st.booleans())
    price = opens if trade_at_open else close
    daily = draw(st.booleans())
    weight_rows = {r: [1.0] for r in range(n - 1) if daily or r % 4 == 0}
    args = tables(
        price[:, None], weight_rows, close=close[:, None], high=high[:, None], low=low[:, None], opens=opens[:, None]
    )
    kw = dict(
        fee_ratio=0.0,
        tax_ratio=0.0,
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_loss=draw(st.sampled_from([1.0, 0.05, 0.15])),
        take_profit=draw(st.sampled_from([np.inf, 0.05, 0.2])),
        trail_stop=draw(st.sampled_from([np.inf, 0.08])),
        touched_exit=draw(st.booleans()),
    )
    return args, kw


@settings(
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
@given(single_long_runs())
def test_records_compound_to_the_equity(backtest, run):
    args, kw = run
    out = backtest(*args, **kw)
    returns = np.array([stats[-1] for stats in out.excursion])
    assert np.prod(1 + returns) == pytest.approx(out.equity[-1], rel=1e-9)


@pytest.mark.parametrize("retain_cost, periodic", [(True, True), (False, False), (True, False), (False, True)])
def test_a_side_flip_is_a_new_record_of_the_new_side(backtest, retain_cost, periodic):
    prices = [[100.0], [100.0], [90.0], [80.0]]
    out = backtest(
        *tables(prices, {0: [0.5], 1: [-0.5]}),
        fee_ratio=0.0,
        tax_ratio=0.0,
        retain_cost_when_rebalance=retain_cost,
        periodically_rebalance=periodic,
    )
    assert out.trades == [[0, 1, 2], [0, 2, -1]]
    assert out.trade_positions == pytest.approx([0.5, -0.5])
    # The long leg ends at the trade price of the flip; the short gains as the price falls.
    assert out.excursion[0][-1] == pytest.approx(90 / 100 - 1)
    assert out.excursion[1][-1] == pytest.approx(2 - 80 / 90 - 1)


class RewritesTheSchedule:
    """A truth test that delists instrument 0 on row 3 during the run."""

    def __init__(self, bars):
        self.bars = bars

    def __bool__(self):
        self.bars[0] = 3
        return True


@pytest.mark.parametrize("checked", [False, True])
def test_the_delisting_schedule_is_read_on_every_row(checked):
    # A third, untraded column without a label makes the engine check every
    # cell it reads; without it, it reads unchecked. Both see the new row.
    args = list(tables([[10.0, 20.0]] * 6, {0: [0.5, 0.5, 0.0]}, weight_names=["A", "B"] + ([] if checked else ["C"])))
    bars = np.array([-1, 99, -1], dtype=np.int64)
    portsim.backtest_(*args, delisting_bars=bars, stop_trading_next_period=RewritesTheSchedule(bars))
    assert [list(t) for t in excursion.trades] == [[0, 1, 3], [1, 1, -1]]


def test_a_flag_changed_by_a_freed_object_is_seen_by_the_next_resize():
    # Two holdings split on every row (with records of 12 values: 682 to a
    # statistics block). The truth test empties the record list, so when the
    # recorder starts its second block (at the split of instrument 0, the
    # 683rd record of this fresh process) the first is freed and a weakref
    # callback stops the splitting. Instrument 1, resized next in the same
    # rebalance, must see it.
    script = textwrap.dedent(
        """
        import weakref
        import numpy as np
        from korvel.core import excursion, portsim

        class EmptiesTheRecords:
            watched = False
            def __bool__(self):
                if excursion.excursion and not self.watched:
                    self.watched = True
                    weakref.finalize(excursion.excursion[0].base, setattr, portsim,
                                     "RETAIN_COST_WHEN_REBALANCE", True)
                excursion.excursion.clear()
                return True

        n = 400
        price = np.linspace(10.0, 20.0, 2 * n).reshape(n, 2)
        dates = np.arange(n, dtype=np.int64)
        names = np.array(["A", "B"], dtype=object)
        args = (price, price, price, price, price, dates, names, np.full((n, 2), 0.5), dates, names, dates)
        portsim.backtest_(*args, excursion_window=1, stop_trading_next_period=EmptiesTheRecords())
        last_split = {sid: max(t[2] for t in excursion.trades if t[0] == sid) for sid in (0, 1)}
        print(last_split[0], last_split[1], portsim.RETAIN_COST_WHEN_REBALANCE)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    row0, row1, flag = done.stdout.split()
    assert flag == "True"
    assert int(row1) == int(row0) - 1
