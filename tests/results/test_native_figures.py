"""The figures worked out natively equal their NumPy definition (`reference_figures`) bit for bit."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvel
from korvel import _engine
from korvel._market import missing_by_column, missing_offsets
from korvel.results import _figures, _stats
from korvel.simulation._rates import run_risk_free
from tests.support.layer_support import closes, market_and_weights


def native(run, rf_rows):
    values, exits = _engine.run_figures(
        run.equity,
        run.view.dates,
        run.first_row,
        rf_rows,
        run.records,
        run.record_columns,
        run.entry_price_missing,
        missing_by_column(run.market),
        missing_offsets(run.market),
    )
    return {**dict(zip(_engine.RUN_FIGURES, values)), **_stats.exit_figures(exits, run.records.reason_names)}


def assert_same_figures(result):
    run = result._run
    rf_rows = _figures.risk_free_rows(run, *run_risk_free(run.rules))[0]
    got, want = native(run, rf_rows), _figures.reference_figures(run, rf_rows)
    assert set(got) == set(want)
    # repr tells every float apart bit for bit (the sign of a zero, NaN, the last digit); type tells 1 from 1.0.
    differ = {k: (want[k], got[k]) for k in want if (type(got[k]), repr(got[k])) != (type(want[k]), repr(want[k]))}
    assert not differ


RULES = [
    {},
    dict(stop_loss=0.05, take_profit=0.1),
    dict(trail_stop=0.04, touched_exit=True),
    dict(cash_rate=0.03, borrow_fee=0.02, slippage=0.001),
    dict(max_gross=2.0, margin_rate=0.05, cash_rate=0.01, day_count="act/360"),
    dict(capital=1e6, impact=0.1),
]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**16),
    n=st.integers(2, 14),
    days=st.integers(30, 420),
    gaps=st.sampled_from([0.0, 1.5, 6.0]),
    rules=st.sampled_from(RULES),
    rebalance=st.sampled_from(["weekly", "monthly"]),
)
def test_native_figures_equal_the_numpy_definition(seed, n, days, gaps, rules, rebalance):
    *_, market, weights = market_and_weights(n, days, seed, rebalance=rebalance, n_long=2, n_short=1, missing_runs=gaps)
    if "impact" in rules:
        market = korvel.Market(market.close, volume=market.close * 0 + 1e5)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = korvel.backtest(weights, market, **rules)
    assert_same_figures(result)


@pytest.mark.parametrize(
    "path, weight",
    [
        ([10.0, 20.0, 40.0, 35.0, 30.0], -1.0),  # a short ruined by a rise: the returns past the ruin are not numbers
        ([10.0, 9.0, 8.0, 7.0, 6.0], 1.0),  # never back at the peak: no recovery
        ([10.0, 10.0, 10.0, 10.0, 10.0], 1.0),  # no move at all: no drawdown, no volatility
        ([10.0, np.nan, 12.0, np.nan, 9.0], 0.5),  # missing closes: no exposure on their rows
        ([1.0, 1e10, 1e20, 1e30, 1e30], 1.0),  # a gain whose yearly rate overflows: inf, not an error
    ],
)
def test_native_figures_of_edge_runs(path, weight):
    market = korvel.Market(closes(np.array([path, [10.0] * len(path)]).T))
    weights = pd.DataFrame({"S0": [weight], "S1": [0.0]}, index=market.dates[:1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = korvel.backtest(weights, market)
    assert_same_figures(result)


def test_a_yearly_rate_past_the_largest_float_is_inf_everywhere():
    market = korvel.Market(closes([[1.0], [1e10], [1e20], [1e30]]))
    result = korvel.backtest(pd.DataFrame({"S0": [1.0]}, index=market.dates[:1]), market)
    assert result.stats()["cagr"] == math.inf
    assert _stats.annualised(1e30, 3 / 365.25) == math.inf  # the NumPy reference, and walk-forward's
    assert _stats.annualised(1.21, 2.0) == pytest.approx(0.1)


def test_native_figures_of_a_run_without_trades():
    market = korvel.Market(closes([[10.0], [11.0], [12.0]]))
    with pytest.warns(korvel.KorvelWarning, match="no trade at all"):
        result = korvel.backtest(pd.DataFrame({"S0": [0.0]}, index=market.dates[:1]), market)
    assert_same_figures(result)
    assert result.stats()["trades"] == 0 and math.isnan(result.stats()["win_rate"])


def _arguments():
    """Valid arguments of `run_figures` for one trade over three rows."""
    f8 = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
    i8 = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731
    rows = f8(0.0, 0.0, 0.0)
    return [
        f8(1.0, 1.1, 1.2),  # equity
        i8(0, 86_400 * 10**9, 2 * 86_400 * 10**9),  # dates
        0,  # first
        None,  # risk_free
        rows, rows, rows, rows,  # row_traded, row_financing, row_long, row_short
        i8(0), i8(2), i8(0), f8(1.0),  # entry, exit, columns, weight
        np.array([[-0.1, 0.2, 0.0, 0.0, 0.0, 0.05]]),  # statistics: the exit snapshot
        None,  # unpriced_entry
        f8(0.0), f8(0.0), f8(0.0), f8(0.0), f8(0.0),  # fees, taxes, slippage, borrow, impact
        np.array([1], dtype=np.int8), 2,  # exit_reason, reasons
        i8(1), i8(0, 1),  # missing (column 0, row 1), offsets
    ]  # fmt: skip


@pytest.mark.parametrize(
    "position, value, error, words",
    [
        (0, [1.0, 1.1, 1.2], TypeError, "'equity' must be a 1-D float64 array"),
        (0, np.ones(3, dtype=">f8"), TypeError, "'equity' must be a 1-D float64 array in native byte order"),
        (12, np.zeros(6), TypeError, "'statistics' must be a 2-D float64 array"),
        (19, np.array([1], dtype=np.int64), TypeError, "'exit_reason' must be a 1-D int8 array"),
        (1, np.arange(2, dtype=np.int64), ValueError, "'dates' has 2 elements, not one per row (3)"),
        (2, 4, ValueError, "'first' is not a row of the equity"),
        (8, np.array([3], dtype=np.int64), ValueError, "a trade's entry row is outside the rows"),
        (9, np.array([5], dtype=np.int64), ValueError, "a trade's exit row is neither -1 nor"),
        (19, np.array([2], dtype=np.int8), ValueError, "a trade's exit reason is not below 'reasons'"),
        (10, np.array([1], dtype=np.int64), ValueError, "a trade's market column is not one of the offsets'"),
        (22, np.array([1, 0], dtype=np.int64), ValueError, "'offsets' are not ascending offsets into 'missing'"),
        (12, np.zeros((1, 5)), ValueError, "'statistics' has fewer than 6 columns"),
        (20, 129, ValueError, "'reasons' is not from 1 to 128"),
    ],
)
def test_run_figures_refuses_arrays_it_cannot_read(position, value, error, words):
    from korvel.core import portsim

    arguments = _arguments()
    assert len(portsim.run_figures(*arguments)[0]) == len(portsim.RUN_FIGURES)  # the valid call works
    arguments[position] = value
    with pytest.raises(error, match="run_figures: " + words.replace("(", r"\(").replace(")", r"\)")):
        portsim.run_figures(*arguments)


_ODD_VALUES = [
    None,
    [1.0, 2.0],
    3,
    -1,
    2**62,
    np.float64(1.0),
    np.zeros(()),
    np.zeros(0),
    np.zeros(0, dtype=np.int64),
    np.zeros((0, 6)),
    np.zeros(3),
    np.full(3, np.nan),
    np.array([-1, 5, 2**40], dtype=np.int64),
    np.zeros(1, dtype=np.int8) - 1,
    np.ones(1, dtype=bool),
    np.zeros((3, 6)),
    np.arange(3, dtype=np.int64),
]


@settings(max_examples=300, deadline=None)
@given(changes=st.lists(st.tuples(st.integers(0, 22), st.sampled_from(range(len(_ODD_VALUES)))), max_size=3))
def test_run_figures_answers_any_arguments_with_figures_or_an_error(changes):
    from korvel.core import portsim

    arguments = _arguments()
    for position, which in changes:
        arguments[position] = _ODD_VALUES[which]
    try:
        figures, exits = portsim.run_figures(*arguments)
    except (TypeError, ValueError, OverflowError):
        return
    assert len(figures) == len(portsim.RUN_FIGURES) and len(exits) == arguments[20]


def test_run_figures_reads_strided_arrays_as_their_values():
    from korvel.core import portsim

    arguments = _arguments()
    want = portsim.run_figures(*arguments)
    arguments[0] = np.repeat(arguments[0], 2)[::2]  # a view with a stride of two elements
    arguments[12] = np.repeat(arguments[12], 2, axis=1)[:, ::2]
    assert not arguments[0].flags.c_contiguous and not arguments[12].flags.c_contiguous
    assert repr(portsim.run_figures(*arguments)) == repr(want)  # NaN as NaN
