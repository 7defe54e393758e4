"""What a parameter sweep gains from workers: korvel.sweep serially, on the local pool and on Dask clusters.

    python benchmarks/sweep.py                  # the goals of issue 18, a few minutes
    python benchmarks/sweep.py --write          # and write the figures into benchmarks/RESULTS.md
    python benchmarks/sweep.py --rounds 1 --big 2000   # a quicker look
    python benchmarks/sweep.py --research --write      # only the research-speed figures (24 x 4 sweep)
    python benchmarks/sweep.py --research --before SITE  # and an earlier build's sweep (its site-packages)
    python benchmarks/sweep.py --flat 100000 --write   # only the client's memory over a long sweep

*Flat client*: `--flat N` combinations of a cheap strategy (equal weights
on the `top` instruments by close, month ends, its weights reused for every
stop loss) on a 2,500 x 100 close-only market, with a results store,
serially and on a Dask cluster of 2 workers, each in a fresh process; the
client process's PSS is sampled every 0.5 s, and read a tenth of the way in
(by time) and at the end, after the `Sweep` is built.

Throughput: the same 40-combination momentum sweep (5 lookbacks x 4 book
sizes x 2 stop losses; W1's other rules) on two markets, a 2,500 x 1,000
close-only one and W1's (5,000 x 2,000, open/high/low/close).  Each round
runs, one after the other, serially and on a Dask cluster of 1 worker;
then, with a cluster of 2 workers, serially, on the local pool of 2 forked
workers and on the cluster (worker processes of one thread each, the
scheduler in this process, Dask's default worker environment, as `dask
worker` starts them; one cluster at a time).  Ratios are computed from the
medians of the same rounds.  The stats of every sweep are compared bit for
bit with the serial ones.

*Parallel efficiency* is serial time / (workers x parallel time); the
parallel times include everything the sweep does (starting the local
workers, probing and shipping the market to the Dask workers).

*Peak memory* is the highest sum of the proportional set sizes (PSS:
shared pages divided among the processes sharing them) of this process
(the client and the scheduler) and its descendants (the workers), sampled
every 20 ms during one sweep, less the PSS of this process before the
market was built; for Dask, the market is W1's saved with `Market.save` and
loaded with `Market.load(path, mmap=True)`.  *Bytes per combination* are
the pickled size of a task's function reference and arguments divided by
the combinations it carries, for a batch of one (the worst case).

*Long sweep*: 10,000 combinations on a 2,500 x 500 market on the 2-worker
cluster, results streamed to a checkpoint; this process's PSS is sampled
as the sweep goes.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import statistics
import sys
import threading
import time
import warnings
from itertools import product
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import results_file  # noqa: E402
import workloads  # noqa: E402

SECTION = "sweep"
MIB = 1 << 20
# W1's rules besides its stop loss, in the layer's names.
FIXED = dict(
    fee=workloads.FEE,
    tax=workloads.TAX,
    take_profit=0.3,
    trail_stop=0.1,
    trail_activation=0.05,
    excursion_window=20,
    excursion_step=5,
    skip=21,
)


def momentum(market: Any, lookback: int, top: int, skip: int) -> pd.DataFrame:
    close = market.close.to_numpy()
    dates = market.dates
    month_end = np.flatnonzero(np.append(dates[1:].month != dates[:-1].month, True))
    rows = month_end[month_end >= lookback]
    score = close[rows - skip] / close[rows - lookback] - 1.0
    score[np.isnan(score) | np.isnan(close[rows])] = -np.inf
    pick = np.argsort(-score, axis=1, kind="stable")[:, :top]
    weights = np.zeros_like(score)
    np.put_along_axis(weights, pick, 1.0 / top, axis=1)
    weights[np.isneginf(score)] = 0.0
    return pd.DataFrame(weights, index=dates[rows], columns=market.instruments)


# --------------------------------------------------------------------------- memory


def _pss(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _tree(pid: int, exclude: frozenset[int] = frozenset()) -> list[int]:
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        if p in exclude:
            continue
        out.append(p)
        try:
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    todo.extend(int(c) for c in f.read().split())
        except OSError:
            pass
    return out


def tree_pss(exclude: frozenset[int] = frozenset()) -> int:
    """PSS of this process and its descendants, less the subtrees of `exclude`."""
    return sum(_pss(p) for p in _tree(os.getpid(), exclude))


class PssTrace:
    """This process's PSS every `every` seconds while the block runs: (seconds since the start, bytes)."""

    def __init__(self, every: float = 0.5) -> None:
        self.every = every
        self.samples: list[tuple[float, int]] = []
        self._stop = threading.Event()

    def _run(self) -> None:
        t0 = time.perf_counter()
        while not self._stop.is_set():
            self.samples.append((time.perf_counter() - t0, _pss(os.getpid())))
            self._stop.wait(self.every)

    def __enter__(self) -> PssTrace:
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


