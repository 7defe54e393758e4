"""Instructions of the ledger path against backtest_ and the copy-out of its records.

    python benchmarks/ledger_callgrind.py                 # W1 and W2
    python benchmarks/ledger_callgrind.py --only W2R --annotate 15
    python benchmarks/ledger_callgrind.py --write         # and write them into RESULTS.md

Both paths hand the same trades to the layer as arrays: `backtest_ledger`
returns them; `backtest_` leaves Python records in korvel.core.excursion that
the layer copies out (`korvel._engine.copy_out`, one pass per list). Every
instruction of the process is counted, once with one call of the path and
once with two; the difference is one steady-state call, Python included
(and the release of the previous call's results).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import callgrind  # noqa: E402
import results_file  # noqa: E402

SECTION = "ledger-instructions"
PATHS = ("backtest_+copy_out", "ledger")

RUNNER = r"""
import json, sys
import numpy as np
from korvel.core import excursion, portsim
from korvel._engine import copy_out
folder, calls, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
meta = json.load(open(folder + "/meta.json"))
args = {name: np.load(f"{folder}/{name}.npy", allow_pickle=True) for name in meta["arrays"]}
args.update(meta["rules"])
window, step = args.get("excursion_window", 0), args.get("excursion_window_step", 1)
result = None
for _ in range(calls):
    result = None
    if path == "ledger":
        result = portsim.backtest_ledger(**args)
        n = len(result[1]["sid"])
    else:
        equity = portsim.backtest_(**args)
        result = (equity, copy_out(excursion, window, step), portsim.get_stock_operations())
        n = len(result[1].weight)
print(n)
"""


def count(python: str, folder: Path, calls: int, path: str, key: str) -> tuple[int, int, Path]:
    out = Path(tempfile.mkdtemp(prefix=f"cg-{key}-{path}-")) / "callgrind.out"
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python, "-c", RUNNER]
    cmd += [str(folder), str(calls), path]
    # One BLAS thread: its idle workers would otherwise be counted with the process.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    res = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if res.returncode != 0:
        raise SystemExit(res.stderr[-3000:])
    m = re.search(r"^summary:\s+(\d+)", out.read_text(errors="replace"), re.M)
    return int(m.group(1)), int(res.stdout.split()[-1]), out


def section_text(results: list[dict]) -> str:
    lines = [
        "## The trade ledger: instructions per run",
        "",
        "Written by `benchmarks/ledger_callgrind.py`: every instruction of one steady-state call (callgrind, "
        "the difference of a run with two calls and one with one), Python included. `backtest_` + copy-out "
        "is the engine leaving Python records and the layer reading them into arrays (`korvel._engine."
        "copy_out`); `backtest_ledger` hands the same trades over as arrays built natively.",
        "",
        "| workload | trades | backtest_ + copy-out | backtest_ledger | ratio |",
        "|---|---|---|---|---|",
    ]
    for r in results:
        old, new = r["backtest_+copy_out"], r["ledger"]
        lines.append(f"| {r['workload']} | {r['trades']:,} | {old:,} | {new:,} | {old / new:.2f}x fewer |")
    per_trade = [(r["backtest_+copy_out"] - r["ledger"]) / max(r["trades"], 1) for r in results]
    lines += [
        "",
        f"The paths differ by {min(per_trade):,.0f} to {max(per_trade):,.0f} instructions per trade "
        "((backtest_ + copy-out - ledger) / trades): what a trade's Python record costs on the `backtest_` path "
        "(three objects and a statistics view, their release when the next run empties the lists, the "
        "collector's passes over the long lists once it is back on, and the layer's pass over them), against "
        "native appends and one copy of each column on the ledger path. The rest is the same on both paths: "
        "the rebalances (`set_position` for every weight column), the row loop, the statistics of every trade "
        "(`trace_trade`) and the copy of the price row at each rebalance; so the gain grows with the trades per "
        "row, largest with a split record per holding per row (W2).",
    ]
    return "\n".join(lines)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", default="W1,W2")
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "korvel-bench-inputs"))
    p.add_argument("--annotate", type=int, default=0, metavar="N")
    p.add_argument("--write", action="store_true", help="write the figures into RESULTS.md")
    a = p.parse_args(argv)
    results = []
    for key in a.only.split(","):
        folder = callgrind.cache_inputs(key, Path(a.cache))
        result: dict = {"workload": key}
        for path in PATHS:
            one, trades, _ = count(a.python, folder, 1, path, key)
            two, _, out = count(a.python, folder, 2, path, key)
            result[path], result["trades"] = two - one, trades
            print(f"{key} {path}: {two - one:,} instructions per call, {trades:,} trades", flush=True)
            if a.annotate:
                ann = subprocess.run(["callgrind_annotate", "--inclusive=no", str(out)], capture_output=True, text=True)
                lines = [ln for ln in ann.stdout.splitlines() if re.match(r"^\s*[\d,]+ \(", ln)]
                for line in lines[: a.annotate]:
                    print("   ", line)
        ratio = result["backtest_+copy_out"] / result["ledger"]
        print(f"{key}: the ledger path takes {1 / ratio:.2f}x the instructions ({ratio:.2f}x fewer)", flush=True)
        results.append(result)
    if a.write:
        results_file.write_section(HERE / "RESULTS.md", SECTION, section_text(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
