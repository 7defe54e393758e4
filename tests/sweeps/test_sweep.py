"""korvel.sweep in this process: the grid, the checks, the results against single backtests, checkpoints, progress."""

import copy
import io
import math
import os

import numpy as np
import pandas as pd
import pytest
import sweep_strategies
from hypothesis import given, settings
from hypothesis import strategies as st
from layer_support import SWEEP_SAID, UNPRICED, market_and_weights
from sweep_strategies import momentum

import korvel
from korvel import validation
from korvel.sweeps import _store
from korvel.sweeps._grid import expand
from korvel.sweeps._store import Store

# The synthetic markets' late listings warn on purpose (see layer_support).
pytestmark = [pytest.mark.filterwarnings(UNPRICED), pytest.mark.filterwarnings(SWEEP_SAID)]


GRID = {"lookback": [20, 40], "top": [2, 4], "stop_loss": [None, 0.05]}


@pytest.fixture(scope="module")
def market():
    return market_and_weights(n=16, days=260)[2]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(1, 3), min_size=1, max_size=4))
def test_a_grid_expands_as_nested_loops_first_key_outermost(sizes):
    axes = {f"k{i}": list(range(10 * i, 10 * i + n)) for i, n in enumerate(sizes)}
    combos = korvel.grid(axes)
    assert len(combos) == math.prod(sizes)
    assert [tuple(p.values()) for p in combos] == sorted(tuple(p.values()) for p in combos)
    assert all(list(p) == list(axes) for p in combos)
    kept = korvel.grid(axes, where=lambda p: p["k0"] % 2 == 0)
    assert kept == [p for p in combos if p["k0"] % 2 == 0]


def test_stats_are_the_single_backtests_in_grid_order(market):
    sw = korvel.sweep(momentum, market, GRID, fee=0.001, keep=("stats", "equity", "trades"))
    assert list(sw.stats.index.names) == list(GRID)
    assert sw.stats.index.equals(pd.MultiIndex.from_tuples([tuple(p.values()) for p in korvel.grid(GRID)]))
    assert sw.failures.empty and len(sw) == 8
    for params in korvel.grid(GRID):
        res = korvel.backtest(
            momentum(market, params["lookback"], params["top"]), market, fee=0.001, stop_loss=params["stop_loss"]
        )
        key = tuple(params.values())
        expected = res.stats()
        row = sw.stats.loc[key]
        for name in expected.index:
            assert row[name] == expected[name] or (pd.isna(row[name]) and pd.isna(expected[name])), name
        equity = sw.equity[key].dropna()
        pd.testing.assert_series_equal(equity, res.equity, check_names=False, check_exact=True)
        pd.testing.assert_frame_equal(sw.trades.loc[key], res.trades, check_exact=True)
    # Re-running one combination gives its full result, by keywords or by the index's label (None read as NaN).
    best = sw.best("sharpe")
    assert best["sharpe"] == sw.stats["sharpe"].max()
    assert sw.best("annual_volatility", lowest=True)["annual_volatility"] == sw.stats["annual_volatility"].min()
    assert sw.result(best.name).stats()["sharpe"] == best["sharpe"]
    assert all(type(v) in (int, float, type(None)) for v in best.name)  # plain values, not NumPy scalars
    np.testing.assert_array_equal(
        sw.result(lookback=20, top=2, stop_loss=None).equity.to_numpy(), sw.equity.iloc[:, 0].dropna().to_numpy()
    )


def test_result_refuses_a_value_not_in_the_grid(market):
    sw = korvel.sweep(momentum, market, {"lookback": np.array([20, 40]), "top": [2, 3]}, progress=False)
    assert sw.best("sharpe").name in [(20, 2), (20, 3), (40, 2), (40, 3)]
    assert all(type(v) is int for v in sw.best("sharpe").name)
    with pytest.raises(ValueError, match=r"lookback=64 is not in the grid; lookback takes 20, 40"):
        sw.result(lookback=64, top=2)
    with pytest.raises(ValueError, match=r"top=True is not in the grid"):
        sw.result(lookback=20, top=True)
    filtered = korvel.sweep(
        momentum,
        market,
        korvel.grid(lookback=[20, 40], top=[2, 3], where=lambda p: p["top"] == 2 or p["lookback"] == 20),
    )
    with pytest.raises(KeyError, match="not a combination of the sweep"):
        filtered.result(lookback=40, top=3)  # each value is in the grid, the combination is not
    assert filtered.result((np.int64(40), 2)).config["weights"] == sw.result(lookback=40, top=2).config["weights"]


