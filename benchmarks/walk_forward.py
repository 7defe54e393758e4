"""What a walk-forward costs next to the sweep it is built on: 200 combinations on W1's market.

    python benchmarks/walk_forward.py              # W1's market, 2 rounds
    python benchmarks/walk_forward.py --write      # and write the figures into benchmarks/RESULTS.md
    python benchmarks/walk_forward.py --scale 0.2  # a smaller market, for a quick look

The market is W1's (5000 rows x 2000 instruments); the strategy is the
momentum book of `benchmarks/sweep.py` (the `top` instruments by their
return over `lookback` rows, skipping the last `skip`, rebalanced at each
month end) and the grid is 5 lookbacks x 4 book sizes x 10 skips = 200
combinations of strategy parameters (a walk-forward's grid holds no rules),
with W1's rules fixed.  Each round runs, serially and then on the local
pool of 2 workers, the sweep (``keep="stats"``) and the walk-forward over
the same grid (3-year rolling train windows, 6-month test windows): the
walk-forward is one backtest per combination (its sweep keeps the equity
too) plus the fold choices and one stitched backtest, so it should cost
about the same.  Medians over the rounds.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path
from typing import Any

import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import results_file  # noqa: E402
import workloads  # noqa: E402
from sweep import momentum  # noqa: E402

SECTION = "walk-forward"
GRID = {
    "lookback": [63, 126, 189, 252, 378],
    "top": [10, 25, 50, 100],
    "skip": [0, 2, 5, 10, 15, 21, 30, 42, 50, 60],
}
FIXED = dict(
    fee=workloads.FEE,
    tax=workloads.TAX,
    stop_loss=0.1,
    take_profit=0.3,
    trail_stop=0.1,
    trail_activation=0.05,
    excursion_window=20,
    excursion_step=5,
)
# (train, test, as the report says them): W1's market, and a scaled one of at least 400 rows.
WINDOWS = {
    True: (pd.DateOffset(years=3), pd.DateOffset(months=6), "3-year rolling train windows and 6-month test windows"),
    False: (pd.DateOffset(years=1), pd.DateOffset(months=3), "1-year rolling train windows and 3-month test windows"),
}


def measure(scale: float, rounds: int) -> dict[str, Any]:
    import korvel
    from korvel import synthetic

    load_before = os.getloadavg()[0]
    w = workloads.W1 if scale == 1.0 else workloads.W1.scaled(scale)
    train, test, m_windows = WINDOWS[scale == 1.0]
    generated, _, _ = w.build()
    market, _ = synthetic.to_layer(generated)
    del generated
    times: dict[str, list[float]] = {}
    m: dict[str, Any] = {"windows": m_windows}
    for _ in range(rounds):
        for where, executor, workers in (("serial", None, None), ("pool", "processes", 2)):
            t0 = time.perf_counter()
            sw = korvel.sweep(momentum, market, GRID, executor=executor, workers=workers, progress=False, **FIXED)
            times.setdefault(f"sweep {where}", []).append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            wf = korvel.walk_forward(
                momentum,
                market,
                GRID,
                train=train,
                test=test,
                executor=executor,
                workers=workers,
                progress=False,
                **FIXED,
            )
            times.setdefault(f"walk-forward {where}", []).append(time.perf_counter() - t0)
            # Beyond its sweep: the folds' figures, the chosen strategies' weights, the stitched backtest.
            times.setdefault(f"own {where}", []).append(times[f"walk-forward {where}"][-1] - wf.sweep.elapsed)
            assert sw.failures.empty and wf.sweep.failures.empty
            pd.testing.assert_frame_equal(wf.sweep.stats, sw.stats, check_exact=True)
            if "folds" in m:
                pd.testing.assert_frame_equal(wf.folds, m["folds"], check_exact=True)
            m["folds"] = wf.folds
            m["stitched"] = wf.result.engine_seconds
            m["efficiency"] = wf.efficiency
            m["oos"] = wf.result.stats()
    m.update(
        workload=w.describe(),
        shape=market.shape,
        combos=len(korvel.grid(GRID)),
        rounds=rounds,
        load=(load_before, os.getloadavg()[0]),
        times=times,
        median={k: statistics.median(v) for k, v in times.items()},
    )
    return m


def report(m: dict[str, Any]) -> str:
    med, times = m["median"], m["times"]
    sec = lambda s: f"{s:.2f} s"  # noqa: E731
    folds = m["folds"]
    lines = [
        "## Walk-forward",
        "",
        f"Written by `benchmarks/walk_forward.py` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} "
        f"(2 shared cores; load average (1 min) before / after: {m['load'][0]:.2f} / {m['load'][1]:.2f}). "
        f"{m['combos']} combinations (5 lookbacks x 4 book sizes x 10 skips) of the momentum "
        f"strategy of `benchmarks/sweep.py` on W1's market ({m['shape'][0]} x {m['shape'][1]}), W1's rules; "
        f"{len(folds)} folds of {m['windows']}, chosen by sharpe; "
        f"medians of {m['rounds']} rounds. The walk-forward's sweep gives the sweep's stats bit for bit, and "
        "its folds are the same in every round and on both executors.",
        "",
        "| executor | sweep | walk-forward | ratio | beyond its sweep |",
        "|---|---|---|---|---|",
    ]
    for where, label in (("serial", "serial"), ("pool", "2 local workers")):
        s, w = med[f"sweep {where}"], med[f"walk-forward {where}"]
        runs = ", ".join(sec(t) for t in times[f"walk-forward {where}"])
        lines.append(f"| {label} | {sec(s)} | {sec(w)} ({runs}) | {w / s:.2f} | {sec(med[f'own {where}'])} |")
    oos = m["oos"]
    lines += [
        "",
        "*Beyond its sweep*: the walk-forward's time less its sweep's (the folds' figures, "
        f"{len(folds)} folds x {m['combos']} combinations, the chosen combinations' weights and the stitched "
        f"backtest, {m['stitched'] * 1000:.1f} ms of it in the engine). On a shared machine the sweep times vary "
        f"by more than that from run to run. Out of sample: cagr {oos['cagr']:.2%}, sharpe {oos['sharpe']:.2f}, "
        f"walk-forward efficiency {m['efficiency']:.2f}.",
    ]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=2, help="rounds (2)")
    p.add_argument("--scale", type=float, default=1.0, help="market size as a fraction of W1's (1.0)")
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    opts = p.parse_args(argv)
    text = report(measure(opts.scale, opts.rounds))
    print(text)
    if opts.write:
        if opts.scale != 1.0:
            print("not written: --scale is not 1.0", file=sys.stderr)
            return 1
        results_file.write_section(HERE / "RESULTS.md", SECTION, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
