"""Own-trade stops of backtest_ledger (own_trade_stops=True): each close-based
stop belongs to the trade that raised it, is measured from that trade's entry
price and runs in the order of the trading day. Hand markets for each fault of
the specified order, a property over random runs, and the guard that the
ledger's own keywords at their defaults change nothing."""

import itertools

import numpy as np
import pytest
from backtest_helpers import tables

from korvel.core import portsim

REASONS = ("open", "rebalance", "stop_loss", "take_profit", "trailing_stop", "delisting")
TOLERANCE = 1e-12
NO_COSTS = dict(fee_ratio=0.0, tax_ratio=0.0)


def trades(args, **rules):
    """(entry row, exit row, reason, side) of every trade of a ledger run."""
    _, ledger, _ = portsim.backtest_ledger(*args, **rules)
    reasons = [REASONS[k] for k in ledger["exit_reason"]]
    return list(zip(ledger["entry_row"].tolist(), ledger["exit_row"].tolist(), reasons, ledger["side"].tolist()))


def own(trade_at="close", **rules):
    return dict(own_trade_stops=True, trade_at=trade_at, **rules)


# --------------------------------------------------------------------------- the four faults, by hand

# Each case: the run, its rules, trade_at, the trades of the specified order
# (the fault) and those of the own-trade order. Weights decided on row r trade on
# row r + 1.
FAULTS = {
    # A long stopped on row 2's close is flipped short by row 2's rebalance:
    # the long's signal closed the new short on row 3 although the short's
    # own price never reached its stop.
    "signal lands on the next trade": (
        tables([[100.0], [100.0], [85.0], [86.0], [86.0]], {0: [1.0], 1: [-1.0]}),
        dict(stop_loss=0.1),
        "close",
        [(1, 2, "rebalance", 1), (2, 3, "stop_loss", -1)],
        [(1, 2, "rebalance", 1), (2, -1, "open", -1)],
    ),
    # The same with a resize split at the rebalance: the new record is stopped by the old one's signal.
    "signal lands on the split record": (
        tables([[100.0], [100.0], [85.0], [86.0], [86.0]], {0: [1.0], 1: [0.5]}),
        dict(stop_loss=0.1, retain_cost_when_rebalance=False),
        "close",
        [(1, 2, "rebalance", 1), (2, 3, "stop_loss", 1)],
        [(1, 2, "rebalance", 1), (2, -1, "open", 1)],
    ),
    # Stopped on row 2's close, row 3 rebalances and keeps the holding: the
    # signal was skipped and the holding sold a row later by the old level.
    "stop on a weight date is dropped": (
        tables([[100.0], [100.0], [85.0], [85.0], [85.0], [85.0]], {0: [1.0], 2: [1.0]}),
        dict(stop_loss=0.1, retain_cost_when_rebalance=True, stop_trading_next_period=False),
        "close",
        [(1, 4, "stop_loss", 1)],
        [(1, 3, "stop_loss", 1), (3, -1, "open", 1)],
    ),
    # Entered at row 1's open, row 1's close is 15% down: never tested.
    "entry row's close is not tested": (
        tables(
            [[100.0], [100.0], [90.0], [95.0], [95.0]],
            {0: [1.0]},
            close=[[100.0], [85.0], [95.0], [95.0], [95.0]],
        ),
        dict(stop_loss=0.1),
        "open",
        [(1, -1, "open", 1)],
        [(1, 2, "stop_loss", 1)],
    ),
    # A close exactly at the stop level (75 = 100 x (1 - 0.25)) did not stop: the bound was strict.
    "close at the lower level": (
        tables([[100.0], [100.0], [75.0], [80.0], [80.0]], {0: [1.0]}),
        dict(stop_loss=0.25),
        "close",
        [(1, -1, "open", 1)],
        [(1, 3, "stop_loss", 1)],
    ),
    # 11 is exactly 1.1 x 10, but the running product 10.01/10 x 11/10.01 is 1.1 - 2.2e-16.
    "close at the upper level": (
        tables([[10.0], [10.0], [10.01], [11.0], [10.5], [10.5]], {0: [1.0]}),
        dict(take_profit=0.1),
        "close",
        [(1, -1, "open", 1)],
        [(1, 4, "take_profit", 1)],
    ),
    # A short mirrored: a close at exactly 0.75 x entry takes its profit (the lower bound was strict).
    "short at its take-profit level": (
        tables([[100.0], [100.0], [75.0], [80.0], [80.0]], {0: [-1.0]}),
        dict(take_profit=0.25),
        "close",
        [(1, -1, "open", -1)],
        [(1, 3, "take_profit", -1)],
    ),
}


