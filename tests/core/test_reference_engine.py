"""The reference engine checked on its own, against hand-worked numbers.

Nothing here imports the native modules: the oracle must be trustworthy
before it is used to judge the engine.
"""

import math

import numpy as np
import pytest
import reference_engine as ref

FEE = 0.001425
TAX = 0.003
NAN = float("nan")


def book_call(
    positions,
    sid,
    target,
    cash,
    *,
    fee=FEE,
    tax=TAX,
    check_exist=True,
    remove_zero=False,
    total_value=1,
    retain_cost=False,
    resample=True,
):
    rec = ref.NullRecorder()
    cash = ref.set_position(
        positions,
        sid,
        target,
        cash,
        fee,
        tax,
        check_exist,
        remove_zero,
        total_value,
        recorder=rec,
        retain_cost=retain_cost,
        resample=resample,
    )
    return cash, rec.calls


# ---------------------------------------------------------------------------
# position book: costs and recorder calls
# ---------------------------------------------------------------------------


def test_open_long_pays_commission_out_of_the_holding():
    book = {}
    cash, calls = book_call(book, 0, 0.5, 1.0)
    assert cash == 0.5
    assert book == {0: 0.4992875}
    assert calls == [("entry", 0, 0.5, 1)]


def test_reduce_long_pays_commission_and_tax_out_of_cash():
    book = {3: 0.5}
    cash, calls = book_call(book, 3, 0.3, 0.0)
    assert cash == pytest.approx(0.2 - 0.2 * 0.004425, rel=1e-15)
    assert book[3] == 0.3
    assert calls == [("exit", 3, 0), ("entry", 3, 0.3, 0)]


@pytest.mark.parametrize("remove_zero, expected_book", [(True, {}), (False, {1: 0.0})])
def test_close_long(remove_zero, expected_book):
    book = {1: 0.3}
    cash, calls = book_call(book, 1, 0.0, 0.0, remove_zero=remove_zero)
    assert cash == pytest.approx(0.3 - 0.3 * 0.004425, rel=1e-15)
    assert book == expected_book
    assert calls == [("exit", 1, 1)]


def test_short_open_cover_and_flip():
    book = {}
    cash, _ = book_call(book, 0, -0.4, 1.0)
    assert cash == pytest.approx(1.0 + (0.4 - 0.4 * 0.001425), rel=1e-15)
    assert book[0] == -0.4

    before = cash
    cash, _ = book_call(book, 0, -0.1, cash)
    assert before - cash == pytest.approx(0.3, rel=1e-14)
    assert book[0] == pytest.approx(-0.1 - 0.3 * 0.004425, rel=1e-14)

    book = {2: 0.2}
    cash, calls = book_call(book, 2, -0.2, 0.0)
    assert cash == pytest.approx(0.4 - 0.4 * 0.001425, rel=1e-15)
    assert book[2] == -0.2
    # A flip is a continuing holding, not a close and an open.
    assert calls == [("exit", 2, 0), ("entry", 2, -0.2, 0)]


@pytest.mark.parametrize(
    "retain_cost, resample, split",
    [(False, True, True), (True, True, False), (False, False, False), (True, False, False)],
)
def test_unchanged_target_is_not_traded_but_may_split(retain_cost, resample, split):
    book = {0: 0.25}
    cash, calls = book_call(book, 0, 0.25, 0.75, total_value=0.5, retain_cost=retain_cost, resample=resample)
    assert cash == 0.75 and book == {0: 0.25}
    assert calls == ([("exit", 0, 0), ("entry", 0, 0.5, 0)] if split else [])


def test_closing_an_absent_instrument():
    book = {}
    cash, calls = book_call(book, 4, 0.0, 0.7)
    assert (cash, book, calls) == (0.7, {}, [])
    cash, calls = book_call(book, 4, 0.0, 0.7, check_exist=False)
    assert (cash, book, calls) == (0.7, {4: 0.0}, [])


def test_zero_key_counts_as_flat_for_the_recorder():
    book = {1: 0.0}
    cash, calls = book_call(book, 1, 0.2, 1.0, fee=0.0, tax=0.0)
    assert calls == [("entry", 1, 0.2, 1)]
    assert book == {1: 0.2} and cash == 0.8


