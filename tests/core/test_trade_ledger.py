"""The trade ledger of backtest_ledger: the same run as backtest_, its trades
field by field, exit reasons, fills and costs (against the reference), and
the module state it leaves."""

import math

import numpy as np
import pytest
import reference_engine
from backtest_helpers import INF, run_engine, tables
from hypothesis import HealthCheck, given, settings
from test_engine_vs_reference import assert_same_operations, runs

from korvel.core import excursion, portsim

REASONS = ("open", "rebalance", "stop_loss", "take_profit", "trailing_stop", "delisting", "ruin")
PER_TRADE = {
    "sid": np.int64,
    "entry_row": np.int64,
    "exit_row": np.int64,
    "side": np.int8,
    "weight": np.float64,
    "entry_price": np.float64,
    "exit_price": np.float64,
    "exit_reason": np.int8,
    "fees": np.float64,
    "taxes": np.float64,
    "slippage": np.float64,
    "borrow": np.float64,
    "impact": np.float64,
    "filled_fraction": np.float64,
    "fill_rows": np.int64,
}
PER_ROW = {
    "row_traded": np.float64,
    "row_costs": np.float64,
    "row_financing": np.float64,
    "row_long": np.float64,
    "row_short": np.float64,
    "row_impact": np.float64,
    "row_unestimated": np.int64,
    "row_below_lot": np.int64,
    "row_uncapped": np.int64,
}
# korvel's own rules of the ledger entry point, at their defaults.
LEDGER_RULES = {
    "own_trade_stops": False,
    "trade_at": "close",
    "trail_from": "entry",
    "max_gross": 1.0,
    "slippage": 0.0,
    "band": 0.0,
    "band_rel": 0.0,
    "cash_rates": None,
    "margin_rates": None,
    "borrow_rates": None,
    "close_on_ruin": False,
    "record_positions": False,
    "volume_values": None,
    "capital": 1.0,
    "impact": 0.0,
    "impact_window": 20,
    "record_fills": False,
    "lot_values": None,
    "min_trade": 0.0,
    "fee_min": 0.0,
    "sells_first": False,
    "participation": 0.0,
    "participation_on_row": False,
    "carry_unfilled": True,
    "extremes_only": False,
}


def run_ledger(*args, **kwargs):
    return portsim.backtest_ledger(*args, **kwargs)


def outcome_or_error(run, *args, **kwargs):
    try:
        return run(*args, **kwargs), None
    except Exception as error:  # the same failure is expected from both paths
        return None, (type(error), str(error))


def assert_ledger_matches(ledger, records, rows):
    """The ledger's trades are the records of the same run, field by field."""
    assert set(ledger) == set(PER_TRADE) | set(PER_ROW) | {"statistics", "reason_names"}
    n = len(records.trades)
    for key, dtype in PER_TRADE.items():
        assert ledger[key].dtype == dtype and ledger[key].shape == (n,), key
    assert ledger["reason_names"] == REASONS
    for key, dtype in PER_ROW.items():
        assert ledger[key].dtype == dtype and ledger[key].shape == (rows,), key
    # Without an impact model no fill pays impact nor lacks an estimate.
    assert not ledger["impact"].any() and not ledger["row_impact"].any() and not ledger["row_unestimated"].any()
    assert np.column_stack([ledger["sid"], ledger["entry_row"], ledger["exit_row"]]).tolist() == (records.trades or [])
    np.testing.assert_array_equal(ledger["weight"], np.array(records.trade_positions, dtype=np.float64))
    assert ledger["weight"].tobytes() == np.array(records.trade_positions, dtype=np.float64).tobytes()
    stats = ledger["statistics"]
    assert stats.ndim == 2 and stats.shape[0] == n
    if n:
        assert stats.tobytes() == np.stack(records.excursion).tobytes()  # bit for bit, NaNs included
    np.testing.assert_array_equal(ledger["side"], np.where(ledger["weight"] > 0, 1, -1))
    is_open = ledger["exit_row"] == -1
    assert ((ledger["exit_reason"] == 0) == is_open).all()
    assert np.isnan(ledger["exit_price"][is_open]).all()