class PeakSampler:
    """The highest PSS of this process tree while the block runs."""

    def __init__(self, exclude: frozenset[int], every: float = 0.02) -> None:
        self.exclude, self.every, self.peak = exclude, every, 0
        self._stop = threading.Event()

    def _run(self) -> None:
        while not self._stop.is_set():
            self.peak = max(self.peak, tree_pss(self.exclude))
            self._stop.wait(self.every)

    def __enter__(self) -> PeakSampler:
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, tree_pss(self.exclude))


# --------------------------------------------------------------------------- runs

GRID = {"lookback": [63, 126, 189, 252, 378], "top": [10, 25, 50, 100], "stop_loss": [0.1, None]}
BIG_GRID = {"lookback": list(range(21, 21 + 25 * 10, 10)), "top": list(range(5, 105, 5)), "stop_loss": None}


def big_grid(count: int) -> list[dict[str, Any]]:
    import korvel

    stops = [round(0.02 + 0.01 * k, 2) for k in range(-(-count // 500))]
    return korvel.grid(lookback=BIG_GRID["lookback"], top=BIG_GRID["top"], stop_loss=stops)[:count]


def run_once(executor: Any, market: Any, grid: Any = None, **kw: Any) -> tuple[Any, float]:
    import korvel

    t0 = time.perf_counter()
    sw = korvel.sweep(momentum, market, grid or GRID, executor=executor, progress=False, **FIXED, **kw)
    return sw, time.perf_counter() - t0


def cluster(workers: int) -> Any:
    """A scheduler in this process and `workers` worker processes of one thread each, Dask's defaults."""
    import distributed

    return distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, host="127.0.0.1"
    )


def task_bytes(mapped: Any) -> dict[str, int]:
    """Pickled bytes of a one-combination task: the market scattered (its future's key) or mapped (its path)."""
    import cloudpickle

    from korvel._market import source_of
    from korvel.sweeps._task import run_batch
    from korvel.sweeps.backends._dask import run_mapped

    chunk = [(12345, {"lookback": 378, "top": 100, "stop_loss": 0.1})]
    job_key, market_key = "Job-" + "0" * 32, "Market-" + "0" * 32
    return {
        "scattered": len(cloudpickle.dumps((run_batch, (job_key, market_key, chunk)))),
        "mapped": len(cloudpickle.dumps((run_mapped, (job_key, *source_of(mapped), chunk)))),
    }


def throughput(markets: dict[str, Any], rounds: int, client: Any, workers: int) -> dict[str, Any]:
    """Rounds of serial, then (with 2 workers) the local pool, then Dask, on each market."""
    from korvel.executors import Processes

    out: dict[str, Any] = {}
    for label, market in markets.items():
        names = ("serial", "dask1") if workers == 1 else ("serial", "pool2", "dask2")
        times: dict[str, list[float]] = {k: [] for k in names}
        reference = None
        for _ in range(rounds):
            for name in names:
                executor = None if name == "serial" else Processes(2) if name == "pool2" else client
                sw, seconds = run_once(executor, market)
                assert sw.failures.empty, sw.failures
                if reference is None:
                    reference = sw.stats
                else:
                    pd.testing.assert_frame_equal(sw.stats, reference, check_exact=True)
                times[name].append(seconds)
        med = {k: statistics.median(v) for k, v in times.items()}
        out[label] = {"times": times, "median": med, "per_combination": med["serial"] / len(reference)}
        out[label]["trades"] = int(reference["trades"].median())
        if workers == 1:
            out[label]["dask1"] = med["serial"] / med["dask1"]
        else:
            out[label]["pool2"] = med["serial"] / (2 * med["pool2"])
            out[label]["dask2"] = med["serial"] / (2 * med["dask2"])
    return out


def long_sweep(client: Any, count: int, scale_market: Any, path: Path) -> dict[str, Any]:
    """A long sweep on the 2-worker cluster with a checkpoint: this process's PSS as it goes, its throughput."""
    with PssTrace() as trace:
        sw, seconds = run_once(client, scale_market, big_grid(count), checkpoint=path)
    samples = trace.samples
    n = len(samples)
    tenth, last = samples[max(0, n // 10)], samples[-1]
    return {
        "count": count,
        "seconds": seconds,
        "rate": count / seconds,
        "ran": len(sw.stats),
        "pss_tenth": tenth[1],
        "pss_end": last[1],
        "pss_max": max(p for _, p in samples),
        "checkpoint": sum(f.stat().st_size for f in path.rglob("*") if f.is_file()),
    }


def measure(rounds: int, big: int, scale: float) -> dict[str, Any]:
    import tempfile

    import distributed

    import korvel
    from korvel import synthetic

    load_before = os.getloadavg()[0]
    base = _pss(os.getpid())
    w1 = workloads.W1 if scale == 1.0 else workloads.W1.scaled(scale)
    generated, _, _ = w1.build()
    w1_market, _ = synthetic.to_layer(generated)
    del generated
    rows, cols = max(400, int(2500 * scale)), max(60, int(1000 * scale))
    small = korvel.Market(synthetic.to_layer(synthetic.generate_market(cols, rows, 7))[0].close)
    long_market = korvel.Market(synthetic.to_layer(synthetic.generate_market(max(60, cols // 2), rows, 8))[0].close)
    m: dict[str, Any] = {"w1_shape": w1_market.shape, "w1_bytes": w1_market.nbytes, "small_shape": small.shape}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "w1.korvel"
        w1_market.save(path)
        mapped = korvel.Market.load(path)
        m["task_bytes"] = task_bytes(mapped)
        # W1's market as a quant would ship it to a cluster: saved once, loaded mapped (no scatter of 305 MiB).
        markets = {"2,500 x 1,000": small, "W1": mapped}
        # One cluster at a time (two clients in one process tripped over each other's connections here).
        with cluster(1) as one, distributed.Client(one) as client1:
            m["throughput1"] = throughput(markets, rounds, client1, 1)
        with cluster(2) as two, distributed.Client(two) as client2:
            m["throughput2"] = throughput(markets, rounds, client2, 2)
            workers = frozenset(client2.run(os.getpid).values())
            m["idle_worker"] = statistics.mean(_pss(pid) for pid in workers)
            peaks: dict[str, int] = {}
            for name, executor, market in (
                ("serial", None, w1_market),
                ("pool2", "processes", w1_market),
                ("dask2, scattered", client2, w1_market),
                ("dask2, mapped", client2, mapped),
            ):
                if name == "dask2, mapped":
                    del w1_market, markets  # only the mapped market is left in this process
                    gc.collect()
                with PeakSampler(frozenset() if executor is client2 else workers) as sampler:
                    sw, _ = run_once(executor, market, workers=2 if executor == "processes" else None)
                peaks[name] = sampler.peak - base
                if name == "dask2, mapped":
                    # Where the memory is after the sweep (the workers keep the file mapped for the next one).
                    m["breakdown"] = {
                        "client and scheduler": _pss(os.getpid()),
                        **{f"worker {i + 1}": _pss(pid) for i, pid in enumerate(sorted(workers))},
                    }
            m["peak"] = peaks
            m["long"] = long_sweep(client2, big, long_market, Path(tmp) / "long.store")
            m["long_shape"] = long_market.shape
    m.update(
        {
            "rounds": rounds,
            "interpreter": base,
            "load": (load_before, os.getloadavg()[0]),
            "workload": w1.describe(),
        }
    )
    return m


def report(m: dict[str, Any]) -> str:
    sec = lambda s: f"{s:.2f} s"  # noqa: E731
    mib = lambda b: f"{b / MIB:,.0f} MiB"  # noqa: E731
    lines = [
        "## Parameter sweeps",
        "",
        f"Written by `benchmarks/sweep.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load average "
        f"(1 min) before / after: {m['load'][0]:.2f} / {m['load'][1]:.2f} on 2 cores shared with other work, so "
        "absolute times are noisy: the ratios come from the medians of the same rounds, run side by side. "
        f"{len(GRID['lookback']) * len(GRID['top']) * len(GRID['stop_loss'])} combinations of a momentum strategy "
        f'(5 lookbacks x 4 book sizes x 2 stop losses, W1\'s other rules, `keep="stats"`), {m["rounds"]} rounds; '
        "Dask workers are processes of one thread each, started with Dask's default environment (the nanny's "
        "`MALLOC_TRIM_THRESHOLD_=65536`), the scheduler and the client in the benchmark's process on the same "
        "cores. Every sweep's stats are identical bit for bit to the serial ones.",
        "",
        "| market | serial | Dask, 1 worker | pool, 2 workers | Dask, 2 workers "
        "| Dask 1 / serial (goal >= 0.95) | pool efficiency (>= 0.9) | Dask efficiency (>= 0.8) |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for label, t1 in m["throughput1"].items():
        t2 = m["throughput2"][label]
        m1, m2 = t1["median"], t2["median"]
        lines.append(
            f"| {label} | {sec(m1['serial'])} / {sec(m2['serial'])} | {sec(m1['dask1'])} | {sec(m2['pool2'])} "
            f"| {sec(m2['dask2'])} | {t1['dask1']:.2f} | {t2['pool2']:.2f} | {t2['dask2']:.2f} |"
        )
    lines += [
        "",
        "Serial times: with the 1-worker cluster / with the 2-worker cluster (each ratio uses the serial runs of "
        "its own rounds).",
        "",
    ]
    for phase in ("throughput1", "throughput2"):
        for label, t in m[phase].items():
            runs = "; ".join(f"{k}: {', '.join(f'{x:.2f}' for x in v)}" for k, v in t["times"].items())
            lines.append(
                f"- {label}: {t['per_combination'] * 1000:.1f} ms a combination serially (median {t['trades']:,} "
                f"trades); every run (s): {runs}."
            )
    market = m["w1_bytes"]
    peak = m["peak"]
    goal = market + 2 * 150 * MIB
    tb = m["task_bytes"]
    lines += [
        "",
        f"Peak memory on W1's market ({m['w1_shape'][0]:,} x {m['w1_shape'][1]:,}, {mib(market)} of price tables), "
        "the sum of PSS over this process (client and scheduler) and the workers, above the interpreter "
        f"({mib(m['interpreter'])} before the market was built); goal for Dask with a mapped market: the market "
        f"once + 150 MiB per worker = {mib(goal)}:",
        "",
        "| sweep | peak PSS above the interpreter |",
        "|---|---|",
    ]
    for name, value in peak.items():
        met = f" ({'meets' if value <= goal else 'misses'} the goal)" if name == "dask2, mapped" else ""
        lines.append(f"| {name} | {mib(value)}{met} |")
    long = m["long"]
    parts = ", ".join(f"{k} {mib(v)}" for k, v in m["breakdown"].items())
    lines += [
        "",
        f"PSS of each process after the mapped Dask sweep (the workers keep the file mapped): {parts}; a worker "
        f"process held {mib(m['idle_worker'])} between sweeps, after the throughput rounds (its interpreter and "
        "its share of the mapped file). Those figures carry what the earlier rounds left in this process; "
        "`--mapped-peak PATH` measures the same sweep in a fresh process.",
    ]
    lines += [
        "",
        f"Bytes a Dask task carries per combination (a batch of one, the worst case): {tb['scattered']:,} B with "
        f"the market scattered, {tb['mapped']:,} B with it mapped (goal < 10 KiB).",
        "",
        f"Long sweep: {long['count']:,} combinations on a {m['long_shape'][0]:,} x {m['long_shape'][1]:,} market, "
        f"Dask with 2 workers, checkpointed: {sec(long['seconds'])}, {long['rate']:.0f} backtests a second "
        f"({long['ran']:,} ran); this process's PSS {mib(long['pss_tenth'])} a tenth of the way in, "
        f"{mib(long['pss_end'])} at the end (highest {mib(long['pss_max'])}); checkpoint {mib(long['checkpoint'])}.",
    ]
    return "\n".join(lines) + "\n"


def mapped_peak(path: str) -> dict[str, Any]:
    """In a fresh process: the peak PSS of one Dask sweep (2 workers) on the market file at `path`, loaded
    mapped, above this process's interpreter; and each process's PSS before and after."""
    import distributed

    import korvel

    base = _pss(os.getpid())
    with cluster(2) as two, distributed.Client(two) as client:
        workers = sorted(client.run(os.getpid).values())
        market = korvel.Market.load(path)
        before = {
            "client and scheduler": _pss(os.getpid()),
            **{f"worker {i + 1}": _pss(p) for i, p in enumerate(workers)},
        }
        with PeakSampler(frozenset()) as sampler:
            run_once(client, market)
        after = {
            "client and scheduler": _pss(os.getpid()),
            **{f"worker {i + 1}": _pss(p) for i, p in enumerate(workers)},
        }
        return {"peak": sampler.peak - base, "base": base, "before": before, "after": after, "bytes": market.nbytes}


def momentum_frames(market: Any, lookback: int, top: int, skip: int) -> pd.DataFrame:
    """A momentum as a pandas user writes it (shifts, the month ends, a rank across the row): the same idea as
    `momentum`, at about the cost of a run."""
    close = market.close
    score = close.shift(skip) / close.shift(lookback) - 1.0
    month_end = score.groupby([score.index.year, score.index.month]).tail(1).dropna(how="all")
    rank = month_end.rank(axis=1, ascending=False, method="first")
    return (rank <= top).astype(float) / top


def momentum_risk(market: Any, lookback: int, top: int, skip: int) -> pd.DataFrame:
    """A risk-adjusted momentum as a pandas user writes it: the mean daily return over `lookback` rows over
    their standard deviation, `skip` rows back, ranked at the month ends, the `top` weighted by their
    inverse volatility (about 20 ms a call on 2,500 x 100, the cost of the momentum the issue measured)."""
    close = market.close
    daily = close.pct_change(fill_method=None)
    trend = daily.rolling(lookback, min_periods=lookback // 2).mean()
    risk = daily.rolling(lookback, min_periods=lookback // 2).std()
    score = (trend / risk).shift(skip)
    month_end = score.groupby([score.index.year, score.index.month]).tail(1).dropna(how="all")
    rank = month_end.rank(axis=1, ascending=False, method="first")
    chosen = (1.0 / risk.loc[month_end.index]).where(rank <= top)
    return chosen.div(chosen.sum(axis=1), axis=0).fillna(0.0)


RESEARCH_GRID = {"lookback": [21, 42, 63, 126, 189, 252], "top": [5, 10, 20, 40], "stop_loss": [None, 0.05, 0.1, 0.2]}
RESEARCH_GRID_SETS = (RESEARCH_GRID["lookback"], RESEARCH_GRID["top"])  # the strategy's own parameters


RESEARCH_STRATEGIES = {
    "NumPy momentum": momentum,
    "pandas momentum": momentum_frames,
    "pandas risk-adjusted momentum": momentum_risk,
}


def research_market() -> Any:
    import korvel
    from korvel import synthetic

    return korvel.Market(synthetic.to_layer(synthetic.generate_market(100, 2500, 8))[0].close)


def research_one(label: str) -> dict[str, float]:
    """In a fresh process whose import path starts with another build: one sweep not counted (the first calls
    of a process), then one timed, with the seconds of its strategy calls."""
    import korvel

    market = research_market()
    spent: list[float] = []

    def call(market: Any, lookback: int, top: int, skip: int) -> pd.DataFrame:
        t0 = time.perf_counter()
        try:
            return RESEARCH_STRATEGIES[label](market, lookback, top, skip)
        finally:
            spent.append(time.perf_counter() - t0)

    warnings.simplefilter("ignore")
    korvel.sweep(call, market, RESEARCH_GRID, skip=21, fee=workloads.FEE, progress=False)
    spent.clear()
    t0 = time.perf_counter()
    sw = korvel.sweep(call, market, RESEARCH_GRID, skip=21, fee=workloads.FEE, progress=False)
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "strategy": sum(spent), "count": len(sw.stats) + len(sw.failures)}


def research_before(site: str, label: str) -> dict[str, float]:
    """`research_one` on the build in `site` (a site-packages directory), in its own process."""
    import subprocess

    code = (
        f"import json, sys; sys.path[:0] = [{site!r}, {str(HERE)!r}]; import sweep; "
        f"print(json.dumps(sweep.research_one({label!r})))"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])  # type: ignore[no-any-return]


def research_speed(rounds: int, before: str | None = None, before_label: str | None = None) -> str:
    """24 strategy parameter sets x 4 stop levels on a 2,500 x 100 market, serially, side by side in the same
    rounds: this code (the weights reused, the lean path) and the sweep before both (the strategy called for
    every combination, `korvel.backtest(...)` and `Result.stats()`: `FULL_PATH`); for each of
    `RESEARCH_STRATEGIES`.  With `before` (a site-packages directory of an earlier build), that build's sweep
    too, in a fresh process each round, after the rounds of this code.  korvel's own time per combination is
    the sweep's time less the strategy's calls; the engine's is the median of the bare `backtest_ledger`
    calls of the lean sweeps."""
    import korvel
    from korvel import _engine
    from korvel.sweeps import _task

    market = research_market()
    strategy_seconds: list[float] = []
    engine_seconds: list[float] = []
    bare_run = _engine.run

    def timed_engine(*args: Any, **kwargs: Any) -> Any:
        done = bare_run(*args, **kwargs)
        engine_seconds.append(done.seconds)  # the backtest_ledger call alone
        return done

    def timed(strategy: Any) -> Any:
        def call(market: Any, lookback: int, top: int, skip: int) -> pd.DataFrame:
            t0 = time.perf_counter()
            try:
                return strategy(market, lookback, top, skip)
            finally:
                strategy_seconds.append(time.perf_counter() - t0)

        return call

    strategies = {label: timed(f) for label, f in RESEARCH_STRATEGIES.items()}
    modes = ("lean", "before")
    built = {s: [] for s in strategies}  # (seconds, korvel's seconds per combination) of the earlier build
    runs = {(s, m): [] for s in strategies for m in modes}  # seconds of each sweep
    own = {(s, m): [] for s in strategies for m in modes}  # korvel's seconds per combination
    calls: dict[str, list[float]] = {s: [] for s in strategies}  # seconds per strategy call
    engine: list[float] = []  # seconds of each engine call of the lean sweeps
    layer: list[float] = []  # seconds per combination of the lean sweeps less the strategy's and the engine's
    load_before = os.getloadavg()[0]
    warnings.simplefilter("ignore", korvel.KorvelWarning)  # the synthetic market's late listings, on purpose
    for mode in modes:  # a round not counted: the first calls of a process
        _task.FULL_PATH = mode == "before"
        korvel.sweep(momentum, market, RESEARCH_GRID, skip=21, fee=workloads.FEE, progress=False)
    _engine.run = timed_engine  # type: ignore[assignment]
    try:
        for _ in range(rounds):
            for label, strategy in strategies.items():
                reference = None
                for mode in modes:
                    _task.FULL_PATH = mode == "before"
                    strategy_seconds.clear()
                    engine_seconds.clear()
                    t0 = time.perf_counter()
                    sw = korvel.sweep(strategy, market, RESEARCH_GRID, skip=21, fee=workloads.FEE, progress=False)
                    seconds = time.perf_counter() - t0
                    runs[label, mode].append(seconds)
                    own[label, mode].append((seconds - sum(strategy_seconds)) / len(sw))
                    calls[label].extend(strategy_seconds)
                    if mode == "lean":
                        engine.extend(engine_seconds)
                        layer.append((seconds - sum(strategy_seconds) - sum(engine_seconds)) / len(sw))
                    if reference is None:
                        reference = sw.stats
                    elif not sw.stats.equals(reference):
                        raise AssertionError("the stats differ between the lean sweep and the sweep before it")
    finally:
        _task.FULL_PATH = False
        _engine.run = bare_run  # type: ignore[assignment]
    if before:
        # After the rounds above: a process starting (importing, building the market) beside them would
        # leave them the cold caches and the busy core it leaves behind.
        for _ in range(rounds):
            for label in strategies:
                r = research_before(before, label)
                built[label].append((r["seconds"], (r["seconds"] - r["strategy"]) / r["count"]))
    # korvel's own time on each strategy's weights with no strategy work between the runs: the weights made
    # beforehand and looked up (what the strategy's calls leave in the caches is then not counted).
    looked_up: dict[str, list[float]] = {label: [] for label in strategies}
    for label in strategies:
        made = {key: RESEARCH_STRATEGIES[label](market, *key, 21) for key in product(*RESEARCH_GRID_SETS)}

        def lookup(market: Any, lookback: int, top: int, skip: int, made: dict[Any, Any] = made) -> pd.DataFrame:
            return made[lookback, top]

        for count in range(rounds + 1):  # the first not counted
            t0 = time.perf_counter()
            sw = korvel.sweep(lookup, market, RESEARCH_GRID, skip=21, fee=workloads.FEE, progress=False)
            if count:
                looked_up[label].append((time.perf_counter() - t0) / len(sw))
    med = {k: statistics.median(v) for k, v in runs.items()}
    ms = {k: 1000 * statistics.median(v) for k, v in own.items()}
    engine_ms = 1000 * statistics.median(engine)
    lines = [
        f"Written by `benchmarks/sweep.py --research --rounds {rounds}` on "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, load average (1 min) before / after "
        f"{load_before:.2f} / {os.getloadavg()[0]:.2f} on the 2 cores: "
        f"{len(korvel.grid(RESEARCH_GRID))} combinations (24 strategy parameter sets x 4 stop levels, fee "
        f'{workloads.FEE}) on 2,500 x 100, serially, `keep="stats"`. "Before": the sweep as it was before '
        "the weights were reused and the lean path (the strategy called for every combination, "
        "`korvel.backtest(...)` and `Result.stats()`: `korvel.sweeps._task.FULL_PATH = True`), run side by side "
        "with this code in the same rounds; the stats of the two are equal bit for bit. korvel's own time: the "
        "sweep's time less the strategy's calls, per combination.",
        "",
        "| strategy (a call) | before | lean | lean / before (goal >= 3x) | korvel's own ms a combination, "
        "before / lean (goal <= 1.5) |",
        "|---|---|---|---|---|",
    ]
    for label in strategies:
        full, lean = med[label, "before"], med[label, "lean"]
        lines.append(
            f"| {label} ({1000 * statistics.median(calls[label]):.1f} ms) | {full:.3f} s | {lean:.3f} s "
            f"| {full / lean:.2f}x | {ms[label, 'before']:.2f} / {ms[label, 'lean']:.2f} |"
        )
    if before:
        lines += [
            "",
            f"Against the earlier build ({before_label or before}), its own sweep (the strategy called for every "
            "combination), in a fresh process each round after one sweep not counted (these rounds after the ones "
            "above):",
            "",
            "| strategy | earlier build | lean | earlier / lean (goal >= 3x) | korvel's own ms a combination, "
            "earlier / lean |",
            "|---|---|---|---|---|",
        ]
        for label in strategies:
            then = statistics.median(r[0] for r in built[label])
            then_ms = 1000 * statistics.median(r[1] for r in built[label])
            lean = med[label, "lean"]
            lines.append(
                f"| {label} | {then:.3f} s | {lean:.3f} s | {then / lean:.2f}x | {then_ms:.2f} / "
                f"{ms[label, 'lean']:.2f} |"
            )
    lines += [
        "",
        "korvel's own time a combination on the same weights made beforehand and looked up (no strategy work "
        "between the runs, so none of what it leaves in the caches): "
        + "; ".join(f"{label} {1000 * statistics.median(v):.2f} ms" for label, v in looked_up.items())
        + ".",
        "",
        f"The engine's share: the bare `backtest_ledger` call takes {engine_ms:.2f} ms (the median of the lean "
        f"sweeps' {len(engine)} calls; {1000 * statistics.mean(engine):.2f} ms on average); the layer, all of "
        "a lean sweep's time but the strategy's and the engine's calls, "
        f"{1000 * statistics.median(layer):.2f} ms a combination (the median of the lean sweeps). Every sweep (s): "
        + "; ".join(f"{s}, {m}: " + ", ".join(f"{v:.3f}" for v in vs) for (s, m), vs in runs.items())
        + ".",
    ]
    return "\n".join(lines)


# --------------------------------------------------------------------------- flat client memory


def cheap(market: Any, top: int) -> pd.DataFrame:
    """Equal weights on the `top` instruments of highest close at each month end (cheap, reused per `top`)."""
    close = market.close.to_numpy()
    dates = market.dates
    rows = np.flatnonzero(np.append(dates[1:].month != dates[:-1].month, True))
    score = np.nan_to_num(close[rows], nan=-np.inf)
    pick = np.argsort(-score, axis=1, kind="stable")[:, :top]
    weights = np.zeros_like(score)
    np.put_along_axis(weights, pick, 1.0 / top, axis=1)
    weights[np.isneginf(score)] = 0.0
    return pd.DataFrame(weights, index=dates[rows], columns=market.instruments)


def flat_grid(count: int) -> dict[str, list[Any]]:
    """`count` combinations (a multiple of 10): 10 book sizes x count / 10 stop losses, as axes."""
    stops = [round(0.01 + 0.3 * k / (count // 10), 9) for k in range(count // 10)]
    return {"top": list(range(5, 55, 5)), "stop_loss": stops}


def flat_one(count: int, where: str) -> dict[str, Any]:
    """In this (fresh) process: one sweep of `count` combinations with a store, the client's PSS as it goes."""
    import tempfile

    import distributed

    import korvel
    from korvel import synthetic

    market = korvel.Market(synthetic.to_layer(synthetic.generate_market(100, 2500, 8))[0].close)
    base = _pss(os.getpid())
    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as stack:
        client = None
        if where == "dask":
            client = stack.enter_context(distributed.Client(stack.enter_context(cluster(2))))
        t0 = time.perf_counter()
        with PssTrace() as trace:
            sw = korvel.sweep(
                cheap, market, flat_grid(count), executor=client, progress=False, checkpoint=Path(tmp) / "s.store"
            )
        seconds = time.perf_counter() - t0
        samples = trace.samples
        end = _pss(os.getpid())  # the sweep returned, before any frame of it is built
        ran = len(sw.stats)
        assert sw.failures.empty, sw.failures
        with_stats = _pss(os.getpid())
        store = sum(f.stat().st_size for f in (Path(tmp) / "s.store").rglob("*") if f.is_file())
    tenth = samples[max(0, len(samples) // 10)][1]
    return {
        "where": where,
        "count": count,
        "ran": ran,
        "seconds": seconds,
        "base": base,
        "pss_tenth": tenth,
        "pss_end": end,
        "pss_with_stats": with_stats,
        "pss_max": max(p for _, p in samples),
        "store": store,
    }


def flat_report(runs: list[dict[str, Any]]) -> str:
    def mib(b: float) -> str:
        return f"{b / MIB:,.0f} MiB"

    lines = [
        "## Sweep client memory over a long sweep",
        "",
        f"{runs[0]['count']:,} combinations of a cheap strategy (10 book sizes x {runs[0]['count'] // 10:,} stop "
        "losses, the weights reused) on a 2,500 x 100 close-only market, with a results store; the client "
        "process's PSS (on Dask: the client and the scheduler), sampled every 0.5 s; the end is read once the "
        "sweep has returned, before `sw.stats` builds its frame (the last column: after).",
        "",
        "| run | seconds | per combination | PSS a tenth in | PSS at the end | highest | end less tenth | store "
        "| with sw.stats |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in runs:
        label = "serial" if r["where"] == "serial" else "Dask, 2 workers"
        lines.append(
            f"| {label} | {r['seconds']:,.0f} | {1e3 * r['seconds'] / r['count']:.1f} ms | {mib(r['pss_tenth'])} "
            f"| {mib(r['pss_end'])} | {mib(r['pss_max'])} | {(r['pss_end'] - r['pss_tenth']) / MIB:+,.1f} MiB "
            f"| {mib(r['store'])} | {mib(r['pss_with_stats'])} |"
        )
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3, help="rounds of the throughput sweeps (3)")
    p.add_argument("--big", type=int, default=10_000, help="combinations of the long sweep (10,000)")
    p.add_argument("--scale", type=float, default=1.0, help="market sizes as a fraction (1.0)")
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    p.add_argument("--mapped-peak", metavar="PATH", help="only: the peak memory of a mapped Dask sweep on PATH")
    p.add_argument("--long-only", action="store_true", help="only: the long sweep of --big combinations")
    p.add_argument("--research", action="store_true", help="only: the research-speed figures (24 x 4 sweep)")
    p.add_argument("--before", metavar="SITE", help="with --research: an earlier build's sweep too")
    p.add_argument("--before-label", help="what the earlier build is, in the figures' text (its folder)")
    p.add_argument("--flat", type=int, metavar="N", help="only: the client's memory over sweeps of N combinations")
    p.add_argument("--flat-one", choices=("serial", "dask"), help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.flat and opts.flat_one:
        print(json.dumps(flat_one(opts.flat, opts.flat_one)))
        return 0
    if opts.flat:
        import subprocess

        runs = []
        for where in ("serial", "dask"):
            out = subprocess.run(
                [sys.executable, __file__, "--flat", str(opts.flat), "--flat-one", where],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
            runs.append(json.loads(out.strip().splitlines()[-1]))
            print(json.dumps(runs[-1]), flush=True)
        text = flat_report(runs)
        print(text)
        if opts.write:
            results_file.write_section(HERE / "RESULTS.md", "sweep-flat", text)
        return 0
    if opts.research:
        text = "## Sweep research speed\n\n" + research_speed(opts.rounds, opts.before, opts.before_label) + "\n"
        print(text)
        if opts.write:
            results_file.write_section(HERE / "RESULTS.md", "sweep-research", text)
        return 0
    if opts.long_only:
        import tempfile

        import distributed

        import korvel
        from korvel import synthetic

        market = korvel.Market(synthetic.to_layer(synthetic.generate_market(500, 2500, 8))[0].close)
        with tempfile.TemporaryDirectory() as tmp, cluster(2) as two, distributed.Client(two) as client:
            print(json.dumps(long_sweep(client, opts.big, market, Path(tmp) / "long.store")))
        return 0
    if opts.mapped_peak:
        print(json.dumps(mapped_peak(opts.mapped_peak)))
        return 0
    m = measure(opts.rounds, opts.big, opts.scale)
    text = report(m)
    print(text)
    if opts.write:
        if opts.scale != 1.0:
            print("not written: --scale is not 1.0", file=sys.stderr)
            return 1
        results_file.write_section(HERE / "RESULTS.md", SECTION, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