def test_failures_are_recorded_and_the_others_complete(market):
    with pytest.warns(RuntimeWarning, match=r"^2 of 4 combinations of the sweep failed: .stats has the 2 that ran"):
        sw = korvel.sweep(momentum, market, korvel.grid(lookback=[20, 40], top=[2], fail=[False, True]))
    assert list(sw.stats.index) == [(20, 2, False), (40, 2, False)]
    assert list(sw.failures.index) == [(20, 2, True), (40, 2, True)]
    assert sw.failures["error"].tolist() == ["ValueError"] * 2
    assert sw.failures["message"].tolist() == ["no weights for lookback 20", "no weights for lookback 40"]
    assert "momentum" in sw.failures["traceback"].iloc[0]
    with pytest.warns(RuntimeWarning, match="every combination"):
        all_failed = korvel.sweep(momentum, market, {"lookback": [20], "top": [2], "fail": [True]})
    assert all_failed.stats.empty and len(all_failed.failures) == 1
    with pytest.raises(ValueError, match="no combination ran"):
        all_failed.best("sharpe")


def test_what_was_not_kept_is_not_there(market):
    sw = korvel.sweep(momentum, market, {"lookback": [20], "top": [2]}, keep="equity")
    assert sw.equity.shape == (market.shape[0], 1)
    with pytest.raises(AttributeError, match=r"keep=\('equity', 'stats'\)"):
        sw.stats


@pytest.mark.parametrize("keep, dtype", [("returns", np.float64), ("returns32", np.float32), ("equity", np.float64)])
def test_returns_are_each_combinations_result_returns(market, keep, dtype):
    sw = korvel.sweep(momentum, market, {"lookback": [20, 60]}, top=2, keep=("stats", keep), progress=False)
    assert sw.returns.shape == (market.shape[0], 2) and (sw.returns.dtypes == dtype).all()
    for lookback in (20, 60):
        expected = korvel.backtest(momentum(market, lookback, 2), market).returns.astype(dtype)
        pd.testing.assert_series_equal(sw.returns[(lookback,)].dropna(), expected, check_names=False, check_exact=True)


def test_overfitting_is_the_validation_figures_of_the_best_and_needs_the_returns(market):
    grid = {"lookback": [20, 40, 60], "top": [2, 4]}
    with pytest.raises(ValueError, match=r"keep=\('stats', 'returns'\)"):
        korvel.sweep(momentum, market, grid, progress=False).overfitting()
    with pytest.raises(ValueError, match="not both"):
        korvel.sweep(momentum, market, grid, keep=("returns", "returns32"))
    sw = korvel.sweep(momentum, market, grid, keep=("stats", "returns"), progress=False)
    table = sw.overfitting(blocks=4)
    best = sw.best("sharpe").name
    assert table.attrs["best"] == best
    # Every combination's returns on the rows where all have one (the 60-row lookback starts last).
    common = sw.returns.dropna()
    mine = sw.returns[best].dropna()
    expected = {
        "combinations": 6,
        "effective_trials": validation.effective_trials(common),
        "deflated_sharpe": validation.deflated_sharpe(mine, common),
        "deflated_sharpe_effective": validation.deflated_sharpe(
            mine, common, n_trials=table.loc["effective_trials", "value"]
        ),
        "min_track_record_length": validation.min_track_record_length(mine),
        "pbo": validation.pbo(common, blocks=4).pbo,
    }
    assert table.loc[list(expected), "value"].tolist() == list(expected.values())


def test_check_lookahead_runs_the_first_combination_before_any_backtest(market):
    sweep_strategies.CALLS.clear()
    with pytest.raises(ValueError, match=r"strategy peeking looks ahead: \d+ weights change"):
        korvel.sweep(sweep_strategies.peeking, market, {"lookback": [20, 40]}, top=2, check_lookahead=True)
    honest = korvel.sweep(momentum, market, {"lookback": [20, 40]}, top=2, check_lookahead=True, progress=False)
    assert len(honest.stats) == 2 and sweep_strategies.CALLS[0] == (20, 2, False)


