"""A sweep's results store: it runs no code when read, refuses to resume what would be stale, and is read back
by Sweep.open and by pandas without korvel."""

import importlib
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import sweep_strategies
from layer_support import SWEEP_SAID, UNPRICED, market_and_weights
from sweep_strategies import momentum

import korvel

pytestmark = [
    pytest.mark.filterwarnings(UNPRICED),
    pytest.mark.filterwarnings(SWEEP_SAID),
    pytest.mark.filterwarnings("ignore:.* combinations of the sweep failed:RuntimeWarning"),
]

GRID = {"lookback": [20, 40], "top": [2, 4]}


@pytest.fixture(scope="module")
def market():
    return market_and_weights(n=16, days=260)[2]


class Payload:
    """Unpickling this creates the file it names: the proof that reading something ran code."""

    def __init__(self, path):
        self.path = str(path)

    def __reduce__(self):
        return (open, (self.path, "w"))


def test_an_old_checkpoint_file_is_refused_unread(market, tmp_path):
    made = tmp_path / "ran"
    data = pickle.dumps(Payload(made))
    old = tmp_path / "sweep.ckpt"
    old.write_bytes(b"korvel sweep checkpoint 1\n" + len(data).to_bytes(8, "little") + b"\0" * 4 + data)
    with pytest.raises(ValueError, match=r"checkpoint file of an earlier korvel.*give a folder.*sweep.sweep"):
        korvel.sweep(momentum, market, GRID, checkpoint=old, progress=False)
    assert not made.exists()


def test_a_crafted_store_cannot_run_code(market, tmp_path):
    made = tmp_path / "ran"
    path = tmp_path / "sweep.store"
    keep = ("stats", "equity", "trades")
    full = korvel.sweep(momentum, market, GRID, keep=keep, checkpoint=path, progress=False)
    manifest = json.loads((path / "manifest.json").read_text())
    # Every file of the chunk replaced by a pickle that would create `made`, its size and digest made to match.
    import hashlib

    for entry in manifest["chunks"][0]["files"].values():
        data = pickle.dumps(Payload(made))
        (path / entry["path"]).write_bytes(data)
        entry.update(bytes=len(data), blake2b=hashlib.blake2b(data, digest_size=16).hexdigest())
    (path / "manifest.json").write_text(json.dumps(manifest))
    opened = korvel.Sweep.open(path)
    assert opened.dropped == ["000001"] and len(opened.stats) == 0 and opened.pending == 4
    again = korvel.sweep(momentum, market, GRID, keep=keep, checkpoint=path, progress=False)
    pd.testing.assert_frame_equal(again.stats, full.stats, check_exact=True)
    # A manifest that is a pickle is not read as one.
    (path / "manifest.json").write_bytes(pickle.dumps(Payload(made)))
    with pytest.raises(ValueError, match="not a sweep store's manifest"):
        korvel.Sweep.open(path)
    with pytest.raises(ValueError, match="not a sweep store's manifest"):
        korvel.sweep(momentum, market, GRID, keep=keep, checkpoint=path, progress=False)
    assert not made.exists()


def _strategy(tmp_path, body, name="stale_strategy"):
    """A strategy `pick` in a module written afresh (so that its code changes under the same name)."""
    (tmp_path / f"{name}.py").write_text(
        "from sweep_strategies import momentum\n\nSHIFT = 0\n\n\ndef pick(market, lookback, top):\n" + body
    )
    sys.path.insert(0, str(tmp_path))
    try:
        module = importlib.import_module(name)
        return importlib.reload(module)
    finally:
        sys.path.remove(str(tmp_path))


def _changed_open(market):
    opens = market.open.copy()
    row, column = np.argwhere(np.isfinite(opens.to_numpy()))[500]
    opens.iloc[row, column] *= 1.0 + 1e-12
    return korvel.Market(market.close, open=opens, high=market.high, low=market.low)


STALE = {
    # case: (first run's change, second run's change, what the message names)
    "strategy code": ("code", "the strategy (stale_strategy.pick)"),
    "a global it reads": ("global", "the strategy (stale_strategy.pick)"),
    "benchmark": ("benchmark", "the fixed keyword 'benchmark' has another value"),
    "rebalance dates": ("rebalance", "the fixed keyword 'rebalance' has another value"),
    "market opens": ("open", "the market's table 'open' differs"),
}


