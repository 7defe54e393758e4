"""Random markets and rules: the native engine must agree with the reference
bit for bit, and without costs or exits both must agree with a plain
share-count valuation of the portfolio."""

import math

import numpy as np
import pytest
from backtest_helpers import INF, assert_same_outcome, engine_modules, run_engine, run_reference
from fuzz_support import env_int
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

NICE_WEIGHTS = [0.5, -0.5, 0.0, 0.25, -0.25, 0.0, 1.0, -1.0, 0.3, -0.7, 0.0]


def _nan_gaps(draw, table, max_gaps):
    n_rows, n_cols = table.shape
    for _ in range(draw(st.integers(0, max_gaps))):
        col = draw(st.integers(0, n_cols - 1))
        start = draw(st.integers(0, n_rows - 1))
        length = draw(st.integers(1, 3))
        table[start : start + length, col] = np.nan


@st.composite
def markets(
    draw, *, unique_columns=False, nan_weights=False, tiny_weights=True, max_rows=12, max_weight_rows=5, max_columns=9
):
    if draw(st.integers(0, 9)) == 0:
        n_rows = draw(st.integers(1, max_rows))
    else:
        n_rows = draw(st.integers(3, max_rows))
    n_price = draw(st.integers(1, 4))
    price_names = np.array([f"P{j}" for j in range(n_price)], dtype=object)
    if unique_columns:
        n_weight = draw(st.integers(1, n_price))
        weight_names = draw(st.permutations(list(price_names)))[:n_weight]
    else:
        n_weight = draw(st.integers(1, max_columns))
        weight_names = draw(st.lists(st.sampled_from(list(price_names) + ["ZZ"]), min_size=n_weight, max_size=n_weight))
    shape = (n_rows, n_price)

    def factors(lo, hi):
        return draw(arrays(np.float64, shape, elements=st.floats(lo, hi)))

    price = 100 * np.cumprod(factors(0.7, 1.4), axis=0)
    if draw(st.booleans()):
        # a jump, so that stops fire and shorts can sink the portfolio
        col = draw(st.integers(0, n_price - 1))
        price[draw(st.integers(0, n_rows - 1)) :, col] *= draw(st.sampled_from([0.3, 2.5, 4.0]))
    close = price * factors(0.85, 1.15)
    high = np.maximum(price, close) * factors(1.0, 1.1)
    low = np.minimum(price, close) * factors(0.9, 1.0)
    opens = price * factors(0.9, 1.1)
    _nan_gaps(draw, price, 3)
    for table in (close, high, low, opens):
        _nan_gaps(draw, table, 1)

    steps = draw(st.lists(st.integers(1, 3), min_size=n_rows, max_size=n_rows))
    price_dates = 10 * np.cumsum(np.array(steps, dtype=np.int64))
    lo_date, hi_date = int(price_dates[0]) - 20, int(price_dates[-1]) + 10
    n_wrows = draw(st.integers(1, max_weight_rows))
    # mostly inside the price dates (so that something trades), sometimes not
    inside = st.integers(lo_date + 10, max(lo_date + 10, int(price_dates[-1]) - 10))
    pos_dates = sorted(
        draw(st.lists(st.one_of(inside, inside, st.integers(lo_date, hi_date)), min_size=n_wrows, max_size=n_wrows))
    )
    if tiny_weights:
        weight = st.one_of(st.sampled_from(NICE_WEIGHTS), st.floats(-1.2, 1.2))
    else:
        weight = st.one_of(
            st.sampled_from(NICE_WEIGHTS),
            st.tuples(st.floats(0.001, 1.2), st.sampled_from([1.0, -1.0])).map(lambda t: t[0] * t[1]),
        )
    if nan_weights:
        weight = st.one_of(weight, st.just(np.nan))
    pos_values = np.array(
        draw(st.lists(st.lists(weight, min_size=n_weight, max_size=n_weight), min_size=n_wrows, max_size=n_wrows)),
        dtype=np.float64,
    )
    kind = draw(st.integers(0, 4))
    if kind < 2:
        resample = price_dates.copy()
    elif kind < 4:
        # some price dates, some dates between them
        picked = draw(st.lists(st.sampled_from(list(price_dates)), min_size=1))
        resample = sorted(int(d) + draw(st.sampled_from([0, 0, -5, 5])) for d in picked)
    else:
        # any dates, occasionally out of order: the mapping only moves forward
        resample = draw(st.lists(st.integers(lo_date, hi_date), max_size=n_rows + 2))
        if draw(st.integers(0, 3)):
            resample = sorted(resample)
    return (
        price,
        close,
        high,
        low,
        opens,
        price_dates,
        price_names,
        pos_values,
        np.array(pos_dates, dtype=np.int64),
        np.array(weight_names, dtype=object),
        np.array(resample, dtype=np.int64),
    )


# Flags are taken by their truth value.
FLAGS = st.one_of(st.booleans(), st.sampled_from([0, 1, None, "", "yes", np.bool_(True)]))