def strategy_without_market():
    return None


def strategy_positional(market, lookback, /, top):
    return None


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(grid={"lookback": 20, "top": [2]}), TypeError, r"grid\['lookback'\] must be a list"),
        (dict(grid={"lookback": "20", "top": [2]}), TypeError, r"grid\['lookback'\] must be a list"),
        (dict(grid={"lookback": [], "top": [2]}), ValueError, "has no values"),
        (dict(grid={"lookback": [20, 20], "top": [2]}), ValueError, "the value 20 twice"),
        (dict(grid={"lookback": [[20]], "top": [2]}), TypeError, "not hashable"),
        (dict(grid={}), ValueError, "no keys"),
        (dict(grid=[]), ValueError, "no combinations"),
        (dict(grid=[{"lookback": 20, "top": 2}, {"lookback": 40}]), ValueError, "same keys"),
        (dict(grid=[{"lookback": 20, "top": 2}, {"top": 2, "lookback": 20}]), ValueError, "repeats combination 0"),
        (dict(grid=5), TypeError, "grid must be a mapping"),
        (dict(grid={"lookback": [20], "top": [2], "colour": [1]}), TypeError, "no parameter 'colour'"),
        (dict(grid={"lookback": [20]}), TypeError, "needs top"),
        (dict(grid={"lookback": [20], "market": [1], "top": [2]}), TypeError, "market argument"),
        (dict(grid={"lookback": [20], "top": [2]}, top=3), TypeError, "both a grid key and a fixed"),
        (
            dict(grid={"lookback": [20], "top": [2], "stop_loss": [0.1, 10]}),
            ValueError,
            r"grid \(stop_loss=10\): stop_loss is a fraction",
        ),
        (dict(grid={"lookback": [20], "top": [2]}, fee=2), ValueError, "fee must be in"),
        (dict(grid={"lookback": [20], "top": [2]}, keep="weights"), ValueError, "keep: 'weights'"),
        (dict(grid={"lookback": [20], "top": [2]}, keep=[]), TypeError, "keep must be"),
        (dict(grid={"lookback": [20], "top": [2]}, executor="threads"), TypeError, "executor must be"),
        (dict(grid={"lookback": [20], "top": [2]}, workers=2), ValueError, "executor='processes'"),
        (dict(grid={"lookback": [20], "top": [2]}, executor="processes", workers=0), ValueError, "workers must be"),
        (dict(grid={"lookback": [20], "top": [2]}, progress="yes"), TypeError, "progress must be"),
        (dict(grid={"lookback": [20], "top": [2]}, batch=0), ValueError, "batch must be"),
        (dict(strategy=strategy_without_market, grid={"top": [2]}), TypeError, "market as its first argument"),
        (dict(strategy=strategy_positional, grid={"lookback": [20], "top": [2]}), TypeError, "no parameter 'lookback'"),
        (dict(strategy="momentum", grid={"top": [2]}), TypeError, "strategy must be a function"),
    ],
)
def test_bad_arguments_are_refused_before_any_backtest(market, kwargs, error, match):
    sweep_strategies.CALLS.clear()
    kwargs = {"strategy": momentum, **kwargs}
    with pytest.raises(error, match=match):
        korvel.sweep(kwargs.pop("strategy"), market, kwargs.pop("grid"), **kwargs)
    assert sweep_strategies.CALLS == []


def test_a_scheduler_address_without_the_cluster_extra_names_it(market, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "distributed", None)
    with pytest.raises(ImportError, match=r"korvel\[cluster\]"):
        korvel.sweep(momentum, market, {"lookback": [20], "top": [2]}, executor="tcp://127.0.0.1:1")