@pytest.mark.parametrize("case", list(STALE))
def test_a_stale_resume_is_refused_naming_what_differs(market, tmp_path, case):
    change, named = STALE[case]
    market = korvel.Market(market.close, open=market.open, high=market.high, low=market.low)
    module = _strategy(tmp_path, "    return momentum(market, lookback, top + SHIFT)\n")
    bench = market.close.iloc[:, 0].copy()
    dates = list(market.dates[30::21])
    path = tmp_path / "sweep.store"
    kwargs = dict(benchmark=bench, rebalance=dates, checkpoint=path, progress=False)
    korvel.sweep(module.pick, market, GRID, **kwargs)
    if change == "code":
        module = _strategy(tmp_path, "    return momentum(market, lookback, top)\n")
    elif change == "global":
        module.SHIFT = 1
    elif change == "benchmark":
        bench = bench.copy()
        bench.iloc[-1] *= 1.0 + 1e-12
        kwargs["benchmark"] = bench
    elif change == "rebalance":
        kwargs["rebalance"] = dates[:-1] + [market.dates[-2]]
    else:
        market = _changed_open(market)
    with pytest.raises(ValueError, match="written by another sweep") as info:
        korvel.sweep(module.pick, market, GRID, **kwargs)
    assert named in str(info.value)
    assert str(info.value).count(";") == 0  # only what differs is named


def test_an_unchanged_sweep_resumes_with_fresh_equal_objects(market, tmp_path):
    """Equal content in new objects (a copied Series, a rebuilt market, a re-imported strategy) resumes."""
    market = korvel.Market(market.close, open=market.open, high=market.high, low=market.low)
    module = _strategy(tmp_path, "    return momentum(market, lookback, top + SHIFT)\n", name="same_strategy")
    path = tmp_path / "sweep.store"
    korvel.sweep(module.pick, market, GRID, benchmark=market.close.iloc[:, 0].copy(), checkpoint=path, progress=False)
    module = _strategy(tmp_path, "    return momentum(market, lookback, top + SHIFT)\n", name="same_strategy")
    rebuilt = korvel.Market(market.close.copy(), open=market.open.copy(), high=market.high, low=market.low)
    sweep_strategies.CALLS.clear()
    korvel.sweep(module.pick, rebuilt, GRID, benchmark=market.close.iloc[:, 0].copy(), checkpoint=path, progress=False)
    assert sweep_strategies.CALLS == []


def test_the_store_reads_back_with_pandas_alone(market, tmp_path):
    path = tmp_path / "sweep.store"
    sw = korvel.sweep(momentum, market, GRID, keep=("stats", "returns"), checkpoint=path, progress=False)
    script = (
        "import sys, pandas as pd\n"
        "stats = pd.read_parquet(sys.argv[1] + '/stats')\n"
        "returns = pd.read_parquet(sys.argv[1] + '/returns')\n"
        "assert 'korvel' not in sys.modules\n"
        "stats.to_pickle(sys.argv[2]); returns.to_pickle(sys.argv[3])\n"
    )
    out = [tmp_path / "stats.pkl", tmp_path / "returns.pkl"]
    subprocess.run([sys.executable, "-c", script, str(path), *map(str, out)], check=True, cwd=tmp_path)
    stats, returns = pd.read_pickle(out[0]), pd.read_pickle(out[1])
    stats = stats.set_index(list(GRID)).drop(columns="combination")
    pd.testing.assert_frame_equal(stats, sw.stats, check_exact=True, check_index_type=False)
    for values, column in zip(returns["values"], sw.returns):
        np.testing.assert_array_equal(values, sw.returns[column].dropna().to_numpy())


