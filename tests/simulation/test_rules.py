"""The split rule and its deprecated spelling, `retain_cost`."""

import warnings

import numpy as np
import pandas as pd
import pytest
from layer_support import closes

import korvel
from korvel.simulation._rules import check_rules


def test_the_default_is_one_trade_per_holding_with_stops_from_the_entry():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rules = check_rules()
    assert rules.split_at_rebalance is False
    assert rules.engine_kwargs()["retain_cost_when_rebalance"] is True
    assert check_rules(split_at_rebalance=True).engine_kwargs()["retain_cost_when_rebalance"] is False


@pytest.mark.parametrize(
    "given, split",
    [
        (dict(retain_cost=True), False),
        (dict(retain_cost=False), True),
        (dict(retain_cost=True, split_at_rebalance=False), False),
        (dict(retain_cost=False, split_at_rebalance=True), True),
    ],
)
def test_retain_cost_warns_and_maps_onto_split_at_rebalance(given, split):
    with pytest.warns(DeprecationWarning, match=f"use split_at_rebalance={split}"):
        rules = check_rules(**given)
    assert rules.split_at_rebalance is split
    assert "retain_cost" not in rules.as_dict()


@pytest.mark.parametrize("retain", [True, False])
def test_retain_cost_and_split_at_rebalance_that_disagree_are_refused(retain):
    with pytest.warns(DeprecationWarning), pytest.raises(ValueError, match="retain_cost=.* disagree"):
        check_rules(retain_cost=retain, split_at_rebalance=retain)


@pytest.mark.parametrize("rule", ["retain_cost", "split_at_rebalance"])
def test_the_split_rules_take_booleans(rule):
    with pytest.raises(TypeError, match=f"{rule} must be True or False"):
        check_rules(**{rule: "yes"})


def test_backtest_maps_retain_cost_and_points_the_warning_at_the_caller():
    close = closes(np.linspace(10, 12, 20)[:, None] * [1.0, 1.1])
    weights = pd.DataFrame({"S0": [0.5, 0.3], "S1": [0.5, 0.7]}, index=close.index[[0, 5]])
    with pytest.warns(DeprecationWarning) as caught:
        old = korvel.backtest(weights, close, retain_cost=False)
    assert caught[0].filename == __file__
    new = korvel.backtest(weights, close, split_at_rebalance=True)
    assert old.config["split_at_rebalance"] is True
    pd.testing.assert_frame_equal(old.trades, new.trades)
    assert len(new.trades) == 4 and len(korvel.backtest(weights, close).trades) == 2
    with pytest.raises(ValueError, match="disagree"), pytest.warns(DeprecationWarning):
        korvel.backtest(weights, close, retain_cost=True, split_at_rebalance=True)


# The ledger run's money rules at their defaults.
MONEY_OFF = dict(max_gross=1.0, slippage=0.0, band=0.0, band_rel=0.0)


@pytest.mark.parametrize(
    "given, ledger",
    [
        ({}, dict(own_trade_stops=True, trade_at="open", trail_from="entry", **MONEY_OFF)),
        (
            dict(trade_at="close", trail_from="peak"),
            dict(own_trade_stops=True, trade_at="close", trail_from="peak", **MONEY_OFF),
        ),
        (
            dict(max_gross=2, slippage=0.001, band=0.02, band_rel=0.1),
            dict(
                own_trade_stops=True,
                trade_at="open",
                trail_from="entry",
                max_gross=2.0,
                slippage=0.001,
                band=0.02,
                band_rel=0.1,
            ),
        ),
    ],
)
def test_the_ledger_run_s_own_keywords_stay_out_of_backtest_s(given, ledger):
    import inspect

    from korvel.core import portsim

    rules = check_rules(**given)
    assert rules.ledger_kwargs() == ledger
    specified = set(inspect.signature(portsim.backtest_).parameters)
    assert set(rules.engine_kwargs()) <= specified and not set(ledger) & specified


@pytest.mark.parametrize("value", ["high", "Peak", None, 1])
def test_trail_from_takes_entry_or_peak(value):
    with pytest.raises(ValueError, match=f"trail_from must be 'entry' or 'peak', not {value!r}"):
        check_rules(trail_from=value)


def test_the_command_line_offers_the_trail_from_words():
    import argparse

    from korvel.simulation._rules import add_rule_options, rules_from_options

    parser = argparse.ArgumentParser()
    add_rule_options(parser)
    assert rules_from_options(parser.parse_args(["--trail-from", "peak"]))["trail_from"] == "peak"
    with pytest.raises(SystemExit):
        parser.parse_args(["--trail-from", "high"])