def test_heatmap_over_two_keys(market):
    sw = korvel.sweep(momentum, market, GRID)
    fig = sw.heatmap("lookback", "top", "sharpe", agg="max", stop_loss=0.05)
    image = fig.axes[0].images[0].get_array()
    expected = sw.stats.xs(0.05, level="stop_loss")["sharpe"].unstack("lookback")
    np.testing.assert_array_equal(np.ma.filled(image, np.nan), expected.to_numpy())
    assert "max over" not in fig.axes[0].get_title()
    off = sw.heatmap("lookback", "top", "sharpe", stop_loss=None).axes[0].images[0].get_array()
    unstopped = sw.stats[sw.stats.index.get_level_values("stop_loss").isna()]["sharpe"]
    np.testing.assert_array_equal(np.ma.filled(off, np.nan), unstopped.droplevel("stop_loss").unstack("lookback"))
    mean = sw.heatmap("lookback", "top").axes[0]
    assert "mean over stop_loss" in mean.get_title()
    with pytest.raises(ValueError, match="not a key"):
        sw.heatmap("lookback", "colour")
    with pytest.raises(ValueError, match="agg must be"):
        sw.heatmap("lookback", "top", agg="sum")


@pytest.fixture
def small_chunks(monkeypatch):
    """One chunk per combination, so that a chunk can be damaged alone."""
    monkeypatch.setattr(_store, "CHUNK_ROWS", 1)


def _parts(folder, part="stats"):
    return sorted((folder / part).iterdir())


def test_a_restarted_sweep_skips_what_its_store_holds(market, tmp_path, small_chunks):
    path = tmp_path / "sweep.store"
    full = korvel.sweep(momentum, market, GRID, keep=("stats", "trades"))
    sweep_strategies.CALLS.clear()
    first = korvel.sweep(
        momentum, market, korvel.grid(GRID, where=lambda p: p["top"] == 2), keep=("stats", "trades"), checkpoint=path
    )
    assert len(sweep_strategies.CALLS) == 2 and len(_parts(path)) == 4  # once per (lookback, top)
    sweep_strategies.CALLS.clear()
    again = korvel.sweep(momentum, market, GRID, keep=("stats", "trades"), checkpoint=path)
    assert sorted(sweep_strategies.CALLS) == [(20, 4, False), (40, 4, False)]  # the 4 combinations with top=4
    pd.testing.assert_frame_equal(again.stats, full.stats, check_exact=True)
    pd.testing.assert_frame_equal(again.trades, full.trades, check_exact=True)
    assert first.stats.equals(full.stats.xs(2, level="top", drop_level=False))
    sweep_strategies.CALLS.clear()
    korvel.sweep(momentum, market, GRID, keep=("stats", "trades"), checkpoint=path)
    assert sweep_strategies.CALLS == []
    with pytest.raises(ValueError, match="written by another sweep.*keep"):
        korvel.sweep(momentum, market, GRID, checkpoint=path)
    with pytest.raises(ValueError, match="written by another sweep.*the fixed keyword 'fee' is given here only"):
        korvel.sweep(momentum, market, GRID, keep=("stats", "trades"), checkpoint=path, fee=0.001)
    other = tmp_path / "other.txt"
    other.write_text("not mine")
    with pytest.raises(ValueError, match="is a file, not a sweep's store folder"):
        korvel.sweep(momentum, market, GRID, checkpoint=other)
    assert other.read_text() == "not mine"
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "mine.txt").write_text("mine")
    with pytest.raises(ValueError, match="not a sweep's store"):
        korvel.sweep(momentum, market, GRID, checkpoint=tmp_path / "full")