@st.composite
def rules(draw, n_rows, n_weight):
    out = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425, 0.01])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003, 0.02])),
        stop_loss=draw(st.sampled_from([1.0, 0.05, 0.1, 0.3, -0.2, INF])),
        take_profit=draw(st.sampled_from([INF, 0.05, 0.2, -0.1])),
        trail_stop=draw(st.sampled_from([INF, 0.03, 0.1])),
        trail_stop_activation=draw(st.sampled_from([0.0, 0.05, 0.1])),
        touched_exit=draw(FLAGS),
        position_limit=draw(st.sampled_from([1.0, 0.3, 0.6, 0.0])),
        retain_cost_when_rebalance=draw(FLAGS),
        stop_trading_next_period=draw(FLAGS),
        excursion_window=draw(st.sampled_from([0, 1, 3, 5])),
        excursion_window_step=draw(st.sampled_from([1, 2, 3])),
        periodically_rebalance=draw(FLAGS),
    )
    if draw(st.booleans()):
        out["delisting_bars"] = np.array(
            draw(st.lists(st.integers(-2, n_rows), min_size=n_weight, max_size=n_weight)), dtype=np.int64
        )
    return out


@st.composite
def runs(draw, **market_options):
    args = draw(markets(nan_weights=draw(st.integers(0, 9)) == 0, **market_options))
    return args, draw(rules(args[0].shape[0], args[7].shape[1]))