def test_nan_target_is_not_zero():
    book = {}
    cash, calls = book_call(book, 0, NAN, 1.0)
    assert calls[0][:2] == ("entry", 0) and math.isnan(calls[0][2]) and calls[0][3] == 1
    assert math.isnan(cash) and math.isnan(book[0])


def test_zero_total_value_fails_when_an_entry_is_recorded():
    with pytest.raises(ZeroDivisionError):
        book_call({}, 0, 0.5, 1.0, total_value=0.0)


# ---------------------------------------------------------------------------
# rebalance
# ---------------------------------------------------------------------------


def do_rebalance(book, weights, cash=1.0, *, fee=0.0, tax=0.0, limit=1.0):
    rec = ref.NullRecorder()
    cash = ref.rebalance(book, np.array(weights, dtype=np.float64), cash, fee, tax, limit, recorder=rec)
    return cash, rec.calls


@pytest.mark.parametrize(
    "weights, limit, expected_book, expected_cash",
    [
        ([0.5, 0.5, 0.0], 1.0, {0: 0.5, 1: 0.5}, 0.0),
        ([1.0, 1.0], 1.0, {0: 0.5, 1: 0.5}, 0.0),
        ([0.3], 1.0, {0: 0.3}, 0.7),
        ([0.5, -0.5], 0.2, {0: 0.2, 1: -0.2}, 1.0),
        ([0.0, 0.0], 1.0, {}, 1.0),
    ],
)
def test_rebalance_examples(weights, limit, expected_book, expected_cash):
    book = {}
    cash, _ = do_rebalance(book, weights, limit=limit)
    assert book == expected_book
    assert cash == expected_cash


def test_nan_weight_row_is_used_unscaled():
    book = {}
    cash, calls = do_rebalance(book, [0.6, NAN, 0.7])
    assert book[0] == 0.6 and book[2] == 0.7 and math.isnan(book[1])
    assert math.isnan(cash)


def test_zero_weight_closes_and_erases():
    book = {0: 0.5, 1: 0.25}
    cash, calls = do_rebalance(book, [0.0, 0.25], cash=0.25)
    assert book == {1: 0.25}
    assert cash == 0.75
    assert calls == [("exit", 0, 1), ("exit", 1, 0), ("entry", 1, 0.25, 0)]


def test_weights_are_fractions_of_the_value_before_trading():
    # total = 2.0: the targets and the recorded weights both refer to it,
    # and the costs paid on the way do not move it.
    book = {0: 1.0}
    cash, calls = do_rebalance(book, [0.25, 0.5], cash=1.0, fee=0.01, tax=0.01)
    assert book[1] == (1.0 - 0.01 * 1.0) + 0.0
    assert book[0] == 0.5
    assert calls[-1] == ("entry", 1, 1.0 / 2.0, 1)


def test_gross_weight_uses_numpy_pairwise_summation():
    # From eight columns on, NumPy sums pairwise; find weights for which that
    # differs from a left-to-right sum and check which one scaled the row.
    rng = np.random.default_rng(7)
    for _ in range(5000):
        w = rng.uniform(0.05, 0.4, size=9)
        naive = 0.0
        for x in w:
            naive += abs(x)
        s = float(np.sum(np.abs(w)))
        if s != naive and any(x * (1.0 / s) != x * (1.0 / naive) for x in w):
            break
    else:
        pytest.fail("no distinguishing example found")
    book = {}
    do_rebalance(book, w)
    assert [book[i] for i in range(9)] == [float(x) * (1.0 / s) for x in w]


def test_underwater_portfolio_is_wound_down():
    # cash 1.0, short worth -1.5: total -0.5; nothing may be opened.
    book = {0: -1.5}
    cash, calls = do_rebalance(book, [0.5, 0.5], cash=1.0, fee=0.01, tax=0.01)
    assert book == {}
    assert cash == 1.0 + (-1.5 - 0.02 * 1.5)
    assert calls == [("exit", 0, 1)]


def test_zero_total_keeps_plain_targets():
    book = {0: -1.0}
    cash, _ = do_rebalance(book, [0.5], cash=1.0)
    assert book == {} and cash == 0.0