def _flip(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x10
    path.write_bytes(bytes(data))


DAMAGE = {
    "a flipped bit": _flip,
    "torn": lambda path: path.write_bytes(path.read_bytes()[:-9]),
    "deleted": lambda path: path.unlink(),
    "replaced": lambda path: path.write_bytes(b"PAR1" + b"\0" * 60 + b"PAR1"),
}


@pytest.mark.parametrize("part", ["stats", "trades"])
@pytest.mark.parametrize("damage", list(DAMAGE))
def test_a_damaged_chunk_is_dropped_alone_and_its_combinations_run_again(market, tmp_path, small_chunks, damage, part):
    path = tmp_path / "sweep.store"
    keep = ("stats", "trades")
    full = korvel.sweep(momentum, market, GRID, keep=keep, checkpoint=path, progress=False)
    victim = _parts(path, part)[5]  # the sixth combination's chunk
    DAMAGE[damage](victim)
    opened = korvel.Sweep.open(path)
    assert opened.pending == 1 and opened.dropped == ["000006"] and len(opened.stats) == 7
    sweep_strategies.CALLS.clear()
    again = korvel.sweep(momentum, market, GRID, keep=keep, checkpoint=path, progress=False)
    params = korvel.grid(GRID)[5]
    assert sweep_strategies.CALLS == [(params["lookback"], params["top"], False)]
    pd.testing.assert_frame_equal(again.stats, full.stats, check_exact=True)
    pd.testing.assert_frame_equal(again.trades, full.trades, check_exact=True)
    # The damaged file is gone: the folder read as a dataset holds each combination once.
    assert len(pd.read_parquet(path / "stats")) == 8
    assert not any(p.name.endswith(".tmp") for p in path.rglob("*"))


def test_a_file_no_chunk_lists_is_removed_on_resume(market, tmp_path):
    path = tmp_path / "sweep.store"
    korvel.sweep(momentum, market, GRID, checkpoint=path, progress=False)
    stray = path / "stats" / "part-999999.parquet"  # as a sweep killed between a chunk's files and its manifest
    stray.write_bytes((path / "stats" / "part-000001.parquet").read_bytes())
    sweep_strategies.CALLS.clear()
    korvel.sweep(momentum, market, GRID, checkpoint=path, progress=False)
    assert sweep_strategies.CALLS == [] and not stray.exists()


@pytest.mark.parametrize("what", ["__version__", "defaults_text"])
def test_a_store_of_another_version_is_refused(market, tmp_path, monkeypatch, what):
    from korvel.sweeps import _fingerprint

    path = tmp_path / "sweep.store"
    korvel.sweep(momentum, market, {"lookback": [20], "top": [2]}, checkpoint=path, progress=False)
    other = "9.9.9" if what == "__version__" else (lambda: "fee=0.001")
    monkeypatch.setattr(_fingerprint, what, other)
    with pytest.raises(ValueError, match="written by another version of korvel.*results may differ") as info:
        korvel.sweep(momentum, market, {"lookback": [20], "top": [2]}, checkpoint=path, progress=False)
    assert ("9.9.9 here" if what == "__version__" else "fee=0.001 here") in str(info.value)


def test_a_sweep_collects_its_warnings_per_combination(market):
    with pytest.warns(korvel.KorvelWarning, match=r"of 4 combinations left warnings \(.*cost: 2\)") as seen:
        sw = korvel.sweep(momentum, market, {"lookback": [20, 40], "fee": [0.001, 0.2]}, top=2, progress=False)
    assert [w.message.kind for w in seen if issubclass(w.category, korvel.KorvelWarning)] == ["sweep"]
    said = sw.warnings
    assert said.index.equals(sw.stats.index)
    assert said["cost"].notna().tolist() == [False, True, False, True]
    assert "fee=0.2" in said.loc[(40, 0.2), "cost"]


def test_a_store_in_use_is_refused(market, tmp_path):
    path = tmp_path / "sweep.store"
    combos = expand({"lookback": [20]})
    with Store(path, {"keep": ["stats"]}, combos, ("stats",)):
        with pytest.raises(ValueError, match="in use by another running sweep"):
            Store(path, {"keep": ["stats"]}, combos, ("stats",))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_process_does_not_keep_the_store_locked(tmp_path):
    path = tmp_path / "sweep.store"
    combos = expand({"lookback": [20]})
    with Store(path, {"keep": ["stats"]}, combos, ("stats",)):
        read, write = os.pipe()
        ready_read, ready_write = os.pipe()
        pid = os.fork()  # as a worker started (or left running by Ctrl-C) while the store is open
        if pid == 0:
            os.close(write)
            os.write(ready_write, b"!")  # the fork's handlers have run
            os.read(read, 1)  # lives until the parent is done
            os._exit(0)
        os.close(read)
        os.close(ready_write)
        assert os.read(ready_read, 1) == b"!"
        os.close(ready_read)
    try:
        with Store(path, {"keep": ["stats"]}, combos, ("stats",)) as again:  # closed here, while the child lives
            assert again.done == {}
    finally:
        os.close(write)
        os.waitpid(pid, 0)


def test_ctrl_c_then_a_rerun_at_once(market, tmp_path, monkeypatch):
    path = tmp_path / "sweep.store"
    sweep_strategies.CALLS.clear()

    def interrupted(market, lookback, top):
        # The calls are counted in a module's list: a list in the closure would be part of the fingerprint.
        if len(sweep_strategies.CALLS) == 2:
            sweep_strategies.CALLS.append((lookback, top, False))
            raise KeyboardInterrupt
        return momentum(market, lookback, top)

    with pytest.raises(KeyboardInterrupt):
        korvel.sweep(interrupted, market, {"lookback": [20, 30, 40], "top": [2]}, checkpoint=path, progress=False)
    again = korvel.sweep(interrupted, market, {"lookback": [20, 30, 40], "top": [2]}, checkpoint=path, progress=False)
    assert [c[0] for c in sweep_strategies.CALLS] == [20, 30, 40, 40] and len(again.stats) == 3


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    "stream, progress, drawn", [(Terminal, True, True), (Terminal, False, False), (io.StringIO, True, False)]
)
def test_progress_counts_backtests_on_a_terminal_only(market, monkeypatch, stream, progress, drawn):
    err = stream()
    monkeypatch.setattr("sys.stderr", err)
    with pytest.warns(RuntimeWarning, match="4 of 8 combinations of the sweep failed"):
        korvel.sweep(
            momentum, market, korvel.grid(lookback=[20, 40], top=[2, 4], fail=[False, True]), progress=progress
        )
    text = err.getvalue()
    assert ("8/8" in text and "backtest" in text and "failed=4" in text) == drawn
    assert drawn or text == ""