def _same_value(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b and type(a == b) is bool


def assert_same_operations(engine_ops, ref_ops):
    assert list(engine_ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert list(engine_ops["actions"].items()) == list(ref_ops["actions"].items())
    for key in ("weights", "next_weights"):
        got, want = engine_ops[key], ref_ops[key]
        assert list(got) == list(want), key
        for sid in want:
            assert _same_value(float(got[sid]), float(want[sid])), (key, sid, got, want)
    assert engine_ops["weight_time"] == ref_ops["weight_time"]
    assert engine_ops["next_weight_time"] == ref_ops["next_weight_time"]


@pytest.mark.skipif(engine_modules() is None, reason="native engine not built yet")
@settings(deadline=None, max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(runs())
def test_engine_matches_reference(run):
    args, kw = run
    want = run_reference(*args, **kw)
    got = run_engine(*args, **kw)
    assert_same_outcome(got, want)
    if got.stock_operations is not None:
        assert_same_operations(got.stock_operations, want.stock_operations)


# ---------------------------------------------------------------------------
# without costs and exits: a share-count valuation
# ---------------------------------------------------------------------------


def share_count_equity(args, position_limit):
    """Equity of the portfolio kept as share counts at the trading price.

    A holding bought on a row without a trading price has no share count
    yet: it keeps its value until the first price, where it gets one.
    """
    (price, close, _, _, _, price_dates, price_names, pos_values, pos_dates, pos_names, resample) = args
    column_of = {sid: list(price_names).index(name) for sid, name in enumerate(pos_names)}
    n_rows = len(price_dates)
    marked = set()
    for d in resample:
        on_or_before = [i for i in range(n_rows) if price_dates[i] <= d]
        marked.add(on_or_before[-1] if on_or_before else 0)

    cash = 1.0
    holdings = {}  # sid -> [shares or None, last price or None, value while unpriced]
    applied = None
    equity = []

    def value(h):
        return h[2] if h[0] is None else h[0] * h[1]

    for i, date in enumerate(price_dates):
        if date < pos_dates[0]:
            equity.append(1.0)
            continue
        for sid, h in holdings.items():
            p = price[i, column_of[sid]]
            if not np.isnan(p):
                if h[0] is None:
                    h[0] = h[2] / p
                h[1] = p
        if i > 0 and price_dates[i - 1] >= pos_dates[0] and (i - 1) in marked:
            due = max(r for r in range(len(pos_dates)) if pos_dates[r] < date)
            if due != applied:
                applied = due
                total = cash + sum(value(h) for h in holdings.values())
                weights = pos_values[due]
                scale = total / max(1.0, float(np.abs(weights).sum()))
                for sid, w in enumerate(weights):
                    target = min(max(w * scale, -position_limit * total), position_limit * total) if total >= 0 else 0.0
                    old = holdings.pop(sid, None)
                    cash -= target - (0.0 if old is None else value(old))
                    if target == 0:
                        continue
                    p = price[i, column_of[sid]]
                    if old is not None and old[1] is not None:
                        holdings[sid] = [target / old[1], old[1], None]
                    elif not np.isnan(p):
                        holdings[sid] = [target / p, p, None]
                    else:
                        holdings[sid] = [None, None, target]
        row = cash
        for sid, h in holdings.items():
            p, c = price[i, column_of[sid]], close[i, column_of[sid]]
            if np.isnan(p) or np.isnan(c) or h[0] is None:
                row += value(h)
            else:
                row += h[0] * c
        equity.append(row)
    return np.array(equity)


@st.composite
def cost_free_runs(draw):
    # No weights so small that a holding rounds away to nothing: the share
    # count would keep a holding that the book has already dropped.
    args = draw(markets(unique_columns=True, tiny_weights=False))
    args = args[:10] + (np.sort(args[10]),)  # rebalance dates in their documented order
    kw = dict(
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=INF,
        take_profit=INF,
        trail_stop=INF,
        position_limit=draw(st.sampled_from([1.0, 0.3, 0.6])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        periodically_rebalance=draw(st.booleans()),
    )
    return args, kw


@settings(
    deadline=None, max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)
@given(run=cost_free_runs())
def test_equity_is_cash_plus_holdings(backtest, run):
    args, kw = run
    out = backtest(*args, **kw)
    expected = share_count_equity(args, kw["position_limit"])
    np.testing.assert_allclose(out.equity, expected, rtol=1e-9, atol=1e-12)


# ---------------------------------------------------------------------------
# wide daily books: a weight row every row, hundreds of columns
# ---------------------------------------------------------------------------


@st.composite
def wide_daily_runs(draw):
    """Hundreds of instruments, a new long/short weight row on every row, gaps
    in the prices, stops on or off: the shape of daily factor research."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_rows, n_cols = draw(st.integers(8, 30)), draw(st.integers(100, 300))
    price = 100 * np.cumprod(rng.uniform(0.93, 1.08, (n_rows, n_cols)), axis=0)
    close = price * rng.uniform(0.95, 1.05, price.shape)
    high = np.maximum(price, close) * rng.uniform(1.0, 1.04, price.shape)
    low = np.minimum(price, close) * rng.uniform(0.96, 1.0, price.shape)
    opens = price * rng.uniform(0.97, 1.03, price.shape)
    for table in (price, close):
        table[rng.random(price.shape) < 0.01] = np.nan
    dates = 10 * np.arange(1, n_rows + 1, dtype=np.int64)
    names = np.array([f"I{j}" for j in range(n_cols)], dtype=object)
    n_side = draw(st.integers(5, 40))
    weights = np.zeros((n_rows, n_cols))
    for r in range(n_rows):
        picks = rng.permutation(n_cols)[: 2 * n_side]
        weights[r, picks[:n_side]] = 1.0 / (2 * n_side)
        weights[r, picks[n_side:]] = -1.0 / (2 * n_side) if draw(st.booleans()) else 0.0
    args = (price, close, high, low, opens, dates, names, weights, dates.copy(), names.copy(), dates.copy())
    rules = dict(
        fee_ratio=draw(st.sampled_from([0.0, 0.001425])),
        tax_ratio=draw(st.sampled_from([0.0, 0.003])),
        stop_loss=draw(st.sampled_from([1.0, INF, 0.03, 0.06])),
        take_profit=draw(st.sampled_from([INF, 0.04])),
        trail_stop=draw(st.sampled_from([INF, 0.03])),
        touched_exit=draw(st.booleans()),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        excursion_window=draw(st.sampled_from([0, 4])),
        excursion_window_step=2,
    )
    if draw(st.booleans()):
        rules["delisting_bars"] = rng.integers(-n_rows, n_rows, n_cols).astype(np.int64)
    return args, rules


@pytest.mark.skipif(engine_modules() is None, reason="native engine not built yet")
@settings(
    deadline=None,
    max_examples=env_int("KORVEL_WIDE_EXAMPLES", 40),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(wide_daily_runs())
def test_wide_daily_books_match_reference(run):
    args, kw = run
    want = run_reference(*args, **kw)
    got = run_engine(*args, **kw)
    assert len(got.trades) > 10  # a busy book, not an idle one
    assert_same_outcome(got, want)
    assert_same_operations(got.stock_operations, want.stock_operations)


@pytest.mark.skipif(engine_modules() is None, reason="native engine not built yet")
@settings(deadline=None, max_examples=150, suppress_health_check=[HealthCheck.too_slow])
@given(runs(), st.booleans())
def test_runs_read_with_and_without_per_cell_checks_agree(run, shorter_labels):
    # A weight column that is never traded, without a label or a delisting
    # row of its own, makes the engine check every read; the same run with
    # them lets it read unchecked. Nothing else may differ.
    args, kw = run
    padded = list(args)
    padded[7] = np.hstack([args[7], np.zeros((args[7].shape[0], 1))])
    padded[9] = np.append(args[9], args[9][:1])
    kw_padded, short, kw_short = dict(kw), list(padded), dict(kw)
    if "delisting_bars" in kw:
        kw_padded["delisting_bars"] = np.append(kw["delisting_bars"], -1)
    if shorter_labels or "delisting_bars" not in kw:
        short[9], kw_short = args[9], kw_padded
    try:
        want = run_engine(*padded, **kw_padded)
    except Exception as error:  # the same error, with the same message
        with pytest.raises(type(error)) as caught:
            run_engine(*short, **kw_short)
        assert str(caught.value) == str(error)
        return
    got = run_engine(*short, **kw_short)
    assert_same_outcome(got, want)
    assert_same_operations(got.stock_operations, want.stock_operations)
