"""What the pandas layer costs on top of the engine.

    python benchmarks/layer.py                   # timings, W1 and W2
    python benchmarks/layer.py --callgrind       # also instruction counts under valgrind
    python benchmarks/layer.py --write           # and write them into benchmarks/RESULTS.md

W1 (5000 x 2000, monthly, 50 long, stops, excursion window 20 step 5): the
whole `korvel.backtest` (checks, the engine's run into its ledger, schedule)
plus building `res.trades` and `res.stats()`, against the bare
`portsim.backtest_ledger` call on the same arrays and rules, with the Market
built once.  The two calls alternate and the medians are compared.

W2 (2500 x 500, daily, 100 long / 100 short), with the layer's default (one
trade per holding) and with `split_at_rebalance=True` (a record per
rebalance, about 500,000): the layer's work after the engine (checking the
ledger, the trades DataFrame, the statistics) against the engine's own run
time in the same call.

Instruction counts (``--callgrind``) come from separate processes under
``valgrind --tool=callgrind``: one doing the preparation and one call, one
doing the preparation and three calls; half the difference is one call in
steady state.  The cyclic garbage collector is paused in them (it traverses
the engine's hundreds of thousands of record objects at points that differ
from run to run, which made the counts jump by billions).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import results_file  # noqa: E402
import workloads  # noqa: E402

SECTION = "layer"

# The workloads' engine rules in the layer's names (fees as the workloads run them).
LAYER_RULES = {
    "W1": dict(
        fee=workloads.FEE,
        tax=workloads.TAX,
        stop_loss=0.1,
        take_profit=0.3,
        trail_stop=0.1,
        trail_activation=0.05,
        excursion_window=20,
        excursion_step=5,
    ),
    "W2": dict(fee=workloads.FEE, tax=workloads.TAX),
}


def prepare(key: str) -> tuple[Any, Any, dict[str, Any], dict[str, Any]]:
    """(layer Market, weights DataFrame, layer rules, bare backtest_ arguments with the same rules)."""
    import korvel
    from korvel import synthetic
    from korvel.simulation._rules import check_rules

    w = workloads.ALL[key]
    generated, rows, args = w.build()
    market, weights = synthetic.to_layer(generated, rows)
    rules = LAYER_RULES[key]
    bare = {k: v for k, v in args.items() if k in ARRAYS}
    checked = check_rules(**rules)
    bare.update(checked.engine_kwargs())
    bare.update(checked.ledger_kwargs())  # the ledger run's own keywords, as korvel.backtest passes them
    assert isinstance(market, korvel.Market)
    return market, weights, rules, bare


ARRAYS = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
    "delisting_bars",
)


def bare_call(bare: dict[str, Any]) -> np.ndarray:
    from korvel.core import portsim

    equity, _, _ = portsim.backtest_ledger(**bare)
    return equity


def layer_call(market: Any, weights: Any, rules: dict[str, Any]) -> Any:
    import korvel

    res = korvel.backtest(weights, market, **rules)
    res.trades
    res.stats()
    return res


def time_w1(repeat: int) -> dict[str, Any]:
    market, weights, rules, bare = prepare("W1")
    layer_call(market, weights, rules)  # warm up both (imports, first-use caches)
    equity = bare_call(bare)
    res = layer_call(market, weights, rules)
    assert np.array_equal(res._run.equity, equity, equal_nan=True), "layer and bare call differ"
    bare_t, layer_t, parts = [], [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        bare_call(bare)
        bare_t.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        res = layer_call(market, weights, rules)
        layer_t.append(time.perf_counter() - t0)
        parts.append(res.engine_seconds)
    return {
        "bare": statistics.median(bare_t),
        "layer": statistics.median(layer_t),
        "bare_min": min(bare_t),
        "layer_min": min(layer_t),
        "layer_engine": statistics.median(parts),
        "records": len(res._run.records),
        "runs": repeat,
    }


def time_w2(repeat: int, split: bool) -> dict[str, Any]:
    import korvel

    market, weights, rules, bare = prepare("W2")
    rules = dict(rules, split_at_rebalance=split)
    engine_t, decode_t, total_t = [], [], []
    for _ in range(repeat + 1):
        t0 = time.perf_counter()
        res = korvel.backtest(weights, market, **rules)
        total = time.perf_counter() - t0
        t0 = time.perf_counter()
        res.trades
        res.stats()
        decode = time.perf_counter() - t0
        engine_t.append(res.engine_seconds)
        decode_t.append(decode)
        total_t.append(total)
    # The first run is a warm-up.
    m = {
        name: statistics.median(v[1:])
        for name, v in (("engine", engine_t), ("decode", decode_t), ("backtest", total_t))
    }
    m["records"] = len(res.trades)
    m["runs"] = repeat
    return m


# --------------------------------------------------------------------------- instruction counts


def worker(key: str, mode: str, calls: int, inputs: str) -> None:
    with open(inputs, "rb") as f:
        market, weights, rules, bare = pickle.load(f)
    # The cyclic collector would traverse the engine's record objects at
    # points that differ from process to process: paused, the counts repeat.
    gc.collect()
    gc.disable()
    for _ in range(calls):
        if mode == "bare":
            bare_call(bare)
        elif mode == "layer":
            layer_call(market, weights, rules)
        elif mode == "decode":  # the layer without the trades table: what a sweep asks for
            import korvel

            korvel.backtest(weights, market, **rules).stats()


def instructions(key: str, mode: str, calls: int, out_dir: str) -> int:
    out = os.path.join(out_dir, f"cg-{key}-{mode}-{calls}.out")
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        sys.executable,
        __file__,
        "--worker",
        key,
        mode,
        str(calls),
        "--inputs",
        os.path.join(out_dir, f"{key}.pickle"),
    ]
    # A fixed hash seed: the same dict and set layouts in every process, the same counts.
    proc = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-2000:])
    match = re.search(r"Collected\s*:\s*(\d+)", proc.stderr)
    if match is None:
        raise RuntimeError("no instruction count in valgrind's output:\n" + proc.stderr[-2000:])
    return int(match.group(1))


def callgrind(key: str, modes: tuple[str, ...]) -> dict[str, int]:
    """Instructions of one steady-state call per mode (calls 2 minus calls 1)."""
    out: dict[str, int] = {}
    with tempfile.TemporaryDirectory(prefix="korvel-cg-") as tmp:
        # The inputs are built once, outside valgrind; the workers only load them.
        with open(os.path.join(tmp, f"{key}.pickle"), "wb") as f:
            pickle.dump(prepare(key), f, protocol=5)
        for mode in modes:
            one = instructions(key, mode, 1, tmp)
            three = instructions(key, mode, 3, tmp)
            out[mode] = (three - one) // 2
            print(f"  {key} {mode}: {out[mode] / 1e6:.1f} M instructions per call", flush=True)
    return out


# --------------------------------------------------------------------------- report


def report(
    w1: dict[str, Any], w2s: dict[str, dict[str, Any]], cg: dict[str, dict[str, int]], load: tuple[float, float]
) -> str:
    ms = lambda s: f"{s * 1e3:.1f} ms"  # noqa: E731
    lines = [
        "## The pandas layer",
        "",
        f"Written by `benchmarks/layer.py` on {time.strftime('%Y-%m-%d %H:%M %Z')}; load average (1 min) "
        f"before / after: {load[0]:.2f} / {load[1]:.2f}. Medians of alternating calls in one process.",
        "",
        "| workload | measured | bare `backtest_ledger` / engine | layer | ratio | goal |",
        "|---|---|---|---|---|---|",
        f"| W1 ({w1['records']:,} trades, {w1['runs']} runs) | `korvel.backtest` + `trades` + `stats()`, "
        f"Market built once | {ms(w1['bare'])} | {ms(w1['layer'])} | {w1['layer'] / w1['bare']:.2f}x | <= 1.3x |",
        f"| W1, fastest calls | the same | {ms(w1['bare_min'])} | {ms(w1['layer_min'])} "
        f"| {w1['layer_min'] / w1['bare_min']:.2f}x | <= 1.3x |",
    ]
    for setting, w2 in w2s.items():
        lines.append(
            f"| W2, {setting} ({w2['records']:,} trades, {w2['runs']} runs) | after the engine: the trades "
            f"DataFrame + `stats()` | {ms(w2['engine'])} | {ms(w2['decode'])} "
            f"| {w2['decode'] / w2['engine']:.2f}x | <= 1x |"
        )
    lines.append("")
    lines.append(
        "W2's whole `korvel.backtest` (checks, engine into the ledger, schedule; no frames) took "
        + " and ".join(f"{ms(w2['backtest'])} ({setting})" for setting, w2 in w2s.items())
        + "; the trades table is built on first use."
    )
    if cg:
        lines += [
            "",
            "Instructions per call in steady state (valgrind --tool=callgrind: the difference "
            "between processes making one and three calls, halved; cyclic garbage collector paused):",
            "",
            "| workload | bare `backtest_ledger` | `korvel.backtest` + `stats()` | + `trades` | ratio (full) |",
            "|---|---|---|---|---|",
        ]
        for key, counts in cg.items():
            bare, decode, full = counts.get("bare"), counts.get("decode"), counts.get("layer")
            cells = [f"{c / 1e6:,.1f} M" if c else "n/a" for c in (bare, decode, full)]
            ratio = f"{full / bare:.2f}x" if bare and full else "n/a"
            lines.append(f"| {key} | {' | '.join(cells)} | {ratio} |")
        lines += [
            "",
            "The counts of processes that run pandas code are less repeatable than the engine's: "
            "between runs of this script they move by up to 15 %, enough to put the count without the "
            "trades table above the full one, so the counts bound what the layer adds (about 10 % of the "
            "engine's instructions) and the timings are the figures to go by for the ratios.",
        ]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--repeat", type=int, default=11, help="timed runs per workload (11)")
    p.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind")
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    p.add_argument("--worker", nargs=3, metavar=("WORKLOAD", "MODE", "CALLS"), help=argparse.SUPPRESS)
    p.add_argument("--inputs", help=argparse.SUPPRESS)
    p.add_argument("--only-callgrind", action="store_true", help="only count instructions (to --counts)")
    p.add_argument("--counts", metavar="FILE", help="instruction counts: written by --only-callgrind, read otherwise")
    opts = p.parse_args(argv)
    if opts.worker:
        worker(opts.worker[0], opts.worker[1], int(opts.worker[2]), opts.inputs)
        return 0
    if opts.only_callgrind:
        counts = {key: callgrind(key, ("bare", "decode", "layer")) for key in ("W1", "W2")}
        if opts.counts:
            Path(opts.counts).write_text(json.dumps(counts))
        return 0
    load_before = os.getloadavg()[0]
    print("W1 ...", flush=True)
    w1 = time_w1(opts.repeat)
    print(json.dumps(w1))
    print("W2 ...", flush=True)
    w2 = {
        setting: time_w2(max(3, opts.repeat // 2), split)
        for setting, split in (("one trade per holding", False), ("split at rebalance", True))
    }
    print(json.dumps(w2))
    cg: dict[str, dict[str, int]] = {}
    if opts.counts and Path(opts.counts).exists():  # counted earlier with --only-callgrind
        cg = json.loads(Path(opts.counts).read_text())
    elif opts.callgrind:
        cg["W1"] = callgrind("W1", ("bare", "decode", "layer"))
        cg["W2"] = callgrind("W2", ("bare", "decode", "layer"))
    text = report(w1, w2, cg, (load_before, os.getloadavg()[0]))
    print(text)
    if opts.write:
        results_file.write_section(HERE / "RESULTS.md", SECTION, text)
        print("written to RESULTS.md")
    return 0


if __name__ == "__main__":
    sys.exit(main())
