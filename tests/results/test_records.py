"""The ledger's one table of fields: the engine's dict, `Records`, the entry point's docstring and the
trades table all follow it."""

import dataclasses

import numpy as np
import pytest
from layer_support import UNPRICED, market_and_weights

import korvel
from korvel.core import portsim
from korvel.results import _records

# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = pytest.mark.filterwarnings(UNPRICED)

EXTRA = ("statistics", "reason_names")


@pytest.fixture(scope="module")
def result():
    _, _, market, weights = market_and_weights(n=6, days=80, seed=5)
    return korvel.backtest(weights, market, fee=0.001, tax=0.002, stop_loss=0.05)


def test_records_attributes_are_the_table_s_names_in_order():
    names = [f.name for f in dataclasses.fields(_records.Records)]
    assert names == [f.name for f in _records.FIELDS] + list(EXTRA)


def test_engine_ledger_has_exactly_the_table_s_keys_and_dtypes(result):
    run = result._run
    rec = run.records
    for field in _records.FIELDS:
        array = getattr(rec, field.name)
        assert array.dtype == field.dtype, field.key
        assert array.shape == ((len(rec),) if field.per == "trade" else (run.view.dates.shape[0],)), field.key


@pytest.mark.parametrize("field", _records.FIELDS, ids=lambda f: f.key)
def test_every_field_is_documented_by_the_engine_and_by_records(field):
    assert field.key in portsim.backtest_ledger.__doc__
    assert f"`{field.name}`: {field.doc}" in _records.Records.__doc__


@pytest.mark.parametrize("field", _records.TRADE_COLUMNS, ids=lambda f: f.column)
def test_trades_columns_are_the_ledger_s_arrays(result, field):
    trades = result.trades
    assert len(trades) > 0
    np.testing.assert_array_equal(trades[field.column].to_numpy(), getattr(result._run.records, field.name))


@pytest.mark.parametrize("missing", [f.key for f in _records.FIELDS])
def test_a_ledger_without_a_field_is_refused_naming_it(result, missing):
    run = result._run
    ledger = {f.key: getattr(run.records, f.name) for f in _records.FIELDS}
    ledger.update(statistics=run.records.statistics, reason_names=run.records.reason_names)
    del ledger[missing]
    with pytest.raises(RuntimeError, match=repr(missing)):
        _records.records_from_ledger(ledger, run.view.dates.shape[0], 0, 1)


@pytest.mark.parametrize("broken", ["dtype", "length", "statistics width", "code"])
def test_a_ledger_with_a_wrong_array_is_refused_naming_it(result, broken):
    run = result._run
    ledger = {f.key: getattr(run.records, f.name).copy() for f in _records.FIELDS}
    ledger.update(statistics=run.records.statistics.copy(), reason_names=run.records.reason_names)
    rows = run.view.dates.shape[0]
    if broken == "dtype":
        ledger["fees"], words = ledger["fees"].astype(np.float32), "'fees' is float32, not a float64 array"
    elif broken == "length":
        ledger["row_long"], words = (
            ledger["row_long"][:-1],
            f"'row_long' has shape \\({rows - 1},\\), not \\({rows},\\)",
        )
    elif broken == "statistics width":
        ledger["statistics"], words = ledger["statistics"][:, :-1], "'statistics' has shape"
    else:
        ledger["exit_reason"][0], words = len(run.records.reason_names), "exit reason code out of range"
    with pytest.raises(RuntimeError, match=words):
        _records.records_from_ledger(ledger, rows, 0, 1)
    assert ledger["sid"].flags.writeable  # nothing was taken over from a refused ledger
