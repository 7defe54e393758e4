"""What a parameter sweep gains from workers: korvel.sweep serially, on 2 local workers and on a 2-worker Dask cluster.

    python benchmarks/sweep.py                  # W1-size market, 200 combinations, 3 rounds
    python benchmarks/sweep.py --write          # and write the figures into benchmarks/RESULTS.md
    python benchmarks/sweep.py --scale 0.2      # a smaller market, for a quick look

The market is W1's (5000 rows x 2000 instruments, open/high/low/close);
the strategy is a momentum book (the `top` instruments by their return over
`lookback` rows, skipping the last 21, equal weights, rebalanced at each
month end), and the grid is 5 lookbacks x 4 book sizes x 10 stop losses =
200 combinations, with W1's other rules fixed.  Each round runs the three
sweeps one after the other (serial, then the local pool of 2 forked
workers, then the Dask cluster, started once before the rounds: a scheduler
in this process and 2 worker processes of one thread each); the medians
over the rounds are reported.  The three must agree bit for bit.

*Parallel efficiency* is serial time / (workers x parallel time); the
parallel times include everything the sweep does (starting the local
workers; scattering the market to the Dask workers).  *Bytes per task* are
counted on the local pool's pipes (pickled task, pickled answer); for Dask
they are the pickled size of a task's function reference and arguments (two
future keys and the parameters) and of its answer.  *Peak memory* is the
highest proportional set size (PSS: shared pages divided among the
processes sharing them) of this process and all its descendants, sampled
every 20 ms during one more sweep of each kind after the timed rounds (the
sampler costs CPU time; the Dask worker processes are left out of the
serial and local sweeps), less the PSS of this process before the
market was built (the interpreter with korvel, pandas and distributed
imported).
"""

from __future__ import annotations

import argparse
import os
import pickle
import statistics
import sys
import threading
import time
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
GRID = {
    "lookback": [63, 126, 189, 252, 378],
    "top": [10, 25, 50, 100],
    "stop_loss": [0.05, 0.075, 0.1, 0.125, 0.15, 0.2, 0.25, 0.3, 0.4, None],
}
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


def run_once(executor: Any, market: Any) -> tuple[Any, float]:
    import korvel

    t0 = time.perf_counter()
    sw = korvel.sweep(momentum, market, GRID, executor=executor, progress=False, **FIXED)
    return sw, time.perf_counter() - t0


def peak_of_one(executor: Any, market: Any, exclude: frozenset[int]) -> int:
    """Peak PSS of one more sweep, sampled (the timed rounds run without the sampler)."""
    with PeakSampler(exclude) as sampler:
        run_once(executor, market)
    return sampler.peak


def dask_task_bytes(client: Any, market: Any) -> tuple[int, int, float]:
    """Pickled size of one task's function reference and arguments and of one answer; seconds of the
    market's scatter to every worker."""
    import cloudpickle

    from korvel.sweeps._task import Job, run_task

    job = Job(momentum, {"skip": 21}, {k: v for k, v in FIXED.items() if k != "skip"}, ("stats",))
    job_f = client.scatter(job, broadcast=True, hash=False)
    t0 = time.perf_counter()
    market_f = client.scatter(market, broadcast=True, hash=False)
    scatter = time.perf_counter() - t0
    params = {"lookback": 378, "top": 100, "stop_loss": 0.075}
    task = cloudpickle.dumps((run_task, (job_f.key, market_f.key, params)))
    answer = client.submit(run_task, job_f, market_f, params, pure=False).result()
    client.cancel([job_f, market_f])
    return len(task), len(pickle.dumps(answer, protocol=pickle.HIGHEST_PROTOCOL)), scatter


def task_seconds(client: Any, market: Any) -> float:
    """Median seconds of the compute part of each task of one sweep on the cluster (its task stream)."""
    import distributed

    import korvel

    with distributed.get_task_stream(client) as stream:
        korvel.sweep(momentum, market, GRID, executor=client, progress=False, **FIXED)
    spans = [s["stop"] - s["start"] for row in stream.data for s in row["startstops"] if s["action"] == "compute"]
    return statistics.median(spans)