# ---------------------------------------------------------------------------
# weight normalisation, column mapping, rebalance rows
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "weights, limit, expected",
    [
        ({1: 0.6, 2: 0.6}, 1, {1: 0.5, 2: 0.5}),
        ({1: 0.3, 2: -0.2}, 1, {1: 0.3, 2: -0.2}),
        ({1: 0.9, 2: -0.9}, 0.3, {1: 0.3, 2: -0.3}),
        ({1: 1.0}, 0.5, {1: 0.5}),
        ({}, 1.0, {}),
    ],
)
def test_normalize_weight(weights, limit, expected):
    out = ref.normalize_weight(weights, limit)
    assert out is weights
    assert out == pytest.approx(expected)


@pytest.mark.parametrize(
    "price_cols, pos_cols, expected",
    [
        (["A", "B", "C"], ["C", "A"], {0: 2, 1: 0}),
        (["A"], ["A", "X"], {0: 0}),
        (["A", "A"], ["A"], {0: 1}),
        (["A"], [], {}),
        (["A", "A "], ["a", "A"], {1: 0}),
        (["\u00e9"], ["\u00e9", "e"], {0: 0}),
    ],
)
def test_map_columns(price_cols, pos_cols, expected):
    assert ref.map_columns(price_cols, pos_cols) == expected


@pytest.mark.parametrize(
    "dates, resample, expected",
    [
        ([10, 20, 30], [5, 20, 25, 40], [1, 1, 1]),
        ([10, 20, 30], [], [0, 0, 0]),
        ([10, 20, 30], [19], [1, 0, 0]),
        ([10, 20, 30], [35, 36], [0, 0, 1]),
        ([10, 20, 30, 40], [20, 20, 31], [0, 1, 1, 0]),
        ([], [5, 10], []),
    ],
)
def test_rebalance_rows(dates, resample, expected):
    assert ref.rebalance_rows_of(dates, resample) == expected


# ---------------------------------------------------------------------------
# excursion statistics
# ---------------------------------------------------------------------------


def analyse(price, close, entry, exit_, *, is_long=True, window=0, step=1, fee=0.0, tax=0.0, entry_tx=0, exit_tx=0):
    price = [[float(p)] for p in price]
    close = [[float(c)] for c in close]
    return ref.excursion_analysis(price, close, 0, window, step, fee, tax, entry, exit_, is_long, entry_tx, exit_tx)


WORKED_CLOSE = [100, 110, 99, 105]


def test_worked_example():
    out = analyse([100] * 4, WORKED_CLOSE, 0, 3)
    assert out.tolist() == pytest.approx([-0.01, 0.1, 0.1, -0.1, 2, 0.05], rel=1e-12)


def test_worked_example_with_exit_at_trade_price():
    plain = analyse([100] * 4, WORKED_CLOSE, 0, 3)
    out = analyse([100, 100, 100, 106], WORKED_CLOSE, 0, 3, fee=FEE, tax=TAX, exit_tx=1)
    assert out[:5].tolist() == plain[:5].tolist()
    assert out[5] == pytest.approx(1.06 * ((1 - FEE) - TAX) - 1, rel=1e-12)


def test_short_factor_mirrors_the_close():
    out = analyse([100, 100], [90, 110], 0, 1, is_long=False, window=2)
    assert out[5] == pytest.approx(0.1, rel=1e-12)
    assert out[11] == pytest.approx(-0.1, rel=1e-12)
    assert out[17] == out[11]


def test_short_exit_valued_at_trade_price():
    # Exit at the entry trade price: a short's factor is 2 - xp / p0 = 1.
    out = analyse([100, 100], [90, 110], 0, 1, is_long=False, exit_tx=1)
    assert out[5] == pytest.approx(0.0, abs=1e-15)


@pytest.mark.parametrize("window, step, size", [(0, 1, 6), (1, 1, 12), (3, 2, 18), (4, 4, 12), (20, 5, 30)])
def test_result_size(window, step, size):
    out = analyse([1.0] * 30, [1.0] * 30, 0, 1, window=window, step=step)
    assert out.shape == (size,)