@settings(deadline=None, max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(runs())
def test_ledger_agrees_with_the_records_and_the_reference(run):
    args, kw = run
    records, error = outcome_or_error(run_engine, *args, **kw)
    result, ledger_error = outcome_or_error(run_ledger, *args, **kw)
    assert ledger_error == error
    if error:
        return
    equity, ledger, operations = result
    np.testing.assert_array_equal(equity, records.equity)
    assert operations == portsim.get_stock_operations() and operations is not portsim.get_stock_operations()
    assert_same_operations(operations, records.stock_operations)
    assert excursion.trades == [] and excursion.trade_positions == [] and excursion.excursion == []
    assert_ledger_matches(ledger, records, len(args[5]))

    # Reasons, fills and costs as the reference works them out, bit for bit.
    ref = reference_engine.run_backtest(*args, **kw)
    assert len(ref.ledger) == len(ref.trades)
    np.testing.assert_array_equal(ledger["exit_reason"], [REASONS.index(t["reason"]) for t in ref.ledger])
    for key in ("entry_price", "exit_price", "fees", "taxes"):
        np.testing.assert_array_equal(ledger[key], np.array([t[key] for t in ref.ledger], dtype=np.float64), key)
    np.testing.assert_array_equal(ledger["row_traded"], ref.row_traded)
    np.testing.assert_array_equal(ledger["row_costs"], ref.row_costs)
    # Every cost is some trade's, unless a resize left a holding of exactly
    # 0.0, which leaves the book without any record (nor ledger entry).
    weights = args[7]
    if np.all((np.abs(weights) > 1e-6) | (weights == 0) | np.isnan(weights)):
        total = float(np.sum(ledger["row_costs"]))
        paid = float(np.sum(ledger["fees"] + ledger["taxes"]))
        assert math.isclose(paid, total, rel_tol=1e-9, abs_tol=1e-15) or math.isnan(total)


@settings(deadline=None, max_examples=150, suppress_health_check=[HealthCheck.too_slow])
@given(runs())
def test_extremes_only_keeps_the_trough_peak_and_return_of_the_full_run(run):
    args, kw = run
    full, error = outcome_or_error(run_ledger, *args, **kw)
    lean, lean_error = outcome_or_error(run_ledger, *args, **kw, extremes_only=True)
    assert lean_error == error
    if error:
        return
    assert full[0].tobytes() == lean[0].tobytes()
    assert_same_operations(lean[2], full[2])
    full_ledger, lean_ledger = full[1], lean[1]
    assert set(full_ledger) == set(lean_ledger)
    for key in set(full_ledger) - {"statistics", "reason_names"}:
        assert full_ledger[key].tobytes() == lean_ledger[key].tobytes(), key
    stats, kept = full_ledger["statistics"], lean_ledger["statistics"]
    if stats.shape[1] > 6:  # window snapshots: every statistic is taken
        assert stats.tobytes() == kept.tobytes()
        return
    assert stats[:, [0, 1, 5]].tobytes() == kept[:, [0, 1, 5]].tobytes()  # NaNs included
    assert np.isnan(kept[:, 2:5]).all()


def test_the_ledger_has_backtest_s_parameters_and_checks():
    import inspect

    ledger = inspect.signature(portsim.backtest_ledger).parameters
    specified = inspect.signature(portsim.backtest_).parameters
    # backtest_'s parameters, then the ledger's own, keyword-only ones.
    assert list(ledger.values())[: len(specified)] == list(specified.values())
    own = list(ledger.values())[len(specified) :]
    assert [(p.name, p.default, p.kind) for p in own] == [
        (name, default, inspect.Parameter.KEYWORD_ONLY) for name, default in LEDGER_RULES.items()
    ]
    args = tables([[1.0], [1.0]], {0: [1.0]})
    for name, default in LEDGER_RULES.items():
        with pytest.raises(TypeError, match=name):
            portsim.backtest_(*args, **{name: default})
    with pytest.raises(ValueError, match="excursion_window must be >= 0, got -1"):
        portsim.backtest_ledger(*args, excursion_window=-1)
    with pytest.raises(TypeError, match=r"backtest_ledger\(\) takes at most 25 positional arguments"):
        portsim.backtest_ledger(*args, *([0] * 15))


def test_a_ledger_run_empties_the_records_of_the_run_before():
    args = tables([[10.0], [11.0], [12.0]], {0: [1.0]})
    portsim.backtest_(*args)
    kept = excursion.trades
    assert len(kept) == 1
    _, ledger, _ = portsim.backtest_ledger(*args)
    assert kept is excursion.trades and kept == [] and excursion.excursion == []
    assert ledger["exit_row"].tolist() == [-1]


@pytest.mark.parametrize(
    "touched, opens, high, low, reason, fill",
    [
        # long, stop loss 10% and take profit 20% from the entry price 100
        (True, 100.0, 125.0, 85.0, "take_profit", 120.0),  # both touched: the engine fills at the upper level
        (True, 95.0, 99.0, 85.0, "stop_loss", 90.0),
        (True, 80.0, 99.0, 75.0, "stop_loss", 80.0),  # gapped through: filled at the open
        (True, 130.0, 135.0, 99.0, "take_profit", 130.0),
        (False, 100.0, 100.0, 100.0, "stop_loss", 101.0),  # close 85 signals, executed at the next trading price
    ],
)
def test_exit_reasons_follow_the_fill(touched, opens, high, low, reason, fill):
    prices = [[100.0], [100.0], [100.0], [101.0]]
    close = [[100.0], [100.0], [85.0 if not touched else 100.0], [101.0]]
    args = tables(
        prices,
        {0: [1.0]},
        close=close,
        opens=[[100.0], [100.0], [opens], [100.0]],
        high=[[100.0], [100.0], [high], [101.0]],
        low=[[100.0], [100.0], [low], [101.0]],
        resample=[10],
    )
    _, ledger, _ = portsim.backtest_ledger(*args, stop_loss=0.1, take_profit=0.2, touched_exit=touched)
    assert [REASONS[k] for k in ledger["exit_reason"]] == [reason]
    assert ledger["exit_price"].tolist() == [fill]
    assert ledger["entry_price"].tolist() == [100.0]


def test_trailing_stop_and_delisting_reasons():
    prices = [[100.0, 50.0], [100.0, 50.0], [120.0, 50.0], [107.0, 50.0], [100.0, 50.0], [100.0, 50.0]]
    args = tables(prices, {0: [0.5, 0.5]}, resample=[10])
    bars = np.array([-1, 4], dtype=np.int64)
    _, ledger, _ = portsim.backtest_ledger(*args, trail_stop=0.1, delisting_bars=bars, fee_ratio=0.0, tax_ratio=0.0)
    # The close of row 3 is 10.8% under the peak of row 2: sold on row 4.
    assert ledger["sid"].tolist() == [0, 1]
    assert [REASONS[k] for k in ledger["exit_reason"]] == ["trailing_stop", "delisting"]
    assert ledger["exit_row"].tolist() == [4, 4]


@pytest.mark.parametrize("weight", [1.0, -1.0])
def test_a_trade_ended_on_its_entry_row_pays_both_fills_slippage(weight):
    # Entered at 100 and delisted on the same row at 100: the long buys at
    # 100 (1 + s) and sells at 100 (1 - s), the short the other way round.
    s = 0.01
    args = tables([[100.0], [100.0], [100.0]], {0: [weight]}, resample=[10])
    bars = np.array([1], dtype=np.int64)
    _, ledger, _ = portsim.backtest_ledger(*args, delisting_bars=bars, fee_ratio=0.0, tax_ratio=0.0, slippage=s)
    assert ledger["entry_row"].tolist() == ledger["exit_row"].tolist() == [1]
    entry, exit = (1 + s, 1 - s) if weight > 0 else (1 - s, 1 + s)
    assert ledger["entry_price"].tolist() == [100.0 * entry] and ledger["exit_price"].tolist() == [100.0 * exit]
    expected = exit / entry - 1 if weight > 0 else 1 - exit / entry
    assert ledger["statistics"][0, -1] == pytest.approx(expected, rel=1e-12)


def test_costs_are_charged_to_the_trade_of_the_holding():
    # Open 0.5 (commission), resize to 0.3 (commission and tax), close: all
    # on one trade when costs are retained; split records get the resize.
    args = tables([[1.0]] * 4, {0: [0.5], 1: [0.3], 2: [0.0]})
    f, t = 0.001425, 0.003
    for retain, n_trades in ((True, 1), (False, 2)):
        _, ledger, _ = portsim.backtest_ledger(*args, retain_cost_when_rebalance=retain)
        assert len(ledger["sid"]) == n_trades
        traded = ledger["row_traded"]
        assert traded[0] == 0.0 and traded[1] == 0.5
        assert ledger["row_costs"][1] == f * 0.5
        assert ledger["fees"].sum() == pytest.approx(f * traded.sum(), rel=1e-12)
        assert ledger["taxes"].sum() == pytest.approx(t * (traded[2] + traded[3]), rel=1e-12)
        assert ledger["fees"][-1] == pytest.approx(f * (traded[2] + traded[3]) + (f * 0.5 if retain else 0.0))


def test_price_labels_beyond_32_bits_are_refused():
    args = list(tables([[1.0]], {0: [1.0]}))
    args[6] = np.broadcast_to(np.array(["A"], dtype=object), (2**31,))
    for run in (portsim.backtest_, portsim.backtest_ledger):
        with pytest.raises(OverflowError, match="price_columns has 2147483648 labels; at most 2147483647"):
            run(*args)


def test_infinite_stop_rules_never_give_a_reason():
    args = tables([[100.0], [50.0], [200.0]], {0: [1.0]})
    _, ledger, _ = portsim.backtest_ledger(*args, stop_loss=INF, take_profit=INF)
    assert ledger["exit_reason"].tolist() == [0]


@pytest.mark.parametrize(
    "rules, error, message",
    [
        (dict(max_gross=0.0), ValueError, "max_gross"),
        (dict(max_gross=math.inf), ValueError, "max_gross"),
        (dict(slippage=1.0), ValueError, "slippage"),
        (dict(slippage=math.nan), ValueError, "slippage"),
        (dict(band=-0.1), ValueError, "band"),
        (dict(band_rel=math.inf), ValueError, "band"),
        (dict(cash_rates=np.zeros(2)), ValueError, "row rate table has 2 rows"),
        (dict(cash_rates=np.zeros((3, 1))), ValueError, "dimension"),
        (dict(margin_rates=np.zeros(3, dtype=np.float32)), ValueError, "float64"),
        (dict(cash_rates=[0.0, 0.0, 0.0]), TypeError, "cash_rates"),
        (dict(borrow_rates=np.zeros((3, 2))), ValueError, "borrow_rates is 3 x 2"),
        (dict(borrow_rates=np.zeros(3)), ValueError, "dimension"),
    ],
)
def test_the_money_rules_are_checked_by_the_engine_too(rules, error, message):
    args = tables([[1.0], [1.1], [1.2]], {0: [1.0]})
    with pytest.raises(error, match=message):
        portsim.backtest_ledger(*args, **rules)
    # ... and the next run is unaffected.
    equity, _, _ = portsim.backtest_ledger(*args)
    assert equity.tobytes() == portsim.backtest_(*args).tobytes()


@pytest.mark.parametrize("layout", ["broadcast", "strided", "fortran"])
def test_rate_tables_in_any_layout_give_the_same_run(layout):
    rows = 6
    args = tables([[1.0, 2.0]] * rows, {0: [0.5, -0.5]})
    base = np.full((rows, 2), 1e-4)
    cash = np.full(rows, 2e-4)
    if layout == "broadcast":
        borrow, cash_view = np.broadcast_to(np.array([1e-4, 1e-4]), (rows, 2)), np.broadcast_to(2e-4, (rows,))
    elif layout == "strided":
        borrow, cash_view = np.repeat(base, 2, axis=0)[::2], np.repeat(cash, 3)[::3]
    else:
        borrow, cash_view = np.asfortranarray(base), cash.copy()
    expected = portsim.backtest_ledger(*args, cash_rates=cash, borrow_rates=base)
    got = portsim.backtest_ledger(*args, cash_rates=cash_view, borrow_rates=borrow)
    assert got[0].tobytes() == expected[0].tobytes()
    assert got[1]["borrow"].tobytes() == expected[1]["borrow"].tobytes()
    assert (expected[1]["borrow"] > 0).any() and (expected[1]["row_financing"] < 0).any()