@pytest.mark.parametrize("case", list(FAULTS))
def test_each_fault_of_the_specified_order_is_mended(case):
    args, rules, trade_at, specified, mended = FAULTS[case]
    rules = {**NO_COSTS, **rules}
    assert trades(args, **rules) == specified  # backtest_'s order, kept by the ledger's defaults
    assert trades(args, **own(trade_at, **rules)) == mended


@pytest.mark.parametrize("stop_trading", [True, False])
def test_a_stop_on_the_rebalance_row_dies_with_its_trade_or_executes_next_row(stop_trading):
    # Trading at the close: row 2's close (85) stops the long and the same
    # close rebalances. Kept in the same trade, the signal sells on row 3;
    # stop_trading_next_period then decides whether row 4's rebalance buys back.
    prices = [[100.0], [100.0], [85.0], [85.0], [85.0], [85.0]]
    args = tables(prices, {0: [1.0], 1: [0.8], 3: [0.8]})
    rules = own(stop_loss=0.1, retain_cost_when_rebalance=True, stop_trading_next_period=stop_trading, **NO_COSTS)
    expected = [(1, 3, "stop_loss", 1)] + ([] if stop_trading else [(4, -1, "open", 1)])
    assert trades(args, **rules) == expected


# --------------------------------------------------------------------------- the trailing stop


@pytest.mark.parametrize(
    "trail_from, expected_exit",
    [
        # Entry 100, best 150: "entry" trails at 150 - 0.08 x 100 = 142, the close 140 is below on row 4.
        ("entry", 5),
        # "peak" trails at 0.92 x 150 = 138: the close 140 holds, 137 on row 5 does not.
        ("peak", 6),
    ],
)
def test_the_trailing_stop_trails_entry_or_peak(trail_from, expected_exit):
    prices = [[100.0], [100.0], [130.0], [150.0], [140.0], [137.0], [137.0], [137.0]]
    args = tables(prices, {0: [1.0]})
    got = trades(args, **own(trail_stop=0.08, trail_from=trail_from, **NO_COSTS))
    assert got == [(1, expected_exit, "trailing_stop", 1)]


@pytest.mark.parametrize(
    "side, closes, expected_exit",
    [
        # A long's peak close is 120 (row 3): 0.9 x 120 = 108 is reached on row 5 (108.0 exactly).
        (1.0, [100.0, 100.0, 110.0, 120.0, 115.0, 108.0, 108.0, 108.0], 6),
        # A short's trough 80: 1.1 x 80 = 88 reached on row 4 (88.5).
        (-1.0, [100.0, 100.0, 90.0, 80.0, 88.5, 85.0, 85.0, 85.0], 5),
    ],
)
def test_the_peak_is_the_best_close_and_a_short_trails_its_trough(side, closes, expected_exit):
    args = tables([[c] for c in closes], {0: [side]})
    got = trades(args, **own(trail_stop=0.1, trail_from="peak", **NO_COSTS))
    assert got == [(1, expected_exit, "trailing_stop", int(side))]


def test_the_peak_of_a_trade_entered_at_the_open_includes_that_close():
    # Entered at row 1's open (100), row 1 closes at 150: the peak. Row 2's
    # close 134 is more than 10% below it.
    opens = [[100.0], [100.0], [140.0], [134.0], [134.0]]
    close = [[100.0], [150.0], [134.0], [134.0], [134.0]]
    args = tables(opens, {0: [1.0]}, close=close)
    got = trades(args, **own("open", trail_stop=0.1, trail_from="peak", **NO_COSTS))
    assert got == [(1, 3, "trailing_stop", 1)]


@pytest.mark.parametrize(
    "activation, expected",
    [
        # Armed from the entry: row 3's close (118 < 0.9 x 132) stops on row 4.
        (0.0, [(1, 4, "trailing_stop", 1)]),
        # Armed at +40%: the peak (132, +32%) never arms it.
        (0.4, [(1, -1, "open", 1)]),
    ],
)
def test_the_peak_trailing_stop_is_armed_by_the_peak_gain(activation, expected):
    prices = [[100.0], [100.0], [132.0], [118.0], [118.0], [118.0]]
    args = tables(prices, {0: [1.0]})
    rules = own(trail_stop=0.1, trail_stop_activation=activation, trail_from="peak", **NO_COSTS)
    assert trades(args, **rules) == expected