def test_statistics_are_kept_as_one_typed_column_each(market, tmp_path):
    grid = {"lookback": [20, 40], "top": [2, 3, 4]}
    path = tmp_path / "half.store"
    korvel.sweep(momentum, market, {"lookback": [20], "top": [2, 3, 4]}, checkpoint=path)
    sw = korvel.sweep(momentum, market, grid, checkpoint=path)  # half from the checkpoint, half run
    columns = sw._collected.columns
    dates = {name for name, kind in sw._collected.kinds.items() if kind == "date"}
    assert {"start", "max_drawdown_trough"} <= dates  # as int64 nanoseconds
    assert all(c.dtype == (np.int64 if n in dates else np.float64) and c.shape == (6,) for n, c in columns.items())
    assert not sw._collected.kept and not sw._collected.others  # nothing per combination besides
    pd.testing.assert_frame_equal(sw.stats, korvel.sweep(momentum, market, grid).stats, check_exact=True)


@pytest.mark.parametrize("order", ["rules outermost", "rules innermost"])
def test_the_strategy_runs_once_per_distinct_parameter_set(market, order):
    axes = {"stop_loss": [None, 0.05, 0.1], "lookback": [20, 40], "top": [2, 4]}
    if order == "rules innermost":
        axes = {k: axes[k] for k in ("lookback", "top", "stop_loss")}
    sweep_strategies.CALLS.clear()
    sw = korvel.sweep(momentum, market, axes, keep=("stats", "equity"), progress=False)
    assert sorted(sweep_strategies.CALLS) == [(20, 2, False), (20, 4, False), (40, 2, False), (40, 4, False)]
    for params in korvel.grid(axes)[::5]:
        res = korvel.backtest(
            momentum(market, params["lookback"], params["top"]), market, stop_loss=params["stop_loss"]
        )
        pd.testing.assert_series_equal(sw.equity[tuple(params.values())].dropna(), res.equity, check_names=False)
    # Grid order, whatever ran first.
    assert sw.stats.index.equals(pd.MultiIndex.from_tuples([tuple(p.values()) for p in korvel.grid(axes)]))


def test_the_weights_cache_is_bounded_in_bytes(market):
    from korvel.sweeps._task import Job, WeightsCache

    weights = momentum(market, 20, 2)
    size = int(weights.memory_usage(index=True).sum())
    cache = WeightsCache(limit=2 * size)
    job = Job(momentum, {}, {}, ("stats",))
    for lookback in (20, 30, 40, 20, 40):
        cache.weights(job, market, {"lookback": lookback, "top": 2})
    assert cache.calls == 4  # 20 was evicted by 40 (least recently used), 40 was still there
    cache.weights(Job(momentum, {}, {}, ("stats",)), market, {"lookback": 40, "top": 2})
    assert cache.calls == 5  # another sweep's job starts afresh


