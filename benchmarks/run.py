"""Benchmarks of korvel's engine, side by side with vectorbt and bt.

    python benchmarks/run.py                 # everything, writes benchmarks/RESULTS.md
    python benchmarks/run.py --only W1,W2    # some workloads
    python benchmarks/run.py --no-peers      # korvel only
    python benchmarks/run.py --quick         # scaled-down smoke run (figures not comparable)

Every (workload, tool) pair runs in its own process: the inputs are built
there, one untimed first call warms up (and its time is kept as the first
call), then the timed calls follow; their median is reported.  Memory is the
peak resident set size above the resident size right before one further call
(inputs and earlier results excluded), plus the peak of Python / NumPy
allocations seen by tracemalloc during another call.  The workloads are
described in workloads.py.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import measure  # noqa: E402
import peers  # noqa: E402
import results_file  # noqa: E402
import workloads  # noqa: E402

MiB = 1024**2


# --------------------------------------------------------------------------- worker


def _korvel_call(args):
    from korvel.core import excursion, portsim

    def call():
        equity = portsim.backtest_(**args)
        return equity, len(excursion.trades)

    def clear():
        for name in ("trades", "trade_positions", "excursion"):
            lst = getattr(excursion, name, None)
            if isinstance(lst, list):
                lst.clear()

    return call, clear


def worker(system: str, key: str, repeat: int, budget: float, first_only: bool, scale: float, out_dir: str) -> dict:
    w = workloads.ALL[key]
    if scale != 1.0:
        w = w.scaled(scale)
    t0 = time.perf_counter()
    market, weights, args = w.build()
    build_s = time.perf_counter() - t0
    inputs_bytes = market.nbytes + args["pos_values"].nbytes
    clear = lambda: None  # noqa: E731
    prep_s = 0.0
    if system == "korvel":
        call, clear = _korvel_call(args)
    elif system == "reference":
        call = lambda: (peers.reference_equity(args), None)  # noqa: E731
    elif system in ("vectorbt", "vectorbt-rust"):
        t0 = time.perf_counter()
        call = peers.VectorbtRun(args, engine="rust" if system == "vectorbt-rust" else "numba")
        prep_s = time.perf_counter() - t0
    elif system == "bt":
        t0 = time.perf_counter()
        call = peers.BtRun(args)
        prep_s = time.perf_counter() - t0
    else:
        raise ValueError(system)

    (equity, n_trades), first_s = measure.time_call(call)
    res = {
        "system": system,
        "workload": key,
        "describe": w.describe(),
        "build_s": build_s,
        "prep_s": prep_s,
        "first_s": first_s,
        "trades": n_trades,
        "inputs_bytes": inputs_bytes,
        "rows": w.rows,
        "instruments": w.instruments,
        "holdings": w.holdings,
    }
    if first_only:
        return res
    times = []
    spent = 0.0
    while len(times) < repeat and (len(times) < 1 or spent < budget):
        (equity, n_trades), dt = measure.time_call(call)
        times.append(dt)
        spent += dt
    res.update(measure.summarize_times(times))
    res["trades"] = n_trades
    np.save(os.path.join(out_dir, f"{key}-{system}.npy"), np.asarray(equity, dtype=np.float64))
    del equity
    clear()
    _, res["rss_peak"] = measure.peak_above_baseline(call)
    clear()
    _, res["traced_peak"] = measure.traced_peak(call)
    return res


def spawn(system: str, key: str, opts, out_dir: str, first_only: bool = False, env: dict | None = None):
    cmd = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--worker",
        system,
        key,
        "--out",
        out_dir,
        "--budget",
        str(opts.budget),
        "--scale",
        str(opts.scale),
    ]
    if opts.repeat:
        cmd += ["--repeat", str(opts.repeat)]
    if first_only:
        cmd.append("--first-only")
    label = f"{key} {system}{' (first call, empty JIT cache)' if first_only else ''}"
    print(f"  {label} ...", end="", flush=True)
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, **(env or {})})
    if proc.returncode != 0:
        print(f" failed ({time.perf_counter() - t0:.0f}s)\n{proc.stderr[-2000:]}")
        return None
    res = json.loads(proc.stdout.strip().splitlines()[-1])
    shown = res.get("median", res["first_s"])
    print(f" {shown:.3f}s ({time.perf_counter() - t0:.0f}s wall)")
    return res


# --------------------------------------------------------------------------- report


def _s(x):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "n/a"
    if x >= 100:
        return f"{x:.0f} s"
    if x >= 1:
        return f"{x:.2f} s"
    if x >= 1e-3:
        return f"{x * 1e3:.1f} ms"
    return f"{x * 1e6:.0f} µs"


def _ns(x):
    return "n/a" if x is None else (f"{x * 1e9:.0f} ns" if x * 1e9 >= 10 else f"{x * 1e9:.2f} ns")


def _mib(x):
    return "n/a" if x is None else f"{x / MiB:.0f} MiB"


def _ratio(a, b):
    return "n/a" if not a or not b else f"{a / b:.1f}x"


W2_LIMIT = (
    "W2 is bound by its trade records: with default settings every holding resized at a rebalance is "
    "closed and re-opened as a new trade record, so a daily rebalance of 200 holdings leaves about "
    "200 records a row, each a Python list, two NumPy scalars and a NumPy statistics array appended "
    "to the recorder's lists. Creating those objects (the NumPy array constructor alone is about 900 "
    "instructions) is most of the time per record; the engine's own work per row is small "
    "(W2R, which keeps holdings whole, leaves 6x fewer records)."
)


def goals_section(results: dict) -> list:
    """Where the measured figures stand against the targets."""

    def median(key, system):
        r = results.get((key, system))
        return r["median"] if r else None

    rows = []
    for key, label in (("P1", "W1"), ("P2", "W2")):
        peer, own = median(key, "vectorbt"), median(key, "korvel")
        if peer and own:
            ratio = peer / own
            rows.append((f"{label}: at least 10x faster than vectorbt's steady state", f"{ratio:.1f}x", ratio >= 10))
    w1 = results.get(("W1", "korvel"))
    if w1:
        per_cell = w1["median"] / (w1["rows"] * w1["holdings"]) * 1e9
        rows.append(("W1: under 100 ns per (row x holding), statistics included", f"{per_cell:.0f} ns", per_cell < 100))
    w4 = results.get(("W4", "korvel"))
    if w4 and w4["inputs_bytes"]:
        share = w4["rss_peak"] / w4["inputs_bytes"] * 100
        rows.append(("W4: peak memory beyond the inputs under 10% of their size", f"{share:.1f}%", share < 10))
    if not rows:
        return []
    out = ["## Goals\n", "| goal | measured | met |", "|---|---|---|"]
    out += [f"| {goal} | {value} | {'yes' if met else 'no'} |" for goal, value, met in rows]
    out.append("")
    if any(goal.startswith("W2") and not met for goal, _, met in rows):
        out += [W2_LIMIT, ""]
    return out


def write_report(path: Path, info: dict, results: dict, diffs: list, notes: list, opts) -> None:
    L = []
    L.append("# Benchmark results\n")
    L.append(
        f"Written by `benchmarks/run.py` on {time.strftime('%Y-%m-%d %H:%M %Z')}"
        f"{' with --quick: scaled-down workloads, not comparable' if opts.scale != 1.0 else ''}.\n"
    )
    L.append("## Machine\n")
    for k, v in info.items():
        L.append(f"- {k}: {v}")
    L.append("")
    L.append("## Method\n")
    L.append(
        "Every (workload, tool) pair runs in a fresh process. Inputs are built first (synthetic "
        "market, momentum weight rows; not timed). One untimed call warms up, its time is the "
        "*first call*; then the call is timed up to the repeat count (or until the time budget "
        f"of {opts.budget:.0f} s is used) and the **median** is reported, with the fastest call (*min*) "
        "beside it: the machine may be shared, "
        "and the load average below the machine description tells how busy it was. *Peak RSS* is the rise of "
        "the process's peak resident set above its resident size just before one more call "
        "(the inputs and earlier results are not counted); *traced* is the peak of Python and NumPy "
        "allocations seen by tracemalloc in yet another call (native containers are not traced).\n"
    )
    L.append(
        "Workloads (markets trade at the next open unless stated; settings not listed are the "
        "engine's defaults, e.g. fee_ratio 0.001425 and tax_ratio 0.003; see `benchmarks/workloads.py`):\n"
    )
    for w in workloads.ALL.values():
        L.append(f"- **{w.key}** {w.title}: {w.describe()}")
    L.append("")
    L.append(
        "*Per row x holding* divides the median by price rows x target number of holdings; "
        "*per trade* divides it by the trade records the run leaves.\n"
    )

    L.append("## korvel\n")
    L.append(
        "| workload | median | min | first call | runs | trades recorded | per row x holding | per trade "
        "| peak RSS above inputs | traced peak | inputs |"
    )
    L.append("|---|---|---|---|---|---|---|---|---|---|---|")
    for key in workloads.ALL:
        r = results.get((key, "korvel"))
        if not r:
            continue
        per_cell = r["median"] / (r["rows"] * r["holdings"])
        per_trade = r["median"] / r["trades"] if r["trades"] else None
        L.append(
            f"| {key} {workloads.ALL[key].title} | {_s(r['median'])} | {_s(r['min'])} | {_s(r['first_s'])} "
            f"| {len(r['times'])} | {r['trades']:,} | {_ns(per_cell)} | {_ns(per_trade)} "
            f"| {_mib(r['rss_peak'])} | {_mib(r['traced_peak'])} | {_mib(r['inputs_bytes'])} |"
        )
    L.append("")

    peer_rows = [(k, s) for (k, s) in results if s not in ("korvel", "reference")]
    if peer_rows:
        L.append("## Peers\n")
        L.append(
            "Same market, same weight rows on the same price rows, same trading price and close; "
            "commission only (no tax) and no stops in P1/P2 because target-percent orders cannot "
            "express korvel's exit rules; the korvel figure in each ratio is korvel on the same "
            "configuration. vectorbt: `Portfolio.from_orders(size_type='targetpercent', "
            "cash_sharing=True, group_by=True, call_seq='auto', val_price=trading price, "
            "init_cash=1e6, min_size=0)` + `Portfolio.value()` (divided by 1e6); with its default "
            "minimum order of 1e-8 shares vectorbt drops small rebalancing trades of a book worth 1. "
            "bt: `WeighTarget` + `Rebalance`, fractional positions, trading and valuing at the "
            "close. *First call, empty JIT cache* runs with a fresh `NUMBA_CACHE_DIR`; the other "
            "first calls find numba's on-disk cache filled.\n"
        )
        L.append(
            "| workload | tool | median (steady) | min | first call | first call, empty JIT cache "
            "| korvel median | peer / korvel (medians) | (mins) | peak RSS above inputs | traced peak |"
        )
        L.append("|---|---|---|---|---|---|---|---|---|---|---|")
        for key in workloads.ALL:
            for system in ("vectorbt", "vectorbt-rust", "bt"):
                r = results.get((key, system))
                if not r:
                    continue
                cold = results.get((key, system + " cold"))
                k = results.get((key, "korvel"))
                km = k["median"] if k else None
                kmin = k["min"] if k else None
                L.append(
                    f"| {key} | {system} | {_s(r['median'])} | {_s(r['min'])} | {_s(r['first_s'])} "
                    f"| {_s(cold['first_s']) if cold else '-'} | {_s(km)} | {_ratio(r['median'], km)} "
                    f"| {_ratio(r['min'], kmin)} | {_mib(r['rss_peak'])} | {_mib(r['traced_peak'])} |"
                )
        L.append("")
    if diffs:
        L.append("## Agreement of equity curves\n")
        L.append(
            "Exact workloads (clean market, trading at the close, no fees, no stops): largest "
            "absolute difference between equity curves (starting capital 1).\n"
        )
        L.append("| workload | compared | max abs difference |")
        L.append("|---|---|---|")
        for key, a, b, d in diffs:
            L.append(f"| {key} | {a} vs {b} | {d:.3g} |")
        L.append("")
    L.extend(goals_section(results))
    if notes:
        L.append("## Notes\n")
        L.extend(f"- {n}" for n in notes)
        L.append("")
    # Sections other scripts wrote into the file (marked) are kept.
    results_file.write_report(path, "\n".join(L))


# --------------------------------------------------------------------------- main


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", help="comma-separated workload keys (W1..W4, P1, P2, X1, X2, XB)")
    p.add_argument("--no-peers", action="store_true", help="korvel only")
    p.add_argument("--repeat", type=int, help="timed calls per pair (default: the workload's count)")
    p.add_argument("--budget", type=float, default=60.0, help="seconds of timed calls per pair (60)")
    p.add_argument("--quick", action="store_true", help="scaled-down workloads for a smoke run")
    p.add_argument("--results", default=str(HERE / "RESULTS.md"), help="report to write")
    p.add_argument("--json", metavar="PATH", help="also write the measurements as JSON (for engine_goals.py)")
    p.add_argument("--worker", nargs=2, metavar=("SYSTEM", "WORKLOAD"), help=argparse.SUPPRESS)
    p.add_argument("--first-only", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--out", help=argparse.SUPPRESS)
    p.add_argument("--scale", type=float, default=1.0, help=argparse.SUPPRESS)
    opts = p.parse_args(argv)
    if opts.quick:
        opts.scale = 0.1 if opts.scale == 1.0 else opts.scale

    if opts.worker:
        system, key = opts.worker
        repeat = opts.repeat or workloads.ALL[key].repeat
        res = worker(system, key, repeat, opts.budget, opts.first_only, opts.scale, opts.out)
        print(json.dumps(res))
        return 0

    from korvel.core import portsim

    if not hasattr(portsim, "backtest_"):
        print("korvel.core.portsim has no backtest_ in this build: nothing to measure", file=sys.stderr)
        return 2
    keys = opts.only.split(",") if opts.only else list(workloads.ALL)
    unknown = [k for k in keys if k not in workloads.ALL]
    if unknown:
        p.error(f"unknown workloads: {unknown}")
    notes = []
    tools = {
        "vectorbt": peers.available("vectorbt"),
        "vectorbt-rust": peers.available("vectorbt-rust"),
        "bt": peers.available("bt"),
    }
    if not opts.no_peers:
        for name, ok in tools.items():
            if not ok:
                msg = f"{name} is not installed: skipped (pip install 'korvel[bench]')"
                print(msg)
                notes.append(msg)
    plan = []
    for key in keys:
        plan.append(("korvel", key, False))
        if opts.no_peers:
            continue
        if key in ("P1", "P2", "X1", "X2") and tools["vectorbt"]:
            plan.append(("vectorbt", key, False))
            if key in ("P1", "P2"):
                plan.append(("vectorbt", key, True))
        if key in ("P1", "P2", "X1", "X2") and tools["vectorbt-rust"]:
            plan.append(("vectorbt-rust", key, False))
        if key == "XB" and tools["bt"]:
            plan.append(("bt", key, False))
        if key in ("X1", "X2", "XB"):
            plan.append(("reference", key, False))

    results = {}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="korvel-bench-") as out_dir:
        print(f"{len(plan)} runs")
        for system, key, cold in plan:
            env = None
            if cold:
                env = {"NUMBA_CACHE_DIR": tempfile.mkdtemp(prefix="numba-cold-", dir=out_dir)}
            r = spawn(system, key, opts, out_dir, first_only=cold, env=env)
            if r is None:
                notes.append(f"{key} {system}{' (cold)' if cold else ''}: failed, see the console")
                continue
            results[(key, system + (" cold" if cold else ""))] = r
        diffs = []
        for key in keys:
            if key not in ("X1", "X2", "XB"):
                continue
            base = Path(out_dir, f"{key}-korvel.npy")
            if not base.exists():
                continue
            eq = np.load(base)
            for other in ("reference", "vectorbt", "vectorbt-rust", "bt"):
                f = Path(out_dir, f"{key}-{other}.npy")
                if f.exists():
                    diffs.append((key, "korvel", other, float(np.max(np.abs(np.load(f) - eq)))))
    for key, a, b, d in diffs:
        print(f"  {key}: max |{a} - {b}| = {d:.3g}")
    info = measure.machine()
    load_after = os.getloadavg()
    info["load average (1 min) before / after the runs"] = f"{load_before[0]:.2f} / {load_after[0]:.2f}"
    write_report(Path(opts.results), info, results, diffs, notes, opts)
    print(f"wrote {opts.results}")
    if opts.json:
        Path(opts.json).write_text(json.dumps({f"{k}|{s}": r for (k, s), r in results.items()}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
