"""The sweep's lean path against the full one (korvel.backtest and Result.stats()): the same figures bit for bit,
the same kept arrays, warnings and errors, whatever the rules and whatever ran before in the worker."""

import struct
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from layer_support import SWEEP_SAID, UNPRICED, market_and_weights

import korvel
from korvel.sweeps import _task
from korvel.sweeps._task import CACHE, Done, Failed, Job, WeightsCache, run_task

pytestmark = [pytest.mark.filterwarnings(UNPRICED), pytest.mark.filterwarnings(SWEEP_SAID)]

KEEP = ("stats", "equity", "returns", "trades")
# Each rule's values: its default first, then values that change the run (costs that warn, caps, scaling).
RULE_VALUES = {
    "stop_loss": [None, 0.03],
    "take_profit": [None, 0.05],
    "trail_stop": [None, 0.04],
    "trail_from": ["entry", "peak"],
    "touched_exit": [False, True],
    "fee": [0.0, 0.001, 0.06],
    "tax": [0.0, 0.002],
    "position_limit": [1.0, 0.15],
    "max_gross": [1.0, 2.0],
    "cash_rate": [0.0, 0.03],
    "borrow_fee": [0.0, 0.02],
    "slippage": [0.0, 0.001],
    "band": [0.0, 0.02],
    "split_at_rebalance": [False, True],
    "trade_at": ["open", "close"],
    "rebalance": [None, "ME"],
    "excursion_window": [0, 5],
    "benchmark": [None, "S0000"],
}
# The rules in currency, which need a capital (and the market's volume).
SIZES = [
    {},
    {"capital": 1e6},
    {"capital": 1e5, "participation": 0.001},
    {"capital": 1e7, "impact": True},
    {"capital": 1e5, "lot": 100.0, "fee_min": 1.0},
]


def _markets():
    _, _, generated, weights = market_and_weights(n=10, days=200, seed=5)
    # Opens missing where closes are not: the weights then lack a trading price at the open alone.
    opens = generated.open.copy()
    opens.iloc[::7, 1:4] = np.nan
    market = korvel.Market(
        generated.close, opens, generated.high, generated.low, volume=generated.volume, check_ohlc="off"
    )
    aware = korvel.Market(
        market.close.tz_localize("UTC").tz_convert("America/New_York").pipe(lambda f: f.set_axis(f.index.as_unit("s"))),
        volume=market.volume.tz_localize("UTC")
        .tz_convert("America/New_York")
        .pipe(lambda f: f.set_axis(f.index.as_unit("s"))),
        check_ohlc="off",
    )
    return {
        "naive": (market, weights),
        "aware": (aware, weights.tz_localize("UTC").tz_convert("America/New_York")),
    }


MARKETS = _markets()


def levered(market, lever, tz):
    """The market's long / short weights times `lever` (above 1: rows above a gross of 1)."""
    return MARKETS[tz][1] * lever


@pytest.fixture(autouse=True)
def fresh_cache():
    CACHE.clear()
    yield
    CACHE.clear()


def full(job, market, params, monkeypatch):
    with monkeypatch.context() as m:
        m.setattr(_task, "FULL_PATH", True)
        return run_task(job, market, params)


def assert_same_figures(lean, full_):
    assert list(lean) == list(full_)
    for key, a in lean.items():
        b = full_[key]
        assert type(a) is type(b), key
        if isinstance(a, float):
            assert struct.pack("<d", a) == struct.pack("<d", b), (key, a, b)  # NaN where NaN, -0.0 where -0.0
        elif isinstance(a, pd.Timestamp):
            assert a == b and a.unit == b.unit and str(a.tz) == str(b.tz), key
        else:
            assert a is b or a == b, key


def assert_same_outcome(lean, full_):
    assert type(lean) is type(full_)
    if isinstance(full_, Failed):
        assert (lean.error, lean.message) == (full_.error, full_.message)
        return
    assert list(lean.kept) == list(full_.kept)
    assert lean.kept["warnings"] == full_.kept["warnings"]
    assert_same_figures(lean.kept["stats"], full_.kept["stats"])
    for name in ("equity", "returns", "returns32"):
        if name in full_.kept:
            assert lean.kept[name].dtype == full_.kept[name].dtype
            assert lean.kept[name].tobytes() == full_.kept[name].tobytes(), name
    if "trades" in full_.kept:
        pd.testing.assert_frame_equal(lean.kept["trades"], full_.kept["trades"], check_exact=True)


rules_st = st.fixed_dictionaries({}, optional={k: st.sampled_from(v) for k, v in RULE_VALUES.items()})
combination_st = st.tuples(st.sampled_from([0.5, 1.0, 1.6]), rules_st, st.sampled_from(range(len(SIZES))))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tz=st.sampled_from(sorted(MARKETS)), combinations=st.lists(combination_st, min_size=1, max_size=5))
def test_each_combination_is_the_full_paths_bit_for_bit_whatever_ran_before_it(tz, combinations, monkeypatch):
    # One job, several combinations in a row: the weights of a lever and the checked rules are reused from
    # the cache, and each run must still be the one a fresh backtest makes.
    CACHE.clear()
    market = MARKETS[tz][0]
    job = Job(levered, {"tz": tz}, {}, KEEP)
    for lever, rules, size in combinations:
        params = {"lever": lever, **rules, **SIZES[size]}
        lean = run_task(job, market, params)
        assert isinstance(lean, Done), lean
        assert_same_outcome(lean, full(job, market, params, monkeypatch))