class Hidden:
    """A hashable parameter whose repr hides its state, as many objects' reprs do."""

    def __init__(self, count):
        self.count = count

    def __repr__(self):
        return "Hidden(...)"

    def __eq__(self, other):
        return isinstance(other, Hidden) and other.count == self.count

    def __hash__(self):
        return hash(self.count)


class Unpicklable(Hidden):
    def __reduce__(self):
        raise TypeError("not picklable")


def _first(market, picks):
    """Equal weights on the first instruments, as many as `picks` counts (its sum, or its count)."""
    count = 1 + int(np.sum(picks)) if isinstance(picks, np.ndarray) else picks.count
    weights = np.zeros(market.shape[1])
    weights[:count] = 1.0 / count
    return pd.DataFrame([weights], index=market.dates[:1], columns=market.instruments)


@pytest.mark.parametrize(
    "value, other",
    [
        (np.zeros(2000), np.eye(1, 2000, 1000)[0]),  # NumPy prints "..." for the middle of a long array
        (Hidden(2), Hidden(3)),
    ],
    ids=["long arrays", "hidden state"],
)
def test_parameters_that_print_alike_get_their_own_weights(market, value, other):
    from korvel.sweeps._task import Job, WeightsCache

    assert repr(value) == repr(other)
    cache = WeightsCache()
    job = Job(_first, {}, {}, ("stats",))
    weights = cache.weights(job, market, {"picks": value})
    assert not cache.weights(job, market, {"picks": other}).equals(weights)
    assert cache.weights(job, market, {"picks": copy.deepcopy(value)}) is weights  # the same content: reused
    assert cache.calls == 2


def test_a_sweep_over_parameters_that_print_alike_runs_each(market):
    grid = [{"picks": Hidden(2)}, {"picks": Hidden(5)}]
    sw = korvel.sweep(_first, market, grid, progress=False)
    for params, (_, row) in zip(grid, sw.stats.iterrows()):
        expected = korvel.backtest(_first(market, **params), market).stats()
        pd.testing.assert_series_equal(row, expected, check_names=False)


def test_the_weights_cache_keys_plain_values_by_type_and_value(market):
    from korvel.sweeps._task import Job, WeightsCache

    cache = WeightsCache()
    job = Job(lambda market, picks: _first(market, Hidden(1)), {}, {}, ("stats",))
    distinct = [1, 1.0, True, 0.0, -0.0, "1", None]
    entries = [cache.prepared(job, market, {"picks": v}) for v in distinct]
    assert cache.calls == len(distinct) and len({id(e) for e in entries}) == len(distinct)
    # A NumPy scalar is the value it holds; a value with no content to digest is not kept.
    assert cache.prepared(job, market, {"picks": np.float64(-0.0)}) is entries[4]
    for _ in range(2):
        cache.prepared(job, market, {"picks": Unpicklable(2)})
    assert cache.calls == len(distinct) + 2


@pytest.mark.parametrize("limit", [3, 5])
def test_overfitting_takes_pbo_and_n_eff_on_a_seeded_sample_above_the_limit(market, monkeypatch, limit):
    from korvel.sweeps import _sweep

    sw = korvel.sweep(momentum, market, GRID, keep=("stats", "returns"), progress=False)
    full = sw.overfitting(blocks=4)
    monkeypatch.setattr(_sweep, "SAMPLE_TRIALS", limit)
    table = sw.overfitting(blocks=4)
    best = sw.stats.index.get_loc(sw.best("sharpe").name)
    picked = _sweep.sampled_trials(len(sw.stats), best)
    assert len(picked) == limit and best in picked and (np.diff(picked) > 0).all()
    assert (picked == _sweep.sampled_trials(len(sw.stats), best)).all()  # seeded: the same every time
    returns = sw.returns.dropna()
    sample = returns.iloc[:, picked]
    assert table.loc["pbo", "value"] == validation.pbo(sample, blocks=4).pbo
    assert table.loc["effective_trials", "value"] == validation.effective_trials(sample)
    assert f"sample of {limit} trials" in table.loc["pbo", "meaning"]
    # What does not depend on the sample is as without it.
    for figure in ("combinations", "deflated_sharpe", "probabilistic_sharpe"):
        assert table.loc[figure, "value"] == full.loc[figure, "value"]


