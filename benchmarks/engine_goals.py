"""The engine's goals, measured: writes the "engine-goals" section of RESULTS.md.

    python benchmarks/run.py --json run.json                       # times, memory, the peers
    python benchmarks/floor.py --python PROFILED --json floor.json # korvel beside its floor
    python benchmarks/callgrind.py --python BEFORE --json before.json
    python benchmarks/engine_goals.py --run run.json --floor floor.json --before before.json

`run.json` gives the medians of korvel and of the peers measured side by
side; `floor.json` korvel's and the floor's instructions and times from one
run of floor.py; `before.json` the instruction counts of an earlier build
(callgrind.py with that build's interpreter).  The figures of the build
before this work are quoted from the RESULTS.md it wrote (`--before-text`).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import results_file  # noqa: E402


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--run", required=True)
    p.add_argument("--floor", required=True)
    p.add_argument("--before", required=True)
    p.add_argument("--before-text", default="", help="the earlier figures, quoted into the 'before' column")
    p.add_argument("--results", default=str(HERE / "RESULTS.md"))
    a = p.parse_args(argv)
    run = json.loads(Path(a.run).read_text())
    floor = {r["workload"]: r for r in json.loads(Path(a.floor).read_text())}
    before = {r["workload"]: r for r in json.loads(Path(a.before).read_text())}

    def median(key: str, system: str) -> float | None:
        r = run.get(f"{key}|{system}")
        return None if r is None or "median" not in r else r["median"]

    def per_unit(key: str) -> float:
        r = run[f"{key}|korvel"]
        return r["median"] / (r["rows"] * r["holdings"]) * 1e9

    lines = [
        "## Engine goals",
        "",
        "Medians of this run (see the korvel table above for the machine and the load); *before* is the",
        "build before the engine work, as its RESULTS.md reported it. Ratios are peer median / korvel "
        "median on the same workload.",
        "",
        "| goal | before | now | target | met |",
        "|---|---|---|---|---|",
    ]
    for key in ("P2", "X2"):
        k = median(key, "korvel")
        title = run[f"{key}|korvel"]["describe"].split(";")[0] if f"{key}|korvel" in run else key
        for peer, target in (("vectorbt", 3.0), ("vectorbt-rust", 3.0)):
            m = median(key, peer)
            if k and m:
                lines.append(
                    f"| {key} ({title}) vs {peer}, steady state | "
                    f"{'1.2x' if peer == 'vectorbt' else '0.9x'} | {m / k:.1f}x | >= {target:.0f}x | "
                    f"{'yes' if m / k >= target else 'no'} |"
                )
    w2 = run["W2|korvel"]
    per_record = w2["median"] / w2["trades"] * 1e9
    lines.append(
        f"| W2 per trade record, all included | ~720 ns | {per_record:.0f} ns | <= 330 ns | "
        f"{'yes' if per_record <= 330 else 'no'} |"
    )
    for key, was, target in (("W2R", "331-366 ns", 100), ("W1", "86-95 ns", 55), ("W4", "91-106 ns", 65)):
        v = per_unit(key)
        lines.append(
            f"| {key} per row x holding | {was} | {v:.0f} ns | <= {target} ns | {'yes' if v <= target else 'no'} |"
        )
    w4 = run["W4|korvel"]
    share = 100 * w4["rss_peak"] / w4["inputs_bytes"]
    lines.append(f"| W4 peak memory beyond inputs | 2.8 % | {share:.1f} % | < 10 % | {'yes' if share < 10 else 'no'} |")

    lines += [
        "",
        "Instructions (callgrind, one steady-state call, counted inside `backtest_` only) and times beside "
        "the floor (`benchmarks/floor.py`: the same run's valuation, exit test, rebalance, one-pass excursion "
        "trace and records of the same types by plain loops):",
        "",
        "| workload | instructions before | now | floor | now / floor | time now | floor | now / floor |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for key in ("W1", "W2", "W2R", "W4"):
        f, b = floor[key], before[key]
        unit = "record" if key == "W2" else "row x holding"
        divisor = max(f["records"], 1) if key == "W2" else f["units"]
        lines.append(
            f"| {key} per {unit} | {b['instructions'] / divisor:,.0f} | {f['korvel_instructions'] / divisor:,.0f} | "
            f"{f['floor_instructions'] / divisor:,.0f} | {f['korvel_instructions'] / f['floor_instructions']:.2f}x | "
            f"{f['korvel_s'] / divisor * 1e9:.0f} ns | {f['floor_s'] / divisor * 1e9:.0f} ns | "
            f"{f['korvel_s'] / f['floor_s']:.2f}x |"
        )
    if a.before_text:
        lines += ["", a.before_text]
    results_file.write_section(Path(a.results), "engine-goals", "\n".join(lines))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