@pytest.mark.parametrize(
    "low, expected_exit, fill",
    [
        # Yesterday's high 150 is the peak: today's low 134 is under 0.9 x 150 = 135, filled at 135.
        (134.0, 3, 135.0),
        # Today's high (160) does not lift today's level: a low of 136 holds (and 145 holds 0.9 x 160).
        (136.0, -1, None),
    ],
)
def test_a_touched_peak_stop_tests_the_low_against_yesterday_s_high(low, expected_exit, fill):
    prices = [[100.0], [100.0], [140.0], [140.0], [145.0]]
    high = [[100.0], [100.0], [150.0], [160.0], [146.0]]
    lows = [[100.0], [100.0], [139.0], [low], [145.0]]
    args = tables(prices, {0: [1.0]}, high=high, low=lows)
    rules = own(trail_stop=0.1, trail_from="peak", touched_exit=True, **NO_COSTS)
    _, ledger, _ = portsim.backtest_ledger(*args, **rules)
    assert ledger["exit_row"].tolist() == [expected_exit]
    if fill is not None:
        assert REASONS[ledger["exit_reason"][0]] == "trailing_stop"
        assert ledger["exit_price"][0] == pytest.approx(fill, rel=1e-12)


@pytest.mark.parametrize(
    "rules, error, message",
    [
        (dict(trail_from="peak"), ValueError, r"trail_from='peak' needs own_trade_stops=True"),
        (dict(trail_from="high"), ValueError, r"trail_from must be 'entry' or 'peak', not 'high'"),
        (dict(trade_at=1), TypeError, r"trade_at must be 'open' or 'close', not int"),
        (dict(trade_at="noon"), ValueError, r"trade_at must be 'open' or 'close', not 'noon'"),
    ],
)
def test_the_ledger_s_own_keywords_are_checked(rules, error, message):
    args = tables([[1.0], [1.0]], {0: [1.0]})
    with pytest.raises(error, match=message):
        portsim.backtest_ledger(*args, **rules)
    with pytest.raises(TypeError, match="unexpected keyword|invalid keyword"):
        portsim.backtest_(*args, **rules)


# --------------------------------------------------------------------------- random runs


def random_run(seed, trade_at):
    """A small long/short book over a random walk: (args, closes, trading prices)."""
    rng = np.random.default_rng(seed)
    rows, cols = 80, 4
    # Moves on a grid of 0.5%, so that closes land on the levels now and then.
    close = 100.0 * np.cumprod(1.0 + 0.005 * rng.integers(-10, 11, size=(rows, cols)), axis=0)
    opens = np.vstack([close[:1], close[:-1] * (1.0 + 0.005 * rng.integers(-6, 7, size=(rows - 1, cols)))])
    trading = opens if trade_at == "open" else close
    weight_rows = sorted(rng.choice(rows - 1, size=20, replace=False).tolist())
    weights = {r: (rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], size=cols) / cols).tolist() for r in weight_rows}
    args = tables(trading, weights, close=close, opens=opens)
    return args, close, trading


def levels(is_long, rules, trailed):
    """(upper, upper reason, lower, lower reason) of a trade as growth over its entry price."""
    sl, tp, trail, act = (rules[k] for k in ("stop_loss", "take_profit", "trail_stop", "trail_stop_activation"))
    peak = rules["trail_from"] == "peak"
    if is_long:
        upper, upper_reason, lower, lower_reason = 1.0 + tp, "take_profit", 1.0 - sl, "stop_loss"
        if trailed >= 1.0 + act:
            level = (1.0 - trail) * trailed if peak else trailed - trail
            if level > lower:
                lower, lower_reason = level, "trailing_stop"
    else:
        upper, upper_reason, lower, lower_reason = 1.0 + sl, "stop_loss", 1.0 - tp, "take_profit"
        if trailed <= 1.0 - act:
            level = (1.0 + trail) * trailed if peak else trailed + trail
            if level < upper:
                upper, upper_reason = level, "trailing_stop"
    return upper, upper_reason, lower, lower_reason


def reason_of_close(ratio, bounds):
    upper, upper_reason, lower, lower_reason = bounds
    if ratio >= upper - TOLERANCE * abs(upper):
        return upper_reason
    if ratio <= lower + TOLERANCE * abs(lower):
        return lower_reason
    return None


