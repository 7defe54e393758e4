"""The floor of the engine: the same work done by plain loops (floor/floor_module.cpp).

    python benchmarks/floor.py                      # W1, W2, W2R, W4: times and instruction counts
    python benchmarks/floor.py --only W2 --no-callgrind

For each workload korvel runs once to learn the holdings and trades; then
the floor replays them: per row the valuation at the trading price with the
exit test and at the close, the rebalance of every column, one pass over
each trade's closes and records of exactly korvel's types.  Its median time
and (under callgrind) its instructions per row x holding and per record are
printed beside korvel's, measured in the same run.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402
from callgrind import RUNNER, cache_inputs, run_counted  # noqa: E402

BUILD = HERE.parent / "build" / "floor"

# Prepares the floor's inputs from one korvel run, then calls the floor (or
# korvel) the given number of times; prints the records left.
FLOOR_RUNNER = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, %(build)r)
sys.path.insert(0, %(here)r)
import korvel_floor
from korvel.core import excursion, portsim
from korvel.simulation import _schedule as schedule
folder, calls = sys.argv[1], int(sys.argv[2])
timed = len(sys.argv) > 3
meta = json.load(open(folder + "/meta.json"))
a = {name: np.load(f"{folder}/{name}.npy", allow_pickle=True) for name in meta["arrays"]}
rules = meta["rules"]
portsim.backtest_(**a, **rules)
T = len(a["price_index"])
trades = np.array([[int(x) for x in t] for t in excursion.trades], dtype=np.int64).reshape(-1, 3)
ends = np.where(trades[:, 2] < 0, T - 1, trades[:, 2])
order = np.argsort(ends, kind="stable")
table = np.ascontiguousarray(np.column_stack([trades, ends])[order])
names = {n: j for j, n in enumerate(a["price_columns"].tolist())}
cols = np.array([names.get(n, 0) for n in a["pos_columns"].tolist()], dtype=np.int32)
applied, _, _ = schedule.applied_weight_rows(a["price_index"], a["pos_index"], a["resample"])
# Sids held into each row j (held at the close of row j - 1), for rows 0 .. T.
held_from = trades[:, 1]
held_to = np.where(trades[:, 2] < 0, T, trades[:, 2])
lists = [[] for _ in range(T + 1)]
for sid, lo, hi in zip(trades[:, 0], held_from, held_to):
    for j in range(lo + 1, hi + 1):
        lists[j].append(sid)
active = np.array([s for l in lists for s in sorted(set(l))], dtype=np.int32)
start = np.zeros(T + 2, dtype=np.int64)
start[1:] = np.cumsum([len(set(l)) for l in lists])
args = (np.ascontiguousarray(a["price_values"]), np.ascontiguousarray(a["close_values"]),
        np.ascontiguousarray(a["pos_values"]), applied.astype(np.int64), table, cols, start, active,
        [], [], [], int(rules.get("excursion_window", 0)), max(int(rules.get("excursion_window_step", 1)), 1),
        float(rules.get("fee_ratio", 0.001425)), float(rules.get("tax_ratio", 0.003)),
        1 - abs(float(rules.get("stop_loss", 1.0))), 1 + abs(float(rules.get("take_profit", float("inf")))))
times = []
for _ in range(calls):
    t0 = time.perf_counter()
    korvel_floor.run(*args)
    times.append(time.perf_counter() - t0)
print(json.dumps(times) if timed else len(args[8]))
"""


def build_floor() -> None:
    target = BUILD / ("korvel_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = HERE / "floor" / "floor_module.cpp"
    if target.exists() and target.stat().st_mtime > source.stat().st_mtime:
        return
    BUILD.mkdir(parents=True, exist_ok=True)
    cmd = [
        "g++",
        "-O3",
        "-std=c++17",
        "-shared",
        "-fPIC",
        "-g",
        f"-I{sysconfig.get_paths()['include']}",
        f"-I{np.get_include()}",
        "-DNPY_NO_DEPRECATED_API=NPY_1_20_API_VERSION",
        str(source),
        "-o",
        str(target),
    ]
    subprocess.run(cmd, check=True)


def floor_runner() -> str:
    return FLOOR_RUNNER % {"build": str(BUILD), "here": str(HERE)}


def median_time(python: str, folder: Path, runner: str, repeat: int, korvel: bool) -> float:
    if korvel:
        code = RUNNER.replace(
            "for _ in range(int(sys.argv[2])):\n    portsim.backtest_(**args)",
            "import time\nportsim.backtest_(**args)\nts = []\nfor _ in range(int(sys.argv[2])):\n"
            "    t0 = time.perf_counter(); portsim.backtest_(**args); ts.append(time.perf_counter() - t0)\n"
            "print(json.dumps(ts))",
        )
        out = subprocess.run([python, "-c", code, str(folder), str(repeat)], capture_output=True, text=True, check=True)
        return statistics.median(json.loads(out.stdout.splitlines()[-2]))
    out = subprocess.run(
        [python, "-c", runner, str(folder), str(repeat + 1), "timed"], capture_output=True, text=True, check=True
    )
    return statistics.median(json.loads(out.stdout)[1:])


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--only", default="W1,W2,W2R,W4")
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "korvel-bench-inputs"))
    p.add_argument("--repeat", type=int, default=7)
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--json", metavar="PATH")
    a = p.parse_args(argv)
    build_floor()
    results = []
    for key in a.only.split(","):
        w = workloads.ALL[key]
        folder = cache_inputs(key, Path(a.cache))
        row = {"workload": key, "units": w.rows * w.holdings}
        row["korvel_s"] = median_time(a.python, folder, "", a.repeat, korvel=True)
        row["floor_s"] = median_time(a.python, folder, floor_runner(), a.repeat, korvel=False)
        if not a.no_callgrind:
            for name, runner, fn in (
                ("korvel", RUNNER, "*py_backtest*"),
                ("floor", floor_runner(), "*anonymous namespace)::run(*"),
            ):
                one, records, _ = run_counted(a.python, folder, 1, key, runner, fn)
                two, _, _ = run_counted(a.python, folder, 2, key, runner, fn)
                row[f"{name}_instructions"] = two - one
                row["records"] = records
        results.append(row)
        line = (
            f"{key}: korvel {row['korvel_s'] * 1e3:.1f} ms, floor {row['floor_s'] * 1e3:.1f} ms "
            f"({row['korvel_s'] / row['floor_s']:.2f}x)"
        )
        if "floor_instructions" in row:
            units, recs = row["units"], max(row["records"], 1)
            line += (
                f"; instructions per row x holding {row['korvel_instructions'] / units:.0f} vs "
                f"{row['floor_instructions'] / units:.0f}, per record {row['korvel_instructions'] / recs:.0f} vs "
                f"{row['floor_instructions'] / recs:.0f}"
            )
        print(line, f"(load {os.getloadavg()[0]:.2f})")
    if a.json:
        Path(a.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
