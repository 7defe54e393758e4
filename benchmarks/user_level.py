"""What a user waits for: a backtest, its trades table and its figures, korvel against vectorbt.

    python benchmarks/user_level.py              # timings of both shapes
    python benchmarks/user_level.py --write      # and write them into benchmarks/RESULTS.md

The same target-weight run for both tools, so that the equity curves agree
(checked): the X2 shape (daily long/short, 2500 rows x 500 instruments,
100 long / 100 short, a weight row every row) and the X1 shape (wide monthly,
5000 x 2000, 50 long), clean markets, trading at the close, no fees, no stops.

- korvel: ``korvel.backtest(weights, market, trade_at="close")`` + ``res.trades``
  + ``res.stats()``, with the layer's default (one trade per holding) and with
  ``split_at_rebalance=True`` (a record per rebalance); the Market is built once.
- vectorbt: ``Portfolio.from_orders(...)`` (as `peers.VectorbtRun` sets it up)
  + ``pf.trades.records_readable`` + ``pf.stats()``.

Each measure is called once untimed (imports, JIT compilation), then the
tools alternate and the medians are compared.  The machine has 2 cores shared
with other work: the load average is written beside the figures.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers  # noqa: E402
import results_file  # noqa: E402
import workloads  # noqa: E402

SECTION = "user-level"
SHAPES = {"X2": "daily long/short", "X1": "wide monthly"}
# Goals: vectorbt's median over korvel's, per shape and korvel setting (None: none set).
GOALS: dict[tuple[str, bool], float | None] = {
    ("X2", False): 10.0,
    ("X2", True): 6.0,
    ("X1", False): 577.0,
    ("X1", True): None,
}


def prepare(key: str) -> dict[str, Any]:
    from korvel import synthetic

    generated, rows, args = workloads.ALL[key].build()
    market, weights = synthetic.to_layer(generated, rows)
    return {"market": market, "weights": weights, "args": args}


def korvel_measure(inputs: dict[str, Any], split: bool) -> Callable[[], Any]:
    import korvel

    def call() -> Any:
        res = korvel.backtest(inputs["weights"], inputs["market"], trade_at="close", split_at_rebalance=split)
        res.trades
        res.stats()
        return res

    return call


def vectorbt_measure(inputs: dict[str, Any]) -> Callable[[], Any]:
    run = peers.VectorbtRun(inputs["args"])

    def call() -> Any:
        pf = run.simulate()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pf.trades.records_readable
            pf.stats()
        return pf

    return call


def measure(key: str, repeat: int, with_vectorbt: bool) -> dict[str, Any]:
    inputs = prepare(key)
    calls: dict[str, Callable[[], Any]] = {
        "korvel": korvel_measure(inputs, split=False),
        "korvel split": korvel_measure(inputs, split=True),
    }
    if with_vectorbt:
        calls["vectorbt"] = vectorbt_measure(inputs)
    first = {name: call() for name, call in calls.items()}  # warm-up, and the runs compared below
    out: dict[str, Any] = {"trades": len(first["korvel"].trades), "split trades": len(first["korvel split"].trades)}
    equity = first["korvel"].equity.to_numpy()
    np.testing.assert_array_equal(equity, first["korvel split"].equity.to_numpy())
    if with_vectorbt:
        value = np.asarray(first["vectorbt"].value(), dtype=np.float64).reshape(-1) / peers.VectorbtRun.CAPITAL
        out["equity gap"] = float(np.max(np.abs(value[-equity.shape[0] :] - equity)))
        out["vectorbt trades"] = int(first["vectorbt"].trades.count())
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            t0 = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t0)
    out.update({name: statistics.median(t) for name, t in times.items()})
    out["runs"] = repeat
    return out


def report(figures: dict[str, dict[str, Any]], load: tuple[float, float]) -> str:
    ms = lambda s: f"{s * 1e3:,.1f} ms"  # noqa: E731
    lines = [
        "## What a user waits for: backtest + trades + stats, against vectorbt",
        "",
        f"Written by `benchmarks/user_level.py` on {time.strftime('%Y-%m-%d %H:%M %Z')}; 2 cores shared with "
        f"other engineers' work, load average (1 min) before / after: {load[0]:.2f} / {load[1]:.2f}. "
        "Medians of alternating calls in one process, after one untimed call each. korvel: "
        '`korvel.backtest(weights, market, trade_at="close")` + `res.trades` + `res.stats()` (Market built '
        "once); vectorbt: `Portfolio.from_orders(...)` + `pf.trades.records_readable` + `pf.stats()`; the same "
        "target-weight run (clean market, at the close, no fees, no stops).",
        "",
        "| shape | korvel setting | korvel trades | korvel | vectorbt | vectorbt / korvel | goal | equity gap |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for key, f in figures.items():
        vbt = f.get("vectorbt")
        for split in (False, True):
            name = "korvel split" if split else "korvel"
            setting = "`split_at_rebalance=True`" if split else "default (one trade per holding)"
            ratio = vbt / f[name] if vbt else None
            goal = GOALS[(key, split)]
            verdict = "n/a" if ratio is None or goal is None else ("met" if ratio >= goal else "missed")
            target = "none" if goal is None else f">= {goal:g}x: {verdict}"
            lines.append(
                f"| {key} {SHAPES[key]} | {setting} | {f['split trades' if split else 'trades']:,} | {ms(f[name])} "
                f"| {ms(vbt) if vbt else 'n/a'} | {f'{ratio:,.1f}x' if ratio else 'n/a'} | {target} "
                f"| {f.get('equity gap', float('nan')):.1e} |"
            )
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--repeat", type=int, default=5, help="timed calls per measure (5)")
    p.add_argument("--shapes", nargs="+", default=list(SHAPES), choices=list(SHAPES))
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    opts = p.parse_args(argv)
    with_vectorbt = peers.available("vectorbt")
    if not with_vectorbt:
        print("vectorbt is not installed: korvel alone", flush=True)
    load_before = os.getloadavg()[0]
    figures = {}
    for key in opts.shapes:
        print(f"{key} ...", flush=True)
        figures[key] = measure(key, opts.repeat, with_vectorbt)
        print(figures[key], flush=True)
    text = report(figures, (load_before, os.getloadavg()[0]))
    print(text)
    if opts.write:
        results_file.write_section(HERE / "RESULTS.md", SECTION, text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