@pytest.mark.parametrize(
    "rules",
    [
        {"fee": 0.001, "stop_loss": 0.05},
        {"cash_rate": 0.02, "benchmark": "S0001", "rebalance": "W-FRI", "max_gross": 2.0},
        {"capital": 1e5, "participation": 0.001, "unfilled": "drop"},
        {"rebalance": ("2015-03-02", "2015-06-01", "2015-08-03")},
    ],
)
def test_the_kept_stats_are_the_results_stats_as_a_dict(rules):
    market, weights = MARKETS["naive"]
    job = Job(levered, {"tz": "naive"}, {"tax": 0.0005}, ("stats", "returns32"))
    outcome = run_task(job, market, {"lever": 1.6, **rules})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvel.KorvelWarning)  # kept with the outcome, compared there
        res = korvel.backtest(weights * 1.6, market, tax=0.0005, **rules)
    assert isinstance(outcome, Done)
    assert_same_figures(outcome.kept["stats"], res.stats().to_dict())
    assert outcome.kept["returns32"].tobytes() == res.returns.to_numpy().astype(np.float32).tobytes()
    assert any(isinstance(v, int) for v in outcome.kept["stats"].values())  # the counts stay integers


def other_instrument(market, lever, tz):
    return MARKETS[tz][1].rename(columns={"S0003": "ZZ"})


@pytest.mark.parametrize(
    "strategy, params, error",
    [
        (levered, {"stop_loss": 2.0}, "ValueError"),
        (levered, {"excursion_window": 10_000}, "ValueError"),
        (levered, {"impact": True}, "ValueError"),  # needs a capital
        (levered, {"rebalance": "M"}, "ValueError"),  # an old alias
        (levered, {"benchmark": "nowhere"}, "ValueError"),
        (other_instrument, {"stop_loss": 2.0}, "ValueError"),  # the rules are checked before the weights
        (other_instrument, {"fee": 0.001}, "ValueError"),
    ],
)
def test_a_combination_the_full_path_refuses_fails_alike_every_time(strategy, params, error, monkeypatch):
    market = MARKETS["naive"][0]
    job = Job(strategy, {"tz": "naive"}, {}, ("stats",))
    expected = full(job, market, {"lever": 1.0, **params}, monkeypatch)
    assert isinstance(expected, Failed) and expected.error == error
    for _ in range(2):  # nothing of a failed run is kept
        assert_same_outcome(run_task(job, market, {"lever": 1.0, **params}), expected)
    assert_same_outcome(run_task(job, market, {"lever": 1.0}), full(job, market, {"lever": 1.0}, monkeypatch))


def test_a_deprecated_rule_warns_in_every_combination():
    market = MARKETS["naive"][0]
    job = Job(levered, {"tz": "naive"}, {}, ("stats",))
    for _ in range(2):
        with pytest.warns(DeprecationWarning, match="retain_cost is deprecated"):
            assert isinstance(run_task(job, market, {"lever": 1.0, "retain_cost": False}), Done)


def test_a_sweep_on_the_lean_path_is_the_sweep_on_the_full_path(monkeypatch):
    market = MARKETS["naive"][0]
    grid = {"lever": [0.5, 1.6], "stop_loss": [None, 0.04], "fee": [0.0, 0.07]}
    kw = dict(tz="naive", keep=("stats", "returns"), progress=False)
    lean = korvel.sweep(levered, market, grid, **kw)
    monkeypatch.setattr(_task, "FULL_PATH", True)
    before = korvel.sweep(levered, market, grid, **kw)
    pd.testing.assert_frame_equal(lean.stats, before.stats, check_exact=True)
    pd.testing.assert_frame_equal(lean.warnings, before.warnings, check_exact=True)
    pd.testing.assert_frame_equal(lean.returns, before.returns, check_exact=True)


def test_prepared_weights_are_counted_once_in_the_caches_bytes():
    market, weights = MARKETS["naive"]
    cache = WeightsCache()
    job = Job(levered, {"tz": "naive"}, {}, ("stats",))
    prepared = cache.prepared(job, market, {"lever": 1.0})
    raw = cache._bytes
    assert raw == 8 * weights.size + weights.index.nbytes
    cache.count(prepared)  # a run has prepared them
    assert cache._bytes == raw + prepared.nbytes > raw
    cache.count(prepared)
    assert cache._bytes == raw + prepared.nbytes
    assert cache.prepared(job, market, {"lever": 1.0}) is prepared and cache.calls == 1


def test_counting_prepared_arrays_evicts_the_least_recently_used_weights():
    market = MARKETS["naive"][0]
    job = Job(levered, {"tz": "naive"}, {}, ("stats",))
    probe = WeightsCache()
    extra = probe.prepared(job, market, {"lever": 1.0}).nbytes
    raw = probe._bytes  # the weights alone
    cache = WeightsCache(limit=2 * raw + extra - 1)  # two sets of weights, not with prepared arrays
    old = cache.prepared(job, market, {"lever": 1.0})
    new = cache.prepared(job, market, {"lever": 0.5})
    cache.count(new)  # over the limit: the least recently used weights (1.0) go
    assert cache._bytes == raw + extra
    cache.count(old)  # evicted: not counted
    assert cache._bytes == raw + extra
    assert cache.prepared(job, market, {"lever": 0.5}) is new and cache.calls == 2
    assert cache.prepared(job, market, {"lever": 1.0}) is not old and cache.calls == 3