def test_window_snapshots_are_the_series_at_their_offsets():
    rng = np.random.default_rng(3)
    close = (100 * np.cumprod(rng.uniform(0.9, 1.1, 25))).tolist()
    price = [100.0] * 25
    out = analyse(price, close, 0, 3, window=20, step=5)
    assert out.shape == (30,)
    for group, offset in enumerate([0, 5, 10, 15]):
        alone = analyse(price, close, 0, offset)
        assert out[6 * group : 6 * group + 6].tolist() == alone.tolist()
    assert out[24:].tolist() == analyse(price, close, 0, 3).tolist()


def test_groups_past_the_tables_stay_unset():
    close = [1.0, 1.5, 2.0, 1.0, 1.0, 1.0, 1.25, 0.5]
    out = analyse([1.0] * 8, close, 5, 6, window=6, step=2)
    # rows 5..7 only: offsets 0 and 2 are written, offset 4 is past the end
    assert out.shape == (24,)
    assert out[6:12].tolist() == analyse([1.0] * 8, close, 5, 7).tolist()
    assert out[12:18].tolist() == [-1.0] * 6
    assert out[18:].tolist() == analyse([1.0] * 8, close, 5, 6).tolist()


def test_same_row_trade_takes_only_the_cost_factor():
    out = analyse([100.0], [104.0], 0, 0, fee=FEE, tax=TAX, entry_tx=1, exit_tx=1)
    r = (104.0 / 100.0) * (1 - FEE)
    assert r > 1
    assert out.tolist() == [0.0, r - 1, r - 1, 0.0, 1.0, r * ((1 - FEE) - TAX) - 1]


def test_exit_adjustment_lands_on_the_exit_row_inside_a_window():
    price = [100.0, 100.0, 121.0, 100.0, 100.0]
    close = [100.0, 110.0, 120.0, 130.0, 140.0]
    out = analyse(price, close, 0, 2, window=4, fee=FEE, tax=TAX, exit_tx=1)
    assert out.shape == (30,)
    adjusted = (1.0 * (110 / 100) * (120 / 110)) * (121.0 / 120.0) * ((1 - FEE) - TAX) - 1
    assert out[-1] == pytest.approx(adjusted, rel=1e-14)
    assert out[6 * 2 + 5] == out[-1]  # window snapshot at the exit offset
    assert out[6 * 3 + 5] == pytest.approx(0.3, rel=1e-14)  # after the exit: untouched
    assert out[-2] == 2.0  # the counts are not revised


def test_exit_revaluation_skipped_on_missing_price():
    out = analyse([100.0, 100.0, NAN], [100.0, 110.0, 120.0], 0, 2, fee=FEE, tax=TAX, exit_tx=1)
    assert out[5] == pytest.approx(1.2 * ((1 - FEE) - TAX) - 1, rel=1e-14)


def test_missing_entry_price_poisons_the_trade():
    out = analyse([NAN, 100, 100], [100, 110, 90], 0, 2, window=3)
    for group in range(3):
        g = out[6 * group : 6 * group + 6]
        assert all(math.isnan(x) for x in (g[0], g[1], g[2], g[5]))
        assert g[3] == 0.0 and g[4] == 0.0


def test_missing_closes_are_skipped():
    out = analyse([100] * 4, [100, NAN, 110, NAN], 0, 3)
    assert out[4] == 1.0
    assert out[5] == pytest.approx(0.1, rel=1e-14)
    assert out[1] == out[5] and out[0] == 0.0


def test_entry_commission_seeds_the_statistics():
    out = analyse([100, 100], [100.1, 100.1], 0, 1, fee=FEE, entry_tx=1)
    r = (100.1 / 100) * (1 - FEE)
    assert r < 1
    assert out.tolist() == [r - 1, 0.0, 0.0, r - 1, 0.0, r - 1]


# ---------------------------------------------------------------------------
# recorder
# ---------------------------------------------------------------------------


def make_recorder(n_rows=4, window=0):
    price = [[100.0, 50.0] for _ in range(n_rows)]
    close = [[100.0 + i, 50.0 - i] for i in range(n_rows)]
    return ref.TradeRecorder(price, close, {0: 1, 1: 0}, 3, FEE, TAX, window, 1)