@settings(max_examples=30, deadline=None)
@given(st.lists(st.integers(1, 4), min_size=1, max_size=4), st.data())
def test_a_grid_of_axes_is_made_by_position_as_the_listed_grid(sizes, data):
    axes = {f"k{i}": [None, 1.5, (1, 2), "a"][:n] if i % 2 else list(range(n)) for i, n in enumerate(sizes)}
    lazy, listed = expand(axes), expand(korvel.grid(axes))
    assert list(lazy.params) == listed.params
    assert [lazy.params[i] for i in range(-len(lazy), len(lazy))] == listed.params * 2
    positions = data.draw(st.lists(st.integers(0, len(lazy) - 1), max_size=6))
    assert lazy.index(positions).equals(listed.index(positions))
    assert lazy.index().equals(listed.index()) and list(lazy.index().names) == list(listed.index().names)


@pytest.mark.parametrize(
    "rows",
    [
        [{"a": 1, "b": True, "c": 0.5}, {"a": 2, "b": False, "c": 1}],  # ints, bools, floats with an int
        [{"a": 1, "b": True}, {"a": 2}],  # a statistic missing from a row
        [{"a": "x", "b": None}, {"a": 2.5, "b": None}],  # text among numbers; no value at all
        [{"t": pd.Timestamp("2020-01-02"), "u": pd.NaT}, {"t": pd.NaT, "u": pd.Timestamp("2021-03-04")}],
        [{"t": pd.Timestamp("2020-01-02")}, {"t": 3.0}],  # a number among dates
        # Rows after the first, as a sweep's: each value into a column that already holds its kind.
        [
            {"a": 1, "c": 0.5, "t": pd.Timestamp("2020-01-02")},
            {"a": 2, "c": 1, "t": pd.Timestamp("2020-01-03")},
            {"a": 3, "c": 2**60, "t": pd.NaT},
            {"a": 4, "c": 2.5, "t": pd.Timestamp("2020-01-06")},
        ],
    ],
)
def test_typed_columns_give_the_frame_the_rows_would(rows):
    from korvel.sweeps._collected import DONE, Collected
    from korvel.sweeps._task import Done

    collected = Collected(len(rows) + 1)
    for i, row in enumerate(rows):
        collected.add(i + 1, Done({"stats": row, "warnings": {}}))  # position 0 never ran
    positions = collected.positions(DONE)
    index = pd.RangeIndex(1, len(rows) + 1)
    pd.testing.assert_frame_equal(collected.frame(positions, index), pd.DataFrame(rows, index=index))


def _cheap(market, a):
    """Equal weights at each tenth row: the weights of a sweep's combinations are reused for every stop loss."""
    return pd.DataFrame(1.0 / market.shape[1], index=market.dates[::10], columns=market.instruments)


@pytest.mark.skipif(
    "LD_PRELOAD" in os.environ, reason="under the sanitizers Python allocates through malloc: other sizes are traced"
)
def test_the_client_keeps_a_few_bytes_per_statistic_and_combination(monkeypatch):
    import gc
    import tracemalloc

    small = market_and_weights(n=4, days=60)[2]
    korvel.sweep(_cheap, small, {"a": [0], "stop_loss": [0.1, 0.2]}, progress=False)  # imports and caches first
    kept = {}
    # What the sweep's own code allocated and still holds (what else the process does, e.g. the test
    # runner recording warnings, is not the sweep's).
    sweeps = [tracemalloc.Filter(True, os.path.join("*", "korvel", "sweeps", "*"), all_frames=True)]
    for count in (80, 320):
        gc.collect()
        tracemalloc.start(8)
        grid = {"a": list(range(count // 20)), "stop_loss": [0.01 * k for k in range(1, 21)]}
        sw = korvel.sweep(_cheap, small, grid, progress=False)
        gc.collect()
        traces = tracemalloc.take_snapshot().filter_traces(sweeps)
        kept[count] = sum(stat.size for stat in traces.statistics("filename"))
        tracemalloc.stop()
        statistics = len(sw._collected.columns)
        del sw
    per_combination = (kept[320] - kept[80]) / 240
    # The columns (8 bytes a statistic) and a few bytes of state and warning codes; a dict of the statistics
    # per combination would be about 2 KiB more.
    assert per_combination < 8 * statistics + 128, (per_combination, statistics)