@pytest.mark.parametrize("keep", [("stats", "equity", "trades"), ("stats", "returns32")])
def test_sweep_open_reads_a_finished_or_partial_store(market, tmp_path, keep):
    path = tmp_path / "sweep.store"
    grid = korvel.grid(
        lookback=[20, 40], top=[2, 4], fail=[False, True], where=lambda p: not p["fail"] or p["top"] == 2
    )
    sw = korvel.sweep(momentum, market, grid, keep=keep, checkpoint=path, progress=False)
    opened = korvel.Sweep.open(path)
    pd.testing.assert_frame_equal(opened.stats, sw.stats, check_exact=True)
    pd.testing.assert_frame_equal(opened.warnings, sw.warnings, check_exact=True)
    columns = ["error", "message", "traceback"]
    pd.testing.assert_frame_equal(opened.failures[columns], sw.failures[columns], check_exact=True)
    for name in [k for k in ("equity", "trades") if k in keep] + (["returns"] if "returns32" in keep else []):
        got, expected = getattr(opened, name), getattr(sw, name)
        if name != "trades":  # without the market, the rows are counted from the end
            got, expected = got.reset_index(drop=True), expected.iloc[-len(got) :].reset_index(drop=True)
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
    assert opened.best("sharpe").name == sw.best("sharpe").name
    with pytest.raises(ValueError, match="needs the strategy and the market"):
        opened.result((20, 2, False))
    given = korvel.Sweep.open(path, momentum, market)
    pd.testing.assert_series_equal(given.result((20, 2, False)).equity, sw.result((20, 2, False)).equity)
    with pytest.raises(ValueError, match="the market's table 'close' differs"):
        korvel.Sweep.open(path, momentum, korvel.Market(market.close * 2))
    # A partial store (its last chunk gone, as after a kill): what it holds, and how many are pending.
    manifest = json.loads((path / "manifest.json").read_text())
    manifest["chunks"] = []
    (path / "manifest.json").write_text(json.dumps(manifest))
    partial = korvel.Sweep.open(path)
    assert partial.pending == len(grid) and len(partial.stats) == 0


def test_no_space_left_names_the_folder_and_what_it_keeps(market, tmp_path, monkeypatch):
    import errno

    from korvel.sweeps import _store

    path = tmp_path / "sweep.store"
    real = _store._write_atomic
    written = []

    def full_disk(target, data):
        if target.parent.name == "stats":
            if written:  # the second chunk
                raise OSError(errno.ENOSPC, "No space left on device")
            written.append(target)
        real(target, data)

    monkeypatch.setattr(_store, "CHUNK_ROWS", 1)
    monkeypatch.setattr(_store, "_write_atomic", full_disk)
    with pytest.raises(OSError, match=r"no space left for the sweep's store .*sweep.store.*keeps 1 combinations"):
        korvel.sweep(momentum, market, GRID, checkpoint=path, progress=False)
    monkeypatch.setattr(_store, "_write_atomic", real)
    sweep_strategies.CALLS.clear()
    korvel.sweep(momentum, market, GRID, checkpoint=path, progress=False)
    assert len(sweep_strategies.CALLS) == 3
    assert os.path.exists(path / "manifest.json")