def test_exit_of_a_slot_never_entered():
    rec = make_recorder()
    rec.record_date(2)
    rec.record_exit(0, 0)
    assert rec.trades == [[0, 0, 2]]
    assert rec.trade_positions == [0.0]
    # Analysed from row 0 as a short (0 is not > 0), without entry commission,
    # and valued at the trade price 50 of row 2 instead of its close 48.
    expected = analyse([50.0] * 4, [50.0, 49.0, 48.0, 47.0], 0, 2, is_long=False)
    expected[5] = 2 - (50.0 * (2 - (expected[5] + 1))) / 48.0 - 1
    assert rec.excursion[0].tolist() == expected.tolist()


def test_unmapped_slot_reads_price_column_zero():
    rec = make_recorder()
    rec.record_entry(2, 0.5, 1)
    rec.record_date(3)
    rec.record_exit(2, 1)
    expected = analyse([100.0] * 4, [100.0, 101.0, 102.0, 103.0], 0, 3, fee=FEE, tax=TAX, entry_tx=1, exit_tx=1)
    assert rec.excursion[0].tolist() == expected.tolist()


def test_end_analysis_lists_open_slots_only():
    rec = make_recorder()
    rec.end_analysis({})
    rec.end_analysis({0: 0.0, 1: 0.0})
    assert rec.trades == [] and rec.excursion == []
    rec.record_date(1)
    rec.record_entry(1, 0.2, 1)
    rec.record_date(2)
    rec.record_entry(1, -0.3, 0)  # entered again: only the second entry counts
    rec.record_date(3)
    rec.end_analysis({0: NAN, 1: 0.25, 2: 0.0})
    assert rec.trades == [[0, 0, -1], [1, 2, -1]]
    assert rec.trade_positions == [0.0, -0.3]
    assert len(rec.excursion) == 2


# ---------------------------------------------------------------------------
# whole runs: internal state the engine does not expose
# ---------------------------------------------------------------------------


def run(prices, weights, weight_dates, **kw):
    prices = np.array(prices, dtype=np.float64)
    n, p = prices.shape
    dates = np.arange(1, n + 1, dtype=np.int64) * 10
    names = np.array([chr(65 + j) for j in range(p)], dtype=object)
    w = np.array(weights, dtype=np.float64)
    return ref.run_backtest(
        prices,
        prices,
        prices,
        prices,
        prices,
        dates,
        names,
        w,
        np.array(weight_dates, dtype=np.int64),
        names[: w.shape[1]],
        kw.pop("resample", dates),
        **kw,
    )


def test_no_price_dates():
    # The tables need a first row; the date index may still be empty.
    one = np.ones((1, 2))
    res = ref.run_backtest(
        one,
        one,
        one,
        one,
        one,
        np.empty(0, np.int64),
        np.array(["A", "B"], dtype=object),
        np.zeros((1, 2)),
        np.array([0]),
        np.array(["A", "B"], dtype=object),
        np.array([5], dtype=np.int64),
    )
    assert res.equity.shape == (0,) and res.trades == []
    assert res.rebalance_rows == []


@pytest.mark.parametrize(
    "retain, expected_growth",
    [
        (False, [1.0, 1.0, 1.0]),
        # kept long on the same side: references kept; flipped and new: reset;
        # zero weight: never reset here (and then closed, so reset by nothing)
        (True, [1.25, 1.0, 1.0]),
    ],
)
def test_stop_references_after_a_rebalance(retain, expected_growth):
    prices = [[1.0, 1.0, 1.0], [1.0, 1.0, 1.0], [1.25, 1.25, 1.0], [1.25, 1.25, 1.0]]
    weights = [[0.25, 0.25, 0.0], [0.25, -0.25, 0.25]]
    res = run(prices, weights, [10, 30], fee_ratio=0.0, tax_ratio=0.0, retain_cost_when_rebalance=retain)
    assert res.growth == expected_growth


def test_all_zero_rebalance_rows_never_trade():
    prices = [[1.0], [2.0], [3.0]]
    res = run(prices, [[1.0]], [10], resample=np.array([], dtype=np.int64))
    assert res.equity.tolist() == [1.0, 1.0, 1.0]
    assert res.positions == {} and res.cash == 1.0
    ops = res.stock_operations
    assert ops["weights"] == {} and ops["weight_time"] == -1
    assert ops["next_weights"] == {0: 1.0} and ops["actions"] == {}