def close_reasons(trade, close, trading, rules):
    """{row: the close-based reason its close raises} over the rows the trade's closes test."""
    col, entry_row, exit_row, is_long, entry = trade
    before_close = rules["trade_at"] == "open"
    first = entry_row if before_close else entry_row + 1
    last = (exit_row if exit_row >= 0 else len(close)) - 1
    pick = max if is_long else min
    best, peak = entry, (None if before_close else entry)
    out = {}
    for row in range(first, last + 1):
        if row > entry_row:
            best = pick(best, trading[row, col])
        peak = close[row, col] if peak is None else pick(peak, close[row, col])
        trailed = (peak if rules["trail_from"] == "peak" else best) / entry
        out[row] = reason_of_close(close[row, col] / entry, levels(is_long, rules, trailed))
    return out


COMBOS = list(itertools.product(["open", "close"], [False, True], [True, False], ["entry", "peak"]))


@pytest.mark.parametrize("trade_at, split, stop_trading, trail_from", COMBOS)
def test_every_stop_exit_is_warranted_by_its_own_trade_and_none_is_missed(trade_at, split, stop_trading, trail_from):
    rules = dict(
        stop_loss=0.05,
        take_profit=0.08,
        trail_stop=0.04,
        trail_stop_activation=0.02,
        trail_from=trail_from,
        trade_at=trade_at,
    )
    engine_rules = dict(
        rules, retain_cost_when_rebalance=not split, stop_trading_next_period=stop_trading, own_trade_stops=True
    )
    seen = set()
    for seed in range(8):
        args, close, trading = random_run(seed, trade_at)
        _, ledger, _ = portsim.backtest_ledger(*args, **engine_rules)
        for k in range(len(ledger["sid"])):
            entry_row, exit_row = int(ledger["entry_row"][k]), int(ledger["exit_row"][k])
            reason = REASONS[ledger["exit_reason"][k]]
            trade = (int(ledger["sid"][k]), entry_row, exit_row, ledger["side"][k] > 0, ledger["entry_price"][k])
            raised = close_reasons(trade, close, trading, rules)
            seen.add((reason, bool(ledger["side"][k] > 0)))
            last = max(raised, default=None)
            for row, why in raised.items():
                if exit_row >= 0 and row == last:
                    # The close before the exit row: through its level exactly when the exit is that stop.
                    expected = why if reason in ("stop_loss", "take_profit", "trailing_stop") else None
                    assert why == expected, (seed, k, row, reason, why)
                elif row < last or exit_row < 0 and row < len(close) - 1:
                    assert why is None, (seed, k, row, reason, why)  # a stop raised here would have closed it
    # The runs exercised stops of both sides.
    assert {("stop_loss", True), ("stop_loss", False)} <= seen
    assert {r for r, _ in seen} >= {"rebalance", "stop_loss", "take_profit", "trailing_stop"}


# --------------------------------------------------------------------------- the guard


@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("seed", range(3))
def test_the_ledger_s_own_keywords_at_their_defaults_are_backtest_s_run(seed, touched):
    args, _, _ = random_run(seed, "close")
    rules = dict(stop_loss=0.05, take_profit=0.08, trail_stop=0.04, touched_exit=touched)
    base = portsim.backtest_ledger(*args, **rules)
    explicit = portsim.backtest_ledger(*args, **rules, own_trade_stops=False, trade_at="open", trail_from="entry")
    np.testing.assert_array_equal(base[0], explicit[0])
    for key in ("sid", "entry_row", "exit_row", "exit_reason", "exit_price", "fees"):
        np.testing.assert_array_equal(base[1][key], explicit[1][key])
    np.testing.assert_array_equal(base[0], portsim.backtest_(*args, **rules))


@pytest.mark.parametrize("trade_at", ["open", "close"])
@pytest.mark.parametrize("touched", [False, True])
def test_without_close_stops_own_trade_stops_change_nothing(trade_at, touched):
    # No stop rule at all (every bound infinite), or touched exits: the two orders agree bit for bit.
    inf = float("inf")
    args, _, _ = random_run(11, trade_at)
    rules = (
        dict(stop_loss=0.05, take_profit=0.08, touched_exit=True)
        if touched
        else dict(stop_loss=inf, take_profit=inf, trail_stop=inf)
    )
    specified = portsim.backtest_ledger(*args, **rules)
    mended = portsim.backtest_ledger(*args, **rules, own_trade_stops=True, trade_at=trade_at)
    assert specified[0].tobytes() == mended[0].tobytes()
    for key, values in specified[1].items():
        if isinstance(values, np.ndarray):
            assert values.tobytes() == mended[1][key].tobytes(), key