@pytest.mark.parametrize("after", [1, 4, 9])
def test_a_sweep_killed_at_any_point_resumes_exactly(market, tmp_path, after):
    """SIGKILL once `after` chunks are listed (wherever the sweep then is: running a strategy, writing a
    file, renaming the manifest): the resumed sweep equals an uninterrupted one bit for bit, and the store
    holds every combination once."""
    import signal
    import time

    path = tmp_path / "sweep.store"
    grid = {"lookback": [20, 30, 40, 50], "top": [2, 3, 4]}
    script = (
        "import sys, korvel\n"
        "from korvel.sweeps import _store\n"
        "from layer_support import market_and_weights\n"
        "from sweep_strategies import momentum\n"
        "_store.CHUNK_ROWS = 1\n"
        "market = market_and_weights(n=16, days=260)[2]\n"
        f"korvel.sweep(momentum, market, {grid!r}, keep=('stats', 'equity'), checkpoint=sys.argv[1])\n"
    )
    here = os.path.join(os.path.dirname(__file__), "..", "support")
    env = dict(os.environ, PYTHONPATH=here, KORVEL_TEST_DELAY="0.05")
    proc = subprocess.Popen([sys.executable, "-c", script, str(path)], env=env, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                if len(json.loads((path / "manifest.json").read_text())["chunks"]) >= after:
                    break
            except (OSError, ValueError, KeyError):
                pass
            time.sleep(0.005)
        os.kill(proc.pid, signal.SIGKILL)
    finally:
        proc.wait()
    resumed = korvel.sweep(momentum, market, grid, keep=("stats", "equity"), checkpoint=path, progress=False)
    full = korvel.sweep(momentum, market, grid, keep=("stats", "equity"), progress=False)
    pd.testing.assert_frame_equal(resumed.stats, full.stats, check_exact=True)
    pd.testing.assert_frame_equal(resumed.equity, full.equity, check_exact=True)
    ids = pd.read_parquet(path / "stats")["combination"]
    assert len(ids) == 12 and ids.is_unique


@pytest.mark.parametrize("keep", ["returns", "returns32", "equity"])
def test_overfitting_reads_the_stores_returns_mapped_block_by_block_as_in_memory(market, tmp_path, monkeypatch, keep):
    from korvel.sweeps import _sweep

    grid = {"lookback": [20, 40], "top": [2, 3, 4], "stop_loss": [None, 0.05]}
    path = tmp_path / "sweep.store"
    in_memory = korvel.sweep(momentum, market, grid, keep=("stats", keep), progress=False)
    stored = korvel.sweep(momentum, market, grid, keep=("stats", keep), checkpoint=path, progress=False)
    assert stored._collected.kept == {}  # read back from the store, not kept
    mapped = []
    load = np.load
    monkeypatch.setattr(np, "load", lambda *a, **k: mapped.append(k.get("mmap_mode")) or load(*a, **k))
    monkeypatch.setattr(_sweep, "BLOCK_TRIALS", 5)  # blocks that do not divide the 12 combinations
    expected = in_memory.overfitting(blocks=4)
    for sw in (stored, korvel.Sweep.open(path)):
        pd.testing.assert_frame_equal(sw.overfitting(blocks=4), expected, check_exact=True)
    assert mapped == ["r", "r"]
    assert not [p for p in path.iterdir() if p.name.startswith(".returns-")]  # the mapped file is gone
    pd.testing.assert_frame_equal(stored.returns, in_memory.returns, check_exact=True)


def test_ids_are_placed_exactly_whatever_hashes_they_share(monkeypatch):
    from korvel.sweeps import _store
    from korvel.sweeps._grid import expand
    from korvel.sweeps._store import Positions, ident

    combos = expand({"a": [1, 2.5, None], "b": ["x", (1, 2)]})
    for hashed in (hash, lambda key: 7):  # one hash for every id: each is told by the id itself
        monkeypatch.setattr(_store, "hash", hashed, raising=False)
        where = Positions(combos)
        assert [where.find(ident(p)) for p in combos.params] == list(range(len(combos)))
        assert where.find(ident({"a": 3, "b": "x"})) is None and where.find(ident({"a": 1.0, "b": "x"})) is None
        some = Positions(combos, np.array([4, 1]))
        assert [some.find(ident(p)) for p in combos.params] == [None, 1, None, None, 4, None]


def _list_every_combination(path):
    """grid.json as earlier versions wrote it for any grid: every combination, one row each."""
    from korvel.sweeps._store import encode, read_grid

    combos = read_grid(path)
    rows = [[encode(p[k]) for k in combos.keys] for p in combos.params]
    (path / "grid.json").write_text(json.dumps({"keys": list(combos.keys), "combinations": rows}))


# Values that compare equal across types (1, 1.0, True; 0.0, -0.0) must come back as they were given.
ALIKE = [
    {"x": 1, "y": "a", "z": (1, 2.5)},
    {"x": True, "y": "b", "z": (1, 2.5)},
    {"x": 1.0, "y": "c", "z": (1, 2.5)},
    {"x": 0.0, "y": "a", "z": (True, 2.5)},
    {"x": -0.0, "y": "a", "z": (1.0, 0.5)},
    {"x": None, "y": "a", "z": (1, 2.5)},
    {"x": 1, "y": "1", "z": (1, 2.5)},
]


@pytest.mark.parametrize("layout", ["coded", "listed"])
@pytest.mark.parametrize(
    "grid, kind",
    [
        (ALIKE, "Columns"),
        (korvel.grid(a=[3, 1, 2], b=[None, 0.5]), "Product"),  # a list that is a product in order
        (korvel.grid(a=[3, 1, 2], b=[None, 0.5])[::-1], "Product"),  # of the axes [2, 1, 3] and [0.5, None]
        (korvel.grid(a=[3, 1, 2], b=[None, 0.5], where=lambda p: p != {"a": 1, "b": None}), "Columns"),
    ],
    ids=["alike values", "a product listed", "a product reversed", "not a product"],
)
def test_a_listed_grid_reads_back_exactly_as_columns(tmp_path, layout, grid, kind):
    from korvel.sweeps._grid import expand
    from korvel.sweeps._store import _grid_json, read_grid

    combos = expand(grid)
    (tmp_path / "grid.json").write_bytes(_grid_json(combos))
    assert "codes" in json.loads((tmp_path / "grid.json").read_text())  # not a row per combination
    if layout == "listed":
        _list_every_combination(tmp_path)
    read = read_grid(tmp_path)
    assert type(read.params).__name__ == kind
    assert [[(type(v), repr(v)) for v in p.values()] for p in read.params] == [
        [(type(v), repr(v)) for v in p.values()] for p in grid
    ]
    assert read.index().equals(combos.index()) and read.index([2, 0]).equals(combos.index([2, 0]))


def test_sweep_open_reads_a_store_of_earlier_versions_that_lists_every_combination(market, tmp_path):
    path = tmp_path / "sweep.store"
    grid = korvel.grid(lookback=[20, 40], top=[2, 3, 4], where=lambda p: p["top"] != 3 or p["lookback"] == 20)
    sw = korvel.sweep(momentum, market, grid, keep=("stats", "equity"), checkpoint=path, progress=False)
    _list_every_combination(path)
    opened = korvel.Sweep.open(path, momentum, market)
    assert type(opened._combos.params).__name__ == "Columns"
    pd.testing.assert_frame_equal(opened.stats, sw.stats, check_exact=True)
    pd.testing.assert_frame_equal(opened.equity, sw.equity, check_exact=True)
    pd.testing.assert_series_equal(opened.result(lookback=40, top=4).equity, sw.result(lookback=40, top=4).equity)
    with pytest.raises(KeyError, match="not a combination of the sweep"):
        opened.result(lookback=40, top=3)
    with pytest.raises(ValueError, match="top takes 2, 3, 4"):
        opened.result(lookback=40, top=5)
    # Resumed, it runs nothing and writes the grid in columns.
    sweep_strategies.CALLS.clear()
    korvel.sweep(momentum, market, grid, keep=("stats", "equity"), checkpoint=path, progress=False)
    assert sweep_strategies.CALLS == [] and "codes" in json.loads((path / "grid.json").read_text())


def _read_back_peak(how, path, market, grid, combos):
    """The traced peak of reading the store at `path` back (`how`: resumed or opened)."""
    import gc
    import tracemalloc

    gc.collect()
    tracemalloc.start()
    if how == "resume":
        sw = korvel.sweep(_pair, market, grid, checkpoint=path, progress=False)
    else:
        sw = korvel.Sweep.open(path)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert sw.stats["sharpe"].tolist() == [float(p["b"]) for p in combos.params]
    return peak


def _pair(market, a, b):
    raise AssertionError("a finished store runs no combination")


@pytest.mark.skipif(
    "LD_PRELOAD" in os.environ, reason="under the sanitizers Python allocates through malloc: other sizes are traced"
)
@pytest.mark.parametrize("how", ["resume", "open", "open listed"])
def test_reading_a_store_back_keeps_no_object_per_combination_on_the_way(market, tmp_path, how):

    from korvel.sweeps._fingerprint import fingerprint
    from korvel.sweeps._grid import expand
    from korvel.sweeps._store import Store
    from korvel.sweeps._task import Done

    peaks, listed = {}, {}
    for count in (100, 2000, 8000):  # the first imports and caches what the reading needs
        grid = {"a": list(range(count // 10)), "b": list(range(10))}
        if how == "open listed":  # a list, not a product (its first combination left out)
            grid = korvel.grid(grid)[1:]
        path = tmp_path / f"{count}.store"
        combos = expand(grid)
        with Store(path, fingerprint(_pair, {}, market, ("stats",)), combos, ("stats",)) as store:
            for params in combos.params:  # finished, as a sweep leaves it
                store.add(params, Done({"stats": {"sharpe": float(params["b"])}, "warnings": {}}))
        if how == "open listed":
            _list_every_combination(path)  # as earlier versions wrote it
            listed[count] = (path / "grid.json").stat().st_size
        # The least of three reads: what other threads of the process allocate meanwhile only adds.
        peaks[count] = min(_read_back_peak(how, path, market, grid, combos) for _ in range(3))
    # The statistic's column and the state (9 bytes a combination), the ids' hashes and positions (16) and the
    # sort's temporaries, the grid's codes (8); a dict from id to position would be about 130 bytes more, a
    # dict of parameters per combination some 200, an outcome per combination several hundred.
    per_combination = (peaks[8000] - peaks[2000]) / 6000
    # The earlier layout's grid file is read whole: its bytes and its text, a row of each per combination.
    text = (listed[8000] - listed[2000]) / 6000 if listed else 0.0
    assert per_combination < 64 + 2 * text, (per_combination, text)