def cluster(trim: bool) -> Any:
    """A scheduler in this process and two worker processes of one thread each; `trim`: Dask's default
    worker environment (MALLOC_TRIM_THRESHOLD_=65536), else that variable left unset."""
    import dask
    import distributed

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if not trim:
        environ["MALLOC_TRIM_THRESHOLD_"] = None
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, host="127.0.0.1"
        )


NAMES = ("serial", "pool", "dask", "dask_notrim")


def measure(scale: float, rounds: int) -> dict[str, Any]:
    import distributed

    import korvel
    from korvel import synthetic
    from korvel.executors import Processes

    load_before = os.getloadavg()[0]
    base = _pss(os.getpid())
    w = workloads.W1 if scale == 1.0 else workloads.W1.scaled(scale)
    generated, _, _ = w.build()
    market, _ = synthetic.to_layer(generated)
    del generated
    assert isinstance(market, korvel.Market)
    times: dict[str, list[float]] = {name: [] for name in NAMES}
    peaks: dict[str, int] = {}
    m: dict[str, Any] = {"reference": None}

    def timed(name: str, executor: Any) -> None:
        sw, seconds = run_once(executor, market)
        times[name].append(seconds)
        if name == "pool":
            m["pool_traffic"] = executor.traffic
        assert sw.failures.empty, sw.failures
        if m["reference"] is None:
            m["reference"] = sw.stats
        else:
            pd.testing.assert_frame_equal(sw.stats, m["reference"], check_exact=True)

    # Serial, the local pool and Dask with its default worker environment, round after round; then Dask
    # with MALLOC_TRIM_THRESHOLD_ left unset.  A cluster's idle workers are left out of the others' memory.
    for name, trim in (("dask", True), ("dask_notrim", False)):
        with cluster(trim) as local, distributed.Client(local) as client:
            idle = tree_pss()
            workers = frozenset(client.run(os.getpid).values())
            m[f"{name}_task"], m[f"{name}_answer"], m[f"{name}_scatter"] = dask_task_bytes(client, market)
            for _ in range(rounds):
                if trim:
                    timed("serial", None)
                    timed("pool", Processes(2))
                timed(name, client)
            m[f"{name}_task_seconds"] = task_seconds(client, market)
            if trim:
                m["idle_cluster"] = idle - base - market.nbytes
                peaks["serial"] = peak_of_one(None, market, workers) - base
                peaks["pool"] = peak_of_one(Processes(2), market, workers) - base
            peaks[name] = peak_of_one(client, market, frozenset()) - base
            assert len(client.scheduler_info()["workers"]) == 2
    med = {k: statistics.median(v) for k, v in times.items()}
    traffic, reference = m["pool_traffic"], m["reference"]
    m.update(
        {
            "workload": w.describe(),
            "shape": market.shape,
            "market_bytes": market.nbytes,
            "combos": len(korvel.grid(GRID)),
            "rounds": rounds,
            "times": times,
            "median": med,
            "efficiency": {k: med["serial"] / (2 * med[k]) for k in NAMES[1:]},
            "peak": peaks,
            "pool_sent": traffic.sent / traffic.tasks,
            "pool_answer": statistics.median(traffic.per_answer),
            "pool_answer_max": max(traffic.per_answer),
            "interpreter": base,
            "load": (load_before, os.getloadavg()[0]),
            "trades": int(reference["trades"].median()),
        }
    )
    return m


def report(m: dict[str, Any]) -> str:
    sec = lambda s: f"{s:.2f} s"  # noqa: E731
    mib = lambda b: f"{b / MIB:,.0f} MiB"  # noqa: E731
    med, eff, peak, times = m["median"], m["efficiency"], m["peak"], m["times"]
    market = m["market_bytes"]
    per_task = med["serial"] / m["combos"]
    rows = [
        ("serial", "serial (`executor=None`)", "-", "-"),
        ("pool", '2 local workers (`executor="processes", workers=2`, fork)', f"{eff['pool']:.2f}", ">= 0.85"),
        ("dask", "Dask, 2 workers x 1 thread, default worker environment", f"{eff['dask']:.2f}", ">= 0.75"),
        (
            "dask_notrim",
            "Dask, 2 workers x 1 thread, `MALLOC_TRIM_THRESHOLD_` unset",
            f"{eff['dask_notrim']:.2f}",
            ">= 0.75",
        ),
    ]
    lines = [
        "## Parameter sweeps",
        "",
        f"Written by `benchmarks/sweep.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; load average "
        f"(1 min) before / after: {m['load'][0]:.2f} / {m['load'][1]:.2f} (2 cores). {m['combos']} combinations "
        f"(5 lookbacks x 4 book sizes x 10 stop losses) of a momentum strategy on W1's market "
        f"({m['shape'][0]} x {m['shape'][1]}, {mib(market)} of price tables), W1's other rules, "
        f'`keep="stats"`; medians of {m["rounds"]} rounds (serial, local pool and Dask one after the other in '
        "each; then the rounds on the second Dask cluster). The stats of every sweep are identical bit for bit.",
        "",
        "| executor | median | runs | parallel efficiency | goal |",
        "|---|---|---|---|---|",
    ]
    for key, label, e, goal in rows:
        lines.append(f"| {label} | {sec(med[key])} | {', '.join(sec(t) for t in times[key])} | {e} | {goal} |")
    lines += [
        "",
        f"Per combination, serially: {per_task * 1000:.1f} ms (the strategy's weights, the backtest, `stats()`; "
        f"a median of {m['trades']:,} trades). On Dask, scattering the market to both workers took "
        f"{sec(m['dask_scatter'])} (default environment) / {sec(m['dask_notrim_scatter'])}, and a task computed in "
        f"{m['dask_task_seconds'] * 1000:.1f} ms / {m['dask_notrim_task_seconds'] * 1000:.1f} ms (medians of a "
        "task stream). Dask's nanny starts workers with `MALLOC_TRIM_THRESHOLD_=65536` (which also fixes glibc's "
        "mmap threshold, so large temporaries are mapped afresh each time); leaving it unset made no consistent "
        "difference between runs here. The scheduler and the client share this machine's 2 cores with the "
        "workers.",
        "",
        "| bytes per task | to the worker | back (stats) | goal |",
        "|---|---|---|---|",
        f"| local pool (counted on the pipes) | {m['pool_sent']:.0f} B | {m['pool_answer']:.0f} B "
        f"(max {m['pool_answer_max']:.0f} B) | < 10 KiB (no weights travel: the strategy runs in the worker) |",
        f"| Dask (pickled task and answer) | {m['dask_task']} B | {m['dask_answer']} B | < 10 KiB |",
        "",
        "| peak memory above the interpreter (PSS, process tree) | measured "
        "| goal: market + 100 MiB per worker | met |",
        "|---|---|---|---|",
    ]
    for name, label, workers in (
        ("serial", "serial", 1),
        ("pool", "2 local workers", 2),
        ("dask", "Dask", 2),
        ("dask_notrim", "Dask, `MALLOC_TRIM_THRESHOLD_` unset", 2),
    ):
        goal = market + workers * 100 * MIB
        lines.append(f"| {label} | {mib(peak[name])} | {mib(goal)} | {'yes' if peak[name] <= goal else 'no'} |")
    lines += [
        "",
        f"The interpreter (korvel, pandas and distributed imported) was {mib(m['interpreter'])} before the market "
        f"was built; the idle Dask cluster (scheduler and nannies in this process, two worker processes) added "
        f"{mib(m['idle_cluster'])}. Forked local workers read the parent's price tables through shared pages; each "
        "Dask worker holds a copy of the scattered market (on a real cluster, one per worker process), so the Dask "
        "peak on one machine is the market about three times over.",
    ]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3, help="rounds of the three sweeps (3)")
    p.add_argument("--scale", type=float, default=1.0, help="market size as a fraction of W1's (1.0)")
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    opts = p.parse_args(argv)
    m = measure(opts.scale, opts.rounds)
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
